#ifndef HDRMETER_CLIP_OPTIONS_H
#define HDRMETER_CLIP_OPTIONS_H

#include <optional>
#include <string>

#include "clip_measurement.h"
#include "output/metadata_json.h"

namespace hdrmeter::clip {

struct ToolOptions {
    ClipOptions clip;
    bool inputPathGiven = false;
    bool percentiles = true;              // --no-percentiles leaves the percentile columns out
    std::optional<long long> frameLimit;  // --frames: measure at most this many
    std::string csvPath;
    std::string jsonlPath;
    std::string plotPath;
    AreaOption area;                      // --active-area
    double sceneThreshold = kDefaultSceneThreshold;
    long long minSceneFrames = kDefaultMinSceneFrames;
    std::string sceneCutsPath;            // --scene-cuts: read when the run starts
    std::string summaryJsonPath;
    std::string hdr10PlusPath;
    std::string doviConfigPath;
    std::optional<MasteringLuminance> mastering;  // --mastering-display
};

struct CommandLine {
    ToolOptions options;
    // Set for --help and --version: print this on standard output and exit with status 0.
    std::optional<std::string> immediateOutput;
};

// What the clip is measured with: the clip's options, the area, the scenes (reading --scene-cuts, which
// throws UsageError for a line that is not a frame number) and the frame limit.
MeasureOptions measureOptionsOf(const ToolOptions& options);

// Parses the command line. Throws UsageError with a one-line reason for anything that cannot be
// carried out.
CommandLine parseCommandLine(int argc, const char* const* argv);

}  // namespace hdrmeter::clip

#endif
