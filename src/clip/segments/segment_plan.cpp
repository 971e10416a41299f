// Where a film can be cut into time segments: on key frames, so that no segment decodes frames it does
// not measure. Only packets are read, never decoded: a few seeks and the last group of pictures.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <hdrmeter/clip.h>

#include "clip_errors.h"
#include "sources/frame_source.h"
#include "sources/image_sequence.h"
#include "libav/libav_container.h"
#include "libav/libav_messages.h"
#include "request_rules.h"

namespace hdrmeter::clip {

namespace {

constexpr AVRational kMicrosecond{1, 1000000};

class PacketReader {
public:
    explicit PacketReader(LibavContainer& container)
        : container_(container), format_(container.format()), packet_(av_packet_alloc())
    {
        if (!packet_)
            throw std::bad_alloc();
    }

    // The next packet of the measured stream with a presentation time; false at the end.
    bool next()
    {
        for (;;) {
            av_packet_unref(packet_.get());
            if (av_read_frame(&format_, packet_.get()) < 0)
                return false;
            if (packet_->stream_index == container_.streamIndex() && packet_->pts != AV_NOPTS_VALUE &&
                !(packet_->flags & AV_PKT_FLAG_DISCARD))
                return true;
        }
    }
    std::int64_t time() const { return packet_->pts; }
    bool keyFrame() const { return packet_->flags & AV_PKT_FLAG_KEY; }

    // To the key frame at or before `ticks`, or near it; false when the container cannot seek there.
    bool seek(std::int64_t ticks)
    {
        return avformat_seek_file(&format_, container_.streamIndex(), INT64_MIN, ticks, ticks, 0) >= 0;
    }

    struct KeyFrame {
        std::int64_t time = 0;
        std::int64_t latestAfter = 0;       // the latest time of the packets read after it
        std::optional<std::int64_t> next;   // the next key frame's time; unset at the end
    };

    // The last key frame at or before `ticks`, found by reading on from a seek to the next key frame after
    // `ticks` (or the end); a seek that lands past it (a transport stream's seeks search decoding times
    // and land near) is made again from further back. Unset when the container cannot seek.
    std::optional<KeyFrame> keyFrameAtOrBefore(std::int64_t ticks, std::int64_t first)
    {
        for (std::int64_t back = 0;; back = std::max<std::int64_t>(1, back * 2)) {
            const std::int64_t from = std::max(ticks - back, first);
            // A transport stream's start is sought by byte: a seek by time may land past its first key frame.
            const bool sought = from == first && container_.facts().container == "mpegts"
                                    ? avformat_seek_file(&format_, container_.streamIndex(), 0, 0, 0,
                                                         AVSEEK_FLAG_BYTE) >= 0
                                    : seek(from);
            if (!sought)
                return std::nullopt;
            std::optional<KeyFrame> found;
            std::optional<std::int64_t> after;
            while (next()) {
                if (keyFrame() && time() > ticks) {
                    after = time();
                    if (found)
                        found->next = time();
                    break;
                }
                if (keyFrame())
                    found = KeyFrame{time(), time(), std::nullopt};
                else if (found)
                    found->latestAfter = std::max(found->latestAfter, time());
            }
            if (found)
                return found;
            if (from == first)
                return KeyFrame{first, first, after};
        }
    }

private:
    LibavContainer& container_;
    AVFormatContext& format_;
    PacketHolder packet_;
};

// A segment holds a frame at least: shorter ones would all fall on the same key frames, and a long film
// would be sought tens of thousands of times for nothing.
void refuseSegmentsShorterThanAFrame(const SegmentPlanRequest& plan, long long totalMicroseconds, double frameSeconds,
                                     const std::string& name)
{
    const double asked =
        plan.segments > 0 ? static_cast<double>(totalMicroseconds) / 1e6 / plan.segments : plan.segmentSeconds;
    if (asked < frameSeconds)
        throw RequestError((plan.segments > 0 ? mention("segments", std::to_string(plan.segments))
                                              : mention("segment_seconds",
                                                        secondsText(std::llround(plan.segmentSeconds * 1e6)))) +
                           " makes segments shorter than a frame (" + secondsText(std::llround(frameSeconds * 1e6)) +
                           " s) of " + name + ": give longer ones");
}

// Every image is a key frame: a segment starts at the frame at or before its target, at that frame's
// time to the microsecond below, which a run at the same rate takes back to that very frame.
std::vector<TimeSegment> planEveryFrame(const SegmentPlanRequest& plan, long long frames, std::pair<int, int> rate)
{
    const int numerator = rate.first, denominator = rate.second;
    const auto microsecondsOf = [&](long long frame) {
        return static_cast<long long>(av_rescale_rnd(frame, static_cast<std::int64_t>(denominator) * 1000000,
                                                     numerator, AV_ROUND_DOWN));
    };
    const long long total = microsecondsOf(frames - 1) + 1;
    refuseSegmentsShorterThanAFrame(plan, total, static_cast<double>(denominator) / numerator, plan.input);
    std::vector<long long> starts{0};
    const auto startAt = [&](long long target) {
        const long long frame = av_rescale_rnd(target, numerator, static_cast<std::int64_t>(denominator) * 1000000,
                                               AV_ROUND_DOWN);
        const long long start = microsecondsOf(frame);
        if (start > starts.back() && start < total)
            starts.push_back(start);
    };
    if (plan.segments > 0) {
        // Counted in frames, so that the segments' lengths differ by a frame at most.
        for (int i = 1; i < plan.segments; ++i) {
            const long long frame = av_rescale_rnd(frames, i, plan.segments, AV_ROUND_NEAR_INF);
            if (microsecondsOf(frame) > starts.back() && microsecondsOf(frame) < total)
                starts.push_back(microsecondsOf(frame));
        }
    } else {
        const auto step = std::max(1LL, static_cast<long long>(std::llround(plan.segmentSeconds * 1e6)));
        for (long long target = step; target < total; target += step)
            startAt(target);
    }
    std::vector<TimeSegment> segments;
    for (std::size_t i = 0; i < starts.size(); ++i)
        segments.push_back({starts[i], i + 1 < starts.size() ? starts[i + 1] : total});
    return segments;
}

}  // namespace

std::vector<TimeSegment> planSegments(const SegmentPlanRequest& plan)
{
    if ((plan.segments > 0) == (plan.segmentSeconds > 0.0))
        throw RequestError("give the number of segments (" + mention("segments", "N") + ", 1 or more) or their length (" +
                           mention("segment_seconds", "S") + ", above 0), one of them");
    if (const std::optional<ImageSequence> sequence = findImageSequence(plan.input))
        return planEveryFrame(plan, sequence->span(), plan.frameRate);
    SourceOptions options;
    options.path = plan.input;
    options.streamIndex = plan.stream;
    options.assetMap = plan.assetMap;
    LibavContainer container(options, nullptr);
    const std::string& name = container.facts().name;
    // A composition's JPEG 2000 frames are each a key frame, at the composition's edit rate.
    if (container.composition()) {
        const SourceFacts& facts = container.facts();
        if (!facts.framesExpected || !facts.frameRate)
            throw InputError(name + " states no duration or edit rate to plan by; measure it whole");
        return planEveryFrame(plan, *facts.framesExpected, *facts.frameRate);
    }
    if (container.headerOnly() || !container.input().regularFile())
        throw InputError(name + " cannot be planned: segments need a file with presentation times that can be "
                                "sought in (mkv, mp4, mov, ts ...), not standard input, YUV4MPEG2 or raw video");
    const AVRational timeBase = container.stream().time_base;
    const auto microsecondsOf = [&](std::int64_t ticks, AVRounding rounding) {
        return static_cast<long long>(av_rescale_q_rnd(ticks, timeBase, kMicrosecond, rounding));
    };
    PacketReader reader(container);

    // The first frame shown is the earliest time before the second key frame; the segments count from it,
    // as a run does.
    std::int64_t first = INT64_MAX;
    for (int keyFrames = 0; reader.next();) {
        if (reader.keyFrame() && ++keyFrames == 2)
            break;
        first = std::min(first, reader.time());
    }
    if (first == INT64_MAX)
        throw InputError(name + " has no video frame with a presentation time to plan by");

    // The last frame's time: from the last key frame the container's duration points to, to the end.
    const AVStream& stream = container.stream();
    std::int64_t lastGuess = first;
    if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0)
        lastGuess = first + stream.duration;
    else if (container.format().duration != AV_NOPTS_VALUE && container.format().duration > 0)
        lastGuess = first + av_rescale_q(container.format().duration, AVRational{1, AV_TIME_BASE}, timeBase);
    // Read from a key frame on, so that no frame of the last group of pictures is passed over.
    const auto lastKey = reader.keyFrameAtOrBefore(std::max(lastGuess, first), first);
    if (!lastKey)
        throw InputError("cannot seek in " + name + " to plan its segments");
    const std::int64_t last = lastKey->latestAfter;
    const long long total = microsecondsOf(last - first, AV_ROUND_DOWN) + 1;

    if (stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0)
        refuseSegmentsShorterThanAFrame(plan, total, 1.0 / av_q2d(stream.avg_frame_rate), name);
    std::vector<long long> targets;
    if (plan.segments > 0) {
        for (int i = 1; i < plan.segments; ++i)
            targets.push_back(static_cast<long long>(static_cast<double>(total) * i / plan.segments));
    } else {
        const auto step = static_cast<long long>(std::llround(plan.segmentSeconds * 1e6));
        for (long long target = std::max(1LL, step); target < total; target += std::max(1LL, step))
            targets.push_back(target);
    }
    // Each start is the key frame at or before its target, to the microsecond at or below its time: no
    // frame before it lies as late, and the key frame itself is not before it.
    std::vector<long long> starts{0};
    std::optional<std::int64_t> nextKey = first;
    for (long long target : targets) {
        const std::int64_t ticks = first + av_rescale_q_rnd(target, kMicrosecond, timeBase, AV_ROUND_DOWN);
        // Targets before the key frame after the last one found fall on that one again.
        if (!nextKey || ticks < *nextKey)
            continue;
        const auto key = reader.keyFrameAtOrBefore(ticks, first);
        if (!key)
            throw InputError("cannot seek in " + name + " to " + secondsText(target) + " s to plan its segments");
        nextKey = key->next;
        const long long start = microsecondsOf(key->time - first, AV_ROUND_DOWN);
        if (start > starts.back() && start < total)
            starts.push_back(start);
    }
    std::vector<TimeSegment> segments;
    for (std::size_t i = 0; i < starts.size(); ++i)
        segments.push_back({starts[i], i + 1 < starts.size() ? starts[i + 1] : total});
    return segments;
}

std::string segmentPlanText(const std::vector<TimeSegment>& segments)
{
    std::string text;
    for (const TimeSegment& segment : segments)
        text += secondsText(segment.startMicroseconds) + " " + secondsText(segment.endMicroseconds) + "\n";
    return text;
}

}  // namespace hdrmeter::clip
