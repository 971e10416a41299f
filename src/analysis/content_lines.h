// Internal to the analyzer: how far the lines of a frame stand above black, for finding its picture
// (content_bounds.cpp). Kept in a header so that the tests can hold the column reader that stops early
// to the one that reads every row.
#ifndef HDRMETER_ANALYSIS_CONTENT_LINES_H
#define HDRMETER_ANALYSIS_CONTENT_LINES_H

#include "analysis/frame_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace hdrmeter {
namespace detail {

struct BlackLevels {
    int lumaHighest;    // a luma code at or below this is black
    int chromaLowest;   // a chroma code within [chromaLowest, chromaHighest] is neutral
    int chromaHighest;
    int neutral;
    int chromaTolerance;
};

inline BlackLevels blackLevelsOf(const FrameView& frame) {
    // 16 codes at 10 bits: about 0.007 nit in PQ, far below anything a picture shows at its edges, and far
    // above the noise an encoder leaves in flat black.
    const int unit = 1 << (frame.bitDepth - 10);
    const int tolerance = 16 * unit;
    const bool narrow = frame.range == SampleRange::Narrow;
    const int black = narrow ? 64 * unit : 0;
    const int neutral = narrow ? 512 * unit : 1 << (frame.bitDepth - 1);
    return {black + tolerance, neutral - tolerance, neutral + tolerance, neutral, tolerance};
}

// Calls f with the step of an R'G'B' frame's samples as a compile-time constant, so that planar rows
// keep their vectorised scan.
template <typename F>
auto withStep(int step, F f) {
    if (step == 3) return f(std::integral_constant<int, 3>());
    if (step == 4) return f(std::integral_constant<int, 4>());
    return f(std::integral_constant<int, 1>());
}

// How far a line stands above black: its samples' excess over the black tolerance (luma above it,
// chroma away from neutral by more than it), summed and at its largest.
struct LineLevel {
    long long lumaExcess = 0;
    long long lumaSamples = 0;
    int lumaPeak = 0;
    long long chromaExcess = 0;
    long long chromaSamples = 0;
    int chromaPeak = 0;

    void addLuma(int code, int highest) {
        const int excess = std::max(0, code - highest);
        lumaExcess += excess;
        lumaPeak = std::max(lumaPeak, excess);
        ++lumaSamples;
    }
    void addChroma(int code, const BlackLevels& levels) {
        const int excess = std::max(0, std::abs(code - levels.neutral) - levels.chromaTolerance);
        chromaExcess += excess;
        chromaPeak = std::max(chromaPeak, excess);
        ++chromaSamples;
    }
    double lumaMean() const { return lumaSamples ? static_cast<double>(lumaExcess) / lumaSamples : 0.0; }
    double chromaMean() const { return chromaSamples ? static_cast<double>(chromaExcess) / chromaSamples : 0.0; }
    double mean() const { return std::max(lumaMean(), chromaMean()); }
    int peak() const { return std::max(lumaPeak, chromaPeak); }
};

// Ringing stays inside the transform block that straddles the picture's edge, 32 lines at most in HEVC;
// in x265 and SVT-AV1 encodes it reached 15 lines. No more lines than this are ever taken from a picture.
constexpr int kBarsReach = 32;
// A faint line's brightest sample stands at most this many times its limit above the tolerance: ringing
// peaks a few times above its mean, while a star or a lit window in a dark line stands far higher.
constexpr int kPeakFactor = 8;
// A faint line is at most this many times darker than the brightest line within reach, so that in a
// frame fading in, whose picture is itself dim, only what is far dimmer than the picture goes.
constexpr int kPictureFactor = 4;

class FaintLines {
public:
    FaintLines(const FrameView& frame, int barsTolerance)
        : frame_(frame),
          levels_(blackLevelsOf(frame)),
          rgb_(frame.model == ColourModel::Rgb),
          shiftX_(rgb_ ? 0 : detail::chromaShiftX(frame.layout)),
          shiftY_(rgb_ ? 0 : detail::chromaShiftY(frame.layout)),
          tolerance_(static_cast<double>(barsTolerance << (frame.bitDepth - 10))) {}

    double tolerance() const { return tolerance_; }

    // A row's samples are added up in 32 bits, which vectorises: 16384 luma samples of at most 65535
    // excess each stay below 2^30, two chroma rows of 16384 samples of at most 32768 below 2^31.
    LineLevel row(int y) const {
        if (rgb_) return rgbRow(y);
        LineLevel line;
        const uint16_t* luma = detail::rowOf(frame_, 0, y);
        const int highest = levels_.lumaHighest;
        uint32_t sum = 0;
        int peak = 0;
        for (int x = 0; x < frame_.width; ++x) {
            const int excess = std::max(0, luma[x] - highest);
            sum += static_cast<uint32_t>(excess);
            peak = std::max(peak, excess);
        }
        line.lumaExcess = sum, line.lumaPeak = peak, line.lumaSamples = frame_.width;
        const int chromaWidth = (frame_.width + (1 << shiftX_) - 1) >> shiftX_;
        const int neutral = levels_.neutral, tolerance = levels_.chromaTolerance;
        sum = 0, peak = 0;
        for (int plane = 1; plane < 3; ++plane) {
            const uint16_t* chroma = detail::rowOf(frame_, plane, y >> shiftY_);
            for (int x = 0; x < chromaWidth; ++x) {
                const int excess = std::max(0, std::abs(chroma[x] - neutral) - tolerance);
                sum += static_cast<uint32_t>(excess);
                peak = std::max(peak, excess);
            }
        }
        line.chromaExcess = sum, line.chromaPeak = peak, line.chromaSamples = 2LL * chromaWidth;
        return line;
    }

    // The levels of columns [first, first + count) over rows [top, bottom), read row by row so that each
    // row's samples of all the columns come from the same cache lines.
    void columns(int first, int count, int top, int bottom, LineLevel* lines) const {
        for (int k = 0; k < count; ++k) lines[k] = LineLevel();
        if (rgb_) {
            const int step = frame_.steps[0];
            for (int y = top; y < bottom; ++y) {
                const uint16_t* planes[3];
                for (int plane = 0; plane < 3; ++plane) planes[plane] = detail::rowOf(frame_, plane, y);
                for (int k = 0; k < count; ++k) {
                    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(first + k) * step;
                    lines[k].addLuma(std::max({planes[0][at], planes[1][at], planes[2][at]}), levels_.lumaHighest);
                }
            }
            return;
        }
        for (int y = top; y < bottom; ++y) {
            const uint16_t* luma = detail::rowOf(frame_, 0, y) + first;
            for (int k = 0; k < count; ++k) lines[k].addLuma(luma[k], levels_.lumaHighest);
        }
        const int chromaTop = top >> shiftY_, chromaBottom = ((bottom - 1) >> shiftY_) + 1;
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = chromaTop; y < chromaBottom; ++y) {
                const uint16_t* chroma = detail::rowOf(frame_, plane, y);
                for (int k = 0; k < count; ++k) lines[k].addChroma(chroma[(first + k) >> shiftX_], levels_);
            }
        }
    }

    // Whether column x over rows [top, bottom) is faint under `limit`, as columns() would find it, read
    // only as far as it takes to know: the sums only grow, so once one of them exceeds what the limit
    // allows over the whole column, or a sample stands too high, the column is not faint. A picture that
    // reaches the frame's side shows that within a few rows, where reading the whole column takes a cache
    // line a row.
    bool columnFaintUnder(int x, int top, int bottom, double limit) const {
        constexpr int kRowsBetweenChecks = 16;
        const double peakLimit = limit * kPeakFactor;
        const auto exceeds = [&](long long excess, long long samples, int peak) {
            return static_cast<double>(excess) / static_cast<double>(samples) > limit || peak > peakLimit;
        };
        const long long lumaSamples = bottom - top;
        long long excess = 0;
        int peak = 0;
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(x) * (rgb_ ? frame_.steps[0] : 1);
        for (int y = top; y < bottom; ++y) {
            int code = detail::rowOf(frame_, 0, y)[at];
            if (rgb_) code = std::max({code, int(detail::rowOf(frame_, 1, y)[at]), int(detail::rowOf(frame_, 2, y)[at])});
            const int sampleExcess = std::max(0, code - levels_.lumaHighest);
            excess += sampleExcess;
            peak = std::max(peak, sampleExcess);
            if ((y - top) % kRowsBetweenChecks == kRowsBetweenChecks - 1 && exceeds(excess, lumaSamples, peak))
                return false;
        }
        if (exceeds(excess, lumaSamples, peak)) return false;
        if (rgb_) return true;
        const int chromaTop = top >> shiftY_, chromaBottom = ((bottom - 1) >> shiftY_) + 1;
        const long long chromaSamples = 2LL * (chromaBottom - chromaTop);
        excess = 0, peak = 0;
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = chromaTop; y < chromaBottom; ++y) {
                const int sampleExcess = std::max(
                    0, std::abs(detail::rowOf(frame_, plane, y)[x >> shiftX_] - levels_.neutral) - levels_.chromaTolerance);
                excess += sampleExcess;
                peak = std::max(peak, sampleExcess);
                if ((y - chromaTop) % kRowsBetweenChecks == kRowsBetweenChecks - 1 &&
                    exceeds(excess, chromaSamples, peak))
                    return false;
            }
        }
        return !exceeds(excess, chromaSamples, peak);
    }

private:
    // An R'G'B' line stands above black by its pixels' largest channel: each channel is a signal of its
    // own, with no chroma to weigh against luma.
    LineLevel rgbRow(int y) const {
        return withStep(frame_.steps[0], [&](auto step) {
            const uint16_t* red = detail::rowOf(frame_, 0, y);
            const uint16_t* green = detail::rowOf(frame_, 1, y);
            const uint16_t* blue = detail::rowOf(frame_, 2, y);
            const int highest = levels_.lumaHighest;
            uint32_t sum = 0;
            int peak = 0;
            for (int x = 0; x < frame_.width; ++x) {
                const int largest = std::max({red[x * step()], green[x * step()], blue[x * step()]});
                const int excess = std::max(0, largest - highest);
                sum += static_cast<uint32_t>(excess);
                peak = std::max(peak, excess);
            }
            LineLevel line;
            line.lumaExcess = sum, line.lumaPeak = peak, line.lumaSamples = frame_.width;
            return line;
        });
    }

    const FrameView& frame_;
    BlackLevels levels_;
    bool rgb_;
    int shiftX_;
    int shiftY_;
    double tolerance_;
};

inline bool faintUnder(const LineLevel& line, double limit) {
    return line.mean() <= limit && line.peak() <= limit * kPeakFactor;
}

}  // namespace detail
}  // namespace hdrmeter

#endif
