#include "clip_run.h"

#include <cstring>

#include <hdrmeter.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

int narrowRangeLumaBlack(int bitDepth)
{
    return 64 << (bitDepth - 10);
}

int narrowRangeLumaWhite(int bitDepth)
{
    return 940 << (bitDepth - 10);
}

}  // namespace

ClipRun::ClipRun(const ClipOptions& options, const StopRequest* stop) : options_(options), stop_(stop)
{
    facts_.arithmetic = options.analysis.arithmetic;
    if (options.demo) {
        demo_ = std::make_unique<DemoClip>();
        facts_.inputName = "demo clip";
        facts_.container = "generated";
        facts_.codec = "none";
        facts_.framesExpected = demo_->frameCount();
        chooseColour(AVCOL_TRC_SMPTE2084, AVCOL_SPC_BT2020_NCL);
        return;
    }
    source_ = std::make_unique<LibavSource>(options.source, stop);
    facts_.inputName = source_->name();
    facts_.container = source_->containerName();
    facts_.codec = source_->codecName();
    facts_.framesExpected = source_->framesExpected();
}

ClipRun::~ClipRun() = default;

void ClipRun::chooseColour(int avTransfer, int avMatrix)
{
    facts_.colour = hdrmeter::clip::chooseColour(avTransfer, avMatrix, options_.transfer, options_.matrix);
    if (!facts_.colour.refusal.empty())
        throw InputError(facts_.colour.refusal);
    if (!facts_.colour.warning.empty())
        warnings_.push_back(facts_.colour.warning);
}

void ClipRun::rewind()
{
    if (demo_) {
        demo_ = std::make_unique<DemoClip>();
    } else {
        if (failure_.empty())
            failure_ = source_->failure();
        if (!firstPassMetadata_)
            firstPassMetadata_ = source_->staticMetadata();
        source_ = source_->reopen();
    }
    facts_.framesMeasured = 0;
}

std::optional<FrameView> ClipRun::decode()
{
    if (stop_ && stop_->requested())
        return std::nullopt;
    if (demo_) {
        FrameView view;
        if (!demo_->next(view))
            return std::nullopt;
        return view;
    }
    const AVFrame* frame = source_->next();
    if (!frame)
        return std::nullopt;
    if (frame->format != layoutFormat_) {
        layout_ = pixelLayoutOf(frame->format);
        layoutFormat_ = frame->format;
        if (!layout_.accepted) {
            if (facts_.framesMeasured == 0)
                throw InputError(layout_.refusal);
            failure_ = "the stream changes to a format that cannot be measured at frame " +
                       std::to_string(facts_.framesMeasured) + ": " + layout_.refusal;
            return std::nullopt;
        }
    }
    if (facts_.framesMeasured == 0 && !analyzer_) {
        chooseColour(frame->color_trc, frame->colorspace);
    }
    return frameViewOf(*frame, layout_);
}

std::optional<FrameMeasurement> ClipRun::measure(const FrameView& view, const ActiveArea& area)
{
    if (!analyzer_) {
        AnalysisSettings settings = options_.analysis;
        settings.transfer = facts_.colour.transfer;
        settings.matrix = facts_.colour.matrix;
        analyzer_ = std::make_unique<Analyzer>(settings);
        facts_.width = view.width;
        facts_.height = view.height;
        facts_.bitDepth = view.bitDepth;
        facts_.layout = view.layout;
        facts_.range = view.range;
    }
    lastStatistics_ = analyzer_->analyze(view, area);
    if (source_ && source_->lastFrameLost()) {
        failure_ = "the input file shrank under frame " + std::to_string(facts_.framesMeasured) +
                   " while it was measured (did another program truncate or rewrite it?)";
        return std::nullopt;
    }
    FrameMeasurement measurement;
    measurement.frame = facts_.framesMeasured;
    measurement.averageLightNits = lastStatistics_.averageLightNits();
    measurement.largestLightNits = lastStatistics_.largestLightNits();
    measurement.aboveThresholdPercent = lastStatistics_.aboveThresholdPercent();
    measurement.top1Nits = lastStatistics_.top1Nits();
    measurement.top2Nits = lastStatistics_.top2Nits();
    measurement.bottomNits = lastStatistics_.bottomNits();
    if (options_.lumaChecks) {
        // The plane functions take rows without gaps; a decoder pads its rows, and the active area leaves
        // some out, so only then is the luma copied, row by row.
        const int areaWidth = view.width - area.left - area.right, areaHeight = view.height - area.top - area.bottom;
        const std::size_t rowBytes = static_cast<std::size_t>(areaWidth) * 2;
        auto* luma = reinterpret_cast<unsigned char*>(const_cast<std::uint16_t*>(view.planes[0]));
        if (view.strides[0] != static_cast<std::ptrdiff_t>(rowBytes) || areaHeight != view.height) {
            gaplessLuma_.resize(static_cast<std::size_t>(areaWidth) * areaHeight);
            for (int row = 0; row < areaHeight; ++row)
                std::memcpy(gaplessLuma_.data() + static_cast<std::size_t>(row) * areaWidth,
                            reinterpret_cast<const unsigned char*>(view.planes[0] + area.left) +
                                (row + area.top) * view.strides[0],
                            rowBytes);
            luma = reinterpret_cast<unsigned char*>(gaplessLuma_.data());
        }
        const auto width = static_cast<unsigned int>(areaWidth);
        const auto height = static_cast<unsigned int>(areaHeight);
        const auto bitDepth = static_cast<unsigned int>(view.bitDepth);
        double minCode = 0.0;
        double maxCode = 0.0;
        ocvFindMinMax(luma, &minCode, &maxCode, width, height, bitDepth);
        // The low count is of codes at or below its limit, so the limit sits one code under black.
        unsigned int violationCount = 0;
        int lowCount = 0;
        int highCount = 0;
        ocvFindLumaViolations(luma, width, height, bitDepth, static_cast<float>(narrowRangeLumaBlack(view.bitDepth) - 1),
                              static_cast<float>(narrowRangeLumaWhite(view.bitDepth)), &violationCount, &lowCount,
                              &highCount);
        measurement.lumaChecks = LumaChecks{static_cast<int>(minCode), static_cast<int>(maxCode), lowCount, highCount};
    }
    ++facts_.framesMeasured;
    return measurement;
}

StaticMetadata ClipRun::staticMetadata() const
{
    if (firstPassMetadata_)
        return *firstPassMetadata_;
    return source_ ? source_->staticMetadata() : StaticMetadata{};
}

const std::string& ClipRun::failure() const
{
    if (!failure_.empty() || !source_)
        return failure_;
    return source_->failure();
}

bool ClipRun::stopped() const
{
    return (stop_ && stop_->requested()) || (source_ && source_->stopped());
}

std::optional<FileIdentity> ClipRun::inputIdentity() const
{
    if (!source_)
        return std::nullopt;
    return source_->identity();
}

}  // namespace hdrmeter::clip
