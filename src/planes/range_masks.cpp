#include "planes/range_masks.h"

#include <opencv2/imgproc.hpp>

namespace hdrmeter {
namespace planes {

RangeMasks makeRangeMasks(const cv::Mat& samples, double upperLimit, double lowerLimit)
{
    const double maskValue = 1.0;
    RangeMasks masks;
    cv::threshold(samples, masks.high, upperLimit, maskValue, cv::THRESH_BINARY);
    cv::threshold(samples, masks.low, lowerLimit, maskValue, cv::THRESH_BINARY_INV);
    return masks;
}

}  // namespace planes
}  // namespace hdrmeter
