// The baseline and the AVX2 builds of the band kernel must agree bit for bit: on this machine the library
// only ever runs one of them.
#include "measurement/band_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

using hdrmeter::detail::BandParameters;
using hdrmeter::detail::BandTotals;
using hdrmeter::detail::kHistogramWays;

struct KernelRun {
    BandTotals totals;
    std::vector<uint16_t> samples;
    std::vector<uint32_t> histogram;
};

}  // namespace

TEST(BandKernel, BaselineAndAvx2BuildsAgree) {
    if (!hdrmeter::detail::cpuHasAvx2()) GTEST_SKIP() << "this processor has no AVX2";
    std::mt19937 rng(77);
    for (int round = 0; round < 300; ++round) {
        const int depth = round % 3 == 0 ? 10 : round % 3 == 1 ? 12 : 16;
        const int scale = 1 << (depth - 10);
        const int codes = 1 << depth;
        std::vector<float> eotf(codes);
        for (float& value : eotf) value = std::uniform_real_distribution<float>(0.0f, 3.0f)(rng);
        std::sort(eotf.begin(), eotf.end());
        const std::vector<double> eotfWidened(eotf.begin(), eotf.end());
        const bool subsampled = rng() % 2 == 0;
        const bool bt2020 = rng() % 2 == 0;
        BandParameters p{};
        p.luminance = eotfWidened.data();
        p.lumaMin = p.chromaMin = p.rgbMin = 64 * scale;
        p.lumaMax = p.rgbMax = 940 * scale;
        p.chromaMax = 960 * scale;
        p.chromaNeutral = 512 * scale;
        p.redFromCr = bt2020 ? 1.4746f : 1.5396f;
        p.greenFromCb = bt2020 ? -0.1646f : -0.1831f;
        p.greenFromCr = bt2020 ? -0.5714f : -0.4577f;
        p.blueFromCb = bt2020 ? 1.8814f : 1.8142f;
        p.firstCodeAbove = static_cast<int>(64 * scale + rng() % (878 * scale));
        p.measureLight = p.sumLight = rng() % 4 != 0;
        p.histogramStride = 940 * scale + 1;
        const int pixelCount = 1 + static_cast<int>(rng() % 3000);
        std::vector<uint16_t> samples(static_cast<size_t>(pixelCount) * 3 + 2);
        for (uint16_t& sample : samples) sample = static_cast<uint16_t>(rng() % 5 == 0 ? rng() : rng() % codes);
        const long long start = rng() % pixelCount;
        const long long end = start + rng() % (pixelCount - start + 1);
        const bool percentiles = rng() % 2 == 0;
        // Every other round reads a row instead: no sample written, light and luma histograms, channel maxima.
        const bool reading = round % 2 == 1;
        p.codeRounding = reading && rng() % 2 == 0 ? 0.5f : 0.0f;

        KernelRun runs[2];
        for (int build = 0; build < 2; ++build) {
            KernelRun& run = runs[build];
            run.samples = samples;
            const size_t histogramSize = static_cast<size_t>(kHistogramWays) * p.histogramStride;
            run.histogram.assign(percentiles || reading ? (reading ? 2 : 1) * histogramSize : 0, 0);
            BandParameters parameters = p;
            parameters.lumaHistogram = percentiles || reading ? run.histogram.data() : nullptr;
            parameters.lightHistogram = reading ? run.histogram.data() + histogramSize : nullptr;
            const hdrmeter::detail::KernelSet& kernels =
                build == 0 ? hdrmeter::detail::genericKernels() : hdrmeter::detail::avx2Kernels();
            if (reading) {
                const int shift = subsampled ? 1 : 0;
                kernels.readingRow(parameters, shift, run.samples.data(), run.samples.data() + pixelCount,
                                   run.samples.data() + 2 * pixelCount, static_cast<int>(start),
                                   static_cast<int>(end - start), run.totals);
            } else {
                kernels.clampingBand(parameters, subsampled, pixelCount, run.samples.data(), run.samples.data(),
                                     start, end, run.totals);
            }
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " pixels " << pixelCount << " band " << start
                                          << ".." << end);
        ASSERT_EQ(std::memcmp(&runs[0].totals.lightSum, &runs[1].totals.lightSum, sizeof(double)), 0);
        ASSERT_EQ(runs[0].totals.largestLightCode, runs[1].totals.largestLightCode);
        ASSERT_EQ(runs[0].totals.aboveThresholdCount, runs[1].totals.aboveThresholdCount);
        ASSERT_EQ(runs[0].samples, runs[1].samples);
        ASSERT_EQ(runs[0].histogram, runs[1].histogram);
        for (int channel = 0; channel < 3; ++channel) {
            ASSERT_EQ(runs[0].totals.largestChannelCode[channel], runs[1].totals.largestChannelCode[channel]);
        }
        if (reading) {
            ASSERT_EQ(runs[0].samples, samples);
        }
        long long counted = 0;
        for (uint32_t count : runs[0].histogram) counted += count;
        ASSERT_EQ(counted, reading ? 2 * (end - start) : percentiles ? end - start : 0);
    }
}

TEST(BandKernel, StreamingFillsWriteExactlyTheirRange) {
    std::vector<double> expected(300);
    for (int offset = 0; offset < 5; ++offset) {
        for (int count : {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 64, 129}) {
            for (const auto fill : {hdrmeter::detail::genericKernels().fill, hdrmeter::detail::avx2Kernels().fill}) {
                if (fill == hdrmeter::detail::avx2Kernels().fill && !hdrmeter::detail::cpuHasAvx2()) continue;
                std::vector<double> buffer(300, -1.0);
                std::fill(expected.begin(), expected.end(), -1.0);
                std::fill(expected.begin() + offset, expected.begin() + offset + count, 0.25);
                fill(buffer.data() + offset, count, 0.25);
                ASSERT_EQ(buffer, expected) << offset << " " << count;
            }
        }
    }
}
