#ifndef HDRMETER_TOOL_VIDEO_FORMAT_H
#define HDRMETER_TOOL_VIDEO_FORMAT_H

#include <cstddef>
#include <string>

namespace hdrmeter::tool {

enum class ChromaSubsampling { Yuv420, Yuv422, Yuv444 };

// Frames larger than this in either direction are refused before anything is allocated for them.
constexpr long long kMaxFrameDimension = 16384;

// A planar Y'CbCr frame as it is stored in a file or pipe: the luma plane, then Cb, then Cr, each row
// after row without gaps, one 16-bit little-endian word per sample. Subsampled chroma planes are
// rounded up, as ffmpeg stores odd sizes: a 33x17 4:2:0 frame has 17x9 chroma planes.
struct VideoFormat {
    int width = 0;
    int height = 0;
    int bitDepth = 0;
    ChromaSubsampling subsampling = ChromaSubsampling::Yuv422;
    int frameRateNumerator = 0;    // 0 when the stream does not say
    int frameRateDenominator = 0;  // 0 when the stream does not say

    int chromaWidth() const;
    int chromaHeight() const;
    std::size_t lumaSamples() const;
    std::size_t chromaSamplesPerPlane() const;
    std::size_t frameSamples() const;
    std::size_t frameBytes() const { return frameSamples() * 2; }
};

// "1920x1080 10-bit 4:2:2".
std::string describeFormat(const VideoFormat& format);

// "4:2:2".
std::string subsamplingName(ChromaSubsampling subsampling);

// Empty when width and height are usable, else the reason they are not.
std::string frameSizeProblem(long long width, long long height);

// The result of naming a sample layout: either a subsampling and a bit depth the engine can measure,
// or a one-line reason why not that ends with the ffmpeg option that fixes it.
struct SampleLayoutLookup {
    bool supported = false;
    ChromaSubsampling subsampling = ChromaSubsampling::Yuv422;
    int bitDepth = 0;
    std::string refusal;
};

// ffmpeg's pixel format names: yuv420p10le, yuv422p12le, yuv444p16le and their kin.
SampleLayoutLookup lookupFfmpegPixelFormat(const std::string& name);

// The value of a YUV4MPEG2 C tag, without the letter: 420p10, 422p12, 444p16, 420jpeg, mono10...
SampleLayoutLookup lookupY4mColourSpace(const std::string& value);

}  // namespace hdrmeter::tool

#endif
