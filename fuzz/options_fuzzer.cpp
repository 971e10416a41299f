// Parses arbitrary command lines: the input, cut at zero bytes, gives the arguments. A command line
// is either refused with UsageError and a reason, or gives options that the rest of the program can carry out as
// they stand: known transfer and matrix, percentages within 0..100, a threshold within 0..10000 nits,
// a positive task and frame count, and a raw frame size the readers accept.
#include <cmath>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "options.h"
#include "tool_errors.h"
#include "video_format.h"

using namespace hdrmeter::tool;
using fuzzing::check;

namespace {

bool isPercent(float value) { return value >= 0.0f && value <= 100.0f; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"hdrmeter"};
    std::string current;
    for (std::size_t i = 0; i < size && arguments.size() < 24; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty()) arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());

    try {
        const CommandLine commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data(), 2);
        if (commandLine.immediateOutput) {
            check(!commandLine.immediateOutput->empty(), "help or version has text");
            return 0;
        }
        const ToolOptions& options = commandLine.options;
        const MeasureSettings& settings = options.settings;
        check(settings.transfer == TransferFunction::Pq || settings.transfer == TransferFunction::Hlg, "transfer");
        check(settings.matrix == ColourMatrix::Bt2020 || settings.matrix == ColourMatrix::Bt709, "matrix");
        check(settings.thresholdNits >= 0 && settings.thresholdNits <= 10000, "threshold within 0..10000 nits");
        check(isPercent(settings.top1Percent) && isPercent(settings.top2Percent) && isPercent(settings.bottomPercent),
              "percentages within 0..100");
        check(settings.taskCount >= 1, "at least one task");
        check(!options.frameLimit || *options.frameLimit >= 1, "at least one frame");
        if (options.rawFormat) {
            const VideoFormat& format = *options.rawFormat;
            check(frameSizeProblem(format.width, format.height).empty(), "raw frame size the readers accept");
            check(format.bitDepth == 10 || format.bitDepth == 12 || format.bitDepth == 16, "raw bit depth");
        }
    } catch (const UsageError& error) {
        // The reason may quote an argument with a line break in it; the program escapes such characters
        // when it prints the reason (the tool's reliability test runs that case end to end).
        check(error.what()[0] != '\0', "a refusal gives a reason");
    }
    return 0;
}
