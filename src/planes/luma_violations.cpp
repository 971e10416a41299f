#include "hdrmeter.h"

#include "planes/plane_wrapping.h"
#include "planes/range_masks.h"

using hdrmeter::planes::integerPlaneType;
using hdrmeter::planes::makeRangeMasks;
using hdrmeter::planes::RangeMasks;
using hdrmeter::planes::wrapPlane;

// 16-bit samples are widened to float, where every word and the float limits compare exactly; 8-bit
// samples are masked as they are, and cv::threshold rounds a fractional limit down, which gives the
// same answer as the exact comparison of a whole-number sample with it.
void ocvFindLumaViolations(unsigned char* plane, unsigned int width, unsigned int height, unsigned int bitDepth,
                           float lowerLimit, float upperLimit, unsigned int* violationCount, int* lowCount,
                           int* highCount)
{
    cv::Mat samples = wrapPlane(plane, width, height, integerPlaneType(bitDepth));
    if (bitDepth != 8) {
        cv::Mat widened;
        samples.convertTo(widened, CV_32F, 1.0, 0.0);
        samples = widened;
    }

    const RangeMasks masks = makeRangeMasks(samples, upperLimit, lowerLimit);
    // Elements are 0 or 1, so the sum stays exact in the 8-bit type as well.
    cv::Mat eitherMask;
    cv::add(masks.low, masks.high, eitherMask);

    *violationCount = static_cast<unsigned int>(cv::countNonZero(eitherMask));
    *lowCount = cv::countNonZero(masks.low);
    *highCount = cv::countNonZero(masks.high);
}
