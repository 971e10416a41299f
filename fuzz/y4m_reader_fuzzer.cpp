// Feeds arbitrary bytes to the YUV4MPEG2 reader as a pipe would. A stream is either refused with
// InputError or read frame by frame; every frame read has the size its header promises, turns into the
// engine's layout at the size that layout needs, and measures to results within their ranges.
#include <hdrmeter.h>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "engine_layout.h"
#include "fuzz_input.h"
#include "input_file.h"
#include "tool_errors.h"
#include "tool_stream.h"
#include "y4m_reader.h"

using namespace hdrmeter::tool;
using fuzzing::check;

namespace {

CHDR_Measurements& engineFor(int bitDepth) {
    static std::map<int, std::unique_ptr<CHDR_Measurements>> engines;
    std::unique_ptr<CHDR_Measurements>& engine = engines[bitDepth];
    if (!engine) {
        engine = std::make_unique<CHDR_Measurements>();
        HDR_Info info = hdrInfoFor(MeasureSettings{}, bitDepth);
        check(engine->InitializeMeasurements(info), "engine configured for the stream's depth");
    }
    return *engine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::ByteStream bytes(data, size);
    try {
        InputFile input(bytes.file(), "fuzz input");
        Y4mReader reader(input);
        const VideoFormat format = reader.format();
        check(format.width >= 1 && format.width <= kMaxFrameDimension, "width within limits");
        check(format.height >= 1 && format.height <= kMaxFrameDimension, "height within limits");
        check(format.bitDepth == 10 || format.bitDepth == 12 || format.bitDepth == 16, "measurable bit depth");
        std::vector<std::uint16_t> planes;
        for (int frame = 0; frame < 16; ++frame) {
            const ReadResult result = reader.readFrame(planes);
            if (result.status != ReadResult::Status::Frame) {
                check(!result.problem.empty() || result.status == ReadResult::Status::EndOfStream,
                      "a stream that stops early says why");
                break;
            }
            check(planes.size() == format.frameSamples(), "frame of the promised size");
            const EngineLayout layout = engineLayoutFor(format);
            expandToEngineLayout(format, planes);
            check(planes.size() >= layout.frameSamples, "engine frame of the layout's size");
            auto* words = reinterpret_cast<unsigned char*>(planes.data());
            const auto results = engineFor(format.bitDepth)
                                     .HDR_Measurements(layout.pixelFormat, format.width, format.height, words, words, 2);
            const double percentAbove = std::get<2>(results);
            check(percentAbove >= 0.0 && percentAbove <= 100.0, "share above the threshold is a percentage");
            check(std::get<0>(results) >= 0.0 && std::get<1>(results) >= std::get<0>(results) - 1e-6,
                  "largest light at least the average");
        }
    } catch (const InputError&) {
        // A refusal with its one-line reason is a correct answer to bad input.
    }
    return 0;
}
