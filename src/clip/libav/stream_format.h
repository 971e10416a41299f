// What a decoded stream is, in the analyzer's terms: which pixel formats can be measured where they
// lie, what the colour tags mean, and the static HDR metadata the stream states about itself.
#ifndef HDRMETER_CLIP_STREAM_FORMAT_H
#define HDRMETER_CLIP_STREAM_FORMAT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <hdrmeter/clip.h>

struct AVFrame;
struct AVMasteringDisplayMetadata;
struct AVContentLightMetadata;

namespace hdrmeter::clip {

// A pixel format the analyzer reads as it lies (planar Y'CbCr at 10, 12 or 16 bits in the machine's
// byte order, an alpha plane ignored), or the one-line reason it cannot and what would work.
struct PixelLayout {
    bool accepted = false;
    ChromaLayout layout = ChromaLayout::Yuv420;
    int bitDepth = 0;
    std::string name;     // ffmpeg's name, "yuv420p10le"
    std::string refusal;  // when not accepted
};
PixelLayout pixelLayoutOf(int avPixelFormat);

// The frame's planes as they are, no copy: the view lives as long as the frame's buffers.
FrameView frameViewOf(const AVFrame& frame, const PixelLayout& layout);

// "4:2:0".
std::string layoutName(ChromaLayout layout);

// A headerless or YUV4MPEG2 input that ends inside a frame, worded the same whichever reader met it:
// "the input ends inside frame 9: only 5912 of its 6912 bytes arrived".
std::string cutFrameReason(long long frame, std::uint64_t arrived, std::uint64_t frameBytes);

ColourChoice chooseColour(int avTransfer, int avMatrix, std::optional<Transfer> transferOption,
                          std::optional<Matrix> matrixOption);
SampleRange sampleRangeOf(int avRange);
// "PQ (tagged)", "HLG (" + mention("transfer") + ")", "PQ (untagged, assumed)".
std::string describeColour(const ColourChoice& colour);

MasteringDisplay masteringDisplayOf(const AVMasteringDisplayMetadata& metadata);
ContentLightLevel contentLightLevelOf(const AVContentLightMetadata& metadata);
// The light level the frame's side data states (from the codec's messages), if any.
std::optional<ContentLightLevel> lightLevelOf(const AVFrame& frame);
// Takes what the frame's side data states and the metadata does not have yet: the container's word,
// read first, stands.
void takeFrameMetadata(const AVFrame& frame, StaticMetadata& metadata);
// The frame's HDR10+ side data for its first window; unset when it carries none.
std::optional<StatedHdr10Plus> hdr10PlusOf(const AVFrame& frame);

}  // namespace hdrmeter::clip

#endif
