#include "plan_command.h"

#include <CLI/CLI.hpp>

#include <optional>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

#include "options.h"

namespace hdrmeter::cli {

using namespace hdrmeter::clip;

std::string runPlanCommand(int argc, const char* const* argv)
{
    SegmentPlanRequest plan;
    CLI::App app{"hdrmeter plan: prints time segments of FILE that start on key frames, one a line as\n"
                 "\"START END\" in seconds, for hdrmeter FILE --start START --end END run apart.",
                 "hdrmeter plan"};
    formatCommandHelp(app);
    app.add_option("FILE", plan.input, "the video: a file that can be sought in")->required()->type_name("");
    app.add_option("--segments", plan.segments, "this many segments of about equal length")->type_name("N");
    app.add_option("--segment-seconds", plan.segmentSeconds, "segments of about S seconds each")->type_name("S");
    app.add_option("--stream", plan.stream, "the container's stream N (default: the first video stream)")
        ->type_name("N");
    // The measuring runs' own setting, read by its row, so that the plan's times are theirs.
    std::string frameRate;
    const Setting& frameRateSetting = *findSetting("frame_rate");
    app.add_option("--frame-rate", frameRate, frameRateSetting.help)->type_name(frameRateSetting.valueName);
    const Setting& assetMapSetting = *findSetting("assetmap");
    app.add_option("--assetmap", plan.assetMap, assetMapSetting.help)->type_name(assetMapSetting.valueName);
    try {
        // argv[0] is the program, argv[1] the word "plan".
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::CallForHelp&) {
        return app.help();
    } catch (const CLI::ParseError& error) {
        throw RequestError(std::string("plan: ") + error.what());
    }
    if (!frameRate.empty()) {
        Request request;
        setSetting(request, frameRateSetting, frameRate);
        plan.frameRate = request.frameRate;
    }
    return segmentPlanText(planSegments(plan));
}

namespace {

void declareMerge(CLI::App& app, MergeCommand& command, bool& keepArea, std::string& progress)
{
    MergeRequest& merging = command.merging;
    app.add_option("PARTIAL", merging.partials, "partial results of the segments (--partial), in any order")
        ->required()
        ->type_name("");
    declareMergeOutputs(app, merging.outputs);
    app.add_flag("--no-remeasure", keepArea,
                 "never measure a part again, even when its input is at hand: name the\ncommands instead");
    declareProgramOptions(app, command.program, progress, true);
}

const char* kMergeDescription =
    "hdrmeter merge: makes the whole input's summary and files from the partial results of its time\n"
    "segments (hdrmeter FILE --start S --end E --partial PART), byte for byte as one run over the whole\n"
    "input writes them with the same options.";

}  // namespace

std::optional<MergeCommand> parseMergeCommand(int argc, const char* const* argv)
{
    MergeCommand command;
    MergeRequest& merging = command.merging;
    merging.outputs.keepFrames = false;
    bool keepArea = false;
    std::string progress = "auto";
    CLI::App app{kMergeDescription, "hdrmeter merge"};
    formatCommandHelp(app);
    declareMerge(app, command, keepArea, progress);
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::CallForHelp&) {
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw RequestError(std::string("merge: ") + error.what());
    }
    merging.remeasure = !keepArea;
    finishProgramOptions(command.program, progress);
    if (const std::string reason = validate(merging.outputs); !reason.empty())
        throw RequestError(reason);
    return command;
}

std::string mergeHelp()
{
    MergeCommand command;
    bool keepArea = false;
    std::string progress;
    CLI::App app{kMergeDescription, "hdrmeter merge"};
    formatCommandHelp(app);
    declareMerge(app, command, keepArea, progress);
    return app.help();
}

}  // namespace hdrmeter::cli
