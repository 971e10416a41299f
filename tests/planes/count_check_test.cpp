#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hdrmeter.h"

namespace {

struct CountCase {
    std::string name;
    unsigned int width;
    unsigned int height;
    float upperLimit;
    float lowerLimit;
    std::vector<float> planes[3];
    int lowCounts[3];
    int highCounts[3];
    int violatingPixelCount;
};

std::vector<CountCase> countCases()
{
    const std::vector<float> sixInside(6, 0.5f);
    return {
        {"ordinary limits", 4, 1, 1.0f, 0.0f,
         {{0.0f, 0.5f, 1.0f, 1.5f}, {0.5f, 0.5f, 0.5f, 0.5f}, {-0.25f, 0.5f, 0.5f, 2.0f}},
         {1, 0, 1}, {1, 0, 1}, 2},
        {"reversed limits", 3, 1, 0.2f, 0.8f,
         {{0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}},
         {2, 2, 2}, {2, 2, 2}, 3},
        {"equal limits", 3, 2, 0.5f, 0.5f,
         {{0.1f, 0.5f, 0.9f, 0.5f, 0.5f, 2.0f}, sixInside, {-1.0f, 0.6f, 0.4f, 0.5f, 0.51f, 0.49f}},
         {4, 6, 4}, {2, 0, 2}, 6},
        {"all inside", 3, 2, 1.0f, 0.0f, {sixInside, sixInside, {1.0f, 0.25f, 0.75f, 1e-6f, 0.5f, 0.5f}},
         {0, 0, 0}, {0, 0, 0}, 0},
        {"one position outside in every plane", 2, 3, 1.0f, 0.0f,
         {{0.5f, 0.5f, 0.5f, 0.5f, 3.0f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f, -1.0f, 0.5f},
          {0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.5f}},
         {0, 1, 1}, {1, 0, 0}, 1},
    };
}

}  // namespace

// The outputs point at element 0 of small arrays: a count written past it, or an output left unwritten,
// shows in the other elements or in the sentinel.
TEST(PlaneCountCheck, CountsSamplesPerPlaneAndPositionsPerFrame)
{
    const int sentinel = -5;
    for (CountCase& testCase : countCases()) {
        SCOPED_TRACE(testCase.name);
        int planeCounts[3][2];
        int pixelCount[2] = {sentinel, sentinel};
        for (auto& cell : planeCounts) {
            cell[0] = cell[1] = sentinel;
        }
        ocvCountCheck_32F(testCase.planes[0].data(), testCase.planes[1].data(), testCase.planes[2].data(),
                          planeCounts[0], planeCounts[1], planeCounts[2], pixelCount, testCase.width, testCase.height,
                          testCase.upperLimit, testCase.lowerLimit);
        for (int plane = 0; plane < 3; ++plane) {
            EXPECT_EQ(planeCounts[plane][0], testCase.lowCounts[plane] + testCase.highCounts[plane]) << plane;
            EXPECT_EQ(planeCounts[plane][1], sentinel) << plane;
        }
        EXPECT_EQ(pixelCount[0], testCase.violatingPixelCount);
        EXPECT_EQ(pixelCount[1], sentinel);
    }
}

TEST(RgbCountCheck, CountsLowAndHighApartAndPositionsPerFrame)
{
    const int sentinel = -5;
    for (CountCase& testCase : countCases()) {
        SCOPED_TRACE(testCase.name);
        int cells[7][2];
        int* cellPointers[7];
        for (int output = 0; output < 7; ++output) {
            cells[output][0] = cells[output][1] = sentinel;
            cellPointers[output] = cells[output];
        }
        ocvCountCheckRGB_32F(testCase.planes[0].data(), testCase.planes[1].data(), testCase.planes[2].data(),
                             &cellPointers[0], &cellPointers[1], &cellPointers[2], &cellPointers[3], &cellPointers[4],
                             &cellPointers[5], &cellPointers[6], testCase.width, testCase.height, testCase.upperLimit,
                             testCase.lowerLimit);
        const int expected[7] = {testCase.lowCounts[0],  testCase.lowCounts[1],  testCase.lowCounts[2],
                                 testCase.highCounts[0], testCase.highCounts[1], testCase.highCounts[2],
                                 testCase.violatingPixelCount};
        for (int output = 0; output < 7; ++output) {
            EXPECT_EQ(cells[output][0], expected[output]) << output;
            EXPECT_EQ(cells[output][1], sentinel) << output;
            EXPECT_EQ(cellPointers[output], cells[output]) << output;
        }
    }
}
