#ifndef HDRMETER_TOOL_DEMO_CLIP_H
#define HDRMETER_TOOL_DEMO_CLIP_H

#include "frame_source.h"

namespace hdrmeter::tool {

// A synthetic 10-bit 4:2:2 PQ BT.2020 clip, made frame by frame so that it needs no file: colour bars at
// the 203-nit reference white across the top quarter, a dim 5-nit field in the middle with a highlight
// that crosses it and swells to 4000 nits halfway through, and a ramp from black to 1000 nits along
// the bottom quarter.
class DemoClip : public FrameSource {
public:
    explicit DemoClip(int frameCount = 120, int width = 1920, int height = 1080);

    const VideoFormat& format() const override { return format_; }
    std::optional<long long> framesExpected() const override { return frameCount_; }
    std::string name() const override { return "demo clip"; }
    ReadResult readFrame(std::vector<std::uint16_t>& planes) override;

    // The brightness of the highlight in frame, 0 at the ends of the clip and 1 in its middle.
    double highlightSwell(int frame) const;

private:
    VideoFormat format_;
    int frameCount_;
    int nextFrame_ = 0;
    std::vector<std::uint16_t> background_;
};

}  // namespace hdrmeter::tool

#endif
