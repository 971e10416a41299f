// hdrmeter clip layer: a video file in; every per-frame number, the clip's light levels, its active area,
// its scenes and the metadata files an encode needs out. It opens any file FFmpeg reads (or the built-in
// demo clip), decodes it, measures each frame with hdrmeter::Analyzer where the decoder put it, and
// writes what the request asks for. The command-line tool and the Python module are two hosts of it.
//
// Units: "nit" is cd/m2; "percent" is 0..100; "PQ signal" is an SMPTE ST 2084 value in 0..1. Frames and
// scenes are numbered from 0 in the order the stream presents them.
//
// Errors: measure() throws RequestError for a request that cannot be carried out (the reason mentions the
// setting; hdrmeter/settings.h) and InputError for an input that cannot be opened or whose first
// frame cannot be measured. From the first measured frame on it throws nothing: whatever ends the run
// early (a damaged stream, a frame that cannot be measured, a stop request, a file that cannot be
// written) is in the report, and every frame measured before it is kept, summarised and written.
//
// Threads: measure() runs on the calling thread and starts decoding and measuring threads of its own,
// all joined before it returns. Several runs may go on at once in one process.
#ifndef HDRMETER_CLIP_H
#define HDRMETER_CLIP_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hdrmeter/analysis.h"
#include "hdrmeter/export.h"

namespace hdrmeter::clip {

// Both carry their message as the library wrote it, settings named by mention() (hdrmeter/settings.h):
// message() for a host to spell in its own words with spelled(); what() spelled plainly ("end=12.5").
class HDRMETER_API RequestError : public std::invalid_argument {
public:
    explicit RequestError(const std::string& message);
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

class HDRMETER_API InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message);
    // A file the system refused: `systemError` is its errno (ENOENT, EACCES ...), `path` the file as given,
    // so that a host can raise the error its language has for it.
    InputError(const std::string& message, int systemError, const std::string& path);
    const std::string& message() const noexcept { return message_; }
    int systemError() const noexcept { return systemError_; }  // 0 when no system call failed
    const std::string& path() const noexcept { return path_; }  // "" when it is about no one file

private:
    std::string message_;
    int systemError_ = 0;
    std::string path_;
};

// Set by whoever may end a run early: a signal handler, a user interface. The run finishes the frame it
// is measuring, ends every output, and reports Ending::Stopped with `reason` ("SIGINT": the summary
// says "interrupted by SIGINT"). request() is async-signal-safe; `reason` must outlive the run (a string
// literal).
class StopRequest {
public:
    void request(const char* reason = "a stop request") noexcept {
        reason_.store(reason, std::memory_order_relaxed);
        requested_.store(true, std::memory_order_release);
    }
    bool requested() const noexcept { return requested_.load(std::memory_order_acquire); }
    const char* reason() const noexcept { return reason_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> requested_{false};
    std::atomic<const char*> reason_{"a stop request"};
};

// Where the measured pixels are.
enum class AreaMode {
    Auto,   // the union over all frames of what is not black (a second pass re-measures the frames before
            // the area last grew)
    Full,   // the whole frame; frames of another size are measured each in their own size
    Given,  // Request::area, offsets in pixels from each edge
};

// Headerless planar video.
struct RawVideo {
    int width = 0;            // pixels, 1..16384
    int height = 0;           // pixels, 1..16384
    std::string pixelFormat;  // FFmpeg's pixel format name, "yuv420p10le"
};

// A timecode as an editor counts it over a clip that starts at 00:00:00:00: whole frames a second at the
// stream's own rate (24 at 23.976, 25, 30 at 29.97), so at 23.976 00:10:00:00 is frame 14400, 600.6 s in.
// Drop-frame counting (29.97 and 59.94 only) skips the labels SMPTE drop-frame timecode skips.
struct Timecode {
    long long hours = 0;     // 0 or more
    int minutes = 0;         // 0..59
    int seconds = 0;         // 0..59
    int frames = 0;          // below the whole frames a second of the stream's rate
    bool dropFrame = false;  // written with ';' before the frames
    bool operator==(const Timecode& other) const
    {
        return hours == other.hours && minutes == other.minutes && seconds == other.seconds &&
               frames == other.frames && dropFrame == other.dropFrame;
    }
    bool operator!=(const Timecode& other) const { return !(*this == other); }
};

// A time in a clip: seconds after the first frame's presentation time, or a timecode, which counts frames
// and so becomes a time only once the stream, and its rate, is open.
struct ClipTime {
    ClipTime(double seconds = 0.0) : seconds(seconds) {}
    ClipTime(const Timecode& timecode) : timecode(timecode) {}
    double seconds = 0.0;             // 0 or more; not used with a timecode
    std::optional<Timecode> timecode;
    friend bool operator==(const ClipTime& a, const ClipTime& b)
    {
        return a.timecode == b.timecode && (a.timecode || a.seconds == b.seconds);
    }
    friend bool operator!=(const ClipTime& a, const ClipTime& b) { return !(a == b); }
};

// The mastering display given in place of the stream's: its luminance range, and its primaries when
// they are given too. Each part given overrides the stream's; a part not given is the stream's, else the
// default (BT.2020 primaries and D65 white when the stream's colour tags name no other).
struct MasteringLuminance {
    double maxNits = 1000.0;  // 0 < min < max <= 10000
    double minNits = 0.0001;
    bool assumed = true;      // nobody stated it: these are the defaults
    std::optional<std::array<double, 6>> primaries;   // CIE 1931 red x, y, green x, y, blue x, y; 0..1
    std::optional<std::array<double, 2>> whitePoint;  // x, y; set with the primaries
    bool luminanceGiven = true;  // false: only the primaries are given; the luminance is the stream's
};

// Primaries known by name, for the mastering display: "p3-d65", "bt2020" and "bt709", each with D65 white.
struct NamedPrimaries {
    const char* name;
    std::array<double, 6> primaries;  // red x, y, green x, y, blue x, y
    std::array<double, 2> whitePoint;
};
HDRMETER_API const std::vector<NamedPrimaries>& namedPrimaries();
// Sets `display`'s primaries and white point from a name of namedPrimaries(), in any letter case; false
// when the name is none of them.
HDRMETER_API bool setNamedPrimaries(MasteringLuminance& display, const std::string& name);

// The files a run can write. Each has one row in outputTable().
enum class Output { Csv, JsonLines, Plot, SummaryJson, Hdr10Plus, DoviConfig, Madvr, VerifyJson, Partial, HtmlReport,
                    Av1anScenes, X265Qpfile, FfmpegKeyframes };

enum class DoviCmVersion { V29, V40 };

// What to measure and write. Every default is here and nowhere else.
struct Request {
    // The input.
    std::string input = "-";              // a path, or "-" for standard input
    bool demo = false;                    // the built-in synthetic clip instead of `input`
    std::optional<int> stream;            // the container's stream number, 0..65535; the first video stream
    std::optional<RawVideo> raw;          // the input is headerless planar video of this size and format
    std::optional<Transfer> transfer;     // measure as this transfer function, whatever the stream's tag says
    std::optional<Matrix> matrix;         // measure with this matrix, whatever the stream's tag says

    // The measurement.
    double thresholdNits = 203.0;         // above-threshold shares count luminances above it, 0..10000
    double top1Percent = 1.0;             // the luminance the brightest P percent reach, 0..100
    double top2Percent = 10.0;            // a second such percentage, 0..100
    double bottomPercent = 1.0;           // the luminance all but the darkest P percent reach, 0..100
    bool percentiles = true;              // the percentile columns in the per-frame outputs
    bool lumaChecks = false;              // per frame, luma minimum, maximum and out-of-range counts
    bool classParity = false;             // CHDR_Measurements' arithmetic instead of the exact one
    int tasks = 0;                        // threads per frame, 1..256; 0: one per core
    std::optional<long long> frameLimit;  // measure at most this many frames, 1 or more
    // A time segment: only the frames whose presentation time, in seconds after the first frame's, is at
    // least `start` and below `end` (both taken to the microsecond), so that adjacent segments share no
    // frame and miss none. A timecode names a frame: its bound lies half a frame before that frame's time,
    // so that times a container rounds still fall on the right side. The run seeks to the key frame
    // before `start` and decodes the frames before it without measuring them; frames keep the numbers they
    // have in the whole file. Needs an input with presentation times: not the demo clip, YUV4MPEG2 or raw
    // video; a timecode needs a stream at a constant frame rate.
    std::optional<ClipTime> start;
    std::optional<ClipTime> end;          // after `start`
    // An image sequence's frames a second, numerator and denominator (24000, 1001), 1..1000 frames a
    // second: what its frames' times, and so `start`, `end` and timecodes, are reckoned at.
    std::pair<int, int> frameRate{24, 1};
    // An IMF composition playlist's asset map; "": the ASSETMAP.xml beside the playlist.
    std::string assetMap;
    // A frame the decoder flags as damaged (concealed, built on a missing reference) or a gap in the
    // presentation times ends the run there (Ending::Failed) unless this is set; then such frames are
    // measured and written with their `damaged` flag but left out of every statistic, and gaps are
    // named in the report.
    bool acceptDamaged = false;
    // Report::frames holds every frame's record (about 150 bytes a frame). Without it the report's
    // frames are left empty and the run keeps about 100 bytes a frame, whatever it writes: a host that
    // only wants the files (the command-line tool) leaves it off for long films.
    bool keepFrames = true;

    // The active area.
    AreaMode areaMode = AreaMode::Auto;
    ActiveArea area;                      // with AreaMode::Given; must leave pixels of every frame
    // With AreaMode::Auto: how faint a line beside the bars may be and still be taken for coding noise,
    // mean 10-bit codes above the black tolerance, 0..kBarsToleranceLargest (0: every sample black);
    // findContent's barsTolerance.
    int barsTolerance = kBarsToleranceDefault;

    // Scenes.
    double sceneThreshold = 0.3;          // a cut where a histogram changes by this share or more, 0..1
    long long minSceneFrames = 12;        // shorter scenes join the one before, 1 or more
    std::optional<std::vector<long long>> sceneCuts;  // the scenes' first frames instead of finding them,
                                                      // increasing from 0 (0 may be left out)
    std::string sceneCutsFile;            // the same read from a file, one number a line; "" for none

    // Metadata.
    // Overrides the stream's, for the Dolby Vision config and the HDR10 lines of the summary.
    std::optional<MasteringLuminance> masteringDisplay;
    // The Dolby Vision config's content mapping version: 4.0, or 2.9 for players that handle only that,
    // whose config leaves out the blocks only CM v4.0 has (Level 9).
    DoviCmVersion doviCmVersion = DoviCmVersion::V40;

    // Robust peaks: per frame the light at robustFramePercent, then across the undamaged frames
    // robustClipPercent of those (and of the frames' average light), each a nearest rank.
    double robustFramePercent = 99.99;    // 0..100
    double robustClipPercent = 99.9;      // 0..100
    bool robustMetadata = false;          // the metadata files and HDR10 lines carry the robust levels
    // A warning when MaxCLL rests on fewer pixels than this in every frame that reaches it; 0 for none.
    long long fewPeakPixels = 10;

    // Verify: what the stream states against what is measured (Report::verification), with the stated
    // HDR10+ values in the per-frame outputs. Implied by verifyJsonPath.
    bool verify = false;
    double verifyMarginPercent = 10.0;    // stated MaxCLL or MaxFALL further above the measured: a warning, 0..1000
    double verifyPqCodes = 4.0;           // HDR10+ values further from hdrmeter's own (10-bit PQ codes) fail, 0..1023
    long long verifyMaxShift = 24;        // scene alignment tries offsets up to this many frames each way, 0..10000

    // The files to write, "" for none. "-" is standard output where the format allows it (CSV, JSON lines,
    // the three JSON documents). A regular file is written under a temporary name beside it and renamed
    // into place when it is complete, so that no reader sees half a file.
    std::string csvPath;
    std::string jsonlPath;
    std::string plotPath;                 // SVG, or PNG when the name ends in ".png"
    std::string summaryJsonPath;
    std::string hdr10PlusPath;
    // The HDR10+ JSON indented, about 760 bytes a frame; without it each frame's entry is one compact
    // line of about 350 bytes, which every JSON reader reads the same.
    bool hdr10PlusPretty = false;
    std::string doviConfigPath;
    std::string madvrPath;                // a madVR measurement file (version 5); a file name, never "-"
    std::string verifyJsonPath;           // the verification's checks as JSON
    // A partial result of a time segment (start, end), for merge(): every frame's numbers and statistics,
    // written only when the segment was measured to its end. A file name, never "-".
    std::string partialPath;
    // One self-contained HTML page to hand over: the clip and its settings, the plot, a row per scene,
    // the frame of MaxCLL tone-mapped for SDR, the verification, the HDR10 lines and the warnings. A file
    // name, never "-".
    std::string reportPath;
    // The scenes' first frames for encoders that cut a film into chunks: Av1an's scenes.json, an x265
    // qpfile ("FRAME I" a line), and ffmpeg's -force_key_frames list (times in seconds, comma-separated;
    // needs a stream that states its frame rate).
    std::string av1anScenesPath;
    std::string x265QpfilePath;
    std::string ffmpegKeyframesPath;

    HDRMETER_API bool operator==(const Request& other) const;
    bool operator!=(const Request& other) const { return !(*this == other); }
};

// The one-line reason the request cannot be carried out, or "" when it can; it mentions the settings it is
// about (hdrmeter/settings.h). Reads no file.
HDRMETER_API std::string validate(const Request& request);

// One row per output file: what drives validation, the check that no two outputs (or an output and the
// input) are the same file, and file creation. Its setting (settings.h) holds its names and help.
struct OutputSpec {
    Output output;
    const char* setting;           // "csv"
    std::string Request::*path;
    bool standardOutput;           // "-" writes standard output
    bool perFrame;                 // written row by row while the clip is measured
};
HDRMETER_API const std::vector<OutputSpec>& outputTable();
// The path the request gives for `output`, "" for none.
HDRMETER_API const std::string& outputPath(const Request& request, Output output);

// The luma code checks of one frame, taken before the engine clamps the codes.
struct LumaChecks {
    int minCode = 0;
    int maxCode = 0;
    long long lowCount = 0;   // samples below narrow-range black (under 64 at 10 bits)
    long long highCount = 0;  // samples above narrow-range white (over 940 at 10 bits)
};

// The six numbers and the checks of one frame, inside the clip's active area.
struct FrameMeasurement {
    long long frame = 0;
    double averageLightNits = 0.0;       // the frame's FALL
    double largestLightNits = 0.0;       // the frame's CLL
    double aboveThresholdPercent = 0.0;  // of its pixels, luminance above Request::thresholdNits
    double top1Nits = 0.0;
    double top2Nits = 0.0;
    double bottomNits = 0.0;
    std::optional<LumaChecks> lumaChecks;
    long long scene = 0;                 // the scene the frame belongs to
};

struct ContentLightLevel {
    unsigned maxCllNits = 0;
    unsigned maxFallNits = 0;
};

// What a frame's HDR10+ (SMPTE ST 2094-40) metadata states for its first window, the whole frame, in the
// 0.1-nit units of HDR10+ (100000 is 10000 nits), as the decoder hands it over.
struct StatedHdr10Plus {
    std::uint32_t averageRgb = 0;            // the average of maxRGB
    std::array<std::uint32_t, 3> maxScl{};   // the largest red, green and blue
    // At HDR10+'s distribution indexes 1, 5, 10, 25, 50, 75, 90, 95 and 99, as SceneDistribution orders
    // them (index 10 is a percent of pixels); unset when the stream states other indexes.
    std::optional<std::array<std::uint32_t, 9>> distribution;
};

// What a frame's Dolby Vision RPU states (its display management extension blocks), as libavcodec hands
// it over. Light is in 12-bit PQ codes (0..4095).
struct StatedDolbyVision {
    struct Level1 {
        int minPq = 0;
        int avgPq = 0;
        int maxPq = 0;
        bool operator==(const Level1& o) const { return minPq == o.minPq && avgPq == o.avgPq && maxPq == o.maxPq; }
        bool operator!=(const Level1& o) const { return !(*this == o); }
    };
    struct Level2 {  // one trim, for the target display whose peak is targetMaxPq
        int targetMaxPq = 0;
        int trimSlope = 0;
        int trimOffset = 0;
        int trimPower = 0;
        int trimChromaWeight = 0;
        int trimSaturationGain = 0;
        int msWeight = 0;
    };
    struct Level5 {  // the active area's offsets from the frame's edges, pixels
        int left = 0;
        int right = 0;
        int top = 0;
        int bottom = 0;
        bool operator==(const Level5& o) const
        {
            return left == o.left && right == o.right && top == o.top && bottom == o.bottom;
        }
    };
    struct Level6 {
        int maxDisplayNits = 0;
        int minDisplayTenThousandths = 0;  // of a nit
        int maxCllNits = 0;
        int maxFallNits = 0;
    };
    struct Level11 {
        int contentType = 0;
        int whitepoint = 0;
        bool referenceMode = false;
    };
    std::optional<Level1> level1;
    std::vector<Level2> level2;
    std::optional<Level5> level5;
    std::optional<Level6> level6;
    std::optional<int> level9SourcePrimaryIndex;
    std::optional<Level11> level11;
    // The content mapping version the blocks belong to: "4.0" when the RPU carries CM v4.0 blocks (Level 3,
    // 8, 9, 10, 11 or 254), "2.9" otherwise.
    std::string cmVersion;
};

// The stream's Dolby Vision configuration record (a container's dvcC/dvvC box), when it has one.
struct DolbyVisionConfiguration {
    int profile = 0;
    int level = 0;
    int compatibilityId = 0;  // of the base layer: 1 HDR10, 2 SDR, 4 HLG, 0 none
};

// What is kept of a frame.
struct FrameRecord {
    FrameMeasurement numbers;
    double smallestPqLight = 0.0;  // over its pixels, PQ signal
    double meanPqLight = 0.0;
    double largestPqLight = 0.0;
    double sceneDistance = 0.0;    // to the frame before, 0..1, to single precision; 0 for frame 0
    bool final = false;            // measured inside the clip's final area (always so in a report)
    bool damaged = false;          // flagged by the decoder (only with Request::acceptDamaged)
    long long pixels = 0;          // measured: the frame's pixels inside the area
    int width = 0;                 // the frame's size, pixels
    int height = 0;
    std::optional<StatedHdr10Plus> statedHdr10Plus;  // what the stream states for the frame, when it does
    std::optional<ContentLightLevel> statedLightLevel;  // the MaxCLL and MaxFALL stated with the frame, if any
    // What its Dolby Vision RPU states, when it carries one and this FFmpeg reads it; frames stating the
    // same share one.
    std::shared_ptr<const StatedDolbyVision> statedDolbyVision;
};

// One column of the per-frame outputs: the CSV header, the JSON lines' names and the Python module's
// arrays all come from this table.
enum class ColumnGroup { Always, Percentiles, LumaChecks, Damage, Stated };
struct FrameColumn {
    const char* name;         // "average_light_nits"
    const char* unit;         // "nit", "percent", "code", "count", "" for numbers
    bool integral;            // a whole number
    ColumnGroup group;        // written with Request::percentiles, lumaChecks, acceptDamaged, verify, or always
    double (*value)(const FrameRecord& record);  // NaN for a text column
    const char* description;
    // A text column's cell from the record and the stream's frame rate (numerator, denominator): "" in CSV
    // and null in JSON for an empty text. Null for a column of numbers.
    std::string (*text)(const FrameRecord& record, const std::optional<std::pair<int, int>>& frameRate) = nullptr;
};
HDRMETER_API const std::vector<FrameColumn>& frameColumns();
// The columns a request's outputs carry, in order.
HDRMETER_API std::vector<const FrameColumn*> columnsOf(const Request& request);

// A scene's light as HDR10+ Profile A describes it, over the pixels of its undamaged frames.
struct SceneDistribution {
    // In the order of HDR10+'s distribution indexes 1, 5, 10, 25, 50, 75, 90, 95 and 99: the light in nits
    // at the 1st and the 99.99th percentile, the percent of pixels at or below 100 nits, then the light at
    // the 25th, 50th, 75th, 90th, 95th and 99.98th percentiles.
    std::array<double, 9> values{};
    std::array<double, 3> largestChannelNits{};  // red, green, blue
};

struct SceneResult {
    long long firstFrame = 0;
    long long frameCount = 0;
    double meanAverageLightNits = 0.0;    // the mean of its frames' average light
    double maxCllNits = 0.0;              // the largest light of its frames, nits (its MaxCLL)
    double maxFallNits = 0.0;             // the largest average light of its frames, nits (its MaxFALL)
    double smallestPqLight = 0.0;         // over its pixels, PQ signal
    double largestPqLight = 0.0;
    double meanOfMeanPqLight = 0.0;       // the mean of its frames' mean PQ signal
    std::optional<SceneDistribution> distribution;  // when an output needs it (HDR10+)
    // With AreaMode::Auto, the union of its own frames' content (the clip's area when they are all
    // black); otherwise the clip's area. Its statistics are still those of the clip's area.
    ActiveArea area;
};

// How a transfer or matrix was chosen.
enum class TagOrigin {
    Stream,   // the stream's own tag
    Option,   // Request::transfer or Request::matrix
    Assumed,  // the stream has no tag; the default is measured
};
struct ColourChoice {
    Transfer transfer = Transfer::Pq;
    Matrix matrix = Matrix::Bt2020;
    TagOrigin transferOrigin = TagOrigin::Assumed;
    TagOrigin matrixOrigin = TagOrigin::Assumed;
    std::string refusal;  // the tags say the stream is not HDR that can be measured
    std::string warning;  // an untagged transfer is measured as PQ
};

// Mastering display colour volume: chromaticities as CIE 1931 x, y, luminance in nits; unset when the
// stream leaves a field out.
struct MasteringDisplay {
    std::optional<std::array<double, 6>> primaries;  // red x, y, green x, y, blue x, y
    std::optional<std::array<double, 2>> whitePoint;
    std::optional<double> minNits;
    std::optional<double> maxNits;
};
enum class MetadataOrigin { Container, Codec };
// What the stream states about itself.
struct StaticMetadata {
    std::optional<MasteringDisplay> mastering;
    MetadataOrigin masteringOrigin = MetadataOrigin::Container;
    std::optional<ContentLightLevel> lightLevel;
    MetadataOrigin lightLevelOrigin = MetadataOrigin::Container;
};

// What the input is.
struct StreamFacts {
    std::string inputName;  // the path, "standard input" or "demo clip"
    std::string container;  // FFmpeg's demuxer, "matroska,webm"; "generated" for the demo clip
    std::string codec;      // "hevc"
    int streamIndex = 0;    // the measured stream's number in the container, in the container's order
    // Of the first frame; 0 when no frame was decoded.
    int width = 0;
    int height = 0;
    int bitDepth = 0;       // of the codes measured: 16 for a float master, rounded to 16-bit codes
    ChromaLayout layout = ChromaLayout::Yuv420;  // 4:4:4 for R'G'B'
    SampleRange range = SampleRange::Narrow;
    ColourModel model = ColourModel::YCbCr;      // R'G'B' masters are measured as R'G'B', not converted
    bool floatSamples = false;  // R'G'B' float signals, measured as the nearest 16-bit full-range codes
    ColourChoice colour;
    int primariesTag = 2;   // the colour primaries tag, ITU-T H.273 (1 BT.709, 9 BT.2020, 12 P3-D65; 2 none)
    Arithmetic arithmetic;
    std::optional<long long> framesExpected;  // what the container says, when it does
    // Frames per second as numerator and denominator (24000, 1001), when the stream states a constant
    // rate: what timecodes are reckoned at.
    std::optional<std::pair<int, int>> frameRate;
    std::optional<DolbyVisionConfiguration> doviConfiguration;
};

// Light levels as HDR10 metadata carries them: the nearest whole nit, halves rounded up.
HDRMETER_API long long wholeNits(double nits);

// The largest value of a per-frame quantity and the frames that reach it exactly.
class HDRMETER_API FramePeak {
public:
    void offer(long long frame, double value);

    bool any() const { return frameCount_ > 0; }
    double value() const { return value_; }
    long long frameCount() const { return frameCount_; }
    // The first frames that reach the peak, at most kListedFrames of them.
    const std::vector<long long>& firstFrames() const { return firstFrames_; }
    // "frame 60", "frames 3, 4 and 9", "frames 3, 4, 9, 10, 11 and 40 more".
    std::string describeFrames() const;

    static constexpr std::size_t kListedFrames = 5;

private:
    double value_ = 0.0;
    long long frameCount_ = 0;
    std::vector<long long> firstFrames_;
};

// Where the clip's MaxCLL comes from: the first frame that reaches it, and the first of its pixels at
// that light in rows from the top, each row from the left.
struct PeakTrace {
    double nits = 0.0;        // MaxCLL
    long long frame = 0;
    long long pixels = 0;     // that frame's pixels at MaxCLL
    int x = 0;                // pixels from the frame's left edge
    int y = 0;                // pixels from the frame's top edge
    long long mostPixels = 0; // the most pixels at MaxCLL in any one frame that reaches it
};

// Light levels that a few outlying pixels or frames do not set (Request::robustFramePercent and
// robustClipPercent).
struct RobustPeaks {
    double maxCllNits = 0.0;
    double maxFallNits = 0.0;
};

// The clip's light levels over its measured frames.
class HDRMETER_API MeasurementSummary {
public:
    // `pixels`: the frame's measured pixels, which weigh its share above the threshold.
    void add(const FrameMeasurement& measurement, long long pixels);

    long long framesMeasured() const { return framesMeasured_; }
    const FramePeak& maxCll() const { return maxCll_; }   // nits
    const FramePeak& maxFall() const { return maxFall_; }
    long long framesAboveThreshold() const { return framesAboveThreshold_; }
    // Share of frames with at least one pixel above the threshold, percent; 0 without frames.
    double framesAboveThresholdPercent() const;
    // Share of all measured pixels above the threshold, percent; 0 without frames. While every frame
    // has the same pixel count it is computed as the mean of the frames' shares.
    double pixelsAboveThresholdPercent() const;

private:
    long long framesMeasured_ = 0;
    FramePeak maxCll_;
    FramePeak maxFall_;
    long long framesAboveThreshold_ = 0;
    double aboveThresholdPercentSum_ = 0.0;
    double abovePixelsSum_ = 0.0;  // each frame's share times its pixels
    double pixelsSum_ = 0.0;
    long long firstPixels_ = -1;
    bool pixelCountsDiffer_ = false;
};

// What a stream's Dolby Vision RPUs state over the measured frames.
struct DolbyVisionStatement {
    std::optional<DolbyVisionConfiguration> configuration;  // the container's record, when it has one
    std::string cmVersion;              // of the first RPU: "4.0" or "2.9"
    long long frames = 0;               // the frames whose RPU was read
    std::vector<long long> shotStarts;  // the stated shots: where the stated Level 1 changes
};

// Verification: each check of what the stream states against what is measured.
enum class CheckOutcome { Pass, Warn, Fail };
struct VerifyCheck {
    std::string name;       // "max_cll", "max_fall", "mastering_display", "hdr10plus_average_rgb",
                            // "hdr10plus_max_scl", "hdr10plus_distribution", "hdr10plus_scene_alignment",
                            // "dovi_level1", "dovi_level1_in_scenes", "dovi_shot_alignment",
                            // "dovi_level1_black", "dovi_level5", "dovi_level6_max_cll",
                            // "dovi_level6_max_fall", "dovi_level6_hdr10", "dovi_level6_display"
    CheckOutcome outcome = CheckOutcome::Pass;
    std::string line;       // one line with its figures
    std::vector<std::pair<std::string, double>> figures;  // named numbers: "stated_nits", "offset_frames" ...
};
struct Verification {
    std::vector<VerifyCheck> checks;  // those the stream's metadata allows, in the order above
    bool failed() const
    {
        for (const VerifyCheck& check : checks)
            if (check.outcome == CheckOutcome::Fail)
                return true;
        return false;
    }
    // The first frames of the stream's HDR10+ scenes (where its values change), and the offset in
    // frames that puts the most of those changes on hdrmeter's cuts (a positive offset: the metadata comes
    // late); unset when no shift can be found.
    std::vector<long long> statedSceneStarts;
    std::optional<long long> alignmentOffset;
};

enum class Ending {
    Complete,  // the input ended (or the frame limit was reached) and everything was written
    Stopped,   // a StopRequest ended it: `stopReason` says whose
    Failed,    // `failure` says what, and `failedAtFrame` where
};

// Its lines (warnings, failure, outputFailures, leftOutReason) mention settings as RequestError's do: a
// host spells them with spelled() or spelledPlainly().
struct Report {
    Request request;                  // as measured (scene cuts read from a file included)
    StreamFacts stream;
    StaticMetadata metadata;          // as the stream states it
    ActiveArea area;                  // the area every reported frame was measured in
    // With AreaMode::Auto: the first frame whose picture reaches each edge of `area` (left, top, right,
    // bottom), the frame that set it; unset otherwise.
    std::optional<std::array<long long, 4>> areaEdgeFrames;
    std::vector<FrameRecord> frames;  // in order, each measured inside `area` (with Request::keepFrames)
    std::vector<SceneResult> scenes;
    MeasurementSummary summary;
    std::vector<std::string> warnings;  // a line each, in the order they arose
    std::optional<PeakTrace> maxCllTrace;   // unset without measured frames
    std::optional<RobustPeaks> robustPeaks; // unset without measured frames
    std::optional<Verification> verification;  // with Request::verify
    std::optional<DolbyVisionStatement> dolbyVision;  // when frames carry RPUs that this FFmpeg reads
    // With Request::acceptDamaged: the frames the decoder flagged (measured, left out of every
    // statistic), and the numbers that presentation times skip (frames the stream lost).
    std::vector<long long> damagedFrames;
    std::vector<long long> missingFrames;
    // The frame sizes met, in order, each with its run of frames: one entry unless the size changed.
    struct SizeRun {
        int width = 0;
        int height = 0;
        long long firstFrame = 0;
        long long frameCount = 0;
    };
    std::vector<SizeRun> sizes;

    // The automatic area's second pass: frames measured again, and how long it took.
    long long secondPassFrames = 0;
    double secondPassSeconds = 0.0;
    // Frames measured before the area was final whose second pass did not happen, left out of everything,
    // and why.
    long long framesLeftOut = 0;
    std::string leftOutReason;
    double elapsedSeconds = 0.0;      // measuring, from the first frame to the last; 0 for a merge

    Ending ending = Ending::Complete;
    std::string stopReason;           // with Ending::Stopped: StopRequest's reason, "SIGINT"
    std::string failure;              // with Ending::Failed: one line
    std::optional<long long> failedAtFrame;  // the frame the failure was met at, when it was at a frame
    std::vector<std::string> outputFailures; // files that could not be written whole, a line each
};

// Told of the run's progress; every call comes from the thread that called measure().
class HDRMETER_API Observer {
public:
    virtual ~Observer();
    // Pass 1 (every frame) or 2 (the automatic area's second pass), frames done in it, and how many it
    // will take when known.
    virtual void progress(int pass, long long framesDone, std::optional<long long> framesExpected);
    // A warning worth a line, as it arises (it is in the report too).
    virtual void warning(const std::string& line);
    // A line FFmpeg wrote about this run's demuxer or decoder, at warning level or worse (`level` is
    // FFmpeg's: 24 a warning, 16 an error), between frames; only once a host called captureLibavMessages
    // (clip_hooks.h). Lines of other runs in the process never come here. At most 100 a run, then one
    // line says how many more were left out.
    virtual void ffmpegMessage(int level, const std::string& line);
};

// Measures the request's input and writes the files it asks for. See the errors above. `stop` is the one
// way to end a run early, for a signal handler or an observer alike (request it from progress()); when
// given, it is also set by the run itself when an output's reader went away (nobody reads the rest).
HDRMETER_API Report measure(const Request& request, Observer* observer = nullptr, StopRequest* stop = nullptr);

// The writers, each a whole file from a report (measure() writes the same bytes).
HDRMETER_API std::string csvText(const Report& report);
HDRMETER_API std::string jsonLinesText(const Report& report);
HDRMETER_API std::string plotSvg(const Report& report);
HDRMETER_API std::string summaryJsonText(const Report& report);
HDRMETER_API std::string hdr10PlusJsonText(const Report& report);
HDRMETER_API std::string doviConfigJsonText(const Report& report);
// The verification's checks; "null" without Request::verify.
HDRMETER_API std::string verifyJsonText(const Report& report);
// The madVR measurement file has no such function: it holds every frame's light histogram, which a report
// does not keep, so only measure() writes it (Request::madvrPath).
// The text summary a person reads, ending with the HDR10 options ready to paste.
HDRMETER_API std::string summaryText(const Report& report);

// Partial results of time segments of one input, measured with one request (Request::partialPath), made
// into the whole input's report and files: the same bytes as one run over the whole input would write,
// the summary's timings aside.
struct MergeRequest {
    std::vector<std::string> partials;  // the partial result files, in any order
    Request outputs;                    // only the settings of mergeTakes() (hdrmeter/settings.h) and keepFrames
                                        // are read; "-" as in measure()
    // Parts measured inside another automatic area than the clip's (which the frames of all the parts
    // give together) are measured again inside the clip's when their input is at hand; else the merge
    // names the commands.
    bool remeasure = true;
};
// Throws RequestError, naming the file, for a part that cannot be read, is damaged or cut short, is of
// another input or request, overlaps another or leaves a gap, or for a missing first or last part; and
// for parts that need measuring again. Once merging has begun it reports as measure() does.
HDRMETER_API Report merge(const MergeRequest& merge, Observer* observer = nullptr, StopRequest* stop = nullptr);

// Time segments of a film to measure apart (Request::start and end), each starting on a key frame.
struct SegmentPlanRequest {
    std::string input;             // a file that can be sought in (not standard input)
    std::optional<int> stream;     // as Request::stream
    int segments = 0;              // this many segments of about equal length, or ...
    double segmentSeconds = 0.0;   // ... segments of about this many seconds; give one of the two
    std::pair<int, int> frameRate{24, 1};  // an image sequence's, as Request::frameRate
    std::string assetMap;          // an IMF composition playlist's, as Request::assetMap
};
// Seconds after the first frame's presentation time, in whole microseconds. A frame belongs to the
// segment with start <= its time < end; the last segment ends past the last frame.
struct TimeSegment {
    long long startMicroseconds = 0;
    long long endMicroseconds = 0;
};
// Reads packets only (a few seeks and the last group of pictures). Fewer segments than asked for when
// the film has fewer key frames. Throws RequestError for a plan that names neither or both sizes, and
// InputError for an input that cannot be planned.
HDRMETER_API std::vector<TimeSegment> planSegments(const SegmentPlanRequest& plan);
// One segment a line, "START END" in seconds: what `--start START --end END` takes.
HDRMETER_API std::string segmentPlanText(const std::vector<TimeSegment>& segments);

}  // namespace hdrmeter::clip

#endif  // HDRMETER_CLIP_H
