#include "hdrmeter.h"

#include "planes/plane_wrapping.h"

using hdrmeter::planes::integerPlaneType;
using hdrmeter::planes::wrapPlane;

// cv::minMaxLoc skips a null output itself, and for an empty plane it reports 0 for both.
void ocvFindMinMax(unsigned char* plane, double* minValue, double* maxValue, unsigned int width,
                   unsigned int height, unsigned int bitDepth)
{
    const cv::Mat samples = wrapPlane(plane, width, height, integerPlaneType(bitDepth));
    cv::Point minLocation;
    cv::Point maxLocation;
    cv::minMaxLoc(samples, minValue, maxValue, &minLocation, &maxLocation);
}

void ocvFindMinMax_32F(float* plane, double* minValue, double* maxValue, unsigned int width, unsigned int height)
{
    const cv::Mat samples = wrapPlane(plane, width, height, CV_32FC1);
    cv::Point minLocation;
    cv::Point maxLocation;
    cv::minMaxLoc(samples, minValue, maxValue, &minLocation, &maxLocation);
}

// The upper bound is tested on the plane as the lower bound left it, so minValue > maxValue leaves every
// sample at maxValue. Samples equal to a bound, and NaN samples, are never rewritten.
void ocvClampMinMax_32F(float* plane, double minValue, double maxValue, unsigned int width, unsigned int height)
{
    cv::Mat samples = wrapPlane(plane, width, height, CV_32FC1);
    // OpenCV's comparison refuses an empty operand; an empty plane has nothing to clamp.
    if (samples.empty()) {
        return;
    }
    {
        const cv::Mat belowMinimum = samples < minValue;
        samples.setTo(minValue, belowMinimum);
    }
    const cv::Mat aboveMaximum = samples > maxValue;
    samples.setTo(maxValue, aboveMaximum);
}
