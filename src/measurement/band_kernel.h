// Internal: the vector band kernel that both faces of the library measure with. CHDR_Measurements
// clamps the host's samples in place over linear pixel bands; the analyzer reads rows of padded planes
// and never writes them. Which of the two a run does is a template parameter of one loop.
//
// Both rely on tables whose luminance never decreases with the code (PQ and HLG tables never do), and
// give the same bits as the per-pixel definition by these equalities:
//  * a pixel's light is the largest of the luminances of its R, G and B codes; with a non-decreasing
//    table that is the luminance of the largest code, and since rounding, clamping and adding the same
//    y are non-decreasing too, that code is clamp(round(y + max(R-Y, G-Y, B-Y)));
//  * the largest light of a band is the luminance of its largest light code;
//  * a luminance above the threshold is a luma code at or above the first code whose luminance is;
//  * luminance is a function of the clamped luma code, so a histogram of codes gives the descending
//    per-pixel luminances and their percentiles without sorting;
//  * each chroma offset is the single-precision product a chroma table entry holds, so no 2-D table
//    is read.
// The sum of lights in pixel order stays one chain of double additions: any other order would round
// differently.
#ifndef HDRMETER_MEASUREMENT_BAND_KERNEL_H
#define HDRMETER_MEASUREMENT_BAND_KERNEL_H

#include <cstdint>

namespace hdrmeter {
namespace detail {

struct BandParameters {
    const double* luminance;  // normalised luminance per code, widened: the chain of additions converts nothing
    int lumaMin, lumaMax;
    int chromaMin, chromaMax;
    int rgbMin, rgbMax;  // in light codes
    int chromaNeutral;
    float redFromCr, greenFromCb, greenFromCr, blueFromCb;  // chroma code to luma code units
    float lightScale;    // light codes per code, a power of two: a derived value times it is rounded or
                         // truncated to a light code, so the light keeps a finer step than the source's codes
    float codeRounding;  // added before truncation: 0 truncates a derived code, 0.5 rounds it to the nearest
    int firstCodeAbove;  // clamping face: luma codes from here up count as above the threshold
    bool measureLight;   // clamping face: derive light at all (the reading face always does)
    bool sumLight;       // add up the lights in pixel order
    // Counts per code, or null, in kHistogramWays ways so that runs of equal codes do not wait on each
    // other's increments. Clamping face: pixel i of a group counts in table i % kHistogramWays, the tables
    // histogramStride counters apart. Reading face: the ways side by side, code c of way w counted at
    // c * kHistogramWays + w. A stride of 0 folds the ways into one table of a counter per code (for the
    // 65536 codes of 16 bits) in both faces.
    uint32_t* lumaHistogram;
    uint32_t* lightHistogram;  // reading face only, by light code
    int histogramStride;
    // Reading face: the light histogram's ways side by side as the luma's, 1 << lightWayShift of them (0
    // folds them into one table of a counter per light code).
    int lightWayShift;
    // R'G'B' rows: Kr, Kg and Kb of the matrix in ten-thousandths (they add up to 10000). Both matrices'
    // coefficients have four decimals, so a luma code made with them is the exact sum rounded.
    int lumaWeights[3];
};

constexpr int kHistogramWays = 4;

struct BandTotals {
    double lightSum = 0.0;
    int largestLightCode = -1;  // clamping face; -1 until a light has been measured
    long long aboveThresholdCount = 0;  // clamping face
    int largestChannelCode[3] = {-1, -1, -1};  // reading face: R, G, B
};

// Clamping face: measures pixels [start, end) of a frame in the class's layout (linear 4:2:2 pairs or
// 4:4:4), clamping its codes in place. Neighbouring bands may run at once; a 4:2:2 pair split between two
// of them is touched through relaxed atomics.
using ClampingBandFunction = void (*)(const BandParameters& parameters, bool subsampled, int pixelCount,
                                      uint16_t* luma, uint16_t* framePlanes, long long start, long long end,
                                      BandTotals& totals);

// Reading face: measures pixels [x0, x0 + count) of one row, and of secondLuma's row too unless it is
// null. chromaShift is 1 where chroma is halved horizontally (pixel x uses chroma sample x >> 1 of cb and
// cr, the rows' chroma), 0 otherwise. Two rows are the pair of 4:2:0 rows that share a chroma row, whose
// chroma offsets are then derived once for both; their pixels are not taken in row order, so sumLight
// must be false with a second row.
using ReadingRowsFunction = void (*)(const BandParameters& parameters, int chromaShift, const uint16_t* luma,
                                     const uint16_t* secondLuma, const uint16_t* cb, const uint16_t* cr, int x0,
                                     int count, BandTotals& totals);

// Reading face for R'G'B': pixels [x0, x0 + count) of one row whose R', G' and B' samples lie `step`
// words apart within their planes (1 planar, 3 or 4 packed). Each channel's code, clamped to
// [lumaMin, lumaMax], is its signal, so its light code is the code times lightScale; the luma code is
// (Kr R' + Kg G' + Kb B') rounded to the nearest code, halves up. Pixels are taken in row order.
using ReadingRgbRowFunction = void (*)(const BandParameters& parameters, int step, const uint16_t* red,
                                       const uint16_t* green, const uint16_t* blue, int x0, int count,
                                       BandTotals& totals);

// Fills a large buffer with one value, with streaming stores where the processor has them.
using FillFunction = void (*)(double* out, long long count, double value);

struct KernelSet {
    ClampingBandFunction clampingBand;
    ReadingRowsFunction readingRows;
    ReadingRgbRowFunction readingRgbRow;
    FillFunction fill;
};

// The build for this CPU: AVX2 where the processor has it, otherwise baseline x86-64.
const KernelSet& kernels();
// Each build, for tests that hold them to the same results.
const KernelSet& genericKernels();
const KernelSet& avx2Kernels();
bool cpuHasAvx2();

}  // namespace detail
}  // namespace hdrmeter

#endif
