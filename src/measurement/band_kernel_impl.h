// The fast band measurement, compiled once per instruction set by the band_kernel_*.cpp files, each
// defining HDRMETER_KERNEL_NAME first. Everything here has internal linkage so that the builds for
// different instruction sets never merge.
#include "measurement/band_kernel.h"


namespace {

using hdrmeter::detail::FastBandParameters;
using hdrmeter::detail::FastBandTotals;

// Pixels per chunk: small enough that the processor holds one chunk's chain of additions and the next
// chunk's vector work in flight at once.
constexpr int kChunkPixels = 128;

// Only functions of this file are called from the kernel: an inline function or template from elsewhere
// (std::max, say) could be merged by the linker with its copy from the AVX2 build and run on a processor
// without AVX2.
inline int clampCode(int code, int low, int high) { return code < low ? low : (code > high ? high : code); }
inline int largerCode(int a, int b) { return a > b ? a : b; }
inline int smallerCount(int a, int b) { return a < b ? a : b; }
inline float largerOffset(float a, float b) { return a > b ? a : b; }

// The largest of R-Y, G-Y and B-Y for a chroma pair, each the single-precision value its table entry holds.
inline float largestChromaOffset(const FastBandParameters& p, int cb, int cr) {
    const float cbDifference = static_cast<float>(cb - p.chromaNeutral);
    const float crDifference = static_cast<float>(cr - p.chromaNeutral);
    const float red = crDifference * p.redFromCr;
    const float greenFromCr = crDifference * p.greenFromCr;
    const float green = cbDifference * p.greenFromCb + greenFromCr;
    const float blue = cbDifference * p.blueFromCb;
    return largerOffset(red, largerOffset(green, blue));
}

inline int lightCodeOf(const FastBandParameters& p, int lumaCode, float largestOffset) {
    return clampCode(static_cast<int>(static_cast<float>(lumaCode) + largestOffset), p.rgbMin, p.rgbMax);
}

// One pixel whose chroma is already clamped: for band edges and a frame's odd last pixel.
inline void measurePixel(const FastBandParameters& p, uint16_t* lumaSample, int cb, int cr, FastBandTotals& totals) {
    const int lumaCode = clampCode(*lumaSample, p.lumaMin, p.lumaMax);
    *lumaSample = static_cast<uint16_t>(lumaCode);
    if (p.measureLight) {
        const int code = lightCodeOf(p, lumaCode, largestChromaOffset(p, cb, cr));
        totals.lightSum += static_cast<double>(p.eotf[code]);
        totals.largestLightCode = largerCode(totals.largestLightCode, code);
    }
    totals.aboveThresholdCount += lumaCode >= p.firstCodeAbove ? 1 : 0;
    if (p.histogram != nullptr) ++p.histogram[lumaCode];
}

// Clamping in 16-bit arithmetic lets the compiler use 16 lanes per vector.
inline uint16_t clampSample(uint16_t sample, uint16_t low, uint16_t high) {
    const uint16_t raised = sample < low ? low : sample;
    return raised > high ? high : raised;
}


// Clamps a run of chroma samples in place and, when light is measured, records for every pixel the
// largest colour-difference offset of its chroma.
template <int PixelsPerChroma>
inline void clampChroma(const FastBandParameters& p, uint16_t* __restrict cb, uint16_t* __restrict cr, int count,
                        float* __restrict pixelOffsets) {
    const uint16_t low = static_cast<uint16_t>(p.chromaMin);
    const uint16_t high = static_cast<uint16_t>(p.chromaMax);
    for (int i = 0; i < count; ++i) cb[i] = clampSample(cb[i], low, high);
    for (int i = 0; i < count; ++i) cr[i] = clampSample(cr[i], low, high);
    if (p.measureLight) {
        for (int i = 0; i < count; ++i) {
            const float offset = largestChromaOffset(p, cb[i], cr[i]);
            for (int j = 0; j < PixelsPerChroma; ++j) pixelOffsets[PixelsPerChroma * i + j] = offset;
        }
    }
}

// Clamps a run of luma samples in place and counts those above the threshold.
inline long long clampLuma(const FastBandParameters& p, uint16_t* __restrict luma, int count) {
    const uint16_t low = static_cast<uint16_t>(p.lumaMin);
    const uint16_t high = static_cast<uint16_t>(p.lumaMax);
    const uint16_t firstAbove = static_cast<uint16_t>(p.firstCodeAbove > 65535 ? 65535 : p.firstCodeAbove);
    const bool noneAbove = p.firstCodeAbove > p.lumaMax;
    unsigned above = 0;
    for (int i = 0; i < count; ++i) {
        const uint16_t code = clampSample(luma[i], low, high);
        luma[i] = code;
        above += code >= firstAbove ? 1u : 0u;
    }
    return noneAbove ? 0 : above;
}

// The chain of additions in pixel order, and the histogram: the part that is not vectorised.
inline void finishChunk(const FastBandParameters& p, const int32_t* lightCodes, const uint16_t* lumaCodes, int count,
                        FastBandTotals& totals) {
    if (p.measureLight) {
        double lightSum = totals.lightSum;
        for (int i = 0; i < count; ++i) lightSum += static_cast<double>(p.eotf[lightCodes[i]]);
        totals.lightSum = lightSum;
    }
    if (p.histogram != nullptr) {
        for (int i = 0; i < count; ++i) ++p.histogram[lumaCodes[i]];
    }
}

// A run of whole 4:2:2 pairs (pixels 2k and 2k + 1 share chroma sample k) or of 4:4:4 pixels, in small
// chunks. The vector work of chunk c + 1 is issued before the chain of additions of chunk c, so that
// the processor overlaps the two: the chain is latency-bound and would otherwise leave it idle.
template <bool Subsampled>
void measureRun(const FastBandParameters& p, uint16_t* luma, uint16_t* cb, uint16_t* cr, int pixelCount,
                FastBandTotals& totals) {
    constexpr int kPixelsPerChroma = Subsampled ? 2 : 1;
    struct Chunk {
        alignas(64) float pixelOffset[kChunkPixels];  // largest of R-Y, G-Y, B-Y of each pixel's chroma
        alignas(64) int32_t lightCode[kChunkPixels];
        uint16_t* luma;
        int count;
    } chunks[2];

    const auto vectorStage = [&](Chunk& chunk, int first) {
        const int count = smallerCount(kChunkPixels, pixelCount - first);
        chunk.count = count;
        chunk.luma = luma + first;
        clampChroma<kPixelsPerChroma>(p, cb + first / kPixelsPerChroma, cr + first / kPixelsPerChroma,
                                      count / kPixelsPerChroma, chunk.pixelOffset);
        totals.aboveThresholdCount += clampLuma(p, chunk.luma, count);
        if (p.measureLight) {
            const uint16_t* __restrict lumaCodes = chunk.luma;
            const float* __restrict offsets = chunk.pixelOffset;
            int32_t* __restrict codes = chunk.lightCode;
            int largest = totals.largestLightCode;
            for (int i = 0; i < count; ++i) {
                const int code = lightCodeOf(p, lumaCodes[i], offsets[i]);
                codes[i] = code;
                largest = largerCode(largest, code);
            }
            totals.largestLightCode = largest;
        }
    };

    if (pixelCount <= 0) return;
    vectorStage(chunks[0], 0);
    int current = 0;
    for (int first = 0; first < pixelCount; first += kChunkPixels) {
        const int next = first + kChunkPixels;
        if (next < pixelCount) vectorStage(chunks[current ^ 1], next);
        finishChunk(p, chunks[current].lightCode, chunks[current].luma, chunks[current].count, totals);
        current ^= 1;
    }
}

// Where two bands meet inside a 4:2:2 pair, both read the shared chroma sample and only the band
// holding the even pixel stores it back; relaxed atomics keep that read and write free of a race.
inline int loadShared(const uint16_t* sample) { return __atomic_load_n(sample, __ATOMIC_RELAXED); }
inline void storeShared(uint16_t* sample, int value) {
    __atomic_store_n(sample, static_cast<uint16_t>(value), __ATOMIC_RELAXED);
}

}  // namespace

namespace hdrmeter {
namespace detail {

void HDRMETER_KERNEL_NAME(const FastBandParameters& p, bool subsampled, int pixelCount, uint16_t* luma,
                          uint16_t* framePlanes, long long start, long long end, FastBandTotals& totals) {
    if (start >= end) return;
    uint16_t* cb = framePlanes + pixelCount;
    uint16_t* cr = cb + (subsampled ? pixelCount / 2 : pixelCount);
    int first = static_cast<int>(start);
    const int last = static_cast<int>(end);  // one past the band's last pixel

    if (!subsampled) {
        measureRun<false>(p, luma + first, cb + first, cr + first, last - first, totals);
        return;
    }

    if ((first & 1) != 0) {
        const int pair = first / 2;
        const int cbCode = clampCode(loadShared(cb + pair), p.chromaMin, p.chromaMax);
        const int crCode = clampCode(loadShared(cr + pair), p.chromaMin, p.chromaMax);
        measurePixel(p, luma + first, cbCode, crCode, totals);
        ++first;
    }
    const bool lastPairContinuesInLaterBand = last - 1 >= first && ((last - 1) & 1) == 0 && last < pixelCount;
    const int pairedEnd = lastPairContinuesInLaterBand ? last - 1 : last;
    const int pairCount = (pairedEnd - first) / 2;
    measureRun<true>(p, luma + first, cb + first / 2, cr + first / 2, 2 * pairCount, totals);
    const int next = first + 2 * pairCount;
    if (next < pairedEnd) {
        // The even last pixel of a frame with an odd pixel count: no partner, nothing shared.
        const int pair = next / 2;
        const int cbCode = clampCode(cb[pair], p.chromaMin, p.chromaMax);
        cb[pair] = static_cast<uint16_t>(cbCode);
        const int crCode = clampCode(cr[pair], p.chromaMin, p.chromaMax);
        cr[pair] = static_cast<uint16_t>(crCode);
        measurePixel(p, luma + next, cbCode, crCode, totals);
    }
    if (lastPairContinuesInLaterBand) {
        const int pair = (last - 1) / 2;
        const int cbCode = clampCode(loadShared(cb + pair), p.chromaMin, p.chromaMax);
        storeShared(cb + pair, cbCode);
        const int crCode = clampCode(loadShared(cr + pair), p.chromaMin, p.chromaMax);
        storeShared(cr + pair, crCode);
        measurePixel(p, luma + last - 1, cbCode, crCode, totals);
    }
}

}  // namespace detail
}  // namespace hdrmeter
