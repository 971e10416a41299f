// Measures a whole frame: cuts it into bands measured by concurrent tasks, combines their partial sums
// in band order and, with percentiles on, leaves the frame's luminances in descending order in the
// per-pixel buffer and picks three of them.
#include "hdrmeter.h"
#include "measurement/band_kernel.h"
#include "measurement/lookup_tables.h"

#include <algorithm>
#include <functional>
#include <future>
#include <vector>

namespace {

using Results = std::tuple<double, double, double, double, double, double>;

// Index into the descending luminances that the brightest `percent` percent of pixels reach.
int percentilePosition(double percent, int pixelCount) {
    const int position = static_cast<int>(percent / 100.0 * pixelCount) - 1;
    return std::max(position, 0);
}

// The smallest luma code whose luminance is strictly above the threshold, in a non-decreasing table
// (lumaMax + 1 when there is none).
int firstCodeAbove(const float* eotf, int lumaMin, int lumaMax, double thresholdLuminance) {
    const float* found = std::partition_point(eotf + lumaMin, eotf + lumaMax + 1, [&](float luminance) {
        return !(static_cast<double>(luminance) > thresholdLuminance);
    });
    return static_cast<int>(found - eotf);
}

// A std::async future waits for its task when destroyed, so when a launch or a band throws, destroying
// the list joins every band already launched before the exception leaves the call.
template <class Totals, class Launch>
std::vector<std::future<Totals>> launchBands(int bandCount, int pixelCount, Launch launch) {
    std::vector<std::future<Totals>> bands;
    bands.reserve(static_cast<size_t>(bandCount));
    const long long bandLength = pixelCount / bandCount;
    long long bandStart = 0;
    for (int band = 0; band < bandCount; ++band) {
        const long long bandEnd = band == bandCount - 1 ? pixelCount : bandStart + bandLength;
        bands.push_back(launch(band, bandStart, bandEnd));
        bandStart = bandEnd;
    }
    return bands;
}

// Luminance is a function of the clamped luma code: writing each code's luminance as often as the code
// occurs, brightest first, gives exactly the sorted per-pixel luminances. The writing is shared by up
// to `taskCount` tasks, each filling its own range of positions.
void writeDescendingLuminances(const float* eotf, const std::vector<uint32_t>& codeCounts, int lumaMin, int lumaMax,
                               double* out, int pixelCount, int taskCount) {
    const hdrmeter::detail::FillFunction fillRun = hdrmeter::detail::kernels().fill;
    const auto fill = [&](long long begin, long long end) {
        long long position = 0;
        for (int code = lumaMax; code >= lumaMin && position < end; --code) {
            const long long runEnd = position + codeCounts[code];
            const long long from = std::max(position, begin);
            const long long to = std::min(runEnd, end);
            if (from < to) fillRun(out + from, to - from, static_cast<double>(eotf[code]));
            position = runEnd;
        }
    };
    constexpr long long kMinimumPositionsPerTask = 1 << 16;
    const long long parts = std::max(1LL, std::min<long long>(taskCount, pixelCount / kMinimumPositionsPerTask));
    std::vector<std::future<void>> helpers;
    helpers.reserve(static_cast<size_t>(parts - 1));
    for (long long part = 1; part < parts; ++part) {
        helpers.push_back(std::async(fill, pixelCount * part / parts, pixelCount * (part + 1) / parts));
    }
    fill(0, pixelCount / parts);
    for (auto& helper : helpers) helper.get();
}

}  // namespace

std::tuple<double, double, double, double, double, double> CHDR_Measurements::HDR_Measurements(
    InputPixelFormat format, int width, int height, unsigned char* lumaPlane, unsigned char* framePlanes,
    int taskCount) {
    const int pixelCount = width * height;
    const int bandCount = taskCount == 0 ? 1 : taskCount;
    if (bandCount < 0 || pixelCount <= 0) return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};

    if (measurePercentiles) reservePixelLuminance(pixelCount);

    double aboveThresholdCount = 0.0;
    double lightSum = 0.0;
    double largestLight = 0.0;
    const auto combine = [&](double bandLightSum, double bandLargestLight, double bandAboveCount) {
        aboveThresholdCount += bandAboveCount;
        lightSum += bandLightSum;
        if (!(largestLight > bandLargestLight)) largestLight = bandLargestLight;
    };

    if (sharedTables_->eotfNonDecreasing) {
        using hdrmeter::detail::BandParameters;
        using hdrmeter::detail::BandTotals;
        const int histogramSize = lumaMax + 1;
        const size_t bandHistogramSize = static_cast<size_t>(hdrmeter::detail::kHistogramWays) * histogramSize;
        std::vector<uint32_t> histograms(measurePercentiles ? static_cast<size_t>(bandCount) * bandHistogramSize : 0);
        const hdrmeter::detail::ChromaCoefficients& k = sharedTables_->coefficients;
        BandParameters shared{};
        shared.luminance = sharedTables_->eotfWidened.get();
        shared.lumaMin = lumaMin;
        shared.lumaMax = lumaMax;
        shared.chromaMin = chromaMin;
        shared.chromaMax = chromaMax;
        shared.rgbMin = rgbMin;
        shared.rgbMax = rgbMax;
        shared.chromaNeutral = chromaNeutral;
        shared.redFromCr = k.redFromCr;
        shared.greenFromCb = k.greenFromCb;
        shared.greenFromCr = k.greenFromCr;
        shared.blueFromCb = k.blueFromCb;
        shared.codeRounding = 0.0f;
        shared.firstCodeAbove = firstCodeAbove(eotfLUT, lumaMin, lumaMax, thresholdLuminance);
        shared.measureLight = measureLightLevel;
        shared.sumLight = measureLightLevel;
        shared.histogramStride = histogramSize;
        const bool subsampled = format == YCbCr422_A || format == YCbCr422_B;
        uint16_t* luma = reinterpret_cast<uint16_t*>(lumaPlane);
        uint16_t* frame = reinterpret_cast<uint16_t*>(framePlanes);
        const hdrmeter::detail::ClampingBandFunction measureBand = hdrmeter::detail::kernels().clampingBand;
        auto bands = launchBands<BandTotals>(bandCount, pixelCount, [&](int band, long long start, long long end) {
            BandParameters parameters = shared;
            if (measurePercentiles) parameters.lumaHistogram = histograms.data() + band * bandHistogramSize;
            return std::async([=] {
                BandTotals totals;
                measureBand(parameters, subsampled, pixelCount, luma, frame, start, end, totals);
                return totals;
            });
        });
        for (auto& band : bands) {
            const BandTotals totals = band.get();
            const double bandLargest = totals.largestLightCode < 0 ? 0.0 : eotfLUT[totals.largestLightCode];
            combine(totals.lightSum, bandLargest, static_cast<double>(totals.aboveThresholdCount));
        }
        if (measurePercentiles) {
            std::vector<uint32_t> codeCounts(histogramSize, 0);
            for (size_t table = 0; table < histograms.size() / histogramSize; ++table) {
                const uint32_t* counts = histograms.data() + table * histogramSize;
                for (int code = lumaMin; code <= lumaMax; ++code) codeCounts[code] += counts[code];
            }
            writeDescendingLuminances(eotfLUT, codeCounts, lumaMin, lumaMax, pixelLuminance, pixelCount, bandCount);
        }
    } else {
        using BandResult = std::tuple<double, double, double>;
        auto bands = launchBands<BandResult>(bandCount, pixelCount, [&](int, long long start, long long end) {
            return std::async(&CHDR_Measurements::HDR_Measurements_task, this, format, width, height, lumaPlane,
                              framePlanes, start, end);
        });
        for (auto& band : bands) {
            const BandResult partial = band.get();
            combine(std::get<0>(partial), std::get<1>(partial), std::get<2>(partial));
        }
        if (measurePercentiles) std::sort(pixelLuminance, pixelLuminance + pixelCount, std::greater<double>());
    }

    const double peak = peakLuminance;
    const double averageLightNits = peak * lightSum / pixelCount;
    const double largestLightNits = largestLight * peak;
    const double aboveThresholdPercent = aboveThresholdCount * 100.0 / pixelCount;
    if (!measurePercentiles) return {averageLightNits, largestLightNits, aboveThresholdPercent, 0.0, 0.0, 0.0};

    const double* luminance = pixelLuminance;
    const float top1Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent1, pixelCount)]);
    const float top2Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent2, pixelCount)]);
    const float bottomNits =
        static_cast<float>(peak * luminance[percentilePosition(100.0 - static_cast<double>(bottomPercent), pixelCount)]);
    return {averageLightNits, largestLightNits, aboveThresholdPercent, top1Nits, top2Nits, bottomNits};
}
