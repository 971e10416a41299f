#include "metadata/metadata_model.h"

#include <algorithm>
#include <cmath>

namespace hdrmeter::clip {

namespace {

// HDR10+'s distribution index 10 is a percent of pixels, the others are light.
constexpr std::size_t kDarkPercentPlace = 2;

}  // namespace

long long tenthsOfNits(double nits)
{
    return std::min(100000LL, static_cast<long long>(std::floor(nits * 10.0 + 0.5)));
}

long long pqCode12(double signal)
{
    return static_cast<long long>(std::floor(signal * 4095.0 + 0.5));
}

CarriedLightLevels carriedLightLevels(const Report& report)
{
    const MeasurementSummary& summary = report.summary;
    if (report.request.robustMetadata && report.robustPeaks)
        return {wholeNits(report.robustPeaks->maxCllNits), wholeNits(report.robustPeaks->maxFallNits), true};
    return {wholeNits(summary.maxCll().value()), wholeNits(summary.maxFall().value()), false};
}

Hdr10PlusValues hdr10PlusValuesOf(const SceneDistribution& distribution, double meanAverageLightNits)
{
    Hdr10PlusValues values;
    values.averageRgb = static_cast<std::uint32_t>(tenthsOfNits(meanAverageLightNits));
    for (std::size_t c = 0; c < 3; ++c)
        values.maxScl[c] = static_cast<std::uint32_t>(tenthsOfNits(distribution.largestChannelNits[c]));
    for (std::size_t i = 0; i < values.distribution.size(); ++i)
        values.distribution[i] = static_cast<std::uint32_t>(i == kDarkPercentPlace ? std::llround(distribution.values[i])
                                                                                   : tenthsOfNits(distribution.values[i]));
    return values;
}

}  // namespace hdrmeter::clip
