// The frames of partial results handed out in order as if decoded again: each with the statistics,
// luma checks and content it was measured with, which the clip run takes instead of measuring. A merge
// runs the whole measurement over them, so that scenes, the automatic area's second pass and every
// output are decided by the same code as in a single run.
#ifndef HDRMETER_CLIP_PARTIAL_SOURCE_H
#define HDRMETER_CLIP_PARTIAL_SOURCE_H

#include <fstream>
#include <memory>

#include "frame_source.h"
#include "partial/partial_file.h"

namespace hdrmeter::clip {

class PartialSource : public FrameSource {
public:
    PartialSource(std::shared_ptr<const PartialResults> partials, const StopRequest* stop);

    const SourceFrame* next() override;
    std::unique_ptr<FrameSource> reopen() override;
    const SourceFacts& facts() const override { return facts_; }
    StaticMetadata staticMetadata() const override;
    const std::string& failure() const override { return failure_; }
    bool stopped() const override { return stopped_; }
    const FrameStatistics* keptStatistics() const override { return &statistics_; }
    const std::optional<LumaChecks>* keptLumaChecks() const override { return &lumaChecks_; }
    const ContentBounds* keptContent() const override { return &content_; }
    std::pair<int, int> keptPeakPixel(long long frame) const override;

private:
    std::shared_ptr<const PartialResults> partials_;
    const StopRequest* stop_;
    Analyzer analyzer_;  // restores the statistics with the tables they were measured with
    SourceFacts facts_;
    std::ifstream file_;  // of the part being replayed
    std::size_t part_ = 0;
    std::size_t frame_ = 0;
    SourceFrame handedOut_;
    FrameStatistics statistics_;
    std::optional<LumaChecks> lumaChecks_;
    ContentBounds content_;
    std::string failure_;
    bool stopped_ = false;
};

}  // namespace hdrmeter::clip

#endif
