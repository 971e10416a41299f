#include "image_decoders.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
}

#include "libav/stream_format.h"

namespace hdrmeter::clip {

namespace {

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// strerror's text, from a function that may run on several decoders' threads at once.
std::string errorText(int error)
{
    return std::generic_category().message(error);
}

// The image's picture in `frame`, or why there is none: empty when it decoded. `broken` tells that the
// decoder failed on it and should be opened afresh.
std::string decodeImage(const SequenceImage& image, AVCodecContext& decoder, AVPacket& packet, AVFrame& frame,
                        LibavRunLog& log, bool& broken)
{
    const std::unique_ptr<std::FILE, FileClose> file(std::fopen(image.path.c_str(), "rb"));
    if (!file)
        return "cannot read image " + image.path + ": " + errorText(errno);
    long size = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0)
        size = std::ftell(file.get());
    if (size < 0 || size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return "cannot read image " + image.path + ": " + (size < 0 ? errorText(errno) : "it is larger than 2 GiB");
    av_packet_unref(&packet);
    if (av_new_packet(&packet, static_cast<int>(size)) < 0)
        throw std::bad_alloc();
    if (std::fread(packet.data, 1, static_cast<std::size_t>(size), file.get()) != static_cast<std::size_t>(size))
        return "cannot read image " + image.path + ": " + errorText(errno);
    packet.flags |= AV_PKT_FLAG_KEY;
    packet.pts = packet.dts = image.number;
    const auto failed = [&](int error) {
        broken = true;
        return "image " + image.path + " cannot be decoded: " + libavErrorText(error) + log.takeError();
    };
    int result = avcodec_send_packet(&decoder, &packet);
    av_packet_unref(&packet);
    if (result < 0)
        return failed(result);
    result = avcodec_receive_frame(&decoder, &frame);
    if (result < 0)
        return failed(result);
    if (frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT))
        return "image " + image.path + " is damaged: the " + std::string(decoder.codec->name) + " decoder flags it" +
               log.takeError();
    return {};
}

}  // namespace

// One decoder and the images it decodes: firstIndex, then every decoders' count after it. Its slot holds
// one image at a time; it decodes the next only once that one is taken, so that the sequence keeps one
// picture a decoder in memory.
struct ImageDecoders::Lane {
    std::size_t firstIndex = 0;
    CodecContextHolder decoder;
    PacketHolder packet{av_packet_alloc()};
    LibavRunLog log;
    std::thread thread;
    // Under mutex_:
    bool full = false;
    bool stopped = false;  // its thread met an exception and ended
    Decoded decoded;
    std::exception_ptr error;
    std::vector<std::pair<int, std::string>> lines;
    long long linesLeftOut = 0;
};

std::pair<int, int> ImageDecoders::decodersAndThreads()
{
    // Each decoder keeps one picture: four 4K float pictures are 400 MB.
    constexpr int kMostDecoders = 4;
    constexpr int kMostThreads = 16;
    const int cores = std::max(1, av_cpu_count());
    const int decoders = std::min(cores, kMostDecoders);
    return {decoders, std::clamp(cores / decoders, 1, kMostThreads)};
}

ImageDecoders::ImageDecoders(const std::vector<SequenceImage>& images, std::size_t first, std::size_t end,
                             int decoderCount, const OpenDecoder& open, LibavRunLog& runLog)
    : images_(images), first_(first), end_(end), open_(open), runLog_(runLog), nextTaken_(first)
{
    for (int i = 0; i < std::max(1, decoderCount); ++i) {
        auto lane = std::make_unique<Lane>();
        if (!lane->packet)
            throw std::bad_alloc();
        lane->firstIndex = first + static_cast<std::size_t>(i);
        lane->decoder = open_();
        lanes_.push_back(std::move(lane));
    }
    try {
        for (const auto& lane : lanes_)
            lane->thread = std::thread([this, &lane = *lane] { run(lane); });
    } catch (...) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quitting_ = true;
        }
        changed_.notify_all();
        for (const auto& lane : lanes_)
            if (lane->thread.joinable())
                lane->thread.join();
        throw;
    }
}

ImageDecoders::~ImageDecoders()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    for (const auto& lane : lanes_)
        lane->thread.join();
}

void ImageDecoders::run(Lane& lane)
{
    // Lines its decoder writes on this thread, from objects of FFmpeg's own too, are this lane's.
    const LibavRunLog::ThreadScope scope(lane.log);
    const std::size_t step = lanes_.size();
    for (std::size_t index = lane.firstIndex; index < end_; index += step) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return quitting_ || !lane.full; });
            if (quitting_)
                return;
        }
        Decoded decoded;
        std::exception_ptr error;
        try {
            decoded.frame.reset(av_frame_alloc());
            if (!decoded.frame)
                throw std::bad_alloc();
            bool broken = false;
            decoded.damage = decodeImage(images_[index], *lane.decoder, *lane.packet, *decoded.frame, lane.log, broken);
            // A decoder may keep a guess it made of the broken image (OpenJPEG its pixel format): the next
            // image starts from the first image's parameters again.
            if (broken)
                lane.decoder = open_();
            if (!decoded.damage.empty())
                decoded.frame.reset();
        } catch (...) {
            error = std::current_exception();
        }
        long long leftOut = 0;
        std::vector<std::pair<int, std::string>> lines = lane.log.takeLines(leftOut);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            lane.full = true;
            lane.stopped = error != nullptr;
            lane.decoded = std::move(decoded);
            lane.error = error;
            lane.lines = std::move(lines);
            lane.linesLeftOut = leftOut;
        }
        changed_.notify_all();
        if (error)
            return;
    }
}

ImageDecoders::Decoded ImageDecoders::take(std::size_t index)
{
    if (index != nextTaken_ || index >= end_)
        throw std::logic_error("the images of a sequence are taken in order, each once");
    Lane& lane = *lanes_[(index - first_) % lanes_.size()];
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return lane.full || lane.stopped; });
    if (!lane.full)
        std::rethrow_exception(lane.error);  // taken once already; the lane decodes nothing more
    lane.full = false;
    Decoded decoded = std::move(lane.decoded);
    const std::exception_ptr error = lane.error;
    std::vector<std::pair<int, std::string>> lines = std::move(lane.lines);
    const long long leftOut = lane.linesLeftOut;
    lock.unlock();
    changed_.notify_all();
    ++nextTaken_;
    runLog_.addLines(lines, leftOut);
    if (error)
        std::rethrow_exception(error);
    return decoded;
}

}  // namespace hdrmeter::clip
