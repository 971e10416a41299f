// The plane functions through the shared library's exports, as a host calls them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "hdrmeter.h"

namespace {

// bitDepth is what the integer export is handed: 8 means bytes, anything else 16-bit words.
struct SampleKind { const char* name; int matrixType; unsigned int bitDepth; };

// Planes are continuous cv::Mat, so plane.data is the gap-free host buffer the exports expect.
void smooth(cv::Mat& plane, unsigned int bitDepth, int stripeCount) {
    float* floats[] = {plane.ptr<float>()};
    unsigned char* integers[] = {plane.data};
    if (plane.type() == CV_32FC1) ocvfilter2D_32F(floats, plane.cols, plane.rows, stripeCount);
    else ocvfilter2D(integers, plane.cols, plane.rows, bitDepth, stripeCount);
}

// Integer samples as a host hands them over: bytes at bitDepth 8, 16-bit words at any other depth.
unsigned char* hostPlane(std::vector<unsigned char>& bytes, std::vector<std::uint16_t>& words, unsigned int bitDepth) {
    return bitDepth == 8 ? bytes.data() : reinterpret_cast<unsigned char*>(words.data());
}

}  // namespace

// Samples outside the plane count as zero, and stripes must not change a sample: every stripe count gives
// the whole plane filtered at once, out of place (checked by hand on uniform planes); a negative count
// leaves the plane as it was. Every depth but 8 means full 16-bit words.
TEST(PlaneFiltering, EveryStripeCountGivesTheWholePlaneFilteredOutOfPlace) {
    const cv::Mat horizontal = (cv::Mat_<float>(1, 7) << 1, 2, 3, 4, 3, 2, 1) / 16.0;
    const cv::Mat vertical = (cv::Mat_<float>(3, 1) << 1, 2, 1) / 4.0;
    const std::vector<double> edge = {30, 39, 45, 48, 48, 45, 39, 30}, inner = {40, 52, 60, 64, 64, 60, 52, 40};
    std::vector<double> of64;
    for (const auto* row : {&edge, &inner, &inner, &edge}) of64.insert(of64.end(), row->begin(), row->end());
    const SampleKind kinds[] = {{"8-bit", CV_8UC1, 8},      {"depth 0", CV_16UC1, 0},   {"depth 10", CV_16UC1, 10},
                                {"depth 12", CV_16UC1, 12}, {"depth 32", CV_16UC1, 32}, {"float", CV_32FC1, 0}};
    struct Case { SampleKind kind; cv::Mat plane; std::vector<double> byHand; };
    std::vector<Case> cases = {
        {kinds[0], cv::Mat(4, 8, CV_8UC1, cv::Scalar(64)), of64}, {kinds[5], cv::Mat(4, 8, CV_32FC1, cv::Scalar(64)), of64},
        {kinds[3], cv::Mat(4, 8, CV_16UC1, cv::Scalar(64)), of64},
        {kinds[0], cv::Mat(1, 1, CV_8UC1, cv::Scalar(64)), {8}},  // only the centre taps fall inside: 4/16, then 2/4
        // One row: both vertical neighbours lie outside, so the vertical pass halves every sample.
        {kinds[3], cv::Mat(1, 9, CV_16UC1, cv::Scalar(64)), {20, 26, 30, 32, 32, 32, 30, 26, 20}},
        {kinds[5], cv::Mat(5, 1, CV_32FC1, cv::Scalar(64)), {12, 16, 16, 16, 12}},  // one column: 4/16, 3/4 at the ends
    };
    cv::RNG random(20261206);
    for (const SampleKind& kind : kinds) {
        for (const cv::Size& size : {cv::Size(37, 23), cv::Size(7, 3), cv::Size(1, 9), cv::Size(64, 5), cv::Size(3, 64)}) {
            cases.push_back({kind, cv::Mat(size, kind.matrixType), {}});
            const bool floats = kind.matrixType == CV_32FC1;
            random.fill(cases.back().plane, cv::RNG::UNIFORM, floats ? -1000.0 : 0.0,
                        floats ? 1000.0 : kind.bitDepth == 8 ? 256.0 : 65536.0);
        }
    }
    for (const Case& c : cases) {
        cv::Mat rowPass, filtered;
        cv::filter2D(c.plane, rowPass, c.plane.depth(), horizontal, cv::Point(3, 0), 0.0, cv::BORDER_CONSTANT);
        cv::filter2D(rowPass, filtered, c.plane.depth(), vertical, cv::Point(0, 1), 0.0, cv::BORDER_CONSTANT);
        cv::Mat asDouble;
        filtered.convertTo(asDouble, CV_64FC1);
        EXPECT_TRUE(c.byHand.empty() || std::equal(c.byHand.begin(), c.byHand.end(), asDouble.begin<double>())) << c.kind.name;
        for (int stripeCount : {-1, 0, 1, 2, 3, 5, 64}) {
            cv::Mat plane = c.plane.clone();
            smooth(plane, c.kind.bitDepth, stripeCount);
            EXPECT_EQ(std::memcmp(plane.data, (stripeCount < 0 ? c.plane : filtered).data, plane.total() * plane.elemSize()), 0)
                << c.kind.name << " " << c.plane.cols << "x" << c.plane.rows << " stripes " << stripeCount;
        }
    }
}

// A null plane that has samples is refused before any output is written.
TEST(PlaneWrapping, NullPlaneWithSamplesIsRefusedBeforeAnythingIsWritten) {
    std::vector<float> valid(8, 0.5f);
    double minMax[2] = {-7, -7};
    int counts[7] = {-7, -7, -7, -7, -7, -7, -7};
    int* c[7] = {&counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5], &counts[6]};
    unsigned int violations = 7;
    unsigned char* nullBytes[] = {nullptr};  // the filters take an array of plane pointers
    float* nullFloats[] = {nullptr};
    float* v = valid.data();
    const std::function<void()> calls[] = {
        [&] { ocvfilter2D(nullBytes, 4, 2, 10, 2); },
        [&] { ocvfilter2D_32F(nullFloats, 4, 2, 2); },
        [&] { ocvFindMinMax(nullptr, &minMax[0], &minMax[1], 4, 2, 8); },
        [&] { ocvFindMinMax_32F(nullptr, &minMax[0], &minMax[1], 4, 2); },
        [&] { ocvClampMinMax_32F(nullptr, 0.0, 1.0, 4, 2); },
        [&] { ocvCountCheck_32F(v, nullptr, v, c[0], c[1], c[2], c[3], 4, 2, 1.0f, 0.0f); },
        [&] { ocvCountCheckRGB_32F(v, v, nullptr, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], 4, 2, 1.0f, 0.0f); },
        [&] { ocvFindLumaViolations(nullptr, 4, 2, 10, 64.0f, 940.0f, &violations, &counts[0], &counts[1]); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) EXPECT_THROW(calls[i](), cv::Exception) << i;
    EXPECT_EQ(std::vector<double>(minMax, minMax + 2), std::vector<double>(2, -7));
    EXPECT_EQ(std::vector<int>(counts, counts + 7), std::vector<int>(7, -7));
    EXPECT_EQ(violations, 7u);
}

TEST(PlaneRange, FloatMinMaxAndClampWithTheLowerBoundFirst) {
    std::vector<float> floats = {0.5f, -2.25f, 7.75f, 1e-30f, 3.0f, -0.0f};
    for (const auto& [width, height] : {std::pair{6u, 1u}, {1u, 6u}, {3u, 2u}, {2u, 3u}}) {
        double found[2] = {0, 0};
        ocvFindMinMax_32F(floats.data(), &found[0], &found[1], width, height);
        EXPECT_EQ(std::vector<double>(found, found + 2), std::vector<double>({-2.25, 7.75})) << width;
    }
    double maxValue = 0;
    ocvFindMinMax_32F(floats.data(), nullptr, &maxValue, 6, 1);  // a null output is skipped, the other written
    EXPECT_EQ(maxValue, 7.75);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct ClampCase { std::vector<float> samples; double minValue, maxValue; std::vector<float> expected; } clampCases[] = {
        {{-1.0f, 0.0f, 0.5f, 1.0f, 2.0f}, 0.0, 1.0, {0.0f, 0.0f, 0.5f, 1.0f, 1.0f}},
        {{3, 7, 12}, 10, 5, {5, 5, 5}},              // reversed bounds
        {{-4, 2, 9}, 2, 2, {2, 2, 2}},               // equal bounds
        {{nan, -3.0f}, 0.0, 1.0, {nan, 0.0f}},       // NaN is never below or above
        {{-0.0f, 0.25f}, 0.0, 1.0, {-0.0f, 0.25f}},  // -0.0 equals the bound, so it is not rewritten
    };
    for (const ClampCase& c : clampCases) {
        std::vector<float> plane(c.samples);
        ocvClampMinMax_32F(plane.data(), c.minValue, c.maxValue, static_cast<unsigned int>(plane.size()), 1);
        // Bitwise: NaN stays NaN and the sign of zero is kept.
        EXPECT_EQ(std::memcmp(plane.data(), c.expected.data(), plane.size() * sizeof(float)), 0) << &c - clampCases;
    }
}

// Both count checks on the same planes. The outputs point at element 0 of small arrays: a count written
// past it, or an output left unwritten, shows in the other element or in the sentinel.
TEST(PlaneCountCheck, CountsPerPlaneLowAndHighApartAndPositionsPerFrame) {
    struct Case { unsigned int width, height; float upperLimit, lowerLimit; std::vector<float> planes[3];
                  int low[3], high[3], violatingPixels; } cases[] = {
        {4, 1, 1.0f, 0.0f, {{0.0f, 0.5f, 1.0f, 1.5f}, {0.5f, 0.5f, 0.5f, 0.5f}, {-0.25f, 0.5f, 0.5f, 2.0f}},
         {1, 0, 1}, {1, 0, 1}, 2},
        {3, 1, 0.2f, 0.8f, {{0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}, {0.1f, 0.5f, 0.9f}}, {2, 2, 2}, {2, 2, 2}, 3},  // reversed
        {3, 2, 0.5f, 0.5f, {{0.1f, 0.5f, 0.9f, 0.5f, 0.5f, 2.0f}, std::vector<float>(6, 0.5f),
         {-1.0f, 0.6f, 0.4f, 0.5f, 0.51f, 0.49f}}, {4, 6, 4}, {2, 0, 2}, 6},  // equal limits
        {2, 3, 1.0f, 0.0f, {{0.5f, 0.5f, 0.5f, 0.5f, 3.0f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f, -1.0f, 0.5f},
         {0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.5f}}, {0, 1, 1}, {1, 0, 0}, 1},  // one position outside in every plane
    };
    for (Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        float* p[3] = {c.planes[0].data(), c.planes[1].data(), c.planes[2].data()};
        int cells[7][2];
        int* pointers[7];
        for (int i = 0; i < 7; ++i) cells[i][0] = cells[i][1] = -5, pointers[i] = cells[i];
        const auto expectCells = [&](std::vector<int> expected) {
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(std::vector<int>(cells[i], cells[i] + 2), std::vector<int>({expected[i], -5})) << i;
                EXPECT_EQ(pointers[i], cells[i]) << i;
                cells[i][0] = -5;
            }
        };
        ocvCountCheck_32F(p[0], p[1], p[2], cells[0], cells[1], cells[2], cells[3], c.width,
                          c.height, c.upperLimit, c.lowerLimit);
        expectCells({c.low[0] + c.high[0], c.low[1] + c.high[1], c.low[2] + c.high[2], c.violatingPixels});
        ocvCountCheckRGB_32F(p[0], p[1], p[2], &pointers[0], &pointers[1], &pointers[2],
                             &pointers[3], &pointers[4], &pointers[5], &pointers[6], c.width, c.height, c.upperLimit,
                             c.lowerLimit);
        expectCells({c.low[0], c.low[1], c.low[2], c.high[0], c.high[1], c.high[2], c.violatingPixels});
    }
}

// Integer planes in raw codes, bytes at depth 8 and full 16-bit words (never masked to the depth) at any
// other: the extremes, and the samples below the lower limit, above the upper one and either.
TEST(IntegerPlanes, MinMaxAndLumaViolationsInRawCodes) {
    struct Case { std::vector<std::uint16_t> samples; unsigned int bitDepth; float lowerLimit, upperLimit;
                  unsigned int violations; int low, high; } cases[] = {
        {{10, 16, 17, 235, 236, 250}, 8, 16.0f, 235.0f, 4, 2, 2},
        {{10, 16, 17, 235, 236, 250}, 0, 16.0f, 235.0f, 4, 2, 2},
        {{0, 65535, 4095}, 10, 64.0f, 940.0f, 3, 1, 2},
        {{77, 77, 77}, 8, 16.0f, 235.0f, 0, 0, 0},
        {{17, 100, 235}, 8, 16.0f, 235.0f, 0, 0, 0},    // equal to the upper limit is not high
        {{40, 70, 120}, 10, 100.0f, 50.0f, 3, 2, 2},    // reversed limits
        {{15, 16, 99, 100}, 8, 15.5f, 99.5f, 2, 1, 1},  // fractional limits
        {{16, 17}, 8, 16.5f, 16.5f, 2, 1, 1},
        {{0, 128, 255}, 8, -1.0f, 255.0f, 0, 0, 0},      // limits beyond the sample type
        {{0, 32768, 65535}, 16, -0.5f, 65535.0f, 0, 0, 0},
        {{60000, 60001, 59999}, 16, 60000.0f, 60000.0f, 3, 2, 1},  // words above 2^15 compare exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::uint16_t> words(c.samples);
        std::vector<unsigned char> bytes(c.samples.begin(), c.samples.end());
        const auto count = static_cast<unsigned int>(c.samples.size());
        const auto [least, most] = std::minmax_element(c.samples.begin(), c.samples.end());
        for (const auto& [width, height] : {std::pair{count, 1u}, std::pair{1u, count}}) {
            double found[2] = {-1, -1};
            ocvFindMinMax(hostPlane(bytes, words, c.bitDepth), &found[0], &found[1], width, height, c.bitDepth);
            EXPECT_EQ(std::vector<double>(found, found + 2), std::vector<double>({(double)*least, (double)*most})) << width;
            unsigned int violations = 99;
            int low = 99, high = 99;
            ocvFindLumaViolations(hostPlane(bytes, words, c.bitDepth), width, height, c.bitDepth, c.lowerLimit,
                                  c.upperLimit, &violations, &low, &high);
            EXPECT_EQ(std::vector<int>({(int)violations, low, high}), std::vector<int>({(int)c.violations, c.low, c.high}));
        }
        EXPECT_EQ(words, c.samples);
        EXPECT_EQ(bytes, std::vector<unsigned char>(c.samples.begin(), c.samples.end()));
    }
}
