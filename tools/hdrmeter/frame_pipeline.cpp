#include "frame_pipeline.h"

#include <new>

namespace hdrmeter::tool {

FramePipeline::FramePipeline(FrameSource& source, std::size_t frameBufferCount)
    : source_(source), layout_(engineLayoutFor(source.format()))
{
    for (std::size_t i = 0; i < frameBufferCount; ++i) {
        frames_.push_back(std::make_unique<EngineFrame>());
        emptyFrames_.push_back(frames_.back().get());
    }
    reader_ = std::thread(&FramePipeline::readFrames, this);
}

FramePipeline::~FramePipeline()
{
    stop();
}

void FramePipeline::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    changed_.notify_all();
    if (reader_.joinable())
        reader_.join();
}

EngineFrame* FramePipeline::next()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !readyFrames_.empty() || readerFinished_; });
    if (readyFrames_.empty())
        return nullptr;
    EngineFrame* frame = readyFrames_.front();
    readyFrames_.pop_front();
    return frame;
}

void FramePipeline::recycle(EngineFrame* frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        emptyFrames_.push_back(frame);
    }
    changed_.notify_all();
}

void FramePipeline::readFrames()
{
    long long frameIndex = 0;
    ReadResult result;
    for (;;) {
        EngineFrame* frame = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !emptyFrames_.empty() || stopRequested_; });
            if (stopRequested_) {
                result = {ReadResult::Status::EndOfStream, {}};
                break;
            }
            frame = emptyFrames_.front();
            emptyFrames_.pop_front();
        }
        try {
            // Once a whole frame has arrived its size is proven, so the other buffers are sized at once
            // instead of growing step by step through transient copies.
            if (frameIndex > 0 && frame->samples.capacity() < layout_.frameSamples)
                frame->samples.reserve(layout_.frameSamples);
            result = source_.readFrame(frame->samples);
            if (result.status == ReadResult::Status::Frame && layout_.needsConversion)
                expandToEngineLayout(source_.format(), frame->samples);
        } catch (const std::bad_alloc&) {
            result = {ReadResult::Status::Corrupt,
                      "out of memory while reading frame " + std::to_string(frameIndex)};
        } catch (const std::exception& error) {
            result = {ReadResult::Status::Corrupt, error.what()};
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (result.status != ReadResult::Status::Frame) {
            emptyFrames_.push_back(frame);
            break;
        }
        frame->index = frameIndex++;
        readyFrames_.push_back(frame);
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    endResult_ = result;
    readerFinished_ = true;
    changed_.notify_all();
}

}  // namespace hdrmeter::tool
