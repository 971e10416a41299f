// What a decoded stream is, in the analyzer's terms: which pixel formats can be measured where they
// lie, what the colour tags mean, and the static HDR metadata the stream states about itself.
#ifndef HDRMETER_CLIP_STREAM_FORMAT_H
#define HDRMETER_CLIP_STREAM_FORMAT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

struct AVFrame;
struct AVMasteringDisplayMetadata;
struct AVContentLightMetadata;

namespace hdrmeter::clip {

// How a frame's samples reach the analyzer: where they lie, or copied into 16-bit planes first.
enum class SampleCoding {
    Direct,   // 16-bit words in the machine's byte order, the code in their low bits: read where they lie
    Packed,   // codes in the other byte order, packed tighter than a word each, or shifted (x2rgb10):
              // unpacked component by component
    Float,    // R'G'B' signals as floats, 1.0 the top of the signal: rounded to 16-bit full-range codes
    Shifted,  // R'G'B' codes of fewer bits in the top bits of 16-bit words (a 12-bit JPEG 2000 as rgb48):
              // unpacked and shifted down to the codes they are
};

// A pixel format the analyzer can measure (Y'CbCr planar at 10, 12 or 16 bits in the machine's byte
// order; R'G'B' planar or packed at 10 to 16 bits or as floats; an alpha plane ignored), or the one-line
// reason it cannot and what would work.
struct PixelLayout {
    bool accepted = false;
    ColourModel model = ColourModel::YCbCr;
    ChromaLayout layout = ChromaLayout::Yuv420;
    int bitDepth = 0;     // of the codes measured: 16 for floats
    SampleCoding coding = SampleCoding::Direct;
    std::string name;     // ffmpeg's name, "yuv420p10le"
    std::string refusal;  // when not accepted
};
PixelLayout pixelLayoutOf(int avPixelFormat);
// The layout of a stream whose codec states its samples' depth (AVCodecParameters::bits_per_raw_sample,
// 0 when unknown): 16-bit R'G'B' words that hold 10 or 12-bit codes in their top bits, as JPEG 2000's
// decoders hand 12-bit images over, are measured as the codes they hold, not as 16-bit full scale.
PixelLayout pixelLayoutOf(int avPixelFormat, int storedBits);

// R'G'B' masters are full range unless tagged narrow; Y'CbCr is narrow unless tagged full.
SampleRange sampleRangeOf(int avRange, ColourModel model);

// A frame's planes for the analyzer: where they lie when the layout's coding is Direct, otherwise
// unpacked into 16-bit planes this object keeps until the next frame.
class FrameSamples {
public:
    FrameView viewOf(const AVFrame& frame, const PixelLayout& layout);

private:
    std::vector<std::uint16_t> unpacked_;
};

// "4:2:0".
std::string layoutName(ChromaLayout layout);

// A headerless or YUV4MPEG2 input that ends inside a frame, worded the same whichever reader met it:
// "the input ends inside frame 9: only 5912 of its 6912 bytes arrived".
std::string cutFrameReason(long long frame, std::uint64_t arrived, std::uint64_t frameBytes);

// An R'G'B' master has no matrix of its own: its tag is not read, and the matrix that makes its luma
// (and the Y'CbCr encode its HDR10 lines describe) is BT.2020's unless given.
ColourChoice chooseColour(int avTransfer, int avMatrix, std::optional<Transfer> transferOption,
                          std::optional<Matrix> matrixOption, ColourModel model = ColourModel::YCbCr);
SampleRange sampleRangeOf(int avRange);
// "R'G'B' 12-bit full range" or "10-bit 4:2:0 narrow range".
std::string pixelFormatDescription(const StreamFacts& facts);
// "PQ (tagged)", "HLG (" + mention("transfer") + ")", "PQ (untagged, assumed)"; for R'G'B' the matrix
// is named as the luma's.
std::string describeColour(const ColourChoice& colour, ColourModel model = ColourModel::YCbCr);

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
