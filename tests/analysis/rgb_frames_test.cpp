// R'G'B' frames: the analyzer against its literal oracle and against the definition in double precision,
// packed pixels against planes, the same picture held as Y'CbCr, the content detector and the refusals.
#include <hdrmeter/analysis.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "analysis_oracle.h"

using namespace hdrmeter;
using analysis_oracle::TestFrame;

namespace {

const int kDepths[] = {10, 12, 16};

TestFrame rgbFrame(int width, int height, int depth, SampleRange range, int pad0 = 0, int pad1 = 0, int pad2 = 0) {
    TestFrame frame(width, height, depth, ChromaLayout::Yuv444, range, pad0, pad1, pad2);
    frame.model = ColourModel::Rgb;
    return frame;
}

std::vector<double> resultsOf(const FrameStatistics& s) {
    return {s.averageLightNits(),  s.largestLightNits(), s.smallestLightNits(), s.aboveThresholdPercent(),
            s.top1Nits(),          s.top2Nits(),         s.bottomNits(),        s.largestRedNits(),
            s.largestGreenNits(),  s.largestBlueNits(),  s.smallestPqLight(),   s.largestPqLight()};
}

double pqEotfNits(double signal) {
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096, c2 = 2413.0 / 128, c3 = 2392.0 / 128;
    const double e = std::pow(std::min(std::max(signal, 0.0), 1.0), 1 / m2);
    return 10000.0 * std::pow(std::max(e - c1, 0.0) / (c2 - c3 * e), 1 / m1);
}

}  // namespace

// Every depth and range, planar rows padded, packed pixels of three and four words, odd sizes, active areas
// and both summations: the literal computation's bits, and the same histograms however the pixels are held.
TEST(RgbFrames, RandomFramesMatchTheLiteralComputationPlanarOrPacked) {
    std::mt19937 rng(31);
    for (int round = 0; round < 120; ++round) {
        const SampleRange range = round % 4 == 3 ? SampleRange::Full : SampleRange::Narrow;
        TestFrame frame = rgbFrame(1 + rng() % 90, 1 + rng() % 17, kDepths[round % 3], range, rng() % 9, rng() % 5, rng() % 3);
        frame.fillRandom(rng);
        AnalysisSettings settings;
        settings.transfer = rng() % 2 ? Transfer::Pq : Transfer::Hlg, settings.matrix = rng() % 2 ? Matrix::Bt2020 : Matrix::Bt709;
        settings.thresholdNits = (double)(rng() % 1200), settings.top1Percent = (rng() % 1000) / 10.0;
        settings.bottomPercent = (rng() % 400) / 100.0, settings.taskCount = 1 + rng() % 5;
        settings.arithmetic.summation = rng() % 2 ? Summation::Fixed : Summation::Bands;
        const ActiveArea area = round % 2 == 1 ? analysis_oracle::randomArea(rng, frame) : ActiveArea{};
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << frame.width << "x" << frame.height << ", area "
                                          << area.left << "," << area.top << "," << area.right << "," << area.bottom);
        const Analyzer analyzer(settings);
        const FrameStatistics planar = analyzer.analyze(frame.view(), area);
        const analysis_oracle::Expected want = analysis_oracle::expect(frame, settings, area);
        ASSERT_EQ(planar.pixelCount(), want.pixels);
        EXPECT_EQ(resultsOf(planar), std::vector<double>({want.average, want.largest, want.smallest, want.above, want.top1,
                                                          want.top2, want.bottom, want.channel[0], want.channel[1],
                                                          want.channel[2], want.pqMin, want.pqMax}));
        EXPECT_DOUBLE_EQ(planar.meanPqLight(), want.pqMean);
        for (int words : {3, 4}) {
            frame.pack(words, rng() % 7);
            const FrameStatistics packed = analyzer.analyze(frame.view(), area);
            EXPECT_EQ(packed.lightHistogram(), planar.lightHistogram()) << words << " words a pixel";
            EXPECT_EQ(packed.lumaHistogram(), planar.lumaHistogram()) << words << " words a pixel";
            EXPECT_EQ(resultsOf(packed), resultsOf(planar)) << words << " words a pixel";
        }
    }
}

// Against the definition in double precision: each channel's signal from its clamped code, through the
// transfer function, the largest of the three. MaxCLL and MaxFALL (largest and average light) within 0.02 %.
TEST(RgbFrames, LightIsMaxRgbThroughTheTransferWithinItsBounds) {
    std::mt19937 rng(8);
    for (int round = 0; round < 3 * 2 * 2; ++round) {
        const int depth = kDepths[round % 3];
        const bool full = round / 3 % 2 == 1, hlg = round / 6 % 2 == 1;
        AnalysisSettings settings;
        settings.transfer = hlg ? Transfer::Hlg : Transfer::Pq;
        TestFrame frame = rgbFrame(1 + rng() % 80, 1 + rng() % 20, depth, full ? SampleRange::Full : SampleRange::Narrow, 2, 0, 1);
        const int u = 1 << (depth - 10), last = (1 << depth) - 1, black = full ? 0 : 64 * u;
        const double range = full ? last : 876 * u;
        // Every light 1 nit or more (a quarter of the signal up), some codes beyond white.
        for (int p = 0; p < 3; ++p) frame.fill(p, [&](int, int) { return black + (int)(range * (0.25 + (rng() % 10000) / 12000.0)); });
        const auto light = [&](int code) {
            const double signal = (std::min(std::max(code, black), full ? last : 940 * u) - black) / range;
            return hlg ? 1000.0 * hdrmeter_oracle::MeasurementOracle::hlg(signal) : pqEotfNits(signal);
        };
        double largest = 0, sum = 0;
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                const double pixel = std::max({light(frame.sample(0, x, y)), light(frame.sample(1, x, y)), light(frame.sample(2, x, y))});
                largest = std::max(largest, pixel), sum += pixel;
            }
        }
        const FrameStatistics got = Analyzer(settings).analyze(frame.view());
        EXPECT_NEAR(got.largestLightNits() / largest, 1.0, 2e-4) << "round " << round;
        EXPECT_NEAR(got.averageLightNits() / (sum / (frame.width * frame.height)), 1.0, 2e-4) << "round " << round;
    }
}

// One 16-bit picture held as R'G'B' and as Y'CbCr 4:4:4 converted from it in double precision and rounded
// to codes. Rounding Y', Cb and Cr moves each channel the analyzer derives by at most 1.42 codes of R'G'B'
// (B': half a code of Y' and half a code of Cb times 1.88), and its light code, rounded to a whole 16-bit
// code, by at most one code: so the largest light is within one code of PQ signal, and above signal 0.25
// (5 nits) each light, and so the average, within the light of one code there, 0.026 %.
TEST(RgbFrames, AgreesWithTheSamePictureHeldAsYCbCr) {
    std::mt19937 rng(44);
    for (int round = 0; round < 4; ++round) {
        const bool full = round % 2 == 1;
        AnalysisSettings settings;
        settings.matrix = round / 2 ? Matrix::Bt709 : Matrix::Bt2020;
        const SampleRange range = full ? SampleRange::Full : SampleRange::Narrow;
        TestFrame rgb = rgbFrame(67, 9, 16, range), ycbcr(67, 9, 16, ChromaLayout::Yuv444, range, 3, 0, 5);
        const int black = full ? 0 : 4096;
        const double lumaRange = full ? 65535 : 56064, chromaRange = full ? 65535 : 57344;
        for (int p = 0; p < 3; ++p) rgb.fill(p, [&](int, int) { return black + (int)(lumaRange * (0.25 + (rng() % 10000) / 13334.0)); });
        const double kr = round / 2 ? 0.2126 : 0.2627, kb = round / 2 ? 0.0722 : 0.0593, kg = 1 - kr - kb;
        const auto signal = [&](int p, int x, int y) { return (rgb.sample(p, x, y) - black) / lumaRange; };
        const auto luma = [&](int x, int y) { return kr * signal(0, x, y) + kg * signal(1, x, y) + kb * signal(2, x, y); };
        ycbcr.fill(0, [&](int x, int y) { return (int)std::lround(black + lumaRange * luma(x, y)); });
        ycbcr.fill(1, [&](int x, int y) { return (int)std::lround(32768 + chromaRange * (signal(2, x, y) - luma(x, y)) / (2 * (1 - kb))); });
        ycbcr.fill(2, [&](int x, int y) { return (int)std::lround(32768 + chromaRange * (signal(0, x, y) - luma(x, y)) / (2 * (1 - kr))); });
        const Analyzer analyzer(settings);
        const FrameStatistics fromRgb = analyzer.analyze(rgb.view()), fromYCbCr = analyzer.analyze(ycbcr.view());
        const auto codes = [&](double nits) { return lumaRange * analysis_oracle::pqSignal(nits); };
        // One code, and the light table's single precision (a few ten-thousandths of a code here).
        const double kOneCode = 1.001;
        SCOPED_TRACE(::testing::Message() << "round " << round);
        EXPECT_LE(std::fabs(codes(fromRgb.largestLightNits()) - codes(fromYCbCr.largestLightNits())), kOneCode);
        EXPECT_LE(std::fabs(codes(fromRgb.largestRedNits()) - codes(fromYCbCr.largestRedNits())), kOneCode);
        EXPECT_LE(std::fabs(codes(fromRgb.largestBlueNits()) - codes(fromYCbCr.largestBlueNits())), kOneCode);
        EXPECT_NEAR(fromRgb.averageLightNits() / fromYCbCr.averageLightNits(), 1.0, 2.6e-4);
        // The luma codes are the same sum rounded, so the luminance statistics agree within one code.
        EXPECT_LE(std::fabs(codes(fromRgb.top1Nits()) - codes(fromYCbCr.top1Nits())), kOneCode);
    }
}

// Bars are black in every channel; a picture edge lit in one channel alone is picture; faint lines of one
// channel join the bars. Planar, and packed in three and four words.
TEST(RgbFrames, ContentBoundsOfALetterboxedFrame) {
    // Codes at 10 bits, narrow range: black 64, the tolerance ending at 80.
    const auto letterbox = [](int top, int bottom, int edgeChannel, int edge) {
        return [=](int p, int x, int y) {
            if (y < top || y >= bottom) return 64 + (x + y + p) % 17;  // black within the tolerance
            if (y < top + 4 || y >= bottom - 4) return p == edgeChannel ? edge : 64;
            return 300 + (x * 7 + y * 13 + p * 5) % 600;
        };
    };
    struct Case { const char* what; std::function<int(int, int, int)> sample; std::vector<int> expect; } cases[] = {
        {"letterbox", letterbox(12, 52, 0, 400), {0, 12, 96, 52}},
        {"edge rows lit in blue only", letterbox(12, 52, 2, 400), {0, 12, 96, 52}},
        {"edge rows lit in green only", letterbox(12, 52, 1, 400), {0, 12, 96, 52}},
        {"faint green rows join the bars", letterbox(12, 52, 1, 100), {0, 16, 96, 48}},
        {"pillarbox", [](int p, int x, int y) { return x < 10 || x >= 87 ? 70 : 200 + (x + y + p) % 100; }, {10, 0, 87, 64}},
        {"all black", [](int, int, int) { return 64; }, {}},
    };
    for (const Case& c : cases) {
        // In full range the same picture lies 64 codes lower: black is 0 there.
        for (const SampleRange range : {SampleRange::Narrow, SampleRange::Full}) {
            TestFrame frame = rgbFrame(96, 64, 10, range, 3, 0, 1);
            const int lower = range == SampleRange::Full ? 64 : 0;
            for (int p = 0; p < 3; ++p) frame.fill(p, [&](int x, int y) { return c.sample(p, x, y) - lower; });
            for (int words : {1, 3, 4}) {
                if (words > 1) frame.pack(words, 5);
                const ContentBounds bounds = findContent(frame.view());
                const std::vector<int> found = {bounds.left, bounds.top, bounds.right, bounds.bottom};
                EXPECT_EQ(bounds.anyContent ? found : std::vector<int>(), c.expect)
                    << c.what << ", " << words << " words a pixel, range " << static_cast<int>(range);
            }
        }
    }
}

// What cannot be an R'G'B' frame, or measured as one, is refused with a reason; packed rows exactly as long
// as their pixels and bottom-up rows are measured.
TEST(RgbFrames, RefusesWhatItCannotMeasure) {
    TestFrame frame = rgbFrame(16, 8, 12, SampleRange::Narrow);
    frame.pack(4, 0);
    struct Call { FrameView v; AnalysisSettings s; };
    const std::pair<bool, void (*)(Call&)> cases[] = {
        {true, [](Call& c) { c.s.arithmetic.coefficients = Coefficients::Listed; }},
        {true, [](Call& c) { c.v.steps[0] = c.v.steps[1] = c.v.steps[2] = 2; }},
        {true, [](Call& c) { c.v.steps[2] = 3; }},
        {true, [](Call& c) { c.v.strides[1] -= 2; }},
        {true, [](Call& c) { c.v.model = ColourModel::YCbCr, c.v.layout = ChromaLayout::Yuv444; }},
        {true, [](Call& c) { c.v.model = static_cast<ColourModel>(7); }},
        {false, [](Call& c) { c.v.layout = static_cast<ChromaLayout>(7); }},  // ignored for R'G'B'
        {false, [](Call& c) {
             for (int p = 0; p < 3; ++p) c.v.planes[p] += 7 * c.v.strides[p] / 2, c.v.strides[p] = -c.v.strides[p];
         }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Call call{frame.view(), {}};
        cases[i].second(call);
        if (cases[i].first) {
            EXPECT_THROW(Analyzer(call.s).analyze(call.v), std::invalid_argument) << i;
        } else {
            EXPECT_EQ(Analyzer(call.s).analyze(call.v).pixelCount(), 128u) << i;
        }
    }
}
