#include "options.h"

#include <CLI/CLI.hpp>

#include <sstream>

#include <hdrmeter/settings.h>


namespace hdrmeter::cli {

using namespace hdrmeter::clip;

namespace {

// --help fits a terminal of this many columns.
constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kOptionColumn = 34;

const char* kDescription =
    "hdrmeter: measures the light of HDR video frame by frame and prints MaxCLL, MaxFALL, how much of\n"
    "the picture is above a threshold, and the static metadata the stream states.\n"
    "\n"
    "Input is any video file FFmpeg reads (HEVC, AV1, ProRes, FFV1 ... in mkv, mp4, mov, ts, y4m), or\n"
    "the same from standard input; raw planar video with --size and --pix-fmt; an image sequence\n"
    "('master_%06d.dpx', a folder of numbered images or a glob, at --frame-rate); an IMF composition\n"
    "playlist with its asset map. Y'CbCr 4:2:0, 4:2:2 and 4:4:4 at 10, 12 and 16 bits is measured as the\n"
    "decoder made it; R'G'B' masters (FFV1, JPEG 2000, DPX, TIFF, PNG, OpenEXR, floats included) as\n"
    "R'G'B'. The transfer (PQ or HLG) and the matrix (BT.2020 or BT.709) come from the stream's tags;\n"
    "--transfer and --matrix override them.\n";

// Words joined into lines of at most `width` characters, each after `indent`.
std::string wrapped(const std::string& text, std::size_t width, const std::string& indent)
{
    std::string result, line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
            result += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return result + (line.empty() ? "" : indent + line + "\n");
}

// An option's help in the column beside it; CLI11 puts a multi-line description's later lines under the
// first.
std::string columnHelp(const std::string& help)
{
    std::string lines = wrapped(help, kHelpWidth - kOptionColumn - 2, "");
    lines.pop_back();
    return lines;
}

// The help's closing text; the column list comes from the table the writers use.
std::string footer()
{
    std::string columns;
    for (const FrameColumn& column : frameColumns()) {
        std::string notes = column.unit;
        if (column.group != ColumnGroup::Always)
            notes += std::string(notes.empty() ? "" : "; ") +
                     (column.group == ColumnGroup::Percentiles ? "not with --no-percentiles"
                      : column.group == ColumnGroup::LumaChecks ? "with --checks"
                      : column.group == ColumnGroup::Stated     ? "with --verify"
                                                                 : "with --accept-damaged");
        columns += (columns.empty() ? "" : ", ") + std::string(column.name) + (notes.empty() ? "" : " (" + notes + ")");
    }
    std::string text =
        "Commands:\n"
        "  hdrmeter plan FILE --segments N   time segments of FILE to measure apart (hdrmeter plan --help)\n"
        "  hdrmeter merge [OUTPUTS] PART...  the whole file's summary and files from the segments' partial\n"
        "                                    results (hdrmeter merge --help)\n"
        "\n"
        "Arithmetic: exact ITU-R coefficients, a summation order that does not depend on the task count,\n"
        "and exact percentile ranks; --class-parity gives CHDR_Measurements' arithmetic bit for bit instead.\n"
        "\n"
        "Outputs:\n" +
        wrapped("The summary goes to standard output, or to standard error when an output takes standard "
                "output. Files are written under a temporary name in the same folder and renamed into place "
                "when complete. Frames and scenes are numbered from 0. The summary ends with the HDR10 options "
                "for x265, ffmpeg and mkvmerge.",
                kHelpWidth, "  ") +
        wrapped("CSV columns and JSON names, in order: " + columns + ".", kHelpWidth, "  ") + "\n" +
        wrapped("Active area: with auto, the lines that 3 frames with content in a row reach (samples within 16 "
                "codes of black at 10 bits are black), so that a frame or two of ringing does not widen it; "
                "frames measured before the area last changed are measured again at the end. On standard input that keeps a copy of the stream in $TMPDIR; full or L,T,R,B read the "
                "input once. With full, frames of a new size are measured in their own size, and so with "
                "L,T,R,B while it leaves pixels of them; with auto, or a given area that leaves none, a new "
                "size ends the run there.",
                kHelpWidth, "") +
        wrapped("Scenes: a cut where the luma or light histogram (32 bins) changes by the threshold's share of "
                "the pixels or more; shorter scenes join the one before.",
                kHelpWidth, "") +
        "\n" +
        wrapped("Exit status: 0 success; 1 bad input (unreadable, damaged or cut short, not measurable, an "
                "output that cannot be written); 2 bad usage; 3 a --verify check failed (the run itself "
                "complete); 128 plus the signal's number when stopped by SIGINT, SIGTERM or SIGHUP (130, 143, "
                "129; the frames measured are still summarised and written).",
                kHelpWidth, "");
    return text;
}

std::string helpOf(const Setting& setting)
{
    std::string help = optionHelp(setting);
    if (setting.kind == SettingKind::Choice || setting.kind == SettingKind::Path || setting.kind == SettingKind::Flag) {
        const std::string fallback = defaultText(setting);
        if (setting.kind != SettingKind::Flag && !fallback.empty())
            help += " (default: " + fallback + ")";
    } else if (const std::string fallback = defaultText(setting); !fallback.empty()) {
        help += " (default: " + fallback + ")";
    }
    return columnHelp(help);
}

// The settings of `groups` as options of `app`, each setting the request through the table.
void declareSettings(CLI::App& app, Request& request, const std::vector<SettingGroup>& groups,
                     const std::function<bool(const Setting&)>& wanted)
{
    for (const Setting& setting : settings()) {
        if (!setting.offered || !wanted(setting) ||
            std::find(groups.begin(), groups.end(), setting.group) == groups.end())
            continue;
        const Setting* row = &setting;
        CLI::Option* option = nullptr;
        if (setting.kind == SettingKind::Flag) {
            option = app.add_flag_callback(optionOf(setting), [row, &request] { setSetting(request, *row, negated(*row) ? "false" : "true"); },
                                           helpOf(setting));
        } else {
            option = app.add_option_function<std::string>(
                optionName(setting.name),
                [row, &request](const std::string& text) {
                    if (text.empty() && row->kind == SettingKind::Path)
                        throw RequestError(mention(row->name) + " needs a file name");
                    setSetting(request, *row, text);
                },
                helpOf(setting));
            option->type_name(setting.valueName);
        }
        option->group(groupTitle(setting.group));
    }
}

void formatHelp(CLI::App& app)
{
    app.get_formatter()->column_width(kOptionColumn);
    app.get_formatter()->label("OPTIONS", "OPTION");
}

std::string versionText()
{
    return "hdrmeter " + std::to_string(HDRMETER_VERSION_MAJOR) + "." + std::to_string(HDRMETER_VERSION_MINOR) +
           "." + std::to_string(HDRMETER_VERSION_PATCH) + "\n";
}

}  // namespace

const char* groupTitle(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Input:
        return "Input";
    case SettingGroup::Measurement:
        return "Measurement";
    case SettingGroup::AreaAndScenes:
        return "Area and scenes";
    case SettingGroup::Outputs:
        return "Outputs";
    case SettingGroup::Metadata:
        return "Metadata";
    case SettingGroup::Verify:
        break;
    }
    return "Verify";
}

const std::vector<ProgramOption>& programOptions()
{
    static const std::vector<ProgramOption> options = {
        {"--quiet", "", "print nothing but errors: no progress, warnings or summary (scripts read the files)", true},
        {"--progress", "auto|json",
         "auto: a line on standard error when it is a terminal; json: JSON lines on standard error whatever it is, "
         "a few a second and one as each pass ends, even with --quiet (default: auto)",
         true},
        {"--version", "", "print the version and exit", false},
    };
    return options;
}

std::string optionName(const std::string& settingName)
{
    std::string option = "--" + settingName;
    std::replace(option.begin(), option.end(), '_', '-');
    return option;
}

bool negated(const Setting& setting)
{
    return setting.kind == SettingKind::Flag && settingText(Request{}, setting) == "true";
}

std::string optionOf(const Setting& setting)
{
    return negated(setting) ? "--no-" + optionName(setting.name).substr(2) : optionName(setting.name);
}

std::string optionHelp(const Setting& setting)
{
    const std::string help = spelledForCommandLine(setting.help);
    return negated(setting) ? "leave out " + help : help;
}

std::string spelledForCommandLine(const std::string& message)
{
    return spelled(message, [](const std::string& name, const std::string* value) {
        // The input is the one setting given without an option: a command to run again names the program.
        if (name == "input" && value)
            return "hdrmeter " + *value;
        const Setting* setting = findSetting(name);
        if (setting && !value && negated(*setting))
            return "--no-" + optionName(name).substr(2);
        return optionName(name) + (value ? " " + *value : std::string());
    });
}

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine commandLine;
    Request& request = commandLine.request;
    // The tool only writes files: it keeps no frame list, so that memory does not grow with the film.
    request.keepFrames = false;

    CLI::App app{kDescription, "hdrmeter"};
    app.footer(footer());
    formatHelp(app);
    app.add_option("FILE", request.input, "the video; - or nothing for standard input")->type_name("");
    declareSettings(app, request,
                    {SettingGroup::Input, SettingGroup::Measurement, SettingGroup::AreaAndScenes, SettingGroup::Outputs,
                     SettingGroup::Metadata, SettingGroup::Verify},
                    [](const Setting&) { return true; });
    std::string progress = "auto";
    declareProgramOptions(app, commandLine.program, progress, false);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        commandLine.immediateOutput = app.help();
        return commandLine;
    } catch (const CLI::ParseError& error) {
        throw RequestError(error.what());
    }
    if (commandLine.program.version) {
        commandLine.immediateOutput = versionText();
        return commandLine;
    }
    commandLine.inputPathGiven = app.count("FILE") > 0;
    finishProgramOptions(commandLine.program, progress);
    if (const std::string reason = validate(request); !reason.empty())
        throw RequestError(reason);
    return commandLine;
}

void declareProgramOptions(CLI::App& app, ProgramChoices& choices, std::string& progress, bool merge)
{
    for (const ProgramOption& program : programOptions()) {
        if (merge && !program.merge)
            continue;
        const std::string name = program.option;
        CLI::Option* option = name == "--quiet"      ? app.add_flag(name, choices.quiet, columnHelp(program.help))
                              : name == "--version" ? app.add_flag(name, choices.version, columnHelp(program.help))
                                                    : app.add_option(name, progress, columnHelp(program.help));
        if (*program.valueName)
            option->type_name(program.valueName);
        option->group("Program");
    }
}

void finishProgramOptions(ProgramChoices& choices, const std::string& progress)
{
    if (progress != "auto" && progress != "json")
        throw RequestError("--progress " + progress + ": expected auto or json");
    choices.jsonProgress = progress == "json";
}

void declareMergeOutputs(CLI::App& app, Request& outputs)
{
    // The Dolby Vision config's CM version is a form of an output: a merge takes it as one run does.
    declareSettings(app, outputs, {SettingGroup::Outputs, SettingGroup::Metadata}, [](const Setting& setting) {
        return mergeTakes(setting);
    });
}

void formatCommandHelp(CLI::App& app)
{
    formatHelp(app);
}

}  // namespace hdrmeter::cli
