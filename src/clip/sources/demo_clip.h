#ifndef HDRMETER_CLIP_DEMO_CLIP_H
#define HDRMETER_CLIP_DEMO_CLIP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <hdrmeter/analysis.h>

#include "frame_source.h"

namespace hdrmeter::clip {

// A synthetic 10-bit 4:2:2 PQ BT.2020 clip, made frame by frame so that it needs no file: colour bars at
// the 203-nit reference white across the top quarter, a dim 5-nit field in the middle with a highlight
// that crosses it and swells to 4000 nits halfway through, and a ramp from black to 1000 nits along
// the bottom quarter.
//
// Frames are made one at a time into one buffer and handed out as FrameViews over it, as a decoder's
// frames are.
class DemoClip {
public:
    explicit DemoClip(int frameCount = 120, int width = 1920, int height = 1080);

    long long frameCount() const { return frameCount_; }
    // The next frame, valid until the next call; false after the last.
    bool next(FrameView& frame);

    // The brightness of the highlight in frame, 0 at the ends of the clip and 1 in its middle.
    double highlightSwell(int frame) const;

private:
    int width_;
    int height_;
    int frameCount_;
    int nextFrame_ = 0;
    std::vector<std::uint16_t> background_;  // luma, then Cb and Cr, rows without gaps
    std::vector<std::uint16_t> frame_;
};

// The demo clip as a run's source: tagged PQ and BT.2020, with nothing to fail and no file behind it.
class DemoSource : public FrameSource {
public:
    DemoSource();

    const SourceFrame* next() override;
    std::unique_ptr<FrameSource> reopen() override { return std::make_unique<DemoSource>(); }
    const SourceFacts& facts() const override { return facts_; }
    StaticMetadata staticMetadata() const override { return {}; }
    const std::string& failure() const override { return failure_; }
    bool stopped() const override { return false; }

private:
    DemoClip clip_;
    SourceFacts facts_;
    SourceFrame frame_;
    const std::string failure_;
};

}  // namespace hdrmeter::clip

#endif
