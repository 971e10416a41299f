// The baseline and AVX2 builds of the band kernel must agree bit for bit, on both faces: on any one
// machine the library only ever runs one of them.
#include "measurement/band_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using namespace hdrmeter::detail;

TEST(BandKernel, BaselineAndAvx2BuildsAgree) {
    if (!cpuHasAvx2()) GTEST_SKIP() << "this processor has no AVX2";
    std::mt19937 rng(77);
    for (int round = 0; round < 300; ++round) {
        const int scale = 1 << (round % 3 * 2), codes = 1024 * scale;  // 10, 12 and 16 bits
        std::vector<double> eotf(codes);
        for (double& value : eotf) value = std::uniform_real_distribution<float>(0.0f, 3.0f)(rng);
        std::sort(eotf.begin(), eotf.end());
        const bool subsampled = rng() % 2 == 0, bt2020 = rng() % 2 == 0, percentiles = rng() % 2 == 0;
        // Every other round reads a row instead: no sample written, light and luma histograms, channel maxima.
        const bool reading = round % 2 == 1;
        // Half of those read a 4:2:0 row pair at once, which must count as its two rows read one by one.
        const bool rowPair = reading && subsampled && round % 8 < 4;
        BandParameters p{};
        p.luminance = eotf.data();
        p.lumaMin = p.chromaMin = p.rgbMin = 64 * scale, p.lumaMax = p.rgbMax = 940 * scale;
        p.chromaMax = 960 * scale, p.chromaNeutral = 512 * scale, p.histogramStride = 940 * scale + 1;
        p.redFromCr = bt2020 ? 1.4746f : 1.5396f, p.greenFromCb = bt2020 ? -0.1646f : -0.1831f;
        p.greenFromCr = bt2020 ? -0.5714f : -0.4577f, p.blueFromCb = bt2020 ? 1.8814f : 1.8142f;
        p.firstCodeAbove = static_cast<int>(64 * scale + rng() % (878 * scale));
        p.measureLight = p.sumLight = !rowPair && rng() % 4 != 0;
        p.codeRounding = reading && rng() % 2 == 0 ? 0.5f : 0.0f;
        // Rounded (exact) light is read in 65536 light codes, counted in one folded table.
        const int lightScale = p.codeRounding != 0.0f ? 64 / scale : 1;
        p.lightScale = static_cast<float>(lightScale);
        p.rgbMin *= lightScale, p.rgbMax *= lightScale;
        p.lightWayShift = lightScale == 1 ? 2 : static_cast<int>(rng() % 3);
        std::vector<double> lightTable(static_cast<size_t>(codes) * lightScale);
        for (size_t code = 0; code < lightTable.size(); ++code) lightTable[code] = eotf[code / lightScale];
        if (reading) p.luminance = lightTable.data();
        const int pixels = 1 + static_cast<int>(rng() % 3000);
        std::vector<uint16_t> samples(static_cast<size_t>(pixels) * 4 + 2);  // the fourth part: a second luma row
        // Every other pair of rounds keeps the samples near mid-range, where no channel maximum is clipped.
        const bool middle = round % 4 > 1;
        for (uint16_t& sample : samples)
            sample = static_cast<uint16_t>(middle ? codes * 7 / 16 + rng() % (codes / 8) : rng() % 5 == 0 ? rng() : rng() % codes);
        const int start = static_cast<int>(rng() % pixels), end = start + static_cast<int>(rng() % (pixels - start + 1));
        const size_t ways = static_cast<size_t>(kHistogramWays) * p.histogramStride;
        const size_t lightSlots = lightScale == 1 ? ways : lightTable.size() << p.lightWayShift;

        // Builds 0 and 1 as they are; 2 the AVX2 build on a row pair's rows one at a time.
        BandTotals totals[3];
        std::vector<uint16_t> written[3];
        std::vector<uint32_t> histograms[3];
        for (int build = 0; build < (rowPair ? 3 : 2); ++build) {
            written[build] = samples;
            histograms[build].assign(reading ? ways + lightSlots : percentiles ? ways : 0, 0);
            BandParameters q = p;
            q.lumaHistogram = histograms[build].empty() ? nullptr : histograms[build].data();
            q.lightHistogram = reading ? histograms[build].data() + ways : nullptr;
            const KernelSet& kernels = build == 0 ? genericKernels() : avx2Kernels();
            uint16_t* s = written[build].data();
            const uint16_t* second = s + 3 * pixels;
            if (build == 2) {
                for (const uint16_t* row : {static_cast<const uint16_t*>(s), second})
                    kernels.readingRows(q, 1, row, nullptr, s + pixels, s + 2 * pixels, start, end - start, totals[2]);
            } else if (reading) {
                kernels.readingRows(q, subsampled ? 1 : 0, s, rowPair ? second : nullptr, s + pixels, s + 2 * pixels,
                                    start, end - start, totals[build]);
            } else {
                kernels.clampingBand(q, subsampled, pixels, s, s, start, end, totals[build]);
            }
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " pixels " << pixels << " band " << start << ".." << end);
        if (rowPair) {
            ASSERT_EQ(histograms[2], histograms[1]);
            ASSERT_TRUE(std::equal(totals[2].largestChannelCode, totals[2].largestChannelCode + 3, totals[1].largestChannelCode));
        }
        ASSERT_EQ(std::memcmp(&totals[0].lightSum, &totals[1].lightSum, sizeof(double)), 0);
        ASSERT_EQ(totals[0].largestLightCode, totals[1].largestLightCode);
        ASSERT_EQ(totals[0].aboveThresholdCount, totals[1].aboveThresholdCount);
        ASSERT_TRUE(std::equal(totals[0].largestChannelCode, totals[0].largestChannelCode + 3, totals[1].largestChannelCode));
        ASSERT_EQ(written[0], written[1]);
        ASSERT_EQ(histograms[0], histograms[1]);
        ASSERT_TRUE(!reading || written[0] == samples);
        long long counted = 0;
        for (uint32_t count : histograms[0]) counted += count;
        ASSERT_EQ(counted, (reading ? 2 : percentiles ? 1 : 0) * (rowPair ? 2 : 1) * (end - start));
    }
}

TEST(BandKernel, StreamingFillsWriteExactlyTheirRange) {
    for (const KernelSet* kernels : {&genericKernels(), &avx2Kernels()}) {
        if (kernels == &avx2Kernels() && !cpuHasAvx2()) continue;
        for (int offset = 0; offset < 5; ++offset) {
            for (int count : {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 64, 129}) {
                std::vector<double> buffer(300, -1.0), expected(300, -1.0);
                std::fill(expected.begin() + offset, expected.begin() + offset + count, 0.25);
                kernels->fill(buffer.data() + offset, count, 0.25);
                ASSERT_EQ(buffer, expected) << offset << " " << count;
            }
        }
    }
}

// R'G'B' rows, planar or packed (R'G'B' or B'G'R' words, or another order read pixel by pixel), in both
// builds, against the pixels counted one by one: histograms, channel maxima and the sum's bits.
TEST(BandKernel, RgbRowsCountAsTheirPixelsOneByOne) {
    std::mt19937 rng(4);
    for (int round = 0; round < 240; ++round) {
        const int scale = 1 << (round % 3 * 2), codes = 1024 * scale;  // 10, 12 and 16 bits
        const bool full = rng() % 2 == 0, bt2020 = rng() % 2 == 0;
        const int steps[] = {1, 3, 4}, step = steps[round / 3 % 3];
        const int order = round / 9 % 3;  // R'G'B', B'G'R', G'R'B' within a packed pixel
        std::vector<double> lightTable(65536);
        for (double& value : lightTable) value = std::uniform_real_distribution<float>(0.0f, 3.0f)(rng);
        BandParameters p{};
        p.luminance = lightTable.data();
        p.lumaMin = full ? 0 : 64 * scale, p.lumaMax = full ? codes - 1 : 940 * scale;
        p.lightScale = static_cast<float>(64 / scale), p.sumLight = rng() % 2 == 0;
        p.histogramStride = scale == 64 ? 0 : codes, p.lightWayShift = scale == 64 ? 0 : static_cast<int>(rng() % 3);
        const int weights[3] = {bt2020 ? 2627 : 2126, bt2020 ? 6780 : 7152, bt2020 ? 593 : 722};
        std::copy(weights, weights + 3, p.lumaWeights);
        const int pixels = 1 + static_cast<int>(rng() % 700), x0 = static_cast<int>(rng() % pixels);
        const int count = static_cast<int>(rng() % (pixels - x0 + 1));
        std::vector<uint16_t> samples(static_cast<size_t>(pixels) * (step == 1 ? 3 : step));
        for (uint16_t& sample : samples) sample = static_cast<uint16_t>(rng() % 9 == 0 ? rng() : rng() % codes);
        const int offsets[3][3] = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}};
        const uint16_t* planes[3];
        for (int c = 0; c < 3; ++c) planes[c] = samples.data() + (step == 1 ? c * pixels : offsets[order][c]);

        std::vector<uint64_t> light(65536), luma(codes);
        int largest[3] = {-1, -1, -1};
        double sum = 0.0;
        for (int x = x0; x < x0 + count; ++x) {
            int channel[3], weighted = 5000;
            for (int c = 0; c < 3; ++c) {
                channel[c] = std::clamp<int>(planes[c][x * step], p.lumaMin, p.lumaMax) * (64 / scale);
                largest[c] = std::max(largest[c], channel[c]);
                weighted += weights[c] * (channel[c] / (64 / scale));
            }
            const int code = std::max({channel[0], channel[1], channel[2]});
            ++light[code], ++luma[weighted / 10000];
            if (p.sumLight) sum += lightTable[code];
        }
        for (const KernelSet* kernels : {&genericKernels(), &avx2Kernels()}) {
            if (kernels == &avx2Kernels() && !cpuHasAvx2()) continue;
            std::vector<uint32_t> lightCounts(size_t(65536) << p.lightWayShift), lumaCounts(size_t(codes) * 4);
            BandParameters q = p;
            q.lightHistogram = lightCounts.data(), q.lumaHistogram = lumaCounts.data();
            BandTotals totals;
            kernels->readingRgbRow(q, step, planes[0], planes[1], planes[2], x0, count, totals);
            std::vector<uint64_t> gotLight(65536), gotLuma(codes);
            for (size_t i = 0; i < lightCounts.size(); ++i) gotLight[i >> p.lightWayShift] += lightCounts[i];
            for (size_t i = 0; i < lumaCounts.size(); ++i) gotLuma[p.histogramStride == 0 ? i : i / 4] += lumaCounts[i];
            SCOPED_TRACE(::testing::Message() << "round " << round << (kernels == &genericKernels() ? " baseline" : " AVX2"));
            ASSERT_EQ(gotLight, light);
            ASSERT_EQ(gotLuma, luma);
            ASSERT_TRUE(std::equal(largest, largest + 3, totals.largestChannelCode));
            ASSERT_EQ(std::memcmp(&totals.lightSum, &sum, sizeof sum), 0);
        }
    }
}
