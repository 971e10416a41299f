#include "plan_command.h"

#include <CLI/CLI.hpp>

#include <hdrmeter/clip.h>

namespace hdrmeter::cli {

using namespace hdrmeter::clip;

std::string runPlanCommand(int argc, const char* const* argv)
{
    SegmentPlanRequest plan;
    CLI::App app{"hdrmeter plan: prints time segments of FILE that start on key frames, one a line as\n"
                 "\"START END\" in seconds, for hdrmeter FILE --start START --end END run apart.",
                 "hdrmeter plan"};
    app.add_option("FILE", plan.input, "the video: a file that can be sought in")->required()->type_name("");
    app.add_option("--segments", plan.segments, "this many segments of about equal length")->type_name("N");
    app.add_option("--segment-seconds", plan.segmentSeconds, "segments of about S seconds each")->type_name("S");
    app.add_option("--stream", plan.stream, "the container's stream N (default: the first video stream)")
        ->type_name("N");
    try {
        // argv[0] is the program, argv[1] the word "plan".
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::CallForHelp&) {
        return app.help();
    } catch (const CLI::ParseError& error) {
        throw RequestError(std::string("plan: ") + error.what());
    }
    return segmentPlanText(planSegments(plan));
}

}  // namespace hdrmeter::cli
