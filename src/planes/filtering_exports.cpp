#include "hdrmeter.h"

#include "planes/parallel_filter.h"
#include "planes/plane_wrapping.h"

using hdrmeter::planes::integerPlaneType;
using hdrmeter::planes::parallelFilter2D;
using hdrmeter::planes::wrapPlane;

// Only planes[0] is read: the host may pass the first entry of its array of plane pointers.
void ocvfilter2D(unsigned char** planes, unsigned int width, unsigned int height, unsigned int bitDepth,
                 int stripeCount)
{
    cv::Mat plane = wrapPlane(planes[0], width, height, integerPlaneType(bitDepth));
    parallelFilter2D(plane, plane, static_cast<int>(width), static_cast<int>(height), stripeCount);
}

void ocvfilter2D_32F(float** planes, unsigned int width, unsigned int height, int stripeCount)
{
    cv::Mat plane = wrapPlane(planes[0], width, height, CV_32FC1);
    parallelFilter2D(plane, plane, static_cast<int>(width), static_cast<int>(height), stripeCount);
}
