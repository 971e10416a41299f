#include "steady_area.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace hdrmeter::clip {

void SteadyArea::add(const ContentBounds& content, long long frame)
{
    if (width_ == 0 && height_ == 0) {
        width_ = content.width;
        height_ = content.height;
    } else if (content.width != width_ || content.height != height_) {
        throw std::invalid_argument("content bounds of " + std::to_string(content.width) + "x" +
                                    std::to_string(content.height) + " frames do not join those of " +
                                    std::to_string(width_) + "x" + std::to_string(height_) + " frames");
    }
    if (!content.anyContent)
        return;
    const Edges edges = {-content.left, -content.top, content.right, content.bottom};
    // The first frames to reach an edge keep it: a later one only takes an edge it moves outwards.
    for (std::size_t side = 0; side < 4; ++side)
        if (contentFrames_ == 0 || edges[side] > union_[side]) {
            union_[side] = edges[side];
            unionFrames_[side] = frame;
        }
    window_.push_back(edges);
    windowFrames_.push_back(frame);
    if (window_.size() > static_cast<std::size_t>(kSteadyFrames)) {
        window_.pop_front();
        windowFrames_.pop_front();
    }
    if (++contentFrames_ < kSteadyFrames)
        return;
    for (std::size_t side = 0; side < 4; ++side) {
        int shared = window_.front()[side];
        for (const Edges& each : window_)
            shared = std::min(shared, each[side]);
        if (contentFrames_ == kSteadyFrames || shared > steady_[side]) {
            steady_[side] = shared;
            steadyFrames_[side] = windowFrames_.front();
        }
    }
}

void SteadyArea::current(Edges& edges, std::array<long long, 4>& frames) const
{
    if (contentFrames_ >= kSteadyFrames) {
        edges = steady_;
        frames = steadyFrames_;
    } else {
        for (std::size_t side = 0; side < 4; ++side) {
            edges[side] = window_.front()[side];
            for (const Edges& each : window_)
                edges[side] = std::min(edges[side], each[side]);
            frames[side] = windowFrames_.front();
        }
    }
    for (std::size_t low = 0; low < 2; ++low)
        if (-edges[low] >= edges[low + 2])
            for (std::size_t side : {low, low + 2}) {
                edges[side] = union_[side];
                frames[side] = unionFrames_[side];
            }
}

ContentBounds SteadyArea::bounds() const
{
    ContentBounds bounds;
    bounds.width = width_;
    bounds.height = height_;
    if (contentFrames_ == 0)
        return bounds;
    Edges edges;
    std::array<long long, 4> frames;
    current(edges, frames);
    bounds.anyContent = true;
    bounds.left = -edges[0];
    bounds.top = -edges[1];
    bounds.right = edges[2];
    bounds.bottom = edges[3];
    return bounds;
}

std::optional<std::array<long long, 4>> SteadyArea::edgeFrames() const
{
    if (contentFrames_ == 0)
        return std::nullopt;
    Edges edges;
    std::array<long long, 4> frames;
    current(edges, frames);
    return frames;
}

}  // namespace hdrmeter::clip
