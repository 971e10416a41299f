#include "clip_measurement.h"

#include <algorithm>
#include <chrono>
#include <charconv>
#include <stdexcept>

#include "clip_errors.h"

namespace hdrmeter::clip {

AreaOption parseAreaOption(const std::string& text)
{
    AreaOption option;
    if (text == "auto")
        return option;
    if (text == "full") {
        option.mode = AreaMode::Full;
        return option;
    }
    const std::string expected = "auto, full or LEFT,TOP,RIGHT,BOTTOM in pixels from each edge, such as 0,140,0,140";
    int offsets[4] = {0, 0, 0, 0};
    const char* position = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        const std::from_chars_result result = std::from_chars(position, end, offsets[i]);
        if (result.ec != std::errc() || offsets[i] < 0 || offsets[i] > 16384 || result.ptr == position)
            throw std::invalid_argument(expected);
        position = result.ptr;
        if (i < 3) {
            if (position == end || *position != ',')
                throw std::invalid_argument(expected);
            ++position;
        }
    }
    if (position != end)
        throw std::invalid_argument(expected);
    option.mode = AreaMode::Given;
    option.given = {offsets[0], offsets[1], offsets[2], offsets[3]};
    return option;
}

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
    if (segments.empty() || startsSegment)
        segments.push_back({frame, clip_.lastStatistics()});
    else
        segments.back().statistics.merge(clip_.lastStatistics());
}

void ClipMeasurement::run(const FrameSink& sink, const ProgressSink& progress)
{
    const bool automatic = options_.area.mode == AreaMode::Auto;
    SceneCutter cutter(options_.minSceneFrames, options_.sceneCuts);
    ContentBounds content;
    long long lastGrowth = 0;  // the last frame at which the area changed: the first whose numbers are final
    SceneSignature before, signature, lastGrowthSignature;
    long long emitted = 0;
    std::optional<long long> framesExpected = clip_.facts().framesExpected;
    if (options_.frameLimit && (!framesExpected || *framesExpected > *options_.frameLimit))
        framesExpected = options_.frameLimit;

    for (long long frame = 0; !options_.frameLimit || frame < *options_.frameLimit; ++frame) {
        const std::optional<FrameView> view = clip_.decode();
        if (!view)
            break;
        if (frame == 0) {
            if (options_.area.mode == AreaMode::Given) {
                area_ = options_.area.given;
                if (area_.left + area_.right >= view->width || area_.top + area_.bottom >= view->height)
                    throw InputError("--active-area " + std::to_string(area_.left) + "," + std::to_string(area_.top) +
                                     "," + std::to_string(area_.right) + "," + std::to_string(area_.bottom) +
                                     " leaves no pixel of the " + std::to_string(view->width) + "x" +
                                     std::to_string(view->height) + " frames: give smaller offsets");
            }
            content.width = view->width;
            content.height = view->height;
        }
        bool areaChanged = false;
        if (automatic) {
            // findContent refuses frames of another size; the area belongs to the first frame's.
            if (view->width != content.width || view->height != content.height)
                throw InputError("the frame size changes at frame " + std::to_string(frame) +
                                 ": the active area cannot be found; give --active-area full");
            content.merge(findContent(*view));
            const ActiveArea grown = content.activeArea();
            areaChanged = frame > 0 && grown != area_;
            area_ = grown;
            if (areaChanged) {
                lastGrowth = frame;
                // Everything before was measured inside a smaller area: the second pass measures it again.
                segments_.clear();
            }
        }
        const std::optional<FrameRecord> measured = measureFrame(*view, frame, frame > 0 ? &before : nullptr, signature);
        if (!measured)
            break;
        const FrameRecord& record = *measured;
        const bool candidate = frame > 0 && record.sceneDistance >= options_.sceneThreshold;
        addToSegments(segments_, frame, areaChanged || cutter.isPossibleCut(frame, candidate));
        if (areaChanged)
            lastGrowthSignature = signature;
        before = signature;
        records_.push_back(record);
        framesRead_ = frame + 1;
        if (!automatic) {
            cutter.add(frame, candidate);
            // Rows wait only until their scene is decided.
            for (; emitted < cutter.decidedBefore() && emitted < framesRead_; ++emitted) {
                const std::vector<long long>& cuts = cutter.cuts();
                records_[emitted].numbers.scene =
                    std::upper_bound(cuts.begin(), cuts.end(), emitted) - cuts.begin() - 1;
                sink(records_[emitted]);
            }
        }
        if (progress)
            progress(1, framesRead_, framesExpected);
    }

    if (automatic && lastGrowth > 0) {
        for (long long frame = 0; frame < lastGrowth; ++frame)
            records_[frame].final = false;
        if (!clip_.stopped())
            secondPass(lastGrowth, lastGrowthSignature, progress);
        else
            secondPassFailure_ = "stopped before the second pass";
    }
    if (automatic) {
        for (const FrameRecord& record : records_)
            if (record.final)
                cutter.add(record.numbers.frame, record.numbers.frame > 0 &&
                                                     record.sceneDistance >= options_.sceneThreshold);
    }
    cutter.finish(framesRead_);
    for (const FrameRecord& record : records_)
        framesLeftOut_ += record.final ? 0 : 1;
    assignScenes(cutter, sink);
    if (!automatic)
        for (; emitted < framesRead_; ++emitted)
            sink(records_[emitted]);
}

void ClipMeasurement::secondPass(long long firstFinalFrame, const SceneSignature& firstFinalSignature,
                                 const ProgressSink& progress)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<Segment> segments;
    SceneCutter possibleCuts(options_.minSceneFrames, options_.sceneCuts);
    SceneSignature before, signature;
    try {
        clip_.rewind();
        for (long long frame = 0; frame < firstFinalFrame; ++frame) {
            const std::optional<FrameView> view = clip_.decode();
            if (!view) {
                if (!clip_.stopped())
                    secondPassFailure_ = "the second pass over " + clip_.facts().inputName + " ended at frame " +
                                         std::to_string(frame) + " of " + std::to_string(firstFinalFrame) +
                                         (clip_.failure().empty() ? "" : ": " + clip_.failure());
                break;
            }
            const std::optional<FrameRecord> record =
                measureFrame(*view, frame, frame > 0 ? &before : nullptr, signature);
            if (!record) {
                secondPassFailure_ = "the second pass over " + clip_.facts().inputName + " ended at frame " +
                                     std::to_string(frame) + ": " + clip_.failure();
                break;
            }
            const bool candidate = frame > 0 && record->sceneDistance >= options_.sceneThreshold;
            addToSegments(segments, frame, possibleCuts.isPossibleCut(frame, candidate));
            before = signature;
            records_[frame] = *record;
            ++secondPassFrames_;
            if (progress)
                progress(2, secondPassFrames_, firstFinalFrame);
        }
    } catch (const InputError& error) {
        secondPassFailure_ = error.what();
    }
    if (secondPassFrames_ == firstFinalFrame)
        records_[firstFinalFrame].sceneDistance = signatureDistance(before, firstFinalSignature);
    segments.insert(segments.end(), std::make_move_iterator(segments_.begin()), std::make_move_iterator(segments_.end()));
    segments_ = std::move(segments);
    secondPassSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ClipMeasurement::assignScenes(SceneCutter& cutter, const FrameSink& sink)
{
    const std::vector<long long>& cuts = cutter.cuts();
    std::size_t scene = 0;
    std::size_t segment = 0;
    for (FrameRecord& record : records_) {
        const long long frame = record.numbers.frame;
        while (scene + 1 < cuts.size() && cuts[scene + 1] <= frame)
            ++scene;
        record.numbers.scene = static_cast<long long>(scene);
        if (!record.final)
            continue;
        if (scenes_.empty() || scenes_.back().firstFrame != cuts[scene]) {
            scenes_.push_back({});
            scenes_.back().firstFrame = cuts[scene];
            scenes_.back().smallestPqLight = record.smallestPqLight;
        }
        SceneResult& result = scenes_.back();
        ++result.frameCount;
        result.meanAverageLightNits += record.numbers.averageLightNits;
        result.meanOfMeanPqLight += record.meanPqLight;
        result.smallestPqLight = std::min(result.smallestPqLight, record.smallestPqLight);
        result.largestPqLight = std::max(result.largestPqLight, record.largestPqLight);
        for (; segment < segments_.size() && segments_[segment].firstFrame <= frame; ++segment) {
            if (!result.statistics)
                result.statistics = segments_[segment].statistics;
            else
                result.statistics->merge(segments_[segment].statistics);
        }
        if (options_.area.mode == AreaMode::Auto)
            sink(record);
    }
    for (SceneResult& result : scenes_) {
        result.meanAverageLightNits /= static_cast<double>(result.frameCount);
        result.meanOfMeanPqLight /= static_cast<double>(result.frameCount);
    }
}

}  // namespace hdrmeter::clip
