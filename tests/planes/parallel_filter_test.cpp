#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "planes/parallel_filter.h"
#include "planes/stripe_layout.h"

using hdrmeter::planes::parallelFilter2D;
using hdrmeter::planes::Stripe;
using hdrmeter::planes::stripeLayout;

TEST(StripeLayout, CutsEqualStripesAndGivesTheRemainderToTheLast)
{
    struct Case {
        int extent;
        int stripeCount;
        std::vector<std::pair<int, int>> expected;  // start, length
    };
    const std::vector<Case> cases = {
        {10, 3, {{0, 3}, {3, 3}, {6, 4}}},
        {10, 1, {{0, 10}}},
        {10, 0, {{0, 10}}},
        {7, 2, {{0, 3}, {3, 4}}},
        {5, 5, {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}}},
        {3, 5, {{0, 3}}},
        {10, -1, {}},
        {0, 4, {}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(std::to_string(testCase.extent) + " in " + std::to_string(testCase.stripeCount));
        std::vector<std::pair<int, int>> actual;
        for (const Stripe& stripe : stripeLayout(testCase.extent, testCase.stripeCount)) {
            actual.emplace_back(stripe.start, stripe.length);
        }
        EXPECT_EQ(actual, testCase.expected);
    }
}

// cv::filter2D has no signed 8-bit path, so every stripe task fails; the failure must reach the caller
// as OpenCV raised it, after the tasks of the pass are done, with the vertical pass never started.
TEST(ParallelFilter, StripeFailureReachesTheCallerAndLeavesUnfilteredSamples)
{
    cv::Mat signedBytes(12, 9, CV_8SC1, cv::Scalar(5));
    const cv::Mat original = signedBytes.clone();
    for (int stripeCount : {1, 3, 12}) {
        SCOPED_TRACE(stripeCount);
        EXPECT_THROW(parallelFilter2D(signedBytes, signedBytes, signedBytes.cols, signedBytes.rows, stripeCount),
                     cv::Exception);
        EXPECT_EQ(cv::countNonZero(signedBytes != original), 0);
    }
}
