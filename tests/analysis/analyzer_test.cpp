// The analyzer against its literal oracle, against CHDR_Measurements, and against colours whose light is
// known; merging; and the content detector.
#include <hdrmeter.h>
#include <hdrmeter/analysis.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>

#include "analysis/content_lines.h"
#include "analysis_oracle.h"

using namespace hdrmeter;
using analysis_oracle::TestFrame;

namespace {

const int kDepths[] = {10, 12, 16};

AnalysisSettings randomSettings(std::mt19937& rng) {
    AnalysisSettings s;
    s.transfer = rng() % 2 ? Transfer::Pq : Transfer::Hlg, s.matrix = rng() % 2 ? Matrix::Bt2020 : Matrix::Bt709;
    s.thresholdNits = rng() % 3 == 0 ? 0.0 : (double)(rng() % 1200);
    s.top1Percent = (rng() % 1000) / 10.0, s.top2Percent = 29.0, s.bottomPercent = (rng() % 400) / 100.0;
    s.taskCount = 1 + rng() % 5, s.arithmetic.summation = rng() % 2 ? Summation::Fixed : Summation::Bands;
    s.arithmetic.ranks = rng() % 2 ? Ranks::Exact : Ranks::Truncated;
    return s;
}

}  // namespace

// Every layout, depth and range, padded planes, odd sizes and active areas that touch each edge. Whole
// frames in the class's layouts (4:2:2 of even width, 4:4:4) are also measured in the class's arithmetic,
// which must give CHDR_Measurements' own bits for its six results, band order included.
TEST(Analyzer, RandomFramesMatchTheLiteralComputationAndTheClass) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 180; ++round) {
        const SampleRange range = round % 4 == 3 ? SampleRange::Full : SampleRange::Narrow;
        TestFrame frame(1 + rng() % 70, 1 + rng() % 23, kDepths[round % 3], static_cast<ChromaLayout>(round / 3 % 3),
                        range, rng() % 9, rng() % 5, rng() % 3);
        frame.fillRandom(rng);
        AnalysisSettings settings = randomSettings(rng);
        if (range == SampleRange::Narrow && rng() % 3 == 0) settings.arithmetic.coefficients = Coefficients::Listed;
        const ActiveArea area = round % 2 == 1 ? analysis_oracle::randomArea(rng, frame) : ActiveArea{};
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << frame.width << "x" << frame.height << ", area "
                                          << area.left << "," << area.top << "," << area.right << "," << area.bottom);
        const FrameStatistics got = Analyzer(settings).analyze(frame.view(), area);
        const analysis_oracle::Expected want = analysis_oracle::expect(frame, settings, area);
        ASSERT_EQ(got.pixelCount(), want.pixels);
        EXPECT_EQ(std::vector<double>({got.averageLightNits(), got.largestLightNits(), got.smallestLightNits(),
                                       got.aboveThresholdPercent(), got.top1Nits(), got.top2Nits(), got.bottomNits(),
                                       got.largestRedNits(), got.largestGreenNits(), got.largestBlueNits(),
                                       got.smallestPqLight(), got.largestPqLight()}),
                  std::vector<double>({want.average, want.largest, want.smallest, want.above, want.top1, want.top2,
                                       want.bottom, want.channel[0], want.channel[1], want.channel[2], want.pqMin,
                                       want.pqMax}));
        EXPECT_DOUBLE_EQ(got.meanPqLight(), want.pqMean);  // the oracle's own inverse PQ may differ in a last bit
        const std::vector<double>& lights = want.lightsAscending;
        for (double percent : {0.0, 1.0, 25.0, 50.0, 99.98, 100.0}) {
            EXPECT_EQ(got.lightAtPercentile(percent), lights[analysis_oracle::nearestRank(percent, lights.size()) - 1]);
        }
        const double level = lights[lights.size() / 3];
        const auto atOrBelow = std::upper_bound(lights.begin(), lights.end(), level) - lights.begin();
        EXPECT_EQ(got.percentAtOrBelow(level), (double)atOrBelow * 100.0 / (double)lights.size());

        const bool subsampled = frame.layout == ChromaLayout::Yuv422;
        if (round % 2 == 1 || range == SampleRange::Full || frame.layout == ChromaLayout::Yuv420 || (subsampled && frame.width % 2)) continue;
        settings.arithmetic = Arithmetic::classParity();
        HDR_Info info = hdrmeter_oracle::makeInfo(frame.depth, settings.transfer == Transfer::Hlg ? L"HLG" : L"PQ",
                                                  settings.matrix == Matrix::Bt2020 ? L"BT.2020" : L"BT.709", true, true);
        info.thresholdLevel = (int)settings.thresholdNits, info.topPercent1 = (float)settings.top1Percent;
        info.topPercent2 = (float)settings.top2Percent, info.bottomPercent = (float)settings.bottomPercent;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        std::vector<uint16_t> contiguous;
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < frame.rows(p); ++y)
                for (int x = 0; x < frame.columns(p); ++x) contiguous.push_back(frame.sample(p, x, y));
        auto* bytes = reinterpret_cast<unsigned char*>(contiguous.data());
        const FrameStatistics parity = Analyzer(settings).analyze(frame.view());
        EXPECT_EQ(std::make_tuple(parity.averageLightNits(), parity.largestLightNits(), parity.aboveThresholdPercent(),
                                  parity.top1Nits(), parity.top2Nits(), parity.bottomNits()),
                  meter.HDR_Measurements(subsampled ? YCbCr422_A : YCbCr444_A, frame.width, frame.height, bytes, bytes,
                                         settings.taskCount));
    }
}

// Fixed summation is the same bits whatever the task count, and the statistics of two parts merge into
// those of the whole frame; statistics of another transfer do not merge.
TEST(Analyzer, FixedSummationAndMergingDoNotDependOnHowTheFrameIsCut) {
    std::mt19937 rng(11);
    TestFrame frame(333, 121, 10, ChromaLayout::Yuv420, SampleRange::Narrow, 13, 3, 5);
    frame.fillRandom(rng);
    AnalysisSettings settings;
    settings.taskCount = 1;
    const FrameStatistics whole = Analyzer(settings).analyze(frame.view());
    settings.taskCount = 7;
    const Analyzer analyzer(settings);
    EXPECT_EQ(analyzer.analyze(frame.view()).averageLightNits(), whole.averageLightNits());
    FrameStatistics merged = analyzer.analyze(frame.view(), ActiveArea{0, 0, 200, 0});
    merged.merge(analyzer.analyze(frame.view(), ActiveArea{133, 0, 0, 0}));
    EXPECT_EQ(merged.lumaHistogram(), whole.lumaHistogram());
    EXPECT_EQ(std::make_tuple(merged.pixelCount(), merged.averageLightNits(), merged.top1Nits(), merged.largestBlueNits()),
              std::make_tuple(whole.pixelCount(), whole.averageLightNits(), whole.top1Nits(), whole.largestBlueNits()));
    AnalysisSettings hlg;
    hlg.transfer = Transfer::Hlg;
    FrameStatistics mixed = whole;
    EXPECT_THROW(mixed.merge(Analyzer(hlg).analyze(frame.view())), std::invalid_argument);
    // A copy is a value of its own; what a move leaves has no pixels and takes any statistics.
    FrameStatistics twice = whole;
    twice.merge(whole);
    EXPECT_EQ(twice.pixelCount(), 2 * merged.pixelCount());
    EXPECT_EQ(whole.pixelCount(), merged.pixelCount());
    const FrameStatistics taken = std::move(twice);
    EXPECT_EQ(std::make_tuple(twice.pixelCount(), twice.bitDepth(), twice.lightHistogram().size()),
              std::make_tuple(std::uint64_t{0}, 0, size_t{0}));
    twice.merge(whole);
    EXPECT_EQ(twice.lumaHistogram(), whole.lumaHistogram());
    EXPECT_EQ(taken.pixelCount(), 2 * whole.pixelCount());
}

// Settings are equal only when every field is: an analyzer cached by its settings must measure as asked.
TEST(AnalysisSettings, EqualOnlyWhenEveryFieldIs) {
    using Settings = AnalysisSettings;
    void (*const changes[])(Settings&) = {
        [](Settings& s) { s.transfer = Transfer::Hlg; },
        [](Settings& s) { s.matrix = Matrix::Bt709; },
        [](Settings& s) { s.thresholdNits = 203.5; },
        [](Settings& s) { s.top1Percent = 2; },
        [](Settings& s) { s.top2Percent = 2; },
        [](Settings& s) { s.bottomPercent = 2; },
        [](Settings& s) { s.taskCount = 3; },
        [](Settings& s) { s.arithmetic.coefficients = Coefficients::Listed; },
        [](Settings& s) { s.arithmetic.summation = Summation::Bands; },
        [](Settings& s) { s.arithmetic.ranks = Ranks::Truncated; },
    };
    EXPECT_TRUE(Settings() == Settings());
    for (size_t i = 0; i < std::size(changes); ++i) {
        Settings changed;
        changes[i](changed);
        EXPECT_TRUE(changed != Settings() && !(changed == Settings())) << i;
        EXPECT_TRUE(changed == Analyzer(changed).settings()) << i;
    }
}

// BT.2100 colours encoded with the ITU-R matrices on rows of whole 16-pixel groups, so that the vector
// path's channel maxima are what is checked: exact coefficients measure the light they were encoded at,
// within the code grid; the class's BT.2020 set measures saturated red and blue too bright.
TEST(Analyzer, KnownColoursMeasureTheirLight) {
    // Linear light of each channel in nits, and what the largest light of one channel (0 R, 1 G, 2 B) must be.
    struct Case { double r, g, b; Coefficients coefficients; int channel; double expectNits; } cases[] = {
        {1000, 0, 0, Coefficients::Exact, 0, 1000}, {0, 1000, 0, Coefficients::Exact, 1, 1000},
        {0, 0, 1000, Coefficients::Exact, 2, 1000}, {1000, 1000, 1000, Coefficients::Exact, 1, 1000},
        {203, 0, 0, Coefficients::Exact, 0, 203},   {1000, 0, 0, Coefficients::Listed, 0, 1115},
        {0, 0, 1000, Coefficients::Listed, 2, 1163}, {203, 0, 0, Coefficients::Listed, 0, 222},
    };
    const double kr = 0.2627, kb = 0.0593, kg = 1 - kr - kb;
    // Each layout has its own vector path for the channel maxima (4:2:0 row pairs, 4:2:2 pairs, 4:4:4).
    for (int run = 0; run < 3 * 8; ++run) {
        const Case& c = cases[run % 8];
        using analysis_oracle::pqSignal;
        const double r = pqSignal(c.r), g = pqSignal(c.g), b = pqSignal(c.b), y = kr * r + kg * g + kb * b;
        TestFrame frame(32, 4, 10, static_cast<ChromaLayout>(run / 8), SampleRange::Narrow);
        frame.fill(0, [&](int, int) { return (int)std::lround(64 + 876 * y); });
        frame.fill(1, [&](int, int) { return (int)std::lround(512 + 896 * (b - y) / (2 * (1 - kb))); });
        frame.fill(2, [&](int, int) { return (int)std::lround(512 + 896 * (r - y) / (2 * (1 - kr))); });
        AnalysisSettings settings;
        settings.arithmetic.coefficients = c.coefficients;
        const FrameStatistics stats = Analyzer(settings).analyze(frame.view());
        const double channels[3] = {stats.largestRedNits(), stats.largestGreenNits(), stats.largestBlueNits()};
        // Less than two 10-bit codes from the expected signal: Y, Cb and Cr are each rounded to a code.
        // The other channels keep their own light: a channel mixed up with another one would not.
        const double linear[3] = {c.r, c.g, c.b};
        for (int channel = 0; channel < 3; ++channel) {
            const double expect = channel == c.channel ? c.expectNits : linear[channel];
            EXPECT_LT(876 * std::fabs(pqSignal(channels[channel]) - pqSignal(expect)), 2.0)
                << c.r << "," << c.g << "," << c.b << " in layout " << run / 8 << ": channel " << channel
                << " measured " << channels[channel];
        }
        EXPECT_EQ(stats.largestLightNits(), std::max({channels[0], channels[1], channels[2]}));
    }
}

// Nearest ranks: 29 % of 100 pixels is the 29th, 1 % of 150 the 2nd; the class's positions differ.
TEST(Analyzer, PercentilePositions) {
    // expectRank: among the luminances in descending order, from 1.
    struct Case { int pixels; double percent; Ranks ranks; int expectRank; } cases[] = {{100, 29, Ranks::Exact, 29}, {100, 29, Ranks::Truncated, 28}, {150, 1, Ranks::Exact, 2},
                 {150, 1, Ranks::Truncated, 1},   {100, 0, Ranks::Exact, 1},   {100, 100, Ranks::Exact, 100},
                 {64, 50, Ranks::Exact, 32}};
    for (const Case& c : cases) {
        // One pixel a code, the brightest first.
        TestFrame frame(c.pixels, 1, 12, ChromaLayout::Yuv444, SampleRange::Narrow);
        frame.fill(0, [&](int x, int) { return 256 + 4 * (c.pixels - 1 - x); });
        for (int p : {1, 2}) frame.fill(p, [](int, int) { return 2048; });
        AnalysisSettings settings;
        settings.top1Percent = c.percent;
        settings.arithmetic.ranks = c.ranks;
        const FrameStatistics stats = Analyzer(settings).analyze(frame.view());
        // Neutral chroma: each pixel's light is its luminance, and 12-bit light codes are 16 to a code.
        const double expectNits = stats.codeNits(16 * (256 + 4 * (c.pixels - c.expectRank)));
        EXPECT_EQ(stats.top1Nits(), c.ranks == Ranks::Truncated ? (double)(float)expectNits : expectNits)
            << c.pixels << " pixels, " << c.percent << " %";
    }
}

// Exact arithmetic against the definition in double precision: each pixel's R', G', B' from its clamped
// codes with the ITU-R matrix, unrounded, clipped to 0..1 and taken through the transfer function. Lights
// of 1 nit or more are within 0.02 %; PQ-coded values and percentiles within one 12-bit PQ code.
TEST(Analyzer, ExactLightIsTheDefinitionsWithinItsBounds) {
    std::mt19937 rng(29);
    const ChromaLayout layouts[] = {ChromaLayout::Yuv420, ChromaLayout::Yuv422, ChromaLayout::Yuv444};
    for (int round = 0; round < 3 * 3 * 2 * 2 * 2; ++round) {
        const int depth = kDepths[round % 3];
        const SampleRange range = round / 9 % 2 ? SampleRange::Full : SampleRange::Narrow;
        AnalysisSettings settings;
        settings.matrix = round / 18 % 2 ? Matrix::Bt709 : Matrix::Bt2020;
        settings.transfer = round / 36 % 2 ? Transfer::Hlg : Transfer::Pq;
        TestFrame frame(1 + rng() % 80, 1 + rng() % 20, depth, layouts[round / 3 % 3], range, rng() % 4, 1, 2);
        const bool full = range == SampleRange::Full;
        const int u = 1 << (depth - 10), last = (1 << depth) - 1, black = full ? 0 : 64 * u;
        const double lumaRange = full ? last : 876 * u, chromaRange = full ? last : 896 * u, neutral = 1 << (depth - 1);
        // Luma from a quarter of the signal up, so every light is 1 nit or more; colours of every kind,
        // some beyond the legal range.
        frame.fill(0, [&](int, int) { return black + (int)(lumaRange * (0.25 + (rng() % 10000) / 13000.0)); });
        for (int p : {1, 2}) frame.fill(p, [&](int, int) { return (int)(neutral + chromaRange * ((int)(rng() % 1001) - 500) / 1100.0); });
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << depth << "-bit, " << frame.width << "x" << frame.height);

        const bool hlg = settings.transfer == Transfer::Hlg;
        const double peak = hlg ? 1000.0 : 10000.0;
        const auto eotf = [&](double signal) {
            const double x = std::min(std::max(signal, 0.0), 1.0);
            if (hlg) return peak * hdrmeter_oracle::MeasurementOracle::hlg(x);
            const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096, c2 = 2413.0 / 128, c3 = 2392.0 / 128;
            const double e = std::pow(x, 1 / m2);
            return peak * std::pow(std::max(e - c1, 0.0) / (c2 - c3 * e), 1 / m1);
        };
        const double kr = settings.matrix == Matrix::Bt709 ? 0.2126 : 0.2627, kb = settings.matrix == Matrix::Bt709 ? 0.0722 : 0.0593;
        const double kg = 1 - kr - kb;
        const auto clampCode = [](int code, int low, int high) { return std::max(low, std::min(code, high)); };
        const int lumaTop = full ? last : 940 * u, chromaLow = full ? 0 : 64 * u, chromaTop = full ? last : 960 * u;
        std::vector<double> lights, lumas;
        double channelMax[3] = {0, 0, 0}, sum = 0;
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                const double Y = (clampCode(frame.sample(0, x, y), black, lumaTop) - black) / lumaRange;
                const double cb = (clampCode(frame.sample(1, x >> frame.sx, y >> frame.sy), chromaLow, chromaTop) - neutral) / chromaRange;
                const double cr = (clampCode(frame.sample(2, x >> frame.sx, y >> frame.sy), chromaLow, chromaTop) - neutral) / chromaRange;
                const double rgb[3] = {eotf(Y + 2 * (1 - kr) * cr), eotf(Y - (2 * kb * (1 - kb) * cb + 2 * kr * (1 - kr) * cr) / kg),
                                       eotf(Y + 2 * (1 - kb) * cb)};
                for (int c = 0; c < 3; ++c) channelMax[c] = std::max(channelMax[c], rgb[c]);
                lights.push_back(std::max({rgb[0], rgb[1], rgb[2]}));
                lumas.push_back(eotf(Y));
                sum += lights.back();
            }
        }
        std::sort(lights.begin(), lights.end());
        std::sort(lumas.begin(), lumas.end());
        const FrameStatistics got = Analyzer(settings).analyze(frame.view());
        const auto pqCodes = [](double nits) { return 4095 * analysis_oracle::pqSignal(nits); };
        const auto near = [&](double measured, double reference) {
            return reference >= 1.0 ? std::fabs(measured / reference - 1) <= 2e-4 : std::fabs(pqCodes(measured) - pqCodes(reference)) <= 1;
        };
        const double pqMean = [&] { double m = 0; for (double l : lights) m += analysis_oracle::pqSignal(l); return m / lights.size(); }();
        const struct { const char* what; double measured, reference; bool withinOneCode; } checks[] = {
            {"average light", got.averageLightNits(), sum / lights.size(), false},
            {"largest light", got.largestLightNits(), lights.back(), false},
            {"smallest light", got.smallestLightNits(), lights.front(), false},
            {"largest red", got.largestRedNits(), channelMax[0], false},
            {"largest green", got.largestGreenNits(), channelMax[1], false},
            {"largest blue", got.largestBlueNits(), channelMax[2], false},
            {"light at 50 %", got.lightAtPercentile(50), lights[analysis_oracle::nearestRank(50, lights.size()) - 1], true},
            {"light at 99.98 %", got.lightAtPercentile(99.98), lights[analysis_oracle::nearestRank(99.98, lights.size()) - 1], true},
            {"top 1 %", got.top1Nits(), lumas[lumas.size() - analysis_oracle::nearestRank(1, lumas.size())], true},
            {"bottom 1 %", got.bottomNits(), lumas[lumas.size() - analysis_oracle::nearestRank(99, lumas.size())], true},
        };
        for (const auto& check : checks) {
            EXPECT_TRUE(check.withinOneCode ? std::fabs(pqCodes(check.measured) - pqCodes(check.reference)) <= 1
                                            : near(check.measured, check.reference))
                << check.what << ": " << check.measured << " against " << check.reference;
        }
        EXPECT_LE(std::fabs(4095 * got.meanPqLight() - 4095 * pqMean), 1.0);
        EXPECT_LE(std::fabs(4095 * got.largestPqLight() - pqCodes(lights.back())), 1.0);
    }
}

// Letterbox, pillarbox, noise inside the tolerance, all black, and the chroma grid.
TEST(ContentDetector, FindsThePictureInsideBlackBars) {
    // Where the picture is (left, top, right, bottom), the largest deviation of the bars from black, and
    // the bounds that must be found; none found means an all-black frame.
    struct Case { int left, top, right, bottom; ChromaLayout layout; int noise; std::vector<int> expect; } cases[] = {
        {0, 12, 96, 52, ChromaLayout::Yuv420, 0, {0, 12, 96, 52}},    // letterbox
        {10, 0, 86, 64, ChromaLayout::Yuv420, 12, {10, 0, 86, 64}},   // pillarbox with noise
        {11, 7, 85, 57, ChromaLayout::Yuv420, 3, {10, 6, 86, 58}},    // odd edges widen to chroma
        {11, 7, 85, 57, ChromaLayout::Yuv444, 3, {11, 7, 85, 57}},
        {0, 0, 0, 0, ChromaLayout::Yuv422, 16, {}},                   // black, noise at the tolerance
        {30, 20, 31, 21, ChromaLayout::Yuv422, 0, {30, 20, 32, 21}},  // one pixel
    };
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        TestFrame frame(96, 64, 10, c.layout, SampleRange::Narrow, 4, 2, 2);
        const auto inside = [&](int x, int y) { return x >= c.left && x < c.right && y >= c.top && y < c.bottom; };
        const auto noise = [&] { return c.noise == 0 ? 0 : (int)(rng() % (c.noise + 1)); };
        frame.fill(0, [&](int x, int y) { return inside(x, y) ? 80 + (int)(rng() % 800) : 64 + noise(); });
        for (int p : {1, 2}) frame.fill(p, [&](int x, int y) { return inside(x << frame.sx, y << frame.sy) ? 512 : 512 - noise(); });
        const ContentBounds bounds = findContent(frame.view());
        const std::vector<int> found = {bounds.left, bounds.top, bounds.right, bounds.bottom};
        EXPECT_EQ(bounds.anyContent ? found : std::vector<int>(), c.expect) << c.left << "," << c.top;
    }
    // Faint lines beside the bars (10-bit luma; chroma neutral): the black tolerance ends at 80, a faint line's
    // mean excess over it is at most the bars tolerance (32) or a quarter of the brightest line within 32
    // lines, and its largest excess at most 8 times that.
    const auto bright = [](int x, int y) { return 300 + (x * 7 + y * 13) % 600; };
    const auto ringing = [](int x) { return x % 8 == 0 ? 124 : 64; };  // mean excess 5.5, largest 44
    const auto rows = [](int top, int bottom, std::function<int(int, int)> edge, std::function<int(int, int)> inside) {
        return [=](int x, int y) { return y < top || y >= bottom ? 64 : y < top + 4 || y >= bottom - 4 ? edge(x, y) : inside(x, y); };
    };
    struct Faint { const char* what; int tolerance; std::function<int(int, int)> luma; std::vector<int> expect; } faint[] = {
        {"ringing", 32, rows(12, 52, [&](int x, int) { return ringing(x); }, bright), {0, 16, 96, 48}},
        {"ringing, tolerance 0", 0, rows(12, 52, [&](int x, int) { return ringing(x); }, bright), {0, 12, 96, 52}},
        {"dark rows at the tolerance", 32, rows(12, 52, [](int, int) { return 112; }, bright), {0, 16, 96, 48}},
        {"dark rows above it", 32, rows(12, 52, [](int, int) { return 113; }, bright), {0, 12, 96, 52}},
        {"dark rows with a star", 32, rows(12, 52, [](int x, int) { return x == 40 ? 900 : 100; }, bright), {0, 12, 96, 52}},
        {"a dark run beyond reach", 32, [&](int x, int y) { return y < 4 || y >= 60 ? 64 : y < 40 ? 100 : bright(x, y); },
         {0, 4, 96, 60}},
        {"no bar, dark edge rows", 32, [&](int x, int y) { return y < 4 ? 100 : bright(x, y); }, {0, 0, 96, 64}},
        {"no bar, ringing at the edge", 32, [&](int x, int y) { return y < 4 ? ringing(x) : bright(x, y); }, {0, 4, 96, 64}},
        {"dim picture fading in", 32, rows(12, 52, [&](int x, int) { return x % 8 == 0 ? 120 : 64; }, [](int, int) { return 104; }),
         {0, 16, 96, 48}},
        {"dim picture, lines a quarter as bright", 32, rows(12, 52, [](int, int) { return 87; }, [](int, int) { return 104; }),
         {0, 12, 96, 52}},
        {"pillarbox ringing", 32, [&](int x, int y) { return x < 16 || x >= 80 ? 64 : x < 20 || x >= 76 ? ringing(y) : bright(x, y); },
         {20, 0, 76, 64}},
    };
    for (const Faint& c : faint) {
        TestFrame frame(96, 64, 10, ChromaLayout::Yuv420, SampleRange::Narrow, 3, 1, 1);
        frame.fill(0, c.luma);
        for (int p : {1, 2}) frame.fill(p, [](int, int) { return 512; });
        const ContentBounds bounds = findContent(frame.view(), c.tolerance);
        EXPECT_EQ(std::vector<int>({bounds.left, bounds.top, bounds.right, bounds.bottom}), c.expect) << c.what;
    }
    EXPECT_THROW(findContent(TestFrame(8, 8, 10, ChromaLayout::Yuv420, SampleRange::Narrow).view(), kBarsToleranceLargest + 1),
                 std::invalid_argument);
    // Any size, layout and depth, faint or not: the faint lines only ever take from the black rectangle,
    // on the chroma grid, and never all of it.
    for (int round = 0; round < 300; ++round) {
        TestFrame frame(1 + rng() % 70, 1 + rng() % 45, kDepths[round % 3], static_cast<ChromaLayout>(round / 3 % 3),
                        round % 4 == 3 ? SampleRange::Full : SampleRange::Narrow, rng() % 5, rng() % 3, rng() % 3);
        const int unit = 1 << (frame.depth - 10), black = frame.range == SampleRange::Narrow ? 64 * unit : 0;
        const int x0 = rng() % frame.width, y0 = rng() % frame.height;
        const int x1 = x0 + 1 + rng() % (frame.width - x0), y1 = y0 + 1 + rng() % (frame.height - y0);
        const unsigned lift = rng() % 3 == 0 ? 900 : 60;
        frame.fill(0, [&](int x, int y) {
            return black + (x >= x0 && x < x1 && y >= y0 && y < y1 ? (int)(rng() % lift) * unit : (int)(rng() % 17) * unit);
        });
        const int neutral = frame.range == SampleRange::Narrow ? 512 * unit : 1 << (frame.depth - 1);
        for (int p : {1, 2}) frame.fill(p, [&](int, int) { return neutral + (int)(rng() % 9) - 4; });
        const ContentBounds strict = findContent(frame.view(), 0), faint = findContent(frame.view(), 1 + rng() % 128);
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << frame.width << "x" << frame.height);
        ASSERT_EQ(faint.anyContent, strict.anyContent);
        if (!strict.anyContent) continue;
        EXPECT_TRUE(faint.left >= strict.left && faint.top >= strict.top && faint.right <= strict.right &&
                    faint.bottom <= strict.bottom && faint.left < faint.right && faint.top < faint.bottom);
        EXPECT_EQ(faint.left % (1 << frame.sx) + faint.top % (1 << frame.sy), 0);
    }

    // Bounds of several frames merge into their union; an all-black frame never shrinks it.
    ContentBounds clip{96, 64, true, 10, 12, 86, 52};
    clip.merge(ContentBounds{96, 64, true, 0, 20, 50, 40});
    clip.merge(ContentBounds{96, 64, false, 0, 0, 0, 0});
    EXPECT_EQ(clip.activeArea(), (ActiveArea{0, 12, 10, 12}));
    EXPECT_THROW(clip.merge(ContentBounds{48, 64, true, 0, 0, 1, 1}), std::invalid_argument);
}

// The column reader that stops once a column shows it is not faint decides as reading the whole column
// does: random frames of every model, layout and step, every column, limits around the columns' levels.
TEST(ContentDetector, AnEarlyStoppingColumnReadDecidesAsTheWholeColumn) {
    std::mt19937 rng(29);
    const int kDepths[] = {10, 12, 16};
    int faintColumns = 0, columns = 0;
    for (int round = 0; round < 240; ++round) {
        const bool rgb = round % 4 == 3;
        TestFrame frame(1 + rng() % 40, 1 + rng() % 70, kDepths[round % 3],
                        rgb ? ChromaLayout::Yuv444 : static_cast<ChromaLayout>(round % 3),
                        round % 5 == 0 ? SampleRange::Full : SampleRange::Narrow, rng() % 3, rng() % 3, rng() % 3);
        frame.model = rgb ? ColourModel::Rgb : ColourModel::YCbCr;
        const int unit = 1 << (frame.depth - 10), black = frame.range == SampleRange::Narrow ? 64 * unit : 0;
        const int neutral = frame.range == SampleRange::Narrow ? 512 * unit : 1 << (frame.depth - 1);
        // Each column near black by its own amount, a few with one bright sample.
        std::vector<int> lift(frame.width);
        for (int& l : lift) l = 16 * unit + static_cast<int>(rng() % (1 + rng() % 48)) * unit;
        for (int p = 0; p < 3; ++p) {
            const bool chroma = p > 0 && !rgb;
            frame.fill(p, [&](int x, int) {
                const int spread = lift[std::min(frame.width - 1, chroma ? x << frame.sx : x)];
                const int noise = static_cast<int>(rng() % (2 * spread + 1)) - (chroma ? spread : 0);
                return (chroma ? neutral : black) + (rng() % 97 == 0 ? 40 * spread : noise);
            });
        }
        if (rgb && round % 8 == 3) frame.pack(3 + round % 2, rng() % 3);
        const FrameView view = frame.view();
        const hdrmeter::detail::FaintLines lines(view, 1 + rng() % 128);
        const int top = rng() % frame.height, bottom = top + 1 + rng() % (frame.height - top);
        for (int x = 0; x < frame.width; ++x) {
            hdrmeter::detail::LineLevel whole;
            lines.columns(x, 1, top, bottom, &whole);
            for (const double limit : {whole.mean(), whole.mean() * 0.97, whole.peak() / 8.0, 2.0 * unit, 9.5 * unit}) {
                const bool faint = hdrmeter::detail::faintUnder(whole, limit);
                ASSERT_EQ(lines.columnFaintUnder(x, top, bottom, limit), faint)
                    << "round " << round << ", column " << x << ", rows " << top << " to " << bottom << ", limit " << limit;
                faintColumns += faint, ++columns;
            }
        }
    }
    // Both answers came up often enough for the comparison to mean something.
    EXPECT_GT(faintColumns, columns / 10);
    EXPECT_LT(faintColumns, columns * 9 / 10);
}

// Bad frames and settings are refused with a reason before anything is read.
TEST(Analyzer, RefusesWhatItCannotMeasure) {
    const TestFrame frame(16, 8, 10, ChromaLayout::Yuv420, SampleRange::Narrow);
    struct Call { FrameView v; AnalysisSettings s; ActiveArea a; };
    const std::pair<bool, void (*)(Call&)> cases[] = {
        {true, [](Call& c) { c.v.bitDepth = 8; }},          {true, [](Call& c) { c.v.planes[2] = nullptr; }},
        {true, [](Call& c) { c.v.strides[1] = 14; }},       {true, [](Call& c) { c.v.width = 0; }},
        {true, [](Call& c) { c.s.top2Percent = 100.5; }},   {true, [](Call& c) { c.s.bottomPercent = std::nan(""); }},
        {true, [](Call& c) { c.s.thresholdNits = -1; }},    {true, [](Call& c) { c.a.left = 8, c.a.right = 8; }},
        {true, [](Call& c) { c.v.range = SampleRange::Full, c.s.arithmetic.coefficients = Coefficients::Listed; }},
        {false, [](Call& c) { c.v.strides[0] = -c.v.strides[0], c.v.planes[0] += 7 * 16; }},  // bottom-up rows
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Call call{frame.view(), {}, {}};
        cases[i].second(call);
        if (cases[i].first) {
            EXPECT_THROW(Analyzer(call.s).analyze(call.v, call.a), std::invalid_argument) << i;
        } else {
            EXPECT_NO_THROW(Analyzer(call.s).analyze(call.v, call.a)) << i;
        }
    }
}
