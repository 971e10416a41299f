// The band kernel, compiled once per instruction set by the band_kernel_*.cpp files, each defining
// HDRMETER_KERNEL_SET (the KernelSet accessor it provides) first. The vector code uses the compiler's
// generic vector types, so one source serves baseline x86-64 and AVX2 alike. Everything here has internal
// linkage, and nothing from elsewhere that could be emitted out of line (std::max, say) is called: the
// linker could otherwise merge a copy from the AVX2 build into the baseline one.
#include "measurement/band_kernel.h"

#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

using hdrmeter::detail::BandParameters;
using hdrmeter::detail::BandTotals;

typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));
typedef int16_t I16x16 __attribute__((vector_size(32)));
typedef int32_t I32x8 __attribute__((vector_size(32)));
typedef int32_t I32x4 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef float F32x8 __attribute__((vector_size(32)));

// Pixels per group: one group's vector work is issued while the scalar work of the group before (the
// chain of additions, the histogram increments) runs, so that the processor overlaps the two.
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
// scalar work.
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

// R-Y, G-Y and B-Y of a chroma pair, each the single-precision value its chroma table entry holds.
struct ChromaOffsets {
    float red, green, blue;
};

inline ChromaOffsets chromaOffsetsOf(const BandParameters& p, int cb, int cr) {
    const float cbDifference = static_cast<float>(cb - p.chromaNeutral);
    const float crDifference = static_cast<float>(cr - p.chromaNeutral);
    const float greenFromCr = crDifference * p.greenFromCr;
    return {crDifference * p.redFromCr, cbDifference * p.greenFromCb + greenFromCr, cbDifference * p.blueFromCb};
}

inline int derivedCode(const BandParameters& p, int lumaCode, float offset) {
    // A power-of-two scale is exact, so the light code is the derived value rounded at the finer step.
    const float value = (static_cast<float>(lumaCode) + offset) * p.lightScale;
    return clampCode(static_cast<int>(value + p.codeRounding), p.rgbMin, p.rgbMax);
}

// One clamping-face pixel whose chroma is already clamped: for band edges and the pixels after the last
// whole group.
inline void clampPixel(const BandParameters& p, uint16_t* lumaSample, int cb, int cr, BandTotals& totals) {
    const int lumaCode = clampCode(*lumaSample, p.lumaMin, p.lumaMax);
    if (lumaCode != *lumaSample) *lumaSample = static_cast<uint16_t>(lumaCode);
    if (p.measureLight) {
        const ChromaOffsets o = chromaOffsetsOf(p, cb, cr);
        const int code = derivedCode(p, lumaCode, largerOffset(o.red, largerOffset(o.green, o.blue)));
        if (p.sumLight) totals.lightSum += p.luminance[code];
        totals.largestLightCode = largerCode(totals.largestLightCode, code);
    }
    totals.aboveThresholdCount += lumaCode >= p.firstCodeAbove ? 1 : 0;
    if (p.lumaHistogram != nullptr) ++p.lumaHistogram[lumaCode];
}

// The reading face counts code c of histogram way w at c * kHistogramWays + w: one base address per
// histogram, so that an increment is one instruction with no table pointer to keep in a register. With
// the ways folded (histogramStride 0) a code counts at c.
constexpr int kSlotShift = 2;
static_assert(hdrmeter::detail::kHistogramWays == 1 << kSlotShift, "a slot is the code shifted by kSlotShift");
inline int slotShiftOf(int stride) { return stride == 0 ? 0 : kSlotShift; }

template <int Shift, class Vector>
inline Vector shiftedSlots(Vector codes) {
    return Shift == 0 ? codes : codes << Shift;
}

// One reading-face pixel, from its raw samples, counted in way 0.
inline void readPixel(const BandParameters& p, int lumaSample, int cbSample, int crSample, BandTotals& totals) {
    const int lumaCode = clampCode(lumaSample, p.lumaMin, p.lumaMax);
    const ChromaOffsets o = chromaOffsetsOf(p, clampCode(cbSample, p.chromaMin, p.chromaMax),
                                            clampCode(crSample, p.chromaMin, p.chromaMax));
    const int red = derivedCode(p, lumaCode, o.red);
    const int green = derivedCode(p, lumaCode, o.green);
    const int blue = derivedCode(p, lumaCode, o.blue);
    totals.largestChannelCode[0] = largerCode(totals.largestChannelCode[0], red);
    totals.largestChannelCode[1] = largerCode(totals.largestChannelCode[1], green);
    totals.largestChannelCode[2] = largerCode(totals.largestChannelCode[2], blue);
    const int light = largerCode(red, largerCode(green, blue));
    if (p.sumLight) totals.lightSum += p.luminance[light];
    ++p.lightHistogram[light << p.lightWayShift];
    ++p.lumaHistogram[lumaCode << slotShiftOf(p.histogramStride)];
}

inline int clampAndStore(uint16_t* sample, int low, int high) {
    const int code = clampCode(*sample, low, high);
    if (code != *sample) *sample = static_cast<uint16_t>(code);
    return code;
}

// The parameters as vectors, built once per run.
struct VectorParameters {
    explicit VectorParameters(const BandParameters& p)
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
          blueFromCb(splat<F32x8>(p.blueFromCb)),
          lightScale(splat<F32x8>(p.lightScale)),
          rounding(splat<F32x8>(p.codeRounding)) {}
    U16x8 lumaLow, lumaHigh;
    U16x8 chromaLow, chromaHigh;
    U16x16 firstAbove;
    I32x8 neutral, rgbLow, rgbHigh;
    F32x8 redFromCr, greenFromCb, greenFromCr, blueFromCb;
    F32x8 lightScale;
    F32x8 rounding;
};

struct GroupCounters {
    I16x16 above = {};       // clamping face
    I32x8 largestCode = {};  // clamping face
    // Reading face: the largest y + offset of each channel, before rounding and clamping. A derived code
    // never decreases with that value, so the largest code of a channel is the code of its largest value,
    // and the conversion is done once a run instead of once a pixel.
    F32x8 largestChannelValue[3] = {};
};

// Eight samples clamped to [low, high]; lanes that clamping changed are marked in `changed`.
inline U16x8 clampLoaded(const uint16_t* samples, U16x8 low, U16x8 high, U16x8& changed) {
    const U16x8 loaded = loadVector<U16x8>(samples);
    U16x8 codes = loaded < low ? low : loaded;
    codes = codes > high ? high : codes;
    changed |= loaded ^ codes;
    return codes;
}

inline U16x8 clampRead(const uint16_t* samples, U16x8 low, U16x8 high) {
    const U16x8 loaded = loadVector<U16x8>(samples);
    const U16x8 codes = loaded < low ? low : loaded;
    return codes > high ? high : codes;
}

struct VectorOffsets {
    F32x8 red, green, blue;
};

// R-Y, G-Y and B-Y of eight clamped chroma pairs.
inline VectorOffsets chromaOffsets(const VectorParameters& v, U16x8 cbCodes, U16x8 crCodes) {
    const F32x8 cbDifference = __builtin_convertvector(widenCodes(cbCodes) - v.neutral, F32x8);
    const F32x8 crDifference = __builtin_convertvector(widenCodes(crCodes) - v.neutral, F32x8);
    const F32x8 greenFromCr = crDifference * v.greenFromCr;
    return {crDifference * v.redFromCr, cbDifference * v.greenFromCb + greenFromCr, cbDifference * v.blueFromCb};
}

inline F32x8 largestOffsets(const VectorOffsets& o) {
    const F32x8 greenOrBlue = o.green > o.blue ? o.green : o.blue;
    return o.red > greenOrBlue ? o.red : greenOrBlue;
}

// Chroma offsets of pixels 0-7 and 8-15 of a group, from one vector of 4:2:2 pairs or two of 4:4:4 pixels.
template <bool Subsampled>
inline void spreadOffsets(F32x8 first, F32x8 second, F32x8& forFirstHalf, F32x8& forSecondHalf) {
    if (Subsampled) {
        forFirstHalf = __builtin_shufflevector(first, first, 0, 0, 1, 1, 2, 2, 3, 3);
        forSecondHalf = __builtin_shufflevector(first, first, 4, 4, 5, 5, 6, 6, 7, 7);
    } else {
        forFirstHalf = first;
        forSecondHalf = second;
    }
}

inline I32x8 derivedCodes(const VectorParameters& v, F32x8 y, F32x8 offsets) {
    I32x8 codes = __builtin_convertvector((y + offsets) * v.lightScale + v.rounding, I32x8);  // truncates toward zero
    codes = codes < v.rgbLow ? v.rgbLow : codes;
    return codes > v.rgbHigh ? v.rgbHigh : codes;
}

inline I32x8 largerCodes(I32x8 a, I32x8 b) { return a > b ? a : b; }
inline F32x8 largerValues(F32x8 a, F32x8 b) { return a > b ? a : b; }

inline void accumulateChannels(GroupCounters& counters, F32x8 y, F32x8 red, F32x8 green, F32x8 blue) {
    counters.largestChannelValue[0] = largerValues(counters.largestChannelValue[0], y + red);
    counters.largestChannelValue[1] = largerValues(counters.largestChannelValue[1], y + green);
    counters.largestChannelValue[2] = largerValues(counters.largestChannelValue[2], y + blue);
}

// The vector work of one clamping-face group of 16 pixels: clamps the samples in place, counts the luma
// codes above the threshold and writes each pixel's light code.
//
// Clamped samples are stored back only when clamping changed one of them. Samples in range, nearly all
// of them in real video, then leave their cache lines clean, and a host that measures a copy-on-write
// mapping of its input keeps sharing those pages instead of copying them. One test per group keeps the
// cost of that choice to a single well-predicted branch.
template <bool Subsampled>
inline void clampingGroup(const VectorParameters& v, bool light, uint16_t* luma, uint16_t* cb, uint16_t* cr,
                          int32_t* lightCodes, GroupCounters& counters) {
    // Three streams outrun the hardware prefetcher on their own.
    __builtin_prefetch(luma + kPrefetchSamples, 0);
    __builtin_prefetch(cb + kPrefetchSamples, 0);
    __builtin_prefetch(cr + kPrefetchSamples, 0);
    constexpr int kChromaVectors = Subsampled ? 1 : 2;
    U16x8 cbCodes[kChromaVectors];
    U16x8 crCodes[kChromaVectors];
    U16x8 lumaCodes[2];
    U16x8 changed = {};
    for (int i = 0; i < kChromaVectors; ++i) {
        cbCodes[i] = clampLoaded(cb + 8 * i, v.chromaLow, v.chromaHigh, changed);
        crCodes[i] = clampLoaded(cr + 8 * i, v.chromaLow, v.chromaHigh, changed);
    }
    for (int i = 0; i < 2; ++i) lumaCodes[i] = clampLoaded(luma + 8 * i, v.lumaLow, v.lumaHigh, changed);
    if (!allZero(changed)) {
        for (int i = 0; i < kChromaVectors; ++i) {
            storeVector(cb + 8 * i, cbCodes[i]);
            storeVector(cr + 8 * i, crCodes[i]);
        }
        storeVector(luma, lumaCodes[0]);
        storeVector(luma + 8, lumaCodes[1]);
    }
    const U16x16 wholeLuma = __builtin_shufflevector(lumaCodes[0], lumaCodes[1], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                     11, 12, 13, 14, 15);
    counters.above -= reinterpret_cast<I16x16>(wholeLuma >= v.firstAbove);
    if (!light) return;
    const VectorOffsets first = chromaOffsets(v, cbCodes[0], crCodes[0]);
    const VectorOffsets second = chromaOffsets(v, cbCodes[kChromaVectors - 1], crCodes[kChromaVectors - 1]);
    F32x8 offsets[2];
    spreadOffsets<Subsampled>(largestOffsets(first), largestOffsets(second), offsets[0], offsets[1]);
    for (int half = 0; half < 2; ++half) {
        const I32x8 codes = derivedCodes(v, __builtin_convertvector(widenCodes(lumaCodes[half]), F32x8), offsets[half]);
        counters.largestCode = largerCodes(counters.largestCode, codes);
        storeVector(lightCodes + 8 * half, codes);
    }
}

// The tables of a histogram's ways, found once a run so that each increment is one instruction.
struct HistogramWays {
    uint32_t* table[hdrmeter::detail::kHistogramWays];
};

inline HistogramWays waysOf(uint32_t* histogram, int stride) {
    HistogramWays ways{};
    for (int way = 0; way < hdrmeter::detail::kHistogramWays; ++way) {
        ways.table[way] = histogram == nullptr ? nullptr : histogram + way * stride;
    }
    return ways;
}

// The part of a clamping-face group that cannot be vectorised: the chain of additions in pixel order,
// and the luma histogram.
inline void finishClampingGroup(const BandParameters& p, const HistogramWays& lumaWays, const int32_t* lightCodes,
                                const uint16_t* lumaCodes, double& lightSum) {
    constexpr int kWays = hdrmeter::detail::kHistogramWays;
    if (p.sumLight) {
        const double* const luminance = p.luminance;
        for (int i = 0; i < kGroupPixels; ++i) lightSum += luminance[lightCodes[i]];
    }
    if (lumaWays.table[0] != nullptr) {
        for (int i = 0; i < kGroupPixels; ++i) ++lumaWays.table[i % kWays][lumaCodes[i]];
    }
}

inline void flushCounters(GroupCounters& counters, BandTotals& totals) {
    long long above = 0;
    for (int lane = 0; lane < 16; ++lane) above += counters.above[lane];
    totals.aboveThresholdCount += above;
    counters.above = I16x16{};
}

inline int largestLane(I32x8 codes, int largest) {
    for (int lane = 0; lane < 8; ++lane) largest = largerCode(largest, codes[lane]);
    return largest;
}

// A clamping-face run of whole 4:2:2 pairs (pixels 2k and 2k + 1 share chroma sample k) or of 4:4:4
// pixels, clamping the samples in place.
template <bool Subsampled>
void measureRun(const BandParameters& p, uint16_t* luma, uint16_t* cb, uint16_t* cr, int pixelCount,
                BandTotals& totals) {
    constexpr int kPixelsPerChroma = Subsampled ? 2 : 1;
    const VectorParameters v(p);
    const bool light = p.measureLight;
    GroupCounters counters;
    counters.largestCode = splat<I32x8>(totals.largestLightCode);
    alignas(32) int32_t lightCodes[2][kGroupPixels] = {};
    const int groupCount = pixelCount / kGroupPixels;
    double lightSum = totals.lightSum;
    const HistogramWays lumaWays = waysOf(p.lumaHistogram, p.histogramStride);

    // The luma histogram counts the samples just clamped and stored back.
    if (groupCount > 0) clampingGroup<Subsampled>(v, light, luma, cb, cr, lightCodes[0], counters);
    for (int group = 0; group < groupCount; ++group) {
        const int next = group + 1;
        const int nextPixel = next * kGroupPixels;
        if (next < groupCount) {
            clampingGroup<Subsampled>(v, light, luma + nextPixel, cb + nextPixel / kPixelsPerChroma,
                                      cr + nextPixel / kPixelsPerChroma, lightCodes[next & 1], counters);
        }
        finishClampingGroup(p, lumaWays, lightCodes[group & 1], luma + group * kGroupPixels, lightSum);
        if (next % kGroupsPerFlush == 0) flushCounters(counters, totals);
    }
    totals.lightSum = lightSum;
    flushCounters(counters, totals);
    if (light) totals.largestLightCode = largestLane(counters.largestCode, totals.largestLightCode);

    for (int pixel = groupCount * kGroupPixels; pixel < pixelCount; pixel += kPixelsPerChroma) {
        const int chroma = pixel / kPixelsPerChroma;
        const int cbCode = clampAndStore(cb + chroma, p.chromaMin, p.chromaMax);
        const int crCode = clampAndStore(cr + chroma, p.chromaMin, p.chromaMax);
        for (int i = 0; i < kPixelsPerChroma; ++i) clampPixel(p, luma + pixel + i, cbCode, crCode, totals);
    }
}

// The reading face's slots: with ways, a code's four counters lie side by side, and a pixel's slot is
// its code times four; the increment adds the way as a constant displacement. Without ways (16 bits) the
// slot is the code.
template <bool Ways, class Vector>
inline Vector slotsOf(Vector codes) {
    return Ways ? codes << kSlotShift : codes;
}

// The largest luma of each chroma pair, over every row of the group, as eight floats.
template <int Rows>
inline F32x8 pairLargestLuma(const U16x8 (&lumaCodes)[Rows][2]) {
    U16x8 halves[2] = {lumaCodes[0][0], lumaCodes[0][1]};
    for (int row = 1; row < Rows; ++row) {
        for (int half = 0; half < 2; ++half) {
            halves[half] = lumaCodes[row][half] > halves[half] ? lumaCodes[row][half] : halves[half];
        }
    }
    // Pixels 2k and 2k + 1 are the low and high halves of 32-bit lane k.
    I32x4 pairs[2];
    for (int half = 0; half < 2; ++half) {
        const U32x4 both = reinterpret_cast<U32x4>(halves[half]);
        const I32x4 even = reinterpret_cast<I32x4>(both & 0xFFFFu);
        const I32x4 odd = reinterpret_cast<I32x4>(both >> 16);
        pairs[half] = even > odd ? even : odd;
    }
    const I32x8 largest = __builtin_shufflevector(pairs[0], pairs[1], 0, 1, 2, 3, 4, 5, 6, 7);
    return __builtin_convertvector(largest, F32x8);
}

// The vector work of one reading-face group: 16 pixels of each of Rows rows that share one chroma row
// (4:2:0 measures its row pairs together, deriving each chroma pair's offsets once for four pixels).
// Writes each pixel's light and luma slots, and keeps the largest value of each channel.
template <bool Subsampled, int Rows, bool Ways, int LightShift>
inline void readingGroup(const VectorParameters& v, const uint16_t* const* luma, const uint16_t* cb,
                         const uint16_t* cr, int32_t* lightSlots, uint16_t* lumaSlots, GroupCounters& counters) {
    static_assert(Subsampled || Rows == 1, "only rows that share their chroma samples are measured together");
    for (int row = 0; row < Rows; ++row) __builtin_prefetch(luma[row] + kPrefetchSamples, 0);
    __builtin_prefetch(cb + kPrefetchSamples, 0);
    __builtin_prefetch(cr + kPrefetchSamples, 0);
    constexpr int kChromaVectors = Subsampled ? 1 : 2;
    U16x8 cbCodes[kChromaVectors];
    U16x8 crCodes[kChromaVectors];
    for (int i = 0; i < kChromaVectors; ++i) {
        cbCodes[i] = clampRead(cb + 8 * i, v.chromaLow, v.chromaHigh);
        crCodes[i] = clampRead(cr + 8 * i, v.chromaLow, v.chromaHigh);
    }
    const VectorOffsets first = chromaOffsets(v, cbCodes[0], crCodes[0]);
    const VectorOffsets second = chromaOffsets(v, cbCodes[kChromaVectors - 1], crCodes[kChromaVectors - 1]);
    F32x8 offsets[2];
    spreadOffsets<Subsampled>(largestOffsets(first), largestOffsets(second), offsets[0], offsets[1]);
    U16x8 lumaCodes[Rows][2];
    F32x8 y[Rows][2];
    for (int row = 0; row < Rows; ++row) {
        for (int half = 0; half < 2; ++half) {
            const U16x8 codes = clampRead(luma[row] + 8 * half, v.lumaLow, v.lumaHigh);
            lumaCodes[row][half] = codes;
            y[row][half] = __builtin_convertvector(widenCodes(codes), F32x8);
            storeVector(lumaSlots + kGroupPixels * row + 8 * half, slotsOf<Ways>(codes));
            storeVector(lightSlots + kGroupPixels * row + 8 * half,
                        shiftedSlots<LightShift>(derivedCodes(v, y[row][half], offsets[half])));
        }
    }
    if (Subsampled) {
        // The pixels of a chroma pair share their offsets: only the largest of their lumas can give the
        // largest value.
        accumulateChannels(counters, pairLargestLuma<Rows>(lumaCodes), first.red, first.green, first.blue);
    } else {
        accumulateChannels(counters, y[0][0], first.red, first.green, first.blue);
        accumulateChannels(counters, y[0][1], second.red, second.green, second.blue);
    }
}

// The scalar part of a reading-face group: the histograms, and for one row the chain of additions in
// pixel order.
template <int Rows, bool Ways, int LightShift>
inline void countReadingGroup(const BandParameters& p, const int32_t* lightSlots, const uint16_t* lumaSlots,
                              double& lightSum) {
    constexpr int kWays = Ways ? hdrmeter::detail::kHistogramWays : 1;
    constexpr int kLightWays = 1 << LightShift;
    if (Rows == 1 && p.sumLight) {
        const double* const luminance = p.luminance;
        for (int i = 0; i < kGroupPixels; ++i) lightSum += luminance[lightSlots[i] >> LightShift];
    }
    uint32_t* const light = p.lightHistogram;
    uint32_t* const luma = p.lumaHistogram;
#pragma GCC unroll 32
    for (int i = 0; i < kGroupPixels * Rows; ++i) {
        // The way as a displacement from the slot's counter, not an addition to its index.
        ++(light + lightSlots[i])[i % kLightWays];
        ++(luma + lumaSlots[i])[i % kWays];
    }
}

// A reading-face run of whole 4:2:2 pairs or 4:4:4 pixels in each of Rows rows.
template <bool Subsampled, int Rows, bool Ways, int LightShift>
void readRun(const BandParameters& p, const uint16_t* const* luma, const uint16_t* cb, const uint16_t* cr,
             int pixelCount, BandTotals& totals) {
    constexpr int kPixelsPerChroma = Subsampled ? 2 : 1;
    constexpr int kSlots = kGroupPixels * Rows;
    const VectorParameters v(p);
    GroupCounters counters;
    for (F32x8& value : counters.largestChannelValue) value = splat<F32x8>(-1.0e30f);  // below any y + offset
    alignas(32) int32_t lightSlots[2][kSlots] = {};
    alignas(32) uint16_t lumaSlots[2][kSlots] = {};
    const int groupCount = pixelCount / kGroupPixels;
    double lightSum = totals.lightSum;
    const auto vectorPart = [&](int group) {
        const int pixel = group * kGroupPixels;
        const uint16_t* rows[Rows];
        for (int row = 0; row < Rows; ++row) rows[row] = luma[row] + pixel;
        readingGroup<Subsampled, Rows, Ways, LightShift>(v, rows, cb + pixel / kPixelsPerChroma, cr + pixel / kPixelsPerChroma,
                                             lightSlots[group & 1], lumaSlots[group & 1], counters);
    };
    if (groupCount > 0) vectorPart(0);
    for (int group = 0; group < groupCount; ++group) {
        if (group + 1 < groupCount) vectorPart(group + 1);
        countReadingGroup<Rows, Ways, LightShift>(p, lightSlots[group & 1], lumaSlots[group & 1], lightSum);
    }
    totals.lightSum = lightSum;
    for (int channel = 0; channel < 3 && groupCount > 0; ++channel) {
        const I32x8 codes = derivedCodes(v, F32x8{}, counters.largestChannelValue[channel]);
        totals.largestChannelCode[channel] = largestLane(codes, totals.largestChannelCode[channel]);
    }
    for (int pixel = groupCount * kGroupPixels; pixel < pixelCount; ++pixel) {
        const int chroma = pixel / kPixelsPerChroma;
        for (int row = 0; row < Rows; ++row) readPixel(p, luma[row][pixel], cb[chroma], cr[chroma], totals);
    }
}

// Calls run with the reading face's histogram ways (a bool) and the light histogram's way shift (an int)
// as compile-time constants, so that each increment is one instruction with a constant displacement.
template <class Run>
inline void withHistogramWays(const BandParameters& p, Run run) {
    using NoWays = std::integral_constant<bool, false>;
    using Ways = std::integral_constant<bool, true>;
    if (p.histogramStride == 0) {
        run(NoWays(), std::integral_constant<int, 0>());
    } else if (p.lightWayShift == 0) {
        run(Ways(), std::integral_constant<int, 0>());
    } else if (p.lightWayShift == 1) {
        run(Ways(), std::integral_constant<int, 1>());
    } else {
        run(Ways(), std::integral_constant<int, kSlotShift>());
    }
}

template <bool Subsampled, int Rows>
void readRun(const BandParameters& p, const uint16_t* const* luma, const uint16_t* cb, const uint16_t* cr,
             int pixelCount, BandTotals& totals) {
    withHistogramWays(p, [&](auto ways, auto lightShift) {
        readRun<Subsampled, Rows, decltype(ways)::value, decltype(lightShift)::value>(p, luma, cb, cr, pixelCount,
                                                                                      totals);
    });
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

void clampingBand(const BandParameters& p, bool subsampled, int pixelCount, uint16_t* luma, uint16_t* framePlanes,
                  long long start, long long end, BandTotals& totals) {
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
        clampPixel(p, luma + first, cbCode, crCode, totals);
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
        clampPixel(p, luma, cbCode, crCode, totals);
        clampPixel(p, luma + 1, cbCode, crCode, totals);
        first = 2;
    }
    const int pairCount = (pairedEnd - first) / 2;
    measureRun<true>(p, luma + first, cb + first / 2, cr + first / 2, 2 * pairCount, totals);
    const int next = first + 2 * pairCount;
    if (next < pairedEnd) {
        // The even last pixel of a frame with an odd pixel count: it has no partner.
        const int cbCode = clampShared(cb + next / 2, p.chromaMin, p.chromaMax);
        const int crCode = clampShared(cr + next / 2, p.chromaMin, p.chromaMax);
        clampPixel(p, luma + next, cbCode, crCode, totals);
    }
    if (lastPairContinuesInLaterBand) {
        const int pair = (last - 1) / 2;
        const int cbCode = clampShared(cb + pair, p.chromaMin, p.chromaMax);
        const int crCode = clampShared(cr + pair, p.chromaMin, p.chromaMax);
        clampPixel(p, luma + last - 1, cbCode, crCode, totals);
    }
}

void readingRows(const BandParameters& p, int chromaShift, const uint16_t* luma, const uint16_t* secondLuma,
                 const uint16_t* cb, const uint16_t* cr, int x0, int count, BandTotals& totals) {
    const uint16_t* const rows[2] = {luma, secondLuma};
    const int rowCount = secondLuma == nullptr ? 1 : 2;
    if (chromaShift == 0) {
        for (int row = 0; row < rowCount; ++row) {
            const uint16_t* const run = rows[row] + x0;
            readRun<false, 1>(p, &run, cb + x0, cr + x0, count, totals);
        }
        return;
    }
    int x = x0;
    int end = x0 + count;
    if (count > 0 && (x & 1) != 0) {  // the second pixel of a pair whose first lies outside the run
        for (int row = 0; row < rowCount; ++row) readPixel(p, rows[row][x], cb[x >> 1], cr[x >> 1], totals);
        ++x;
    }
    const bool lonePixelAtEnd = end > x && ((end - x) & 1) != 0;
    if (lonePixelAtEnd) --end;
    const uint16_t* runRows[2] = {luma + x, secondLuma == nullptr ? nullptr : secondLuma + x};
    if (rowCount == 1) {
        readRun<true, 1>(p, runRows, cb + (x >> 1), cr + (x >> 1), end - x, totals);
    } else {
        readRun<true, 2>(p, runRows, cb + (x >> 1), cr + (x >> 1), end - x, totals);
    }
    if (lonePixelAtEnd) {
        for (int row = 0; row < rowCount; ++row) readPixel(p, rows[row][end], cb[end >> 1], cr[end >> 1], totals);
    }
}

// One R'G'B' pixel from its raw samples, counted in way 0. The luma code's sum stays below 2^30, and the
// division by a constant is exact integer arithmetic.
inline void readRgbPixel(const BandParameters& p, int redSample, int greenSample, int blueSample, double& lightSum,
                         BandTotals& totals) {
    const int red = clampCode(redSample, p.lumaMin, p.lumaMax);
    const int green = clampCode(greenSample, p.lumaMin, p.lumaMax);
    const int blue = clampCode(blueSample, p.lumaMin, p.lumaMax);
    const int lightScale = static_cast<int>(p.lightScale);
    totals.largestChannelCode[0] = largerCode(totals.largestChannelCode[0], red * lightScale);
    totals.largestChannelCode[1] = largerCode(totals.largestChannelCode[1], green * lightScale);
    totals.largestChannelCode[2] = largerCode(totals.largestChannelCode[2], blue * lightScale);
    const int light = largerCode(red, largerCode(green, blue)) * lightScale;
    const int luma = (p.lumaWeights[0] * red + p.lumaWeights[1] * green + p.lumaWeights[2] * blue + 5000) / 10000;
    if (p.sumLight) lightSum += p.luminance[light];
    ++p.lightHistogram[light << p.lightWayShift];
    ++p.lumaHistogram[luma << slotShiftOf(p.histogramStride)];
}

// The R'G'B' parameters as vectors.
struct RgbVectors {
    explicit RgbVectors(const BandParameters& p)
        : low(splat<U16x8>(static_cast<uint16_t>(p.lumaMin))),
          high(splat<U16x8>(static_cast<uint16_t>(p.lumaMax))),
          red(splat<I32x8>(p.lumaWeights[0])),
          green(splat<I32x8>(p.lumaWeights[1])),
          blue(splat<I32x8>(p.lumaWeights[2])),
          lightShift(__builtin_ctz(static_cast<unsigned>(p.lightScale))) {}
    U16x8 low, high;
    I32x8 red, green, blue;
    int lightShift;  // lightScale is a power of two
};

inline U16x8 clampCodes(U16x8 codes, U16x8 low, U16x8 high) {
    codes = codes < low ? low : codes;
    return codes > high ? high : codes;
}

// The slots of eight R'G'B' pixels, and the largest code of each channel so far. The luma code is the
// weighted sum divided by 10000: a single-precision quotient truncated is within one of the integer
// quotient (the sum is below 2^30, so its float and the product are within a hundredth of a code), and
// the remainder corrects it exactly.
template <bool Ways, int LightShift>
inline void rgbSlots(const RgbVectors& v, const U16x8 (&samples)[3], int32_t* lightSlots, uint16_t* lumaSlots,
                     U16x8 (&largest)[3]) {
    U16x8 codes[3];
    for (int c = 0; c < 3; ++c) {
        codes[c] = clampCodes(samples[c], v.low, v.high);
        largest[c] = codes[c] > largest[c] ? codes[c] : largest[c];
    }
    const U16x8 greenOrBlue = codes[1] > codes[2] ? codes[1] : codes[2];
    const U16x8 light = codes[0] > greenOrBlue ? codes[0] : greenOrBlue;
    storeVector(lightSlots, shiftedSlots<LightShift>(widenCodes(light) << v.lightShift));
    const I32x8 sum =
        widenCodes(codes[0]) * v.red + widenCodes(codes[1]) * v.green + widenCodes(codes[2]) * v.blue + 5000;
    I32x8 quotient = __builtin_convertvector(__builtin_convertvector(sum, F32x8) * 1.0e-4f, I32x8);
    const I32x8 remainder = sum - quotient * 10000;
    // Comparisons give -1 where they hold.
    quotient = quotient - (remainder >= splat<I32x8>(10000)) + (remainder < splat<I32x8>(0));
    storeVector(lumaSlots, slotsOf<Ways>(__builtin_convertvector(quotient, U16x8)));
}

// Where a row's R', G' and B' samples lie: three planes, or the words of packed pixels in R'G'B' order or
// in B'G'R' order from `base`.
enum class RgbLayout { Planar, Packed, PackedReversed };

// Eight pixels' samples from pixel `pixel` on, R' G' B'.
template <int Step, RgbLayout Layout>
inline void loadRgb(const uint16_t* const* planes, const uint16_t* base, int pixel, U16x8 (&samples)[3]) {
    if (Layout == RgbLayout::Planar) {
        for (int c = 0; c < 3; ++c) samples[c] = loadVector<U16x8>(planes[c] + pixel);
        return;
    }
    // Two steps of shuffles within 128 bits, which need no crossing between the halves of a 256-bit
    // register: a channel's words from the first two vectors, then from the rest.
    U16x8 words[3];
    if (Step == 3) {
        const U16x8 a = loadVector<U16x8>(base + 3 * pixel), b = loadVector<U16x8>(base + 3 * pixel + 8);
        const U16x8 c = loadVector<U16x8>(base + 3 * pixel + 16);
        words[0] = __builtin_shufflevector(__builtin_shufflevector(a, b, 0, 3, 6, 9, 12, 15, -1, -1), c, 0, 1, 2, 3,
                                           4, 5, 10, 13);
        words[1] = __builtin_shufflevector(__builtin_shufflevector(a, b, 1, 4, 7, 10, 13, -1, -1, -1), c, 0, 1, 2, 3,
                                           4, 8, 11, 14);
        words[2] = __builtin_shufflevector(__builtin_shufflevector(a, b, 2, 5, 8, 11, 14, -1, -1, -1), c, 0, 1, 2, 3,
                                           4, 9, 12, 15);
    } else {
        U16x8 v[4];
        for (int i = 0; i < 4; ++i) v[i] = loadVector<U16x8>(base + 4 * pixel + 8 * i);
        // Each channel of pixels 0..3 and of 4..7 in a low half, then the two halves side by side.
        words[0] = __builtin_shufflevector(__builtin_shufflevector(v[0], v[1], 0, 4, 8, 12, -1, -1, -1, -1),
                                           __builtin_shufflevector(v[2], v[3], 0, 4, 8, 12, -1, -1, -1, -1), 0, 1, 2,
                                           3, 8, 9, 10, 11);
        words[1] = __builtin_shufflevector(__builtin_shufflevector(v[0], v[1], 1, 5, 9, 13, -1, -1, -1, -1),
                                           __builtin_shufflevector(v[2], v[3], 1, 5, 9, 13, -1, -1, -1, -1), 0, 1, 2,
                                           3, 8, 9, 10, 11);
        words[2] = __builtin_shufflevector(__builtin_shufflevector(v[0], v[1], 2, 6, 10, 14, -1, -1, -1, -1),
                                           __builtin_shufflevector(v[2], v[3], 2, 6, 10, 14, -1, -1, -1, -1), 0, 1, 2,
                                           3, 8, 9, 10, 11);
    }
    const bool reversed = Layout == RgbLayout::PackedReversed;
    samples[0] = words[reversed ? 2 : 0];
    samples[1] = words[1];
    samples[2] = words[reversed ? 0 : 2];
}

// A reading-face run of R'G'B' pixels, in groups of 16 whose vector work is issued while the histograms
// of the group before are counted, as readRun does; `groupCount` groups, then the rest one by one.
template <int Step, RgbLayout Layout, bool Ways, int LightShift>
void readRgbRun(const BandParameters& p, const uint16_t* const* planes, const uint16_t* base, int pixelCount,
                int groupCount, BandTotals& totals) {
    constexpr int kSlots = kGroupPixels;
    const RgbVectors v(p);
    U16x8 largest[3] = {};
    alignas(32) int32_t lightSlots[2][kSlots] = {};
    alignas(32) uint16_t lumaSlots[2][kSlots] = {};
    double lightSum = totals.lightSum;
    const auto vectorPart = [&](int group) {
        const int pixel = group * kGroupPixels;
        for (int c = 0; c < (Layout == RgbLayout::Planar ? 3 : 1); ++c) {
            __builtin_prefetch((Layout == RgbLayout::Planar ? planes[c] + pixel : base + Step * pixel) +
                                   kPrefetchSamples, 0);
        }
        for (int half = 0; half < 2; ++half) {
            U16x8 samples[3];
            loadRgb<Step, Layout>(planes, base, pixel + 8 * half, samples);
            rgbSlots<Ways, LightShift>(v, samples, lightSlots[group & 1] + 8 * half, lumaSlots[group & 1] + 8 * half,
                                       largest);
        }
    };
    if (groupCount > 0) vectorPart(0);
    for (int group = 0; group < groupCount; ++group) {
        if (group + 1 < groupCount) vectorPart(group + 1);
        countReadingGroup<1, Ways, LightShift>(p, lightSlots[group & 1], lumaSlots[group & 1], lightSum);
    }
    for (int c = 0; c < 3 && groupCount > 0; ++c) {
        int code = 0;
        for (int lane = 0; lane < 8; ++lane) code = largerCode(code, largest[c][lane]);
        totals.largestChannelCode[c] = largerCode(totals.largestChannelCode[c], code << v.lightShift);
    }
    for (int pixel = groupCount * kGroupPixels; pixel < pixelCount; ++pixel) {
        const long long at = static_cast<long long>(pixel) * Step;
        readRgbPixel(p, planes[0][at], planes[1][at], planes[2][at], lightSum, totals);
    }
    totals.lightSum = lightSum;
}

template <int Step, RgbLayout Layout>
void readRgbRun(const BandParameters& p, const uint16_t* const* planes, const uint16_t* base, int pixelCount,
                int groupCount, BandTotals& totals) {
    withHistogramWays(p, [&](auto ways, auto lightShift) {
        readRgbRun<Step, Layout, decltype(ways)::value, decltype(lightShift)::value>(p, planes, base, pixelCount,
                                                                                     groupCount, totals);
    });
}

template <int Step>
void readPackedRgbRow(const BandParameters& p, const uint16_t* const* planes, int count, BandTotals& totals) {
    // The words of a pixel one after another, R'G'B' or B'G'R'; anything else is read pixel by pixel.
    const bool forward = planes[1] == planes[0] + 1 && planes[2] == planes[0] + 2;
    const bool reversed = planes[1] == planes[2] + 1 && planes[0] == planes[2] + 2;
    const uint16_t* const base = forward ? planes[0] : planes[2];
    // A group reads 16 x Step words from its first pixel's first channel; none may lie beyond the last
    // pixel's last channel, which is word (count - 1) x Step + 2 from the base.
    const long long readable = static_cast<long long>(count - 1) * Step + 3;
    const int groupCount = forward || reversed
                               ? static_cast<int>(readable / (kGroupPixels * Step) < count / kGroupPixels
                                                      ? readable / (kGroupPixels * Step)
                                                      : count / kGroupPixels)
                               : 0;
    if (reversed) {
        readRgbRun<Step, RgbLayout::PackedReversed>(p, planes, base, count, groupCount, totals);
    } else {
        readRgbRun<Step, RgbLayout::Packed>(p, planes, base, count, groupCount, totals);
    }
}

void readingRgbRow(const BandParameters& p, int step, const uint16_t* red, const uint16_t* green,
                   const uint16_t* blue, int x0, int count, BandTotals& totals) {
    if (count <= 0) return;
    const long long first = static_cast<long long>(x0) * step;
    const uint16_t* const planes[3] = {red + first, green + first, blue + first};
    if (step == 3) {
        readPackedRgbRow<3>(p, planes, count, totals);
    } else if (step == 4) {
        readPackedRgbRow<4>(p, planes, count, totals);
    } else {
        readRgbRun<1, RgbLayout::Planar>(p, planes, nullptr, count, count / kGroupPixels, totals);
    }
}

// Fills count doubles with one value using streaming stores where the processor has them: the buffer
// is far larger than the caches and is read back only at three positions, so reading each line in
// before overwriting it would double the memory traffic.
void fillDoubles(double* out, long long count, double value) {
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

}  // namespace

namespace hdrmeter {
namespace detail {

const KernelSet& HDRMETER_KERNEL_SET() {
    static const KernelSet set{clampingBand, readingRows, readingRgbRow, fillDoubles};
    return set;
}

}  // namespace detail
}  // namespace hdrmeter
