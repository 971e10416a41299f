#include "partial_source.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <stdexcept>

#include "clip_run.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

AnalysisSettings restoringSettings(const PartialResult& first)
{
    AnalysisSettings settings = analysisSettingsOf(first.header.request);
    settings.transfer = first.header.stream.colour.transfer;
    settings.matrix = first.header.stream.colour.matrix;
    settings.taskCount = 1;
    return settings;
}

// The tag that the clip run reads back as the colour the segment measured, from the same origin.
int transferTagOf(const ColourChoice& colour)
{
    if (colour.transferOrigin != TagOrigin::Stream)
        return AVCOL_TRC_UNSPECIFIED;
    return colour.transfer == Transfer::Hlg ? AVCOL_TRC_ARIB_STD_B67 : AVCOL_TRC_SMPTE2084;
}

int matrixTagOf(const ColourChoice& colour)
{
    if (colour.matrixOrigin != TagOrigin::Stream)
        return AVCOL_SPC_UNSPECIFIED;
    return colour.matrix == Matrix::Bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT2020_NCL;
}

}  // namespace

PartialSource::PartialSource(std::shared_ptr<const PartialResults> partials, const StopRequest* stop)
    : partials_(std::move(partials)), stop_(stop), analyzer_(restoringSettings(partials_->front()))
{
    const StreamFacts& stream = partials_->front().header.stream;
    facts_.name = stream.inputName;
    facts_.container = stream.container;
    facts_.codec = stream.codec;
    facts_.streamIndex = stream.streamIndex;
    facts_.frameRate = stream.frameRate;
    long long frames = 0;
    for (const PartialResult& part : *partials_)
        frames += static_cast<long long>(part.records.size());
    facts_.framesExpected = frames;
}

const SourceFrame* PartialSource::next()
{
    if (stop_ && stop_->requested()) {
        stopped_ = true;
        return nullptr;
    }
    while (part_ < partials_->size() && frame_ >= (*partials_)[part_].records.size()) {
        ++part_;
        frame_ = 0;
        file_.close();
    }
    if (part_ == partials_->size())
        return nullptr;
    const PartialResult& part = (*partials_)[part_];
    if (!file_.is_open()) {
        file_.clear();
        file_.open(part.path, std::ios::binary);
    }
    PartialFrame frame;
    try {
        frame = readPartialFrame(part, frame_++, file_);
    } catch (const std::invalid_argument& error) {
        // The clip run ends here with this line, as at a damaged frame.
        throw std::runtime_error(part.path + " changed while it was merged: " + error.what());
    }
    statistics_ = analyzer_.restore(frame.statistics);
    lumaChecks_ = frame.lumaChecks;
    content_ = frame.content;
    const StreamFacts& stream = part.header.stream;
    handedOut_.view = FrameView{};
    handedOut_.view.width = frame.width;
    handedOut_.view.height = frame.height;
    handedOut_.view.layout = stream.layout;
    handedOut_.view.bitDepth = stream.bitDepth;
    handedOut_.view.range = stream.range;
    handedOut_.view.model = stream.model;
    handedOut_.transferTag = transferTagOf(stream.colour);
    handedOut_.matrixTag = matrixTagOf(stream.colour);
    handedOut_.primariesTag = stream.primariesTag;
    handedOut_.presentationNumber = frame.number;
    handedOut_.damage = frame.damaged ? "flagged when its segment was measured" : "";
    return &handedOut_;
}

std::pair<int, int> PartialSource::keptPeakPixel(long long frame) const
{
    // Only the clip's own MaxCLL frame is asked for in the end, and the first part reaching the clip's
    // MaxCLL found it; frames asked for on the way to it are passed by.
    for (const PartialResult& part : *partials_)
        if (part.header.peak && part.header.peak->frame == frame)
            return {part.header.peak->x, part.header.peak->y};
    return {0, 0};
}

std::unique_ptr<FrameSource> PartialSource::reopen()
{
    return std::make_unique<PartialSource>(partials_, stop_);
}

StaticMetadata PartialSource::staticMetadata() const
{
    // What the stream states is the first segment's, completed by what later frames brought.
    StaticMetadata metadata = partials_->front().header.metadata;
    for (const PartialResult& part : *partials_) {
        if (!metadata.mastering && part.header.metadata.mastering) {
            metadata.mastering = part.header.metadata.mastering;
            metadata.masteringOrigin = part.header.metadata.masteringOrigin;
        }
        if (!metadata.lightLevel && part.header.metadata.lightLevel) {
            metadata.lightLevel = part.header.metadata.lightLevel;
            metadata.lightLevelOrigin = part.header.metadata.lightLevelOrigin;
        }
    }
    return metadata;
}

}  // namespace hdrmeter::clip
