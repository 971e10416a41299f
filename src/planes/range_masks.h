#ifndef HDRMETER_PLANES_RANGE_MASKS_H
#define HDRMETER_PLANES_RANGE_MASKS_H

#include <opencv2/core.hpp>

namespace hdrmeter {
namespace planes {

// 0/1 masks of the samples outside a range, of the plane's own type and size.
struct RangeMasks {
    cv::Mat high;  // 1 where a sample is strictly greater than the upper limit
    cv::Mat low;   // 1 where a sample is less than or equal to the lower limit
};

// Both masks come from cv::threshold, so NaN samples and fractional limits on integer samples follow
// OpenCV's rules for it. The high mask is made first.
RangeMasks makeRangeMasks(const cv::Mat& samples, double upperLimit, double lowerLimit);

}  // namespace planes
}  // namespace hdrmeter

#endif  // HDRMETER_PLANES_RANGE_MASKS_H
