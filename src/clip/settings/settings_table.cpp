// The one place where a setting's names, kind, range, help and group are written. A row's accessors are
// made from its Request member where the member's type says how it reads and writes; the few settings
// that are not one plain member have accessors of their own below.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <type_traits>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/rational.h>
}

#include <hdrmeter/settings.h>

#include "settings/setting_values.h"

// A mention inside a help text, as mention() makes it at run time.
#define MENTION(name) "\x01" name "\x02"

namespace hdrmeter::clip {

namespace {

constexpr double kMaxFrameDimension = 16384;
constexpr double kMaxTaskCount = 256;
constexpr double kLargestWhole = static_cast<double>(LLONG_MAX);
// Times are counted in microseconds: a longer time would not fit.
constexpr double kMaxSeconds = 9.0e12;
constexpr double kMostFramesASecond = 1000;

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {
    using Value = T;
};

template <typename T>
std::string textOf(const T& value)
{
    if constexpr (IsOptional<T>::value)
        return value ? textOf(*value) : std::string();
    else if constexpr (std::is_same_v<T, bool>)
        return value ? "true" : "false";
    else if constexpr (std::is_same_v<T, double>)
        return exactText(value);
    else if constexpr (std::is_same_v<T, ClipTime>)
        return clipTimeText(value);
    else if constexpr (std::is_integral_v<T>)
        return std::to_string(value);
    else
        return value;
}

[[noreturn]] void refuse(const Setting& setting, const std::string& text)
{
    throw RequestError(mention(setting.name, text) + ": expected " + setting.expected);
}

template <typename T>
T valueOf(const Setting& setting, const std::string& text)
{
    if constexpr (IsOptional<T>::value) {
        if (text.empty())
            return std::nullopt;
        return valueOf<typename IsOptional<T>::Value>(setting, text);
    } else if constexpr (std::is_same_v<T, bool>) {
        return flagOf(setting.name, text);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return text;
    } else if constexpr (std::is_same_v<T, ClipTime>) {
        const ClipTime time = clipTimeOf(setting.name, text, setting.expected);
        if (!time.timecode && (time.seconds < setting.lowest || time.seconds > setting.highest))
            refuse(setting, text);
        return time;
    } else {
        if (setting.kind == SettingKind::Whole) {
            const long long whole = wholeOf(setting.name, text, setting.expected);
            if (static_cast<double>(whole) < setting.lowest || static_cast<double>(whole) > setting.highest)
                refuse(setting, text);
            return static_cast<T>(whole);
        }
        const double value = setting.kind == SettingKind::Time ? secondsOf(setting.name, text, setting.expected)
                                                               : decimalOf(setting.name, text, setting.expected);
        if (value < setting.lowest || value > setting.highest)
            refuse(setting, text);
        return static_cast<T>(value);
    }
}

template <auto Field>
using FieldType = std::decay_t<decltype(std::declval<Request&>().*Field)>;

template <auto Field>
std::string getField(const Request& request)
{
    return textOf(request.*Field);
}
template <auto Field>
void setField(Request& request, const Setting& setting, const std::string& text)
{
    request.*Field = valueOf<FieldType<Field>>(setting, text);
}
template <auto Field>
std::optional<double> numberOfField(const Request& request)
{
    using T = FieldType<Field>;
    if constexpr (IsOptional<T>::value) {
        if constexpr (std::is_arithmetic_v<typename IsOptional<T>::Value>)
            if (request.*Field)
                return static_cast<double>(*(request.*Field));
        // A timecode's range is checked as it is read; only the stream can tell the time it names.
        if constexpr (std::is_same_v<typename IsOptional<T>::Value, ClipTime>)
            if (request.*Field && !(request.*Field)->timecode)
                return (request.*Field)->seconds;
        return std::nullopt;
    } else if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
        return static_cast<double>(request.*Field);
    } else {
        return std::nullopt;
    }
}
template <auto Field>
void resetField(Request& request)
{
    request.*Field = Request{}.*Field;
}

struct Row {
    const char* name;
    SettingKind kind;
    SettingGroup group;
    const char* valueName;
    const char* help;
    const char* defaultText = nullptr;
    double lowest = 0.0;
    double highest = 0.0;
    const char* expected = "";
    const char* choices = nullptr;
    bool offered = true;
    bool measured = true;
};

template <auto Field>
Setting member(const Row& row, std::optional<Output> output = std::nullopt)
{
    return {row.name,     row.kind,    row.group,     row.valueName,          row.help,          row.defaultText,
            row.lowest,   row.highest, row.expected,  row.choices,            row.offered,       row.measured,
            output,       &getField<Field>, &setField<Field>, &numberOfField<Field>, &resetField<Field>};
}

Setting custom(const Row& row, std::string (*get)(const Request&),
               void (*set)(Request&, const Setting&, const std::string&), void (*reset)(Request&))
{
    return {row.name,   row.kind,    row.group,    row.valueName, row.help, row.defaultText, row.lowest,
            row.highest, row.expected, row.choices, row.offered,   row.measured, std::nullopt, get, set,
            [](const Request&) { return std::optional<double>(); }, reset};
}

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

template <typename Enum, std::optional<Enum> Request::*Field>
Setting choice(const Row& row, const char* firstName, Enum first, const char* secondName, Enum second)
{
    // Two names each: all that transfers and matrices need.
    static const char* names[2] = {firstName, secondName};
    static const Enum values[2] = {first, second};
    return custom(
        row,
        [](const Request& request) {
            if (!(request.*Field))
                return std::string();
            return std::string(*(request.*Field) == values[0] ? names[0] : names[1]);
        },
        [](Request& request, const Setting& setting, const std::string& text) {
            const std::string name = lowerCase(text);
            if (name.empty())
                request.*Field = std::nullopt;
            else if (name == names[0] || name == names[1])
                request.*Field = name == names[0] ? values[0] : values[1];
            else
                refuse(setting, text);
        },
        [](Request& request) { request.*Field = std::nullopt; });
}

void addInputRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(member<&Request::input>({"input", K::Path, G::Input, "FILE", "the video; - for standard input",
                                             nullptr, 0, 0, "a file name, or - for standard input", nullptr, false,
                                             false}));
    table.push_back(member<&Request::demo>(
        {"demo", K::Flag, G::Input, "",
         "measure a built-in synthetic clip: 120 frames of 1920x1080 10-bit 4:2:2 PQ BT.2020 with a ramp, colour "
         "bars and a moving highlight that peaks at 4000 nits",
         "", 0, 0, "true or false"}));
    table.push_back(member<&Request::stream>({"stream", K::Whole, G::Input, "N", "measure the container's stream N",
                                              "the first video stream", 0, 65535, "a stream number from 0 to 65535"}));
    table.push_back(custom(
        {"size", K::Size, G::Input, "WxH", "frame size of raw planar input (needs " MENTION("pix_fmt") ")", "", 1, kMaxFrameDimension,
         "WIDTHxHEIGHT in pixels from 1 to 16384, such as 1920x1080"},
        [](const Request& request) {
            return request.raw && request.raw->width > 0
                       ? std::to_string(request.raw->width) + "x" + std::to_string(request.raw->height)
                       : std::string();
        },
        [](Request& request, const Setting& setting, const std::string& text) {
            if (text.empty()) {
                if (request.raw)
                    request.raw->width = request.raw->height = 0;
                if (request.raw && request.raw->pixelFormat.empty())
                    request.raw.reset();
                return;
            }
            const std::size_t cross = text.find('x');
            if (cross == std::string::npos)
                refuse(setting, text);
            RawVideo& raw = request.raw ? *request.raw : request.raw.emplace();
            try {
                raw.width = static_cast<int>(valueOf<long long>(setting, text.substr(0, cross)));
                raw.height = static_cast<int>(valueOf<long long>(setting, text.substr(cross + 1)));
            } catch (const RequestError&) {
                refuse(setting, text);
            }
        },
        [](Request& request) { request.raw.reset(); }));
    table.push_back(custom(
        {"pix_fmt", K::Text, G::Input, "NAME", "FFmpeg pixel format of raw input, such as yuv420p10le (needs " MENTION("size") ")", "",
         0, 0, "an FFmpeg pixel format name, such as yuv420p10le"},
        [](const Request& request) { return request.raw ? request.raw->pixelFormat : std::string(); },
        [](Request& request, const Setting& setting, const std::string& text) {
            if (!text.empty() && av_get_pix_fmt(text.c_str()) == AV_PIX_FMT_NONE)
                refuse(setting, text);
            if (!text.empty() || request.raw)
                (request.raw ? *request.raw : request.raw.emplace()).pixelFormat = text;
            if (request.raw && request.raw->width == 0 && request.raw->pixelFormat.empty())
                request.raw.reset();
        },
        [](Request& request) { request.raw.reset(); }));
    table.push_back(choice<Transfer, &Request::transfer>(
        {"transfer", K::Choice, G::Input, "pq|hlg", "measure as this transfer function, whatever the stream's tag says",
         "the stream's tag", 0, 0, "pq or hlg", "pq|hlg"},
        "pq", Transfer::Pq, "hlg", Transfer::Hlg));
    table.push_back(choice<Matrix, &Request::matrix>(
        {"matrix", K::Choice, G::Input, "bt2020|bt709", "measure with this Y'CbCr matrix, whatever the stream's tag says",
         "the stream's tag", 0, 0, "bt2020 or bt709", "bt2020|bt709"},
        "bt2020", Matrix::Bt2020, "bt709", Matrix::Bt709));
}

// Which of the input's frames are measured, and how damaged ones are taken.
void addFrameRangeRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(member<&Request::frameLimit>({"frames", K::Whole, G::Input, "N", "measure at most the first N frames",
                                                  "all", 1, kLargestWhole, "a whole number of frames, 1 or more"}));
    table.push_back(member<&Request::start>(
        {"start", K::Time, G::Input, "T",
         "measure only the frames shown at or after T (seconds or HH:MM:SS.fff from the first frame, or a timecode "
         "HH:MM:SS:FF at the stream's frame rate, ';' before FF for drop-frame; seeks to the key frame before it, and "
         "frames keep their numbers in the whole file)",
         "the first frame", 0, kMaxSeconds,
         "a time from the first frame in seconds, as HH:MM:SS.fff or as a timecode HH:MM:SS:FF, such as 60.5",
         nullptr, true, false}));
    table.push_back(member<&Request::end>({"end", K::Time, G::Input, "T", "measure only the frames shown before T",
                                           "the last frame", 0, kMaxSeconds,
                                           "a time from the first frame in seconds, as HH:MM:SS.fff or as a timecode "
                                           "HH:MM:SS:FF, such as 120",
                                           nullptr, true, false}));
    table.push_back(custom(
        {"frame_rate", K::Text, G::Input, "FPS",
         "frames a second of an image sequence, whose images carry no times: what its times, segments and "
         "timecodes are reckoned at",
         "24", 1, kMostFramesASecond,
         "frames a second from 1 to 1000, as a number (25, 23.976) or a ratio (24000/1001)"},
        [](const Request& request) {
            const auto [numerator, denominator] = request.frameRate;
            return denominator == 1 ? std::to_string(numerator)
                                    : std::to_string(numerator) + "/" + std::to_string(denominator);
        },
        [](Request& request, const Setting& setting, const std::string& text) {
            if (text.empty()) {
                request.frameRate = Request{}.frameRate;
                return;
            }
            AVRational rate{0, 1};
            const std::size_t slash = text.find('/');
            try {
                if (slash != std::string::npos) {
                    const long long numerator = wholeOf(setting.name, text.substr(0, slash), setting.expected);
                    const long long denominator = wholeOf(setting.name, text.substr(slash + 1), setting.expected);
                    if (numerator <= 0 || denominator <= 0 || numerator > INT_MAX || denominator > INT_MAX)
                        refuse(setting, text);
                    rate = {static_cast<int>(numerator), static_cast<int>(denominator)};
                } else {
                    // 23.976 is taken as written, 2997/125, not as the NTSC rate 24000/1001.
                    rate = av_d2q(decimalOf(setting.name, text, setting.expected), 1000000);
                }
            } catch (const RequestError&) {
                refuse(setting, text);
            }
            if (rate.num <= 0 || rate.den <= 0 || av_q2d(rate) < setting.lowest || av_q2d(rate) > setting.highest)
                refuse(setting, text);
            av_reduce(&rate.num, &rate.den, rate.num, rate.den, INT_MAX);
            request.frameRate = {rate.num, rate.den};
        },
        [](Request& request) { request.frameRate = Request{}.frameRate; }));
    table.push_back(member<&Request::assetMap>(
        {"assetmap", K::Path, G::Input, "FILE", "the asset map of an IMF composition playlist given as the input",
         "ASSETMAP.xml beside the playlist", 0, 0, "a file name", nullptr, true, false}));
    table.push_back(member<&Request::acceptDamaged>(
        {"accept_damaged", K::Flag, G::Input, "",
         "measure through frames the decoder flags as damaged and gaps in the stream's times: they are named, "
         "flagged and left out of every statistic (without it the run ends there)",
         "", 0, 0, "true or false"}));
    table.push_back(member<&Request::keepFrames>({"keep_frames", K::Flag, G::Input, "",
                                                  "keep every frame's record in the report", "", 0, 0, "true or false",
                                                  nullptr, false, false}));

}

void addMeasurementRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(member<&Request::thresholdNits>(
        {"threshold", K::Decimal, G::Measurement, "NITS", "count pixels whose luminance is above this many nits",
         "203, the HDR reference white", 0, 10000, "a level in nits from 0 to 10000, such as 203"}));
    table.push_back(member<&Request::top1Percent>({"top1", K::Decimal, G::Measurement, "P",
                                                   "report the luminance the brightest P percent reach", nullptr, 0,
                                                   100, "a percentage from 0 to 100"}));
    table.push_back(member<&Request::top2Percent>({"top2", K::Decimal, G::Measurement, "P", "a second such percentage",
                                                   nullptr, 0, 100, "a percentage from 0 to 100"}));
    table.push_back(member<&Request::bottomPercent>({"bottom", K::Decimal, G::Measurement, "P",
                                                     "report the luminance all but the darkest P percent reach",
                                                     nullptr, 0, 100, "a percentage from 0 to 100"}));
    table.push_back(member<&Request::percentiles>({"percentiles", K::Flag, G::Measurement, "",
                                                   "the three percentile columns of the per-frame outputs", "", 0, 0,
                                                   "true or false"}));
    table.push_back(member<&Request::tasks>({"tasks", K::Whole, G::Measurement, "N",
                                             "measure each frame with N threads", "one per core", 0, kMaxTaskCount,
                                             "a whole number of tasks from 1 to 256, or 0 for one per core", nullptr,
                                             true, false}));
    table.push_back(member<&Request::classParity>(
        {"class_parity", K::Flag, G::Measurement, "",
         "CHDR_Measurements' arithmetic (listed coefficients, band summation, its ranks) instead of the exact one", "",
         0, 0, "true or false"}));
    table.push_back(member<&Request::lumaChecks>(
        {"checks", K::Flag, G::Measurement, "",
         "also report per frame the luma minimum and maximum codes and the counts of codes outside the narrow range",
         "", 0, 0, "true or false"}));

}

void addAreaAndSceneRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(custom({"active_area", K::Area, G::AreaAndScenes, "auto|full|L,T,R,B",
                            "measure inside the picture that frames hold steadily (3 in a row), the whole frame, or "
                            "offsets in pixels from each edge",
                            nullptr, 0, kMaxFrameDimension,
                            "auto, full or LEFT,TOP,RIGHT,BOTTOM in pixels from each edge, such as 0,140,0,140"},
                           &areaText, [](Request& request, const Setting&, const std::string& text) { setArea(request, text); },
                           [](Request& request) {
                               request.areaMode = Request{}.areaMode;
                               request.area = {};
                           }));
    table.push_back(member<&Request::barsTolerance>(
        {"bars_tolerance", K::Whole, G::AreaAndScenes, "N",
         "with an automatic area, how faint (mean 10-bit codes above black's tolerance) a line beside the bars may be "
         "and still count as bars; 0: only black lines",
         nullptr, 0, static_cast<double>(kBarsToleranceLargest), "a whole number of codes from 0 to 128"}));
    table.push_back(member<&Request::sceneThreshold>({"scene_threshold", K::Decimal, G::AreaAndScenes, "T",
                                                      "a cut where a histogram changes by at least this share", nullptr,
                                                      0, 1, "a share from 0 to 1, such as 0.3"}));
    table.push_back(member<&Request::minSceneFrames>({"min_scene_length", K::Whole, G::AreaAndScenes, "N",
                                                      "scenes shorter than N frames join the one before", nullptr, 1,
                                                      static_cast<double>(1LL << 40), "a whole number of frames, 1 or more"}));
    table.push_back(member<&Request::sceneCutsFile>(
        {"scene_cuts", K::Path, G::AreaAndScenes, "FILE",
         "take the scenes' first frames from FILE (one number a line) instead of finding them", "", 0, 0,
         "a file name"}));
    table.push_back(custom(
        {"scene_cut_frames", K::FrameList, G::AreaAndScenes, "F,F,...", "the scenes' first frames", "", 0, 0,
         "first frame numbers from 0, in increasing order", nullptr, false, true},
        [](const Request& request) {
            std::string text;
            if (request.sceneCuts)
                for (long long frame : *request.sceneCuts)
                    text += (text.empty() ? "" : ",") + std::to_string(frame);
            return request.sceneCuts && request.sceneCuts->empty() ? std::string(",") : text;
        },
        [](Request& request, const Setting& setting, const std::string& text) {
            if (text.empty())
                request.sceneCuts.reset();
            else
                request.sceneCuts = text == "," ? std::vector<long long>() : framesOf(setting.name, text);
        },
        [](Request& request) { request.sceneCuts.reset(); }));

}

void addOutputRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(member<&Request::csvPath>({"csv", K::Path, G::Outputs, "FILE",
                                               "write one CSV row per frame (- for standard output)", "", 0, 0,
                                               "a file name, or - for standard output", nullptr, true, false},
                                              Output::Csv));
    table.push_back(member<&Request::jsonlPath>({"jsonl", K::Path, G::Outputs, "FILE",
                                                 "write one JSON object per line per frame (- for standard output)",
                                                 "", 0, 0, "a file name, or - for standard output", nullptr, true, false},
                                                Output::JsonLines));
    table.push_back(member<&Request::plotPath>({"plot", K::Path, G::Outputs, "FILE.svg",
                                                "draw the per-frame light on a PQ-scaled nits axis (PNG when FILE ends in .png)", "", 0, 0,
                                                "a file name", nullptr, true, false},
                                               Output::Plot));
    table.push_back(member<&Request::summaryJsonPath>({"summary_json", K::Path, G::Outputs, "FILE",
                                                       "write the summary as JSON (- for standard output)", "", 0, 0,
                                                       "a file name, or - for standard output", nullptr, true, false},
                                                      Output::SummaryJson));
    table.push_back(member<&Request::hdr10PlusPath>({"hdr10plus", K::Path, G::Outputs, "FILE.json",
                                                     "write HDR10+ Profile A metadata, one entry per frame", "", 0, 0,
                                                     "a file name, or - for standard output", nullptr, true, false},
                                                    Output::Hdr10Plus));
    table.push_back(member<&Request::doviConfigPath>({"dovi_config", K::Path, G::Outputs, "FILE.json",
                                                      "write a Dolby Vision profile 8.1 generator config", "", 0, 0,
                                                      "a file name, or - for standard output", nullptr, true, false},
                                                     Output::DoviConfig));
    table.push_back(member<&Request::madvrPath>(
        {"madvr", K::Path, G::Outputs, "FILE.bin",
         "write a madVR measurement file (version 5): per frame its peak and light histogram", "", 0, 0, "a file name",
         nullptr, true, false},
        Output::Madvr));
    table.push_back(member<&Request::partialPath>({"partial", K::Path, G::Outputs, "FILE.hmp",
                                                   "write a partial result of this segment for hdrmeter merge", "", 0,
                                                   0, "a file name", nullptr, true, false},
                                                  Output::Partial));
    table.push_back(member<&Request::reportPath>({"report", K::Path, G::Outputs, "FILE.html",
                                                  "write a self-contained HTML report to hand over", "", 0, 0,
                                                  "a file name", nullptr, true, false},
                                                 Output::HtmlReport));
    table.push_back(member<&Request::av1anScenesPath>(
        {"av1an_scenes", K::Path, G::Outputs, "FILE.json",
         "write Av1an's scenes.json, so that its chunks are hdrmeter's scenes", "", 0, 0,
         "a file name, or - for standard output", nullptr, true, false},
        Output::Av1anScenes));
    table.push_back(member<&Request::x265QpfilePath>(
        {"x265_qpfile", K::Path, G::Outputs, "FILE", "write an x265 qpfile with a key frame at each scene's first frame",
         "", 0, 0, "a file name, or - for standard output", nullptr, true, false},
        Output::X265Qpfile));
    table.push_back(member<&Request::ffmpegKeyframesPath>(
        {"ffmpeg_keyframes", K::Path, G::Outputs, "FILE", "write each scene's start time for ffmpeg's -force_key_frames",
         "", 0, 0, "a file name, or - for standard output", nullptr, true, false},
        Output::FfmpegKeyframes));
    table.push_back(member<&Request::hdr10PlusPretty>(
        {"pretty", K::Flag, G::Outputs, "", "indent the HDR10+ JSON (about 760 bytes a frame instead of one line of about 350)",
         "", 0, 0, "true or false", nullptr, true, false}));

}

void addMetadataAndVerifyRows(std::vector<Setting>& table)
{
    using K = SettingKind;
    using G = SettingGroup;
    table.push_back(custom(
        {"mastering_display", K::Display, G::Metadata, "[PRIMARIES,]MAX,MIN",
         "the mastering display for the Dolby Vision config and the HDR10 lines, over the stream's: its largest and "
         "smallest luminance in nits, its primaries (p3-d65, bt2020, bt709 or RX,RY,GX,GY,BX,BY,WX,WY), or both, such "
         "as p3-d65,1000,0.0001; a part not given is the stream's",
         "the stream's, else primaries from its tags or BT.2020, and 1000,0.0001, with a warning", 0, 0,
         "MAX,MIN in nits, such as 1000,0.0001 (MAX above MIN, at most 10000), primaries (p3-d65, bt2020, bt709 or "
         "RX,RY,GX,GY,BX,BY,WX,WY), or both: p3-d65,1000,0.0001"},
        [](const Request& request) {
            return request.masteringDisplay ? displayText(*request.masteringDisplay) : std::string();
        },
        [](Request& request, const Setting&, const std::string& text) {
            if (text.empty())
                request.masteringDisplay.reset();
            else
                request.masteringDisplay = displayOf(text);
        },
        [](Request& request) { request.masteringDisplay.reset(); }));
    table.push_back(custom(
        {"dovi_cm_version", K::Choice, G::Metadata, "2.9|4.0",
         "the Dolby Vision config's content mapping version: 2.9 for players that handle only CM v2.9 (no Level 9, "
         "which only 4.0 has)",
         nullptr, 0, 0, "2.9 or 4.0", "2.9|4.0", true, false},
        [](const Request& request) { return std::string(request.doviCmVersion == DoviCmVersion::V29 ? "2.9" : "4.0"); },
        [](Request& request, const Setting& setting, const std::string& text) {
            if (text != "2.9" && text != "4.0")
                refuse(setting, text);
            request.doviCmVersion = text == "2.9" ? DoviCmVersion::V29 : DoviCmVersion::V40;
        },
        [](Request& request) { request.doviCmVersion = Request{}.doviCmVersion; }));
    table.push_back(member<&Request::robustFramePercent>({"robust_frame_percentile", K::Decimal, G::Metadata, "P",
                                                          "robust peaks: per frame the light at this percentile",
                                                          nullptr, 0, 100, "a percentage from 0 to 100"}));
    table.push_back(member<&Request::robustClipPercent>(
        {"robust_clip_percentile", K::Decimal, G::Metadata, "P",
         "robust peaks: across frames this percentile of those and of the frames' average light", nullptr, 0, 100,
         "a percentage from 0 to 100"}));
    table.push_back(member<&Request::robustMetadata>(
        {"robust_peaks", K::Flag, G::Metadata, "",
         "the HDR10 lines and metadata files carry the robust MaxCLL and MaxFALL instead of the measured ones", "", 0,
         0, "true or false"}));
    table.push_back(member<&Request::fewPeakPixels>(
        {"peak_pixels", K::Whole, G::Metadata, "N",
         "warn when MaxCLL rests on fewer than N pixels in every frame that reaches it; 0 never warns", nullptr, 0,
         kLargestWhole, "a whole number of pixels, 0 or more"}));

    table.push_back(member<&Request::verify>(
        {"verify", K::Flag, G::Verify, "",
         "check the stream's stated MaxCLL, MaxFALL, mastering display and HDR10+ against the picture; exit status 3 "
         "when a check fails",
         "", 0, 0, "true or false", nullptr, true, false}));
    table.push_back(member<&Request::verifyJsonPath>({"verify_json", K::Path, G::Verify, "FILE.json",
                                                      "write the verification's checks as JSON; implies " MENTION("verify"), "", 0,
                                                      0, "a file name, or - for standard output", nullptr, true, false},
                                                     Output::VerifyJson));
    table.push_back(member<&Request::verifyMarginPercent>(
        {"verify_margin", K::Decimal, G::Verify, "P",
         "a stated MaxCLL or MaxFALL more than P percent above the measured one warns", nullptr, 0, 1000,
         "a percentage from 0 to 1000", nullptr, true, false}));
    table.push_back(member<&Request::verifyPqCodes>(
        {"verify_pq_codes", K::Decimal, G::Verify, "N",
         "HDR10+ values further than this many 10-bit PQ codes from hdrmeter's fail", nullptr, 0, 1023,
         "a number of 10-bit PQ codes from 0 to 1023", nullptr, true, false}));
    table.push_back(member<&Request::verifyMaxShift>(
        {"verify_max_shift", K::Whole, G::Verify, "N",
         "align the stated metadata with the picture at offsets up to N frames", nullptr, 0, 10000,
         "a whole number of frames from 0 to 10000", nullptr, true, false}));
}

std::vector<Setting> makeTable()
{
    std::vector<Setting> table;
    addInputRows(table);
    addFrameRangeRows(table);
    addMeasurementRows(table);
    addAreaAndSceneRows(table);
    addOutputRows(table);
    addMetadataAndVerifyRows(table);
    return table;
}

}  // namespace

const std::vector<Setting>& settings()
{
    static const std::vector<Setting> table = makeTable();
    return table;
}

const Setting* findSetting(const std::string& name)
{
    for (const Setting& setting : settings())
        if (name == setting.name)
            return &setting;
    return nullptr;
}

const Setting& outputSetting(Output output)
{
    for (const Setting& setting : settings())
        if (setting.output == output)
            return setting;
    throw std::logic_error("an output without a setting");
}

std::string defaultText(const Setting& setting)
{
    if (setting.defaultText)
        return setting.defaultText;
    return settingText(Request{}, setting);
}

std::string settingText(const Request& request, const Setting& setting)
{
    return setting.get(request);
}

void setSetting(Request& request, const Setting& setting, const std::string& text)
{
    setting.set(request, setting, text);
}

void resetSetting(Request& request, const Setting& setting)
{
    setting.reset(request);
}

bool mergeTakes(const Setting& setting)
{
    if (setting.output)
        return *setting.output != Output::Partial && *setting.output != Output::VerifyJson;
    const std::string name = setting.name;
    return name == "dovi_cm_version" || name == "pretty";
}

bool Request::operator==(const Request& other) const
{
    for (const Setting& setting : settings())
        if (setting.get(*this) != setting.get(other))
            return false;
    return true;
}

}  // namespace hdrmeter::clip
