#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hdrmeter.h"

TEST(LumaViolations, CountsLowHighAndEitherInRawCodes)
{
    struct Case {
        std::string name;
        std::vector<std::uint16_t> samples;  // stored as bytes when bitDepth is 8
        unsigned int bitDepth;
        float lowerLimit;
        float upperLimit;
        unsigned int expectedViolations;
        int expectedLow;
        int expectedHigh;
    };
    const std::vector<std::uint16_t> videoRange = {10, 16, 17, 235, 236, 250};
    const std::vector<Case> cases = {
        {"bytes, video range", videoRange, 8, 16.0f, 235.0f, 4, 2, 2},
        {"words depth 10", videoRange, 10, 16.0f, 235.0f, 4, 2, 2},
        {"words depth 0", videoRange, 0, 16.0f, 235.0f, 4, 2, 2},
        {"words depth 12", videoRange, 12, 16.0f, 235.0f, 4, 2, 2},
        {"words depth 16", videoRange, 16, 16.0f, 235.0f, 4, 2, 2},
        {"bytes, nothing outside", {17, 100, 235}, 8, 16.0f, 235.0f, 0, 0, 0},
        {"bytes, reversed limits", {40, 70, 120}, 8, 100.0f, 50.0f, 3, 2, 2},
        {"words, reversed limits", {40, 70, 120}, 10, 100.0f, 50.0f, 3, 2, 2},
        {"bytes, fractional limits", {15, 16, 99, 100}, 8, 15.5f, 99.5f, 2, 1, 1},
        {"words, fractional limits", {15, 16, 99, 100}, 10, 15.5f, 99.5f, 2, 1, 1},
        {"bytes, both limits at 16.5", {16, 17}, 8, 16.5f, 16.5f, 2, 1, 1},
        {"bytes, limits beyond the type", {0, 128, 255}, 8, -1.0f, 255.0f, 0, 0, 0},
        {"bytes, negative fractional lower limit", {0, 1}, 8, -0.5f, 300.0f, 0, 0, 0},
        {"words, limits beyond the type", {0, 32768, 65535}, 16, -0.5f, 65535.0f, 0, 0, 0},
        {"words above 2^15 compare exactly", {60000, 60001, 59999}, 16, 60000.0f, 60000.0f, 3, 2, 1},
        {"bytes, equal to the upper limit is not high", {235}, 8, 16.0f, 235.0f, 0, 0, 0},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<unsigned char> bytes(testCase.samples.begin(), testCase.samples.end());
        std::vector<std::uint16_t> words(testCase.samples);
        unsigned char* plane =
            testCase.bitDepth == 8 ? bytes.data() : reinterpret_cast<unsigned char*>(words.data());
        unsigned int violations = 99;
        int lowCount = 99;
        int highCount = 99;
        ocvFindLumaViolations(plane, static_cast<unsigned int>(testCase.samples.size()), 1, testCase.bitDepth,
                              testCase.lowerLimit, testCase.upperLimit, &violations, &lowCount, &highCount);
        EXPECT_EQ(violations, testCase.expectedViolations);
        EXPECT_EQ(lowCount, testCase.expectedLow);
        EXPECT_EQ(highCount, testCase.expectedHigh);
        EXPECT_EQ(words, testCase.samples);
        EXPECT_EQ(bytes, std::vector<unsigned char>(testCase.samples.begin(), testCase.samples.end()));
    }
}
