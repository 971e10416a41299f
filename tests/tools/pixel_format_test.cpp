#include <gtest/gtest.h>

#include "video_format.h"

using namespace hdrmeter::tool;

TEST(PixelFormatNames, UnmeasurableNamesSayWhyAndHowToFixIt)
{
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"yuv422p", {"8-bit", "-pix_fmt yuv422p10le"}},
        {"yuvj420p", {"8-bit", "-pix_fmt yuv420p10le"}},
        {"yuv411p", {"8-bit", "-pix_fmt yuv422p10le"}},
        {"gray10le", {"monochrome", "-pix_fmt yuv422p10le"}},
        {"gray", {"monochrome"}},
        {"yuv422p10be", {"big-endian", "-pix_fmt yuv422p10le"}},
        {"yuv420p14le", {"14-bit", "-pix_fmt yuv420p16le"}},
        {"yuv444p9le", {"9-bit", "-pix_fmt yuv444p10le"}},
        {"yuva444p10le", {"alpha", "-pix_fmt yuv444p10le"}},
        {"rgb48le", {"unknown pixel format 'rgb48le'"}},
        {"yuv422p10", {"unknown pixel format"}},
        {"yuv440p10le", {"subsampling"}},
        {"", {"unknown pixel format"}},
    };
    for (const auto& [name, parts] : cases) {
        SCOPED_TRACE(name);
        SampleLayoutLookup lookup = lookupFfmpegPixelFormat(name);
        EXPECT_FALSE(lookup.supported);
        for (const std::string& part : parts)
            EXPECT_NE(lookup.refusal.find(part), std::string::npos) << lookup.refusal;
    }
}

TEST(VideoFormat, ChromaPlanesRoundUpLikeFfmpeg)
{
    struct Case {
        int width, height;
        ChromaSubsampling subsampling;
        std::size_t frameBytes;
    };
    const Case cases[] = {
        {33, 17, ChromaSubsampling::Yuv420, 2 * (33 * 17 + 2 * 17 * 9)},
        {33, 17, ChromaSubsampling::Yuv422, 2 * (33 * 17 + 2 * 17 * 17)},
        {33, 17, ChromaSubsampling::Yuv444, 2 * (3 * 33 * 17)},
        {1920, 1080, ChromaSubsampling::Yuv422, 2 * (2 * 1920 * 1080)},
        {1, 1, ChromaSubsampling::Yuv420, 2 * 3},
    };
    for (const Case& c : cases) {
        VideoFormat format;
        format.width = c.width;
        format.height = c.height;
        format.bitDepth = 10;
        format.subsampling = c.subsampling;
        EXPECT_EQ(format.frameBytes(), c.frameBytes) << describeFormat(format);
    }
}
