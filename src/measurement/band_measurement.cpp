// Measures one band of a frame: clamps the band's codes in place, looks up luminance and light, and
// returns the band's partial sums for the frame to combine.
#include "hdrmeter.h"
#include "measurement/lookup_tables.h"

#include <algorithm>
#include <cstdint>

namespace {

inline int clampCode(int code, int low, int high) { return std::max(low, std::min(code, high)); }

// In 4:2:2 two neighbouring bands can meet inside a chroma pair. Both need the clamped sample, only the
// band holding the pair's even pixel stores it, and the two touch it with relaxed atomic accesses so
// that the concurrent read and write are not a data race.
inline int loadShared(const uint16_t* sample) { return __atomic_load_n(sample, __ATOMIC_RELAXED); }
inline void storeShared(uint16_t* sample, int value) {
    __atomic_store_n(sample, static_cast<uint16_t>(value), __ATOMIC_RELAXED);
}

}  // namespace

std::tuple<double, double, double> CHDR_Measurements::HDR_Measurements_task(InputPixelFormat format, int width,
                                                                             int height, unsigned char* lumaPlane,
                                                                             unsigned char* framePlanes,
                                                                             long long start, long long end) {
    const int pixelCount = width * height;
    const bool subsampled = format == YCbCr422_A || format == YCbCr422_B;
    uint16_t* luma = reinterpret_cast<uint16_t*>(lumaPlane);
    uint16_t* cbPlane = reinterpret_cast<uint16_t*>(framePlanes) + pixelCount;
    uint16_t* crPlane = cbPlane + (subsampled ? pixelCount / 2 : pixelCount);
    if (start >= end) return {0.0, 0.0, 0.0};
    const hdrmeter::detail::ChromaCoefficients& coefficients = sharedTables_->coefficients;

    double lightSum = 0.0;
    double largestLight = 0.0;
    double aboveThresholdCount = 0.0;
    const int first = static_cast<int>(start);
    const int last = static_cast<int>(end) - 1;
    for (int pixel = first; pixel <= last; ++pixel) {
        const int lumaCode = clampCode(luma[pixel], lumaMin, lumaMax);
        luma[pixel] = static_cast<uint16_t>(lumaCode);

        const int chromaIndex = subsampled ? pixel / 2 : pixel;
        uint16_t* cbSample = cbPlane + chromaIndex;
        uint16_t* crSample = crPlane + chromaIndex;
        int cb;
        int cr;
        const bool pairStartsInEarlierBand = subsampled && pixel == first && (pixel & 1) != 0;
        // With an odd pixel count the lone last pixel's Cb sample is the first Cr sample, used by pair 0 too.
        const bool lonePixelSharesCr = subsampled && (pixelCount & 1) != 0 && (pixel < 2 || pixel == pixelCount - 1);
        const bool pairEndsInLaterBand =
            (subsampled && pixel == last && (pixel & 1) == 0 && pixel + 1 < pixelCount) || lonePixelSharesCr;
        if (pairStartsInEarlierBand && !lonePixelSharesCr) {
            cb = clampCode(loadShared(cbSample), chromaMin, chromaMax);
            cr = clampCode(loadShared(crSample), chromaMin, chromaMax);
        } else if (pairEndsInLaterBand) {
            cb = clampCode(loadShared(cbSample), chromaMin, chromaMax);
            storeShared(cbSample, cb);
            cr = clampCode(loadShared(crSample), chromaMin, chromaMax);
            storeShared(crSample, cr);
        } else {
            cb = clampCode(*cbSample, chromaMin, chromaMax);
            *cbSample = static_cast<uint16_t>(cb);
            cr = clampCode(*crSample, chromaMin, chromaMax);
            *crSample = static_cast<uint16_t>(cr);
        }

        if (measureLightLevel) {
            const float y = static_cast<float>(lumaCode);
            const float greenOffset = cbCrToG != nullptr
                                          ? cbCrToG[cb][cr]
                                          : hdrmeter::detail::greenMinusLuma(cb, cr, chromaNeutral, coefficients.greenFromCb,
                                                                             coefficients.greenFromCr);
            const float red = y + crToR[cr];
            const float green = y + greenOffset;
            const float blue = y + cbToB[cb];
            const int redCode = clampCode(static_cast<int>(red), rgbMin, rgbMax);
            const int greenCode = clampCode(static_cast<int>(green), rgbMin, rgbMax);
            const int blueCode = clampCode(static_cast<int>(blue), rgbMin, rgbMax);
            const double light = std::max({eotfLUT[redCode], eotfLUT[greenCode], eotfLUT[blueCode]});
            lightSum += light;
            if (light > largestLight) largestLight = light;
        }

        const double luminance = eotfLUT[lumaCode];
        if (luminance > thresholdLuminance) aboveThresholdCount += 1.0;
        if (measurePercentiles) pixelLuminance[pixel] = luminance;
    }
    return {lightSum, largestLight, aboveThresholdCount};
}
