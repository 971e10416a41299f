// The library against the literal re-computation on random frames and settings: the levels written back,
// and results, clamped buffers and the sorted luminance buffer the same bits for every task count, more
// bands than pixels included. One object is reconfigured each round: tables replaced, the buffer grown.
#include "measurement_oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace hdrmeter_oracle;

TEST(Differential, RandomFramesMatchTheLiteralComputation) {
    std::mt19937 rng(20261206);
    // Near misses of the recognised strings: they mean PQ, BT.709 and codes.
    const wchar_t* transfers[] = {L"HLG", L"PQ", L"hlg", L"HLG "};
    const wchar_t* colourSpaces[] = {L"BT.2020", L"BT.709", L"bt.2020", L"BT.2020 "};
    const wchar_t* units[] = {L"NITS", L"CODE", L"nits"};
    std::uniform_real_distribution<float> percent(0.0f, 100.0f);
    CHDR_Measurements meter;
    for (int round = 0; round < 240; ++round) {
        const int depth = round % 3 == 0 ? 10 : round % 3 == 1 ? 12 : 16, last = (1 << depth) - 1;
        HDR_Info info = makeInfo(depth, transfers[rng() % 4], colourSpaces[rng() % 4], rng() % 4 != 0, rng() % 4 != 0);
        info.thresholdUnit = units[rng() % 3];
        info.thresholdLevel = static_cast<int>(rng() % (info.thresholdUnit == L"NITS" ? 12000 : last + 1));
        info.topPercent1 = percent(rng), info.topPercent2 = percent(rng);
        info.bottomPercent = rng() % 8 == 0 ? 0.0f : percent(rng);
        info.levelUnit = units[rng() % 3];
        for (int* level : {&info.topLevel1, &info.topLevel2, &info.bottomLevel})
            *level = rng() % 4 == 0 ? -1 : static_cast<int>(rng() % (info.levelUnit == L"NITS" ? 10001 : last + 1));
        info.topLevel1Nits = info.topLevel2Nits = info.bottomLevelNits = 123.5;  // left alone without percentiles
        const HDR_Info asGiven = info;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        MeasurementOracle oracle(asGiven);
        double levels[3] = {123.5, 123.5, 123.5};
        oracle.expectedLevelNits(asGiven, levels[0], levels[1], levels[2]);
        EXPECT_EQ(std::vector<double>({info.topLevel1Nits, info.topLevel2Nits, info.bottomLevelNits}),
                  std::vector<double>(levels, levels + 3)) << "round " << round;

        // Odd widths and pixel counts put 4:2:2 band edges inside chroma pairs.
        EngineFrame frame(static_cast<InputPixelFormat>(round / 3 % 4), 1 + rng() % 97, 1 + rng() % 23);
        for (uint16_t& sample : frame.samples) sample = static_cast<uint16_t>(rng() % 16 == 0 ? rng() : rng() % (last + 1));

        for (int taskCount = 0; taskCount <= 7; ++taskCount) {
            SCOPED_TRACE(::testing::Message() << "round " << round << " format " << frame.format << " size "
                                              << frame.width << "x" << frame.height << " tasks " << taskCount);
            EngineFrame actual = frame, expected = frame;
            const Results want = oracle.frame(frame.format, frame.width, frame.height, expected.samples.data(),
                                              expected.samples.data(), taskCount);
            ASSERT_EQ(actual.measure(meter, taskCount), want);
            ASSERT_EQ(actual.samples, expected.samples);
            if (info.measurePercentiles) {
                ASSERT_TRUE(std::equal(oracle.luminances.begin(), oracle.luminances.end(), meter.pixelLuminance));
            }
        }
    }
}
