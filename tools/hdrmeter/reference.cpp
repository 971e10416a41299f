#include "reference.h"

#include <hdrmeter/settings.h>
#include <hdrmeter/version.h>

#include "options.h"

namespace hdrmeter::cli {

using namespace hdrmeter::clip;

namespace {

const SettingGroup kGroups[] = {SettingGroup::Input,   SettingGroup::Measurement, SettingGroup::AreaAndScenes,
                                SettingGroup::Outputs, SettingGroup::Metadata,    SettingGroup::Verify};

std::string defaultOf(const Setting& setting)
{
    if (setting.kind == SettingKind::Flag)
        return negated(setting) ? "" : "off";
    return defaultText(setting);
}

std::string markdownCell(std::string text)
{
    std::string cell;
    for (char c : text)
        cell += c == '|' ? std::string("\\|") : std::string(1, c);
    return cell;
}

std::string pythonType(const Setting& setting)
{
    switch (setting.kind) {
    case SettingKind::Flag:
        return "bool";
    case SettingKind::Whole:
        return "int";
    case SettingKind::Decimal:
        return "float";
    case SettingKind::Time:
        return "float | str";
    case SettingKind::Path:
        return setting.name == std::string("scene_cuts") ? "str | os.PathLike[str] | Iterable[int]"
                                                         : "str | os.PathLike[str]";
    case SettingKind::Area:
        return "str | tuple[int, int, int, int]";
    case SettingKind::Display:
        return "str | tuple[float | str, ...]";
    case SettingKind::FrameList:
        return "Iterable[int]";
    case SettingKind::Choice:
    case SettingKind::Size:
    case SettingKind::Text:
        break;
    }
    return "str";
}

std::string roff(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '-')
            out += "\\-";
        else if (c == '\\')
            out += "\\e";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

}  // namespace

std::string optionsMarkdown()
{
    std::string text;
    for (SettingGroup group : kGroups) {
        text += std::string(text.empty() ? "" : "\n") + "**" + groupTitle(group) + "**\n\n| Option | Default | Meaning |\n|---|---|---|\n";
        for (const Setting& setting : settings())
            if (setting.offered && setting.group == group)
                text += "| `" + optionOf(setting) + (*setting.valueName ? " " + markdownCell(setting.valueName) : "") +
                        "` | " + markdownCell(defaultOf(setting)) + " | " + markdownCell(optionHelp(setting)) + " |\n";
    }
    return text;
}

std::string keywordsMarkdown()
{
    std::string text = "| Keyword | Type | Default | Meaning |\n|---|---|---|---|\n";
    for (const Setting& setting : settings())
        if (setting.offered)
            text += "| `" + std::string(setting.name) + "` | `" + markdownCell(pythonType(setting)) + "` | " +
                    markdownCell(setting.kind == SettingKind::Flag ? (negated(setting) ? "True" : "False")
                                                                   : defaultText(setting)) +
                    " | " + markdownCell(spelledPlainly(setting.help)) + " |\n";
    return text;
}

std::string manPage()
{
    std::string page = ".TH HDRMETER 1 \"\" \"hdrmeter " + std::to_string(HDRMETER_VERSION_MAJOR) + "." +
                       std::to_string(HDRMETER_VERSION_MINOR) + "." + std::to_string(HDRMETER_VERSION_PATCH) +
                       "\" \"User Commands\"\n"
                       ".SH NAME\nhdrmeter \\- measure the light of HDR video and write its metadata\n"
                       ".SH SYNOPSIS\n.B hdrmeter\n[\\fIOPTION\\fR]... [\\fIFILE\\fR]\n.br\n"
                       ".B hdrmeter plan\n\\fIFILE\\fR \\fB\\-\\-segments\\fR \\fIN\\fR | "
                       "\\fB\\-\\-segment\\-seconds\\fR \\fIS\\fR\n.br\n"
                       ".B hdrmeter merge\n[\\fIOUTPUT OPTION\\fR]... \\fIPART\\fR...\n"
                       ".SH DESCRIPTION\n"
                       "hdrmeter measures HDR video (PQ or HLG) frame by frame: each frame's average and largest light, "
                       "the share of pixels above a threshold and percentiles; the clip's MaxCLL and MaxFALL, its "
                       "active area and scenes. It writes per-frame CSV and JSON lines, a plot, HDR10+ metadata, a "
                       "Dolby Vision generator config and a madVR measurement file, and ends its summary with the "
                       "HDR10 options for x265, ffmpeg and mkvmerge. FILE is any file FFmpeg reads (\\- or none is "
                       "standard input), an image sequence (a printf pattern such as master_%06d.dpx, a folder of "
                       "numbered images or a glob) or an IMF composition playlist; Y'CbCr and R'G'B' masters, "
                       "floats included.\n"
                       ".PP\n\\fBplan\\fR prints time segments of FILE that start on key frames; each is measured "
                       "apart with \\fB\\-\\-start\\fR, \\fB\\-\\-end\\fR and \\fB\\-\\-partial\\fR, and \\fBmerge\\fR "
                       "makes the whole file's summary and files from the parts, byte for byte as one run.\n";
    for (SettingGroup group : kGroups) {
        page += ".SH " + std::string(groupTitle(group)) + " OPTIONS\n";
        for (const Setting& setting : settings()) {
            if (!setting.offered || setting.group != group)
                continue;
            page += ".TP\n\\fB" + roff(optionOf(setting)) + "\\fR" +
                    (*setting.valueName ? " \\fI" + roff(setting.valueName) + "\\fR" : "") + "\n" + roff(optionHelp(setting));
            const std::string fallback = defaultOf(setting);
            if (!fallback.empty() && setting.kind != SettingKind::Flag)
                page += " (default: " + roff(fallback) + ")";
            page += ".\n";
        }
    }
    page += ".SH PROGRAM OPTIONS\n";
    for (const ProgramOption& program : programOptions())
        page += ".TP\n\\fB" + roff(program.option) + "\\fR" +
                (*program.valueName ? " \\fI" + roff(program.valueName) + "\\fR" : "") + "\n" + roff(program.help) +
                (program.merge ? "; \\fBmerge\\fR takes it too" : "") + ".\n";
    page += ".SH EXIT STATUS\n.TP\n0\nsuccess\n.TP\n1\nbad input: unreadable, damaged or cut short, not measurable, "
            "or an output that cannot be written\n.TP\n2\nbad usage\n.TP\n3\na \\fB\\-\\-verify\\fR check failed "
            "(the run itself complete)\n.TP\n128+N\nstopped by signal N (SIGINT 130, SIGTERM 143, SIGHUP 129); "
            "what was measured is still summarised and written\n"
            ".SH SEE ALSO\n\\fBffmpeg\\fR(1), \\fBx265\\fR(1), \\fBmkvmerge\\fR(1)\n";
    return page;
}

std::string bashCompletion()
{
    std::string options = "--help", choices, files;
    for (const ProgramOption& program : programOptions()) {
        options += " " + std::string(program.option);
        if (*program.valueName) {
            std::string words = program.valueName;
            for (char& c : words)
                c = c == '|' ? ' ' : c;
            choices += "        " + std::string(program.option) + ") COMPREPLY=($(compgen -W \"" + words +
                       "\" -- \"$cur\")); return ;;\n";
        }
    }
    std::string mergeOptions = "--help --no-remeasure";
    for (const ProgramOption& program : programOptions())
        if (program.merge)
            mergeOptions += " " + std::string(program.option);
    for (const Setting& setting : settings()) {
        if (!setting.offered)
            continue;
        const std::string option = optionOf(setting);
        options += " " + option;
        if (mergeTakes(setting))
            mergeOptions += " " + option;
        if (setting.kind == SettingKind::Choice) {
            std::string words = setting.choices;
            for (char& c : words)
                c = c == '|' ? ' ' : c;
            choices += "        " + option + ") COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\")); return ;;\n";
        } else if (setting.kind == SettingKind::Path) {
            files += (files.empty() ? "" : "|") + option;
        } else if (setting.kind == SettingKind::Area) {
            choices += "        " + option + ") COMPREPLY=($(compgen -W \"auto full\" -- \"$cur\")); return ;;\n";
        }
    }
    return "# bash completion for hdrmeter, made from its table of settings\n"
           "_hdrmeter() {\n"
           "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\" command=\n"
           "    [ \"$COMP_CWORD\" -gt 1 ] && case \"${COMP_WORDS[1]}\" in plan|merge) command=${COMP_WORDS[1]} ;; esac\n"
           "    case \"$prev\" in\n" +
           choices + "        " + files + ") _filedir; return ;;\n" +
           "        --size|--pix-fmt|--stream|--segments|--segment-seconds) return ;;\n"
           "    esac\n"
           "    if [[ \"$cur\" == -* ]]; then\n"
           "        case \"$command\" in\n"
           "        plan) COMPREPLY=($(compgen -W \"--help --segments --segment-seconds --stream\" -- \"$cur\")) ;;\n"
           "        merge) COMPREPLY=($(compgen -W \"" + mergeOptions + "\" -- \"$cur\")) ;;\n" +
           "        *) COMPREPLY=($(compgen -W \"" + options + "\" -- \"$cur\")) ;;\n" +
           "        esac\n"
           "        return\n"
           "    fi\n"
           "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
           "        COMPREPLY=($(compgen -W \"plan merge\" -- \"$cur\"))\n"
           "    fi\n"
           "    _filedir\n"
           "}\n"
           "complete -F _hdrmeter hdrmeter\n";
}

std::string measureKeywordsStub()
{
    std::string text;
    for (const Setting& setting : settings())
        if (setting.offered)
            text += "    " + std::string(setting.name) + ": " + pythonType(setting) + " | None = None,\n";
    return text;
}

std::string mergeKeywordsStub()
{
    std::string text;
    for (const Setting& setting : settings())
        if (setting.offered && mergeTakes(setting))
            text += "    " + std::string(setting.name) + ": " + pythonType(setting) + " | None = None,\n";
    return text;
}

}  // namespace hdrmeter::cli
