#ifndef HDRMETER_PLANES_PLANE_WRAPPING_H
#define HDRMETER_PLANES_PLANE_WRAPPING_H

#include <opencv2/core.hpp>

namespace hdrmeter {
namespace planes {

// The header borrows the host's memory: OpenCV keeps no reference count on it, so the plane is neither
// copied nor freed. The constructor refuses a null pointer with a non-empty size (cv::Exception -215)
// before any sample is touched; that refusal is the only check the plane functions make.
inline cv::Mat wrapPlane(void* samples, unsigned int width, unsigned int height, int matrixType)
{
    return cv::Mat(static_cast<int>(height), static_cast<int>(width), matrixType, samples);
}

// bitDepth chooses the size of a stored sample and nothing else, so 10- and 12-bit video in 16-bit
// words is handled in raw code values.
inline int integerPlaneType(unsigned int bitDepth)
{
    return bitDepth == 8 ? CV_8UC1 : CV_16UC1;
}

}  // namespace planes
}  // namespace hdrmeter

#endif  // HDRMETER_PLANES_PLANE_WRAPPING_H
