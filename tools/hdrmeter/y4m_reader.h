#ifndef HDRMETER_TOOL_Y4M_READER_H
#define HDRMETER_TOOL_Y4M_READER_H

#include <string>
#include <vector>

#include "frame_source.h"
#include "input_file.h"

namespace hdrmeter::tool {

// What a YUV4MPEG2 stream header says, once checked.
struct Y4mHeader {
    VideoFormat format;
    std::vector<std::string> warnings;  // things that may make the numbers wrong, said once on standard error
};

// Parses a header line without its final newline, "YUV4MPEG2 W1920 H1080 F25:1 Ip A1:1 C422p10 ...".
// Throws InputError naming the offending tag, or saying what is missing.
Y4mHeader parseY4mHeader(const std::string& line);

// Reads a YUV4MPEG2 stream as ffmpeg writes it: the header line, then for every frame a FRAME line
// (with or without parameters, which are skipped) followed by the Y, Cb and Cr planes.
class Y4mReader : public FrameSource {
public:
    // Reads and checks the header; throws InputError when the input is not a usable YUV4MPEG2 stream.
    explicit Y4mReader(InputFile& input);

    const VideoFormat& format() const override { return header_.format; }
    std::optional<long long> framesExpected() const override;
    std::string name() const override { return input_.displayName(); }
    ReadResult readFrame(std::vector<std::uint16_t>& planes) override;
    std::optional<int> mappableDescriptor() const override { return input_.mappableDescriptor(); }
    ReadResult skipFrame(std::uint64_t& planesOffset) override;

    const std::vector<std::string>& warnings() const { return header_.warnings; }

private:
    ReadResult readFrameLine();
    ReadResult endsInsideFrame(std::uint64_t bytesPresent) const;

    InputFile& input_;
    Y4mHeader header_;
    std::size_t headerBytes_ = 0;
    long long framesRead_ = 0;
};

}  // namespace hdrmeter::tool

#endif
