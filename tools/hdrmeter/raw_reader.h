#ifndef HDRMETER_TOOL_RAW_READER_H
#define HDRMETER_TOOL_RAW_READER_H

#include "frame_source.h"
#include "input_file.h"

namespace hdrmeter::tool {

// Reads headerless planar video whose size and layout the user gives (--size, --pix-fmt): frame after
// frame of Y, Cb and Cr planes, as ffmpeg's rawvideo output writes them.
class RawReader : public FrameSource {
public:
    // Throws InputError when the input is a regular file whose size is not a whole number of frames:
    // that nearly always means a wrong --size or --pix-fmt, and every number measured would be wrong.
    RawReader(InputFile& input, const VideoFormat& format, const std::string& pixelFormatName);

    const VideoFormat& format() const override { return format_; }
    std::optional<long long> framesExpected() const override;
    std::string name() const override { return input_.displayName(); }
    ReadResult readFrame(std::vector<std::uint16_t>& planes) override;
    std::optional<int> mappableDescriptor() const override { return input_.mappableDescriptor(); }
    ReadResult skipFrame(std::uint64_t& planesOffset) override;

private:
    ReadResult endsInsideFrame(std::uint64_t bytesPresent) const;

    InputFile& input_;
    VideoFormat format_;
    long long framesRead_ = 0;
};

}  // namespace hdrmeter::tool

#endif
