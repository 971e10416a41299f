#include "hdrmeter.h"

#include "planes/plane_wrapping.h"
#include "planes/range_masks.h"

using hdrmeter::planes::makeRangeMasks;
using hdrmeter::planes::RangeMasks;
using hdrmeter::planes::wrapPlane;

// Every plane is wrapped and masked before any output is written, so a refused plane leaves all four
// counts untouched. A sample in both masks (lowerLimit above upperLimit) counts twice in its plane's
// count but once in violatingPixelCount, which counts positions.
void ocvCountCheck_32F(float* plane1, float* plane2, float* plane3, int* violationCount1, int* violationCount2,
                       int* violationCount3, int* violatingPixelCount, unsigned int width, unsigned int height,
                       float upperLimit, float lowerLimit)
{
    const cv::Mat samples1 = wrapPlane(plane1, width, height, CV_32FC1);
    const cv::Mat samples2 = wrapPlane(plane2, width, height, CV_32FC1);
    const cv::Mat samples3 = wrapPlane(plane3, width, height, CV_32FC1);

    const RangeMasks masks1 = makeRangeMasks(samples1, upperLimit, lowerLimit);
    const RangeMasks masks2 = makeRangeMasks(samples2, upperLimit, lowerLimit);
    const RangeMasks masks3 = makeRangeMasks(samples3, upperLimit, lowerLimit);

    *violationCount1 = cv::countNonZero(masks1.low) + cv::countNonZero(masks1.high);
    *violationCount2 = cv::countNonZero(masks2.low) + cv::countNonZero(masks2.high);
    *violationCount3 = cv::countNonZero(masks3.low) + cv::countNonZero(masks3.high);

    // Mask elements are 0.0 or 1.0, so the float sum is non-zero exactly where some mask is set.
    cv::Mat planeSum1;
    cv::Mat planeSum2;
    cv::Mat planeSum3;
    cv::add(masks1.low, masks1.high, planeSum1);
    cv::add(masks2.low, masks2.high, planeSum2);
    cv::add(masks3.low, masks3.high, planeSum3);
    cv::Mat frameSum;
    cv::add(planeSum1, planeSum2, frameSum);
    cv::add(frameSum, planeSum3, frameSum);
    *violatingPixelCount = cv::countNonZero(frameSum);
}
