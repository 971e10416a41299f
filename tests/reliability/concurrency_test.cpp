// Work that runs at once: the band tasks of one frame, one analyzer and the plane exports from several
// threads (objects and their copies on several host threads are the soak's). Each case checks its numbers
// against a sequential computation; the thread-sanitizer stage runs these tests (and the plane tests'
// striped filtering) to find the races that give the right numbers by luck.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "analysis_oracle.h"
#include "random_cases.h"

using namespace reliability;

namespace {

// Runs body(0) .. body(count - 1) on threads of their own; each returns its number of mismatches.
template <typename Body>
std::vector<int> onThreads(int count, Body body) {
    std::vector<int> mismatches(count, 0);
    std::vector<std::thread> threads;
    for (int index = 0; index < count; ++index) threads.emplace_back([&, index] { mismatches[index] = body(index); });
    for (std::thread& thread : threads) thread.join();
    return mismatches;
}

}  // namespace

// In 4:2:2 two bands that meet at an odd pixel share a chroma pair; both read it while one clamps it.
// With an odd pixel count the last pixel has no partner and its chroma index N/2 falls on the first
// word of the Cr plane, which the last band reads as Cb while the first band clamps it as Cr.
TEST(Concurrency, A422FrameSplitAtOddPixelsMatchesTheOracle) {
    const int cases[][3] = {{5, 6, 2}, {5, 6, 4}, {5, 6, 10}, {3, 2, 2}, {31, 2, 2}, {9, 14, 14}, {97, 6, 6},
                            {5, 3, 2}, {7, 7, 4}, {33, 1, 3}};  // width, height, bands
    SeededSource source(422);
    for (int bitDepth : {10, 16}) {
        HDR_Info info = fullInfo(bitDepth, L"PQ");
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        MeasurementOracle oracle(info);
        for (const auto& c : cases) {
            for (int round = 0; round < 8; ++round) {
                const TestFrame frame = randomFrame(source, bitDepth, round % 2 ? YCbCr422_A : YCbCr422_B, c[0], c[1]);
                EXPECT_TRUE(matchesOracle(meter, oracle, frame, c[2])) << bitDepth << "-bit " << c[0] << "x" << c[1];
            }
        }
    }
}

// One analyzer shared by several host threads: their frames' lanes meet in its worker pool, and each
// call must still get its own frame's statistics, the same as measured alone.
TEST(Concurrency, OneAnalyzerMeasuresFramesOfSeveralThreadsAtOnce) {
    using namespace hdrmeter;
    std::mt19937 rng(3);
    std::vector<analysis_oracle::TestFrame> frames;
    for (int i = 0; i < 6; ++i) {
        frames.emplace_back(40 + 9 * i, 17 + i, i % 2 ? 12 : 10, i % 3 ? ChromaLayout::Yuv420 : ChromaLayout::Yuv444,
                            SampleRange::Narrow, i % 4, 1, 2);
        frames.back().fillRandom(rng);
    }
    AnalysisSettings settings;
    settings.taskCount = 3;
    const Analyzer analyzer(settings);
    std::vector<std::vector<std::uint64_t>> expected;
    for (const auto& frame : frames) expected.push_back(analyzer.analyze(frame.view()).lightHistogram());
    const std::vector<int> mismatches = onThreads(4, [&](int host) {
        int wrong = 0;
        for (int round = 0; round < 24; ++round) {
            const std::size_t f = static_cast<std::size_t>(host * 3 + round) % frames.size();
            wrong += analyzer.analyze(frames[f].view()).lightHistogram() != expected[f];
        }
        return wrong;
    });
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Every plane export from several host threads at once, each on planes of its own and in 2 to 5 stripes:
// the exports keep nothing between calls, so each thread must get what the same call gives alone.
TEST(Concurrency, PlaneExportsOnSeveralThreadsGiveWhatEachGivesAlone) {
    const PlaneSet original = randomPlanes(SeededSource(8), 37, 23);
    std::vector<std::vector<double>> alone;
    for (const PlaneCall& call : kPlaneCalls) {
        PlaneSet copy = original;
        alone.push_back(call.call(copy, 1));
    }
    const std::vector<int> mismatches = onThreads(6, [&](int host) {
        int wrong = 0;
        for (int round = 0; round < 8; ++round) {
            const std::size_t which = static_cast<std::size_t>(host + round) % alone.size();
            PlaneSet copy = original;
            wrong += kPlaneCalls[which].call(copy, 2 + (host + round) % 4) != alone[which];
        }
        return wrong;
    });
    EXPECT_EQ(mismatches, std::vector<int>(6, 0));
}
