#include "scene_segments.h"

#include <algorithm>
#include <climits>
#include <iterator>

namespace hdrmeter::clip {

namespace {

// HDR10+'s distribution percentiles in the order of its indexes; 0 marks index 10, the percent of pixels
// at or below 100 nits.
constexpr double kDistributionPercentile[] = {1.0, 99.99, 0.0, 25.0, 50.0, 75.0, 90.0, 95.0, 99.98};
constexpr double kDistributionDarkNits = 100.0;

// The scene of `cuts` that `frame` belongs to.
std::size_t sceneOf(const std::vector<long long>& cuts, long long frame)
{
    const auto after = std::upper_bound(cuts.begin(), cuts.end(), frame);
    return after == cuts.begin() ? 0 : static_cast<std::size_t>(after - cuts.begin() - 1);
}

}  // namespace

SceneDistribution distributionOf(const FrameStatistics& statistics)
{
    SceneDistribution distribution;
    for (std::size_t i = 0; i < distribution.values.size(); ++i)
        distribution.values[i] = kDistributionPercentile[i] == 0.0 ? statistics.percentAtOrBelow(kDistributionDarkNits)
                                                                   : statistics.lightAtPercentile(kDistributionPercentile[i]);
    distribution.largestChannelNits = {statistics.largestRedNits(), statistics.largestGreenNits(),
                                       statistics.largestBlueNits()};
    return distribution;
}

SceneSegments::SceneSegments(long long minFrames, const std::optional<std::vector<long long>>& imported)
    : minFrames_(minFrames), imported_(imported), cutter_(minFrames, imported)
{
}

void SceneSegments::clear()
{
    runs_.clear();
    whole_.clear();
    cutter_ = SceneCutter(minFrames_, imported_);
    lastFrame_.reset();
}

void SceneSegments::add(long long frame, bool candidate, const FrameStatistics* statistics, bool restart)
{
    bool possibleCut = restart || runs_.empty();
    if (!possibleCut && imported_) {
        // A listed cut at a frame the stream lost begins its scene at the next frame present.
        const auto next = std::upper_bound(imported_->begin(), imported_->end(), *lastFrame_);
        possibleCut = next != imported_->end() && *next <= frame;
    } else if (!possibleCut) {
        possibleCut = candidate;
    }
    lastFrame_ = frame;
    // A restart's own candidacy is known only once the frame before it is measured again.
    cutter_.add(frame, candidate && !restart);
    if (possibleCut) {
        Run run;
        run.firstFrame = frame;
        run.decidedCut = frame == 0;
        if (statistics)
            run.statistics = *statistics;
        runs_.push_back(std::move(run));
    } else if (statistics) {
        runs_.back().statistics.merge(*statistics);
    }
    if (!restart)
        settle();
}

void SceneSegments::settle()
{
    const std::vector<long long>& cuts = cutter_.cuts();
    const long long decidedBefore = cutter_.decidedBefore();
    // A run whose first frame is decided not to begin a scene joins the run before. (The first run is
    // never judged: it begins the clip, or where the measurement began again, which is decided later.)
    for (std::size_t i = 1; i < runs_.size() && runs_[i].firstFrame < decidedBefore;) {
        Run& run = runs_[i];
        if (!run.decidedCut && !imported_ && !std::binary_search(cuts.begin(), cuts.end(), run.firstFrame)) {
            runs_[i - 1].statistics.merge(run.statistics);
            runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        run.decidedCut = true;
        ++i;
    }
    // A scene between two decided cuts is whole: keep its values, not its histograms.
    for (std::size_t i = 0; i + 1 < runs_.size();) {
        if (runs_[i].decidedCut && runs_[i + 1].decidedCut) {
            whole_.emplace_back(runs_[i].firstFrame, distributionOf(runs_[i].statistics));
            runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void SceneSegments::append(SceneSegments&& later)
{
    runs_.insert(runs_.end(), std::make_move_iterator(later.runs_.begin()), std::make_move_iterator(later.runs_.end()));
    whole_.insert(whole_.end(), later.whole_.begin(), later.whole_.end());
    later.clear();
}

std::vector<std::optional<SceneDistribution>> SceneSegments::distributions(const std::vector<long long>& cuts) const
{
    std::vector<std::optional<SceneDistribution>> result(cuts.size());
    std::vector<std::optional<FrameStatistics>> merged(cuts.size());
    for (const auto& [firstFrame, distribution] : whole_)
        result[sceneOf(cuts, firstFrame)] = distribution;
    for (const Run& run : runs_) {
        std::optional<FrameStatistics>& scene = merged[sceneOf(cuts, run.firstFrame)];
        if (!scene)
            scene = run.statistics;
        else
            scene->merge(run.statistics);
    }
    for (std::size_t scene = 0; scene < cuts.size(); ++scene)
        if (merged[scene])
            result[scene] = distributionOf(*merged[scene]);
    return result;
}

}  // namespace hdrmeter::clip
