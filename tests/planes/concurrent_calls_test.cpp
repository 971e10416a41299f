#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plane_test_support.h"

namespace {

struct PlaneResults {
    cv::Mat smoothed;
    double minValue = 0;
    double maxValue = 0;
    int planeCounts[3] = {0, 0, 0};
    int pixelCount = 0;
    unsigned int lumaViolations = 0;
    int lumaLow = 0;
    int lumaHigh = 0;
};

// One host's work on its own planes: smoothing with stripe tasks, then the reading exports.
PlaneResults measure(const cv::Mat& words, const cv::Mat& floats)
{
    PlaneResults results;
    results.smoothed = words.clone();
    smoothWithExport(results.smoothed, 10, 3);
    cv::Mat floatsCopy = floats.clone();
    float* plane = floatsCopy.ptr<float>();
    const auto width = static_cast<unsigned int>(words.cols);
    const auto height = static_cast<unsigned int>(words.rows);
    ocvFindMinMax(results.smoothed.data, &results.minValue, &results.maxValue, width, height, 10);
    ocvCountCheck_32F(plane, plane, plane, &results.planeCounts[0], &results.planeCounts[1], &results.planeCounts[2],
                      &results.pixelCount, width, height, 0.75f, 0.25f);
    ocvFindLumaViolations(results.smoothed.data, width, height, 10, 64.0f, 940.0f, &results.lumaViolations,
                          &results.lumaLow, &results.lumaHigh);
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
            EXPECT_TRUE(sameBytes(results.smoothed, expected[thread].smoothed));
            EXPECT_EQ(results.minValue, expected[thread].minValue);
            EXPECT_EQ(results.maxValue, expected[thread].maxValue);
            for (int plane = 0; plane < 3; ++plane) {
                EXPECT_EQ(results.planeCounts[plane], expected[thread].planeCounts[plane]);
            }
            EXPECT_EQ(results.pixelCount, expected[thread].pixelCount);
            EXPECT_EQ(results.lumaViolations, expected[thread].lumaViolations);
            EXPECT_EQ(results.lumaLow, expected[thread].lumaLow);
            EXPECT_EQ(results.lumaHigh, expected[thread].lumaHigh);
        }
    }
}
