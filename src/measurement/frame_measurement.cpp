// Measures a whole frame: cuts it into bands measured by concurrent tasks, combines their partial sums
// in band order and, with percentiles on, sorts the per-pixel luminances to pick three of them.
#include "hdrmeter.h"

#include <algorithm>
#include <functional>
#include <future>
#include <vector>

namespace {

// Index into the descending luminances that the brightest `percent` percent of pixels reach.
int percentilePosition(double percent, int pixelCount) {
    const int position = static_cast<int>(percent / 100.0 * pixelCount) - 1;
    return std::max(position, 0);
}

}  // namespace

std::tuple<double, double, double, double, double, double> CHDR_Measurements::HDR_Measurements(
    InputPixelFormat format, int width, int height, unsigned char* lumaPlane, unsigned char* framePlanes,
    int taskCount) {
    const int pixelCount = width * height;
    const int bandCount = taskCount == 0 ? 1 : taskCount;
    if (bandCount < 0 || pixelCount <= 0) return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};

    if (measurePercentiles) reservePixelLuminance(pixelCount);

    using BandResult = std::tuple<double, double, double>;
    // A future from std::async waits for its task when destroyed, so if a launch or a band throws, the
    // vector's destruction joins every band already launched before the exception leaves this call.
    std::vector<std::future<BandResult>> bands;
    bands.reserve(static_cast<size_t>(bandCount));
    const long long bandLength = pixelCount / bandCount;
    long long bandStart = 0;
    for (int band = 0; band < bandCount; ++band) {
        const long long bandEnd = band == bandCount - 1 ? pixelCount : bandStart + bandLength;
        bands.push_back(std::async(&CHDR_Measurements::HDR_Measurements_task, this, format, width, height, lumaPlane,
                                   framePlanes, bandStart, bandEnd));
        bandStart = bandEnd;
    }

    double aboveThresholdCount = 0.0;
    double lightSum = 0.0;
    double largestLight = 0.0;
    for (std::future<BandResult>& band : bands) {
        const BandResult partial = band.get();
        aboveThresholdCount += std::get<2>(partial);
        lightSum += std::get<0>(partial);
        if (!(largestLight > std::get<1>(partial))) largestLight = std::get<1>(partial);
    }

    const double peak = peakLuminance;
    const double averageLightNits = peak * lightSum / pixelCount;
    const double largestLightNits = largestLight * peak;
    const double aboveThresholdPercent = aboveThresholdCount * 100.0 / pixelCount;
    if (!measurePercentiles) return {averageLightNits, largestLightNits, aboveThresholdPercent, 0.0, 0.0, 0.0};

    double* const luminance = pixelLuminance;
    std::sort(luminance, luminance + pixelCount, std::greater<double>());
    const float top1Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent1, pixelCount)]);
    const float top2Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent2, pixelCount)]);
    const float bottomNits =
        static_cast<float>(peak * luminance[percentilePosition(100.0 - static_cast<double>(bottomPercent), pixelCount)]);
    return {averageLightNits, largestLightNits, aboveThresholdPercent, top1Nits, top2Nits, bottomNits};
}
