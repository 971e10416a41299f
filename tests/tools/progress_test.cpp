#include <gtest/gtest.h>

#include "progress.h"

using namespace hdrmeter::tool;

TEST(Progress, LineShowsRateAndWhenTheTotalIsKnownPercentAndTimeLeft)
{
    const struct {
        long long framesDone;
        std::optional<long long> framesExpected;
        double elapsedSeconds;
        const char* line;
    } cases[] = {
        {30, 120, 3.0, "frame 30/120  10.0 frames/s  25 %  0:09 left"},
        {1, 7201, 1.0, "frame 1/7201  1.0 frames/s  0 %  120:00 left"},
        {120, 120, 4.0, "frame 120/120  30.0 frames/s  100 %  0:00 left"},
        {130, 120, 4.0, "frame 130/130  32.5 frames/s  100 %  0:00 left"},
        {30, std::nullopt, 2.0, "frame 30  15.0 frames/s"},
        {0, 50, 0.0, "frame 0/50  0.0 frames/s  0 %"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progressLine(c.framesDone, c.framesExpected, c.elapsedSeconds), c.line);
}
