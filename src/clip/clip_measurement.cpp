#include "clip_measurement.h"

#include <algorithm>
#include <chrono>
#include <charconv>
#include <climits>
#include <stdexcept>

#include "clip_errors.h"
#include "request_rules.h"

namespace hdrmeter::clip {

ClipMeasurement::ClipMeasurement(const MeasureOptions& options, const StopRequest* stop)
    : options_(options), clip_(options.clip, stop)
{
}

std::optional<FrameRecord> ClipMeasurement::measureFrame(const FrameView& view, long long frame,
                                                         const SceneSignature* before, SceneSignature& signature)
{
    std::optional<FrameMeasurement> numbers = clip_.measure(view, area_);
    if (!numbers)
        return std::nullopt;
    FrameRecord record;
    record.numbers = *numbers;
    record.numbers.frame = frame;
    record.damaged = !clip_.lastFrameDamage().empty();
    record.width = view.width;
    record.height = view.height;
    record.pixels = static_cast<long long>(view.width - area_.left - area_.right) *
                    (view.height - area_.top - area_.bottom);
    const FrameStatistics& statistics = clip_.lastStatistics();
    record.smallestPqLight = statistics.smallestPqLight();
    record.meanPqLight = statistics.meanPqLight();
    record.largestPqLight = statistics.largestPqLight();
    signature = signatureOf(statistics);
    record.sceneDistance = before ? signatureDistance(*before, signature) : 0.0;
    record.final = true;
    return record;
}

void ClipMeasurement::addToSegments(std::vector<Segment>& segments, long long frame, bool startsSegment)
{
    if (!options_.sceneStatistics)
        return;
    // A damaged frame still begins its segment, so that scenes line up, but adds no pixels to it.
    const bool damaged = !clip_.lastFrameDamage().empty();
    if (segments.empty() || startsSegment)
        segments.push_back({frame, damaged ? FrameStatistics() : clip_.lastStatistics()});
    else if (!damaged)
        segments.back().statistics.merge(clip_.lastStatistics());
}

std::string ClipMeasurement::refusalOf(const FrameView& view, long long frame) const
{
    const std::string size = std::to_string(view.width) + "x" + std::to_string(view.height);
    switch (options_.areaMode) {
    case AreaMode::Full:
        return {};
    case AreaMode::Given:
        if (area_.left + area_.right < view.width && area_.top + area_.bottom < view.height)
            return {};
        return setting(options_.spelling, "--active-area",
                       std::to_string(area_.left) + "," + std::to_string(area_.top) + "," +
                           std::to_string(area_.right) + "," + std::to_string(area_.bottom)) +
               " leaves no pixel of the " + size + " frames" +
               (frame == 0 ? ": give smaller offsets" : " that begin at frame " + std::to_string(frame));
    case AreaMode::Auto:
        // The area is a rectangle of one frame size; frames of another size cannot share it.
        if (view.width == content_.width && view.height == content_.height)
            return {};
        return "the frame size changes from " + std::to_string(content_.width) + "x" +
               std::to_string(content_.height) + " to " + size + " at frame " + std::to_string(frame) +
               ": the automatic active area belongs to one size; give " +
               setting(options_.spelling, "--active-area", "full") + " to measure each frame in its own size";
    }
    return {};
}

void ClipMeasurement::fail(long long frame, const std::string& reason)
{
    if (!failure_.empty())
        return;
    failure_ = reason;
    failedAtFrame_ = frame;
}

void ClipMeasurement::failInSecondPass(long long frame, const std::string& reason)
{
    secondPassFailed_ = failure_.empty();
    fail(frame, reason);
}

void ClipMeasurement::run(const FrameSink& sink, const ProgressSink& progress)
{
    const bool automatic = options_.areaMode == AreaMode::Auto;
    SceneCutter cutter(options_.minSceneFrames, options_.sceneCuts);
    // The last frame at which the area changed, the first whose numbers are final: its place in records_.
    std::size_t lastGrowth = 0;
    SceneSignature before, signature, lastGrowthSignature;
    std::optional<long long> framesExpected = clip_.facts().framesExpected;
    if (options_.frameLimit && (!framesExpected || *framesExpected > *options_.frameLimit))
        framesExpected = options_.frameLimit;

    // `index` counts the frames read; `frame` is a frame's number, which skips the frames a stream lost.
    for (long long index = 0; !options_.frameLimit || index < *options_.frameLimit; ++index) {
        long long frame = index;
        // After the first frame nothing escapes: the frames measured so far are the run's result.
        try {
            const std::optional<FrameView> view = clip_.decode();
            if (!view)
                break;
            frame = clip_.lastFrameNumber();
            if (index == 0) {
                if (options_.areaMode == AreaMode::Given)
                    area_ = options_.givenArea;
                content_.width = view->width;
                content_.height = view->height;
            }
            if (const std::string refusal = refusalOf(*view, frame); !refusal.empty()) {
                if (index == 0)
                    throw InputError(refusal);
                fail(frame, refusal);
                break;
            }
            bool areaChanged = false;
            if (automatic) {
                content_.merge(findContent(*view));
                const ActiveArea grown = content_.activeArea();
                areaChanged = index > 0 && grown != area_;
                area_ = grown;
                if (areaChanged) {
                    lastGrowth = records_.size();
                    // Everything before was measured inside a smaller area: the second pass measures it again.
                    segments_.clear();
                }
            }
            const std::optional<FrameRecord> measured =
                measureFrame(*view, frame, index > 0 ? &before : nullptr, signature);
            if (!measured)
                break;
            const bool candidate = index > 0 && measured->sceneDistance >= options_.sceneThreshold;
            addToSegments(segments_, frame, areaChanged || cutter.isPossibleCut(frame, candidate));
            if (areaChanged)
                lastGrowthSignature = signature;
            before = signature;
            records_.push_back(*measured);
            if (options_.frameStatistics)
                options_.frameStatistics(static_cast<std::size_t>(index), clip_.lastStatistics());
            if (!automatic) {
                cutter.add(frame, candidate);
                // Rows wait only until their scene is decided.
                release(cutter.decidedBefore(), cutter, sink);
            }
        } catch (const std::exception& error) {
            if (records_.empty())
                throw;
            fail(frame, std::string(error.what()) == "std::bad_alloc" ? "out of memory" : error.what());
            break;
        }
        if (progress)
            progress(1, static_cast<long long>(records_.size()), framesExpected);
    }
    // The clip's frames by number, those it lost included.
    const long long frameCount = records_.empty() ? 0 : records_.back().numbers.frame + 1;
    if (failure_.empty() && !clip_.failure().empty() && !clip_.stopped())
        fail(frameCount, clip_.failure());

    if (automatic && lastGrowth > 0) {
        for (std::size_t index = 0; index < lastGrowth; ++index)
            records_[index].final = false;
        if (!clip_.stopped())
            secondPass(lastGrowth, lastGrowthSignature, progress);
        else
            leftOutReason_ = "stopped before the second pass";
    }
    if (automatic)
        for (const FrameRecord& record : records_)
            if (record.final)
                cutter.add(record.numbers.frame, record.numbers.frame > 0 &&
                                                     record.sceneDistance >= options_.sceneThreshold);
    cutter.finish(frameCount);
    for (const FrameRecord& record : records_)
        framesLeftOut_ += record.final ? 0 : 1;
    release(LLONG_MAX, cutter, sink);
    collectScenes(cutter.cuts());
}

void ClipMeasurement::secondPass(std::size_t firstFinal, const SceneSignature& firstFinalSignature,
                                 const ProgressSink& progress)
{
    const long long firstFinalFrame = records_[firstFinal].numbers.frame;
    const auto framesToMeasure = static_cast<long long>(firstFinal);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Segment> segments;
    SceneCutter possibleCuts(options_.minSceneFrames, options_.sceneCuts);
    SceneSignature before, signature;
    const std::string endedAt = "the second pass over " + clip_.facts().inputName + " ended at frame ";
    long long frame = 0;
    try {
        clip_.rewind();
        for (std::size_t index = 0; index < firstFinal; ++index) {
            frame = records_[index].numbers.frame;
            std::optional<FrameView> view = clip_.decode();
            // The same stream read again numbers its frames the same; should it not, no record is replaced.
            if (view && clip_.lastFrameNumber() != frame) {
                failInSecondPass(frame, endedAt + std::to_string(frame) + ": the frame read again there is numbered " +
                                            std::to_string(clip_.lastFrameNumber()));
                break;
            }
            const std::optional<FrameRecord> record =
                view ? measureFrame(*view, frame, index > 0 ? &before : nullptr, signature) : std::nullopt;
            if (!record) {
                if (clip_.stopped())
                    leftOutReason_ = "stopped during the second pass";
                else
                    failInSecondPass(frame, endedAt + std::to_string(frame) + " of " + std::to_string(firstFinalFrame) +
                                    (clip_.failure().empty() ? "" : ": " + clip_.failure()));
                break;
            }
            const bool candidate = index > 0 && record->sceneDistance >= options_.sceneThreshold;
            addToSegments(segments, frame, possibleCuts.isPossibleCut(frame, candidate));
            before = signature;
            records_[index] = *record;
            if (options_.frameStatistics)
                options_.frameStatistics(index, clip_.lastStatistics());
            ++secondPassFrames_;
            if (progress)
                progress(2, secondPassFrames_, framesToMeasure);
        }
    } catch (const std::exception& error) {
        failInSecondPass(frame, endedAt + std::to_string(frame) + ": " + error.what());
    }
    if (leftOutReason_.empty() && secondPassFrames_ < framesToMeasure)
        leftOutReason_ = failure_;
    if (secondPassFrames_ == framesToMeasure)
        records_[firstFinal].sceneDistance = signatureDistance(before, firstFinalSignature);
    segments.insert(segments.end(), std::make_move_iterator(segments_.begin()), std::make_move_iterator(segments_.end()));
    segments_ = std::move(segments);
    secondPassSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ClipMeasurement::release(long long end, const SceneCutter& cutter, const FrameSink& sink)
{
    const std::vector<long long>& cuts = cutter.cuts();
    for (; released_ < records_.size() && records_[released_].numbers.frame < end; ++released_) {
        FrameRecord& record = records_[released_];
        const long long frame = record.numbers.frame;
        record.numbers.scene = std::upper_bound(cuts.begin(), cuts.end(), frame) - cuts.begin() - 1;
        if (record.final)
            sink(record);
    }
}

void ClipMeasurement::collectScenes(const std::vector<long long>& cuts)
{
    std::size_t segment = 0;
    // A scene counts its damaged frames, so that per-frame metadata keeps one entry per frame present,
    // but its numbers rest on its other frames only.
    std::vector<long long> cleanFrames;
    for (const FrameRecord& record : records_) {
        if (!record.final)
            continue;
        const long long firstFrame = cuts[static_cast<std::size_t>(record.numbers.scene)];
        if (scenes_.empty() || scenes_.back().firstFrame != firstFrame) {
            scenes_.push_back({});
            scenes_.back().firstFrame = firstFrame;
            cleanFrames.push_back(0);
        }
        SceneResult& result = scenes_.back();
        ++result.frameCount;
        if (!record.damaged) {
            if (cleanFrames.back()++ == 0)
                result.smallestPqLight = record.smallestPqLight;
            result.meanAverageLightNits += record.numbers.averageLightNits;
            result.meanOfMeanPqLight += record.meanPqLight;
            result.smallestPqLight = std::min(result.smallestPqLight, record.smallestPqLight);
            result.largestPqLight = std::max(result.largestPqLight, record.largestPqLight);
        }
        for (; segment < segments_.size() && segments_[segment].firstFrame <= record.numbers.frame; ++segment) {
            if (!result.statistics)
                result.statistics = segments_[segment].statistics;
            else
                result.statistics->merge(segments_[segment].statistics);
        }
    }
    for (std::size_t scene = 0; scene < scenes_.size(); ++scene) {
        if (cleanFrames[scene] == 0)
            continue;
        scenes_[scene].meanAverageLightNits /= static_cast<double>(cleanFrames[scene]);
        scenes_[scene].meanOfMeanPqLight /= static_cast<double>(cleanFrames[scene]);
    }
}

}  // namespace hdrmeter::clip
