// The request's rules, the table of output files and the table of per-frame columns: each written once,
// for every host.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <hdrmeter/clip.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "libav/stream_format.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

constexpr int kMaxFrameDimension = 16384;
// The analyzer keeps one worker per task; beyond a few hundred there is nothing to gain.
constexpr int kMaxTaskCount = 256;
constexpr long long kMaxMinSceneFrames = 1LL << 40;
// Times are counted in microseconds: a longer time would not fit.
constexpr double kMaxSegmentSeconds = 9.0e12;

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool within(double value, double lowest, double highest)
{
    return std::isfinite(value) && value >= lowest && value <= highest;
}

}  // namespace

std::string spell(Spelling spelling, const char* option)
{
    if (spelling == Spelling::CommandLine)
        return option;
    std::string keyword = option + 2;
    for (char& c : keyword)
        if (c == '-')
            c = '_';
    return keyword;
}

std::string setting(Spelling spelling, const char* option, const std::string& value)
{
    return spell(spelling, option) + (spelling == Spelling::CommandLine ? " " : "=") + value;
}

std::string secondsText(long long microseconds)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", microseconds / 1000000, microseconds % 1000000);
    std::string result = text;
    result.erase(result.find_last_not_of('0') + 1);
    if (result.back() == '.')
        result.pop_back();
    return result;
}

bool Request::operator==(const Request& other) const
{
    const auto rawKey = [](const std::optional<RawVideo>& raw) {
        return raw ? std::make_tuple(true, raw->width, raw->height, raw->pixelFormat)
                   : std::make_tuple(false, 0, 0, std::string());
    };
    const auto masteringKey = [](const std::optional<MasteringLuminance>& m) {
        return m ? std::make_tuple(true, m->maxNits, m->minNits, m->assumed, m->primaries, m->whitePoint, m->luminanceGiven)
                 : std::make_tuple(false, 0.0, 0.0, false, std::optional<std::array<double, 6>>(),
                                   std::optional<std::array<double, 2>>(), false);
    };
    return input == other.input && demo == other.demo && stream == other.stream &&
           rawKey(raw) == rawKey(other.raw) && transfer == other.transfer && matrix == other.matrix &&
           thresholdNits == other.thresholdNits && top1Percent == other.top1Percent &&
           top2Percent == other.top2Percent && bottomPercent == other.bottomPercent &&
           percentiles == other.percentiles && lumaChecks == other.lumaChecks && classParity == other.classParity &&
           acceptDamaged == other.acceptDamaged && keepFrames == other.keepFrames &&
           tasks == other.tasks && frameLimit == other.frameLimit && areaMode == other.areaMode &&
           area == other.area && barsTolerance == other.barsTolerance && sceneThreshold == other.sceneThreshold && minSceneFrames == other.minSceneFrames &&
           sceneCuts == other.sceneCuts && sceneCutsFile == other.sceneCutsFile &&
           masteringKey(masteringDisplay) == masteringKey(other.masteringDisplay) &&
           doviCmVersion == other.doviCmVersion && csvPath == other.csvPath &&
           jsonlPath == other.jsonlPath && plotPath == other.plotPath && summaryJsonPath == other.summaryJsonPath &&
           hdr10PlusPath == other.hdr10PlusPath && doviConfigPath == other.doviConfigPath &&
           madvrPath == other.madvrPath && robustFramePercent == other.robustFramePercent &&
           robustClipPercent == other.robustClipPercent && robustMetadata == other.robustMetadata &&
           fewPeakPixels == other.fewPeakPixels && verify == other.verify &&
           verifyMarginPercent == other.verifyMarginPercent && verifyPqCodes == other.verifyPqCodes &&
           verifyMaxShift == other.verifyMaxShift && verifyJsonPath == other.verifyJsonPath && start == other.start &&
           end == other.end && partialPath == other.partialPath;
}

std::string validate(const Request& request, Spelling spelling)
{
    const bool cli = spelling == Spelling::CommandLine;
    if (request.input.empty())
        return cli ? "the input's name is empty: give a FILE, or - for standard input"
                   : "the path is empty: give a file name, or \"-\" for standard input";
    if (request.demo && (request.input != "-" || request.raw || request.stream))
        return cli ? "--demo measures its own clip: give no FILE, --size, --pix-fmt or --stream with it"
                   : "demo=True measures its own clip: give no path, size, pix_fmt or stream with it";
    if (request.stream && (*request.stream < 0 || *request.stream > 65535))
        return setting(spelling, "--stream", std::to_string(*request.stream)) + ": expected a stream number, 0 or more";
    if (request.raw) {
        const RawVideo& raw = *request.raw;
        if (raw.width < 1 || raw.width > kMaxFrameDimension || raw.height < 1 || raw.height > kMaxFrameDimension)
            return setting(spelling, "--size", std::to_string(raw.width) + "x" + std::to_string(raw.height)) +
                   ": expected WIDTHxHEIGHT in pixels from 1 to 16384, such as 1920x1080";
        const AVPixelFormat format = av_get_pix_fmt(raw.pixelFormat.c_str());
        if (format == AV_PIX_FMT_NONE)
            return setting(spelling, "--pix-fmt", raw.pixelFormat) +
                   ": not an ffmpeg pixel format name; give one such as yuv420p10le";
        const PixelLayout layout = pixelLayoutOf(format);
        if (!layout.accepted)
            return setting(spelling, "--pix-fmt", raw.pixelFormat) + ": " + layout.refusal;
    }
    if (!within(request.thresholdNits, 0.0, 10000.0))
        return setting(spelling, "--threshold", number(request.thresholdNits)) + ": give a level from 0 to 10000 nits";
    for (const auto& [option, percent] : {std::pair<const char*, double>{"--top1", request.top1Percent},
                                          {"--top2", request.top2Percent},
                                          {"--bottom", request.bottomPercent},
                                          {"--robust-frame-percentile", request.robustFramePercent},
                                          {"--robust-clip-percentile", request.robustClipPercent}})
        if (!within(percent, 0.0, 100.0))
            return setting(spelling, option, number(percent)) + ": a percentage must lie between 0 and 100";
    if (request.fewPeakPixels < 0)
        return setting(spelling, "--peak-pixels", std::to_string(request.fewPeakPixels)) +
               ": expected a whole number of pixels, 0 or more";
    if (!within(request.verifyMarginPercent, 0.0, 1000.0))
        return setting(spelling, "--verify-margin", number(request.verifyMarginPercent)) +
               ": give a percentage from 0 to 1000";
    if (!within(request.verifyPqCodes, 0.0, 1023.0))
        return setting(spelling, "--verify-pq-codes", number(request.verifyPqCodes)) +
               ": give a number of 10-bit PQ codes from 0 to 1023";
    if (request.verifyMaxShift < 0 || request.verifyMaxShift > 10000)
        return setting(spelling, "--verify-max-shift", std::to_string(request.verifyMaxShift)) +
               ": expected a whole number of frames from 0 to 10000";
    if (request.tasks < 0 || request.tasks > kMaxTaskCount)
        return setting(spelling, "--tasks", std::to_string(request.tasks)) +
               ": expected a whole number of tasks from 1 to 256" + (cli ? "" : ", or 0 for one per core");
    if (request.frameLimit && *request.frameLimit < 1)
        return setting(spelling, "--frames", std::to_string(*request.frameLimit)) +
               ": expected a whole number of frames, 1 or more";
    for (const auto& [option, seconds] : {std::pair<const char*, std::optional<double>>{"--start", request.start},
                                          {"--end", request.end}})
        if (seconds && !within(*seconds, 0.0, kMaxSegmentSeconds))
            return setting(spelling, option, number(*seconds)) + ": give a time in seconds, 0 or more";
    if (request.start && request.end && *request.end <= *request.start)
        return setting(spelling, "--end", number(*request.end)) + ": give a time after " +
               setting(spelling, "--start", number(*request.start));
    if (!request.partialPath.empty() && (request.verify || !request.verifyJsonPath.empty()))
        return spell(spelling, "--partial") + " does not keep the stream's HDR10+ metadata that " +
               spell(spelling, "--verify") + " compares: verify the whole file in one run";
    if (!request.partialPath.empty() && request.frameLimit)
        return spell(spelling, "--partial") + " takes a whole time segment: give " + spell(spelling, "--end") +
               " instead of " + spell(spelling, "--frames");
    if ((request.start || request.end) && (request.demo || request.raw))
        return std::string(request.demo ? (cli ? "--demo" : "demo=True") : (cli ? "--size" : "size")) +
               " has no presentation times to cut: give " + spell(spelling, "--start") + " and " +
               spell(spelling, "--end") + " with a container such as mkv, mp4 or ts";
    if (request.areaMode == AreaMode::Given) {
        const ActiveArea& area = request.area;
        for (int offset : {area.left, area.top, area.right, area.bottom})
            if (offset < 0 || offset > kMaxFrameDimension)
                return setting(spelling, "--active-area",
                               std::to_string(area.left) + "," + std::to_string(area.top) + "," +
                                   std::to_string(area.right) + "," + std::to_string(area.bottom)) +
                       ": offsets are pixels from each edge, 0 to 16384";
    }
    if (request.barsTolerance < 0 || request.barsTolerance > kBarsToleranceLargest)
        return setting(spelling, "--bars-tolerance", std::to_string(request.barsTolerance)) +
               ": expected a whole number of codes from 0 to " + std::to_string(kBarsToleranceLargest) +
               " (0: only black lines are bars)";
    if (!within(request.sceneThreshold, 0.0, 1.0))
        return setting(spelling, "--scene-threshold", number(request.sceneThreshold)) + ": give a share from 0 to 1";
    if (request.minSceneFrames < 1 || request.minSceneFrames > kMaxMinSceneFrames)
        return setting(spelling, "--min-scene-length", std::to_string(request.minSceneFrames)) +
               ": expected a whole number of frames, 1 or more";
    if (request.sceneCuts) {
        const std::vector<long long>& cuts = *request.sceneCuts;
        for (std::size_t i = 0; i < cuts.size(); ++i)
            if (cuts[i] < 0 || (i > 0 && cuts[i] <= cuts[i - 1]))
                return spell(spelling, "--scene-cuts") + ": give first frame numbers from 0, in increasing order";
        if (!request.sceneCutsFile.empty())
            return cli ? "give the scene cuts once: as a list or as --scene-cuts FILE"
                       : "give the scene cuts once: as a list or as a file name";
    }
    if (request.masteringDisplay) {
        const MasteringLuminance& display = *request.masteringDisplay;
        if (display.primaries.has_value() != display.whitePoint.has_value() ||
            (!display.luminanceGiven && !display.primaries))
            return spell(spelling, "--mastering-display") +
                   (cli ? ": give the primaries with their white point, such as p3-d65 or eight numbers"
                        : ": give the primaries with their white point, such as \"p3-d65\" or eight numbers");
        if (display.primaries) {
            bool valid = true;
            std::string coordinates;
            for (double coordinate : *display.primaries) {
                valid = valid && within(coordinate, 0.0, 1.0);
                coordinates += (coordinates.empty() ? "" : ",") + number(coordinate);
            }
            for (double coordinate : *display.whitePoint) {
                valid = valid && within(coordinate, 0.0, 1.0);
                coordinates += "," + number(coordinate);
            }
            if (!valid)
                return setting(spelling, "--mastering-display", cli ? coordinates : "(" + coordinates + ")") +
                       (cli ? ": expected RX,RY,GX,GY,BX,BY,WX,WY as CIE 1931 x, y from 0 to 1, or a name: "
                              "p3-d65, bt2020 or bt709"
                            : ": expected (rx, ry, gx, gy, bx, by, wx, wy) as CIE 1931 x, y from 0 to 1, or a name: "
                              "\"p3-d65\", \"bt2020\" or \"bt709\"");
        }
        if (display.luminanceGiven &&
            (!within(display.minNits, 0.0, 10000.0) || !within(display.maxNits, 0.0, 10000.0) ||
             display.maxNits <= display.minNits))
            return setting(spelling, "--mastering-display",
                           cli ? number(display.maxNits) + "," + number(display.minNits)
                               : "(" + number(display.maxNits) + ", " + number(display.minNits) + ")") +
                   (cli ? ": expected MAX,MIN in nits, such as 1000,0.0001 (MAX above MIN, at most 10000)"
                        : ": expected (max, min) in nits, such as (1000, 0.0001), max above min and at most 10000");
    }
    int standardOutputs = 0;
    for (const OutputSpec& entry : outputTable()) {
        const std::string& path = request.*entry.path;
        if (path == "-" && !entry.standardOutput) {
            const char* extension = std::strrchr(entry.valueName, '.');
            return spell(spelling, entry.option) + " needs a file name such as light" + (extension ? extension : "");
        }
        if (path == "-" && entry.perFrame)
            ++standardOutputs;
    }
    if (standardOutputs > 1)
        return cli ? "--csv and --jsonl cannot both write standard output"
                   : "csv and jsonl cannot both write standard output";
    return {};
}

const std::vector<OutputSpec>& outputTable()
{
    static const std::vector<OutputSpec> table = {
        {Output::Csv, "--csv", "csv", &Request::csvPath, true, true, "FILE",
         "write one CSV row per frame (- for standard output)"},
        {Output::JsonLines, "--jsonl", "jsonl", &Request::jsonlPath, true, true, "FILE",
         "write one JSON object per line per frame (- for standard output)"},
        {Output::Plot, "--plot", "plot", &Request::plotPath, false, false, "FILE.svg",
         "draw the per-frame light on a PQ-scaled nits axis"},
        {Output::SummaryJson, "--summary-json", "summary_json", &Request::summaryJsonPath, true, false, "FILE",
         "write the summary as JSON"},
        {Output::Hdr10Plus, "--hdr10plus", "hdr10plus", &Request::hdr10PlusPath, true, false, "FILE.json",
         "write HDR10+ Profile A metadata, one entry per frame"},
        {Output::DoviConfig, "--dovi-config", "dovi_config", &Request::doviConfigPath, true, false, "FILE.json",
         "write a Dolby Vision profile 8.1 generator config"},
        {Output::Madvr, "--madvr", "madvr", &Request::madvrPath, false, false, "FILE.bin",
         "write a madVR measurement file (version 5): per frame its peak and light histogram"},
        {Output::VerifyJson, "--verify-json", "verify_json", &Request::verifyJsonPath, true, false, "FILE.json",
         "verify the stream's metadata against the picture and write the checks as JSON"},
        {Output::Partial, "--partial", "partial", &Request::partialPath, false, false, "FILE.hmp",
         "write a partial result of this segment for hdrmeter merge"},
    };
    return table;
}

const std::string& outputPath(const Request& request, Output output)
{
    for (const OutputSpec& entry : outputTable())
        if (entry.output == output)
            return request.*entry.path;
    static const std::string none;
    return none;
}

namespace {

double doviLevel1Value(const FrameRecord& record, int StatedDolbyVision::Level1::*field)
{
    const auto& stated = record.statedDolbyVision;
    return stated && stated->level1 ? static_cast<double>((*stated->level1).*field) : std::nan("");
}

double doviLevel5Value(const FrameRecord& record, int StatedDolbyVision::Level5::*field)
{
    const auto& stated = record.statedDolbyVision;
    return stated && stated->level5 ? static_cast<double>((*stated->level5).*field) : std::nan("");
}

}  // namespace

const std::vector<FrameColumn>& frameColumns()
{
    using R = const FrameRecord&;
    static const std::vector<FrameColumn> table = {
        {"frame", "", true, ColumnGroup::Always, [](R r) { return static_cast<double>(r.numbers.frame); },
         "the frame's number in presentation order, from 0"},
        {"average_light_nits", "nit", false, ColumnGroup::Always, [](R r) { return r.numbers.averageLightNits; },
         "the mean of the measured pixels' light (maxRGB): the frame's FALL"},
        {"largest_light_nits", "nit", false, ColumnGroup::Always, [](R r) { return r.numbers.largestLightNits; },
         "the largest light of a measured pixel: the frame's CLL"},
        {"above_threshold_percent", "percent", false, ColumnGroup::Always,
         [](R r) { return r.numbers.aboveThresholdPercent; },
         "the share of measured pixels whose luminance is above the threshold"},
        {"top1_nits", "nit", false, ColumnGroup::Percentiles, [](R r) { return r.numbers.top1Nits; },
         "the luminance the brightest top1 percent of the pixels reach"},
        {"top2_nits", "nit", false, ColumnGroup::Percentiles, [](R r) { return r.numbers.top2Nits; },
         "the luminance the brightest top2 percent of the pixels reach"},
        {"bottom_nits", "nit", false, ColumnGroup::Percentiles, [](R r) { return r.numbers.bottomNits; },
         "the luminance all but the darkest bottom percent of the pixels reach"},
        {"luma_min_code", "code", true, ColumnGroup::LumaChecks,
         [](R r) { return r.numbers.lumaChecks ? static_cast<double>(r.numbers.lumaChecks->minCode) : 0.0; },
         "the smallest luma code"},
        {"luma_max_code", "code", true, ColumnGroup::LumaChecks,
         [](R r) { return r.numbers.lumaChecks ? static_cast<double>(r.numbers.lumaChecks->maxCode) : 0.0; },
         "the largest luma code"},
        {"luma_low_count", "count", true, ColumnGroup::LumaChecks,
         [](R r) { return r.numbers.lumaChecks ? static_cast<double>(r.numbers.lumaChecks->lowCount) : 0.0; },
         "luma samples below narrow-range black"},
        {"luma_high_count", "count", true, ColumnGroup::LumaChecks,
         [](R r) { return r.numbers.lumaChecks ? static_cast<double>(r.numbers.lumaChecks->highCount) : 0.0; },
         "luma samples above narrow-range white"},
        {"scene", "", true, ColumnGroup::Always, [](R r) { return static_cast<double>(r.numbers.scene); },
         "the scene the frame belongs to, from 0"},
        {"damaged", "", true, ColumnGroup::Damage, [](R r) { return r.damaged ? 1.0 : 0.0; },
         "1 when the decoder flagged the frame as damaged: it is left out of every statistic"},
        // What the stream's HDR10+ metadata states for the frame; NaN (empty in CSV, null in JSON) without it.
        {"stated_average_rgb_nits", "nit", false, ColumnGroup::Stated,
         [](R r) { return r.statedHdr10Plus ? r.statedHdr10Plus->averageRgb / 10.0 : std::nan(""); },
         "the HDR10+ AverageRGB the stream states for the frame"},
        {"stated_max_scl_red_nits", "nit", false, ColumnGroup::Stated,
         [](R r) { return r.statedHdr10Plus ? r.statedHdr10Plus->maxScl[0] / 10.0 : std::nan(""); },
         "the HDR10+ MaxScl of red the stream states for the frame"},
        {"stated_max_scl_green_nits", "nit", false, ColumnGroup::Stated,
         [](R r) { return r.statedHdr10Plus ? r.statedHdr10Plus->maxScl[1] / 10.0 : std::nan(""); },
         "the HDR10+ MaxScl of green the stream states for the frame"},
        {"stated_max_scl_blue_nits", "nit", false, ColumnGroup::Stated,
         [](R r) { return r.statedHdr10Plus ? r.statedHdr10Plus->maxScl[2] / 10.0 : std::nan(""); },
         "the HDR10+ MaxScl of blue the stream states for the frame"},
        // What the frame's Dolby Vision RPU states; NaN without it, or where this FFmpeg does not read it (so
        // whole numbers kept as reals).
        {"stated_dovi_min_pq", "code", false, ColumnGroup::Stated,
         [](R r) { return doviLevel1Value(r, &StatedDolbyVision::Level1::minPq); },
         "the Dolby Vision Level 1 min_pq (12-bit PQ) the stream states for the frame"},
        {"stated_dovi_avg_pq", "code", false, ColumnGroup::Stated,
         [](R r) { return doviLevel1Value(r, &StatedDolbyVision::Level1::avgPq); },
         "the Dolby Vision Level 1 avg_pq (12-bit PQ) the stream states for the frame"},
        {"stated_dovi_max_pq", "code", false, ColumnGroup::Stated,
         [](R r) { return doviLevel1Value(r, &StatedDolbyVision::Level1::maxPq); },
         "the Dolby Vision Level 1 max_pq (12-bit PQ) the stream states for the frame"},
        {"stated_dovi_left_offset", "", false, ColumnGroup::Stated,
         [](R r) { return doviLevel5Value(r, &StatedDolbyVision::Level5::left); },
         "the Dolby Vision Level 5 left offset (pixels) the stream states for the frame"},
        {"stated_dovi_right_offset", "", false, ColumnGroup::Stated,
         [](R r) { return doviLevel5Value(r, &StatedDolbyVision::Level5::right); },
         "the Dolby Vision Level 5 right offset (pixels) the stream states for the frame"},
        {"stated_dovi_top_offset", "", false, ColumnGroup::Stated,
         [](R r) { return doviLevel5Value(r, &StatedDolbyVision::Level5::top); },
         "the Dolby Vision Level 5 top offset (pixels) the stream states for the frame"},
        {"stated_dovi_bottom_offset", "", false, ColumnGroup::Stated,
         [](R r) { return doviLevel5Value(r, &StatedDolbyVision::Level5::bottom); },
         "the Dolby Vision Level 5 bottom offset (pixels) the stream states for the frame"},
    };
    return table;
}

std::vector<const FrameColumn*> columnsOf(const Request& request)
{
    std::vector<const FrameColumn*> columns;
    for (const FrameColumn& column : frameColumns())
        if (column.group == ColumnGroup::Always || (column.group == ColumnGroup::Percentiles && request.percentiles) ||
            (column.group == ColumnGroup::LumaChecks && request.lumaChecks) ||
            (column.group == ColumnGroup::Damage && request.acceptDamaged) ||
            (column.group == ColumnGroup::Stated && (request.verify || !request.verifyJsonPath.empty())))
            columns.push_back(&column);
    return columns;
}

}  // namespace hdrmeter::clip
