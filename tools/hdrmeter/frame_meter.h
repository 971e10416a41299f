#ifndef HDRMETER_TOOL_FRAME_METER_H
#define HDRMETER_TOOL_FRAME_METER_H

#include <hdrmeter.h>

#include <cstddef>
#include <vector>

#include "engine_layout.h"
#include "frame_measurement.h"
#include "frame_pipeline.h"
#include "measure_settings.h"
#include "video_format.h"

namespace hdrmeter::tool {

// Measures frames of one format with the library, as any host would: one configured measurement
// object for the whole stream, and the plane checks on the luma plane before the engine clamps it.
class FrameMeter {
public:
    // Throws InputError when the engine cannot be configured for the format.
    FrameMeter(const VideoFormat& format, const MeasureSettings& settings);

    // Measures the frame in place: its codes are left clamped to the narrow range. A mapped frame is
    // populated first, and marked when clamping copied many of its pages (see FramePipeline).
    FrameMeasurement measure(EngineFrame& frame);

private:
    VideoFormat format_;
    MeasureSettings settings_;
    EngineLayout layout_;
    std::vector<std::size_t> pagesCopiedLastFrame_;  // frame byte offsets, see MappedFrame::populate
    CHDR_Measurements engine_;
};

}  // namespace hdrmeter::tool

#endif
