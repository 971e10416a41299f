// Internal to the analyzer: the rules a FrameView must keep, and how its rows are found.
#ifndef HDRMETER_ANALYSIS_FRAME_RULES_H
#define HDRMETER_ANALYSIS_FRAME_RULES_H

#include "hdrmeter/analysis.h"

#include <cstddef>
#include <cstdint>

namespace hdrmeter {
namespace detail {

// Throws std::invalid_argument naming the first rule the frame breaks.
void validateFrame(const FrameView& frame);

inline int chromaShiftX(ChromaLayout layout) { return layout == ChromaLayout::Yuv444 ? 0 : 1; }
inline int chromaShiftY(ChromaLayout layout) { return layout == ChromaLayout::Yuv420 ? 1 : 0; }

inline const uint16_t* rowOf(const FrameView& frame, int plane, int row) {
    return reinterpret_cast<const uint16_t*>(reinterpret_cast<const char*>(frame.planes[plane]) +
                                             static_cast<std::ptrdiff_t>(row) * frame.strides[plane]);
}

}  // namespace detail
}  // namespace hdrmeter

#endif
