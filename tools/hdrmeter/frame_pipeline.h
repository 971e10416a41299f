#ifndef HDRMETER_TOOL_FRAME_PIPELINE_H
#define HDRMETER_TOOL_FRAME_PIPELINE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine_layout.h"
#include "frame_source.h"

namespace hdrmeter::tool {

// A frame laid out as the engine takes it (see engine_layout.h), ready to be measured in place.
struct EngineFrame {
    std::vector<std::uint16_t> samples;
    long long index = 0;
};

// Reads frames on a thread of its own so that reading the next frame overlaps measuring this one.
// A fixed set of frame buffers goes back and forth between the two threads, each read into and
// converted in place, so with two of them the tool holds two frames.
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

    FrameSource& source_;
    EngineLayout layout_;
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
