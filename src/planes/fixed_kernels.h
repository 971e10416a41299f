#ifndef HDRMETER_PLANES_FIXED_KERNELS_H
#define HDRMETER_PLANES_FIXED_KERNELS_H

#include <opencv2/core.hpp>

namespace hdrmeter {
namespace planes {

// 1 x 7, (1 2 3 4 3 2 1) / 16, CV_32FC1, applied first, along rows.
cv::Mat buildHorizontalKernel();
// 3 x 1, (1 2 1) / 4, CV_32FC1, applied second, along columns.
cv::Mat buildVerticalKernel();

// The middle tap of each kernel.
const cv::Point horizontalKernelAnchor(3, 0);
const cv::Point verticalKernelAnchor(0, 1);

// Library-wide, read-only after load: defined by the load-time layer (src/library), which builds them
// before any export can run and releases them at unload.
extern const cv::Mat horizontalKernel;
extern const cv::Mat verticalKernel;

}  // namespace planes
}  // namespace hdrmeter

#endif  // HDRMETER_PLANES_FIXED_KERNELS_H
