// Test helpers: planar 16-bit frames in the engine's layouts and a one-call configuration.
#ifndef HDRMETER_TESTS_FRAME_BUILDER_H
#define HDRMETER_TESTS_FRAME_BUILDER_H

#include <hdrmeter.h>

#include <cstdint>
#include <vector>

struct TestFrame {
    TestFrame(InputPixelFormat layout, int frameWidth, int frameHeight)
        : format(layout), width(frameWidth), height(frameHeight),
          samples(static_cast<size_t>(frameWidth) * frameHeight * (isSubsampled() ? 2 : 3)) {}

    bool isSubsampled() const { return format == YCbCr422_A || format == YCbCr422_B; }
    size_t pixels() const { return static_cast<size_t>(width) * height; }
    size_t chromaCount() const { return isSubsampled() ? pixels() / 2 : pixels(); }
    uint16_t* luma() { return samples.data(); }
    uint16_t* cb() { return samples.data() + pixels(); }
    uint16_t* cr() { return cb() + chromaCount(); }
    unsigned char* lumaBytes() { return reinterpret_cast<unsigned char*>(luma()); }
    unsigned char* frameBytes() { return reinterpret_cast<unsigned char*>(samples.data()); }

    auto measure(CHDR_Measurements& meter, int taskCount) {
        return meter.HDR_Measurements(format, width, height, lumaBytes(), frameBytes(), taskCount);
    }

    InputPixelFormat format;
    int width;
    int height;
    std::vector<uint16_t> samples;  // luma, then Cb, then Cr
};

inline HDR_Info makeInfo(int bitDepth, const wchar_t* transfer, const wchar_t* colorSpace, bool light,
                         bool percentiles) {
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = transfer;
    info.colorSpace = colorSpace;
    info.thresholdLevel = 1000;
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = light;
    info.measurePercentiles = percentiles;
    return info;
}

#endif
