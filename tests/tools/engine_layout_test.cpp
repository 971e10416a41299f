#include <gtest/gtest.h>

#include "engine_layout.h"

using namespace hdrmeter::tool;

namespace {

// The chroma word the engine reads for pixel (x, y), found the literal way from its documented layout:
// 4:2:2 chroma k serves linear pixels 2k and 2k + 1; 4:4:4 chroma p serves pixel p.
std::uint16_t engineChroma(const std::vector<std::uint16_t>& frame, InputPixelFormat pixelFormat, int plane,
                           std::size_t pixels, std::size_t x, std::size_t y, std::size_t width)
{
    const std::size_t p = y * width + x;
    if (pixelFormat == YCbCr422_A)
        return frame[pixels + plane * (pixels / 2) + p / 2];
    return frame[pixels + plane * pixels + p];
}

// The chroma word the stored frame gives pixel (x, y): 4:2:x chroma covers two columns, and 4:2:0
// chroma two rows.
std::uint16_t storedChroma(const std::vector<std::uint16_t>& stored, const VideoFormat& format, int plane,
                           std::size_t x, std::size_t y)
{
    const std::size_t column = format.subsampling == ChromaSubsampling::Yuv444 ? x : x / 2;
    const std::size_t row = format.subsampling == ChromaSubsampling::Yuv420 ? y / 2 : y;
    return stored[format.lumaSamples() + plane * format.chromaSamplesPerPlane() + row * format.chromaWidth() + column];
}

}  // namespace

TEST(EngineLayout, EveryPixelGetsTheChromaItsStoredFrameGivesIt)
{
    struct Case {
        int width, height;
        ChromaSubsampling subsampling;
        InputPixelFormat expectedFormat;
        bool expectedConversion;
    };
    const Case cases[] = {
        {8, 4, ChromaSubsampling::Yuv422, YCbCr422_A, false}, {8, 4, ChromaSubsampling::Yuv420, YCbCr422_A, true},
        {8, 5, ChromaSubsampling::Yuv420, YCbCr422_A, true},  {8, 4, ChromaSubsampling::Yuv444, YCbCr444_A, false},
        {7, 4, ChromaSubsampling::Yuv422, YCbCr444_A, true},  {7, 5, ChromaSubsampling::Yuv420, YCbCr444_A, true},
        {1, 3, ChromaSubsampling::Yuv420, YCbCr444_A, true},  {7, 3, ChromaSubsampling::Yuv444, YCbCr444_A, false},
    };
    for (const Case& c : cases) {
        VideoFormat format;
        format.width = c.width;
        format.height = c.height;
        format.bitDepth = 10;
        format.subsampling = c.subsampling;
        SCOPED_TRACE(describeFormat(format));
        const EngineLayout layout = engineLayoutFor(format);
        EXPECT_EQ(layout.pixelFormat, c.expectedFormat);
        EXPECT_EQ(layout.needsConversion, c.expectedConversion);

        std::vector<std::uint16_t> stored(format.frameSamples());
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint16_t>(1000 + i);
        std::vector<std::uint16_t> engineFrame = stored;
        if (layout.needsConversion)
            expandToEngineLayout(format, engineFrame);
        ASSERT_EQ(engineFrame.size(), layout.frameSamples);

        const std::size_t pixels = format.lumaSamples();
        for (std::size_t y = 0; y < static_cast<std::size_t>(c.height); ++y) {
            for (std::size_t x = 0; x < static_cast<std::size_t>(c.width); ++x) {
                const std::size_t p = y * c.width + x;
                ASSERT_EQ(engineFrame[p], stored[p]) << "luma at " << x << "," << y;
                for (int plane = 0; plane < 2; ++plane)
                    ASSERT_EQ(engineChroma(engineFrame, layout.pixelFormat, plane, pixels, x, y, c.width),
                              storedChroma(stored, format, plane, x, y))
                        << "chroma plane " << plane << " at " << x << "," << y;
            }
        }
    }
}

// The engine matches these strings exactly and silently falls back to PQ and the other matrix, so a
// misspelt one would go unnoticed in every result.
TEST(EngineLayout, SettingsMapOntoTheEnginesExactStrings)
{
    MeasureSettings settings;
    settings.transfer = TransferFunction::Hlg;
    settings.matrix = ColourMatrix::Bt2020;
    settings.thresholdNits = 1000;
    settings.percentiles = false;
    const HDR_Info info = hdrInfoFor(settings, 12);
    EXPECT_EQ(info.bitDepth, 12);
    EXPECT_EQ(info.transferFunction, L"HLG");
    EXPECT_EQ(info.colorSpace, L"BT.2020");
    EXPECT_EQ(info.thresholdUnit, L"NITS");
    EXPECT_EQ(info.thresholdLevel, 1000);
    EXPECT_TRUE(info.measureLightLevel);
    EXPECT_FALSE(info.measurePercentiles);
}
