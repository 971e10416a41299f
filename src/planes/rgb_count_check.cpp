#include "hdrmeter.h"

#include "planes/plane_wrapping.h"
#include "planes/range_masks.h"

using hdrmeter::planes::makeRangeMasks;
using hdrmeter::planes::RangeMasks;
using hdrmeter::planes::wrapPlane;

// Each output is a host pointer to the int that receives the count; only that first int is written and
// the host's pointer itself is left as it is.
void ocvCountCheckRGB_32F(float* planeR, float* planeG, float* planeB, int** lowCountR, int** lowCountG,
                          int** lowCountB, int** highCountR, int** highCountG, int** highCountB,
                          int** violatingPixelCount, unsigned int width, unsigned int height, float upperLimit,
                          float lowerLimit)
{
    const cv::Mat samplesR = wrapPlane(planeR, width, height, CV_32FC1);
    const cv::Mat samplesG = wrapPlane(planeG, width, height, CV_32FC1);
    const cv::Mat samplesB = wrapPlane(planeB, width, height, CV_32FC1);

    const RangeMasks masksR = makeRangeMasks(samplesR, upperLimit, lowerLimit);
    const RangeMasks masksG = makeRangeMasks(samplesG, upperLimit, lowerLimit);
    const RangeMasks masksB = makeRangeMasks(samplesB, upperLimit, lowerLimit);

    **lowCountR = cv::countNonZero(masksR.low);
    **lowCountG = cv::countNonZero(masksG.low);
    **lowCountB = cv::countNonZero(masksB.low);
    **highCountR = cv::countNonZero(masksR.high);
    **highCountG = cv::countNonZero(masksG.high);
    **highCountB = cv::countNonZero(masksB.high);

    // Mask elements are 0.0 or 1.0, so the float sum is non-zero exactly where some mask is set.
    cv::Mat frameSum;
    cv::add(masksR.low, masksR.high, frameSum);
    cv::add(frameSum, masksG.low, frameSum);
    cv::add(frameSum, masksG.high, frameSum);
    cv::add(frameSum, masksB.low, frameSum);
    cv::add(frameSum, masksB.high, frameSum);
    **violatingPixelCount = cv::countNonZero(frameSum);
}
