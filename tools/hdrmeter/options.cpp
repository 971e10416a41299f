#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <limits>
#include <cmath>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

// The analyzer keeps one worker per task; beyond a few hundred there is nothing to gain.
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

const char* kFooter =
    "Arithmetic: exact ITU-R coefficients, a summation order that does not depend on the task count, and\n"
    "exact percentile ranks; --class-parity gives CHDR_Measurements' arithmetic bit for bit instead.\n"
    "\n"
    "Outputs:\n"
    "  The summary goes to standard output, or to standard error when --csv - or --jsonl - takes standard\n"
    "  output. CSV columns and JSON names: frame, average_light_nits, largest_light_nits,\n"
    "  above_threshold_percent, top1_nits, top2_nits, bottom_nits, and with --checks luma_min_code,\n"
    "  luma_max_code, luma_low_count and luma_high_count, then scene. Files are written under a temporary\n"
    "  name in the same folder and renamed into place when complete. Frames and scenes are numbered from 0.\n"
    "  The summary ends with the HDR10 options for x265, ffmpeg and mkvmerge.\n"
    "\n"
    "Active area: with auto, the union of every frame's content (samples within 16 codes of black at 10\n"
    "bits are black); frames measured before the area last grew are measured again at the end. On standard\n"
    "input that keeps a copy of the stream in $TMPDIR; full or L,T,R,B read the input once.\n"
    "Scenes: a cut where the luma or light histogram (32 bins) changes by the threshold's share of the\n"
    "pixels or more; shorter scenes join the one before.\n"
    "\n"
    "Exit status: 0 success; 1 bad input (unreadable, damaged or cut short, not measurable, an output that\n"
    "cannot be written); 2 bad usage; 130 or 143 when stopped by SIGINT or SIGTERM (the frames measured are\n"
    "still summarised and written).";

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
        throw UsageError(option + " " + text + ": expected " + expected);
    return value;
}

long long parseWholeNumber(const std::string& text, const std::string& option, const std::string& expected,
                           long long lowest, long long highest)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value < lowest || value > highest)
        throw UsageError(option + " " + text + ": expected " + expected);
    return value;
}

double parsePercent(const std::string& text, const std::string& option)
{
    const double percent = parseNumber(text, option, "a percentage from 0 to 100");
    if (percent < 0.0 || percent > 100.0)
        throw UsageError(option + " " + text + ": a percentage must lie between 0 and 100");
    return percent;
}

RawVideo parseRawVideo(const std::string& size, const std::string& pixelFormat)
{
    const std::size_t cross = size.find('x');
    const std::string expected = "WIDTHxHEIGHT in pixels from 1 to 16384, such as 1920x1080";
    if (cross == std::string::npos)
        throw UsageError("--size " + size + ": expected " + expected);
    RawVideo raw;
    raw.width = static_cast<int>(parseWholeNumber(size.substr(0, cross), "--size", expected, 1, kMaxFrameDimension));
    raw.height = static_cast<int>(parseWholeNumber(size.substr(cross + 1), "--size", expected, 1, kMaxFrameDimension));
    const AVPixelFormat format = av_get_pix_fmt(pixelFormat.c_str());
    if (format == AV_PIX_FMT_NONE)
        throw UsageError("--pix-fmt " + pixelFormat + ": not an ffmpeg pixel format name; give one such as yuv420p10le");
    const PixelLayout layout = pixelLayoutOf(format);
    if (!layout.accepted)
        throw UsageError("--pix-fmt " + pixelFormat + ": " + layout.refusal);
    raw.pixelFormat = pixelFormat;
    return raw;
}

}  // namespace

MeasureOptions measureOptionsOf(const ToolOptions& options)
{
    MeasureOptions measure;
    measure.clip = options.clip;
    measure.area = options.area;
    measure.sceneThreshold = options.sceneThreshold;
    measure.minSceneFrames = options.minSceneFrames;
    measure.frameLimit = options.frameLimit;
    measure.sceneStatistics = !options.hdr10PlusPath.empty();
    if (!options.sceneCutsPath.empty()) {
        try {
            measure.sceneCuts = readSceneCutList(options.sceneCutsPath);
        } catch (const std::invalid_argument& error) {
            throw UsageError(std::string("--scene-cuts: ") + error.what());
        }
    }
    // Standard input is read once; the automatic area may need it twice.
    measure.clip.source.copyStandardInput =
        options.area.mode == AreaMode::Auto && !options.clip.demo && options.clip.source.path == "-";
    return measure;
}

CommandLine parseCommandLine(int argc, const char* const* argv)
{
    CommandLine commandLine;
    ToolOptions& options = commandLine.options;
    ClipOptions& clip = options.clip;
    std::string transfer, matrix, threshold = "203", top1 = "1", top2 = "10", bottom = "1";
    std::string tasks, frames, size, pixelFormat, stream, area = "auto", sceneThreshold, minScene, mastering;
    bool noPercentiles = false, classParity = false, version = false;

    CLI::App app{kDescription, "hdrmeter"};
    app.footer(kFooter);
    app.get_formatter()->column_width(30);
    app.add_option("FILE", clip.source.path, "the video; - or nothing for standard input")->type_name("");
    app.add_flag("--demo", clip.demo,
                 "measure a built-in synthetic clip: 120 frames of 1920x1080 10-bit 4:2:2 PQ BT.2020\n"
                 "with a ramp, colour bars and a moving highlight that peaks at 4000 nits");
    app.add_option("--size", size, "frame size of raw planar input (needs --pix-fmt)")->type_name("WxH");
    app.add_option("--pix-fmt", pixelFormat, "ffmpeg pixel format of raw input, such as yuv420p10le (needs --size)")
        ->type_name("NAME");
    app.add_option("--stream", stream, "measure the container's stream N (default: the first video stream)")
        ->type_name("N");
    app.add_option("--transfer", transfer, "measure as this transfer function, whatever the stream's tag says")
        ->type_name("pq|hlg");
    app.add_option("--matrix", matrix, "measure with this Y'CbCr matrix, whatever the stream's tag says")
        ->type_name("bt2020|bt709");
    app.add_option("--threshold", threshold,
                   "count pixels whose luminance is above this many nits, 0 to 10000 (default 203, the HDR\n"
                   "reference white)")
        ->type_name("NITS");
    app.add_option("--top1", top1, "report the luminance the brightest P percent reach (default 1)")->type_name("P");
    app.add_option("--top2", top2, "a second such percentage (default 10)")->type_name("P");
    app.add_option("--bottom", bottom, "report the luminance all but the darkest P percent reach (default 1)")
        ->type_name("P");
    app.add_flag("--no-percentiles", noPercentiles, "leave the percentile columns out");
    app.add_option("--tasks", tasks, "measure each frame with N threads, 1 to 256 (default: one per core)")
        ->type_name("N");
    app.add_flag("--class-parity", classParity,
                 "CHDR_Measurements' arithmetic (listed coefficients, band summation, its ranks)");
    app.add_flag("--checks", clip.lumaChecks,
                 "also report per frame the luma minimum and maximum codes and the counts of codes outside\n"
                 "the narrow range");
    app.add_option("--frames", frames, "measure at most the first N frames")->type_name("N");
    app.add_option("--csv", options.csvPath, "write one CSV row per frame (- for standard output)")->type_name("FILE");
    app.add_option("--jsonl", options.jsonlPath, "write one JSON object per line per frame (- for standard output)")
        ->type_name("FILE");
    app.add_option("--plot", options.plotPath, "draw the per-frame light on a PQ-scaled nits axis")
        ->type_name("FILE.svg");
    app.add_option("--active-area", area,
                   "measure inside this area: auto (the union of every frame's content, default), full, or\n"
                   "offsets in pixels from each edge")
        ->type_name("auto|full|L,T,R,B");
    app.add_option("--scene-threshold", sceneThreshold,
                   "a cut where a histogram changes by at least this share, 0 to 1 (default 0.3)")
        ->type_name("T");
    app.add_option("--min-scene-length", minScene, "scenes shorter than N frames join the one before (default 12)")
        ->type_name("N");
    app.add_option("--scene-cuts", options.sceneCutsPath,
                   "take the scenes' first frames from FILE (one number a line) instead of finding them")
        ->type_name("FILE");
    app.add_option("--summary-json", options.summaryJsonPath, "write the summary as JSON")->type_name("FILE");
    app.add_option("--hdr10plus", options.hdr10PlusPath, "write HDR10+ Profile A metadata, one entry per frame")
        ->type_name("FILE.json");
    app.add_option("--dovi-config", options.doviConfigPath, "write a Dolby Vision profile 8.1 generator config")
        ->type_name("FILE.json");
    app.add_option("--mastering-display", mastering,
                   "the mastering display's largest and smallest luminance for --dovi-config when the stream\n"
                   "states none (default 1000,0.0001, with a warning)")
        ->type_name("MAX,MIN");
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
    if (options.inputPathGiven && clip.source.path.empty())
        throw UsageError("the input's name is empty: give a FILE, or - for standard input");

    if (app.count("--transfer")) {
        transfer = lowerCase(transfer);
        if (transfer != "pq" && transfer != "hlg")
            throw UsageError("--transfer " + transfer + ": expected pq or hlg");
        clip.transfer = transfer == "hlg" ? Transfer::Hlg : Transfer::Pq;
    }
    if (app.count("--matrix")) {
        matrix = lowerCase(matrix);
        if (matrix != "bt2020" && matrix != "bt709")
            throw UsageError("--matrix " + matrix + ": expected bt2020 or bt709");
        clip.matrix = matrix == "bt709" ? Matrix::Bt709 : Matrix::Bt2020;
    }
    AnalysisSettings& analysis = clip.analysis;
    analysis.thresholdNits = parseNumber(threshold, "--threshold", "a level in nits, such as 203");
    if (analysis.thresholdNits < 0.0 || analysis.thresholdNits > 10000.0)
        throw UsageError("--threshold " + threshold + ": give a level from 0 to 10000 nits");
    analysis.top1Percent = parsePercent(top1, "--top1");
    analysis.top2Percent = parsePercent(top2, "--top2");
    analysis.bottomPercent = parsePercent(bottom, "--bottom");
    options.percentiles = !noPercentiles;
    if (!tasks.empty() || app.count("--tasks"))
        analysis.taskCount = static_cast<int>(
            parseWholeNumber(tasks, "--tasks", "a whole number of tasks from 1 to 256", 1, kMaxTaskCount));
    if (classParity)
        analysis.arithmetic = Arithmetic::classParity();
    if (app.count("--frames"))
        options.frameLimit = parseWholeNumber(frames, "--frames", "a whole number of frames, 1 or more", 1,
                                              std::numeric_limits<long long>::max());
    if (app.count("--stream"))
        clip.source.streamIndex =
            static_cast<int>(parseWholeNumber(stream, "--stream", "a stream number, 0 or more", 0, 65535));

    try {
        options.area = parseAreaOption(area);
    } catch (const std::invalid_argument& error) {
        throw UsageError("--active-area " + area + ": expected " + error.what());
    }
    if (app.count("--scene-threshold")) {
        options.sceneThreshold = parseNumber(sceneThreshold, "--scene-threshold", "a share from 0 to 1, such as 0.3");
        if (options.sceneThreshold < 0.0 || options.sceneThreshold > 1.0)
            throw UsageError("--scene-threshold " + sceneThreshold + ": give a share from 0 to 1");
    }
    if (app.count("--min-scene-length"))
        options.minSceneFrames = parseWholeNumber(minScene, "--min-scene-length",
                                                  "a whole number of frames, 1 or more", 1, 1LL << 40);
    if (app.count("--mastering-display")) {
        try {
            options.mastering = parseMasteringDisplay(mastering);
        } catch (const std::invalid_argument& error) {
            throw UsageError("--mastering-display " + mastering + ": expected " + error.what());
        }
    }
    const bool rawGiven = app.count("--size") > 0 || app.count("--pix-fmt") > 0;
    if (clip.demo && (options.inputPathGiven || rawGiven || app.count("--stream")))
        throw UsageError("--demo measures its own clip: give no FILE, --size, --pix-fmt or --stream with it");
    if (rawGiven) {
        if (app.count("--size") == 0)
            throw UsageError("--pix-fmt needs --size WIDTHxHEIGHT for raw input");
        if (app.count("--pix-fmt") == 0)
            throw UsageError("--size needs --pix-fmt NAME for raw input, such as --pix-fmt yuv422p10le");
        clip.source.raw = parseRawVideo(size, pixelFormat);
    }
    for (const auto& [option, path] : {std::pair<const char*, const std::string*>{"--csv", &options.csvPath},
                                       {"--jsonl", &options.jsonlPath},
                                       {"--plot", &options.plotPath},
                                       {"--scene-cuts", &options.sceneCutsPath},
                                       {"--summary-json", &options.summaryJsonPath},
                                       {"--hdr10plus", &options.hdr10PlusPath},
                                       {"--dovi-config", &options.doviConfigPath}})
        if (app.count(option) && path->empty())
            throw UsageError(std::string(option) + " needs a file name");
    if (!options.csvPath.empty() && options.csvPath == "-" && options.jsonlPath == "-")
        throw UsageError("--csv and --jsonl cannot both write standard output");
    if (options.plotPath == "-")
        throw UsageError("--plot needs a file name such as light.svg");
    return commandLine;
}

}  // namespace hdrmeter::clip
