#include "frame_meter.h"

#include <optional>
#include <tuple>

#include "tool_errors.h"

namespace hdrmeter::tool {

FrameMeter::FrameMeter(const VideoFormat& format, const MeasureSettings& settings)
    : format_(format), settings_(settings), layout_(engineLayoutFor(format))
{
    HDR_Info info = hdrInfoFor(settings, format.bitDepth);
    if (!engine_.InitializeMeasurements(info))
        throw InputError("the measurement engine cannot be set up for " + describeFormat(format) +
                         " (out of memory for its tables?)");
}

FrameMeasurement FrameMeter::measure(EngineFrame& frame)
{
    std::optional<MappedFrame::MeasureGuard> guard;
    if (frame.mapping) {
        frame.mapping.populate(pagesCopiedLastFrame_);
        guard.emplace(frame.mapping);
    }
    FrameMeasurement measurement;
    measurement.frame = frame.index;
    auto* luma = reinterpret_cast<unsigned char*>(frame.luma());
    auto* planes = reinterpret_cast<unsigned char*>(frame.planes());
    const auto width = static_cast<unsigned int>(format_.width);
    const auto height = static_cast<unsigned int>(format_.height);
    const auto bitDepth = static_cast<unsigned int>(format_.bitDepth);
    if (settings_.lumaChecks) {
        double minCode = 0.0;
        double maxCode = 0.0;
        ocvFindMinMax(luma, &minCode, &maxCode, width, height, bitDepth);
        // The low count is of codes at or below its limit, so the limit sits one code under black.
        unsigned int violationCount = 0;
        int lowCount = 0;
        int highCount = 0;
        ocvFindLumaViolations(luma, width, height, bitDepth,
                              static_cast<float>(narrowRangeLumaBlack(format_.bitDepth) - 1),
                              static_cast<float>(narrowRangeLumaWhite(format_.bitDepth)), &violationCount,
                              &lowCount, &highCount);
        measurement.lumaChecks = LumaChecks{static_cast<int>(minCode), static_cast<int>(maxCode), lowCount, highCount};
    }
    std::tie(measurement.averageLightNits, measurement.largestLightNits, measurement.aboveThresholdPercent,
             measurement.top1Nits, measurement.top2Nits, measurement.bottomNits) =
        engine_.HDR_Measurements(layout_.pixelFormat, format_.width, format_.height, luma, planes,
                                 settings_.taskCount);
    if (guard && guard->inputShrank())
        throw InputError("the input file shrank under the frame while it was measured (did another program "
                         "truncate or rewrite it?)");
    if (frame.mapping) {
        // Out-of-range samples of one frame mostly sit where they sat in the frame before (a dark corner,
        // a clipped highlight): the next frame copies those pages before mapping the rest.
        pagesCopiedLastFrame_ = frame.mapping.copiedPageOffsets();
        constexpr std::size_t kPagesPerCopiedPageAllowed = 16;
        frame.mappingCopiedManyPages =
            pagesCopiedLastFrame_.size() > frame.mapping.pageCount() / kPagesPerCopiedPageAllowed;
    }
    return measurement;
}

}  // namespace hdrmeter::tool
