#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hdrmeter.h"

TEST(PlaneRange, MinMaxOfIntegerPlanesInRawCodes)
{
    struct Case {
        std::string name;
        std::vector<std::uint16_t> words;  // stored as bytes when bitDepth is 8
        unsigned int bitDepth;
        double expectedMin;
        double expectedMax;
    };
    const std::vector<Case> cases = {
        {"bytes", {0x10, 0xEB}, 8, 16, 235},
        {"words depth 10", {16, 1003}, 10, 16, 1003},
        {"words depth 0", {16, 1003}, 0, 16, 1003},
        {"words depth 12", {16, 1003}, 12, 16, 1003},
        {"words depth 16", {16, 1003}, 16, 16, 1003},
        {"full-scale words are not masked to the depth", {4095, 65535, 0}, 10, 0, 65535},
        {"equal bytes", {77, 77, 77}, 8, 77, 77},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<unsigned char> bytes(testCase.words.begin(), testCase.words.end());
        std::vector<std::uint16_t> words(testCase.words);
        unsigned char* plane =
            testCase.bitDepth == 8 ? bytes.data() : reinterpret_cast<unsigned char*>(words.data());
        const auto sampleCount = static_cast<unsigned int>(testCase.words.size());
        double minValue = -1;
        double maxValue = -1;
        ocvFindMinMax(plane, &minValue, &maxValue, sampleCount, 1, testCase.bitDepth);
        EXPECT_EQ(minValue, testCase.expectedMin);
        EXPECT_EQ(maxValue, testCase.expectedMax);
        // The same samples as one column.
        minValue = maxValue = -1;
        ocvFindMinMax(plane, &minValue, &maxValue, 1, sampleCount, testCase.bitDepth);
        EXPECT_EQ(minValue, testCase.expectedMin);
        EXPECT_EQ(maxValue, testCase.expectedMax);
    }
}

TEST(PlaneRange, MinMaxOfFloatPlanesInAnyShape)
{
    std::vector<float> samples = {0.5f, -2.25f, 7.75f, 1e-30f, 3.0f, -0.0f};
    const std::vector<std::pair<unsigned int, unsigned int>> shapes = {{6, 1}, {1, 6}, {3, 2}, {2, 3}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.first) + "x" + std::to_string(shape.second));
        double minValue = 0;
        double maxValue = 0;
        ocvFindMinMax_32F(samples.data(), &minValue, &maxValue, shape.first, shape.second);
        EXPECT_EQ(minValue, -2.25);
        EXPECT_EQ(maxValue, 7.75);
    }
    // A null output is skipped, the other still written.
    double maxValue = 0;
    ocvFindMinMax_32F(samples.data(), nullptr, &maxValue, 6, 1);
    EXPECT_EQ(maxValue, 7.75);
    double minValue = 0;
    std::vector<unsigned char> bytes = {9, 3, 200};
    ocvFindMinMax(bytes.data(), &minValue, nullptr, 3, 1, 8);
    EXPECT_EQ(minValue, 3);
}

TEST(PlaneRange, ClampAppliesTheLowerBoundFirstAndLeavesBoundsAlone)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::string name;
        std::vector<float> samples;
        double minValue;
        double maxValue;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {"ordinary", {-1.0f, 0.0f, 0.5f, 1.0f, 2.0f}, 0.0, 1.0, {0.0f, 0.0f, 0.5f, 1.0f, 1.0f}},
        {"reversed bounds", {3, 7, 12}, 10, 5, {5, 5, 5}},
        {"equal bounds", {-4, 2, 9}, 2, 2, {2, 2, 2}},
        {"NaN is never below or above", {nan, -3.0f}, 0.0, 1.0, {nan, 0.0f}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<float> plane(testCase.samples);
        ocvClampMinMax_32F(plane.data(), testCase.minValue, testCase.maxValue, static_cast<unsigned int>(plane.size()),
                           1);
        ASSERT_EQ(plane.size(), testCase.expected.size());
        for (std::size_t index = 0; index < plane.size(); ++index) {
            if (std::isnan(testCase.expected[index])) {
                EXPECT_TRUE(std::isnan(plane[index])) << index;
            } else {
                EXPECT_EQ(plane[index], testCase.expected[index]) << index;
            }
        }
    }
    // -0.0 equals the bound 0.0, so it is not rewritten and keeps its sign.
    std::vector<float> negativeZero = {-0.0f, 0.25f};
    ocvClampMinMax_32F(negativeZero.data(), 0.0, 1.0, 2, 1);
    EXPECT_TRUE(std::signbit(negativeZero[0]));
}
