#include "libav_container.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include <hdrmeter/settings.h>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mastering_display_metadata.h>
}

#include "av_compat.h"
#include "composition.h"
#include "clip_errors.h"
#include "files/output_file.h"
#include "dovi_reading.h"
#include "libav_messages.h"
#include "stream_format.h"

namespace hdrmeter::clip {

namespace {

struct DictionaryFree {
    AVDictionary* dictionary = nullptr;
    ~DictionaryFree() { av_dict_free(&dictionary); }
};

}  // namespace

double secondsOf(std::int64_t value, AVRational timeBase)
{
    return static_cast<double>(value) * av_q2d(timeBase);
}

double statedVideoSeconds(const AVFormatContext& format, const AVStream& stream)
{
    if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0)
        return secondsOf(stream.duration, stream.time_base);
    if (const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "DURATION", nullptr, 0)) {
        int hours = 0, minutes = 0;
        double seconds = 0.0;
        if (std::sscanf(tag->value, "%d:%d:%lf", &hours, &minutes, &seconds) == 3 && hours >= 0 && minutes >= 0 &&
            seconds >= 0.0)
            return hours * 3600.0 + minutes * 60.0 + seconds;
    }
    if (format.nb_streams == 1 && format.duration != AV_NOPTS_VALUE && format.duration > 0)
        return static_cast<double>(format.duration) / AV_TIME_BASE;
    return 0.0;
}

LibavContainer::LibavContainer(const SourceOptions& options, const StopRequest* stop) : options_(options), stop_(stop)
{
    if (!options_.log)
        options_.log = std::make_shared<LibavRunLog>();
    if (options.replay) {
        copy_ = options.replay;
        input_ = std::make_unique<DescriptorInput>(copy_, stop, &closing_);
    } else {
        if (options.copyStandardInput && options.path == "-")
            copy_ = std::make_shared<InputCopy>();
        input_ = std::make_unique<DescriptorInput>(options.path, stop, &closing_, copy_);
    }
    // A composition's track files are opened by the imf demuxer itself, beside the playlist; the playlist
    // is read through it too, so that it knows where it lies.
    composition_ = !options.raw && !options.replay && options.path != "-" && isCompositionPlaylist(options.path);
    options_.log->own(this);
    try {
        const LibavRunLog::ThreadScope scope(*options_.log);
        const std::string assetMap = composition_ ? assetMapOf(options.path, options.assetMap) : std::string();
        open(assetMap);
        chooseStream();
        describeStream(assetMap);
    } catch (...) {
        // No destructor runs for a container that failed to open, and the log may outlive it (a caller
        // that tries another source with it): its address must not stay this run's.
        format_.reset();
        options_.log->disown(this);
        throw;
    }
}

void LibavContainer::open(const std::string& assetMap)
{
    const std::string& name = input_->name();
    const AVInputFormat* forcedFormat = nullptr;
    DictionaryFree settings;
    if (options_.raw) {
        forcedFormat = av_find_input_format("rawvideo");
        const std::string size = std::to_string(options_.raw->width) + "x" + std::to_string(options_.raw->height);
        if (!forcedFormat || av_dict_set(&settings.dictionary, "video_size", size.c_str(), 0) < 0 ||
            av_dict_set(&settings.dictionary, "pixel_format", options_.raw->pixelFormat.c_str(), 0) < 0)
            throw InputError("this FFmpeg build cannot read raw video");
    }
    if (composition_) {
        forcedFormat = av_find_input_format("imf");
        if (!forcedFormat)
            throw InputError(name + " is an IMF composition playlist, which this FFmpeg cannot read (its imf demuxer "
                                    "came in FFmpeg 5.0): measure the reels' MXF files one by one");
        if (!identityOf(assetMap))
            throw InputError("cannot read the asset map " + assetMap + " of the composition " + name + ": give it with " +
                             mention("assetmap"));
        if (av_dict_set(&settings.dictionary, "assetmaps", assetMap.c_str(), 0) < 0)
            throw std::bad_alloc();
    }
    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        throw std::bad_alloc();
    if (!composition_) {
        context->pb = input_->context();
        context->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    context->interrupt_callback = {&LibavContainer::interrupted, this};
    // Its lines are this run's, whatever other runs the process has going.
    context->opaque = this;
    // On failure avformat_open_input frees the context itself.
    const int opened = avformat_open_input(&context, composition_ ? options_.path.c_str() : nullptr, forcedFormat,
                                           &settings.dictionary);
    if (opened < 0) {
        if (stop_ && stop_->requested())
            throw InputError("stopped before " + name + " could be opened");
        if (input_->bytesRead() == 0 && !composition_)
            throw InputError(name + " is empty: give a video file or pipe a stream into standard input");
        // A demuxer that refuses its input logs why; the code it returns may be a stale errno
        // ("Device or resource busy" for a frame size of 0), so the logged line is the reason.
        const std::string logged = options_.log->takeErrorLine();
        throw InputError("cannot read " + name + " as video: " + (logged.empty() ? libavErrorText(opened) : logged));
    }
    format_.reset(context);
    const std::string demuxer = context->iformat->name;
    headerOnly_ = demuxer == "yuv4mpegpipe" || demuxer == "rawvideo";
    // The header of these formats says everything; probing would read frames ahead, and wait for them on a
    // pipe whose producer is slow.
    if (!headerOnly_) {
        const int found = avformat_find_stream_info(context, nullptr);
        if (found < 0)
            throw InputError("cannot read the streams of " + name + ": " + libavErrorText(found));
    }
}

void LibavContainer::chooseStream()
{
    const std::string& name = input_->name();
    AVFormatContext* const context = format_.get();
    if (options_.streamIndex) {
        const int index = *options_.streamIndex;
        if (index < 0 || static_cast<unsigned>(index) >= context->nb_streams)
            throw InputError(name + " has no stream " + std::to_string(index) + " (it has " +
                             std::to_string(context->nb_streams) + ")");
        if (context->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            throw InputError("stream " + std::to_string(index) + " of " + name + " is not video; leave out " +
                             mention("stream") + " to take the first video stream");
        streamIndex_ = index;
    } else {
        for (unsigned i = 0; i < context->nb_streams && streamIndex_ < 0; ++i) {
            const AVStream* stream = context->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                streamIndex_ = static_cast<int>(i);
        }
        if (streamIndex_ < 0)
            throw InputError(name + " has no video stream");
    }
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (static_cast<int>(i) != streamIndex_)
            context->streams[i]->discard = AVDISCARD_ALL;
}

void LibavContainer::describeStream(const std::string& assetMap)
{
    AVFormatContext* const context = format_.get();
    AVStream* stream = context->streams[streamIndex_];
    // The imf demuxer states the composition's edit rate, not its average: frames are at that rate, one
    // an edit unit.
    if (composition_ && stream->avg_frame_rate.num <= 0 && stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0)
        stream->avg_frame_rate = stream->r_frame_rate;
    std::size_t sideBytes = 0;
    const std::uint8_t* side = streamSideData(*stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sideBytes);
    if (side && sideBytes >= sizeof(AVMasteringDisplayMetadata))
        metadata_.mastering = masteringDisplayOf(*reinterpret_cast<const AVMasteringDisplayMetadata*>(side));
    side = streamSideData(*stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sideBytes);
    if (side && sideBytes >= sizeof(AVContentLightMetadata))
        metadata_.lightLevel = contentLightLevelOf(*reinterpret_cast<const AVContentLightMetadata*>(side));

    facts_.name = input_->name();
    facts_.container = context->iformat->name;
    if (composition_) {
        const Composition composition = readComposition(options_.path, assetMap);
        std::string reels;
        for (std::size_t i = 0; i < composition.reels.size(); ++i)
            reels += (i == 0 ? "" : i + 1 == composition.reels.size() ? " and " : ", ") + composition.reels[i];
        facts_.container = "IMF composition \"" + composition.title + "\" of " +
                           std::to_string(composition.reels.size()) +
                           (composition.reels.size() == 1 ? " reel (" : " reels (") + reels + ")";
    }
    facts_.codec = avcodec_get_name(stream->codecpar->codec_id);
    facts_.streamIndex = streamIndex_;
    facts_.doviConfiguration = doviConfigurationOf(*stream);
    facts_.identity = input_->identity();
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        facts_.frameRate = std::make_pair(stream->avg_frame_rate.num, stream->avg_frame_rate.den);
    if (stream->nb_frames > 0) {
        facts_.framesExpected = stream->nb_frames;
    } else if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0) {
        const double seconds = statedVideoSeconds(*context, *stream);
        if (seconds > 0.0)
            facts_.framesExpected = std::llround(seconds * av_q2d(stream->avg_frame_rate));
    }
    const AVCodecParameters* parameters = stream->codecpar;
    if (parameters->format != AV_PIX_FMT_NONE) {
        const PixelLayout layout = pixelLayoutOf(parameters->format);
        if (!layout.accepted)
            throw InputError(layout.refusal);
    }
}

int LibavContainer::interrupted(void* container)
{
    const auto& self = *static_cast<const LibavContainer*>(container);
    return (self.stop_ && self.stop_->requested()) || self.closing_.requested();
}

LibavContainer::~LibavContainer()
{
    // Closed while its lines are still this run's; after that its address may be another run's.
    format_.reset();
    options_.log->disown(this);
}

SourceOptions LibavContainer::reopenOptions() const
{
    if (options_.path == "-" && !copy_)
        throw InputError("standard input cannot be read a second time");
    if (copy_ && !copy_->failure().empty())
        throw InputError(copy_->failure());
    SourceOptions options = options_;
    if (options.path == "-")
        options.replay = copy_;
    return options;
}

}  // namespace hdrmeter::clip
