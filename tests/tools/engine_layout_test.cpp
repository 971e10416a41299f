#include <gtest/gtest.h>

#include <tuple>

#include "engine_layout.h"

using namespace hdrmeter::tool;

// Every pixel's chroma is checked the literal way: in the engine's layout, 4:2:2 chroma k serves linear
// pixels 2k and 2k + 1 and 4:4:4 chroma p serves pixel p; in the stored frame, 4:2:x chroma covers two
// columns and 4:2:0 chroma two rows.
TEST(EngineLayout, EveryPixelGetsTheChromaItsStoredFrameGivesIt)
{
    const std::tuple<VideoFormat, InputPixelFormat, bool> cases[] = {
        {{8, 4, 10, ChromaSubsampling::Yuv422}, YCbCr422_A, false},
        {{8, 4, 10, ChromaSubsampling::Yuv420}, YCbCr422_A, true},
        {{8, 5, 10, ChromaSubsampling::Yuv420}, YCbCr422_A, true},
        {{8, 4, 10, ChromaSubsampling::Yuv444}, YCbCr444_A, false},
        {{7, 4, 10, ChromaSubsampling::Yuv422}, YCbCr444_A, true},
        {{7, 5, 10, ChromaSubsampling::Yuv420}, YCbCr444_A, true},
        {{1, 3, 10, ChromaSubsampling::Yuv420}, YCbCr444_A, true},
        {{7, 3, 10, ChromaSubsampling::Yuv444}, YCbCr444_A, false},
    };
    for (const auto& [format, expectedFormat, expectedConversion] : cases) {
        SCOPED_TRACE(describeFormat(format));
        const EngineLayout layout = engineLayoutFor(format);
        EXPECT_EQ(layout.pixelFormat, expectedFormat);
        EXPECT_EQ(layout.needsConversion, expectedConversion);

        std::vector<std::uint16_t> stored(format.frameSamples());
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint16_t>(1000 + i);
        std::vector<std::uint16_t> engineFrame = stored;
        if (layout.needsConversion)
            expandToEngineLayout(format, engineFrame);
        ASSERT_EQ(engineFrame.size(), layout.frameSamples);

        const std::size_t pixels = format.lumaSamples(), width = format.width;
        for (std::size_t p = 0; p < pixels; ++p) {
            const std::size_t x = p % width, y = p / width;
            ASSERT_EQ(engineFrame[p], stored[p]) << "luma at " << x << "," << y;
            const std::size_t column = format.subsampling == ChromaSubsampling::Yuv444 ? x : x / 2;
            const std::size_t row = format.subsampling == ChromaSubsampling::Yuv420 ? y / 2 : y;
            for (std::size_t plane = 0; plane < 2; ++plane) {
                const std::size_t engine =
                    pixels + (layout.pixelFormat == YCbCr422_A ? plane * (pixels / 2) + p / 2 : plane * pixels + p);
                ASSERT_EQ(engineFrame[engine],
                          stored[pixels + plane * format.chromaSamplesPerPlane() + row * format.chromaWidth() + column])
                    << "chroma plane " << plane << " at " << x << "," << y;
            }
        }
    }
}
