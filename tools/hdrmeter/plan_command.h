#ifndef HDRMETER_TOOL_PLAN_COMMAND_H
#define HDRMETER_TOOL_PLAN_COMMAND_H

#include <optional>
#include <string>

#include <hdrmeter/clip.h>

#include "options.h"

namespace hdrmeter::cli {

// The subcommands over time segments.
//
// `hdrmeter plan FILE --segments N | --segment-seconds S [--stream N]`: the time segments, one a line,
// on standard output. Returns the plan's text, or the help's with `help` set. Throws RequestError for a
// command line that cannot be carried out, InputError for a file that cannot be planned.
std::string runPlanCommand(int argc, const char* const* argv);

struct MergeCommand {
    clip::MergeRequest merging;
    ProgramChoices program;  // --quiet and --progress
};
// `hdrmeter merge [OUTPUTS] PARTIAL...`: the merge asked for, or nothing for --help (mergeHelp()).
std::optional<MergeCommand> parseMergeCommand(int argc, const char* const* argv);
std::string mergeHelp();

}  // namespace hdrmeter::cli

#endif
