#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <tuple>

#include "output/summary.h"

using namespace hdrmeter::tool;

TEST(Summary, WholeNitsRoundToNearestWithHalvesUp)
{
    const std::pair<double, long long> cases[] = {
        {0.0, 0},      {0.49999999999, 0}, {0.5, 1},           {203.4999, 203},  {203.5, 204},
        {999.5, 1000}, {4014.718, 4015},   {9999.9999, 10000}, {10000.0, 10000},
    };
    for (const auto& [nits, whole] : cases)
        EXPECT_EQ(wholeNits(nits), whole) << nits;
}

TEST(Summary, PeaksKeepTheFirstFramesThatReachThemExactly)
{
    // Offered values, then the peak, how many frames reach it, the first of them and how they are described.
    const std::tuple<std::vector<double>, double, long long, std::vector<long long>, std::string> cases[] = {
        {{3.0}, 3.0, 1, {0}, "frame 0"},
        {{1, 5, 5, 3, 5, 7, 7}, 7, 2, {5, 6}, "frames 5 and 6"},
        {{2, 9, 1, 9, 9}, 9, 3, {1, 3, 4}, "frames 1, 3 and 4"},
        {{4, 4, 4, 4, 4, 4, 4, 4}, 4, 8, {0, 1, 2, 3, 4}, "frames 0, 1, 2, 3, 4 and 3 more"},
        {{4, 4, 4, 4, 4}, 4, 5, {0, 1, 2, 3, 4}, "frames 0, 1, 2, 3 and 4"},
        {{0.0, 0.0}, 0.0, 2, {0, 1}, "frames 0 and 1"},
        {{100.0, std::nextafter(100.0, 200.0), 100.0}, std::nextafter(100.0, 200.0), 1, {1}, "frame 1"},
    };
    for (const auto& [values, value, count, listed, described] : cases) {
        FramePeak peak;
        for (std::size_t i = 0; i < values.size(); ++i)
            peak.offer(static_cast<long long>(i), values[i]);
        EXPECT_EQ(peak.value(), value);
        EXPECT_EQ(peak.frameCount(), count);
        EXPECT_EQ(peak.firstFrames(), listed);
        EXPECT_EQ(peak.describeFrames(), described);
    }
}

TEST(Summary, MaxCllAndMaxFallComeFromTheirOwnColumnsAndSharesAreOfFramesAndPixels)
{
    MeasurementSummary summary;
    std::ostringstream empty;
    summary.print(empty, RunFacts{});
    EXPECT_EQ(summary.framesAboveThresholdPercent(), 0.0);
    EXPECT_EQ(summary.pixelsAboveThresholdPercent(), 0.0);
    EXPECT_NE(empty.str().find("frames measured       0\n"), std::string::npos) << empty.str();
    EXPECT_NE(empty.str().find("MaxCLL                none"), std::string::npos) << empty.str();
    EXPECT_EQ(empty.str().find("nits ("), std::string::npos) << empty.str();

    const double average[] = {10.0, 180.5, 40.0, 180.49};
    const double largest[] = {900.0, 300.0, 1000.4, 999.0};
    const double above[] = {0.0, 50.0, 0.0, 10.0};
    for (int i = 0; i < 4; ++i)
        summary.add(FrameMeasurement{100 + i, average[i], largest[i], above[i], 0, 0, 0, std::nullopt});
    EXPECT_EQ(summary.framesMeasured(), 4);
    EXPECT_EQ(summary.maxCll().value(), 1000.4);
    EXPECT_EQ(summary.maxCll().firstFrames(), std::vector<long long>{102});
    EXPECT_EQ(summary.maxFall().value(), 180.5);
    EXPECT_EQ(summary.maxFall().firstFrames(), std::vector<long long>{101});
    EXPECT_EQ(summary.framesAboveThreshold(), 2);
    EXPECT_DOUBLE_EQ(summary.framesAboveThresholdPercent(), 50.0);
    EXPECT_DOUBLE_EQ(summary.pixelsAboveThresholdPercent(), 15.0);
    std::ostringstream text;
    RunFacts facts;
    facts.inputName = "clip.mkv";
    facts.thresholdNits = 203.5;
    facts.interruption = "SIGTERM";
    facts.metadata.lightLevel = ContentLightLevel{1000, 180};
    summary.print(text, facts);
    for (const char* line : {"MaxCLL                1000 nits (1000.400) at frame 102\n",
                             "MaxFALL               181 nits (180.500) at frame 101\n",
                             "frames above 203.5 nits 2 of 4 (50.0 %)\n", "pixels above 203.5 nits 15.000 %\n",
                             "interrupted           by SIGTERM; the frames measured before it are summarised\n",
                             "content light level   MaxCLL 1000 nits, MaxFALL 180 nits (container)\n",
                             "stated below measured MaxFALL 180 < 181 nits measured\n"})
        EXPECT_NE(text.str().find(line), std::string::npos) << text.str();
    // Stated and measured levels are compared as the whole nits metadata carries: 1000 is not below 1000.4.
    EXPECT_EQ(text.str().find("stated below measured MaxCLL"), std::string::npos) << text.str();
}
