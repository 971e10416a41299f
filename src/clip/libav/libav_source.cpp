#include "libav_source.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mastering_display_metadata.h>
}

#include "clip_errors.h"

namespace hdrmeter::clip {

namespace {

struct DictionaryFree {
    AVDictionary* dictionary = nullptr;
    ~DictionaryFree() { av_dict_free(&dictionary); }
};

std::mutex libavMessageMutex;
std::string lastLibavError;

void keepLibavMessage(void* object, int level, const char* format, va_list arguments)
{
    if (level > AV_LOG_ERROR)
        return;
    char text[512];
    int printPrefix = 0;
    av_log_format_line2(object, level, format, arguments, text, sizeof text, &printPrefix);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    const AVClass* objectClass = object ? *static_cast<AVClass**>(object) : nullptr;
    if (objectClass && objectClass->item_name)
        message = std::string(objectClass->item_name(object)) + ": " + message;
    const std::lock_guard<std::mutex> lock(libavMessageMutex);
    lastLibavError = message;
}

// The last error FFmpeg gave, once: the reason a failure adds in brackets.
std::string takeLibavError()
{
    const std::lock_guard<std::mutex> lock(libavMessageMutex);
    std::string message;
    message.swap(lastLibavError);
    return message.empty() ? message : " (" + message + ")";
}

double secondsOf(std::int64_t value, AVRational timeBase)
{
    return static_cast<double>(value) * av_q2d(timeBase);
}

}  // namespace

void keepLibavMessages()
{
    av_log_set_callback(&keepLibavMessage);
}

LibavSource::LibavSource(const SourceOptions& options, const StopRequest* stop)
    : options_(options), stop_(stop), packet_(av_packet_alloc()), frame_(av_frame_alloc())
{
    if (!packet_ || !frame_)
        throw std::bad_alloc();
    if (options.replay) {
        copy_ = options.replay;
        input_ = std::make_unique<DescriptorInput>(copy_, stop, &closing_);
    } else {
        if (options.copyStandardInput && options.path == "-")
            copy_ = std::make_shared<InputCopy>();
        input_ = std::make_unique<DescriptorInput>(options.path, stop, &closing_, copy_);
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        throw std::bad_alloc();
    context->pb = input_->context();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    context->interrupt_callback = {&LibavSource::interrupted, this};

    const AVInputFormat* forcedFormat = nullptr;
    DictionaryFree settings;
    if (options.raw) {
        forcedFormat = av_find_input_format("rawvideo");
        const std::string size = std::to_string(options.raw->width) + "x" + std::to_string(options.raw->height);
        if (!forcedFormat || av_dict_set(&settings.dictionary, "video_size", size.c_str(), 0) < 0 ||
            av_dict_set(&settings.dictionary, "pixel_format", options.raw->pixelFormat.c_str(), 0) < 0)
            throw InputError("this FFmpeg build cannot read raw video");
    }
    // On failure avformat_open_input frees the context itself.
    const int opened = avformat_open_input(&context, nullptr, forcedFormat, &settings.dictionary);
    if (opened < 0) {
        if (stop && stop->requested())
            throw InputError("stopped before " + name() + " could be opened");
        if (input_->bytesRead() == 0)
            throw InputError(name() + " is empty: give a video file or pipe a stream into standard input");
        throw InputError("cannot read " + name() + " as video: " + libavErrorText(opened) + takeLibavError());
    }
    format_.reset(context);
    const std::string demuxer = context->iformat->name;
    headerOnlyFormat_ = demuxer == "yuv4mpegpipe" || demuxer == "rawvideo";
    // The header of these formats says everything; probing would read frames ahead, and wait for them on a
    // pipe whose producer is slow.
    if (!headerOnlyFormat_) {
        const int found = avformat_find_stream_info(context, nullptr);
        if (found < 0)
            throw InputError("cannot read the streams of " + name() + ": " + libavErrorText(found));
    }

    if (options.streamIndex) {
        const int index = *options.streamIndex;
        if (index < 0 || static_cast<unsigned>(index) >= context->nb_streams)
            throw InputError(name() + " has no stream " + std::to_string(index) + " (it has " +
                             std::to_string(context->nb_streams) + ")");
        if (context->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            throw InputError("stream " + std::to_string(index) + " of " + name() + " is not video; leave out --stream "
                                                                                 "to take the first video stream");
        streamIndex_ = index;
    } else {
        for (unsigned i = 0; i < context->nb_streams && streamIndex_ < 0; ++i) {
            const AVStream* stream = context->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                streamIndex_ = static_cast<int>(i);
        }
        if (streamIndex_ < 0)
            throw InputError(name() + " has no video stream");
    }
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (static_cast<int>(i) != streamIndex_)
            context->streams[i]->discard = AVDISCARD_ALL;

    const AVStream* stream = context->streams[streamIndex_];
    std::size_t sideBytes = 0;
    const std::uint8_t* side = av_stream_get_side_data(stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &sideBytes);
    if (side && sideBytes >= sizeof(AVMasteringDisplayMetadata))
        metadata_.mastering = masteringDisplayOf(*reinterpret_cast<const AVMasteringDisplayMetadata*>(side));
    side = av_stream_get_side_data(stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &sideBytes);
    if (side && sideBytes >= sizeof(AVContentLightMetadata))
        metadata_.lightLevel = contentLightLevelOf(*reinterpret_cast<const AVContentLightMetadata*>(side));

    if (stream->nb_frames > 0) {
        framesExpected_ = stream->nb_frames;
    } else if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0) {
        double seconds = 0.0;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
            seconds = secondsOf(stream->duration, stream->time_base);
        else if (context->duration != AV_NOPTS_VALUE && context->duration > 0)
            seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
        if (seconds > 0.0)
            framesExpected_ = std::llround(seconds * av_q2d(stream->avg_frame_rate));
    }
    openDecoder();
    // libavformat copies each frame of these formats into a packet, which costs more than measuring it;
    // from a regular file the frames are mapped instead (see MappedFrames). The header was read above.
    if (headerOnlyFormat_ && input_->regularFile()) {
        mapped_ = std::make_unique<MappedFrames>(input_->descriptor(), demuxer == "yuv4mpegpipe",
                                                 static_cast<std::uint64_t>(avio_tell(context->pb)),
                                                 *stream->codecpar);
        if (!framesExpected_)
            framesExpected_ = mapped_->framesExpected();
    }
}

LibavSource::~LibavSource()
{
    stopDecoding();
    for (AVFrame* frame : decodedFrames_)
        av_frame_free(&frame);
}

void LibavSource::stopDecoding()
{
    closing_.request();
    queueChanged_.notify_all();
    if (decoding_.joinable())
        decoding_.join();
}

int LibavSource::interrupted(void* source)
{
    const auto& self = *static_cast<const LibavSource*>(source);
    return (self.stop_ && self.stop_->requested()) || self.closing_.requested();
}

const AVFrame* LibavSource::next()
{
    if (endSeen_)
        return nullptr;
    if (mapped_) {
        const AVFrame* frame = stop_ && stop_->requested() ? nullptr : mapped_->next();
        if (!frame) {
            endSeen_ = true;
            stopped_ = stop_ && stop_->requested();
            if (failure_.empty() && !stopped_)
                failure_ = !mapped_->failure().empty() ? mapped_->failure()
                           : framesHandedOut_ == 0     ? name() + " holds no video frame"
                                                       : std::string();
            return nullptr;
        }
        ++framesHandedOut_;
        return frame;
    }
    // A YUV4MPEG2 or raw "decoder" only wraps the packet it was given: there is nothing to decode ahead,
    // and handing packets between threads only makes the allocator map fresh memory for each.
    const AVFrame* frame = headerOnlyFormat_ ? decodeNext() : nextDecodedAhead();
    if (!frame) {
        endSeen_ = true;
        return nullptr;
    }
    ++framesHandedOut_;
    takeFrameMetadata(*frame, metadata_);
    return frame;
}

const AVFrame* LibavSource::nextDecodedAhead()
{
    if (!decoding_.joinable())
        decoding_ = std::thread(&LibavSource::decodeAhead, this);
    std::unique_lock<std::mutex> lock(queueMutex_);
    queueChanged_.wait(lock, [this] { return !decodedFrames_.empty(); });
    AVFrame* frame = decodedFrames_.front();
    decodedFrames_.pop_front();
    lock.unlock();
    queueChanged_.notify_all();
    handedOut_.reset(frame);
    return frame;
}

void LibavSource::decodeAhead()
{
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
        queueChanged_.wait(lock, [&] { return decodedFrames_.size() < kFramesAhead || closing_.requested(); });
        if (closing_.requested()) {
            av_frame_free(&handOver);
            return;
        }
        decodedFrames_.push_back(handOver);
        lock.unlock();
        queueChanged_.notify_all();
        if (!handOver)
            return;
    }
}

void LibavSource::openDecoder()
{
    const AVCodecParameters* parameters = format_->streams[streamIndex_]->codecpar;
    if (parameters->format != AV_PIX_FMT_NONE) {
        const PixelLayout layout = pixelLayoutOf(parameters->format);
        if (!layout.accepted)
            throw InputError(layout.refusal);
    }
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        throw InputError("the video of " + name() + " is in a codec (" + avcodec_get_name(parameters->codec_id) +
                         ") that this FFmpeg cannot decode; convert it first, e.g. to FFV1 with ffmpeg -c:v ffv1");
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_)
        throw std::bad_alloc();
    int result = avcodec_parameters_to_context(decoder_.get(), parameters);
    if (result < 0)
        throw InputError("cannot set up the " + std::string(codec->name) + " decoder: " + libavErrorText(result));
    // Frame threads decode the frames after this one while the caller measures it: one a core. Left to
    // itself libavcodec starts one more than there are cores, to keep them busy while a thread waits for
    // another's frame; here the measuring threads take that place, and the extra decoding thread would
    // only contend with them (on 2 cores the HEVC clip took 1.20x decoding alone with it, 1.14x without).
    // Each frame thread holds a frame: past 16, as libavcodec's own choice stops, they would cost memory
    // and gain little.
    constexpr int kMostFrameThreads = 16;
    decoder_->thread_count = std::clamp(av_cpu_count(), 1, kMostFrameThreads);
    decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    decoder_->pkt_timebase = format_->streams[streamIndex_]->time_base;
    // A damaged frame is an error, not something to conceal and measure: checksums are checked and
    // decoders report damage instead of hiding it.
    decoder_->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    frameMemory_.serve(*decoder_);
    result = avcodec_open2(decoder_.get(), codec, nullptr);
    if (result < 0)
        throw InputError("cannot open the " + std::string(codec->name) + " decoder: " + libavErrorText(result));
}

std::string LibavSource::containerName() const
{
    return format_->iformat->name;
}

std::string LibavSource::codecName() const
{
    return avcodec_get_name(format_->streams[streamIndex_]->codecpar->codec_id);
}

std::unique_ptr<LibavSource> LibavSource::reopen()
{
    // The decoding thread may still be reading ahead, and appending to the copy. Its decoder's frames are
    // let go before the new one allocates its own, so that the two passes never hold both.
    stopDecoding();
    for (AVFrame* frame : decodedFrames_)
        av_frame_free(&frame);
    decodedFrames_.clear();
    handedOut_.reset();
    av_frame_unref(frame_.get());
    decoder_.reset();
    frameMemory_.release();
    if (options_.path == "-" && !copy_)
        throw InputError("standard input cannot be read a second time");
    if (copy_ && !copy_->failure().empty())
        throw InputError(copy_->failure());
    SourceOptions options = options_;
    if (options.path == "-")
        options.replay = copy_;
    return std::make_unique<LibavSource>(options, stop_);
}

bool LibavSource::fail(const std::string& reason)
{
    if (failure_.empty())
        failure_ = reason + takeLibavError();
    // Frames the decoder already holds were read whole: drain them before the failure is told.
    if (!draining_) {
        draining_ = true;
        avcodec_send_packet(decoder_.get(), nullptr);
    }
    return true;
}

void LibavSource::decoderFailed(int error)
{
    if (failure_.empty())
        failure_ = "the decoder cannot decode frame " + std::to_string(framesDecoded_) + ": " + libavErrorText(error) +
                   takeLibavError();
    ended_ = true;
}

std::string LibavSource::cutShortReason() const
{
    const std::string frame = "frame " + std::to_string(framesDecoded_);
    if (headerOnlyFormat_) {
        const std::int64_t position = avio_tell(format_->pb);
        if (position > lastPacketEnd_ && framesDecoded_ > 0)
            return "the input ends inside " + frame + ": only " + std::to_string(position - lastPacketEnd_) +
                   " bytes of it arrived";
        return {};
    }
    const AVStream* stream = format_->streams[streamIndex_];
    if (framesDecoded_ == 0 || stream->avg_frame_rate.num <= 0 || stream->avg_frame_rate.den <= 0)
        return {};
    double statedSeconds = 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        statedSeconds = secondsOf(stream->duration, stream->time_base);
    else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0)
        statedSeconds = static_cast<double>(format_->duration) / AV_TIME_BASE;
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const double reachedSeconds = secondsOf(lastFrameEnd_ - start, stream->time_base);
    const double frameSeconds = 1.0 / av_q2d(stream->avg_frame_rate);
    if (statedSeconds > 0.0 && reachedSeconds + 2.0 * frameSeconds < statedSeconds) {
        char text[160];
        std::snprintf(text, sizeof text, "the video ends at %.2f s of the %.2f s that %s states: it was cut short",
                      reachedSeconds, statedSeconds, containerName().c_str());
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
            if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) {
                decoderFailed(AVERROR_INVALIDDATA);
                return nullptr;
            }
            ++framesDecoded_;
            const std::int64_t timestamp = frame_->best_effort_timestamp;
            if (timestamp != AV_NOPTS_VALUE)
                lastFrameEnd_ = std::max(lastFrameEnd_, timestamp + std::max<std::int64_t>(frame_->pkt_duration, 0));
            return frame_.get();
        }
        if (result == AVERROR_EOF || (result == AVERROR(EAGAIN) && draining_)) {
            ended_ = true;
            if (failure_.empty() && !stopped_)
                failure_ = cutShortReason();
            if (failure_.empty() && !stopped_ && framesDecoded_ == 0)
                failure_ = name() + " holds no video frame" + takeLibavError();
            return nullptr;
        }
        if (result != AVERROR(EAGAIN)) {
            // Frames come out in order, errors too: the frames before this one were handed out already,
            // and those after it would be numbered wrongly, so the run ends here.
            decoderFailed(result);
            return nullptr;
        }
        result = av_read_frame(format_.get(), packet_.get());
        if (result < 0) {
            if (stop_ && stop_->requested()) {
                stopped_ = true;
                ended_ = true;
                return nullptr;
            }
            if (result != AVERROR_EOF)
                fail("cannot read " + name() + ": " +
                     (input_->readFailure().empty() ? libavErrorText(result) : input_->readFailure()));
            else if (!draining_) {
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
            }
            continue;
        }
        if (packet_->stream_index != streamIndex_) {
            av_packet_unref(packet_.get());
            continue;
        }
        if (headerOnlyFormat_) {
            if (firstPacketBytes_ == 0)
                firstPacketBytes_ = packet_->size;
            if (packet_->size < firstPacketBytes_) {
                const std::string missing = std::to_string(firstPacketBytes_ - packet_->size);
                av_packet_unref(packet_.get());
                fail("the input ends inside frame " + std::to_string(framesDecoded_) + ": " + missing + " of its " +
                     std::to_string(firstPacketBytes_) + " bytes are missing");
                continue;
            }
            if (packet_->pos >= 0)
                lastPacketEnd_ = packet_->pos + packet_->size;
        }
        result = avcodec_send_packet(decoder_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (result < 0 && result != AVERROR(EAGAIN)) {
            decoderFailed(result);
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace hdrmeter::clip
