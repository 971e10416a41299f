#include "planes/fixed_kernels.h"

namespace hdrmeter {
namespace planes {

// Every weight is a multiple of 1/16 or 1/4, exact in a float, and each kernel sums to exactly 1, so
// a uniform region away from the edges keeps its value.
cv::Mat buildHorizontalKernel()
{
    return (cv::Mat_<float>(1, 7) << 0.0625f, 0.125f, 0.1875f, 0.25f, 0.1875f, 0.125f, 0.0625f);
}

cv::Mat buildVerticalKernel()
{
    return (cv::Mat_<float>(3, 1) << 0.25f, 0.5f, 0.25f);
}

}  // namespace planes
}  // namespace hdrmeter
