// The fast band measurement, compiled once per instruction set by the band_kernel_*.cpp files, each
// defining HDRMETER_KERNEL_NAME first. The vector code uses the compiler's generic vector types, so one
// source serves baseline x86-64 and AVX2 alike. Everything here has internal linkage, and nothing from
// elsewhere that could be emitted out of line (std::max, say) is called: the linker could otherwise
// merge a copy from the AVX2 build into the baseline one.
#include "measurement/band_kernel.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

using hdrmeter::detail::FastBandParameters;
using hdrmeter::detail::FastBandTotals;

typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));
typedef int16_t I16x16 __attribute__((vector_size(32)));
typedef int32_t I32x8 __attribute__((vector_size(32)));
typedef float F32x8 __attribute__((vector_size(32)));

// Pixels per group: one group's vector work is issued while the chain of additions of the group before
// runs, so that the processor overlaps the two (the chain is latency-bound and leaves it idle).
constexpr int kGroupPixels = 16;
// Groups between flushes of the 16-bit above-threshold lane counters (each lane counts at most one a group).
constexpr int kGroupsPerFlush = 4096;
// How far ahead of the group being measured each sample stream is prefetched: 1 KiB.
constexpr int kPrefetchSamples = 512;

template <class Vector>
inline Vector loadVector(const void* source) {
    Vector v;
    std::memcpy(&v, source, sizeof v);
    return v;
}

template <class Vector>
inline void storeVector(void* target, Vector v) {
    std::memcpy(target, &v, sizeof v);
}

inline bool allZero(U16x8 x) {
#if defined(__SSE4_1__)
    const __m128i bits = reinterpret_cast<__m128i>(x);
    return _mm_testz_si128(bits, bits) != 0;
#elif defined(__SSE2__)
    return _mm_movemask_epi8(_mm_cmpeq_epi16(reinterpret_cast<__m128i>(x), _mm_setzero_si128())) == 0xFFFF;
#else
    uint64_t words[2];
    std::memcpy(words, &x, sizeof words);
    return (words[0] | words[1]) == 0;
#endif
}

template <class Vector, class Scalar>
inline Vector splat(Scalar value) {
    Vector v = {};
    return v + value;
}

// Widens eight codes to 32 bits. GCC 12 splits the generic conversion into two halves and a merge,
// four instructions where AVX2 has one; the extra work sits on the path that must hide behind the
// chain of additions.
inline I32x8 widenCodes(U16x8 codes) {
#if defined(__AVX2__)
    return reinterpret_cast<I32x8>(_mm256_cvtepu16_epi32(reinterpret_cast<__m128i>(codes)));
#else
    return __builtin_convertvector(codes, I32x8);
#endif
}

inline int clampCode(int code, int low, int high) { return code < low ? low : (code > high ? high : code); }
inline int largerCode(int a, int b) { return a > b ? a : b; }
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

// One pixel whose chroma is already clamped: for band edges and the pixels after the last whole group.
inline void measurePixel(const FastBandParameters& p, uint16_t* lumaSample, int cb, int cr, FastBandTotals& totals) {
    const int lumaCode = clampCode(*lumaSample, p.lumaMin, p.lumaMax);
    if (lumaCode != *lumaSample) *lumaSample = static_cast<uint16_t>(lumaCode);
    if (p.measureLight) {
        const int code = lightCodeOf(p, lumaCode, largestChromaOffset(p, cb, cr));
        totals.lightSum += p.eotfWidened[code];
        totals.largestLightCode = largerCode(totals.largestLightCode, code);
    }
    totals.aboveThresholdCount += lumaCode >= p.firstCodeAbove ? 1 : 0;
    if (p.histogram != nullptr) ++p.histogram[lumaCode];
}

inline int clampAndStore(uint16_t* sample, int low, int high) {
    const int code = clampCode(*sample, low, high);
    if (code != *sample) *sample = static_cast<uint16_t>(code);
    return code;
}

// The parameters as vectors, built once per run.
struct VectorParameters {
    explicit VectorParameters(const FastBandParameters& p)
        : lumaLow(splat<U16x8>(static_cast<uint16_t>(p.lumaMin))),
          lumaHigh(splat<U16x8>(static_cast<uint16_t>(p.lumaMax))),
          chromaLow(splat<U16x8>(static_cast<uint16_t>(p.chromaMin))),
          chromaHigh(splat<U16x8>(static_cast<uint16_t>(p.chromaMax))),
          firstAbove(splat<U16x16>(static_cast<uint16_t>(p.firstCodeAbove))),
          neutral(splat<I32x8>(p.chromaNeutral)),
          rgbLow(splat<I32x8>(p.rgbMin)),
          rgbHigh(splat<I32x8>(p.rgbMax)),
          redFromCr(splat<F32x8>(p.redFromCr)),
          greenFromCb(splat<F32x8>(p.greenFromCb)),
          greenFromCr(splat<F32x8>(p.greenFromCr)),
          blueFromCb(splat<F32x8>(p.blueFromCb)) {}
    U16x8 lumaLow, lumaHigh;
    U16x8 chromaLow, chromaHigh;
    U16x16 firstAbove;
    I32x8 neutral, rgbLow, rgbHigh;
    F32x8 redFromCr, greenFromCb, greenFromCr, blueFromCb;
};

struct GroupCounters {
    I16x16 above = {};
    I32x8 largestCode = {};
};

// Eight samples clamped to [low, high]; lanes that clamping changed are marked in `changed`.
inline U16x8 clampLoaded(const uint16_t* samples, U16x8 low, U16x8 high, U16x8& changed) {
    const U16x8 loaded = loadVector<U16x8>(samples);
    U16x8 codes = loaded < low ? low : loaded;
    codes = codes > high ? high : codes;
    changed |= loaded ^ codes;
    return codes;
}

// The largest colour-difference offsets of eight clamped chroma pairs.
inline F32x8 chromaOffsets(const VectorParameters& v, U16x8 cbCodes, U16x8 crCodes) {
    const F32x8 cbDifference = __builtin_convertvector(widenCodes(cbCodes) - v.neutral, F32x8);
    const F32x8 crDifference = __builtin_convertvector(widenCodes(crCodes) - v.neutral, F32x8);
    const F32x8 red = crDifference * v.redFromCr;
    const F32x8 greenFromCr = crDifference * v.greenFromCr;
    const F32x8 green = cbDifference * v.greenFromCb + greenFromCr;
    const F32x8 blue = cbDifference * v.blueFromCb;
    const F32x8 greenOrBlue = green > blue ? green : blue;
    return red > greenOrBlue ? red : greenOrBlue;
}

inline I32x8 lightCodes(const VectorParameters& v, U16x8 lumaCodes, F32x8 offsets, GroupCounters& counters) {
    const F32x8 y = __builtin_convertvector(widenCodes(lumaCodes), F32x8);
    I32x8 codes = __builtin_convertvector(y + offsets, I32x8);  // truncates toward zero
    codes = codes < v.rgbLow ? v.rgbLow : codes;
    codes = codes > v.rgbHigh ? v.rgbHigh : codes;
    counters.largestCode = codes > counters.largestCode ? codes : counters.largestCode;
    return codes;
}

// The vector work of one group of 16 pixels: clamps its samples in place, counts the luma codes above
// the threshold and writes each pixel's light code.
//
// The clamped samples are stored back only when clamping changed one of them. Samples in range, nearly
// all of them in real video, then leave their cache lines clean, and a host that measures a
// copy-on-write mapping of its input keeps sharing those pages instead of copying them. One test per
// group keeps the cost of that choice to a single well-predicted branch.
template <bool Subsampled>
inline void vectorGroup(const VectorParameters& v, bool light, uint16_t* luma, uint16_t* cb, uint16_t* cr,
                        int32_t* codes, GroupCounters& counters) {
    // Three streams, written back only now and then, outrun the hardware prefetcher on their own.
    __builtin_prefetch(luma + kPrefetchSamples, 0);
    __builtin_prefetch(cb + kPrefetchSamples, 0);
    __builtin_prefetch(cr + kPrefetchSamples, 0);
    constexpr int kChromaVectors = Subsampled ? 1 : 2;
    U16x8 changed = {};
    U16x8 cbCodes[kChromaVectors];
    U16x8 crCodes[kChromaVectors];
    for (int i = 0; i < kChromaVectors; ++i) {
        cbCodes[i] = clampLoaded(cb + 8 * i, v.chromaLow, v.chromaHigh, changed);
        crCodes[i] = clampLoaded(cr + 8 * i, v.chromaLow, v.chromaHigh, changed);
    }
    U16x8 lumaCodes[2];
    for (int i = 0; i < 2; ++i) lumaCodes[i] = clampLoaded(luma + 8 * i, v.lumaLow, v.lumaHigh, changed);
    if (!allZero(changed)) {
        for (int i = 0; i < kChromaVectors; ++i) {
            storeVector(cb + 8 * i, cbCodes[i]);
            storeVector(cr + 8 * i, crCodes[i]);
        }
        storeVector(luma, lumaCodes[0]);
        storeVector(luma + 8, lumaCodes[1]);
    }
    const U16x16 wholeLuma =
        __builtin_shufflevector(lumaCodes[0], lumaCodes[1], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    counters.above -= reinterpret_cast<I16x16>(wholeLuma >= v.firstAbove);
    if (!light) return;
    F32x8 firstOffsets;
    F32x8 secondOffsets;
    if (Subsampled) {
        const F32x8 offsets = chromaOffsets(v, cbCodes[0], crCodes[0]);
        firstOffsets = __builtin_shufflevector(offsets, offsets, 0, 0, 1, 1, 2, 2, 3, 3);
        secondOffsets = __builtin_shufflevector(offsets, offsets, 4, 4, 5, 5, 6, 6, 7, 7);
    } else {
        firstOffsets = chromaOffsets(v, cbCodes[0], crCodes[0]);
        secondOffsets = chromaOffsets(v, cbCodes[kChromaVectors - 1], crCodes[kChromaVectors - 1]);
    }
    storeVector(codes, lightCodes(v, lumaCodes[0], firstOffsets, counters));
    storeVector(codes + 8, lightCodes(v, lumaCodes[1], secondOffsets, counters));
}

// The part that cannot be vectorised: the chain of additions in pixel order, and the histogram.
inline void finishGroup(const FastBandParameters& p, const int32_t* codes, const uint16_t* luma, double& lightSum) {
    if (p.measureLight) {
        const double* const luminance = p.eotfWidened;
        for (int i = 0; i < kGroupPixels; ++i) lightSum += luminance[codes[i]];
    }
    if (p.histogram != nullptr) {
        uint32_t* const histogram = p.histogram;
        const int stride = p.histogramStride;
        for (int i = 0; i < kGroupPixels; ++i) ++histogram[(i % hdrmeter::detail::kHistogramWays) * stride + luma[i]];
    }
}

inline void flushCounters(GroupCounters& counters, FastBandTotals& totals) {
    long long above = 0;
    for (int lane = 0; lane < 16; ++lane) above += counters.above[lane];
    totals.aboveThresholdCount += above;
    counters.above = I16x16{};
}

// A run of whole 4:2:2 pairs (pixels 2k and 2k + 1 share chroma sample k) or of 4:4:4 pixels.
template <bool Subsampled>
void measureRun(const FastBandParameters& p, uint16_t* luma, uint16_t* cb, uint16_t* cr, int pixelCount,
                FastBandTotals& totals) {
    constexpr int kPixelsPerChroma = Subsampled ? 2 : 1;
    const VectorParameters v(p);
    const bool light = p.measureLight;
    GroupCounters counters;
    counters.largestCode = splat<I32x8>(totals.largestLightCode);
    alignas(32) int32_t codes[2][kGroupPixels] = {};
    const int groupCount = pixelCount / kGroupPixels;
    double lightSum = totals.lightSum;

    if (groupCount > 0) vectorGroup<Subsampled>(v, light, luma, cb, cr, codes[0], counters);
    for (int group = 0; group < groupCount; ++group) {
        const int next = group + 1;
        const int nextPixel = next * kGroupPixels;
        if (next < groupCount) {
            vectorGroup<Subsampled>(v, light, luma + nextPixel, cb + nextPixel / kPixelsPerChroma,
                                    cr + nextPixel / kPixelsPerChroma, codes[next & 1], counters);
        }
        finishGroup(p, codes[group & 1], luma + group * kGroupPixels, lightSum);
        if (next % kGroupsPerFlush == 0) flushCounters(counters, totals);
    }
    flushCounters(counters, totals);
    totals.lightSum = lightSum;
    if (light) {
        for (int lane = 0; lane < 8; ++lane) {
            totals.largestLightCode = largerCode(totals.largestLightCode, counters.largestCode[lane]);
        }
    }

    for (int pixel = groupCount * kGroupPixels; pixel < pixelCount; pixel += kPixelsPerChroma) {
        const int chroma = pixel / kPixelsPerChroma;
        const int cbCode = clampAndStore(cb + chroma, p.chromaMin, p.chromaMax);
        const int crCode = clampAndStore(cr + chroma, p.chromaMin, p.chromaMax);
        for (int i = 0; i < kPixelsPerChroma; ++i) measurePixel(p, luma + pixel + i, cbCode, crCode, totals);
    }
}

// Where two bands meet inside a 4:2:2 pair, both read the shared chroma sample and only the band
// holding the even pixel stores it back; relaxed atomics keep that read and write free of a race.
inline int loadShared(const uint16_t* sample) { return __atomic_load_n(sample, __ATOMIC_RELAXED); }
inline int clampShared(uint16_t* sample, int low, int high) {
    const int sampleCode = loadShared(sample);
    const int code = clampCode(sampleCode, low, high);
    if (code != sampleCode) __atomic_store_n(sample, static_cast<uint16_t>(code), __ATOMIC_RELAXED);
    return code;
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
    // With an odd pixel count the lone last pixel's Cb sample is the first Cr sample, which pair 0 uses
    // too: both are touched through the shared accesses, whichever bands hold them.
    const bool lonePixelSharesCr = (pixelCount & 1) != 0;
    if (lonePixelSharesCr && first == 0 && pairedEnd >= 2) {
        const int cbCode = clampShared(cb, p.chromaMin, p.chromaMax);
        const int crCode = clampShared(cr, p.chromaMin, p.chromaMax);
        measurePixel(p, luma, cbCode, crCode, totals);
        measurePixel(p, luma + 1, cbCode, crCode, totals);
        first = 2;
    }
    const int pairCount = (pairedEnd - first) / 2;
    measureRun<true>(p, luma + first, cb + first / 2, cr + first / 2, 2 * pairCount, totals);
    const int next = first + 2 * pairCount;
    if (next < pairedEnd) {
        // The even last pixel of a frame with an odd pixel count: it has no partner.
        const int cbCode = clampShared(cb + next / 2, p.chromaMin, p.chromaMax);
        const int crCode = clampShared(cr + next / 2, p.chromaMin, p.chromaMax);
        measurePixel(p, luma + next, cbCode, crCode, totals);
    }
    if (lastPairContinuesInLaterBand) {
        const int pair = (last - 1) / 2;
        const int cbCode = clampShared(cb + pair, p.chromaMin, p.chromaMax);
        const int crCode = clampShared(cr + pair, p.chromaMin, p.chromaMax);
        measurePixel(p, luma + last - 1, cbCode, crCode, totals);
    }
}

}  // namespace detail
}  // namespace hdrmeter

namespace hdrmeter {
namespace detail {

// Fills count doubles with one value using streaming stores where the processor has them: the buffer
// is far larger than the caches and is read back only at three positions, so reading each line in
// before overwriting it would double the memory traffic.
void HDRMETER_FILL_NAME(double* out, long long count, double value) {
#if defined(__AVX__)
    constexpr long long kAlignment = 32;
#elif defined(__SSE2__)
    constexpr long long kAlignment = 16;
#else
    constexpr long long kAlignment = 0;
#endif
    long long i = 0;
    if (kAlignment != 0) {
        while (i < count && reinterpret_cast<uintptr_t>(out + i) % kAlignment != 0) out[i++] = value;
#if defined(__AVX__)
        const __m256d lanes = _mm256_set1_pd(value);
        for (; i + 4 <= count; i += 4) _mm256_stream_pd(out + i, lanes);
#elif defined(__SSE2__)
        const __m128d lanes = _mm_set1_pd(value);
        for (; i + 2 <= count; i += 2) _mm_stream_pd(out + i, lanes);
#endif
    }
    for (; i < count; ++i) out[i] = value;
#if defined(__SSE2__)
    _mm_sfence();  // streaming stores are weakly ordered: publish them before the task reports completion
#endif
}

}  // namespace detail
}  // namespace hdrmeter
