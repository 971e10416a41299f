// The library against a literal, single-threaded re-computation of the measurement, on random frames:
// results, clamped buffers and the sorted luminance buffer must be the same bits.
#include "frame_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

namespace {

struct Oracle {
    int black, range, last, neutral, lumaMin, lumaMax, chromaMin, chromaMax;
    float peak;
    float kR, kGb, kGr, kB;
    std::vector<float> eotf;
    double threshold;
    bool light, percentiles;
    float top1, top2, bottom;
    std::vector<double> luminances;

    static double pq(double s) {
        double x = s < 0.0 ? 0.0 : s;
        double e = std::pow(x, 0.012683313515655966);
        double n = e - 0.8359375;
        if (n <= 0.0) n = 0.0;
        return std::pow(n / (18.8515625 - 18.6875 * e), 6.277394636507897);
    }
    static double hlg(double s) {
        double x = s < 0.0 ? 0.0 : s;
        double e = x <= 0.5 ? 4 * x * x : std::exp((x - 0.55991073) / 0.17883277) + 0.28466892;
        double ys = 0.2627 * e + 0.678 * e + 0.0593 * e;
        return std::pow(ys, 0.19999999999999996) * (1000 / std::pow(12, 1.2)) * e / 1000;
    }

    explicit Oracle(const HDR_Info& info) {
        const int scale = info.bitDepth == 12 ? 4 : info.bitDepth == 16 ? 64 : 1;
        black = 64 * scale;
        range = 876 * scale;
        last = (1 << info.bitDepth) - 1;
        neutral = 512 * scale;
        lumaMin = chromaMin = 64 * scale;
        lumaMax = 940 * scale;
        chromaMax = 960 * scale;
        const bool isHlg = info.transferFunction == L"HLG";
        peak = isHlg ? 1000.0f : 10000.0f;
        eotf.assign(last + 1, 0.0f);
        for (int c = 0; c <= last; ++c) {
            float x = ((float)c - (float)black) / (float)range;
            eotf[c] = (float)(isHlg ? hlg((double)x) : pq((double)x));
        }
        if (info.colorSpace == L"BT.2020") {
            kR = 1.4746f, kGb = -0.1646f, kGr = -0.5714f, kB = 1.8814f;
        } else {
            kR = 1.5396f, kGb = -0.1831f, kGr = -0.4577f, kB = 1.8142f;
        }
        threshold = info.thresholdUnit == L"NITS" ? (double)((float)info.thresholdLevel / peak)
                                                   : (double)eotf[info.thresholdLevel];
        light = info.measureLightLevel;
        percentiles = info.measurePercentiles;
        top1 = info.topPercent1;
        top2 = info.topPercent2;
        bottom = info.bottomPercent;
    }

    static int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

    std::tuple<double, double, double> band(TestFrame& f, long long start, long long end) {
        double sum = 0, largest = 0, count = 0;
        const int n = f.width * f.height;
        const bool sub = f.isSubsampled();
        for (long long p = start; p < end; ++p) {
            const int c = (int)(sub ? p / 2 : p);
            int y = clamp(f.luma()[p], lumaMin, lumaMax);
            f.luma()[p] = (uint16_t)y;
            int cb = clamp(f.cb()[c], chromaMin, chromaMax);
            f.cb()[c] = (uint16_t)cb;
            int cr = clamp(f.cr()[c], chromaMin, chromaMax);
            f.cr()[c] = (uint16_t)cr;
            if (light) {
                float fy = (float)y;
                float r = fy + (float)(cr - neutral) * kR;
                float g = fy + ((float)(cb - neutral) * kGb + (float)(cr - neutral) * kGr);
                float b = fy + (float)(cb - neutral) * kB;
                int ri = clamp((int)r, lumaMin, lumaMax), gi = clamp((int)g, lumaMin, lumaMax),
                    bi = clamp((int)b, lumaMin, lumaMax);
                double l = (double)std::max(std::max(eotf[ri], eotf[gi]), eotf[bi]);
                sum += l;
                if (l > largest) largest = l;
            }
            double lum = (double)eotf[y];
            if (lum > threshold) count += 1.0;
            if (percentiles) luminances[p] = lum;
        }
        (void)n;
        return {sum, largest, count};
    }

    std::tuple<double, double, double, double, double, double> frame(TestFrame& f, int taskCount) {
        const int t = taskCount == 0 ? 1 : taskCount;
        const int n = f.width * f.height;
        luminances.assign(n, -1.0);
        const long long s = n / t;
        double count = 0, sum = 0, largest = 0;
        for (int i = 0; i < t; ++i) {
            auto [bs, bl, bc] = band(f, i * s, i == t - 1 ? n : (i + 1) * s);
            count += bc;
            sum += bs;
            if (!(largest > bl)) largest = bl;
        }
        double r0 = (double)peak * sum / n, r1 = largest * (double)peak, r2 = count * 100 / n;
        if (!percentiles) return {r0, r1, r2, 0.0, 0.0, 0.0};
        std::sort(luminances.begin(), luminances.end(), std::greater<double>());
        auto k = [&](double p) { return std::max((int)(p / 100 * n) - 1, 0); };
        float r3 = (float)((double)peak * luminances[k((double)top1)]);
        float r4 = (float)((double)peak * luminances[k((double)top2)]);
        float r5 = (float)((double)peak * luminances[k(100 - (double)bottom)]);
        return {r0, r1, r2, r3, r4, r5};
    }
};

}  // namespace

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
        Oracle oracle(info);

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
            const auto expected = oracle.frame(oracleFrame, taskCount);
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
