#include "pq_curve.h"

#include <algorithm>
#include <cmath>

namespace hdrmeter::clip {

double pqSignalFromNits(double nits)
{
    const double m1 = 2610.0 / 16384.0;
    const double m2 = 2523.0 / 4096.0 * 128.0;
    const double c1 = 3424.0 / 4096.0;
    const double c2 = 2413.0 / 4096.0 * 32.0;
    const double c3 = 2392.0 / 4096.0 * 32.0;
    const double luminance = std::clamp(nits / 10000.0, 0.0, 1.0);
    const double powered = std::pow(luminance, m1);
    return std::pow((c1 + c2 * powered) / (1.0 + c3 * powered), m2);
}

}  // namespace hdrmeter::clip
