// The memory decoded frames live in. libavcodec's own pools zero each new frame buffer in 4 KiB pages:
// at 4K, the few hundred megabytes that a frame-threaded decoder and the frames waiting to be measured
// hold cost tens of thousands of page faults (45,000 of a 4K HEVC run's 67,700) and two passes of zeroing
// before the first frames are out. Here each frame is one anonymous mapping: a fresh mapping is zero
// already, so nothing is cleared by hand, and its pages follow the kernel's huge-page policy.
#ifndef HDRMETER_CLIP_FRAME_MEMORY_H
#define HDRMETER_CLIP_FRAME_MEMORY_H

#include <cstddef>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace hdrmeter::clip {

class FrameMemory {
public:
    FrameMemory() = default;
    ~FrameMemory();  // frames still held keep their buffers until they are let go
    FrameMemory(const FrameMemory&) = delete;
    FrameMemory& operator=(const FrameMemory&) = delete;

    // Makes the decoder take its planar frames from here (others, and decoders that allocate their own,
    // keep libavcodec's). Call before avcodec_open2; free the decoder before this object. The decoder's
    // opaque points at PacketTags owned by this object.
    void serve(AVCodecContext& decoder);
    // Lets the pool go once the decoder is freed: its idle buffers are unmapped now, those still held as
    // they come back.
    void release();

private:
    static int getBuffer(AVCodecContext* decoder, AVFrame* frame, int flags);

    // Frame threads ask for buffers at once; the pool itself is thread-safe, its replacement is not.
    std::mutex mutex_;
    AVBufferPool* pool_ = nullptr;
    std::size_t bufferSize_ = 0;  // of the pool's buffers: a frame that needs another size starts a new pool
};

}  // namespace hdrmeter::clip

#endif
