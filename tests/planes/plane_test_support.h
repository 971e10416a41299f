#ifndef HDRMETER_TESTS_PLANES_PLANE_TEST_SUPPORT_H
#define HDRMETER_TESTS_PLANES_PLANE_TEST_SUPPORT_H

#include <cstring>
#include <vector>

#include <opencv2/core.hpp>

#include "hdrmeter.h"

// A sample type as a host selects it: the matrix type the test builds, and the bitDepth handed to the
// integer exports (ignored for float planes).
struct SampleKind {
    const char* name;
    int matrixType;
    unsigned int bitDepth;
};

inline std::vector<SampleKind> everySampleKind()
{
    return {{"8-bit", CV_8UC1, 8}, {"16-bit", CV_16UC1, 10}, {"float", CV_32FC1, 0}};
}

// The test allocates planes as continuous cv::Mat, so plane.data is a gap-free host buffer.
inline cv::Mat planeOf(const SampleKind& kind, int width, int height, const std::vector<double>& values)
{
    cv::Mat asDouble(height, width, CV_64FC1);
    std::memcpy(asDouble.data, values.data(), values.size() * sizeof(double));
    cv::Mat plane;
    asDouble.convertTo(plane, kind.matrixType);
    return plane;
}

inline std::vector<double> valuesOf(const cv::Mat& plane)
{
    cv::Mat asDouble;
    plane.convertTo(asDouble, CV_64FC1);
    return std::vector<double>(asDouble.begin<double>(), asDouble.end<double>());
}

inline void smoothWithExport(cv::Mat& plane, unsigned int bitDepth, int stripeCount)
{
    if (plane.type() == CV_32FC1) {
        float* planes[] = {plane.ptr<float>()};
        ocvfilter2D_32F(planes, static_cast<unsigned int>(plane.cols), static_cast<unsigned int>(plane.rows),
                        stripeCount);
    } else {
        unsigned char* planes[] = {plane.ptr<unsigned char>()};
        ocvfilter2D(planes, static_cast<unsigned int>(plane.cols), static_cast<unsigned int>(plane.rows), bitDepth,
                    stripeCount);
    }
}

inline bool sameBytes(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

#endif  // HDRMETER_TESTS_PLANES_PLANE_TEST_SUPPORT_H
