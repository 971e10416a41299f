// Measures one band of a frame: clamps the band's codes in place, looks up luminance and light, and
// returns the band's partial sums. HDR_Measurements runs the same kernel with a histogram per band
// instead of writing every luminance; this entry keeps the per-band results for a caller that wants it.
#include "hdrmeter.h"
#include "measurement/band_kernel.h"
#include "measurement/lookup_tables.h"

#include <cstdint>

std::tuple<double, double, double> CHDR_Measurements::HDR_Measurements_task(InputPixelFormat format, int width,
                                                                             int height, unsigned char* lumaPlane,
                                                                             unsigned char* framePlanes,
                                                                             long long start, long long end) {
    if (start >= end) return {0.0, 0.0, 0.0};
    const int pixelCount = width * height;
    const bool subsampled = format == YCbCr422_A || format == YCbCr422_B;
    uint16_t* luma = reinterpret_cast<uint16_t*>(lumaPlane);
    hdrmeter::detail::BandTotals totals;
    hdrmeter::detail::kernels().clampingBand(bandParameters(), subsampled, pixelCount, luma,
                                             reinterpret_cast<uint16_t*>(framePlanes), start, end, totals);
    const float* eotf = sharedTables_->eotf.get();
    if (measurePercentiles) {
        for (long long pixel = start; pixel < end; ++pixel) pixelLuminance[pixel] = eotf[luma[pixel]];
    }
    const double largestLight = totals.largestLightCode < 0 ? 0.0 : eotf[totals.largestLightCode];
    return {totals.lightSum, largestLight, static_cast<double>(totals.aboveThresholdCount)};
}
