#include <malloc.h>

#include "tool_run.h"

int main(int argc, char** argv)
{
    // Packets and frames of 4K video are tens of MiB. By default glibc maps each such block afresh and
    // unmaps it when freed, so every frame read from a file pays a page fault per 4 KiB (on the project's
    // machine a 4K YUV4MPEG2 frame took 100 ms instead of 40). Kept on the heap and not trimmed, the same
    // memory serves frame after frame.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    hdrmeter::cli::installStopHandlers();
    return hdrmeter::cli::runHdrmeter(argc, argv);
}
