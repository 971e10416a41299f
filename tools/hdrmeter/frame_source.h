#ifndef HDRMETER_TOOL_FRAME_SOURCE_H
#define HDRMETER_TOOL_FRAME_SOURCE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "video_format.h"

namespace hdrmeter::tool {

struct ReadResult {
    enum class Status {
        Frame,        // a whole frame was read
        EndOfStream,  // the input ended cleanly between frames
        Truncated,    // the input ended inside a frame; problem says which and how much was missing
        Corrupt,      // the input does not continue as a stream of this format; problem says how
    };
    Status status = Status::Frame;
    std::string problem;
};

// Something that yields the frames of one video format, one after the other.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual const VideoFormat& format() const = 0;

    // The number of frames the source will yield, when it can tell in advance (a file, not a pipe).
    virtual std::optional<long long> framesExpected() const = 0;

    // A short name for the summary and the plot: the file name, "standard input" or "demo clip".
    virtual std::string name() const = 0;

    // Reads the next frame into planes in its stored layout (see VideoFormat), resizing planes to
    // format().frameSamples() words when it succeeds.
    virtual ReadResult readFrame(std::vector<std::uint16_t>& planes) = 0;

    // A source whose frames lie in a regular file exactly as they are stored gives the file's descriptor
    // here, and then skipFrame may be used in place of readFrame: it passes over the next frame and says
    // where its planes start in the file, so that they can be mapped instead of copied.
    virtual std::optional<int> mappableDescriptor() const { return std::nullopt; }
    virtual ReadResult skipFrame(std::uint64_t& planesOffset)
    {
        (void)planesOffset;
        return {ReadResult::Status::Corrupt, "this input cannot be mapped"};
    }
};

}  // namespace hdrmeter::tool

#endif
