// hdrmeter frame analysis: measures decoder output where it lies (three planes with row padding, 4:2:0,
// 4:2:2 or 4:4:4), never writing it, and returns every per-frame statistic that HDR10, HDR10+ and
// Dolby Vision metadata are made of. Statistics of frames merge into those of a scene or a clip.
//
// Units: "code" is a sample's integer code value in a 16-bit word (a 10-bit sample lies in 0..1023);
// "nit" is cd/m2; "percent" is 0..100; "PQ signal" is an SMPTE ST 2084 non-linear value in 0..1.
// "Light" of a pixel is the luminance of the largest of its R', G' and B' signals (maxRGB), each derived
// from the pixel's codes and held in light codes (see Coefficients); "luminance" of a pixel is that of its
// luma code. An R'G'B' frame's signals are its codes themselves, clamped to luma's black..white
// (64..940 at 10 bits in narrow range, 0..2^n-1 in full range); its luma code is the matrix's
// Kr R' + Kg G' + Kb B' of those codes to the nearest code, halves up, exactly (both matrices'
// coefficients have four decimals): the Y' of the Y'CbCr encode made from it.
//
// Errors: invalid settings or frames raise std::invalid_argument with a one-line reason; nothing is
// measured then. Failed allocations raise std::bad_alloc.
//
// Threads: an Analyzer may be used from several threads at once, on distinct frames or the same one
// (it only reads frames). FrameStatistics and ContentBounds are plain values: one object per thread.
#ifndef HDRMETER_ANALYSIS_H
#define HDRMETER_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hdrmeter/export.h"
#include "hdrmeter/version.h"

namespace hdrmeter {

namespace detail {
struct AnalyzerState;   // an analyzer's tables and its workers
struct StatisticsData;  // what a FrameStatistics holds: histograms, extremes, sums and the tables they refer to
}  // namespace detail

// "MAJOR.MINOR.PATCH" of the library that is loaded, which may differ from the HDRMETER_VERSION_* of the
// headers a host was compiled with.
HDRMETER_API const char* libraryVersion();

// SMPTE ST 2084 inverse EOTF: luminance in nits (clamped to 0..10000) to the PQ signal, 0..1. The one
// definition every part of hdrmeter uses, the analyzer's tables included.
HDRMETER_API double pqSignalOfNits(double nits);

enum class ChromaLayout {
    Yuv420,  // chroma halved in both directions: chroma row y/2 serves luma rows y and y+1
    Yuv422,  // chroma halved horizontally: chroma sample x/2 of the same row serves pixels x and x+1
    Yuv444,  // one chroma sample per pixel
};

enum class SampleRange {
    Narrow,  // luma black..white 64..940 at 10 bits (times 4 at 12, 64 at 16), chroma 64..960 around 512
    Full,    // luma 0..2^n-1, chroma 0..2^n-1 around 2^(n-1); levels and chroma scale follow
};

enum class Transfer {
    Pq,   // SMPTE ST 2084, 10000 nit peak
    Hlg,  // ITU-R BT.2100 hybrid log-gamma on a 1000-nit display, black at 0 (system gamma 1.2)
};

enum class Matrix {
    Bt2020,  // ITU-R BT.2020 non-constant luminance (Kr 0.2627, Kb 0.0593)
    Bt709,   // ITU-R BT.709 (Kr 0.2126, Kb 0.0722)
};

// How a frame's three planes carry its colour.
enum class ColourModel {
    YCbCr,  // Y', Cb, Cr in `layout`
    Rgb,    // R', G', B' at full resolution, no matrix between the codes and the light; `layout` is ignored
};

// One frame as the host holds it. Samples are unsigned 16-bit words in the machine's byte order holding
// the code in their low bits. Rows of a plane lie `strides[i]` bytes apart (negative for bottom-up
// planes); |stride| must be at least a row's bytes, even, and the planes 2-byte aligned. Chroma planes
// have ceil(width / 2) samples a row in 4:2:0 and 4:2:2, and ceil(height / 2) rows in 4:2:0.
// The analyzer only reads the planes.
struct FrameView {
    // Y, Cb, Cr; or R', G', B' in that order whatever order the host stores them in (a gbrp frame's
    // planes 2, 0, 1; a packed rgb48 row's words 0, 1, 2 of its first pixel).
    const std::uint16_t* planes[3] = {nullptr, nullptr, nullptr};
    std::ptrdiff_t strides[3] = {0, 0, 0};                           // bytes from a row to the next, per plane
    int width = 0;                                                   // luma samples a row, at least 1
    int height = 0;                                                  // luma rows, at least 1
    ChromaLayout layout = ChromaLayout::Yuv420;
    int bitDepth = 10;                                               // 10, 12 or 16
    SampleRange range = SampleRange::Narrow;
    ColourModel model = ColourModel::YCbCr;
    // 16-bit words from a pixel's sample to the next pixel's in a row, per plane: 1 for planar samples;
    // with ColourModel::Rgb also 3 or 4 for packed pixels (rgb48, rgba64, whose alpha is not read), the
    // three planes then pointing into the same rows. A row's bytes are then 2 x step x width. The three
    // steps are equal.
    int steps[3] = {1, 1, 1};
};

// The part of a frame that is measured, as offsets in luma pixels from each edge; all zero is the whole
// frame. Pixels outside it are not measured at all: every count, sum, extreme and percentile is over
// the active pixels only.
struct ActiveArea {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    bool operator==(const ActiveArea& other) const {
        return left == other.left && top == other.top && right == other.right && bottom == other.bottom;
    }
    bool operator!=(const ActiveArea& other) const { return !(*this == other); }
};

// Colour-difference coefficients, and how a derived R, G or B value becomes a code.
enum class Coefficients {
    Exact,   // the ITU-R coefficients of the matrix, taken to luma code units (x 876/896 in narrow range,
             // x 1 in full range); derived R', G', B' kept to 1/64 of a 10-bit code (65536 light codes
             // at every depth, light code c being c / 2^(16 - bitDepth) of a code), rounded to the nearest
    Listed,  // the listed sets of CHDR_Measurements (BT.2020 1.4746, -0.1646, -0.5714, 1.8814; BT.709 scaled
             // by 876/896), derived codes truncated toward zero to whole codes (2^bitDepth light codes):
             // narrow range only
};

// In which order the lights of the pixels are added up for the average.
enum class Summation {
    Fixed,  // over the light codes in ascending order, count x luminance: the same bits whatever the task
            // count, machine or order of the pixels
    Bands,  // as CHDR_Measurements: pixel after pixel within each of taskCount bands of the active pixels
            // (counted row after row), band sums added in band order; the last bits depend on taskCount
};

// How a percentage becomes a position among the sorted pixels.
enum class Ranks {
    Exact,      // nearest rank, ceil(P / 100 x N), with P taken to a millionth of a percent: 29 % of 100
                // pixels is the 29th
    Truncated,  // as CHDR_Measurements: P narrowed to single precision, trunc(P / 100 x N) - 1 in double
                // precision, at least 0: 29 % of 100 pixels is the 28th
};

struct HDRMETER_API Arithmetic {
    Coefficients coefficients = Coefficients::Exact;
    Summation summation = Summation::Fixed;
    Ranks ranks = Ranks::Exact;

    // All three as CHDR_Measurements computes them: with the same task count, a frame in its layout
    // (4:2:2 of even width, or 4:4:4) and the whole frame active, the six results are its bits.
    static Arithmetic classParity() { return {Coefficients::Listed, Summation::Bands, Ranks::Truncated}; }
    // "exact" or "class" when all three are one or the other, otherwise "mixed".
    std::string name() const;

    bool operator==(const Arithmetic& other) const {
        return coefficients == other.coefficients && summation == other.summation && ranks == other.ranks;
    }
    bool operator!=(const Arithmetic& other) const { return !(*this == other); }
};

struct AnalysisSettings {
    Transfer transfer = Transfer::Pq;
    Matrix matrix = Matrix::Bt2020;
    double thresholdNits = 203.0;  // aboveThresholdPercent counts luminances strictly above it; 0..10000,
                                   // compared in single precision as CHDR_Measurements does
    double top1Percent = 1.0;      // top1Nits: the luminance the brightest top1Percent percent reach, 0..100
    double top2Percent = 10.0;     // top2Nits: the same for a second percentage, 0..100
    double bottomPercent = 1.0;    // bottomNits: the luminance all but the darkest bottomPercent reach, 0..100
    // 0..4096. Summation::Fixed: the threads that share a frame, at most one per core, 0 meaning one per
    // core; no result depends on it. Summation::Bands: CHDR_Measurements' taskCount, the number of
    // bands whose sums make the average (0 means 1), which its last bits depend on; the bands are shared
    // by at most one thread per core, so 0 and 1 measure on one thread.
    int taskCount = 0;
    Arithmetic arithmetic;         // exact by default

    // Field by field; two analyzers of equal settings measure every frame alike.
    bool operator==(const AnalysisSettings& other) const {
        return transfer == other.transfer && matrix == other.matrix && thresholdNits == other.thresholdNits &&
               top1Percent == other.top1Percent && top2Percent == other.top2Percent &&
               bottomPercent == other.bottomPercent && taskCount == other.taskCount &&
               arithmetic == other.arithmetic;
    }
    bool operator!=(const AnalysisSettings& other) const { return !(*this == other); }
};

// What a FrameStatistics holds, as plain values: for keeping a frame's statistics apart from the analyzer
// that made them (a partial result in a file) and making them whole again with Analyzer::restore.
struct StatisticsParts {
    int bitDepth = 0;                           // 10, 12 or 16; 0 without pixels
    SampleRange range = SampleRange::Narrow;
    std::uint64_t pixelCount = 0;
    std::vector<std::uint64_t> lightHistogram;  // one entry a light code (see Coefficients), adding up to pixelCount
    std::vector<std::uint64_t> lumaHistogram;   // 2^bitDepth entries, adding up to pixelCount
    int largestChannelCode[3] = {-1, -1, -1};   // R, G, B light codes; -1 without pixels
    double bandLightSum = 0.0;                  // Summation::Bands' running sum
};

// The statistics of the measured pixels of one frame, or of several frames merged. All nit values are
// display light: PQ as coded, HLG on a 1000-nit display. Without pixels every value is 0.
class HDRMETER_API FrameStatistics {
public:
    FrameStatistics() noexcept;  // no pixels; merges with any statistics; allocates nothing
    FrameStatistics(const FrameStatistics&);
    FrameStatistics(FrameStatistics&&) noexcept;  // the source is left without pixels
    FrameStatistics& operator=(const FrameStatistics&);
    FrameStatistics& operator=(FrameStatistics&&) noexcept;
    ~FrameStatistics();

    std::uint64_t pixelCount() const;  // measured pixels
    int bitDepth() const;              // of the codes below; 0 without pixels

    // The six results of CHDR_Measurements, for the measured pixels.
    double averageLightNits() const;       // mean light: the frame's FALL
    double largestLightNits() const;       // largest light: the frame's CLL
    double aboveThresholdPercent() const;  // percent of pixels whose luminance is above the threshold
    double top1Nits() const;               // luminance the brightest top1Percent percent reach
    double top2Nits() const;               // luminance the brightest top2Percent percent reach
    double bottomNits() const;             // luminance all but the darkest bottomPercent percent reach

    double smallestLightNits() const;
    double largestRedNits() const;    // the largest light of each channel apart (HDR10+ MaxScl)
    double largestGreenNits() const;
    double largestBlueNits() const;

    // The distribution of light. lightHistogram()[c] counts the pixels whose light code is c (65536
    // entries with exact coefficients, 2^bitDepth with the listed ones; none without pixels); codeNits(c)
    // is that light code's light. The reference lasts as long as these statistics are neither changed nor
    // destroyed.
    const std::vector<std::uint64_t>& lightHistogram() const;
    // Pixels by luma code, 2^bitDepth entries (the luminances behind aboveThresholdPercent and the three
    // percentiles).
    const std::vector<std::uint64_t>& lumaHistogram() const;
    double codeNits(int lightCode) const;
    // Light at a percentile, 0..100 (99.98 included), as a nearest rank among the lights in ascending
    // order: 0 gives the smallest light, 100 the largest.
    double lightAtPercentile(double percent) const;
    // Percent of pixels whose light is at or below `nits`.
    double percentAtOrBelow(double nits) const;

    // Each pixel's light as a PQ signal (0..1): the per-frame values of Dolby Vision Level 1.
    double smallestPqLight() const;
    double meanPqLight() const;  // mean over the measured pixels
    double largestPqLight() const;

    // Adds another frame's (or part of a frame's) statistics: histograms add, extremes take the larger,
    // counts add. With Summation::Fixed, merging the two halves of a frame gives the frame's statistics
    // exactly; with Summation::Bands the band sums add. Both must come from analyzers with the same
    // settings (task count aside) and the same bit depth and range, else std::invalid_argument.
    void merge(const FrameStatistics& other);
    // Its parts, for Analyzer::restore.
    StatisticsParts parts() const;

private:
    friend struct detail::AnalyzerState;

    // Behind a pointer so that what is kept may grow without changing this class's size, and a move
    // costs one pointer; null without pixels.
    std::unique_ptr<detail::StatisticsData> data_;
};

// Measures frames. Builds its tables once per bit depth and range it meets, and keeps its worker
// threads for its lifetime.
class HDRMETER_API Analyzer {
public:
    // std::invalid_argument for a percentage outside 0..100, a threshold outside 0..10000 nits, NaN, or a
    // task count outside 0..4096.
    explicit Analyzer(const AnalysisSettings& settings = AnalysisSettings());
    ~Analyzer();
    Analyzer(Analyzer&&) noexcept;
    Analyzer& operator=(Analyzer&&) noexcept;
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;

    const AnalysisSettings& settings() const;

    // Measures the whole frame, or only its pixels inside `area`. std::invalid_argument for a frame that
    // breaks FrameView's rules, an area with a negative offset or none of the frame's pixels, or
    // Coefficients::Listed on full-range samples or R'G'B' frames (the listed sets are Y'CbCr's).
    FrameStatistics analyze(const FrameView& frame) const;
    FrameStatistics analyze(const FrameView& frame, const ActiveArea& area) const;
    // Statistics made whole from the parts of some this analyzer's settings measured: the same values as
    // the frame's own. std::invalid_argument for parts that cannot be such (sizes, sums, codes).
    FrameStatistics restore(const StatisticsParts& parts) const;

private:
    std::unique_ptr<detail::AnalyzerState> state_;
};

// Where the picture of a frame is. First the smallest rectangle outside of which every sample is black:
// a luma sample is black at or below narrow-range black plus 16 codes at 10 bits (64 at 12 bits, 1024
// at 16 bits; in full range at or below those tolerances above 0), a chroma sample within the same
// tolerance of neutral; an R'G'B' pixel is black when each of its channels is, as luma is. Then, on each
// edge, the lines from that rectangle inwards that are faint join the bars, up to 32 of them: the ringing
// and loop-filter smear of lossy coding. A line (a row across the frame, a column across the rows found)
// is faint when its samples' mean excess over the black tolerance, in luma and in chroma alike (in
// R'G'B', its pixels' largest channel's), is at most L and none exceeds it by more than 8 L, where L is
// barsTolerance (in codes at 10 bits, times 4 at 12 and 64 at 16) or a quarter of the mean of the
// brightest line among the next 32, whichever is smaller. Where the frame's outermost line is not black,
// nothing goes unless that line is faint with L a quarter of barsTolerance. 0 keeps the first rectangle.
// The result is widened to the chroma grid (even edges where chroma is halved) so that it never splits a
// chroma sample.
struct HDRMETER_API ContentBounds {
    int width = 0;            // size of the frames the bounds belong to
    int height = 0;
    bool anyContent = false;  // false: every sample seen is black (an all-black frame, or no frame yet)
    int left = 0;             // the rectangle [left, right) x [top, bottom) in luma pixels, when anyContent
    int top = 0;
    int right = 0;
    int bottom = 0;

    // The union with another frame's bounds; std::invalid_argument for another frame size.
    void merge(const ContentBounds& other);
    // The rectangle as offsets from each edge; the whole frame when nothing but black was seen.
    ActiveArea activeArea() const;
};

// findContent's barsTolerance: by default, and at most.
inline constexpr int kBarsToleranceDefault = 32;
inline constexpr int kBarsToleranceLargest = 128;

// Finds the content of one frame. std::invalid_argument for a frame that breaks FrameView's rules or a
// barsTolerance outside 0..kBarsToleranceLargest.
HDRMETER_API ContentBounds findContent(const FrameView& frame);  // with kBarsToleranceDefault
HDRMETER_API ContentBounds findContent(const FrameView& frame, int barsTolerance);

}  // namespace hdrmeter

#endif  // HDRMETER_ANALYSIS_H
