#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <functional>
#include <limits>
#include <cmath>
#include <cstdio>
#include <sstream>


namespace hdrmeter::cli {

using namespace hdrmeter::clip;

namespace {

constexpr long long kMaxTaskCount = 256;
constexpr long long kMaxFrameDimension = 16384;

const char* kDescription =
    "hdrmeter: measures the light of HDR video frame by frame and prints MaxCLL, MaxFALL, how much of the\n"
    "picture is above a threshold, and the static metadata the stream states.\n"
    "\n"
    "Input is any video file FFmpeg reads (HEVC, AV1, ProRes, FFV1 ... in mkv, mp4, mov, ts, y4m), or the\n"
    "same from standard input; raw planar video with --size and --pix-fmt. Planar Y'CbCr 4:2:0, 4:2:2 and\n"
    "4:4:4 at 10, 12 and 16 bits is measured as the decoder made it. The transfer (PQ or HLG) and the matrix\n"
    "(BT.2020 or BT.709) come from the stream's tags; --transfer and --matrix override them.\n";

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
        "Arithmetic: exact ITU-R coefficients, a summation order that does not depend on the task count, and\n"
        "exact percentile ranks; --class-parity gives CHDR_Measurements' arithmetic bit for bit instead.\n"
        "\n"
        "Outputs:\n"
        "  The summary goes to standard output, or to standard error when an output takes standard output.\n"
        "  Files are written under a temporary name in the same folder and renamed into place when complete.\n"
        "  Frames and scenes are numbered from 0. The summary ends with the HDR10 options for x265, ffmpeg and\n"
        "  mkvmerge.\n" +
        wrapped("CSV columns and JSON names, in order: " + columns + ".", 102, "  ") +
        "\n"
        "Active area: with auto, the union of every frame's content (samples within 16 codes of black at 10\n"
        "bits are black); frames measured before the area last grew are measured again at the end. On standard\n"
        "input that keeps a copy of the stream in $TMPDIR; full or L,T,R,B read the input once. With full,\n"
        "frames of a new size are measured in their own size, and so with L,T,R,B while it leaves pixels of\n"
        "them; with auto, or a given area that leaves none, a new size ends the run there.\n"
        "Scenes: a cut where the luma or light histogram (32 bins) changes by the threshold's share of the\n"
        "pixels or more; shorter scenes join the one before.\n"
        "\n"
        "Exit status: 0 success; 1 bad input (unreadable, damaged or cut short, not measurable, an output that\n"
        "cannot be written); 2 bad usage; 3 a --verify check failed (the run itself complete); 128 plus the signal's number when stopped by SIGINT, SIGTERM or\n"
        "SIGHUP (130, 143, 129; the frames measured are still summarised and written).";
    return text;
}

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

double parseNumber(const std::string& text, const std::string& option, const std::string& expected)
{
    double value = 0.0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
        throw RequestError(option + " " + text + ": expected " + expected);
    return value;
}

long long parseWholeNumber(const std::string& text, const std::string& option, const std::string& expected,
                           long long lowest, long long highest)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value < lowest || value > highest)
        throw RequestError(option + " " + text + ": expected " + expected);
    return value;
}

RawVideo parseRawVideo(const std::string& size, const std::string& pixelFormat)
{
    const std::size_t cross = size.find('x');
    const std::string expected = "WIDTHxHEIGHT in pixels from 1 to 16384, such as 1920x1080";
    if (cross == std::string::npos)
        throw RequestError("--size " + size + ": expected " + expected);
    RawVideo raw;
    // A part that is not a size is refused quoting the whole value, as the user wrote it.
    try {
        raw.width = static_cast<int>(parseWholeNumber(size.substr(0, cross), "--size", expected, 1, kMaxFrameDimension));
        raw.height = static_cast<int>(parseWholeNumber(size.substr(cross + 1), "--size", expected, 1, kMaxFrameDimension));
    } catch (const RequestError&) {
        throw RequestError("--size " + size + ": expected " + expected);
    }
    raw.pixelFormat = pixelFormat;
    return raw;
}

// "auto", "full" or "L,T,R,B".
void parseArea(const std::string& text, Request& request)
{
    if (text == "auto" || text == "full") {
        request.areaMode = text == "auto" ? AreaMode::Auto : AreaMode::Full;
        return;
    }
    const std::string expected = "--active-area " + text +
                                 ": expected auto, full or LEFT,TOP,RIGHT,BOTTOM in pixels from each edge, such as "
                                 "0,140,0,140";
    int offsets[4] = {0, 0, 0, 0};
    const char* position = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        const std::from_chars_result result = std::from_chars(position, end, offsets[i]);
        if (result.ec != std::errc() || offsets[i] < 0 || offsets[i] > kMaxFrameDimension || result.ptr == position)
            throw RequestError(expected);
        position = result.ptr;
        if (i < 3) {
            if (position == end || *position != ',')
                throw RequestError(expected);
            ++position;
        }
    }
    if (position != end)
        throw RequestError(expected);
    request.areaMode = AreaMode::Given;
    request.area = {offsets[0], offsets[1], offsets[2], offsets[3]};
}

// "MAX,MIN" in nits, primaries (a name or RX,RY,GX,GY,BX,BY,WX,WY), or primaries then MAX,MIN. Throws
// std::invalid_argument with the reason.
MasteringLuminance parseMasteringDisplay(const std::string& text)
{
    const std::string expected = "MAX,MIN in nits, such as 1000,0.0001 (MAX above MIN, at most 10000), primaries "
                                 "(p3-d65, bt2020, bt709 or RX,RY,GX,GY,BX,BY,WX,WY), or both: p3-d65,1000,0.0001";
    std::vector<std::string> parts(1);
    for (char c : text)
        if (c == ',')
            parts.emplace_back();
        else
            parts.back() += c;
    MasteringLuminance result;
    result.assumed = false;
    std::vector<double> numbers;
    const bool named = setNamedPrimaries(result, parts[0]);
    for (std::size_t i = named ? 1 : 0; i < parts.size(); ++i) {
        const char* end = parts[i].data() + parts[i].size();
        double value = 0.0;
        const std::from_chars_result parsed = std::from_chars(parts[i].data(), end, value);
        if (parts[i].empty() || parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(value))
            throw std::invalid_argument(expected);
        numbers.push_back(value);
    }
    const std::size_t primaryCount = named ? 0 : numbers.size() >= 8 ? 8 : 0;
    if (primaryCount == 8) {
        result.primaries = std::array<double, 6>{numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], numbers[5]};
        result.whitePoint = std::array<double, 2>{numbers[6], numbers[7]};
    }
    const std::size_t luminanceCount = numbers.size() - primaryCount;
    if (luminanceCount == 0 && (named || primaryCount == 8)) {
        result.luminanceGiven = false;
        return result;
    }
    if (luminanceCount != 2)
        throw std::invalid_argument(expected);
    result.maxNits = numbers[primaryCount];
    result.minNits = numbers[primaryCount + 1];
    if (result.minNits < 0.0 || result.maxNits <= result.minNits || result.maxNits > 10000.0)
        throw std::invalid_argument(expected);
    return result;
}

std::string withDefault(const char* help, const std::string& value)
{
    return std::string(help) + " (default " + value + ")";
}

std::string shortest(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine commandLine;
    Request& request = commandLine.request;
    // The tool only writes files: it keeps no frame list, so that memory does not grow with the film.
    request.keepFrames = false;
    const Request defaults;
    std::string size, pixelFormat;
    bool noPercentiles = false, version = false;

    CLI::App app{kDescription, "hdrmeter"};
    app.footer(footer());
    app.get_formatter()->column_width(30);
    // Each option's text becomes its field of the request where the option is declared; the ranges are
    // validate()'s, after the whole line is read.
    const auto option = [&app](const char* name, const std::string& help, const char* valueName,
                               std::function<void(const std::string& text, const char* name)> parse) {
        app.add_option_function<std::string>(name, [name, parse](const std::string& text) { parse(text, name); }, help)
            ->type_name(valueName);
    };
    const auto number = [](double& field, const char* expected) {
        return [&field, expected](const std::string& text, const char* name) {
            field = parseNumber(text, name, expected);
        };
    };
    const auto percent = [&number](double& field) { return number(field, "a percentage from 0 to 100"); };

    app.add_option("FILE", request.input, "the video; - or nothing for standard input")->type_name("");
    app.add_flag("--demo", request.demo,
                 "measure a built-in synthetic clip: 120 frames of 1920x1080 10-bit 4:2:2 PQ BT.2020\n"
                 "with a ramp, colour bars and a moving highlight that peaks at 4000 nits");
    app.add_option("--size", size, "frame size of raw planar input (needs --pix-fmt)")->type_name("WxH");
    app.add_option("--pix-fmt", pixelFormat, "ffmpeg pixel format of raw input, such as yuv420p10le (needs --size)")
        ->type_name("NAME");
    option("--stream", "measure the container's stream N (default: the first video stream)", "N",
           [&](const std::string& text, const char* name) {
               request.stream = static_cast<int>(parseWholeNumber(text, name, "a stream number, 0 or more", 0, 65535));
           });
    option("--transfer", "measure as this transfer function, whatever the stream's tag says", "pq|hlg",
           [&](const std::string& text, const char*) {
               const std::string transfer = lowerCase(text);
               if (transfer != "pq" && transfer != "hlg")
                   throw RequestError("--transfer " + transfer + ": expected pq or hlg");
               request.transfer = transfer == "hlg" ? Transfer::Hlg : Transfer::Pq;
           });
    option("--matrix", "measure with this Y'CbCr matrix, whatever the stream's tag says", "bt2020|bt709",
           [&](const std::string& text, const char*) {
               const std::string matrix = lowerCase(text);
               if (matrix != "bt2020" && matrix != "bt709")
                   throw RequestError("--matrix " + matrix + ": expected bt2020 or bt709");
               request.matrix = matrix == "bt709" ? Matrix::Bt709 : Matrix::Bt2020;
           });
    option("--threshold",
           withDefault("count pixels whose luminance is above this many nits, 0 to 10000",
                       shortest(defaults.thresholdNits) + ", the HDR reference white"),
           "NITS", number(request.thresholdNits, "a level in nits, such as 203"));
    option("--top1", withDefault("report the luminance the brightest P percent reach", shortest(defaults.top1Percent)),
           "P", percent(request.top1Percent));
    option("--top2", withDefault("a second such percentage", shortest(defaults.top2Percent)), "P",
           percent(request.top2Percent));
    option("--bottom",
           withDefault("report the luminance all but the darkest P percent reach", shortest(defaults.bottomPercent)),
           "P", percent(request.bottomPercent));
    app.add_flag("--no-percentiles", noPercentiles, "leave the percentile columns out");
    option("--tasks", "measure each frame with N threads, 1 to 256 (default: one per core)", "N",
           [&](const std::string& text, const char* name) {
               request.tasks = static_cast<int>(
                   parseWholeNumber(text, name, "a whole number of tasks from 1 to 256", 1, kMaxTaskCount));
           });
    app.add_flag("--class-parity", request.classParity,
                 "CHDR_Measurements' arithmetic (listed coefficients, band summation, its ranks)");
    app.add_flag("--checks", request.lumaChecks,
                 "also report per frame the luma minimum and maximum codes and the counts of codes outside\n"
                 "the narrow range");
    app.add_flag("--accept-damaged", request.acceptDamaged,
                 "measure through frames the decoder flags as damaged and gaps in the stream's times:\n"
                 "they are named and flagged, and left out of every statistic (default: the run ends there)");
    option("--frames", "measure at most the first N frames", "N", [&](const std::string& text, const char* name) {
        request.frameLimit = parseWholeNumber(text, name, "a whole number of frames, 1 or more", 1,
                                              std::numeric_limits<long long>::max());
    });
    option("--start",
           "measure only the frames shown at or after T seconds from the first frame (seeks to the key\n"
           "frame before it; frames keep their numbers in the whole file)",
           "T", [&](const std::string& text, const char* name) {
               request.start = parseNumber(text, name, "a time in seconds from the first frame, such as 60.5");
           });
    option("--end", "measure only the frames shown before T seconds from the first frame", "T",
           [&](const std::string& text, const char* name) {
               request.end = parseNumber(text, name, "a time in seconds from the first frame, such as 120");
           });
    for (const OutputSpec& entry : outputTable())
        if (entry.perFrame || entry.output == Output::Plot)
            app.add_option(entry.option, request.*entry.path, entry.description)->type_name(entry.valueName);
    option("--active-area",
           "measure inside this area: auto (the union of every frame's content, default), full, or\n"
           "offsets in pixels from each edge",
           "auto|full|L,T,R,B", [&](const std::string& text, const char*) { parseArea(text, request); });
    option("--bars-tolerance",
           withDefault("with --active-area auto, how faint (mean 10-bit codes above black's tolerance)\n"
                       "a line beside the bars may be and still count as bars; 0: only black lines",
                       std::to_string(defaults.barsTolerance)),
           "N", [&](const std::string& text, const char* name) {
               request.barsTolerance = static_cast<int>(parseWholeNumber(
                   text, name, "a whole number of codes from 0 to " + std::to_string(hdrmeter::kBarsToleranceLargest),
                   0, hdrmeter::kBarsToleranceLargest));
           });
    option("--scene-threshold",
           withDefault("a cut where a histogram changes by at least this share, 0 to 1",
                       shortest(defaults.sceneThreshold)),
           "T", number(request.sceneThreshold, "a share from 0 to 1, such as 0.3"));
    option("--min-scene-length",
           withDefault("scenes shorter than N frames join the one before", std::to_string(defaults.minSceneFrames)),
           "N", [&](const std::string& text, const char* name) {
               request.minSceneFrames = parseWholeNumber(text, name, "a whole number of frames, 1 or more", 1, 1LL << 40);
           });
    app.add_option("--scene-cuts", request.sceneCutsFile,
                   "take the scenes' first frames from FILE (one number a line) instead of finding them")
        ->type_name("FILE");
    for (const OutputSpec& entry : outputTable())
        if (!entry.perFrame && entry.output != Output::Plot)
            app.add_option(entry.option, request.*entry.path, entry.description)->type_name(entry.valueName);
    option("--mastering-display",
           "the mastering display for --dovi-config and the HDR10 lines, over the stream's: its largest\n"
           "and smallest luminance in nits, its primaries (p3-d65, bt2020, bt709 or RX,RY,GX,GY,BX,BY,WX,WY),\n"
           "or both, such as p3-d65,1000,0.0001; a part not given is the stream's (default: the stream's,\n"
           "else primaries from its tags or BT.2020, and " +
               shortest(MasteringLuminance{}.maxNits) + "," + shortest(MasteringLuminance{}.minNits) +
               ", with a warning)",
           "[PRIMARIES,]MAX,MIN", [&](const std::string& text, const char* name) {
               try {
                   request.masteringDisplay = parseMasteringDisplay(text);
               } catch (const std::invalid_argument& error) {
                   throw RequestError(std::string(name) + " " + text + ": expected " + error.what());
               }
           });
    option("--dovi-cm-version", "the Dolby Vision config's content mapping version (default: 4.0; 2.9 for\n"
           "players that handle only CM v2.9, without the blocks only 4.0 has)", "2.9|4.0",
           [&](const std::string& text, const char* name) {
               if (text != "2.9" && text != "4.0")
                   throw RequestError(std::string(name) + " " + text + ": expected 2.9 or 4.0");
               request.doviCmVersion = text == "2.9" ? DoviCmVersion::V29 : DoviCmVersion::V40;
           });
    option("--robust-frame-percentile",
           withDefault("robust peaks: per frame the light at this percentile", shortest(defaults.robustFramePercent)),
           "P", percent(request.robustFramePercent));
    option("--robust-clip-percentile",
           withDefault("robust peaks: across frames this percentile of those and of the frames' average\nlight",
                       shortest(defaults.robustClipPercent)),
           "P", percent(request.robustClipPercent));
    app.add_flag("--robust-peaks", request.robustMetadata,
                 "the HDR10 lines and metadata files carry the robust MaxCLL and MaxFALL (default: the\n"
                 "measured ones)");
    option("--peak-pixels",
           withDefault("warn when MaxCLL rests on fewer pixels than N in every frame that reaches it, 0 never",
                       std::to_string(defaults.fewPeakPixels)),
           "N", [&](const std::string& text, const char* name) {
               request.fewPeakPixels = parseWholeNumber(text, name, "a whole number of pixels, 0 or more", 0,
                                                        std::numeric_limits<long long>::max());
           });
    app.add_flag("--verify", request.verify,
                 "check the stream's stated MaxCLL, MaxFALL, mastering display and HDR10+ against the picture;\n"
                 "exit status 3 when a check fails (implied by --verify-json)");
    option("--verify-margin",
           withDefault("a stated MaxCLL or MaxFALL more than P percent above the measured one warns",
                       shortest(defaults.verifyMarginPercent)),
           "P", number(request.verifyMarginPercent, "a percentage from 0 to 1000"));
    option("--verify-pq-codes",
           withDefault("HDR10+ values further than this many 10-bit PQ codes from hdrmeter's fail",
                       shortest(defaults.verifyPqCodes)),
           "N", number(request.verifyPqCodes, "a number of PQ codes from 0 to 1023"));
    option("--verify-max-shift",
           withDefault("align the HDR10+ metadata with the picture at offsets up to N frames",
                       std::to_string(defaults.verifyMaxShift)),
           "N", [&](const std::string& text, const char* name) {
               request.verifyMaxShift = parseWholeNumber(text, name, "a whole number of frames from 0 to 10000", 0, 10000);
           });
    app.add_flag("--version", version, "print the version and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        commandLine.immediateOutput = app.help();
        return commandLine;
    } catch (const CLI::ParseError& error) {
        throw RequestError(error.what());
    }
    if (version) {
        commandLine.immediateOutput = "hdrmeter " + std::to_string(HDRMETER_VERSION_MAJOR) + "." +
                                      std::to_string(HDRMETER_VERSION_MINOR) + "." +
                                      std::to_string(HDRMETER_VERSION_PATCH) + "\n";
        return commandLine;
    }
    commandLine.inputPathGiven = app.count("FILE") > 0;
    request.percentiles = !noPercentiles;
    const bool rawGiven = app.count("--size") > 0 || app.count("--pix-fmt") > 0;
    if (request.demo && (commandLine.inputPathGiven || rawGiven || app.count("--stream")))
        throw RequestError("--demo measures its own clip: give no FILE, --size, --pix-fmt or --stream with it");
    if (rawGiven) {
        if (app.count("--size") == 0)
            throw RequestError("--pix-fmt needs --size WIDTHxHEIGHT for raw input");
        if (app.count("--pix-fmt") == 0)
            throw RequestError("--size needs --pix-fmt NAME for raw input, such as --pix-fmt yuv422p10le");
        request.raw = parseRawVideo(size, pixelFormat);
    }
    for (const OutputSpec& entry : outputTable())
        if (app.count(entry.option) && (request.*entry.path).empty())
            throw RequestError(std::string(entry.option) + " needs a file name");
    if (app.count("--scene-cuts") && request.sceneCutsFile.empty())
        throw RequestError("--scene-cuts needs a file name");
    if (const std::string reason = validate(request, Spelling::CommandLine); !reason.empty())
        throw RequestError(reason);
    return commandLine;
}

}  // namespace hdrmeter::cli
