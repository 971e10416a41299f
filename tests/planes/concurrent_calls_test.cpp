#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plane_test_support.h"

namespace {

struct PlaneResults {
    cv::Mat smoothed;
    std::vector<double> numbers;  // min, max, three plane counts, pixel count, luma violations, low, high
};

// One host's work on its own planes: smoothing with stripe tasks, then the reading exports.
PlaneResults measure(const cv::Mat& words, cv::Mat& floats)
{
    PlaneResults results{words.clone(), {}};
    smoothWithExport(results.smoothed, 10, 3);
    const auto width = static_cast<unsigned int>(words.cols);
    const auto height = static_cast<unsigned int>(words.rows);
    double minValue = 0;
    double maxValue = 0;
    int counts[4] = {0, 0, 0, 0};
    unsigned int lumaViolations = 0;
    int luma[2] = {0, 0};
    float* plane = floats.ptr<float>();
    ocvFindMinMax(results.smoothed.data, &minValue, &maxValue, width, height, 10);
    ocvCountCheck_32F(plane, plane, plane, &counts[0], &counts[1], &counts[2], &counts[3], width, height, 0.75f, 0.25f);
    ocvFindLumaViolations(results.smoothed.data, width, height, 10, 64.0f, 940.0f, &lumaViolations, &luma[0], &luma[1]);
    results.numbers = {minValue,  maxValue,  double(counts[0]),     double(counts[1]), double(counts[2]),
                       double(counts[3]), double(lumaViolations), double(luma[0]),   double(luma[1])};
    return results;
}

}  // namespace

TEST(PlaneConcurrency, HostThreadsOnDifferentPlanesGetTheSequentialResults)
{
    const int threadCount = 4;
    const int roundsPerThread = 8;
    cv::RNG randomSource(99);
    std::vector<cv::Mat> wordPlanes(threadCount);
    std::vector<cv::Mat> floatPlanes(threadCount);
    std::vector<PlaneResults> expected(threadCount);
    for (int thread = 0; thread < threadCount; ++thread) {
        wordPlanes[thread].create(48, 67, CV_16UC1);
        floatPlanes[thread].create(48, 67, CV_32FC1);
        randomSource.fill(wordPlanes[thread], cv::RNG::UNIFORM, 0.0, 1024.0);
        randomSource.fill(floatPlanes[thread], cv::RNG::UNIFORM, 0.0, 1.0);
        expected[thread] = measure(wordPlanes[thread], floatPlanes[thread]);
    }

    std::vector<std::vector<PlaneResults>> observed(threadCount);
    std::vector<std::thread> hosts;
    for (int thread = 0; thread < threadCount; ++thread) {
        hosts.emplace_back([&, thread] {
            for (int round = 0; round < roundsPerThread; ++round) {
                observed[thread].push_back(measure(wordPlanes[thread], floatPlanes[thread]));
            }
        });
    }
    for (std::thread& host : hosts) {
        host.join();
    }

    for (int thread = 0; thread < threadCount; ++thread) {
        ASSERT_EQ(observed[thread].size(), static_cast<std::size_t>(roundsPerThread));
        for (const PlaneResults& results : observed[thread]) {
            EXPECT_TRUE(sameBytes(results.smoothed, expected[thread].smoothed)) << thread;
            EXPECT_EQ(results.numbers, expected[thread].numbers) << thread;
        }
    }
}
