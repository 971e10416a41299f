#ifndef HDRMETER_TOOL_OPTIONS_H
#define HDRMETER_TOOL_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

namespace CLI {
class App;
}

namespace hdrmeter::cli {

using clip::Request;

// An option of the program itself rather than of the measurement: --quiet, --progress, --version.
struct ProgramOption {
    const char* option;     // "--progress"
    const char* valueName;  // "auto|json"; "" for a flag
    const char* help;       // one sentence, without the default
    bool merge;             // `hdrmeter merge` takes it too
};
// What the program's own options ask for.
struct ProgramChoices {
    bool quiet = false;
    bool jsonProgress = false;
    bool version = false;
};

struct CommandLine {
    Request request;
    bool inputPathGiven = false;
    // --quiet: nothing on the terminal but errors; --progress json: progress as JSON lines on standard
    // error, quiet or not.
    ProgramChoices program;
    // Set for --help and --version: print this on standard output and exit with status 0.
    std::optional<std::string> immediateOutput;
};

// The program's own options, in the order --help, the man page and completion show them.
const std::vector<ProgramOption>& programOptions();

// The program's own options as options of `app` (only those a merge takes, for a merge); call
// finishProgramOptions() once `app` has parsed.
void declareProgramOptions(CLI::App& app, ProgramChoices& choices, std::string& progress, bool merge);
// Throws RequestError for a --progress it does not know.
void finishProgramOptions(ProgramChoices& choices, const std::string& progress);

// Parses the command line into a request that validate() accepts. Throws RequestError with a one-line
// reason for anything that cannot be carried out.
CommandLine parseCommandLine(int argc, const char* const* argv);

// "Area and scenes": the heading a group of settings is shown under.
const char* groupTitle(clip::SettingGroup group);
// "--peak-pixels" for the setting "peak_pixels".
std::string optionName(const std::string& settingName);
// A flag whose default is on: its option is --no-NAME.
bool negated(const clip::Setting& setting);
// "--peak-pixels", "--no-percentiles".
std::string optionOf(const clip::Setting& setting);
// The setting's help as the command line shows it, without its default.
std::string optionHelp(const clip::Setting& setting);
// A library message with its settings named as options: "--end 12.5".
std::string spelledForCommandLine(const std::string& message);
// The output settings that a merge takes, as options of `app`.
void declareMergeOutputs(CLI::App& app, Request& outputs);
// The help layout every command shares.
void formatCommandHelp(CLI::App& app);

}  // namespace hdrmeter::cli

#endif
