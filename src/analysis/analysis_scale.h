// Internal to the analyzer: everything that turns codes of one bit depth and range into light under one
// set of settings. Built once, shared read-only by an analyzer and every statistics object it makes.
#ifndef HDRMETER_ANALYSIS_ANALYSIS_SCALE_H
#define HDRMETER_ANALYSIS_ANALYSIS_SCALE_H

#include "hdrmeter/analysis.h"
#include "measurement/lookup_tables.h"

#include <memory>
#include <vector>

namespace hdrmeter {
namespace detail {

struct AnalysisScale {
    // What the statistics mean: two scales with the same of these measure alike, so their statistics merge.
    int bitDepth = 10;
    SampleRange range = SampleRange::Narrow;
    Transfer transfer = Transfer::Pq;
    Matrix matrix = Matrix::Bt2020;
    Arithmetic arithmetic;
    double thresholdNits = 0.0;
    double top1Percent = 0.0;
    double top2Percent = 0.0;
    double bottomPercent = 0.0;

    double peakNits = 10000.0;  // what normalised luminance 1.0 stands for
    CodeLevels levels{};                // the class's own levels in narrow range
    ChromaCoefficients coefficients{};  // chroma code to luma code units
    float codeRounding = 0.0f;
    int firstLumaCodeAbove = 0;  // luma codes from here up have a luminance above the threshold
    int lumaWeights[3] = {0, 0, 0};  // Kr, Kg, Kb in ten-thousandths: an R'G'B' pixel's luma code

    std::vector<double> luminance;  // normalised luminance per luma code, the single-precision table value widened

    // Light is kept in light codes, lightScale of them to a code: 1 with the class's coefficients, whose
    // definition truncates to whole codes; with exact coefficients 2^(16 - bitDepth), so that at every
    // depth a light code is 1/64 of a 10-bit code and the light of the unrounded signal is within
    // 0.01 % of its light code's.
    int lightScale = 1;
    std::vector<double> lightLuminance;  // normalised luminance per light code, a single-precision value widened
    std::vector<double> lightPqSignal;   // each light code's light as a PQ signal, 0..1

    int codeCount() const { return static_cast<int>(luminance.size()); }
    int lightCodeCount() const { return static_cast<int>(lightLuminance.size()); }
    bool measuresAlike(const AnalysisScale& other) const;
};

// Throws std::invalid_argument for Coefficients::Listed on full-range samples.
std::shared_ptr<const AnalysisScale> buildAnalysisScale(const AnalysisSettings& settings, int bitDepth,
                                                        SampleRange range);

}  // namespace detail
}  // namespace hdrmeter

#endif
