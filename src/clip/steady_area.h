// The picture of a run of frames as the automatic area takes it: lines that only a frame or two reach
// (the ringing a lossy coder leaves beside the picture in one frame) are not the picture's.
//
// On each side, a line (a row or a column) is the picture's when kSteadyFrames frames with content in a
// row (frames with none, all black, are passed over) each reach out to it or past it; while fewer frames
// with content were seen, when all of them do. Should the two sides of an axis cross (frames whose
// pictures share no line, such as a small object crossing the frame), that axis is the union of every
// frame's. Once kSteadyFrames frames with content were seen, frames added can only widen the picture (but
// where a crossed axis, the union, becomes steady), and a part of a run of frames has at most the whole
// run's, unless it holds fewer frames with content or an axis crosses: so a merge finds the clip's area
// from every part's frames, not from the parts' areas.
#ifndef HDRMETER_CLIP_STEADY_AREA_H
#define HDRMETER_CLIP_STEADY_AREA_H

#include <array>
#include <deque>
#include <optional>

#include <hdrmeter/analysis.h>

namespace hdrmeter::clip {

constexpr int kSteadyFrames = 3;

class SteadyArea {
public:
    // Adds the content of the next frame, numbered `frame`; std::invalid_argument for another frame size.
    void add(const ContentBounds& content, long long frame);
    // The picture so far; anyContent false (the whole frame) while no frame had content.
    ContentBounds bounds() const;
    // For each edge of bounds() (left, top, right, bottom), the first frame of the first kSteadyFrames
    // frames with content in a row that reach it (of the first frame that does, on a crossed axis); unset
    // while no frame had content.
    std::optional<std::array<long long, 4>> edgeFrames() const;

private:
    // Left, top, right, bottom, the first two negated: on every side a larger value lies further out.
    using Edges = std::array<int, 4>;
    void current(Edges& edges, std::array<long long, 4>& frames) const;

    int width_ = 0;
    int height_ = 0;
    std::deque<Edges> window_;            // the last kSteadyFrames frames with content ...
    std::deque<long long> windowFrames_;  // ... and their numbers
    long long contentFrames_ = 0;
    Edges steady_{};  // per side, the furthest of the windows' innermost edges ...
    std::array<long long, 4> steadyFrames_{};  // ... and the first frame of the first window at it
    Edges union_{};   // per side, the furthest edge of any frame ...
    std::array<long long, 4> unionFrames_{};  // ... and the first frame at it
};

}  // namespace hdrmeter::clip

#endif
