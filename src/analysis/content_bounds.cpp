// Finds where the picture of a frame is: bars (letterbox, pillarbox) are rows and columns whose every
// sample is black within a tolerance that coding noise stays inside.
#include "hdrmeter/analysis.h"

#include "analysis/frame_rules.h"

#include <algorithm>
#include <stdexcept>

namespace hdrmeter {

namespace {

struct BlackLevels {
    int lumaHighest;    // a luma code at or below this is black
    int chromaLowest;   // a chroma code within [chromaLowest, chromaHighest] is neutral
    int chromaHighest;
};

BlackLevels blackLevelsOf(const FrameView& frame) {
    // 16 codes at 10 bits: about 0.007 nit in PQ, far below anything a picture shows at its edges, and far
    // above the noise an encoder leaves in flat black.
    const int unit = 1 << (frame.bitDepth - 10);
    const int tolerance = 16 * unit;
    const bool narrow = frame.range == SampleRange::Narrow;
    const int black = narrow ? 64 * unit : 0;
    const int neutral = narrow ? 512 * unit : 1 << (frame.bitDepth - 1);
    return {black + tolerance, neutral - tolerance, neutral + tolerance};
}

// The first sample in [begin, end) that is not black, or end.
inline int firstLumaContent(const uint16_t* row, int begin, int end, int highest) {
    for (int x = begin; x < end; ++x) {
        if (row[x] > highest) return x;
    }
    return end;
}

inline int firstChromaContent(const uint16_t* row, int begin, int end, const BlackLevels& levels) {
    for (int x = begin; x < end; ++x) {
        if (row[x] < levels.chromaLowest || row[x] > levels.chromaHighest) return x;
    }
    return end;
}

inline int lastLumaContent(const uint16_t* row, int begin, int end, int highest) {
    for (int x = end; x-- > begin;) {
        if (row[x] > highest) return x;
    }
    return begin - 1;
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
          shiftX_(detail::chromaShiftX(frame.layout)),
          shiftY_(detail::chromaShiftY(frame.layout)),
          chromaWidth_((frame.width + shiftX_) >> shiftX_) {}

    bool rowIsBlack(int y) const {
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
    int shiftX_;
    int shiftY_;
    int chromaWidth_;
};

int alignDown(int value, int alignment) { return value / alignment * alignment; }
int alignUp(int value, int alignment, int limit) {
    return std::min(limit, (value + alignment - 1) / alignment * alignment);
}

}  // namespace

ContentBounds findContent(const FrameView& frame) {
    detail::validateFrame(frame);
    ContentBounds bounds;
    bounds.width = frame.width;
    bounds.height = frame.height;
    const ContentScan scan(frame);
    int top = 0;
    while (top < frame.height && scan.rowIsBlack(top)) ++top;
    if (top == frame.height) return bounds;
    int bottom = frame.height;
    while (scan.rowIsBlack(bottom - 1)) --bottom;

    // Each row only needs looking at up to the edge found so far, so content touching the frame's sides
    // ends the search of a row at its first sample.
    int left = frame.width;
    int right = 0;
    for (int y = top; y < bottom; ++y) {
        if (left > 0) left = scan.leftmostContent(y, left);
        if (right < frame.width) right = std::max(right, scan.rightmostContentEnd(y, right));
    }
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
