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

void expandToEngineLayout(const VideoFormat& format, std::vector<std::uint16_t>& frame)
{
    frame.resize(engineLayoutFor(format).frameSamples);
    expandChromaInPlace(format, frame.data());
}

void expandChromaInPlace(const VideoFormat& format, std::uint16_t* frame)
{
    const EngineLayout layout = engineLayoutFor(format);
    const std::size_t pixels = format.lumaSamples();
    const std::size_t width = static_cast<std::size_t>(format.width);
    const std::size_t height = static_cast<std::size_t>(format.height);
    const std::size_t chromaWidth = static_cast<std::size_t>(format.chromaWidth());
    const std::size_t storedChromaSamples = format.chromaSamplesPerPlane();
    const bool halfHeightChroma = format.subsampling == ChromaSubsampling::Yuv420;
    const std::size_t engineChromaWidth = layout.pixelFormat == YCbCr422_A ? width / 2 : width;
    const std::size_t engineChromaSamples = engineChromaWidth * height;

    // Every engine chroma sample lies at or after the stored sample it comes from, and the Cr plane's
    // new place lies after the whole stored Cb plane. So working from the last sample of Cr back to
    // the first of Cb never overwrites a stored sample before it has been copied.
    for (int plane = 1; plane >= 0; --plane) {
        const std::size_t storedStart = pixels + plane * storedChromaSamples;
        const std::size_t engineStart = pixels + plane * engineChromaSamples;
        for (std::size_t row = height; row-- > 0;) {
            const std::size_t storedRow = storedStart + (halfHeightChroma ? row / 2 : row) * chromaWidth;
            const std::size_t engineRow = engineStart + row * engineChromaWidth;
            if (layout.pixelFormat == YCbCr422_A) {
                std::copy_backward(frame + storedRow, frame + storedRow + engineChromaWidth,
                                   frame + engineRow + engineChromaWidth);
            } else {
                for (std::size_t x = width; x-- > 0;)
                    frame[engineRow + x] = frame[storedRow + x / 2];
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
