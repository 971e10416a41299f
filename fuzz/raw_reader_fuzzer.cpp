// Feeds arbitrary bytes to the headerless raw reader, with a frame size and an ffmpeg pixel format
// taken from the first bytes, as a pipe would deliver them. Every frame read has the size the format
// promises; input that ends inside a frame is reported as such.
#include <vector>

#include "fuzz_input.h"
#include "input_file.h"
#include "raw_reader.h"
#include "tool_errors.h"
#include "tool_stream.h"
#include "video_format.h"

using namespace hdrmeter::tool;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static const char* const names[] = {"yuv420p10le", "yuv422p10le", "yuv444p10le", "yuv420p12le",
                                        "yuv422p12le", "yuv444p12le", "yuv420p16le", "yuv422p16le",
                                        "yuv444p16le", "yuv422p",     "p010le",      "gray10le"};
    const std::string name = names[data[0] % 12];
    const SampleLayoutLookup layout = lookupFfmpegPixelFormat(name);
    if (!layout.supported) {
        check(!layout.refusal.empty(), "a refused pixel format says why");
        return 0;
    }
    VideoFormat format;
    format.width = 1 + data[1] % 40;
    format.height = 1 + data[2] % 24;
    format.bitDepth = layout.bitDepth;
    format.subsampling = layout.subsampling;
    fuzzing::ByteStream bytes(data + 3, size - 3);
    try {
        InputFile input(bytes.file(), "fuzz input");
        RawReader reader(input, format, name);
        std::vector<std::uint16_t> planes;
        long long frames = 0;
        for (;;) {
            const ReadResult result = reader.readFrame(planes);
            if (result.status == ReadResult::Status::Frame) {
                check(planes.size() == format.frameSamples(), "frame of the promised size");
                ++frames;
                continue;
            }
            const std::size_t whole = frames * format.frameBytes();
            check(result.status == ReadResult::Status::EndOfStream ? whole == size - 3 : whole < size - 3,
                  "the end of the input is told apart from a cut frame");
            break;
        }
    } catch (const InputError&) {
    }
    return 0;
}
