#ifndef HDRMETER_CLIP_FRAME_MEASUREMENT_H
#define HDRMETER_CLIP_FRAME_MEASUREMENT_H

#include <optional>

namespace hdrmeter::clip {

// The luma code checks of one frame, taken before the engine clamps the codes.
struct LumaChecks {
    int minCode = 0;
    int maxCode = 0;
    long long lowCount = 0;   // samples below narrow-range black (under 64 at 10 bits)
    long long highCount = 0;  // samples above narrow-range white (over 940 at 10 bits)
};

// Everything measured on one frame. Frames are numbered from 0 in stream order.
struct FrameMeasurement {
    long long frame = 0;
    double averageLightNits = 0.0;
    double largestLightNits = 0.0;
    double aboveThresholdPercent = 0.0;
    double top1Nits = 0.0;
    double top2Nits = 0.0;
    double bottomNits = 0.0;
    std::optional<LumaChecks> lumaChecks;
    long long scene = 0;  // the scene the frame belongs to, numbered from 0; known once its cut is decided

};

}  // namespace hdrmeter::clip

#endif
