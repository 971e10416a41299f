#include "video_format.h"

#include <cctype>

namespace hdrmeter::tool {

int VideoFormat::chromaWidth() const
{
    return subsampling == ChromaSubsampling::Yuv444 ? width : (width + 1) / 2;
}

int VideoFormat::chromaHeight() const
{
    return subsampling == ChromaSubsampling::Yuv420 ? (height + 1) / 2 : height;
}

std::size_t VideoFormat::lumaSamples() const
{
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

std::size_t VideoFormat::chromaSamplesPerPlane() const
{
    return static_cast<std::size_t>(chromaWidth()) * static_cast<std::size_t>(chromaHeight());
}

std::size_t VideoFormat::frameSamples() const
{
    return lumaSamples() + 2 * chromaSamplesPerPlane();
}

std::string subsamplingName(ChromaSubsampling subsampling)
{
    switch (subsampling) {
    case ChromaSubsampling::Yuv420:
        return "4:2:0";
    case ChromaSubsampling::Yuv422:
        return "4:2:2";
    case ChromaSubsampling::Yuv444:
        break;
    }
    return "4:4:4";
}

std::string describeFormat(const VideoFormat& format)
{
    return std::to_string(format.width) + "x" + std::to_string(format.height) + " " +
           std::to_string(format.bitDepth) + "-bit " + subsamplingName(format.subsampling);
}

std::string frameSizeProblem(long long width, long long height)
{
    const std::string limit = std::to_string(kMaxFrameDimension);
    if (width < 1 || height < 1)
        return "a frame needs a width and a height of at least 1";
    if (width > kMaxFrameDimension || height > kMaxFrameDimension)
        return "frames wider or taller than " + limit + " pixels are not measured";
    return {};
}

namespace {

bool allDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The bit depth and subsampling the user should ask ffmpeg for instead of an unmeasurable layout.
std::string ffmpegFix(const std::string& subsampling, int bitDepth, bool forY4m)
{
    std::string sub = (subsampling == "420" || subsampling == "444") ? subsampling : "422";
    int depth = bitDepth <= 10 ? 10 : bitDepth <= 12 ? 12 : 16;
    std::string fix = "-pix_fmt yuv" + sub + "p" + std::to_string(depth) + "le";
    return forY4m ? "have ffmpeg write it with " + fix + " -strict -1" : "convert it with ffmpeg " + fix;
}

SampleLayoutLookup refuse(const std::string& reason)
{
    SampleLayoutLookup lookup;
    lookup.refusal = reason;
    return lookup;
}

SampleLayoutLookup supported(const std::string& subsampling, int bitDepth)
{
    SampleLayoutLookup lookup;
    lookup.supported = true;
    lookup.bitDepth = bitDepth;
    lookup.subsampling = subsampling == "420"   ? ChromaSubsampling::Yuv420
                         : subsampling == "422" ? ChromaSubsampling::Yuv422
                                                : ChromaSubsampling::Yuv444;
    return lookup;
}

// Shared by both naming schemes once they are reduced to subsampling, depth and a display name.
SampleLayoutLookup judgeLayout(const std::string& shown, const std::string& subsampling, int bitDepth, bool forY4m)
{
    if (subsampling == "411" || bitDepth == 8)
        return refuse("8-bit input (" + shown + ") is not measured: HDR video needs 10 or more bits; " +
                      ffmpegFix(subsampling, 8, forY4m));
    if (bitDepth != 10 && bitDepth != 12 && bitDepth != 16)
        return refuse(std::to_string(bitDepth) + "-bit input (" + shown +
                      ") is not measured: hdrmeter measures 10, 12 and 16-bit samples; " +
                      ffmpegFix(subsampling, bitDepth, forY4m));
    return supported(subsampling, bitDepth);
}

SampleLayoutLookup refuseMonochrome(const std::string& shown, int bitDepth, bool forY4m)
{
    return refuse("monochrome input (" + shown + ") is not measured: light is measured on Y'CbCr colour; " +
                  ffmpegFix("422", bitDepth, forY4m));
}

}  // namespace

SampleLayoutLookup lookupFfmpegPixelFormat(const std::string& name)
{
    const std::string shown = name;
    if (name.rfind("gray", 0) == 0) {
        std::string rest = name.substr(4);
        int depth = 8;
        if (rest.size() > 2 && allDigits(rest.substr(0, rest.size() - 2)))
            depth = std::stoi(rest.substr(0, rest.size() - 2));
        return refuseMonochrome(shown, depth, false);
    }
    std::string rest;
    bool alpha = false;
    bool fullRangeName = false;
    if (name.rfind("yuva", 0) == 0) {
        alpha = true;
        rest = name.substr(4);
    } else if (name.rfind("yuvj", 0) == 0) {
        fullRangeName = true;
        rest = name.substr(4);
    } else if (name.rfind("yuv", 0) == 0) {
        rest = name.substr(3);
    } else {
        return refuse("unknown pixel format '" + name +
                      "': give an ffmpeg planar name such as yuv420p10le, yuv422p10le or yuv444p12le");
    }
    if (rest.size() < 4 || !allDigits(rest.substr(0, 3)) || rest[3] != 'p')
        return refuse("unknown pixel format '" + name +
                      "': give an ffmpeg planar name such as yuv420p10le, yuv422p10le or yuv444p12le");
    const std::string subsampling = rest.substr(0, 3);
    if (subsampling != "420" && subsampling != "422" && subsampling != "444" && subsampling != "411")
        return refuse("unsupported chroma subsampling in pixel format '" + name + "'; " +
                      ffmpegFix("422", 10, false));
    std::string depthAndOrder = rest.substr(4);
    int depth = 8;
    if (!depthAndOrder.empty()) {
        if (depthAndOrder.size() < 3 || !allDigits(depthAndOrder.substr(0, depthAndOrder.size() - 2)))
            return refuse("unknown pixel format '" + name +
                          "': give an ffmpeg planar name such as yuv420p10le, yuv422p10le or yuv444p12le");
        const std::string order = depthAndOrder.substr(depthAndOrder.size() - 2);
        depth = std::stoi(depthAndOrder.substr(0, depthAndOrder.size() - 2));
        if (order == "be")
            return refuse("big-endian samples (" + name + ") are not read: " + ffmpegFix(subsampling, depth, false));
        if (order != "le")
            return refuse("unknown pixel format '" + name +
                          "': give an ffmpeg planar name such as yuv420p10le, yuv422p10le or yuv444p12le");
    }
    if (alpha)
        return refuse("input with an alpha plane (" + name + ") is not read: " + ffmpegFix(subsampling, depth, false));
    if (fullRangeName)
        return refuse("full-range 8-bit input (" + name + ") is not measured: " + ffmpegFix(subsampling, 8, false));
    return judgeLayout(name, subsampling, depth, false);
}

SampleLayoutLookup lookupY4mColourSpace(const std::string& value)
{
    const std::string shown = "C" + value;
    if (value.rfind("mono", 0) == 0) {
        const std::string depthText = value.substr(4);
        int depth = allDigits(depthText) && depthText.size() <= 2 ? std::stoi(depthText) : 8;
        return refuseMonochrome(shown, depth, true);
    }
    if (value.size() < 3 || !allDigits(value.substr(0, 3)))
        return refuse("unknown colour space in header tag '" + shown + "'");
    const std::string subsampling = value.substr(0, 3);
    if (subsampling != "420" && subsampling != "422" && subsampling != "444" && subsampling != "411")
        return refuse("unknown colour space in header tag '" + shown + "'");
    const std::string rest = value.substr(3);
    if (rest.empty() || rest == "jpeg" || rest == "paldv" || rest == "mpeg2" || rest == "alpha")
        return judgeLayout(shown, subsampling, 8, true);
    if (rest[0] == 'p' && rest.size() <= 3 && allDigits(rest.substr(1)))
        return judgeLayout(shown, subsampling, std::stoi(rest.substr(1)), true);
    return refuse("unknown colour space in header tag '" + shown + "'");
}

}  // namespace hdrmeter::tool
