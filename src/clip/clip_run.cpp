#include "clip_run.h"

#include <cstring>

#include <hdrmeter.h>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/version.h>
}

#include "clip_errors.h"
#include "libav/dovi_reading.h"
#include "request_rules.h"

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

std::string transferTagName(int tag)
{
    const char* name = av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(tag));
    return name ? name : "unknown (" + std::to_string(tag) + ")";
}

std::string matrixTagName(int tag)
{
    const char* name = av_color_space_name(static_cast<AVColorSpace>(tag));
    return name ? name : "unknown (" + std::to_string(tag) + ")";
}

std::string rangeName(SampleRange range)
{
    return range == SampleRange::Full ? "full range" : "narrow range";
}

SourceOptions sourceOptionsOf(const ClipOptions& options)
{
    SourceOptions source = options.source;
    source.acceptDamaged = options.acceptDamaged;
    return source;
}

}  // namespace

ClipRun::ClipRun(const ClipOptions& options, const StopRequest* stop)
    : options_(options), stop_(stop), source_(openFrameSource(sourceOptionsOf(options), options.demo, stop))
{
    facts_.arithmetic = options.analysis.arithmetic;
    const SourceFacts& source = source_->facts();
    facts_.inputName = source.name;
    facts_.container = source.container;
    facts_.codec = source.codec;
    facts_.streamIndex = source.streamIndex;
    facts_.framesExpected = source.framesExpected;
    facts_.frameRate = source.frameRate;
    facts_.doviConfiguration = source.doviConfiguration;
    facts_.startMicroseconds = source.startMicroseconds;
    facts_.endMicroseconds = source.endMicroseconds;
    if (options.source.sequenceRate != SourceOptions{}.sequenceRate && source.container.rfind("image sequence", 0) != 0)
        warn(mention("frame_rate") + " is for image sequences, and " + source.name + " is none: its own times are used");
}

ClipRun::~ClipRun() = default;

void ClipRun::warn(const std::string& line) const
{
    if (options_.warning)
        options_.warning(line);
}

void ClipRun::chooseColour(const SourceFrame& frame)
{
    facts_.colour = hdrmeter::clip::chooseColour(frame.transferTag, frame.matrixTag, options_.transfer,
                                                 options_.matrix, frame.view.model);
    // A float is a signal only through a transfer; without one it is light, whose scale nothing states.
    if (frame.floatSamples && !options_.transfer && frame.transferTag != AVCOL_TRC_SMPTE2084 &&
        frame.transferTag != AVCOL_TRC_ARIB_STD_B67) {
        const std::string tagged = frame.transferTag == AVCOL_TRC_LINEAR ? "tagged as linear light"
                                                                         : "with no transfer tag, taken as linear light";
        throw InputError("the input holds floats " + tagged +
                         ", whose scale in nits nothing states: convert them to PQ (ffmpeg -i IN -vf "
                         "zscale=tin=linear:t=smpte2084:npl=N,format=gbrp16le -c:v ffv1 OUT.mkv, N the nits of "
                         "1.0), or give " + mention("transfer", "pq") + " if the values are PQ signals already");
    }
    if (!facts_.colour.refusal.empty())
        throw InputError(facts_.colour.refusal);
    if (!facts_.colour.warning.empty())
        warn(facts_.colour.warning);
}

void ClipRun::rewind()
{
    if (failure_.empty())
        failure_ = source_->failure();
    if (!firstPassMetadata_)
        firstPassMetadata_ = source_->staticMetadata();
    segmentEndReached_ = segmentEndReached_ || source_->segmentEndReached();
    source_ = source_->reopen();
    facts_.framesMeasured = 0;
    lastFrameNumber_ = -1;
    lastFrameDamage_.clear();
}

std::string ClipRun::formatChange(const FrameFormat& format) const
{
    const FrameFormat& first = *firstFormat_;
    if (format.bitDepth != first.bitDepth)
        return "from " + std::to_string(first.bitDepth) + "-bit to " + std::to_string(format.bitDepth) + "-bit";
    if (format.model != first.model)
        return std::string("from ") + (first.model == ColourModel::Rgb ? "R'G'B' to Y'CbCr" : "Y'CbCr to R'G'B'");
    if (format.layout != first.layout)
        return "from " + layoutName(first.layout) + " to " + layoutName(format.layout);
    if (format.range != first.range)
        return "from " + rangeName(first.range) + " to " + rangeName(format.range);
    // A tag the user overrode is not read, so its changes do not matter.
    if (!options_.transfer && format.transferTag != first.transferTag)
        return "its transfer tag from " + transferTagName(first.transferTag) + " to " +
               transferTagName(format.transferTag);
    if (!options_.matrix && format.matrixTag != first.matrixTag)
        return "its matrix tag from " + matrixTagName(first.matrixTag) + " to " + matrixTagName(format.matrixTag);
    return {};
}

std::optional<FrameView> ClipRun::decode()
{
    if (stop_ && stop_->requested())
        return std::nullopt;
    const SourceFrame* frame = source_->next();
    if (!frame)
        return std::nullopt;
    if (!frame->refusal.empty()) {
        if (facts_.framesMeasured == 0)
            throw InputError(frame->refusal);
        failure_ = "the stream changes to a format that cannot be measured at frame " +
                   std::to_string(facts_.framesMeasured) + ": " + frame->refusal;
        return std::nullopt;
    }
    const FrameFormat format{frame->view.bitDepth, frame->view.layout, frame->view.range, frame->view.model,
                             frame->transferTag, frame->matrixTag};
    if (!firstFormat_) {
        chooseColour(*frame);
        facts_.primariesTag = frame->primariesTag;
        facts_.floatSamples = frame->floatSamples;
        firstFormat_ = format;
    } else if (const std::string change = formatChange(format); !change.empty()) {
        // The analyzer was made for the first frame's format; measuring on would mix two kinds of numbers.
        failure_ = "the stream changes " + change + " at frame " + std::to_string(facts_.framesMeasured);
        return std::nullopt;
    }
    // A time segment's first frame goes on from the whole input's numbers of the frames before it.
    if (lastFrameNumber_ < 0 && frame->numberBefore)
        lastFrameNumber_ = *frame->numberBefore;
    // A time that does not move on (a repeated or reordered time) is numbered in order.
    const long long number = frame->presentationNumber && *frame->presentationNumber > lastFrameNumber_
                                 ? *frame->presentationNumber
                                 : lastFrameNumber_ + 1;
    if (!options_.acceptDamaged) {
        // Measuring on would either count a frame that shows the decoder's guesses, or number frames as
        // if none were lost.
        if (!frame->lostBefore.empty()) {
            failure_ = "the decoder cannot decode frame " + std::to_string(lastFrameNumber_ + 1) + ": " +
                       frame->lostBefore + "; " + mention("accept_damaged") + " measures through it";
            return std::nullopt;
        }
        if (number > lastFrameNumber_ + 1) {
            const long long first = lastFrameNumber_ + 1, last = number - 1;
            failure_ = (first == last ? "frame " + std::to_string(first) + " is"
                                      : "frames " + std::to_string(first) + " to " + std::to_string(last) + " are") +
                       " missing from the stream (its presentation times skip " + (first == last ? "it" : "them") +
                       "); " + mention("accept_damaged") + " measures through gaps";
            return std::nullopt;
        }
        if (!frame->damage.empty()) {
            failure_ = "frame " + std::to_string(number) + " is damaged (" + frame->damage + "): " +
                       mention("accept_damaged") + " measures it and flags it, leaving it out of every statistic";
            return std::nullopt;
        }
    }
    if (!frame->lostBefore.empty() && number == lastFrameNumber_ + 1 && !lossUnplaced_) {
        lossUnplaced_ = true;
        warn("the decoder lost a frame before frame " + std::to_string(number) + " (" + frame->lostBefore +
             ") and the stream has no times to place it: the frames after it are numbered as if none was lost");
    }
    if (!frame->missingBefore.empty())
        warn(frame->missingBefore + ": measured through it, as " + mention("accept_damaged") + " asks");
    if (frame->doviMetadata && !doviBlocksRead() && !doviSaid_) {
        doviSaid_ = true;
        warn("the stream carries Dolby Vision metadata, which is not read: reading it needs FFmpeg 7.0 "
             "or later (this one has libavutil " + std::to_string(LIBAVUTIL_VERSION_MAJOR) + ")");
    }
    lastFrameNumber_ = number;
    lastFrameDamage_ = frame->damage;
    lastHdr10Plus_ = frame->hdr10Plus;
    lastLightLevel_ = frame->lightLevel;
    lastDolbyVision_ = frame->dolbyVision;
    return frame->view;
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
        facts_.model = view.model;
    }
    if (const FrameStatistics* kept = source_->keptStatistics())
        lastStatistics_ = *kept;
    else
        lastStatistics_ = analyzer_->analyze(view, area);
    if (source_->lastFrameLost()) {
        failure_ = "the input file shrank under frame " + std::to_string(facts_.framesMeasured) +
                   " while it was measured (did another program truncate or rewrite it?)";
        return std::nullopt;
    }
    FrameMeasurement measurement;
    measurement.frame = lastFrameNumber_;
    measurement.averageLightNits = lastStatistics_.averageLightNits();
    measurement.largestLightNits = lastStatistics_.largestLightNits();
    measurement.aboveThresholdPercent = lastStatistics_.aboveThresholdPercent();
    measurement.top1Nits = lastStatistics_.top1Nits();
    measurement.top2Nits = lastStatistics_.top2Nits();
    measurement.bottomNits = lastStatistics_.bottomNits();
    if (const std::optional<LumaChecks>* kept = source_->keptLumaChecks(); kept && options_.lumaChecks) {
        measurement.lumaChecks = *kept;
        ++facts_.framesMeasured;
        return measurement;
    }
    // An R'G'B' master has no luma plane whose codes could break a range.
    if (options_.lumaChecks && view.model == ColourModel::YCbCr) {
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

FrameStatistics ClipRun::wholePictureStatistics(const FrameView& view, const ActiveArea& area) const
{
    if (area == ActiveArea{})
        return lastStatistics_;
    return analyzer_->analyze(view, ActiveArea{});
}

std::pair<int, int> ClipRun::firstPixelAtLargestLight(const FrameView& view, const ActiveArea& area, double nits) const
{
    if (source_->keptStatistics())
        return source_->keptPeakPixel(lastFrameNumber_);
    // Rows [top, bottom) then columns [left, right) of the row found, each narrowed to the half that
    // reaches the light; the analyzer's own light is compared, so the pixel is the one it counted.
    const auto reaches = [&](int left, int top, int right, int bottom) {
        const ActiveArea part{left, top, view.width - right, view.height - bottom};
        return analyzer_->analyze(view, part).largestLightNits() >= nits;
    };
    const int left = area.left, right = view.width - area.right;
    int top = area.top, bottom = view.height - area.bottom;
    while (bottom - top > 1) {
        const int middle = top + (bottom - top) / 2;
        if (reaches(left, top, right, middle))
            bottom = middle;
        else
            top = middle;
    }
    int first = left, end = right;
    while (end - first > 1) {
        const int middle = first + (end - first) / 2;
        if (reaches(first, top, middle, top + 1))
            end = middle;
        else
            first = middle;
    }
    return {first, top};
}

StaticMetadata ClipRun::staticMetadata() const
{
    if (firstPassMetadata_)
        return *firstPassMetadata_;
    return source_->staticMetadata();
}

const std::string& ClipRun::failure() const
{
    if (!failure_.empty())
        return failure_;
    return source_->failure();
}

bool ClipRun::stopped() const
{
    return (stop_ && stop_->requested()) || source_->stopped();
}

ContentBounds ClipRun::contentOf(const FrameView& view, int barsTolerance) const
{
    if (const ContentBounds* kept = source_->keptContent())
        return *kept;
    return findContent(view, barsTolerance);
}

bool ClipRun::segmentEndReached() const
{
    return segmentEndReached_ || source_->segmentEndReached();
}

std::optional<FileIdentity> ClipRun::inputIdentity() const
{
    return source_->facts().identity;
}

}  // namespace hdrmeter::clip
