// The fast band measurement for any x86-64 (or other) processor, and the choice of build at run time.
#define HDRMETER_KERNEL_NAME measureFastBandGeneric
#define HDRMETER_FILL_NAME fillDoublesGeneric
#include "measurement/band_kernel_impl.h"

namespace hdrmeter {
namespace detail {

bool cpuHasAvx2() {
#if defined(HDRMETER_HAVE_AVX2_KERNEL)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

#if !defined(HDRMETER_HAVE_AVX2_KERNEL)
void measureFastBandAvx2(const FastBandParameters& p, bool subsampled, int pixelCount, uint16_t* luma,
                         uint16_t* framePlanes, long long start, long long end, FastBandTotals& totals) {
    measureFastBandGeneric(p, subsampled, pixelCount, luma, framePlanes, start, end, totals);
}
void fillDoublesAvx2(double* out, long long count, double value) { fillDoublesGeneric(out, count, value); }
#endif

FillFunction fillFunction() {
    static const FillFunction chosen = cpuHasAvx2() ? fillDoublesAvx2 : fillDoublesGeneric;
    return chosen;
}

FastBandFunction fastBandFunction() {
    static const FastBandFunction chosen = cpuHasAvx2() ? measureFastBandAvx2 : measureFastBandGeneric;
    return chosen;
}

}  // namespace detail
}  // namespace hdrmeter
