#include "options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <hdrmeter.h>

#include "tool_errors.h"

namespace hdrmeter::tool {

namespace {

// The engine allocates one task per band per frame; beyond a few hundred bands there is nothing to gain.
constexpr long long kMaxTaskCount = 256;

const char* kDescription =
    "hdrmeter: measures the light of HDR video frames, frame by frame, and prints MaxCLL, MaxFALL and\n"
    "how much of the picture is above a threshold.\n"
    "\n"
    "Input is a YUV4MPEG2 stream from FILE or standard input, as ffmpeg writes it:\n"
    "  ffmpeg -i in.mkv -pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe - | hdrmeter\n"
    "or raw planar video with --size and --pix-fmt. 10, 12 and 16-bit 4:2:0, 4:2:2 and 4:4:4 are measured;\n"
    "samples are little-endian 16-bit words.\n";

const char* kFooter =
    "How frames are measured:\n"
    "  4:2:0 is measured as 4:2:2, each chroma row used for the two luma rows it covers.\n"
    "  With an odd width, 4:2:0 and 4:2:2 chroma is repeated to one sample per pixel and measured as 4:4:4,\n"
    "  which gives every pixel the chroma it has in the stored frame. ffmpeg's YUV4MPEG2 writer cuts such\n"
    "  frames' chroma rows short, so for them pipe -f rawvideo with --size and --pix-fmt instead.\n"
    "  Codes are narrow range. Light is the largest of a pixel's R, G, B luminances; the threshold and the\n"
    "  percentiles use the luminance of its luma code. Frames are numbered from 0.\n"
    "\n"
    "Outputs:\n"
    "  The summary goes to standard output, or to standard error when --csv - or --jsonl - takes standard\n"
    "  output. MaxCLL and MaxFALL are the largest per-frame largest light and the largest per-frame average\n"
    "  light, rounded to the nearest whole nit as HDR10 metadata carries them (the exact value follows).\n"
    "  CSV columns and JSON names: frame, average_light_nits, largest_light_nits, above_threshold_percent,\n"
    "  top1_nits, top2_nits, bottom_nits, and with --checks luma_min_code, luma_max_code, luma_low_count\n"
    "  (codes below narrow-range black, 64 at 10 bits) and luma_high_count (above white, 940 at 10 bits).\n"
    "  Numbers are written in their shortest exact form.\n"
    "\n"
    "Exit status: 0 success; 1 bad input (unreadable, malformed or truncated, 8-bit or monochrome, a file\n"
    "that cannot be written); 2 bad usage (an option or value that cannot be carried out).";

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

double parseDouble(const std::string& text, const std::string& option, const std::string& expected)
{
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
        throw UsageError(option + " " + text + ": expected " + expected);
    return value;
}

long long parseWholeNumber(const std::string& text, const std::string& option, const std::string& expected)
{
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(option + " " + text + ": expected " + expected);
    return value;
}

float parsePercent(const std::string& text, const std::string& option)
{
    double percent = parseDouble(text, option, "a percentage from 0 to 100");
    if (percent < 0.0 || percent > 100.0)
        throw UsageError(option + " " + text + ": a percentage must lie between 0 and 100");
    return static_cast<float>(percent);
}

}  // namespace

std::pair<int, int> parseFrameSize(const std::string& text)
{
    const std::size_t cross = text.find('x');
    const std::string expected = "WIDTHxHEIGHT in pixels, such as 1920x1080";
    if (cross == std::string::npos || text.find_first_not_of("0123456789x") != std::string::npos)
        throw UsageError("--size " + text + ": expected " + expected);
    long long width = parseWholeNumber(text.substr(0, cross), "--size", expected);
    long long height = parseWholeNumber(text.substr(cross + 1), "--size", expected);
    std::string problem = frameSizeProblem(width, height);
    if (!problem.empty())
        throw UsageError("--size " + text + ": " + problem);
    return {static_cast<int>(width), static_cast<int>(height)};
}

CommandLine parseCommandLine(int argc, const char* const* argv, int defaultTaskCount)
{
    CommandLine commandLine;
    ToolOptions& options = commandLine.options;
    std::string transfer = "pq";
    std::string matrix = "bt2020";
    std::string threshold = "203";
    std::string top1 = "1";
    std::string top2 = "10";
    std::string bottom = "1";
    std::string tasks = std::to_string(defaultTaskCount);
    std::string frames;
    std::string size;
    bool noPercentiles = false;
    bool version = false;

    CLI::App app{kDescription, "hdrmeter"};
    app.footer(kFooter);
    app.get_formatter()->column_width(30);
    app.add_option("FILE", options.inputPath, "YUV4MPEG2 or raw input; - or nothing for standard input")
        ->type_name("");
    app.add_flag("--demo", options.demo,
                 "measure a built-in synthetic clip: 120 frames of 1920x1080 10-bit 4:2:2 PQ BT.2020\n"
                 "with a ramp, colour bars and a moving highlight that peaks at 4000 nits");
    app.add_option("--size", size, "frame size of raw planar input (needs --pix-fmt)")->type_name("WxH");
    app.add_option("--pix-fmt", options.rawPixelFormatName,
                   "ffmpeg pixel format of raw input: yuv420p10le, yuv422p10le, yuv444p10le,\n"
                   "and the 12 and 16-bit ones (needs --size)")
        ->type_name("NAME");
    app.add_option("--transfer", transfer, "transfer function (default pq)")->type_name("pq|hlg");
    app.add_option("--matrix", matrix, "Y'CbCr matrix (default bt2020)")->type_name("bt2020|bt709");
    app.add_option("--threshold", threshold,
                   "count pixels whose luminance is above this many nits (default 203, the HDR\n"
                   "reference white); whole nits from 0 to 10000, since the engine compares whole nits")
        ->type_name("NITS");
    app.add_option("--top1", top1, "report the luminance the brightest P percent reach (default 1)")->type_name("P");
    app.add_option("--top2", top2, "a second such percentage (default 10)")->type_name("P");
    app.add_option("--bottom", bottom, "report the luminance all but the darkest P percent reach (default 1)")
        ->type_name("P");
    app.add_flag("--no-percentiles", noPercentiles, "skip the percentiles (no sort per frame; faster)");
    app.add_option("--tasks", tasks, "measure each frame in N concurrent bands (default: the number of cores)")
        ->type_name("N");
    app.add_flag("--checks", options.settings.lumaChecks,
                 "also report per frame the luma minimum and maximum codes and the counts of codes outside\n"
                 "the narrow range, read before the measurement clamps them");
    app.add_option("--frames", frames, "measure at most the first N frames")->type_name("N");
    app.add_option("--csv", options.csvPath, "write one CSV row per frame (- for standard output)")->type_name("FILE");
    app.add_option("--jsonl", options.jsonlPath, "write one JSON object per line per frame (- for standard output)")
        ->type_name("FILE");
    app.add_option("--plot", options.plotPath, "draw the per-frame light on a PQ-scaled nits axis")
        ->type_name("FILE.svg");
    app.add_flag("--version", version, "print the version and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        commandLine.immediateOutput = app.help();
        return commandLine;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    if (version) {
        commandLine.immediateOutput = "hdrmeter " + std::to_string(HDRMETER_VERSION_MAJOR) + "." +
                                      std::to_string(HDRMETER_VERSION_MINOR) + "." +
                                      std::to_string(HDRMETER_VERSION_PATCH) + "\n";
        return commandLine;
    }
    options.inputPathGiven = app.count("FILE") > 0;

    MeasureSettings& settings = options.settings;
    transfer = lowerCase(transfer);
    if (transfer != "pq" && transfer != "hlg")
        throw UsageError("--transfer " + transfer + ": expected pq or hlg");
    settings.transfer = transfer == "hlg" ? TransferFunction::Hlg : TransferFunction::Pq;
    matrix = lowerCase(matrix);
    if (matrix != "bt2020" && matrix != "bt709")
        throw UsageError("--matrix " + matrix + ": expected bt2020 or bt709");
    settings.matrix = matrix == "bt709" ? ColourMatrix::Bt709 : ColourMatrix::Bt2020;

    const double thresholdNits = parseDouble(threshold, "--threshold", "whole nits, such as 203");
    if (thresholdNits != std::floor(thresholdNits))
        throw UsageError("--threshold " + threshold + ": give whole nits (the engine compares against a whole-nit "
                                                      "level), such as " +
                         std::to_string(static_cast<long long>(std::floor(thresholdNits))) + " or " +
                         std::to_string(static_cast<long long>(std::ceil(thresholdNits))));
    if (thresholdNits < 0.0 || thresholdNits > 10000.0)
        throw UsageError("--threshold " + threshold + ": give a level from 0 to 10000 nits");
    settings.thresholdNits = static_cast<int>(thresholdNits);

    settings.top1Percent = parsePercent(top1, "--top1");
    settings.top2Percent = parsePercent(top2, "--top2");
    settings.bottomPercent = parsePercent(bottom, "--bottom");
    settings.percentiles = !noPercentiles;

    const long long taskCount = parseWholeNumber(tasks, "--tasks", "a whole number of tasks, 1 or more");
    if (taskCount < 1)
        throw UsageError("--tasks " + tasks + ": give 1 or more tasks");
    if (taskCount > kMaxTaskCount)
        throw UsageError("--tasks " + tasks + ": give at most " + std::to_string(kMaxTaskCount) + " tasks");
    settings.taskCount = static_cast<int>(taskCount);

    if (!frames.empty()) {
        const long long frameLimit = parseWholeNumber(frames, "--frames", "a whole number of frames, 1 or more");
        if (frameLimit < 1)
            throw UsageError("--frames " + frames + ": give 1 or more frames");
        options.frameLimit = frameLimit;
    }

    const bool rawGiven = app.count("--size") > 0 || app.count("--pix-fmt") > 0;
    if (options.demo && (options.inputPathGiven || rawGiven))
        throw UsageError("--demo measures its own clip: give no FILE, --size or --pix-fmt with it");
    if (options.demo && (settings.transfer != TransferFunction::Pq || settings.matrix != ColourMatrix::Bt2020))
        throw UsageError("--demo makes a PQ BT.2020 clip: leave --transfer and --matrix at pq and bt2020");
    if (rawGiven) {
        if (app.count("--size") == 0)
            throw UsageError("--pix-fmt needs --size WIDTHxHEIGHT for raw input");
        if (app.count("--pix-fmt") == 0)
            throw UsageError("--size needs --pix-fmt NAME for raw input, such as --pix-fmt yuv422p10le");
        SampleLayoutLookup layout = lookupFfmpegPixelFormat(options.rawPixelFormatName);
        if (!layout.supported)
            throw UsageError("--pix-fmt: " + layout.refusal);
        const std::pair<int, int> frameSize = parseFrameSize(size);
        VideoFormat format;
        format.width = frameSize.first;
        format.height = frameSize.second;
        format.bitDepth = layout.bitDepth;
        format.subsampling = layout.subsampling;
        options.rawFormat = format;
    }
    if (!options.csvPath.empty() && options.csvPath == options.jsonlPath)
        throw UsageError("--csv and --jsonl cannot both write " +
                         (options.csvPath == "-" ? std::string("standard output") : options.csvPath));
    if (options.plotPath == "-")
        throw UsageError("--plot needs a file name such as light.svg");
    return commandLine;
}

}  // namespace hdrmeter::tool
