// What a decoded stream is, in the analyzer's terms: which pixel formats can be measured where they
// lie, what the colour tags mean, and the static HDR metadata the stream states about itself.
#ifndef HDRMETER_CLIP_STREAM_FORMAT_H
#define HDRMETER_CLIP_STREAM_FORMAT_H

#include <array>
#include <optional>
#include <string>

#include <hdrmeter/analysis.h>

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

enum class TagOrigin {
    Stream,    // the stream's own tag
    Option,    // --transfer or --matrix
    Assumed,   // the stream has no tag; the default is measured
};

// The transfer and matrix a stream is measured with, from its tags (ffmpeg's AVColorTransferCharacteristic
// and AVColorSpace values) and the user's overrides. refusal is set when the tags say the stream
// cannot be measured as HDR (an SDR transfer, a matrix that is neither BT.2020 nor BT.709); warning
// when an untagged transfer is measured as PQ.
struct ColourChoice {
    Transfer transfer = Transfer::Pq;
    Matrix matrix = Matrix::Bt2020;
    TagOrigin transferOrigin = TagOrigin::Assumed;
    TagOrigin matrixOrigin = TagOrigin::Assumed;
    std::string refusal;
    std::string warning;
};
ColourChoice chooseColour(int avTransfer, int avMatrix, std::optional<Transfer> transferOption,
                          std::optional<Matrix> matrixOption);
SampleRange sampleRangeOf(int avRange);
// "PQ (tagged)", "HLG (--transfer)", "PQ (untagged, assumed)".
std::string describeColour(const ColourChoice& colour);

// Mastering display colour volume: chromaticities as CIE 1931 x, y and luminance in nits. A field the
// stream leaves out stays unset.
struct MasteringDisplay {
    std::optional<std::array<double, 6>> primaries;  // red x, y, green x, y, blue x, y
    std::optional<std::array<double, 2>> whitePoint;
    std::optional<double> minNits;
    std::optional<double> maxNits;
};
struct ContentLightLevel {
    unsigned maxCllNits = 0;
    unsigned maxFallNits = 0;
};
enum class MetadataOrigin { Container, Codec };
struct StaticMetadata {
    std::optional<MasteringDisplay> mastering;
    MetadataOrigin masteringOrigin = MetadataOrigin::Container;
    std::optional<ContentLightLevel> lightLevel;
    MetadataOrigin lightLevelOrigin = MetadataOrigin::Container;
};
MasteringDisplay masteringDisplayOf(const AVMasteringDisplayMetadata& metadata);
ContentLightLevel contentLightLevelOf(const AVContentLightMetadata& metadata);
// Takes what the frame's side data states and the metadata does not have yet: the container's word,
// read first, stands.
void takeFrameMetadata(const AVFrame& frame, StaticMetadata& metadata);

}  // namespace hdrmeter::clip

#endif
