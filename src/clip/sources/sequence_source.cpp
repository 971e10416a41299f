#include "sequence_source.h"

#include <algorithm>
#include <tuple>

#include <hdrmeter/settings.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "clip_errors.h"
#include "libav/libav_messages.h"
#include "libav_source.h"
#include "settings/setting_values.h"

namespace hdrmeter::clip {

namespace {

// The first frame number at or after a bound in microseconds at `rate` frames a second: a frame exactly
// on it belongs to the segment that starts there, as in a stream.
long long firstFrameAtOrAfter(long long microseconds, std::pair<int, int> rate)
{
    return av_rescale_rnd(microseconds, rate.first, static_cast<std::int64_t>(rate.second) * 1000000, AV_ROUND_UP);
}

}  // namespace

SequenceSource::SequenceSource(ImageSequence sequence, const SourceOptions& options, const StopRequest* stop)
    : sequence_(std::move(sequence)), options_(options), stop_(stop), parameters_(avcodec_parameters_alloc()),
      frame_(av_frame_alloc()), lastDecoded_(av_frame_alloc())
{
    if (!parameters_ || !frame_ || !lastDecoded_)
        throw std::bad_alloc();
    if (!options_.log)
        options_.log = std::make_shared<LibavRunLog>();
    options_.log->own(this);
    try {
        const LibavRunLog::ThreadScope scope(*options_.log);
        prepare();
    } catch (...) {
        // No destructor runs for a source that failed to open, and the log may outlive it: its address
        // must not stay this run's.
        decoders_.reset();
        decoder_.reset();
        options_.log->disown(this);
        throw;
    }
}

void SequenceSource::prepare()
{
    // A first image that is not a picture is a damaged frame like any other: the decoder is chosen from
    // the first few that are, and only a sequence that begins with none of them is refused.
    constexpr std::size_t kImagesTried = 8;
    const auto& images = sequence_.images();
    for (std::size_t i = 0; !decoder_; ++i) {
        try {
            openDecoder(images[i].path);
        } catch (const InputError&) {
            decoder_.reset();
            if (i + 1 == std::min(kImagesTried, images.size()))
                throw;
        }
    }

    const std::pair<int, int> rate = options_.sequenceRate;
    const long long span = sequence_.span();
    std::tie(facts_.startMicroseconds, facts_.endMicroseconds) = segmentBounds(options_.start, options_.end, rate);
    const long long startNumber =
        facts_.startMicroseconds ? std::min(span, firstFrameAtOrAfter(*facts_.startMicroseconds, rate)) : 0;
    endNumber_ = facts_.endMicroseconds ? std::min(span, firstFrameAtOrAfter(*facts_.endMicroseconds, rate)) : span;
    segmented_ = options_.start || options_.end;
    numberBefore_ = startNumber - 1;
    nextNumber_ = startNumber;
    nextImage_ = static_cast<std::size_t>(
        std::lower_bound(images.begin(), images.end(), sequence_.firstNumber() + startNumber,
                         [](const SequenceImage& image, long long number) { return image.number < number; }) -
        images.begin());

    facts_.name = options_.path;
    // Images carry no times: the rate they are reckoned at is said wherever the input is described.
    const std::string rateText =
        rate.second == 1 ? std::to_string(rate.first) : std::to_string(rate.first) + "/" + std::to_string(rate.second);
    facts_.container = "image sequence at " + rateText + " frames a second" +
                       (rate == SourceOptions{}.sequenceRate ? " (the default)" : "");
    facts_.codec = decoder_->codec->name;
    facts_.frameRate = rate;
    facts_.framesExpected = std::max(0LL, endNumber_ - startNumber);

    const auto endImage = std::lower_bound(
        images.begin(), images.end(), sequence_.firstNumber() + endNumber_,
        [](const SequenceImage& image, long long number) { return image.number < number; });
    decoders_ = std::make_unique<ImageDecoders>(
        images, nextImage_, static_cast<std::size_t>(endImage - images.begin()),
        ImageDecoders::decodersAndThreads().first, [this] { return newDecoder(); }, *options_.log);
}

SequenceSource::~SequenceSource()
{
    // Closed while its lines are still this run's; after that its address may be another run's.
    decoders_.reset();
    decoder_.reset();
    options_.log->disown(this);
}

void SequenceSource::openDecoder(const std::string& firstPath)
{
    // The first image tells the codec, size and pixel format: libavformat probes it by its content and
    // its name's extension, as it would a single picture given on its own.
    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        throw std::bad_alloc();
    context->opaque = this;
    const int opened = avformat_open_input(&context, firstPath.c_str(), nullptr, nullptr);
    if (opened < 0)
        throw InputError("cannot read " + firstPath + " of " + options_.path + " as a picture: " +
                         libavErrorText(opened) + options_.log->takeError());
    const FormatContextHolder format(context);
    const int found = avformat_find_stream_info(context, nullptr);
    // A file that only looks like one by its name's extension has no size or pixel format.
    if (found < 0 || context->nb_streams == 0 || context->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
        context->streams[0]->codecpar->format == AV_PIX_FMT_NONE || context->streams[0]->codecpar->width <= 0)
        throw InputError("cannot read " + firstPath + " of " + options_.path +
                         " as a picture: give a sequence of DPX, TIFF, PNG or JPEG 2000 images");
    if (avcodec_parameters_copy(parameters_.get(), context->streams[0]->codecpar) < 0)
        throw std::bad_alloc();
    decoder_.reset();
    decoder_ = newDecoder();
    picture_.setStoredBits(parameters_->bits_per_raw_sample);
}

CodecContextHolder SequenceSource::newDecoder() const
{
    CodecContextHolder decoder = decoderContextFor(*parameters_, "the images of " + options_.path + " are in a codec",
                                                   "convert them first, e.g. to TIFF");
    // Several images are decoded at once, each whole: the cores left over go to each image's slices (a
    // JPEG 2000 image's tiles). Frame threads would hold several images in one decoder and hand errors
    // back late.
    decoder->thread_count = ImageDecoders::decodersAndThreads().second;
    decoder->thread_type = FF_THREAD_SLICE;
    decoder->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    // FFmpeg's TIFF decoder takes the ResolutionUnit tag every TIFF writer puts in for damage when asked
    // to explode.
    if (decoder->codec_id == AV_CODEC_ID_TIFF)
        decoder->err_recognition &= ~AV_EF_EXPLODE;
    const int result = avcodec_open2(decoder.get(), decoder->codec, nullptr);
    if (result < 0)
        throw InputError("cannot open the " + std::string(decoder->codec->name) + " decoder: " + libavErrorText(result));
    if (parameters_->format != AV_PIX_FMT_NONE) {
        const PixelLayout layout = pixelLayoutOf(parameters_->format);
        if (!layout.accepted)
            throw InputError(layout.refusal);
    }
    return decoder;
}

std::string SequenceSource::decode(std::size_t index)
{
    av_frame_unref(frame_.get());
    ImageDecoders::Decoded decoded = decoders_->take(index);
    if (decoded.damage.empty())
        av_frame_move_ref(frame_.get(), decoded.frame.get());
    return decoded.damage;
}

const AVFrame* SequenceSource::standIn(std::size_t from)
{
    if (lastDecoded_->buf[0])
        return lastDecoded_.get();
    // Only its format and size matter: a damaged frame adds no pixel to any statistic.
    const auto& images = sequence_.images();
    for (std::size_t i = from; i < images.size(); ++i) {
        if (images[i].number - sequence_.firstNumber() >= endNumber_)
            break;
        std::string damage = decode(i);
        if (damage.empty()) {
            av_frame_move_ref(lastDecoded_.get(), frame_.get());
            decodedAhead_ = i;
            return lastDecoded_.get();
        }
        failedAhead_[i] = std::move(damage);
    }
    return nullptr;
}

const SourceFrame* SequenceSource::next()
{
    if (ended_)
        return nullptr;
    const LibavRunLog::ThreadScope scope(*options_.log);
    const auto endHere = [this] {
        ended_ = true;
        segmentEnded_ = options_.end && nextNumber_ >= endNumber_ && endNumber_ < sequence_.span();
        return nullptr;
    };
    if (stop_ && stop_->requested()) {
        stopped_ = true;
        return endHere();
    }
    if (nextNumber_ >= endNumber_)
        return endHere();
    const auto& images = sequence_.images();
    const long long imageNumber = images[nextImage_].number - sequence_.firstNumber();
    std::string missing;
    if (imageNumber > nextNumber_) {
        const long long last = std::min(imageNumber, endNumber_) - 1;
        missing = "image " + sequence_.nameOf(sequence_.firstNumber() + nextNumber_) + " is missing (frame " +
                  std::to_string(nextNumber_) +
                  (last > nextNumber_ ? ", and the " + std::to_string(last - nextNumber_) + " after it" : "") + ")";
        if (!options_.acceptDamaged) {
            failure_ = missing + ": put it back, or " + mention("accept_damaged") + " measures through missing images";
            return endHere();
        }
        // Measured through: the frame numbers skip the missing images, and the run counts them as missing.
        nextNumber_ = imageNumber;
        if (nextNumber_ >= endNumber_)
            return endHere();
    }
    const std::size_t index = nextImage_++;
    const long long number = nextNumber_++;
    std::string damage;
    const AVFrame* frame = nullptr;
    if (decodedAhead_ && *decodedAhead_ == index) {
        decodedAhead_.reset();
        frame = lastDecoded_.get();
    } else if (decodedAhead_) {
        damage = std::move(failedAhead_[index]);
        failedAhead_.erase(index);
        frame = lastDecoded_.get();
    } else {
        damage = decode(index);
        if (damage.empty()) {
            av_frame_unref(lastDecoded_.get());
            if (av_frame_ref(lastDecoded_.get(), frame_.get()) < 0)
                throw std::bad_alloc();
            frame = frame_.get();
        } else if (!(frame = standIn(nextImage_))) {
            failure_ = damage + ", nor can any image after it: check the files, or give the sequence's images";
            return endHere();
        }
    }
    handOut(*frame, number);
    handedOutView_.damage = damage;
    handedOutView_.missingBefore = missing;
    return &handedOutView_;
}

void SequenceSource::handOut(const AVFrame& frame, long long number)
{
    takeFrameMetadata(frame, metadata_);
    picture_.describe(frame, handedOutView_);
    handedOutView_.doviMetadata = false;
    handedOutView_.dolbyVision.reset();
    handedOutView_.presentationNumber = number;
    handedOutView_.numberBefore.reset();
    if (segmented_ && !firstHandedOut_)
        handedOutView_.numberBefore = numberBefore_;
    firstHandedOut_ = true;
    handedOutView_.lostBefore.clear();
}

std::unique_ptr<FrameSource> SequenceSource::reopen()
{
    return std::make_unique<SequenceSource>(sequence_, options_, stop_);
}

}  // namespace hdrmeter::clip
