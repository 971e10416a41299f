#include "frame_pipeline.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace hdrmeter::tool {

FramePipeline::FramePipeline(FrameSource& source, std::size_t frameBufferCount)
    : source_(source), layout_(engineLayoutFor(source.format()))
{
    mapLumaOnly_ = source.format().subsampling == ChromaSubsampling::Yuv420 && layout_.pixelFormat == YCbCr422_A;
    if (!layout_.needsConversion || mapLumaOnly_)
        mappedDescriptor_ = source.mappableDescriptor();
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
    // Unmapped here, on the measuring thread, before the next frame is populated: the process then
    // never holds two mapped frames.
    frame->mapping = MappedFrame();
    if (frame->mappingCopiedManyPages)
        readInsteadOfMapping_ = true;
    frame->mappingCopiedManyPages = false;
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
            result = readNextFrame(*frame, frameIndex);
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

ReadResult FramePipeline::readAt(std::uint64_t offset, std::uint16_t* samples, std::size_t byteCount,
                                 long long frameIndex)
{
    auto* bytes = reinterpret_cast<unsigned char*>(samples);
    std::size_t bytesRead = 0;
    while (bytesRead < byteCount) {
        const ssize_t step =
            pread(*mappedDescriptor_, bytes + bytesRead, byteCount - bytesRead, static_cast<off_t>(offset + bytesRead));
        if (step < 0 && errno == EINTR)
            continue;
        if (step < 0)
            return {ReadResult::Status::Corrupt, "cannot read frame " + std::to_string(frameIndex) + ": " +
                                                     std::strerror(errno)};
        if (step == 0)
            return {ReadResult::Status::Truncated,
                    "the input file shrank while frame " + std::to_string(frameIndex) + " was being read"};
        bytesRead += static_cast<std::size_t>(step);
    }
    return {ReadResult::Status::Frame, {}};
}

ReadResult FramePipeline::readNextFrame(EngineFrame& frame, long long frameIndex)
{
    if (mappedDescriptor_) {
        std::uint64_t offset = 0;
        ReadResult result = source_.skipFrame(offset);
        if (result.status != ReadResult::Status::Frame)
            return result;
        const VideoFormat& format = source_.format();
        const std::size_t storedBytes = format.frameBytes();
        if (offset % alignof(std::uint16_t) == 0 && !readInsteadOfMapping_) {
            const std::size_t lumaBytes = format.lumaSamples() * sizeof(std::uint16_t);
            frame.mapping = MappedFrame(*mappedDescriptor_, offset, mapLumaOnly_ ? lumaBytes : storedBytes);
            frame.mapping.prefetch();
            if (!mapLumaOnly_)
                return result;
            if (!frame.convertedPlanes)
                frame.convertedPlanes.reset(new std::uint16_t[layout_.frameSamples]);
            std::uint16_t* planes = frame.convertedPlanes.get();
            result = readAt(offset + lumaBytes, planes + format.lumaSamples(), storedBytes - lumaBytes, frameIndex);
            if (result.status == ReadResult::Status::Frame)
                expandChromaInPlace(format, planes);
            return result;
        }
        // The engine takes 16-bit words where they lie, so a frame at an odd offset (after a YUV4MPEG2
        // header of odd length) is read into the frame's own buffer, as every frame is once mapping has
        // proved the dearer way.
        frame.convertedPlanes.reset();
        frame.samples.resize(layout_.frameSamples);
        result = readAt(offset, frame.samples.data(), storedBytes, frameIndex);
        if (result.status == ReadResult::Status::Frame && layout_.needsConversion)
            expandToEngineLayout(format, frame.samples);
        return result;
    }
    // Once a whole frame has arrived its size is proven, so the other buffers are sized at once instead of
    // growing step by step through transient copies.
    if (frameIndex > 0 && frame.samples.capacity() < layout_.frameSamples)
        frame.samples.reserve(layout_.frameSamples);
    ReadResult result = source_.readFrame(frame.samples);
    if (result.status == ReadResult::Status::Frame && layout_.needsConversion)
        expandToEngineLayout(source_.format(), frame.samples);
    return result;
}

}  // namespace hdrmeter::tool
