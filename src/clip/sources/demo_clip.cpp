#include "demo_clip.h"

#include <algorithm>
#include <cmath>
#include <utility>

extern "C" {
#include <libavutil/pixfmt.h>
}


namespace hdrmeter::clip {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kReferenceWhiteNits = 203.0;
constexpr double kFieldNits = 5.0;
constexpr double kRampTopNits = 1000.0;
constexpr double kHighlightPeakNits = 4000.0;
constexpr double kHighlightFloorNits = 100.0;

struct YCbCrCodes {
    std::uint16_t y;
    std::uint16_t cb;
    std::uint16_t cr;
};

std::uint16_t lumaCode(double signal)
{
    return static_cast<std::uint16_t>(std::lround(64.0 + 876.0 * signal));
}

std::uint16_t chromaCode(double difference)
{
    return static_cast<std::uint16_t>(std::lround(512.0 + 896.0 * difference));
}

// Narrow-range 10-bit codes of a non-linear BT.2020 R'G'B' colour (non-constant luminance).
YCbCrCodes bt2020Codes(double red, double green, double blue)
{
    const double luma = 0.2627 * red + 0.6780 * green + 0.0593 * blue;
    return {lumaCode(luma), chromaCode((blue - luma) / 1.8814), chromaCode((red - luma) / 1.4746)};
}

}  // namespace

DemoClip::DemoClip(int frameCount, int width, int height) : width_(width), height_(height), frameCount_(frameCount)
{
    const int chromaWidth = (width + 1) / 2;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    const std::size_t chromaSamples = static_cast<std::size_t>(chromaWidth) * height;
    background_.assign(pixels + 2 * chromaSamples, 0);
    std::uint16_t* luma = background_.data();
    std::uint16_t* cb = luma + pixels;
    std::uint16_t* cr = cb + chromaSamples;

    const double white = pqSignalOfNits(kReferenceWhiteNits);
    const YCbCrCodes bars[7] = {
        bt2020Codes(white, white, white), bt2020Codes(white, white, 0), bt2020Codes(0, white, white),
        bt2020Codes(0, white, 0),         bt2020Codes(white, 0, white), bt2020Codes(white, 0, 0),
        bt2020Codes(0, 0, white),
    };
    const YCbCrCodes field = bt2020Codes(pqSignalOfNits(kFieldNits), pqSignalOfNits(kFieldNits),
                                         pqSignalOfNits(kFieldNits));
    const double rampTop = pqSignalOfNits(kRampTopNits);
    const int barsEnd = height / 4;
    const int rampStart = height - height / 4;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            YCbCrCodes codes = field;
            if (row < barsEnd)
                codes = bars[std::min(6, x * 7 / width)];
            else if (row >= rampStart)
                codes = {lumaCode(rampTop * x / std::max(1, width - 1)), 512, 512};
            luma[static_cast<std::size_t>(row) * width + x] = codes.y;
            if (x % 2 == 0) {
                cb[static_cast<std::size_t>(row) * chromaWidth + x / 2] = codes.cb;
                cr[static_cast<std::size_t>(row) * chromaWidth + x / 2] = codes.cr;
            }
        }
    }
}

double DemoClip::highlightSwell(int frame) const
{
    const double phase = std::sin(kPi * frame / frameCount_);
    return phase * phase;
}

bool DemoClip::next(FrameView& frame)
{
    if (nextFrame_ >= frameCount_)
        return false;
    std::vector<std::uint16_t>& planes = frame_;
    planes = background_;
    const int width = width_;
    const int height = height_;
    const double swell = highlightSwell(nextFrame_);
    const double peakNits = kHighlightFloorNits + (kHighlightPeakNits - kHighlightFloorNits) * swell;
    const double peakCode = lumaCode(pqSignalOfNits(peakNits));
    const double fieldCode = lumaCode(pqSignalOfNits(kFieldNits));
    const double radius = height * (0.04 + 0.06 * swell);
    const double edge = height * 0.03;
    const double centreX = width * (0.1 + 0.8 * nextFrame_ / std::max(1, frameCount_ - 1));
    const double centreY = height * 0.5;
    const int top = std::max(height / 4, static_cast<int>(centreY - radius - edge));
    const int bottom = std::min(height - height / 4, static_cast<int>(centreY + radius + edge) + 1);
    const int left = std::max(0, static_cast<int>(centreX - radius - edge));
    const int right = std::min(width, static_cast<int>(centreX + radius + edge) + 1);
    const int chromaWidth = (width + 1) / 2;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    const std::size_t chromaSamples = static_cast<std::size_t>(chromaWidth) * height;
    for (int row = top; row < bottom; ++row) {
        for (int x = left; x < right; ++x) {
            const double distance = std::hypot(x - centreX, row - centreY);
            if (distance >= radius + edge)
                continue;
            // The soft edge falls off evenly in PQ code, which looks even to the eye.
            const double weight = distance <= radius ? 1.0 : 1.0 - (distance - radius) / edge;
            planes[static_cast<std::size_t>(row) * width + x] =
                static_cast<std::uint16_t>(std::lround(fieldCode + (peakCode - fieldCode) * weight));
            if (x % 2 == 0) {
                const std::size_t chroma = static_cast<std::size_t>(row) * chromaWidth + x / 2;
                planes[pixels + chroma] = 512;
                planes[pixels + chromaSamples + chroma] = 512;
            }
        }
    }
    ++nextFrame_;
    frame = FrameView{};
    frame.planes[0] = planes.data();
    frame.planes[1] = planes.data() + pixels;
    frame.planes[2] = planes.data() + pixels + chromaSamples;
    frame.strides[0] = static_cast<std::ptrdiff_t>(width) * 2;
    frame.strides[1] = frame.strides[2] = static_cast<std::ptrdiff_t>(chromaWidth) * 2;
    frame.width = width;
    frame.height = height;
    frame.layout = ChromaLayout::Yuv422;
    frame.bitDepth = 10;
    frame.range = SampleRange::Narrow;
    return true;
}

DemoSource::DemoSource()
{
    facts_.name = "demo clip";
    facts_.container = "generated";
    facts_.codec = "none";
    facts_.framesExpected = clip_.frameCount();
    facts_.frameRate = std::make_pair(24, 1);
    frame_.transferTag = AVCOL_TRC_SMPTE2084;
    frame_.matrixTag = AVCOL_SPC_BT2020_NCL;
    frame_.primariesTag = AVCOL_PRI_BT2020;
}

const SourceFrame* DemoSource::next()
{
    return clip_.next(frame_.view) ? &frame_ : nullptr;
}

}  // namespace hdrmeter::clip
