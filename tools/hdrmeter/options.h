#ifndef HDRMETER_TOOL_OPTIONS_H
#define HDRMETER_TOOL_OPTIONS_H

#include <optional>
#include <string>

#include "measure_settings.h"
#include "video_format.h"

namespace hdrmeter::tool {

struct ToolOptions {
    std::string inputPath = "-";
    bool inputPathGiven = false;
    bool demo = false;
    std::optional<VideoFormat> rawFormat;  // set when --size and --pix-fmt describe headerless input
    std::string rawPixelFormatName;
    MeasureSettings settings;
    std::optional<long long> frameLimit;  // --frames: measure at most this many
    std::string csvPath;
    std::string jsonlPath;
    std::string plotPath;
};

struct CommandLine {
    ToolOptions options;
    // Set for --help and --version: print this on standard output and exit with status 0.
    std::optional<std::string> immediateOutput;
};

// Parses the command line. Throws UsageError with a one-line reason for anything that cannot be
// carried out. defaultTaskCount is what --tasks defaults to (the number of cores).
CommandLine parseCommandLine(int argc, const char* const* argv, int defaultTaskCount);

// "1920x1080" to a width and a height; throws UsageError.
std::pair<int, int> parseFrameSize(const std::string& text);

}  // namespace hdrmeter::tool

#endif
