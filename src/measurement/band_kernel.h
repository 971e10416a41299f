// Internal to the measurement engine: the fast band measurement used when the EOTF table is
// non-decreasing (PQ and HLG tables always are; InitializeMeasurements checks).
//
// It gives the same bits as the per-pixel definition, by these equalities:
//  * a pixel's light is the largest of the luminances of its R, G and B codes; with a non-decreasing
//    table that is the luminance of the largest code, and since truncation, clamping and adding the
//    same y are non-decreasing too, that code is clamp(trunc(y + max(R-Y, G-Y, B-Y)));
//  * the largest light of a band is the luminance of its largest light code;
//  * a luminance above the threshold is a luma code at or above the first code whose luminance is;
//  * luminance is a function of the clamped luma code, so a histogram of codes gives the descending
//    per-pixel luminances and their percentiles without sorting;
//  * each chroma offset is the single-precision product a chroma table entry holds, so no 2-D table
//    is read.
// The sum of lights stays one chain of double additions in pixel order: any other order would round
// differently.
#ifndef HDRMETER_MEASUREMENT_BAND_KERNEL_H
#define HDRMETER_MEASUREMENT_BAND_KERNEL_H

#include <cstdint>

namespace hdrmeter {
namespace detail {

struct FastBandParameters {
    const double* eotfWidened;  // the EOTF table's entries as doubles: the chain of additions then converts nothing
    int lumaMin, lumaMax;
    int chromaMin, chromaMax;
    int rgbMin, rgbMax;
    int chromaNeutral;
    float redFromCr, greenFromCb, greenFromCr, blueFromCb;
    int firstCodeAbove;  // luma codes from here up count as above the threshold
    bool measureLight;
    // Counts per clamped luma code, or null when percentiles are off: kHistogramWays tables of
    // histogramStride counters, pixel i of a group counting in table i % kHistogramWays so that runs of
    // equal codes do not wait on each other's increments.
    uint32_t* histogram;
    int histogramStride;
};

constexpr int kHistogramWays = 4;

struct FastBandTotals {
    double lightSum = 0.0;
    int largestLightCode = -1;  // -1 until a light has been measured
    long long aboveThresholdCount = 0;
};

// Measures pixels [start, end) of a frame (the band geometry of HDR_Measurements), clamping in place.
using FastBandFunction = void (*)(const FastBandParameters& parameters, bool subsampled, int pixelCount,
                                  uint16_t* luma, uint16_t* framePlanes, long long start, long long end,
                                  FastBandTotals& totals);

// The implementation for this CPU: AVX2 where the processor has it, otherwise baseline x86-64.
FastBandFunction fastBandFunction();

// Each build of the kernel, for tests that hold them to the same results.
void measureFastBandGeneric(const FastBandParameters&, bool, int, uint16_t*, uint16_t*, long long, long long,
                            FastBandTotals&);
void measureFastBandAvx2(const FastBandParameters&, bool, int, uint16_t*, uint16_t*, long long, long long,
                         FastBandTotals&);
bool cpuHasAvx2();

// Fills a large buffer with one value, with streaming stores where the processor has them.
using FillFunction = void (*)(double* out, long long count, double value);
FillFunction fillFunction();
void fillDoublesGeneric(double* out, long long count, double value);
void fillDoublesAvx2(double* out, long long count, double value);

}  // namespace detail
}  // namespace hdrmeter

#endif
