// Internal: the transfer functions both faces of the library build their tables with.
#ifndef HDRMETER_MEASUREMENT_TRANSFER_FUNCTIONS_H
#define HDRMETER_MEASUREMENT_TRANSFER_FUNCTIONS_H

#include <cmath>

namespace hdrmeter {
namespace detail {

// SMPTE ST 2084 EOTF: non-linear signal to luminance normalised to 10000 nit.
inline double pqEotf(double signal) {
    const double x = signal < 0.0 ? 0.0 : signal;
    const double e = std::pow(x, 0.012683313515655966);  // 1 / m2
    double n = e - 0.8359375;                              // c1
    if (!(n > 0.0)) n = 0.0;
    // The exponent is the one this library has always used, a hair above the exact 1 / m1.
    return std::pow(n / (18.8515625 - 18.6875 * e), 6.277394636507897);
}

// ITU-R BT.2100 HLG EOTF for a 1000-nit display with black at 0: luminance normalised to 1000 nit.
inline double hlgEotf(double signal) {
    const double x = signal < 0.0 ? 0.0 : signal;
    const double sceneLight = x <= 0.5 ? 4.0 * x * x : std::exp((x - 0.55991073) / 0.17883277) + 0.28466892;
    // R = G = B = E, so the BT.2100 luminance weights sum the same E three times, in this order.
    const double sceneLuminance = 0.2627 * sceneLight + 0.678 * sceneLight + 0.0593 * sceneLight;
    const double systemGammaMinusOne = 1.2 - 1.0;
    return std::pow(sceneLuminance, systemGammaMinusOne) * (1000.0 / std::pow(12.0, 1.2)) * sceneLight / 1000.0;
}

}  // namespace detail
}  // namespace hdrmeter

#endif
