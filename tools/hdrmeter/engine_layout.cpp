#include "engine_layout.h"

#include <algorithm>

namespace hdrmeter::tool {

EngineLayout engineLayoutFor(const VideoFormat& format)
{
    EngineLayout layout;
    const std::size_t pixels = format.lumaSamples();
    if (format.subsampling == ChromaSubsampling::Yuv444) {
        layout.pixelFormat = YCbCr444_A;
        layout.frameSamples = 3 * pixels;
    } else if (format.width % 2 == 0) {
        layout.pixelFormat = YCbCr422_A;
        layout.needsConversion = format.subsampling == ChromaSubsampling::Yuv420;
        layout.frameSamples = 2 * pixels;
    } else {
        layout.pixelFormat = YCbCr444_A;
        layout.needsConversion = true;
        layout.frameSamples = 3 * pixels;
    }
    return layout;
}

void convertToEngineLayout(const VideoFormat& format, const std::vector<std::uint16_t>& storedPlanes,
                           std::vector<std::uint16_t>& engineFrame)
{
    const EngineLayout layout = engineLayoutFor(format);
    const std::size_t pixels = format.lumaSamples();
    const std::size_t width = static_cast<std::size_t>(format.width);
    const std::size_t chromaWidth = static_cast<std::size_t>(format.chromaWidth());
    const std::size_t storedChromaSamples = format.chromaSamplesPerPlane();
    const bool halfHeightChroma = format.subsampling == ChromaSubsampling::Yuv420;
    const std::size_t engineChromaWidth = layout.pixelFormat == YCbCr422_A ? width / 2 : width;
    const std::size_t engineChromaSamples = engineChromaWidth * static_cast<std::size_t>(format.height);

    engineFrame.resize(layout.frameSamples);
    std::copy(storedPlanes.begin(), storedPlanes.begin() + static_cast<std::ptrdiff_t>(pixels), engineFrame.begin());
    for (int plane = 0; plane < 2; ++plane) {
        const std::uint16_t* storedChroma = storedPlanes.data() + pixels + plane * storedChromaSamples;
        std::uint16_t* engineChroma = engineFrame.data() + pixels + plane * engineChromaSamples;
        for (std::size_t row = 0; row < static_cast<std::size_t>(format.height); ++row) {
            const std::uint16_t* storedRow = storedChroma + (halfHeightChroma ? row / 2 : row) * chromaWidth;
            std::uint16_t* engineRow = engineChroma + row * engineChromaWidth;
            if (layout.pixelFormat == YCbCr422_A) {
                std::copy(storedRow, storedRow + engineChromaWidth, engineRow);
            } else if (format.subsampling == ChromaSubsampling::Yuv444) {
                std::copy(storedRow, storedRow + width, engineRow);
            } else {
                for (std::size_t x = 0; x < width; ++x)
                    engineRow[x] = storedRow[x / 2];
            }
        }
    }
}

HDR_Info hdrInfoFor(const MeasureSettings& settings, int bitDepth)
{
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = settings.transfer == TransferFunction::Hlg ? L"HLG" : L"PQ";
    info.colorSpace = settings.matrix == ColourMatrix::Bt2020 ? L"BT.2020" : L"BT.709";
    info.thresholdLevel = settings.thresholdNits;
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = true;
    info.measurePercentiles = settings.percentiles;
    info.topPercent1 = settings.top1Percent;
    info.topPercent2 = settings.top2Percent;
    info.bottomPercent = settings.bottomPercent;
    info.levelUnit = L"NITS";
    return info;
}

int narrowRangeLumaBlack(int bitDepth)
{
    return 64 << (bitDepth - 10);
}

int narrowRangeLumaWhite(int bitDepth)
{
    return 940 << (bitDepth - 10);
}

}  // namespace hdrmeter::tool
