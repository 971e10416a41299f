#ifndef HDRMETER_TOOL_FRAME_PIPELINE_H
#define HDRMETER_TOOL_FRAME_PIPELINE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine_layout.h"
#include "frame_source.h"
#include "mapped_frame.h"

namespace hdrmeter::tool {

// A frame laid out as the engine takes it (see engine_layout.h), ready to be measured in place.
struct EngineFrame {
    std::vector<std::uint16_t> samples;  // the frame, read into the tool's memory
    MappedFrame mapping;                 // or the stored frame's planes (the luma only, see below), mapped
    // With a mapped frame whose chroma must be converted (4:2:0): a buffer of the engine frame's size
    // holding the converted chroma where the engine reads it. The engine takes the luma from the mapping,
    // so the luma-sized start of this buffer is never touched and never becomes resident.
    std::unique_ptr<std::uint16_t[]> convertedPlanes;
    long long index = 0;
    // Set by the measurement when clamping had to copy so many of a mapped frame's pages that reading
    // frames into buffers is the cheaper way for the rest of the stream.
    bool mappingCopiedManyPages = false;

    std::uint16_t* luma() { return mapping ? mapping.samples() : samples.data(); }
    std::uint16_t* planes()
    {
        if (!mapping)
            return samples.data();
        return convertedPlanes ? convertedPlanes.get() : mapping.samples();
    }
};

// Reads frames on a thread of its own so that reading the next frame overlaps measuring this one.
// A fixed set of frames goes back and forth between the two threads.
//
// When the source's frames lie in a regular file as the engine takes them, a frame is mapped from the
// file, and reading ahead means asking the system to bring the next frame into the page cache: no copy
// is made, and only the frame being measured is resident in the process. 4:2:0 frames have their luma
// mapped in the same way and their chroma read and converted ahead. Otherwise each frame is read into a
// buffer of its own and converted there, so with two frames the tool holds two frames.
//
// Samples that clamping changes make the system copy their page of a mapped frame. The pages copied
// in one frame are copied ahead in the next, before the measuring threads run (see MappedFrame), but
// in video with many samples out of range (a dark scene with noise below black, say) that still costs
// more than reading the frame: measured on the project's 2-core machine, a 4K frame with a quarter of
// its pages copied took 18 ms mapped against 11 ms read. After a frame that copied more than one page
// in 16, the rest of the stream is read into buffers instead.
class FramePipeline {
public:
    explicit FramePipeline(FrameSource& source, std::size_t frameBufferCount = 2);
    ~FramePipeline();
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    // The next frame in stream order, or null once the source has ended; endResult() then says how.
    // The frame stays the caller's until it is handed back with recycle().
    EngineFrame* next();
    void recycle(EngineFrame* frame);

    // How reading ended: EndOfStream, or Truncated or Corrupt with the problem. Valid once next()
    // returned null.
    const ReadResult& endResult() const { return endResult_; }

    // Asks the reader to stop after the frame it is reading and waits for it.
    void stop();

private:
    void readFrames();
    ReadResult readNextFrame(EngineFrame& frame, long long frameIndex);
    // Reads byteCount bytes of the mapped source's file from offset on, by pread.
    ReadResult readAt(std::uint64_t offset, std::uint16_t* samples, std::size_t byteCount, long long frameIndex);

    FrameSource& source_;
    EngineLayout layout_;
    std::optional<int> mappedDescriptor_;  // set when the source's frames can be mapped instead of read
    bool mapLumaOnly_ = false;             // 4:2:0: the chroma is read and converted
    std::atomic<bool> readInsteadOfMapping_{false};
    std::vector<std::unique_ptr<EngineFrame>> frames_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<EngineFrame*> emptyFrames_;
    std::deque<EngineFrame*> readyFrames_;
    bool readerFinished_ = false;
    bool stopRequested_ = false;
    ReadResult endResult_;
    std::thread reader_;
};

}  // namespace hdrmeter::tool

#endif
