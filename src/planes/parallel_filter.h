#ifndef HDRMETER_PLANES_PARALLEL_FILTER_H
#define HDRMETER_PLANES_PARALLEL_FILTER_H

#include <opencv2/core.hpp>

namespace hdrmeter {
namespace planes {

// Smooths `source` into `destination` (same size and type, CV_8UC1, CV_16UC1 or CV_32FC1; the same
// matrix for in-place filtering) with the horizontal kernel and then the vertical kernel, samples
// outside the matrix counting as 0 and the intermediate stored in the matrix's own sample type. Each
// pass runs as stripeCount std::async tasks over disjoint stripes: whole rows in the horizontal pass,
// whole columns in the vertical one, so that no stripe needs its neighbours' samples. width and height
// are the matrix's columns and rows. A stripeCount of 0 behaves like 1; a negative one changes nothing.
// A task's failure is raised here, after every task of its pass has finished.
void parallelFilter2D(const cv::Mat& source, cv::Mat& destination, int width, int height, int stripeCount);

}  // namespace planes
}  // namespace hdrmeter

#endif  // HDRMETER_PLANES_PARALLEL_FILTER_H
