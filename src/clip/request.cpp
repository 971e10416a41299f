// The request's rules between settings, the table of output files and the table of per-frame columns:
// each written once, for every host.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include <hdrmeter/clip.h>
#include <hdrmeter/settings.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "libav/stream_format.h"
#include "output/timecode.h"
#include "request_rules.h"
#include "settings/setting_values.h"

namespace hdrmeter::clip {

namespace {

constexpr int kMaxFrameDimension = 16384;

bool within(double value, double lowest, double highest)
{
    return std::isfinite(value) && value >= lowest && value <= highest;
}

// Whether `end` lies after `start` where that is known before the stream is open: a timecode and a time in
// seconds meet only at the stream's rate, and the run compares them there.
bool endsAfter(const ClipTime& start, const ClipTime& end)
{
    if (!start.timecode && !end.timecode)
        return end.seconds > start.seconds;
    if (!start.timecode || !end.timecode || start.timecode->dropFrame != end.timecode->dropFrame)
        return true;
    const Timecode& a = *start.timecode;
    const Timecode& b = *end.timecode;
    return std::make_tuple(b.hours, b.minutes, b.seconds, b.frames) > std::make_tuple(a.hours, a.minutes, a.seconds, a.frames);
}

// The rules between settings; each row's own range is checked from the table before these.
std::string crossRules(const Request& request)
{
    if (request.input.empty())
        return "the input's name is empty: give a file name, or - for standard input";
    if (request.demo && (request.input != "-" || request.raw || request.stream))
        return mention("demo") + " measures its own clip: give no input, " + mention("size") + ", " +
               mention("pix_fmt") + " or " + mention("stream") + " with it";
    if (request.raw) {
        const RawVideo& raw = *request.raw;
        if (raw.pixelFormat.empty())
            return mention("size") + " needs " + mention("pix_fmt", "NAME") + " for raw input, such as yuv422p10le";
        if (raw.width == 0 && raw.height == 0)
            return mention("pix_fmt") + " needs " + mention("size", "WIDTHxHEIGHT") + " for raw input";
        if (raw.width < 1 || raw.width > kMaxFrameDimension || raw.height < 1 || raw.height > kMaxFrameDimension)
            return mention("size", std::to_string(raw.width) + "x" + std::to_string(raw.height)) +
                   ": expected WIDTHxHEIGHT in pixels from 1 to 16384, such as 1920x1080";
        const AVPixelFormat format = av_get_pix_fmt(raw.pixelFormat.c_str());
        if (format == AV_PIX_FMT_NONE)
            return mention("pix_fmt", raw.pixelFormat) + ": not an FFmpeg pixel format name; give one such as yuv420p10le";
        const PixelLayout layout = pixelLayoutOf(format);
        if (!layout.accepted)
            return mention("pix_fmt", raw.pixelFormat) + ": " + layout.refusal;
    }
    if (request.start && request.end && !endsAfter(*request.start, *request.end))
        return mention("end", clipTimeText(*request.end)) + ": give a time after " +
               mention("start", clipTimeText(*request.start));
    if (!request.partialPath.empty() && (request.verify || !request.verifyJsonPath.empty()))
        return mention("partial") + " does not keep the stream's HDR10+ metadata that " + mention("verify") +
               " compares: verify the whole file in one run";
    if (!request.partialPath.empty() && request.frameLimit)
        return mention("partial") + " takes a whole time segment: give " + mention("end") + " instead of " +
               mention("frames");
    if ((request.start || request.end) && (request.demo || request.raw))
        return mention(request.demo ? "demo" : "size") + " has no presentation times to cut: give " +
               mention("start") + " and " + mention("end") + " with a container such as mkv, mp4 or ts";
    if (request.areaMode == AreaMode::Given) {
        const ActiveArea& area = request.area;
        for (int offset : {area.left, area.top, area.right, area.bottom})
            if (offset < 0 || offset > kMaxFrameDimension)
                return mention("active_area", std::to_string(area.left) + "," + std::to_string(area.top) + "," +
                                                  std::to_string(area.right) + "," + std::to_string(area.bottom)) +
                       ": offsets are pixels from each edge, 0 to 16384";
    }
    if (request.sceneCuts) {
        const std::vector<long long>& cuts = *request.sceneCuts;
        for (std::size_t i = 0; i < cuts.size(); ++i)
            if (cuts[i] < 0 || (i > 0 && cuts[i] <= cuts[i - 1]))
                return mention("scene_cuts") + ": give first frame numbers from 0, in increasing order";
        if (!request.sceneCutsFile.empty())
            return "give the scene cuts once: as a list or as " + mention("scene_cuts", "FILE");
    }
    if (request.masteringDisplay) {
        const MasteringLuminance& display = *request.masteringDisplay;
        const Setting& row = *findSetting("mastering_display");
        if (display.primaries.has_value() != display.whitePoint.has_value() ||
            (!display.luminanceGiven && !display.primaries))
            return mention(row.name) + ": give the primaries with their white point, such as p3-d65 or eight numbers";
        bool chromaticities = true;
        if (display.primaries) {
            for (double coordinate : *display.primaries)
                chromaticities = chromaticities && within(coordinate, 0.0, 1.0);
            for (double coordinate : *display.whitePoint)
                chromaticities = chromaticities && within(coordinate, 0.0, 1.0);
        }
        if (!chromaticities)
            return mention(row.name, settingText(request, row)) +
                   ": expected RX,RY,GX,GY,BX,BY,WX,WY as CIE 1931 x, y from 0 to 1, or a name: p3-d65, bt2020 or bt709";
        if (display.luminanceGiven &&
            (!within(display.minNits, 0.0, 10000.0) || !within(display.maxNits, 0.0, 10000.0) ||
             display.maxNits <= display.minNits))
            return mention(row.name, settingText(request, row)) +
                   ": expected MAX,MIN in nits, such as 1000,0.0001 (MAX above MIN, at most 10000)";
    }
    int standardOutputs = 0;
    for (const OutputSpec& entry : outputTable()) {
        const std::string& path = request.*entry.path;
        if (path == "-" && !entry.standardOutput) {
            const char* valueName = outputSetting(entry.output).valueName;
            const char* extension = std::strrchr(valueName, '.');
            return mention(entry.setting) + " needs a file name such as light" + (extension ? extension : "");
        }
        if (path == "-" && entry.perFrame)
            ++standardOutputs;
    }
    if (standardOutputs > 1)
        return mention("csv") + " and " + mention("jsonl") + " cannot both write standard output";
    return {};
}

}  // namespace

std::string validate(const Request& request)
{
    for (const Setting& setting : settings()) {
        const std::optional<double> number = setting.number(request);
        if (number && !within(*number, setting.lowest, setting.highest))
            return mention(setting.name, settingText(request, setting)) + ": expected " + setting.expected;
    }
    return crossRules(request);
}

const std::vector<OutputSpec>& outputTable()
{
    static const std::vector<OutputSpec> table = {
        {Output::Csv, "csv", &Request::csvPath, true, true},
        {Output::JsonLines, "jsonl", &Request::jsonlPath, true, true},
        {Output::Plot, "plot", &Request::plotPath, false, false},
        {Output::SummaryJson, "summary_json", &Request::summaryJsonPath, true, false},
        {Output::Hdr10Plus, "hdr10plus", &Request::hdr10PlusPath, true, false},
        {Output::DoviConfig, "dovi_config", &Request::doviConfigPath, true, false},
        {Output::Madvr, "madvr", &Request::madvrPath, false, false},
        {Output::VerifyJson, "verify_json", &Request::verifyJsonPath, true, false},
        {Output::Partial, "partial", &Request::partialPath, false, false},
        {Output::Av1anScenes, "av1an_scenes", &Request::av1anScenesPath, true, false},
        {Output::X265Qpfile, "x265_qpfile", &Request::x265QpfilePath, true, false},
        {Output::FfmpegKeyframes, "ffmpeg_keyframes", &Request::ffmpegKeyframesPath, true, false},
        {Output::HtmlReport, "report", &Request::reportPath, false, false},
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
        // Last, so that every column before it keeps its place in files written before it was added.
        {"timecode", "", false, ColumnGroup::Always, [](R) { return std::nan(""); },
         "the frame's start as HH:MM:SS.mmm at the stream's frame rate; empty without one",
         [](R r, const std::optional<std::pair<int, int>>& frameRate) { return timecodeOf(r.numbers.frame, frameRate); }},
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
