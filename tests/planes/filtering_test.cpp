#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "plane_test_support.h"

namespace {

const std::vector<int> kStripeCounts = {0, 1, 2, 3, 4, 5, 100};

std::vector<double> uniformValues(int width, int height, double value)
{
    return std::vector<double>(static_cast<std::size_t>(width) * height, value);
}

// The two passes over the whole plane at once, out of place: what striping and in-place filtering must
// reproduce bit for bit.
cv::Mat wholePlaneOracle(const cv::Mat& plane)
{
    const cv::Mat horizontal = (cv::Mat_<float>(1, 7) << 1 / 16.f, 2 / 16.f, 3 / 16.f, 4 / 16.f, 3 / 16.f, 2 / 16.f,
                                1 / 16.f);
    const cv::Mat vertical = (cv::Mat_<float>(3, 1) << 0.25f, 0.5f, 0.25f);
    cv::Mat rowPass;
    cv::Mat result;
    cv::filter2D(plane, rowPass, plane.depth(), horizontal, cv::Point(3, 0), 0.0, cv::BORDER_CONSTANT);
    cv::filter2D(rowPass, result, plane.depth(), vertical, cv::Point(0, 1), 0.0, cv::BORDER_CONSTANT);
    return result;
}

// The literal filter for integer samples: exact weighted sums of the taps inside the plane, each pass
// rounded half to even as a float-to-integer conversion in OpenCV does.
std::vector<double> literalIntegerSmoothing(const std::vector<double>& samples, int width, int height)
{
    const int rowWeights[7] = {1, 2, 3, 4, 3, 2, 1};
    const int columnWeights[3] = {1, 2, 1};
    std::vector<double> rowPass(samples.size());
    std::vector<double> result(samples.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double weighted = 0.0;
            for (int tap = 0; tap < 7; ++tap) {
                const int column = x + tap - 3;
                if (column >= 0 && column < width) {
                    weighted += rowWeights[tap] * samples[static_cast<std::size_t>(y) * width + column];
                }
            }
            rowPass[static_cast<std::size_t>(y) * width + x] = std::nearbyint(weighted / 16.0);
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double weighted = 0.0;
            for (int tap = 0; tap < 3; ++tap) {
                const int row = y + tap - 1;
                if (row >= 0 && row < height) {
                    weighted += columnWeights[tap] * rowPass[static_cast<std::size_t>(row) * width + x];
                }
            }
            result[static_cast<std::size_t>(y) * width + x] = std::nearbyint(weighted / 4.0);
        }
    }
    return result;
}

}  // namespace

TEST(PlaneFiltering, UniformPlanesLoseWeightOnlyAtTheEdges)
{
    const std::vector<double> edgeRow = {30, 39, 45, 48, 48, 45, 39, 30};
    const std::vector<double> innerRow = {40, 52, 60, 64, 64, 60, 52, 40};
    const std::vector<double> edgeRow1024 = {480, 624, 720, 768, 768, 720, 624, 480};
    const std::vector<double> innerRow1024 = {640, 832, 960, 1024, 1024, 960, 832, 640};
    auto rowsOf = [](const std::vector<double>& edge, const std::vector<double>& inner) {
        std::vector<double> rows(edge);
        rows.insert(rows.end(), inner.begin(), inner.end());
        rows.insert(rows.end(), inner.begin(), inner.end());
        rows.insert(rows.end(), edge.begin(), edge.end());
        return rows;
    };
    struct Case {
        SampleKind kind;
        int width;
        int height;
        double value;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {{"8-bit", CV_8UC1, 8}, 8, 4, 64, rowsOf(edgeRow, innerRow)},
        {{"16-bit", CV_16UC1, 10}, 8, 4, 64, rowsOf(edgeRow, innerRow)},
        {{"float", CV_32FC1, 0}, 8, 4, 64, rowsOf(edgeRow, innerRow)},
        {{"16-bit depth 10", CV_16UC1, 10}, 8, 4, 1024, rowsOf(edgeRow1024, innerRow1024)},
        {{"16-bit depth 0", CV_16UC1, 0}, 8, 4, 1024, rowsOf(edgeRow1024, innerRow1024)},
        {{"16-bit depth 12", CV_16UC1, 12}, 8, 4, 1024, rowsOf(edgeRow1024, innerRow1024)},
        {{"16-bit depth 16", CV_16UC1, 16}, 8, 4, 1024, rowsOf(edgeRow1024, innerRow1024)},
        {{"16-bit depth 32", CV_16UC1, 32}, 8, 4, 1024, rowsOf(edgeRow1024, innerRow1024)},
        // One sample: only the centre taps fall inside, 4/16 then 2/4.
        {{"8-bit", CV_8UC1, 8}, 1, 1, 64, {8}},
        {{"float", CV_32FC1, 0}, 1, 1, 64, {8}},
        // One row: both vertical neighbours lie outside, so the vertical pass halves every sample.
        {{"16-bit", CV_16UC1, 12}, 9, 1, 64, {20, 26, 30, 32, 32, 32, 30, 26, 20}},
        // One column: the horizontal pass keeps 4/16, then the end rows keep 3/4.
        {{"float", CV_32FC1, 0}, 1, 5, 64, {12, 16, 16, 16, 12}},
    };
    for (const Case& testCase : cases) {
        for (int stripeCount : kStripeCounts) {
            SCOPED_TRACE(std::string(testCase.kind.name) + " " + std::to_string(testCase.width) + "x" +
                         std::to_string(testCase.height) + " stripes " + std::to_string(stripeCount));
            cv::Mat plane = planeOf(testCase.kind, testCase.width, testCase.height,
                                    uniformValues(testCase.width, testCase.height, testCase.value));
            smoothWithExport(plane, testCase.kind.bitDepth, stripeCount);
            EXPECT_EQ(valuesOf(plane), testCase.expected);
        }
    }
}

TEST(PlaneFiltering, MatchesWholePlaneFilteringForEveryStripeCount)
{
    cv::RNG randomSource(20261206);
    const std::vector<cv::Size> sizes = {{37, 23}, {7, 3}, {1, 9}, {64, 5}, {3, 64}};
    for (const SampleKind& kind : everySampleKind()) {
        for (const cv::Size& size : sizes) {
            cv::Mat original(size, kind.matrixType);
            if (kind.matrixType == CV_32FC1) {
                randomSource.fill(original, cv::RNG::UNIFORM, -1000.0, 1000.0);
            } else {
                randomSource.fill(original, cv::RNG::UNIFORM, 0.0, kind.matrixType == CV_8UC1 ? 256.0 : 65536.0);
            }
            const cv::Mat expected = wholePlaneOracle(original);
            for (int stripeCount : {1, 2, 3, 5, 64}) {
                SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                             " stripes " + std::to_string(stripeCount));
                cv::Mat plane = original.clone();
                smoothWithExport(plane, kind.bitDepth, stripeCount);
                EXPECT_TRUE(sameBytes(plane, expected));
                if (kind.matrixType != CV_32FC1) {
                    EXPECT_EQ(valuesOf(plane), literalIntegerSmoothing(valuesOf(original), size.width, size.height));
                }
            }
        }
    }
}

TEST(PlaneFiltering, FullScaleBytesKeepTheirValueAwayFromTheEdges)
{
    const SampleKind bytes{"8-bit", CV_8UC1, 8};
    cv::Mat plane = planeOf(bytes, 9, 5, uniformValues(9, 5, 255));
    smoothWithExport(plane, 8, 2);
    EXPECT_EQ(valuesOf(plane), literalIntegerSmoothing(uniformValues(9, 5, 255), 9, 5));
    EXPECT_EQ(cv::countNonZero(plane(cv::Rect(3, 1, 3, 3)) != 255), 0);
}

TEST(PlaneFiltering, NegativeStripeCountLeavesThePlaneUnchanged)
{
    cv::RNG randomSource(7);
    for (const SampleKind& kind : everySampleKind()) {
        SCOPED_TRACE(kind.name);
        cv::Mat original(6, 11, kind.matrixType);
        randomSource.fill(original, cv::RNG::UNIFORM, 0.0, 200.0);
        cv::Mat plane = original.clone();
        smoothWithExport(plane, kind.bitDepth, -1);
        EXPECT_TRUE(sameBytes(plane, original));
    }
}

TEST(PlaneFiltering, OnlyTheFirstPlaneOfTheArrayIsFiltered)
{
    std::vector<unsigned char> first(8 * 4, 64);
    std::vector<unsigned char> second(8 * 4, 64);
    unsigned char* planes[] = {first.data(), second.data()};
    ocvfilter2D(planes, 8, 4, 8, 2);
    EXPECT_EQ(first[0], 30);
    EXPECT_EQ(second, std::vector<unsigned char>(8 * 4, 64));
}
