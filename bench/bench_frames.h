// Synthetic 4K frames for the benchmarks: smooth gradients with a little noise, mostly inside the legal
// range, as decoded video is.
#ifndef HDRMETER_BENCH_FRAMES_H
#define HDRMETER_BENCH_FRAMES_H

#include <hdrmeter.h>

#include <cstdint>
#include <vector>

namespace bench {

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;
constexpr size_t kPixels = size_t{kWidth} * kHeight;

struct Frame {
    InputPixelFormat format;
    std::vector<uint16_t> samples;  // luma, Cb, Cr
    unsigned char* luma() { return reinterpret_cast<unsigned char*>(samples.data()); }
    unsigned char* planes() { return reinterpret_cast<unsigned char*>(samples.data()); }
};

Frame makeFrame(int bitDepth, bool subsampled);
HDR_Info makeInfo(int bitDepth, bool light, bool percentiles);
int coreCount();
// The process's peak resident memory so far.
double peakResidentMiB();
// Evicts a buffer from every cache level; false where the processor has no instruction for it.
bool flushFromCaches(const void* data, size_t bytes);

}  // namespace bench

#endif
