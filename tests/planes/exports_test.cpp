#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "hdrmeter.h"

namespace {

// Integer samples as a host hands them over: bytes at bitDepth 8, 16-bit words at any other depth.
unsigned char* hostPlane(std::vector<unsigned char>& bytes, std::vector<std::uint16_t>& words, unsigned int bitDepth)
{
    return bitDepth == 8 ? bytes.data() : reinterpret_cast<unsigned char*>(words.data());
}

}  // namespace

TEST(PlaneWrapping, NullPlaneWithSamplesIsRefusedBeforeAnythingIsWritten)
{
    std::vector<float> valid(8, 0.5f);
    double minMax[2] = {-7, -7};
    int counts[7] = {-7, -7, -7, -7, -7, -7, -7};
    int* cells[7] = {&counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5], &counts[6]};
    unsigned int violations = 7;
    unsigned char* nullBytes[] = {nullptr};  // the filters take an array of plane pointers
    float* nullFloats[] = {nullptr};
    const std::function<void()> calls[] = {
        [&] { ocvfilter2D(nullBytes, 4, 2, 10, 2); },
        [&] { ocvfilter2D_32F(nullFloats, 4, 2, 2); },
        [&] { ocvFindMinMax(nullptr, &minMax[0], &minMax[1], 4, 2, 8); },
        [&] { ocvFindMinMax_32F(nullptr, &minMax[0], &minMax[1], 4, 2); },
        [&] { ocvClampMinMax_32F(nullptr, 0.0, 1.0, 4, 2); },
        [&] {
            ocvCountCheck_32F(valid.data(), nullptr, valid.data(), &counts[0], &counts[1], &counts[2], &counts[3], 4,
                              2, 1.0f, 0.0f);
        },
        [&] {
            ocvCountCheckRGB_32F(valid.data(), valid.data(), nullptr, &cells[0], &cells[1], &cells[2], &cells[3],
                                 &cells[4], &cells[5], &cells[6], 4, 2, 1.0f, 0.0f);
        },
        [&] { ocvFindLumaViolations(nullptr, 4, 2, 10, 64.0f, 940.0f, &violations, &counts[0], &counts[1]); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        try {
            calls[i]();
            ADD_FAILURE() << "export " << i << ": no exception";
        } catch (const cv::Exception& error) {
            EXPECT_EQ(error.code, -215) << i;
            EXPECT_NE(error.err.find("total() == 0 || data != NULL"), std::string::npos) << i << error.err;
        }
    }
    EXPECT_EQ(std::vector<double>(minMax, minMax + 2), std::vector<double>(2, -7));
    EXPECT_EQ(std::vector<int>(counts, counts + 7), std::vector<int>(7, -7));
    EXPECT_EQ(violations, 7u);
}

TEST(PlaneRange, MinMaxInRawCodesAndClampWithTheLowerBoundFirst)
{
    const std::pair<std::vector<std::uint16_t>, unsigned int> integerCases[] = {
        // The extremes are the first and second samples; full-scale words are not masked to the depth.
        {{0x10, 0xEB}, 8}, {{16, 1003}, 10}, {{16, 1003}, 0}, {{16, 1003}, 12}, {{16, 1003}, 16},
        {{0, 65535, 4095}, 10}, {{77, 77, 77}, 8}};
    for (const auto& [samples, bitDepth] : integerCases) {
        std::vector<std::uint16_t> words(samples);
        std::vector<unsigned char> bytes(samples.begin(), samples.end());
        const auto count = static_cast<unsigned int>(samples.size());
        for (const auto& [width, height] : {std::pair{count, 1u}, std::pair{1u, count}}) {
            double minValue = -1, maxValue = -1;
            ocvFindMinMax(hostPlane(bytes, words, bitDepth), &minValue, &maxValue, width, height, bitDepth);
            EXPECT_EQ(minValue, samples[0]) << bitDepth << " " << width;
            EXPECT_EQ(maxValue, samples[1]) << bitDepth << " " << width;
        }
    }
    std::vector<float> floats = {0.5f, -2.25f, 7.75f, 1e-30f, 3.0f, -0.0f};
    for (const auto& [width, height] : {std::pair{6u, 1u}, {1u, 6u}, {3u, 2u}, {2u, 3u}}) {
        double minValue = 0, maxValue = 0;
        ocvFindMinMax_32F(floats.data(), &minValue, &maxValue, width, height);
        EXPECT_EQ(minValue, -2.25) << width;
        EXPECT_EQ(maxValue, 7.75) << width;
    }
    // A null output is skipped, the other still written.
    double maxValue = 0, minValue = 0;
    ocvFindMinMax_32F(floats.data(), nullptr, &maxValue, 6, 1);
    EXPECT_EQ(maxValue, 7.75);
    std::vector<unsigned char> bytes = {9, 3, 200};
    ocvFindMinMax(bytes.data(), &minValue, nullptr, 3, 1, 8);
    EXPECT_EQ(minValue, 3);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct ClampCase { std::vector<float> samples; double minValue, maxValue; std::vector<float> expected; };
    const ClampCase clampCases[] = {
        {{-1.0f, 0.0f, 0.5f, 1.0f, 2.0f}, 0.0, 1.0, {0.0f, 0.0f, 0.5f, 1.0f, 1.0f}},
        {{3, 7, 12}, 10, 5, {5, 5, 5}},    // reversed bounds
        {{-4, 2, 9}, 2, 2, {2, 2, 2}},     // equal bounds
        {{nan, -3.0f}, 0.0, 1.0, {nan, 0.0f}},  // NaN is never below or above
        {{-0.0f, 0.25f}, 0.0, 1.0, {-0.0f, 0.25f}},  // -0.0 equals the bound, so it is not rewritten
    };
    for (const ClampCase& c : clampCases) {
        std::vector<float> plane(c.samples);
        ocvClampMinMax_32F(plane.data(), c.minValue, c.maxValue, static_cast<unsigned int>(plane.size()), 1);
        for (std::size_t i = 0; i < plane.size(); ++i) {
            EXPECT_TRUE(std::isnan(c.expected[i]) ? std::isnan(plane[i]) : plane[i] == c.expected[i]) << i;
            EXPECT_EQ(std::signbit(plane[i]), std::signbit(c.expected[i])) << i;
        }
    }
}

// Both count checks on the same planes. The outputs point at element 0 of small arrays: a count written
// past it, or an output left unwritten, shows in the other element or in the sentinel.
TEST(PlaneCountCheck, CountsPerPlaneLowAndHighApartAndPositionsPerFrame)
{
    struct Case {
        unsigned int width, height;
        float upperLimit, lowerLimit;
        std::vector<float> planes[3];
        int lowCounts[3], highCounts[3], violatingPixels;
    };
    const Case cases[] = {
        {4, 1, 1.0f, 0.0f, {{0.0f, 0.5f, 1.0f, 1.5f}, {0.5f, 0.5f, 0.5f, 0.5f}, {-0.25f, 0.5f, 0.5f, 2.0f}},
         {1, 0, 1}, {1, 0, 1}, 2},
        // Reversed limits.
        {3, 1, 0.2f, 0.8f, {{0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}}, {2, 2, 2}, {2, 2, 2}, 3},
        // Equal limits.
        {3, 2, 0.5f, 0.5f, {{0.1f, 0.5f, 0.9f, 0.5f, 0.5f, 2.0f}, std::vector<float>(6, 0.5f),
         {-1.0f, 0.6f, 0.4f, 0.5f, 0.51f, 0.49f}}, {4, 6, 4}, {2, 0, 2}, 6},
        // One position outside in every plane.
        {2, 3, 1.0f, 0.0f, {{0.5f, 0.5f, 0.5f, 0.5f, 3.0f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f, -1.0f, 0.5f},
         {0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.5f}}, {0, 1, 1}, {1, 0, 0}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<float> p[3] = {c.planes[0], c.planes[1], c.planes[2]};
        int cells[7][2];
        int* cellPointers[7];
        for (int i = 0; i < 7; ++i) {
            cells[i][0] = cells[i][1] = -5;
            cellPointers[i] = cells[i];
        }
        ocvCountCheck_32F(p[0].data(), p[1].data(), p[2].data(), cells[0], cells[1], cells[2], cells[3], c.width,
                          c.height, c.upperLimit, c.lowerLimit);
        const int planeExpected[4] = {c.lowCounts[0] + c.highCounts[0], c.lowCounts[1] + c.highCounts[1],
                                      c.lowCounts[2] + c.highCounts[2], c.violatingPixels};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(cells[i][0], planeExpected[i]) << i;
            EXPECT_EQ(cells[i][1], -5) << i;
            cells[i][0] = -5;
        }
        ocvCountCheckRGB_32F(p[0].data(), p[1].data(), p[2].data(), &cellPointers[0], &cellPointers[1],
                             &cellPointers[2], &cellPointers[3], &cellPointers[4], &cellPointers[5], &cellPointers[6],
                             c.width, c.height, c.upperLimit, c.lowerLimit);
        const int rgbExpected[7] = {c.lowCounts[0],  c.lowCounts[1],  c.lowCounts[2], c.highCounts[0],
                                    c.highCounts[1], c.highCounts[2], c.violatingPixels};
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(cells[i][0], rgbExpected[i]) << i;
            EXPECT_EQ(cells[i][1], -5) << i;
            EXPECT_EQ(cellPointers[i], cells[i]) << i;
        }
    }
}

TEST(LumaViolations, CountsLowHighAndEitherInRawCodes)
{
    struct Case {
        std::vector<std::uint16_t> samples;
        unsigned int bitDepth;
        float lowerLimit, upperLimit;
        unsigned int violations;
        int low, high;
    };
    const std::vector<std::uint16_t> videoRange = {10, 16, 17, 235, 236, 250};
    const Case cases[] = {
        {videoRange, 8, 16.0f, 235.0f, 4, 2, 2},
        {videoRange, 10, 16.0f, 235.0f, 4, 2, 2},
        {videoRange, 0, 16.0f, 235.0f, 4, 2, 2},
        {videoRange, 12, 16.0f, 235.0f, 4, 2, 2},
        {videoRange, 16, 16.0f, 235.0f, 4, 2, 2},
        {{17, 100, 235}, 8, 16.0f, 235.0f, 0, 0, 0},  // equal to the upper limit is not high
        {{40, 70, 120}, 8, 100.0f, 50.0f, 3, 2, 2},    // reversed limits
        {{40, 70, 120}, 10, 100.0f, 50.0f, 3, 2, 2},
        {{15, 16, 99, 100}, 8, 15.5f, 99.5f, 2, 1, 1},  // fractional limits
        {{15, 16, 99, 100}, 10, 15.5f, 99.5f, 2, 1, 1},
        {{16, 17}, 8, 16.5f, 16.5f, 2, 1, 1},
        // Limits beyond the sample type.
        {{0, 128, 255}, 8, -1.0f, 255.0f, 0, 0, 0},
        {{0, 1}, 8, -0.5f, 300.0f, 0, 0, 0},
        {{0, 32768, 65535}, 16, -0.5f, 65535.0f, 0, 0, 0},
        {{60000, 60001, 59999}, 16, 60000.0f, 60000.0f, 3, 2, 1},  // words above 2^15 compare exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::uint16_t> words(c.samples);
        std::vector<unsigned char> bytes(c.samples.begin(), c.samples.end());
        unsigned int violations = 99;
        int low = 99, high = 99;
        ocvFindLumaViolations(hostPlane(bytes, words, c.bitDepth), static_cast<unsigned int>(c.samples.size()), 1,
                              c.bitDepth, c.lowerLimit, c.upperLimit, &violations, &low, &high);
        EXPECT_EQ(violations, c.violations);
        EXPECT_EQ(low, c.low);
        EXPECT_EQ(high, c.high);
        EXPECT_EQ(words, c.samples);
        EXPECT_EQ(bytes, std::vector<unsigned char>(c.samples.begin(), c.samples.end()));
    }
}
