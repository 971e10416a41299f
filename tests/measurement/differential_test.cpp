// The library against a literal, single-threaded re-computation of the measurement, on random frames:
// results, clamped buffers and the sorted luminance buffer must be the same bits.
#include "frame_builder.h"
#include "measurement_oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

TEST(Differential, RandomFramesMatchTheLiteralComputation) {
    std::mt19937 rng(20261206);
    const InputPixelFormat formats[] = {YCbCr422_A, YCbCr422_B, YCbCr444_A, YCbCr444_B};
    const int depths[] = {10, 12, 16};
    int checked = 0;
    for (int round = 0; round < 240; ++round) {
        const int depth = depths[round % 3];
        const InputPixelFormat format = formats[(round / 3) % 4];
        HDR_Info info;
        info.bitDepth = depth;
        info.transferFunction = rng() % 2 ? L"HLG" : L"PQ";
        info.colorSpace = rng() % 2 ? L"BT.2020" : L"BT.709";
        info.measureLightLevel = rng() % 4 != 0;
        info.measurePercentiles = rng() % 4 != 0;
        const int last = (1 << depth) - 1;
        if (rng() % 2) {
            info.thresholdUnit = L"NITS";
            info.thresholdLevel = static_cast<int>(rng() % 12000);
        } else {
            info.thresholdUnit = L"CODE";
            info.thresholdLevel = static_cast<int>(rng() % (last + 1));
        }
        std::uniform_real_distribution<float> percent(0.0f, 100.0f);
        info.topPercent1 = percent(rng);
        info.topPercent2 = percent(rng);
        info.bottomPercent = rng() % 8 == 0 ? 0.0f : percent(rng);

        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        hdrmeter_oracle::MeasurementOracle oracle(info);

        // Odd widths and pixel counts put 4:2:2 band boundaries inside chroma pairs.
        const int width = 1 + static_cast<int>(rng() % 97);
        const int height = 1 + static_cast<int>(rng() % 23);
        TestFrame frame(format, width, height);
        std::uniform_int_distribution<int> inRange(0, last);
        for (uint16_t& sample : frame.samples) sample = static_cast<uint16_t>(rng() % 16 == 0 ? rng() : inRange(rng));
        if (format == YCbCr422_A || format == YCbCr422_B) {
            // Only whole pairs have chroma; give an odd pixel count's last pixel the neutral pair as padding.
            frame.samples.resize(frame.samples.size() + 2, static_cast<uint16_t>(oracle.neutral));
        }
        TestFrame expectedFrame = frame;

        for (int taskCount = 1; taskCount <= 7; ++taskCount) {
            SCOPED_TRACE(::testing::Message() << "round " << round << " depth " << depth << " format " << format
                                              << " size " << width << "x" << height << " tasks " << taskCount);
            TestFrame actualFrame = frame;
            TestFrame oracleFrame = expectedFrame;
            const auto actual = actualFrame.measure(meter, taskCount);
            const auto expected = oracle.frame(oracleFrame.format, width, height, oracleFrame.luma(),
                                               oracleFrame.samples.data(), taskCount);
            ASSERT_EQ(actual, expected);
            ASSERT_EQ(actualFrame.samples, oracleFrame.samples);
            if (info.measurePercentiles) {
                ASSERT_TRUE(std::equal(oracle.luminances.begin(), oracle.luminances.end(), meter.pixelLuminance));
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 240 * 7);
}
