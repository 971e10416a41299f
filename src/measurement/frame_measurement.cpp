// Measures a whole frame: cuts it into bands measured by concurrent tasks, combines their partial sums
// in band order and, with percentiles on, leaves the frame's luminances in descending order in the
// per-pixel buffer and picks three of them.
#include "hdrmeter.h"
#include "measurement/band_kernel.h"
#include "measurement/lookup_tables.h"

#include <algorithm>
#include <climits>
#include <future>
#include <stdexcept>
#include <vector>

namespace {

using Results = std::tuple<double, double, double, double, double, double>;

// Index into the descending luminances that the brightest `percent` percent of pixels reach.
int percentilePosition(double percent, int pixelCount) {
    const int position = static_cast<int>(percent / 100.0 * pixelCount) - 1;
    return std::max(position, 0);
}

// The smallest luma code whose luminance is strictly above the threshold (lumaMax + 1 when there is none).
// PQ and HLG tables never decrease, which the band kernel's shortcuts rely on as well.
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

hdrmeter::detail::BandParameters CHDR_Measurements::bandParameters() const {
    const hdrmeter::detail::LookupTables& tables = *sharedTables_;
    const hdrmeter::detail::CodeLevels& levels = tables.levels;
    hdrmeter::detail::BandParameters p =
        hdrmeter::detail::levelParameters(tables.eotfWidened.get(), levels, tables.coefficients);
    p.codeRounding = 0.0f;
    p.firstCodeAbove = firstCodeAbove(tables.eotf.get(), levels.lumaMin, levels.lumaMax, thresholdLuminance);
    p.measureLight = measureLightLevel;
    p.sumLight = measureLightLevel;
    p.histogramStride = levels.lumaMax + 1;
    return p;
}

std::tuple<double, double, double, double, double, double> CHDR_Measurements::HDR_Measurements(
    InputPixelFormat format, int width, int height, unsigned char* lumaPlane, unsigned char* framePlanes,
    int taskCount) {
    const int bandCount = taskCount == 0 ? 1 : taskCount;
    if (bandCount < 0 || width <= 0 || height <= 0) return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    if (!sharedTables_) {
        throw std::logic_error("HDR_Measurements needs a configured object: InitializeMeasurements must succeed "
                               "first, and again after Destroy_LUT");
    }
    if (format < YCbCr422_A || format > YCbCr444_B) {
        throw std::invalid_argument("HDR_Measurements: the pixel format must be one of the four InputPixelFormat values");
    }
    const long long pixels = static_cast<long long>(width) * height;
    if (pixels > INT_MAX) {
        throw std::invalid_argument("HDR_Measurements: a frame of " + std::to_string(width) + "x" +
                                    std::to_string(height) + " has more pixels than the measurement can index (" +
                                    std::to_string(INT_MAX) + ")");
    }
    const int pixelCount = static_cast<int>(pixels);
    const hdrmeter::detail::LookupTables& tables = *sharedTables_;
    const int lumaMinCode = tables.levels.lumaMin;
    const int lumaMaxCode = tables.levels.lumaMax;

    if (measurePercentiles) reservePixelLuminance(pixelCount);

    // Each band counts its codes in its own histogram while it measures, unless the bands are too short to
    // fill one: then the calling thread counts the clamped luma plane afterwards, so that memory does not
    // grow with the number of bands (65536 codes at 16 bits).
    using hdrmeter::detail::BandParameters;
    using hdrmeter::detail::BandTotals;
    const int histogramSize = lumaMaxCode + 1;
    const bool bandHistograms = measurePercentiles && pixelCount / bandCount >= histogramSize;
    const size_t bandHistogramSize = static_cast<size_t>(hdrmeter::detail::kHistogramWays) * histogramSize;
    std::vector<uint32_t> histograms(bandHistograms ? static_cast<size_t>(bandCount) * bandHistogramSize : 0);
    const BandParameters shared = bandParameters();
    const bool subsampled = format == YCbCr422_A || format == YCbCr422_B;
    uint16_t* luma = reinterpret_cast<uint16_t*>(lumaPlane);
    uint16_t* frame = reinterpret_cast<uint16_t*>(framePlanes);
    const hdrmeter::detail::ClampingBandFunction measureBand = hdrmeter::detail::kernels().clampingBand;
    auto bands = launchBands<BandTotals>(bandCount, pixelCount, [&](int band, long long start, long long end) {
        BandParameters parameters = shared;
        if (bandHistograms) parameters.lumaHistogram = histograms.data() + band * bandHistogramSize;
        return std::async([=] {
            BandTotals totals;
            measureBand(parameters, subsampled, pixelCount, luma, frame, start, end, totals);
            return totals;
        });
    });
    double aboveThresholdCount = 0.0;
    double lightSum = 0.0;
    double largestLight = 0.0;
    for (auto& band : bands) {
        const BandTotals totals = band.get();
        const double bandLargest = totals.largestLightCode < 0 ? 0.0 : tables.eotf[totals.largestLightCode];
        aboveThresholdCount += static_cast<double>(totals.aboveThresholdCount);
        lightSum += totals.lightSum;
        if (!(largestLight > bandLargest)) largestLight = bandLargest;
    }

    const double peak = tables.peakLuminance;
    const double averageLightNits = peak * lightSum / pixelCount;
    const double largestLightNits = largestLight * peak;
    const double aboveThresholdPercent = aboveThresholdCount * 100.0 / pixelCount;
    if (!measurePercentiles) return {averageLightNits, largestLightNits, aboveThresholdPercent, 0.0, 0.0, 0.0};

    std::vector<uint32_t> codeCounts(histogramSize, 0);
    if (bandHistograms) {
        for (size_t table = 0; table < histograms.size() / histogramSize; ++table) {
            const uint32_t* counts = histograms.data() + table * histogramSize;
            for (int code = lumaMinCode; code <= lumaMaxCode; ++code) codeCounts[code] += counts[code];
        }
    } else {
        for (int pixel = 0; pixel < pixelCount; ++pixel) ++codeCounts[luma[pixel]];
    }
    writeDescendingLuminances(tables.eotf.get(), codeCounts, lumaMinCode, lumaMaxCode, pixelLuminance, pixelCount,
                              bandCount);
    const double* luminance = pixelLuminance;
    const float top1Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent1, pixelCount)]);
    const float top2Nits = static_cast<float>(peak * luminance[percentilePosition(topPercent2, pixelCount)]);
    const float bottomNits =
        static_cast<float>(peak * luminance[percentilePosition(100.0 - static_cast<double>(bottomPercent), pixelCount)]);
    return {averageLightNits, largestLightNits, aboveThresholdPercent, top1Nits, top2Nits, bottomNits};
}
