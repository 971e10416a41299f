#include "clip_measurement.h"

#include <algorithm>
#include <chrono>
#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <tuple>

#include "clip_errors.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

long long pixelsAtLargestLight(const FrameStatistics& statistics)
{
    const std::vector<std::uint64_t>& lights = statistics.lightHistogram();
    for (std::size_t code = lights.size(); code > 0; --code)
        if (lights[code - 1] != 0)
            return static_cast<long long>(lights[code - 1]);
    return 0;
}

}  // namespace

std::size_t nearestRankIndex(double percent, std::size_t count)
{
    if (count == 0)
        return 0;
    const unsigned __int128 millionths = static_cast<unsigned __int128>(std::llround(percent * 1e6));
    const unsigned __int128 whole = 100000000;
    const auto rank = static_cast<std::size_t>((millionths * count + whole - 1) / whole);
    return std::min(std::max<std::size_t>(rank, 1), count) - 1;
}

ClipMeasurement::ClipMeasurement(const MeasureOptions& options, const StopRequest* stop)
    : options_(options), clip_(options.clip, stop), segments_(options.minSceneFrames, options.sceneCuts)
{
}

std::optional<ClipMeasurement::StoredFrame> ClipMeasurement::measureFrame(const FrameView& view, long long frame,
                                                                          const SceneSignature* before,
                                                                          SceneSignature& signature)
{
    std::optional<FrameMeasurement> numbers = clip_.measure(view, area_);
    if (!numbers)
        return std::nullopt;
    StoredFrame stored;
    stored.frame = frame;
    stored.averageLightNits = numbers->averageLightNits;
    stored.largestLightNits = numbers->largestLightNits;
    stored.aboveThresholdPercent = numbers->aboveThresholdPercent;
    stored.top1Nits = numbers->top1Nits;
    stored.top2Nits = numbers->top2Nits;
    stored.bottomNits = numbers->bottomNits;
    lastLumaChecks_ = numbers->lumaChecks;
    stored.damaged = !clip_.lastFrameDamage().empty();
    const FrameStatistics& statistics = clip_.lastStatistics();
    stored.smallestPqLight = statistics.smallestPqLight();
    stored.meanPqLight = statistics.meanPqLight();
    stored.largestPqLight = statistics.largestPqLight();
    stored.robustCode = robustLightCode();
    if (!stored.damaged)
        traceLargestLight(view, frame);
    signature = signatureOf(statistics);
    const double distance = before ? signatureDistance(*before, signature) : 0.0;
    stored.sceneDistance = static_cast<float>(distance);
    stored.candidate = before && distance >= options_.sceneThreshold;
    stored.final = true;
    return stored;
}

void ClipMeasurement::store(std::size_t index, const StoredFrame& frame, const FrameView& view)
{
    if (index < records_.size()) {
        records_[index] = frame;
        if (options_.clip.lumaChecks)
            lumaChecks_[index] = lastLumaChecks_.value_or(LumaChecks{});
        if (index < statedHdr10Plus_.size())
            statedHdr10Plus_[index] = clip_.lastHdr10Plus();
        if (index < statedDolbyVision_.size())
            statedDolbyVision_[index] = clip_.lastDolbyVision();
        return;
    }
    records_.push_back(frame);
    const std::optional<ContentLightLevel>& level = clip_.lastLightLevel();
    const auto sameLevel = [](const std::optional<ContentLightLevel>& a, const std::optional<ContentLightLevel>& b) {
        return a.has_value() == b.has_value() &&
               (!a || (a->maxCllNits == b->maxCllNits && a->maxFallNits == b->maxFallNits));
    };
    if (statedLightLevels_.empty() ? level.has_value() : !sameLevel(statedLightLevels_.back().second, level))
        statedLightLevels_.emplace_back(index, level);
    if (clip_.lastHdr10Plus() && !statesHdr10Plus_) {
        statesHdr10Plus_ = true;
        statedHdr10Plus_.resize(index);
    }
    if (statesHdr10Plus_)
        statedHdr10Plus_.push_back(clip_.lastHdr10Plus());
    if (clip_.lastDolbyVision() && statedDolbyVision_.empty())
        statedDolbyVision_.resize(index);
    if (clip_.lastDolbyVision() || !statedDolbyVision_.empty())
        statedDolbyVision_.push_back(clip_.lastDolbyVision());
    if (options_.clip.lumaChecks)
        lumaChecks_.push_back(lastLumaChecks_.value_or(LumaChecks{}));
    if (sizes_.empty() || sizes_.back().width != view.width || sizes_.back().height != view.height)
        sizes_.push_back({index, view.width, view.height});
}

std::optional<std::array<long long, 4>> ClipMeasurement::areaEdgeFrames() const
{
    if (options_.areaMode != AreaMode::Auto)
        return std::nullopt;
    return steady_.edgeFrames();
}

void ClipMeasurement::keepContent(const ContentBounds& bounds)
{
    const auto same = [](const ContentBounds& a, const ContentBounds& b) {
        return a.anyContent == b.anyContent && a.left == b.left && a.top == b.top && a.right == b.right &&
               a.bottom == b.bottom;
    };
    if (contentRuns_.empty() || !same(contentRuns_.back().bounds, bounds))
        contentRuns_.push_back({records_.size() - 1, bounds});
}

FrameRecord ClipMeasurement::recordOf(std::size_t index, std::size_t& sizeRun, const std::vector<long long>& cuts) const
{
    while (sizeRun + 1 < sizes_.size() && sizes_[sizeRun + 1].firstIndex <= index)
        ++sizeRun;
    const StoredFrame& stored = records_[index];
    FrameRecord record;
    FrameMeasurement& numbers = record.numbers;
    numbers.frame = stored.frame;
    numbers.averageLightNits = stored.averageLightNits;
    numbers.largestLightNits = stored.largestLightNits;
    numbers.aboveThresholdPercent = stored.aboveThresholdPercent;
    numbers.top1Nits = stored.top1Nits;
    numbers.top2Nits = stored.top2Nits;
    numbers.bottomNits = stored.bottomNits;
    if (options_.clip.lumaChecks)
        numbers.lumaChecks = lumaChecks_[index];
    numbers.scene = std::upper_bound(cuts.begin(), cuts.end(), stored.frame) - cuts.begin() - 1;
    record.smallestPqLight = stored.smallestPqLight;
    record.meanPqLight = stored.meanPqLight;
    record.largestPqLight = stored.largestPqLight;
    record.sceneDistance = stored.sceneDistance;
    record.final = stored.final;
    record.damaged = stored.damaged;
    record.width = sizes_[sizeRun].width;
    record.height = sizes_[sizeRun].height;
    record.pixels = static_cast<long long>(record.width - area_.left - area_.right) *
                    (record.height - area_.top - area_.bottom);
    if (index < statedHdr10Plus_.size())
        record.statedHdr10Plus = statedHdr10Plus_[index];
    const auto level = std::upper_bound(statedLightLevels_.begin(), statedLightLevels_.end(), index,
                                        [](std::size_t at, const auto& run) { return at < run.first; });
    if (level != statedLightLevels_.begin())
        record.statedLightLevel = std::prev(level)->second;
    if (index < statedDolbyVision_.size())
        record.statedDolbyVision = statedDolbyVision_[index];
    return record;
}

void ClipMeasurement::forEachFrame(const std::function<void(const FrameRecord&)>& visit) const
{
    std::size_t sizeRun = 0;
    for (std::size_t index = 0; index < records_.size(); ++index)
        if (records_[index].final)
            visit(recordOf(index, sizeRun, cuts_));
}

void ClipMeasurement::addToSegments(SceneSegments& segments, long long frame, bool candidate, bool restart)
{
    if (!options_.sceneStatistics)
        return;
    // A damaged frame still takes its place in the runs, so that scenes line up, but adds no pixels.
    const bool damaged = !clip_.lastFrameDamage().empty();
    segments.add(frame, candidate, damaged ? nullptr : &clip_.lastStatistics(), restart);
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
        return mention("active_area", std::to_string(area_.left) + "," + std::to_string(area_.top) + "," +
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
               mention("active_area", "full") + " to measure each frame in its own size";
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
            ContentBounds frameContent;
            if (automatic || options_.frameContent)
                frameContent = clip_.contentOf(*view, options_.barsTolerance);
            if (options_.frameContent)
                options_.frameContent(records_.size(), frameContent);
            if (automatic) {
                steady_.add(frameContent, frame);
                const ActiveArea grown = steady_.bounds().activeArea();
                areaChanged = index > 0 && grown != area_;
                area_ = grown;
                if (areaChanged) {
                    lastGrowth = records_.size();
                    // Everything before was measured inside a smaller area: the second pass measures it again.
                    segments_.clear();
                }
            }
            const std::optional<StoredFrame> measured =
                measureFrame(*view, frame, index > 0 ? &before : nullptr, signature);
            if (!measured)
                break;
            const bool candidate = measured->candidate;
            addToSegments(segments_, frame, candidate, areaChanged);
            if (areaChanged)
                lastGrowthSignature = signature;
            before = signature;
            if (options_.frameStatistics)
                options_.frameStatistics(records_.size(), clip_.lastStatistics());
            if (options_.statedFrame && clip_.lastHdr10Plus())
                options_.statedFrame(measured->frame, *clip_.lastHdr10Plus(), measured->damaged,
                                     clip_.wholePictureStatistics(*view, area_));
            store(records_.size(), *measured, *view);
            if (automatic) {
                keepContent(frameContent);
            } else {
                cutter.add(frame, candidate);
                // Rows wait only until their scene is decided.
                release(cutter.decidedBefore(), cutter.cuts(), sink);
            }
        } catch (const std::bad_alloc&) {
            if (records_.empty())
                throw;
            fail(frame, "out of memory");
            break;
        } catch (const std::exception& error) {
            if (records_.empty())
                throw;
            fail(frame, error.what());
            break;
        }
        if (progress)
            progress(1, static_cast<long long>(records_.size()), framesExpected);
    }
    // The clip's frames by number, those it lost included.
    const long long frameCount = records_.empty() ? 0 : records_.back().frame + 1;
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
        for (const StoredFrame& stored : records_)
            if (stored.final)
                cutter.add(stored.frame, stored.frame > 0 && stored.candidate);
    cutter.finish(frameCount);
    cuts_ = cutter.cuts();
    // A time segment's first scene begins at its first frame.
    if (!records_.empty() && records_.front().frame > 0) {
        const long long first = records_.front().frame;
        cuts_.erase(cuts_.begin(), std::upper_bound(cuts_.begin(), cuts_.end(), first));
        cuts_.insert(cuts_.begin(), first);
    }
    for (const StoredFrame& stored : records_)
        framesLeftOut_ += stored.final ? 0 : 1;
    release(LLONG_MAX, cuts_, sink);
    collectScenes(cuts_);
    collectRobustPeaks();
}

std::uint16_t ClipMeasurement::robustLightCode()
{
    const FrameStatistics& statistics = clip_.lastStatistics();
    const std::vector<std::uint64_t>& lights = statistics.lightHistogram();
    if (codeNits_.size() != lights.size()) {
        codeNits_.resize(lights.size());
        for (std::size_t code = 0; code < lights.size(); ++code)
            codeNits_[code] = statistics.codeNits(static_cast<int>(code));
    }
    // The rank counted from the top, since the robust percentile lies near it.
    const std::uint64_t pixels = statistics.pixelCount();
    if (pixels == 0)
        return 0;
    const std::uint64_t fromTop = pixels - 1 - nearestRankIndex(options_.robustFramePercent, pixels);
    std::uint64_t above = 0;
    std::size_t code = lights.size();
    while (code > 0) {
        above += lights[--code];
        if (above > fromTop)
            break;
    }
    return static_cast<std::uint16_t>(code);
}

void ClipMeasurement::traceLargestLight(const FrameView& view, long long frame)
{
    const FrameStatistics& statistics = clip_.lastStatistics();
    const double nits = statistics.largestLightNits();
    const bool reaches = trace_ && nits == trace_->nits;
    // The second pass measures a frame again in a larger area: the first pixel may lie in what it adds.
    if (trace_ && (nits < trace_->nits || (reaches && frame > trace_->frame))) {
        if (reaches)
            trace_->mostPixels = std::max(trace_->mostPixels, pixelsAtLargestLight(statistics));
        return;
    }
    PeakTrace trace;
    trace.nits = nits;
    trace.frame = frame;
    trace.pixels = pixelsAtLargestLight(statistics);
    trace.mostPixels = reaches ? std::max(trace_->mostPixels, trace.pixels) : trace.pixels;
    std::tie(trace.x, trace.y) = clip_.firstPixelAtLargestLight(view, area_, nits);
    trace_ = trace;
    // Made whenever the peak moves, since the frame is gone by the time the clip's peak is known; a
    // small picture costs far less than measuring the frame did.
    if (options_.peakPicture) {
        picture_.reset();
        if (view.planes[0] && view.planes[1] && view.planes[2])
            picture_ = peakPictureOf(view, clip_.facts().colour.transfer, clip_.facts().colour.matrix, nits, trace.x,
                                     trace.y);
    }
}

void ClipMeasurement::collectRobustPeaks()
{
    // One list at a time, each its exact size: at the end of a film these are the run's largest.
    std::size_t count = 0;
    for (const StoredFrame& stored : records_)
        count += stored.final && !stored.damaged ? 1 : 0;
    if (count == 0) {
        trace_.reset();
        return;
    }
    const std::size_t rank = nearestRankIndex(options_.robustClipPercent, count);
    const auto nthOf = [&](auto value) {
        std::vector<decltype(value(std::size_t{0}))> values;
        values.reserve(count);
        for (std::size_t index = 0; index < records_.size(); ++index)
            if (records_[index].final && !records_[index].damaged)
                values.push_back(value(index));
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
        return values[rank];
    };
    const std::uint16_t code = nthOf([this](std::size_t index) { return records_[index].robustCode; });
    const double average = nthOf([this](std::size_t index) { return records_[index].averageLightNits; });
    robust_ = RobustPeaks{codeNits_[code], average};
}

void ClipMeasurement::secondPass(std::size_t firstFinal, const SceneSignature& firstFinalSignature,
                                 const ProgressSink& progress)
{
    const long long firstFinalFrame = records_[firstFinal].frame;
    const auto framesToMeasure = static_cast<long long>(firstFinal);
    const auto start = std::chrono::steady_clock::now();
    SceneSegments segments(options_.minSceneFrames, options_.sceneCuts);
    SceneSignature before, signature;
    const std::string endedAt = "the second pass over " + clip_.facts().inputName + " ended at frame ";
    long long frame = 0;
    try {
        clip_.rewind();
        for (std::size_t index = 0; index < firstFinal; ++index) {
            frame = records_[index].frame;
            std::optional<FrameView> view = clip_.decode();
            // The same stream read again numbers its frames the same; should it not, no record is replaced.
            if (view && clip_.lastFrameNumber() != frame) {
                failInSecondPass(frame, endedAt + std::to_string(frame) + ": the frame read again there is numbered " +
                                            std::to_string(clip_.lastFrameNumber()));
                break;
            }
            const std::optional<StoredFrame> record =
                view ? measureFrame(*view, frame, index > 0 ? &before : nullptr, signature) : std::nullopt;
            if (!record) {
                if (clip_.stopped())
                    leftOutReason_ = "stopped during the second pass";
                else
                    failInSecondPass(frame, endedAt + std::to_string(frame) + " of " + std::to_string(firstFinalFrame) +
                                    (clip_.failure().empty() ? "" : ": " + clip_.failure()));
                break;
            }
            const bool candidate = record->candidate;
            addToSegments(segments, frame, candidate, false);
            before = signature;
            store(index, *record, *view);
            if (options_.frameStatistics)
                options_.frameStatistics(index, clip_.lastStatistics());
            ++secondPassFrames_;
            if (progress)
                progress(2, secondPassFrames_, framesToMeasure);
        }
    } catch (const std::bad_alloc&) {
        failInSecondPass(frame, endedAt + std::to_string(frame) + ": out of memory");
    } catch (const std::exception& error) {
        failInSecondPass(frame, endedAt + std::to_string(frame) + ": " + error.what());
    }
    if (leftOutReason_.empty() && secondPassFrames_ < framesToMeasure)
        leftOutReason_ = failure_;
    if (secondPassFrames_ == framesToMeasure) {
        const double distance = signatureDistance(before, firstFinalSignature);
        records_[firstFinal].sceneDistance = static_cast<float>(distance);
        records_[firstFinal].candidate = distance >= options_.sceneThreshold;
    }
    segments.append(std::move(segments_));
    segments_ = std::move(segments);
    secondPassSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ClipMeasurement::release(long long end, const std::vector<long long>& cuts, const FrameSink& sink)
{
    for (; released_ < records_.size() && records_[released_].frame < end; ++released_)
        if (records_[released_].final)
            sink(recordOf(released_, releasedSizeRun_, cuts));
}

void ClipMeasurement::collectScenes(const std::vector<long long>& cuts)
{
    const std::vector<std::optional<SceneDistribution>> distributions = segments_.distributions(cuts);
    // A scene counts its damaged frames, so that per-frame metadata keeps one entry per frame present,
    // but its numbers rest on its other frames only.
    std::vector<long long> cleanFrames;
    std::vector<SteadyArea> sceneContent;
    std::size_t scene = 0, contentRun = 0;
    for (std::size_t index = 0; index < records_.size(); ++index) {
        const StoredFrame& stored = records_[index];
        if (!stored.final)
            continue;
        while (scene + 1 < cuts.size() && cuts[scene + 1] <= stored.frame)
            ++scene;
        if (scenes_.empty() || scenes_.back().firstFrame != cuts[scene]) {
            scenes_.push_back({});
            scenes_.back().firstFrame = cuts[scene];
            scenes_.back().distribution = distributions[scene];
            cleanFrames.push_back(0);
            sceneContent.emplace_back();
        }
        if (!contentRuns_.empty()) {
            while (contentRun + 1 < contentRuns_.size() && contentRuns_[contentRun + 1].firstIndex <= index)
                ++contentRun;
            sceneContent.back().add(contentRuns_[contentRun].bounds, stored.frame);
        }
        SceneResult& result = scenes_.back();
        ++result.frameCount;
        if (!stored.damaged) {
            if (cleanFrames.back()++ == 0)
                result.smallestPqLight = stored.smallestPqLight;
            result.meanAverageLightNits += stored.averageLightNits;
            result.maxCllNits = std::max(result.maxCllNits, stored.largestLightNits);
            result.maxFallNits = std::max(result.maxFallNits, stored.averageLightNits);
            result.meanOfMeanPqLight += stored.meanPqLight;
            result.smallestPqLight = std::min(result.smallestPqLight, stored.smallestPqLight);
            result.largestPqLight = std::max(result.largestPqLight, stored.largestPqLight);
        }
    }
    const ContentBounds clipContent = steady_.bounds();
    for (std::size_t index = 0; index < scenes_.size(); ++index) {
        // A scene of black frames has no content of its own; it lies inside the clip's. So does the part of
        // a scene's own picture past the clip's, which a scene of a frame or two, or one whose frames
        // share no line, can reach.
        ContentBounds own = sceneContent[index].bounds();
        if (own.anyContent && clipContent.anyContent) {
            own.left = std::max(own.left, clipContent.left);
            own.top = std::max(own.top, clipContent.top);
            own.right = std::min(own.right, clipContent.right);
            own.bottom = std::min(own.bottom, clipContent.bottom);
        }
        const bool inside = own.anyContent && own.left < own.right && own.top < own.bottom;
        scenes_[index].area = inside ? own.activeArea() : area_;
        if (cleanFrames[index] == 0)
            continue;
        scenes_[index].meanAverageLightNits /= static_cast<double>(cleanFrames[index]);
        scenes_[index].meanOfMeanPqLight /= static_cast<double>(cleanFrames[index]);
    }
}

}  // namespace hdrmeter::clip
