#include "frame_memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "av_compat.h"
#include "packet_tags.h"

namespace hdrmeter::clip {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kPlaneAlignment = 64;  // as av_malloc's, for the decoders' widest vector stores
// Decoders read and write a little past a plane's last row with vector instructions; libavcodec's own
// pools leave 16 + 63 bytes after each plane.
constexpr std::size_t kPlanePadding = 128;

std::size_t roundUp(std::size_t value, std::size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

void unmapBuffer(void* length, std::uint8_t* data)
{
    munmap(data, reinterpret_cast<std::uintptr_t>(length));
}

AVBufferRef* mapBuffer(std::size_t size)
{
    // No huge-page advice: with the kernel's usual "defrag on madvise" policy each fault of an advised
    // range compacts memory first, which cost a 4K run more system time than its 4 KiB faults saved.
    const std::size_t length = roundUp(size, kPage);
    void* const mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto* const buffer = static_cast<std::uint8_t*>(mapped);
    AVBufferRef* const reference = av_buffer_create(buffer, length, unmapBuffer, reinterpret_cast<void*>(length), 0);
    if (!reference)
        munmap(buffer, length);
    return reference;
}

}  // namespace

FrameMemory::~FrameMemory()
{
    release();
}

void FrameMemory::release()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    av_buffer_pool_uninit(&pool_);
    bufferSize_ = 0;
}

void FrameMemory::serve(AVCodecContext& decoder)
{
    if (!(decoder.codec->capabilities & AV_CODEC_CAP_DR1))
        return;
    decoder.get_buffer2 = &FrameMemory::getBuffer;
#if HDRMETER_AV_THREAD_SAFE_CALLBACKS_FIELD
    // Until libavcodec 60 a callback not declared thread-safe is called only from the thread that feeds
    // the decoder, each frame thread waiting for it, and the frames let go are freed only there, later:
    // the pool then needs a frame more. getBuffer is thread-safe; from 60 on that is assumed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    decoder.thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
}

int FrameMemory::getBuffer(AVCodecContext* decoder, AVFrame* frame, int flags)
{
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* const descriptor = av_pix_fmt_desc_get(format);
    if (!descriptor || !(descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) ||
        (descriptor->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)) ||
        frame->width <= 0 || frame->height <= 0)
        return avcodec_default_get_buffer2(decoder, frame, flags);

    // The decoder's own geometry: its block-aligned size, and rows widened together (never one plane
    // alone, which would break 4:2:2 row relations some decoders rely on) until each meets its alignment.
    int width = frame->width;
    int height = frame->height;
    int rowAlignment[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(decoder, &width, &height, rowAlignment);
    int linesizes[4];
    for (;;) {
        const int result = av_image_fill_linesizes(linesizes, format, width);
        if (result < 0)
            return result;
        bool aligned = true;
        for (int i = 0; i < 4; ++i)
            aligned = aligned && (rowAlignment[i] <= 0 || linesizes[i] % rowAlignment[i] == 0);
        if (aligned)
            break;
        width += width & ~(width - 1);
    }
    const std::ptrdiff_t strides[4] = {linesizes[0], linesizes[1], linesizes[2], linesizes[3]};
    std::size_t planeSizes[4];
    const int result = av_image_fill_plane_sizes(planeSizes, format, height, strides);
    if (result < 0)
        return result;
    std::size_t offsets[4] = {};
    std::size_t size = 0;
    for (int i = 0; i < 4; ++i) {
        offsets[i] = size;
        if (planeSizes[i] > 0)
            size = roundUp(size + planeSizes[i] + kPlanePadding, kPlaneAlignment);
    }

    auto* const self = static_cast<FrameMemory*>(PacketTags::ownerOf(*decoder));
    AVBufferRef* buffer = nullptr;
    {
        const std::lock_guard<std::mutex> lock(self->mutex_);
        if (!self->pool_ || size != self->bufferSize_) {
            // Frames of the old geometry still out keep the old pool until the last comes back.
            av_buffer_pool_uninit(&self->pool_);
            self->pool_ = av_buffer_pool_init(size, mapBuffer);
            self->bufferSize_ = self->pool_ ? size : 0;
        }
        if (self->pool_)
            buffer = av_buffer_pool_get(self->pool_);
    }
    if (!buffer)
        return AVERROR(ENOMEM);
    frame->buf[0] = buffer;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = planeSizes[i] > 0 ? buffer->data + offsets[i] : nullptr;
        frame->linesize[i] = planeSizes[i] > 0 ? linesizes[i] : 0;
    }
    frame->extended_data = frame->data;
    return 0;
}

}  // namespace hdrmeter::clip
