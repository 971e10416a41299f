#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "hdrmeter.h"

namespace {

// bitDepth is what the integer export is handed; float planes ignore it.
struct SampleKind { const char* name; int matrixType; unsigned int bitDepth; };
const SampleKind kBytes{"8-bit", CV_8UC1, 8}, kWords{"16-bit", CV_16UC1, 10}, kFloats{"float", CV_32FC1, 0};

std::vector<double> valuesOf(const cv::Mat& plane)
{
    cv::Mat asDouble;
    plane.convertTo(asDouble, CV_64FC1);
    return std::vector<double>(asDouble.begin<double>(), asDouble.end<double>());
}

// Planes are continuous cv::Mat, so plane.data is the gap-free host buffer the exports expect.
void smoothWithExport(cv::Mat& plane, unsigned int bitDepth, int stripeCount)
{
    const auto width = static_cast<unsigned int>(plane.cols), height = static_cast<unsigned int>(plane.rows);
    if (plane.type() == CV_32FC1) {
        float* planes[] = {plane.ptr<float>()};
        ocvfilter2D_32F(planes, width, height, stripeCount);
    } else {
        unsigned char* planes[] = {plane.data};
        ocvfilter2D(planes, width, height, bitDepth, stripeCount);
    }
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// The two passes over the whole plane at once, out of place: what striping and in-place filtering must
// reproduce bit for bit.
cv::Mat wholePlaneOracle(const cv::Mat& plane)
{
    const cv::Mat horizontal = (cv::Mat_<float>(1, 7) << 1, 2, 3, 4, 3, 2, 1) / 16.0;
    const cv::Mat vertical = (cv::Mat_<float>(3, 1) << 1, 2, 1) / 4.0;
    cv::Mat rowPass, result;
    cv::filter2D(plane, rowPass, plane.depth(), horizontal, cv::Point(3, 0), 0.0, cv::BORDER_CONSTANT);
    cv::filter2D(rowPass, result, plane.depth(), vertical, cv::Point(0, 1), 0.0, cv::BORDER_CONSTANT);
    return result;
}

}  // namespace

TEST(PlaneFiltering, UniformPlanesLoseWeightOnlyAtTheEdges)
{
    auto rowsOf = [](std::vector<double> edge, std::vector<double> inner) {
        std::vector<double> rows(edge);
        for (const std::vector<double>* row : {&inner, &inner, &edge})
            rows.insert(rows.end(), row->begin(), row->end());
        return rows;
    };
    const std::vector<double> of64 = rowsOf({30, 39, 45, 48, 48, 45, 39, 30}, {40, 52, 60, 64, 64, 60, 52, 40});
    const std::vector<double> of1024 =
        rowsOf({480, 624, 720, 768, 768, 720, 624, 480}, {640, 832, 960, 1024, 1024, 960, 832, 640});
    struct Case {
        SampleKind kind;
        int width, height;
        double value;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {kBytes, 8, 4, 64, of64},
        {kWords, 8, 4, 64, of64},
        {kFloats, 8, 4, 64, of64},
        {kWords, 8, 4, 1024, of1024},
        // Depths other than 8 all mean 16-bit words, read as at depth 10.
        {{"depth 0", CV_16UC1, 0}, 8, 4, 1024, of1024}, {{"depth 12", CV_16UC1, 12}, 8, 4, 1024, of1024},
        {{"depth 16", CV_16UC1, 16}, 8, 4, 1024, of1024}, {{"depth 32", CV_16UC1, 32}, 8, 4, 1024, of1024},
        // One sample: only the centre taps fall inside, 4/16 then 2/4.
        {kBytes, 1, 1, 64, {8}},
        {kFloats, 1, 1, 64, {8}},
        // One row: both vertical neighbours lie outside, so the vertical pass halves every sample.
        {{"depth 12", CV_16UC1, 12}, 9, 1, 64, {20, 26, 30, 32, 32, 32, 30, 26, 20}},
        // One column: the horizontal pass keeps 4/16, then the end rows keep 3/4.
        {kFloats, 1, 5, 64, {12, 16, 16, 16, 12}},
    };
    for (const Case& c : cases) {
        for (int stripeCount : {0, 1, 2, 3, 4, 5, 100}) {
            SCOPED_TRACE(std::string(c.kind.name) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                         " stripes " + std::to_string(stripeCount));
            cv::Mat plane(c.height, c.width, c.kind.matrixType, cv::Scalar(c.value));
            smoothWithExport(plane, c.kind.bitDepth, stripeCount);
            EXPECT_EQ(valuesOf(plane), c.expected);
        }
    }
}

TEST(PlaneFiltering, MatchesWholePlaneFilteringForEveryStripeCount)
{
    cv::RNG randomSource(20261206);
    const cv::Size sizes[] = {{37, 23}, {7, 3}, {1, 9}, {64, 5}, {3, 64}};
    for (const SampleKind& kind : {kBytes, kWords, kFloats}) {
        for (const cv::Size& size : sizes) {
            cv::Mat original(size, kind.matrixType);
            const bool floats = kind.matrixType == CV_32FC1;
            randomSource.fill(original, cv::RNG::UNIFORM, floats ? -1000.0 : 0.0,
                              floats ? 1000.0 : kind.matrixType == CV_8UC1 ? 256.0 : 65536.0);
            const cv::Mat filtered = wholePlaneOracle(original);
            // A negative stripe count leaves the plane as it was.
            for (int stripeCount : {-1, 1, 2, 3, 5, 64}) {
                SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(size.width) + "x" +
                             std::to_string(size.height) + " stripes " + std::to_string(stripeCount));
                cv::Mat plane = original.clone();
                smoothWithExport(plane, kind.bitDepth, stripeCount);
                EXPECT_TRUE(sameBytes(plane, stripeCount < 0 ? original : filtered));
            }
        }
    }
}

TEST(PlaneConcurrency, HostThreadsOnDifferentPlanesGetTheSequentialResults)
{
    // One host's work on its own planes: smoothing with stripe tasks, then the reading exports.
    auto measure = [](const cv::Mat& words, cv::Mat& floats) {
        cv::Mat smoothed = words.clone();
        smoothWithExport(smoothed, 10, 3);
        double minMax[2] = {0, 0};
        int counts[6] = {0, 0, 0, 0, 0, 0};
        unsigned int lumaViolations = 0;
        float* plane = floats.ptr<float>();
        ocvFindMinMax(smoothed.data, &minMax[0], &minMax[1], 67, 48, 10);
        ocvCountCheck_32F(plane, plane, plane, &counts[0], &counts[1], &counts[2], &counts[3], 67, 48, 0.75f, 0.25f);
        ocvFindLumaViolations(smoothed.data, 67, 48, 10, 64.0f, 940.0f, &lumaViolations, &counts[4], &counts[5]);
        std::vector<double> results = valuesOf(smoothed);
        results.insert(results.end(), {minMax[0], minMax[1], double(lumaViolations)});
        results.insert(results.end(), counts, counts + 6);
        return results;
    };
    const int threadCount = 4, roundsPerThread = 8;
    cv::RNG randomSource(99);
    std::vector<cv::Mat> words(threadCount), floats(threadCount);
    std::vector<std::vector<double>> expected(threadCount);
    for (int thread = 0; thread < threadCount; ++thread) {
        words[thread].create(48, 67, CV_16UC1);
        floats[thread].create(48, 67, CV_32FC1);
        randomSource.fill(words[thread], cv::RNG::UNIFORM, 0.0, 1024.0);
        randomSource.fill(floats[thread], cv::RNG::UNIFORM, 0.0, 1.0);
        expected[thread] = measure(words[thread], floats[thread]);
    }
    std::vector<int> matches(threadCount, 0);
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < threadCount; ++thread)
        hosts.emplace_back([&, thread] {
            for (int round = 0; round < roundsPerThread; ++round)
                matches[thread] += measure(words[thread], floats[thread]) == expected[thread];
        });
    for (std::thread& host : hosts)
        host.join();
    for (int thread = 0; thread < threadCount; ++thread)
        EXPECT_EQ(matches[thread], roundsPerThread) << thread;
}
