// Finds where the picture of a frame is. Bars (letterbox, pillarbox) are first the rows and columns at the
// frame's edges whose every sample is black within a tolerance that clean coding noise stays inside; then
// the faint lines that the ringing and loop filters of a lossy coder leave between them and the picture
// join them, within reach of the black and far dimmer than the picture beside them.
#include "hdrmeter/analysis.h"

#include "analysis/content_lines.h"
#include "analysis/frame_rules.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <type_traits>

namespace hdrmeter {

namespace {

using detail::BlackLevels;
using detail::blackLevelsOf;
using detail::FaintLines;
using detail::faintUnder;
using detail::kBarsReach;
using detail::kPictureFactor;
using detail::LineLevel;
using detail::withStep;


// Bars are read whole, so blocks of samples are tested without a branch per sample, which vectorises;
// the block that holds content is then searched sample by sample.
constexpr int kBlackBlock = 32;

// The first sample in [begin, end) that is not black, or end. Step is the words from a sample to the next:
// 1 in a plane, 3 or 4 in packed R'G'B' pixels.
template <int Step = 1>
inline int firstLumaContent(const uint16_t* row, int begin, int end, int highest) {
    int x = begin;
    for (; x + kBlackBlock <= end; x += kBlackBlock) {
        int lit = 0;
        for (int k = 0; k < kBlackBlock; ++k) lit |= row[(x + k) * Step] > highest;
        if (lit) break;
    }
    for (; x < end; ++x) {
        if (row[x * Step] > highest) return x;
    }
    return end;
}

inline int firstChromaContent(const uint16_t* row, int begin, int end, const BlackLevels& levels) {
    // Neutral is [chromaLowest, chromaHighest]; below it wraps round to a large unsigned distance.
    const unsigned span = static_cast<unsigned>(levels.chromaHighest - levels.chromaLowest);
    const auto tinted = [&](int x) { return static_cast<unsigned>(row[x] - levels.chromaLowest) > span; };
    int x = begin;
    for (; x + kBlackBlock <= end; x += kBlackBlock) {
        int lit = 0;
        for (int k = 0; k < kBlackBlock; ++k) lit |= tinted(x + k);
        if (lit) break;
    }
    for (; x < end; ++x) {
        if (tinted(x)) return x;
    }
    return end;
}

template <int Step = 1>
inline int lastLumaContent(const uint16_t* row, int begin, int end, int highest) {
    for (int x = end; x-- > begin;) {
        if (row[x * Step] > highest) return x;
    }
    return begin - 1;
}


// An R'G'B' pixel is black when each of its channels is, so its content is that of any channel: each
// plane is searched only up to what the planes before it found.
int firstRgbContent(const FrameView& frame, int y, int begin, int end, int highest) {
    return withStep(frame.steps[0], [&](auto step) {
        int found = end;
        for (int plane = 0; plane < 3; ++plane) {
            found = firstLumaContent<decltype(step)::value>(detail::rowOf(frame, plane, y), begin, found, highest);
        }
        return found;
    });
}

int lastRgbContent(const FrameView& frame, int y, int begin, int end, int highest) {
    return withStep(frame.steps[0], [&](auto step) {
        int found = begin - 1;
        for (int plane = 0; plane < 3; ++plane) {
            found = std::max(found, lastLumaContent<decltype(step)::value>(detail::rowOf(frame, plane, y), found + 1, end, highest));
        }
        return found;
    });
}

inline int lastChromaContent(const uint16_t* row, int begin, int end, const BlackLevels& levels) {
    for (int x = end; x-- > begin;) {
        if (row[x] < levels.chromaLowest || row[x] > levels.chromaHighest) return x;
    }
    return begin - 1;
}

class ContentScan {
public:
    explicit ContentScan(const FrameView& frame)
        : frame_(frame),
          levels_(blackLevelsOf(frame)),
          rgb_(frame.model == ColourModel::Rgb),
          shiftX_(rgb_ ? 0 : detail::chromaShiftX(frame.layout)),
          shiftY_(rgb_ ? 0 : detail::chromaShiftY(frame.layout)),
          chromaWidth_((frame.width + shiftX_) >> shiftX_) {}

    bool rowIsBlack(int y) const {
        if (rgb_) return firstRgbContent(frame_, y, 0, frame_.width, levels_.lumaHighest) == frame_.width;
        const uint16_t* luma = detail::rowOf(frame_, 0, y);
        if (firstLumaContent(luma, 0, frame_.width, levels_.lumaHighest) != frame_.width) return false;
        for (int plane = 1; plane < 3; ++plane) {
            const uint16_t* chroma = detail::rowOf(frame_, plane, y >> shiftY_);
            if (firstChromaContent(chroma, 0, chromaWidth_, levels_) != chromaWidth_) return false;
        }
        return true;
    }

    // The leftmost luma column of row y whose pixel is not black, looking only left of `limit`.
    int leftmostContent(int y, int limit) const {
        if (rgb_) return firstRgbContent(frame_, y, 0, limit, levels_.lumaHighest);
        int found = firstLumaContent(detail::rowOf(frame_, 0, y), 0, limit, levels_.lumaHighest);
        const int chromaLimit = (limit + (1 << shiftX_) - 1) >> shiftX_;
        for (int plane = 1; plane < 3; ++plane) {
            const int chroma = firstChromaContent(detail::rowOf(frame_, plane, y >> shiftY_), 0, chromaLimit, levels_);
            if (chroma != chromaLimit) found = std::min(found, chroma << shiftX_);
        }
        return found;
    }

    // One past the rightmost luma column of row y whose pixel is not black, looking only from `limit` on.
    int rightmostContentEnd(int y, int limit) const {
        if (rgb_) return lastRgbContent(frame_, y, limit, frame_.width, levels_.lumaHighest) + 1;
        int found = lastLumaContent(detail::rowOf(frame_, 0, y), limit, frame_.width, levels_.lumaHighest) + 1;
        const int chromaFirst = limit >> shiftX_;
        for (int plane = 1; plane < 3; ++plane) {
            const int chroma =
                lastChromaContent(detail::rowOf(frame_, plane, y >> shiftY_), chromaFirst, chromaWidth_, levels_);
            if (chroma >= chromaFirst) found = std::max(found, std::min(frame_.width, (chroma + 1) << shiftX_));
        }
        return found;
    }

    int alignmentX() const { return 1 << shiftX_; }
    int alignmentY() const { return 1 << shiftY_; }

private:
    const FrameView& frame_;
    BlackLevels levels_;
    bool rgb_;
    int shiftX_;
    int shiftY_;
    int chromaWidth_;
};


// Walks from `edge` (the first line that is not black) by `step` towards `limit` and returns the first
// line of the picture. The lines seen are those within reach, up to the first that is not faint under
// the tolerance itself; the picture begins at the first of them that is not faint under the tolerance or
// a quarter of the brightest one's mean, whichever is smaller. `barred` says whether the frame has a bar
// here: without one (the line at the frame's edge is not black), that line must be nearly black, faint
// under a quarter of the tolerance, for anything to go, so that a dark picture filling the frame stays.
template <typename LevelOf>
int pictureEdge(const FaintLines& lines, int edge, int step, int limit, bool barred, LevelOf levelOf) {
    const double tolerance = lines.tolerance();
    if (tolerance == 0.0) return edge;
    LineLevel seen[kBarsReach + 1];
    int count = 0;
    double brightest = 0.0;
    for (int line = edge; line != limit && count <= kBarsReach; line += step) {
        seen[count] = levelOf(line);
        brightest = std::max(brightest, seen[count].mean());
        if (!faintUnder(seen[count++], tolerance)) break;
    }
    if (!barred && !faintUnder(seen[0], tolerance / kPictureFactor)) return edge;
    const double limitMean = std::min(tolerance, brightest / kPictureFactor);
    for (int k = 0; k < count; ++k) {
        if (!faintUnder(seen[k], limitMean)) return edge + k * step;
    }
    return edge;
}

// Columns are read in groups that share cache lines.
constexpr int kColumnGroup = 8;

int columnPictureEdge(const FaintLines& lines, int edge, int step, int limit, bool barred, int top, int bottom) {
    // Without a bar the side stays unless its column is nearly black, which pictureEdge would find last.
    if (lines.tolerance() == 0.0 || (!barred && !lines.columnFaintUnder(edge, top, bottom, lines.tolerance() / kPictureFactor)))
        return edge;
    LineLevel group[kColumnGroup];
    int groupFirst = 0, groupCount = 0;
    return pictureEdge(lines, edge, step, limit, barred, [&](int x) {
        if (x < groupFirst || x >= groupFirst + groupCount) {
            // The group holds x and the columns after it in the walk's direction, up to the limit.
            groupCount = std::min(kColumnGroup, std::abs(limit - x));
            groupFirst = step > 0 ? x : x - groupCount + 1;
            lines.columns(groupFirst, groupCount, top, bottom, group);
        }
        return group[x - groupFirst];
    });
}

int alignDown(int value, int alignment) { return value / alignment * alignment; }
int alignUp(int value, int alignment, int limit) {
    return std::min(limit, (value + alignment - 1) / alignment * alignment);
}

}  // namespace

ContentBounds findContent(const FrameView& frame) { return findContent(frame, kBarsToleranceDefault); }

ContentBounds findContent(const FrameView& frame, int barsTolerance) {
    detail::validateFrame(frame);
    if (barsTolerance < 0 || barsTolerance > kBarsToleranceLargest) {
        throw std::invalid_argument("bars tolerance " + std::to_string(barsTolerance) + " is outside 0.." +
                                    std::to_string(kBarsToleranceLargest));
    }
    ContentBounds bounds;
    bounds.width = frame.width;
    bounds.height = frame.height;
    const ContentScan scan(frame);
    const FaintLines faint(frame, barsTolerance);
    int top = 0;
    while (top < frame.height && scan.rowIsBlack(top)) ++top;
    if (top == frame.height) return bounds;
    int bottom = frame.height;
    while (scan.rowIsBlack(bottom - 1)) --bottom;
    const auto rowLevel = [&](int y) { return faint.row(y); };
    top = pictureEdge(faint, top, 1, bottom, top > 0, rowLevel);
    bottom = pictureEdge(faint, bottom - 1, -1, top - 1, bottom < frame.height, rowLevel) + 1;

    // Each row only needs looking at up to the edge found so far, so content touching the frame's sides
    // ends the search of a row at its first sample.
    int left = frame.width;
    int right = 0;
    for (int y = top; y < bottom; ++y) {
        if (left > 0) left = scan.leftmostContent(y, left);
        if (right < frame.width) right = std::max(right, scan.rightmostContentEnd(y, right));
    }
    left = columnPictureEdge(faint, left, 1, right, left > 0, top, bottom);
    right = columnPictureEdge(faint, right - 1, -1, left - 1, right < frame.width, top, bottom) + 1;
    bounds.anyContent = true;
    bounds.left = alignDown(left, scan.alignmentX());
    bounds.top = alignDown(top, scan.alignmentY());
    bounds.right = alignUp(right, scan.alignmentX(), frame.width);
    bounds.bottom = alignUp(bottom, scan.alignmentY(), frame.height);
    return bounds;
}

void ContentBounds::merge(const ContentBounds& other) {
    if (other.width == 0 && other.height == 0) return;
    if (width == 0 && height == 0) {
        *this = other;
        return;
    }
    if (other.width != width || other.height != height) {
        throw std::invalid_argument("content bounds of " + std::to_string(other.width) + "x" +
                                    std::to_string(other.height) + " frames do not merge with those of " +
                                    std::to_string(width) + "x" + std::to_string(height) + " frames");
    }
    if (!other.anyContent) return;
    if (!anyContent) {
        *this = other;
        return;
    }
    left = std::min(left, other.left);
    top = std::min(top, other.top);
    right = std::max(right, other.right);
    bottom = std::max(bottom, other.bottom);
}

ActiveArea ContentBounds::activeArea() const {
    if (!anyContent) return ActiveArea{};
    return ActiveArea{left, top, width - right, height - bottom};
}

}  // namespace hdrmeter
