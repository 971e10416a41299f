// Parses arbitrary command lines: the input, cut at zero bytes, gives the arguments. A command line
// is either refused with RequestError and a one-line reason, or gives options that the rest of the program
// can carry out as they stand: percentages within 0..100, a threshold within 0..10000 nits, a task count
// the analyzer takes, at least one frame, a raw frame size and pixel format the input layer measures.
#include <cmath>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "fuzz_input.h"
#include "libav/stream_format.h"
#include "options.h"
#include "request_rules.h"

using namespace hdrmeter;
using namespace hdrmeter::clip;
using namespace hdrmeter::cli;
using fuzzing::check;

static bool isPercent(double value) { return value >= 0.0 && value <= 100.0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"hdrmeter", ""};
    for (std::size_t i = 0; i < size && arguments.size() < 25; ++i) {
        if (data[i] == 0) arguments.emplace_back();
        else arguments.back().push_back(static_cast<char>(data[i]));
    }
    if (arguments.back().empty()) arguments.pop_back();
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());

    try {
        const CommandLine commandLine = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        if (commandLine.immediateOutput) {
            check(!commandLine.immediateOutput->empty(), "help or version has text");
            return 0;
        }
        const Request& request = commandLine.request;
        check(request.thresholdNits >= 0 && request.thresholdNits <= 10000, "threshold within 0..10000 nits");
        check(isPercent(request.top1Percent) && isPercent(request.top2Percent) && isPercent(request.bottomPercent),
              "percentages within 0..100");
        check(request.tasks >= 0 && request.tasks <= 256, "a task count the analyzer takes");
        check(!request.frameLimit || *request.frameLimit >= 1, "at least one frame");
        check(!request.stream || *request.stream >= 0, "a stream number");
        check(validate(request).empty(), "the parser gives only requests that validate() takes");
        if (request.raw) {
            const RawVideo& raw = *request.raw;
            check(raw.width >= 1 && raw.height >= 1 && raw.width <= 16384 && raw.height <= 16384, "a raw frame size");
            check(pixelLayoutOf(av_get_pix_fmt(raw.pixelFormat.c_str())).accepted, "a raw format that is measured");
        }
        // The analyzer must take the settings as they are.
        Analyzer analyzer(analysisSettingsOf(request));
    } catch (const RequestError& error) {
        // The reason may quote an argument with a line break in it; the program escapes such characters
        // when it prints the reason (the tool's reliability test runs that case end to end).
        check(error.what()[0] != '\0', "a refusal gives a reason");
    }
    return 0;
}
