#include "libav_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

#include <hdrmeter/settings.h>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
}

#include "libav/av_compat.h"
#include "clip_errors.h"
#include "libav/dovi_reading.h"
#include "libav/libav_messages.h"
#include "settings/setting_values.h"

namespace hdrmeter::clip {

namespace {

// What a frame's decode_error_flags and corrupt flag say, for a reason in a message.
std::string frameErrorText(const AVFrame& frame)
{
    std::string text;
    const auto add = [&](bool set, const char* what) {
        if (set)
            text += (text.empty() ? "" : ", ") + std::string(what);
    };
    add(frame.decode_error_flags & FF_DECODE_ERROR_MISSING_REFERENCE, "a reference frame is missing");
    add(frame.decode_error_flags & FF_DECODE_ERROR_INVALID_BITSTREAM, "the bitstream is invalid");
    add(frame.decode_error_flags & FF_DECODE_ERROR_DECODE_SLICES, "slices could not be decoded");
    add(frame.decode_error_flags & FF_DECODE_ERROR_CONCEALMENT_ACTIVE, "errors were concealed");
    add(text.empty(), "flagged as corrupt");
    return text;
}

bool isKeyFrame(const AVFrame& frame)
{
#ifdef AV_FRAME_FLAG_KEY
    return frame.flags & AV_FRAME_FLAG_KEY;
#else
    return frame.key_frame;
#endif
}

bool validRate(AVRational rate)
{
    return rate.num > 0 && rate.den > 0;
}

}  // namespace

// OpenJPEG decoded a 12-bit R'G'B' JPEG 2000 in about half the processor time of FFmpeg's own decoder
// (see docs/performance.md). Both give the same samples for reversible (5/3) streams; for irreversible
// (9/7) ones their wavelet arithmetic differs by a few 16-bit codes.
const AVCodec* decoderFor(AVCodecID codec)
{
    if (codec == AV_CODEC_ID_JPEG2000)
        if (const AVCodec* openJpeg = avcodec_find_decoder_by_name("libopenjpeg"))
            return openJpeg;
    return avcodec_find_decoder(codec);
}

void DecodedPicture::describe(const AVFrame& frame, SourceFrame& out)
{
    out.hdr10Plus = hdr10PlusOf(frame);
    out.lightLevel = lightLevelOf(frame);
    if (frame.format != format_) {
        layout_ = pixelLayoutOf(frame.format, storedBits_);
        format_ = frame.format;
    }
    out.refusal = layout_.refusal;
    out.view = layout_.accepted ? samples_.viewOf(frame, layout_) : FrameView{};
    out.floatSamples = layout_.coding == SampleCoding::Float;
    out.transferTag = frame.color_trc;
    out.matrixTag = frame.colorspace;
    out.primariesTag = frame.color_primaries;
}

CodecContextHolder decoderContextFor(const AVCodecParameters& parameters, const std::string& noDecoder,
                                     const std::string& convertAdvice)
{
    const AVCodec* codec = decoderFor(parameters.codec_id);
    if (!codec)
        throw InputError(noDecoder + " (" + avcodec_get_name(parameters.codec_id) +
                         ") that this FFmpeg cannot decode; " + convertAdvice);
    CodecContextHolder decoder(avcodec_alloc_context3(codec));
    if (!decoder)
        throw std::bad_alloc();
    const int result = avcodec_parameters_to_context(decoder.get(), &parameters);
    if (result < 0)
        throw InputError("cannot set up the " + std::string(codec->name) + " decoder: " + libavErrorText(result));
    return decoder;
}

LibavSource::LibavSource(std::unique_ptr<LibavContainer> container, bool acceptDamaged)
    : container_(std::move(container)), packet_(av_packet_alloc()), frame_(av_frame_alloc()),
      acceptDamaged_(acceptDamaged)
{
    const LibavRunLog::ThreadScope scope(container_->log());
    if (!packet_ || !frame_)
        throw std::bad_alloc();
    decodeInCaller_ = container_->headerOnly();
    metadata_ = container_->metadata();
    // YUV4MPEG2 and raw video keep their frames' order as their only time. Elsewhere a rate that the
    // average over the stream agrees with is taken as constant: a variable-rate stream's frames do not
    // sit on one grid, and numbering them by it would invent gaps.
    const AVStream& stream = container_->stream();
    timeBase_ = stream.time_base;
    frameRate_ = stream.r_frame_rate;
    if (decodeInCaller_) {
        // A frame of these formats is its planes, whole: a shorter packet is a cut.
        frameBytes_ = static_cast<std::uint64_t>(std::max(
            0, av_image_get_buffer_size(static_cast<AVPixelFormat>(stream.codecpar->format), stream.codecpar->width,
                                        stream.codecpar->height, 1)));
        lastPacketEnd_ = avio_tell(container_->format().pb);
    }
    numberByTime_ = !decodeInCaller_ && validRate(timeBase_) && validRate(frameRate_) &&
                    validRate(stream.avg_frame_rate) &&
                    std::fabs(av_q2d(stream.avg_frame_rate) / av_q2d(frameRate_) - 1.0) < 0.01;
    openDecoder();
    const SourceOptions& options = container_->options();
    if (options.start || options.end)
        enterSegment();
}

bool LibavSource::before(std::int64_t timestamp, long long microseconds) const
{
    // Both sides exact: the bound in whole microseconds, the time in the stream's own ticks. Adjacent
    // segments compare a frame with the same bound, so each frame falls in exactly one of them.
    return av_compare_ts(timestamp - *firstTimestamp_, timeBase_, microseconds, AVRational{1, 1000000}) < 0;
}

void LibavSource::enterSegment()
{
    segmented_ = true;
    const SourceOptions& options = container_->options();
    const AVStream& stream = container_->stream();
    segmentFacts_ = container_->facts();
    // Timecodes count frames at the rate the frames are numbered by, so that a timecode names the frame
    // whose number it counts to.
    std::optional<std::pair<int, int>> countingRate;
    if (numberByTime_)
        countingRate = std::make_pair(frameRate_.num, frameRate_.den);
    std::tie(segmentFacts_.startMicroseconds, segmentFacts_.endMicroseconds) =
        segmentBounds(options.start, options.end, countingRate);
    if (validRate(stream.avg_frame_rate)) {
        const double rate = av_q2d(stream.avg_frame_rate);
        const double from = static_cast<double>(segmentFacts_.startMicroseconds.value_or(0)) / 1e6;
        std::optional<long long> frames;
        if (options.end)
            frames = std::llround((static_cast<double>(*segmentFacts_.endMicroseconds) / 1e6 - from) * rate);
        if (segmentFacts_.framesExpected) {
            const long long rest = std::max(0LL, *segmentFacts_.framesExpected - std::llround(from * rate));
            frames = frames ? std::min(*frames, rest) : rest;
        }
        segmentFacts_.framesExpected = frames;
    } else if (options.start) {
        segmentFacts_.framesExpected.reset();
    }
    // A composition's frames are each a key frame, shown in the order they are read: those before the
    // segment are numbered from their packets and never decoded.
    if (options.start && container_->composition()) {
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(container_->stream().codecpar->codec_id);
        passOverPackets_ = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
        framesNumberedAhead_ = passOverPackets_;
    }
    // Without a seekable file the frames before the segment are decoded and passed over as they come.
    if (!options.start || !container_->input().regularFile() || options.replay || container_->composition())
        return;
    // Times count from the first frame's, which only decoding it tells (a container's start time may
    // lie before it).
    const AVFrame* first = decodeNext();
    if (!first)
        return;
    if (first->best_effort_timestamp == AV_NOPTS_VALUE)
        throw InputError("the video of " + name() + " has no presentation times, so " + mention("start") +
                         " cannot find its place; measure it whole");
    firstTimestamp_ = first->best_effort_timestamp;
    // The first tick that before() leaves in the segment: a start between two ticks rounds up, so that the
    // frames numbered ahead are exactly those the segment leaves out.
    const std::int64_t startTicks =
        *firstTimestamp_ + av_rescale_q_rnd(*segmentFacts_.startMicroseconds, AVRational{1, 1000000}, timeBase_,
                                            AV_ROUND_UP);
    const std::optional<std::int64_t> keyPosition = numberFramesBefore(startTicks);
    // The key frame at or before the start: every frame from the start on is decoded from it. A transport
    // stream's seek by time searches its decoding times and lands near, not on, that frame: it is sought
    // at the byte where its packet was read.
    const int sought = byteSeeking() && keyPosition
                           ? avformat_seek_file(&container_->format(), container_->streamIndex(), *keyPosition,
                                                *keyPosition, *keyPosition, AVSEEK_FLAG_BYTE)
                           : avformat_seek_file(&container_->format(), container_->streamIndex(), INT64_MIN,
                                                startTicks, startTicks, 0);
    if (sought < 0)
        throw InputError("cannot seek in " + name() + " to " + secondsText(*segmentFacts_.startMicroseconds) +
                         " s: " + libavErrorText(sought));
    av_frame_unref(frame_.get());
    // The flush waits for the frame threads, so every error met before the seek has been logged by now,
    // and goes with that decoding. Taken after the seek, its older serials would join those of the errors
    // met after it, and the first key frame sent after the older ones would end the newer ones' damage.
    avcodec_flush_buffers(decoder_.get());
    std::string errorBefore;
    std::int64_t firstBefore = -1, lastBefore = -1;
    decoderErrors_->take(firstBefore, lastBefore, errorBefore);
    recoveredAfter_ = -1;
    draining_ = false;
    ended_ = false;
    failure_.clear();
    damagedFrom_.reset();
    damage_.clear();
    lostBefore_.clear();
    decodedDamage_.clear();
}

bool LibavSource::byteSeeking() const
{
    return container_->facts().container == "mpegts";
}

std::optional<std::int64_t> LibavSource::numberFramesBefore(std::int64_t startTicks)
{
    // A whole run numbers each frame from the one before (a time that does not move on is numbered in
    // order), so the segment's first number rests on every frame before it. Their times are in the
    // packets, read without decoding. Packets come in decoding order; once a second key frame at or after
    // the start is read, no later packet can be shown before the start.
    AVFormatContext& format = container_->format();
    const int rewound = byteSeeking() ? avformat_seek_file(&format, container_->streamIndex(), 0, 0, 0, AVSEEK_FLAG_BYTE)
                                      : avformat_seek_file(&format, container_->streamIndex(), INT64_MIN,
                                                           *firstTimestamp_, *firstTimestamp_, 0);
    if (rewound < 0)
        throw InputError("cannot seek in " + name() + " to its start: " + libavErrorText(rewound));
    std::vector<std::int64_t> times;
    std::optional<std::int64_t> keyPosition;
    for (int keyFramesAfter = 0; keyFramesAfter < 2;) {
        if (av_read_frame(&format, packet_.get()) < 0)
            break;
        if (packet_->stream_index == container_->streamIndex() && !(packet_->flags & AV_PKT_FLAG_DISCARD) &&
            packet_->pts != AV_NOPTS_VALUE) {
            const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
            if (packet_->pts < startTicks)
                times.push_back(packet_->pts);
            else if (key)
                ++keyFramesAfter;
            if (key && packet_->pts <= startTicks && packet_->pos >= 0)
                keyPosition = packet_->pos;
        }
        av_packet_unref(packet_.get());
    }
    std::sort(times.begin(), times.end());
    framesNumberedAhead_ = true;
    for (std::int64_t time : times)
        numberFrameBefore(time);
    return keyPosition;
}

void LibavSource::numberFrameBefore(std::int64_t timestamp)
{
    numberBefore_ = nextNumber(timestamp);
}

long long LibavSource::nextNumber(std::int64_t timestamp)
{
    // Each frame is numbered from the one before it, not from the first: a stream whose rate changes (30
    // then 24 frames a second joined in one mkv) keeps one nominal rate in its header, and only a step of
    // about two frames or more at that rate leaves a gap. A time that does not move on is numbered in order.
    long long number = lastNumber_ + 1;
    if (numberByTime_ && timestamp != AV_NOPTS_VALUE) {
        if (!lastNumberedTime_)
            number = std::max<long long>(number, av_rescale_q(timestamp - *firstTimestamp_, timeBase_, av_inv_q(frameRate_)));
        else if (timestamp > *lastNumberedTime_)
            number = lastNumber_ + std::max<long long>(1, av_rescale_q(timestamp - *lastNumberedTime_, timeBase_,
                                                                          av_inv_q(frameRate_)));
        if (!lastNumberedTime_ || timestamp > *lastNumberedTime_)
            lastNumberedTime_ = timestamp;
    }
    lastNumber_ = number;
    return number;
}

LibavSource::~LibavSource()
{
    stopDecoding();
    for (DecodedFrame& decoded : decodedFrames_)
        av_frame_free(&decoded.frame);
    // Closed while its lines are still this run's; after that its address may be another run's.
    decoder_.reset();
    container_->log().disown(&packetTags_);
}

void LibavSource::stopDecoding()
{
    container_->close();
    queueChanged_.notify_all();
    if (decoding_.joinable())
        decoding_.join();
}

const SourceFrame* LibavSource::next()
{
    const LibavRunLog::ThreadScope scope(container_->log());
    const AVFrame* frame = nullptr;
    for (;;) {
        if (endSeen_)
            return nullptr;
        frame = decodeInCaller_ ? decodeNext() : nextDecodedAhead();
        if (!frame) {
            endSeen_ = true;
            return nullptr;
        }
        takeFrameMetadata(*frame, metadata_);
        if (!segmented_)
            break;
        const SourceOptions& options = container_->options();
        const std::int64_t timestamp = frame->best_effort_timestamp;
        if (timestamp == AV_NOPTS_VALUE)
            break;
        if (!firstTimestamp_)
            firstTimestamp_ = timestamp;
        if (options.end && !before(timestamp, *segmentFacts_.endMicroseconds)) {
            // Frames come in presentation order: none after this one belongs to the segment.
            segmentEnded_ = true;
            endSeen_ = true;
            return nullptr;
        }
        if (!options.start || !before(timestamp, *segmentFacts_.startMicroseconds))
            break;
        // Decoded only to reach the segment; numbered unless the packets before the start were.
        if (!framesNumberedAhead_)
            numberFrameBefore(timestamp);
    }
    picture_.describe(*frame, handedOutView_);
    handedOutView_.doviMetadata = carriesDovi(*frame);
    handedOutView_.dolbyVision = doviOf(*frame, handedOutView_.dolbyVision);
    handedOutView_.numberBefore.reset();
    if (segmented_ && framesInSegment_++ == 0)
        handedOutView_.numberBefore = numberBefore_;
    handedOutView_.presentationNumber.reset();
    if (numberByTime_ && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        if (!firstTimestamp_)
            firstTimestamp_ = frame->best_effort_timestamp;
        handedOutView_.presentationNumber = nextNumber(frame->best_effort_timestamp);
    }
    if (decodeInCaller_) {
        handedOutView_.damage.swap(decodedDamage_);
        handedOutView_.lostBefore.swap(lostBefore_);
        lostBefore_.clear();
    }
    return &handedOutView_;
}

const AVFrame* LibavSource::nextDecodedAhead()
{
    if (!decoding_.joinable())
        decoding_ = std::thread(&LibavSource::decodeAhead, this);
    std::unique_lock<std::mutex> lock(queueMutex_);
    queueChanged_.wait(lock, [this] { return !decodedFrames_.empty(); });
    AVFrame* frame = decodedFrames_.front().frame;
    handedOutView_.damage.swap(decodedFrames_.front().damage);
    handedOutView_.lostBefore.swap(decodedFrames_.front().lostBefore);
    decodedFrames_.pop_front();
    lock.unlock();
    queueChanged_.notify_all();
    handedOut_.reset(frame);
    return frame;
}

void LibavSource::decodeAhead()
{
    const LibavRunLog::ThreadScope scope(container_->log());
    // One frame waits here while the caller measures the one before: with the one being measured, the
    // caller holds two frames beyond those the decoder keeps.
    constexpr std::size_t kFramesAhead = 1;
    for (;;) {
        AVFrame* handOver = nullptr;
        try {
            if (decodeNext()) {
                handOver = av_frame_alloc();
                if (!handOver)
                    throw std::bad_alloc();
                av_frame_move_ref(handOver, frame_.get());
            }
        } catch (const std::exception&) {
            if (failure_.empty())
                failure_ = "out of memory while decoding";
            handOver = nullptr;
        }
        std::unique_lock<std::mutex> lock(queueMutex_);
        queueChanged_.wait(lock, [&] { return decodedFrames_.size() < kFramesAhead || container_->closing(); });
        if (container_->closing()) {
            av_frame_free(&handOver);
            return;
        }
        if (handOver)
            decodedFrames_.push_back({handOver, std::move(decodedDamage_), std::move(lostBefore_)});
        else
            decodedFrames_.push_back({});
        lostBefore_.clear();
        lock.unlock();
        queueChanged_.notify_all();
        if (!handOver)
            return;
    }
}

void LibavSource::openDecoder()
{
    decoder_ = decoderContextFor(*container_->stream().codecpar, "the video of " + name() + " is in a codec",
                                 "convert it first, e.g. to FFV1 with ffmpeg -c:v ffv1");
    picture_.setStoredBits(container_->stream().codecpar->bits_per_raw_sample);
    // Frame threads decode the frames after this one while the caller measures it: one a core. Left to
    // itself libavcodec starts one more than there are cores, to keep them busy while a thread waits for
    // another's frame; here the measuring threads take that place, and the extra decoding thread would
    // only contend with them (on 2 cores the HEVC clip took 1.20x decoding alone with it, 1.14x without).
    // Each frame thread holds a frame: past 16, as libavcodec's own choice stops, they would cost memory
    // and gain little.
    constexpr int kMostFrameThreads = 16;
    decoder_->thread_count = std::clamp(av_cpu_count(), 1, kMostFrameThreads);
    decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    decoder_->pkt_timebase = container_->stream().time_base;
    // Checksums are checked, and a decoder that meets damage reports it instead of hiding it; what it
    // reports only in its log is caught there (DecoderErrors), keyed by the packet tags the context's
    // opaque points at.
    decoder_->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    // FFmpeg's TIFF decoder takes any tag it does not know for damage when asked to explode, and the
    // ResolutionUnit that every TIFF writer (FFmpeg's own included) puts in is one of them.
    if (decoder_->codec_id == AV_CODEC_ID_TIFF)
        decoder_->err_recognition &= ~AV_EF_EXPLODE;
    frameMemory_.serve(*decoder_);
    packetTags_.tag(*decoder_, -1);
    decoderErrors_ = std::make_unique<DecoderErrors>(packetTags_);
    container_->log().own(&packetTags_);
    carryPacketSerials(*decoder_);
    const int result = avcodec_open2(decoder_.get(), decoder_->codec, nullptr);
    if (result < 0)
        throw InputError("cannot open the " + std::string(decoder_->codec->name) + " decoder: " + libavErrorText(result));
}

std::unique_ptr<FrameSource> LibavSource::reopen()
{
    // The decoding thread may still be reading ahead, and appending to the copy. Its decoder's frames are
    // let go before the new one allocates its own, so that the two passes never hold both.
    stopDecoding();
    for (DecodedFrame& decoded : decodedFrames_)
        av_frame_free(&decoded.frame);
    decodedFrames_.clear();
    handedOut_.reset();
    av_frame_unref(frame_.get());
    decoder_.reset();
    container_->log().disown(&packetTags_);
    decoderErrors_.reset();
    frameMemory_.release();
    return openFrameSource(container_->reopenOptions(), false, container_->stop());
}

void LibavSource::fail(const std::string& reason)
{
    if (failure_.empty())
        failure_ = reason + container_->log().takeError();
    // Frames the decoder already holds were read whole: drain them before the failure is told.
    if (!draining_) {
        draining_ = true;
        avcodec_send_packet(decoder_.get(), nullptr);
    }
}

void LibavSource::decoderFailed(int error)
{
    if (failure_.empty())
        failure_ = "the decoder cannot decode frame " + std::to_string(framesDecoded_) + ": " + libavErrorText(error) +
                   container_->log().takeError();
    ended_ = true;
}

void LibavSource::noteDamage(std::int64_t firstSerial, std::int64_t lastSerial, std::string what)
{
    if (!damagedFrom_) {
        damagedFrom_ = firstSerial;
        damage_ = std::move(what);
        damageShown_ = false;
    } else {
        damagedFrom_ = std::min(*damagedFrom_, firstSerial);
    }
    // A serial not known means a packet sent so far: only a key frame sent later is past the damage.
    recoveredAfter_ = std::max(recoveredAfter_, lastSerial >= 0 ? lastSerial : nextSerial_ - 1);
}

void LibavSource::takeLoggedDamage()
{
    std::int64_t first = -1, last = -1;
    std::string logged;
    if (decoderErrors_->take(first, last, logged))
        noteDamage(first, last, std::move(logged));
}

void LibavSource::damageFromError(int error)
{
    std::int64_t first = -1, last = -1;
    std::string logged;
    decoderErrors_->take(first, last, logged);
    const std::string what = libavErrorText(error) + (logged.empty() ? "" : " (" + logged + ")");
    noteDamage(first, last, what);
    if (lostBefore_.empty())
        lostBefore_ = what;
}

void LibavSource::judgeDecodedFrame()
{
    decodedDamage_.clear();
    takeLoggedDamage();
    const std::int64_t serial = frameSerialOf(*frame_);
    if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT))
        noteDamage(serial, serial, std::string(decoder_->codec->name) + ": " + frameErrorText(*frame_));
    if (!damagedFrom_)
        return;
    if (isKeyFrame(*frame_) && serial > recoveredAfter_) {
        damagedFrom_.reset();
        damage_.clear();
        return;
    }
    if (serial >= *damagedFrom_) {
        decodedDamage_ = damage_;
        damageShown_ = true;
    }
}

std::string LibavSource::cutShortReason() const
{
    const AVFormatContext& format = container_->format();
    const std::string frame = "frame " + std::to_string(framesDecoded_);
    if (container_->headerOnly()) {
        // The bytes read past the last whole frame, less YUV4MPEG2's FRAME line.
        const std::int64_t position = avio_tell(format.pb);
        const std::int64_t frameLine = container_->facts().container == "yuv4mpegpipe" ? 6 : 0;
        if (position > lastPacketEnd_)
            return cutFrameReason(framesDecoded_, static_cast<std::uint64_t>(std::max<std::int64_t>(
                                                      0, position - lastPacketEnd_ - frameLine)),
                                  frameBytes_);
        return {};
    }
    const AVStream& stream = container_->stream();
    if (framesDecoded_ == 0 || stream.avg_frame_rate.num <= 0 || stream.avg_frame_rate.den <= 0)
        return {};
    const double statedSeconds = statedVideoSeconds(format, stream);
    const std::int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
    const double reachedSeconds = secondsOf(lastFrameEnd_ - start, stream.time_base);
    const double frameSeconds = 1.0 / av_q2d(stream.avg_frame_rate);
    if (statedSeconds > 0.0 && reachedSeconds + 2.0 * frameSeconds < statedSeconds) {
        char text[160];
        std::snprintf(text, sizeof text, "the video ends at %.2f s of the %.2f s that %s states: it was cut short",
                      reachedSeconds, statedSeconds, container_->facts().container.c_str());
        return text;
    }
    return {};
}

const AVFrame* LibavSource::decodeNext()
{
    while (!ended_) {
        av_frame_unref(frame_.get());
        int result = avcodec_receive_frame(decoder_.get(), frame_.get());
        if (result == 0) {
            judgeDecodedFrame();
            ++framesDecoded_;
            const std::int64_t timestamp = frame_->best_effort_timestamp;
            if (timestamp != AV_NOPTS_VALUE)
                lastFrameEnd_ = std::max(lastFrameEnd_, timestamp + std::max<std::int64_t>(frameDuration(*frame_), 0));
            return frame_.get();
        }
        if (result == AVERROR_EOF || (result == AVERROR(EAGAIN) && draining_)) {
            ended_ = true;
            takeLoggedDamage();
            // Damage that no frame came out to carry: the last frames were lost to it.
            if (failure_.empty() && !stopped_ && !acceptDamaged_ && !lostBefore_.empty())
                failure_ = "the decoder cannot decode the last frames of " + name() + ": " + lostBefore_;
            else if (failure_.empty() && !stopped_ && !acceptDamaged_ && damagedFrom_ && !damageShown_)
                failure_ = "the last frames of " + name() + " are damaged (" + damage_ + ")";
            if (failure_.empty() && !stopped_)
                failure_ = cutShortReason();
            if (failure_.empty() && !stopped_ && framesDecoded_ == 0)
                failure_ = name() + " holds no video frame" + container_->log().takeError();
            return nullptr;
        }
        if (result == AVERROR_INVALIDDATA) {
            damageFromError(result);
            continue;
        }
        if (result != AVERROR(EAGAIN)) {
            // Frames come out in order, errors too: the frames before this one were handed out already,
            // and those after it would be numbered wrongly, so the run ends here.
            decoderFailed(result);
            return nullptr;
        }
        result = av_read_frame(&container_->format(), packet_.get());
        if (result < 0) {
            if (container_->stopRequested()) {
                stopped_ = true;
                ended_ = true;
                return nullptr;
            }
            if (result != AVERROR_EOF) {
                const std::string& readFailure = container_->input().readFailure();
                fail("cannot read " + name() + ": " + (readFailure.empty() ? libavErrorText(result) : readFailure));
            } else if (!draining_) {
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
            }
            continue;
        }
        if (packet_->stream_index != container_->streamIndex()) {
            av_packet_unref(packet_.get());
            continue;
        }
        // The caller reads the numbers only once the first frame of the segment reached it.
        if (passOverPackets_ && packet_->pts != AV_NOPTS_VALUE) {
            if (!firstTimestamp_)
                firstTimestamp_ = packet_->pts;
            if (before(packet_->pts, *segmentFacts_.startMicroseconds)) {
                numberFrameBefore(packet_->pts);
                av_packet_unref(packet_.get());
                continue;
            }
            passOverPackets_ = false;
        }
        if (container_->headerOnly()) {
            if (static_cast<std::uint64_t>(packet_->size) < frameBytes_) {
                const auto arrived = static_cast<std::uint64_t>(packet_->size);
                av_packet_unref(packet_.get());
                fail(cutFrameReason(framesDecoded_, arrived, frameBytes_));
                continue;
            }
            if (packet_->pos >= 0)
                lastPacketEnd_ = packet_->pos + packet_->size;
        }
        packetTags_.tag(*decoder_, nextSerial_);
        setPacketSerial(*decoder_, *packet_, nextSerial_++);
        result = avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        // A packet the decoder cannot decode loses its frame and damages those predicted from it; the
        // frames that come out show it, and their times the gap.
        if (result == AVERROR_INVALIDDATA)
            damageFromError(result);
        else if (result < 0 && result != AVERROR(EAGAIN)) {
            decoderFailed(result);
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace hdrmeter::clip
