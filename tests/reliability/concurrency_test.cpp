// Work that runs at once: the band tasks of one frame, objects and their copies on several host
// threads, and the plane exports (striped filter included) from several threads. Each case checks its
// numbers against a sequential computation; the thread-sanitizer build runs these same tests to find
// the races that give the right numbers by luck.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "analysis_oracle.h"
#include "random_cases.h"

namespace {

using namespace reliability;

template <typename Body>
void onThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int index = 0; index < count; ++index) threads.emplace_back(body, index);
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

// In 4:2:2 two bands that meet at an odd pixel share a chroma pair; both read it while one clamps it.
// With an odd pixel count the last pixel has no partner and its chroma index N/2 falls on the first
// word of the Cr plane, which the last band reads as Cb while the first band clamps it as Cr.
TEST(Concurrency, A422FrameSplitAtOddPixelsMatchesTheOracle) {
    struct Case {
        int width, height, taskCount;
    } const cases[] = {
        {5, 6, 2}, {5, 6, 4}, {5, 6, 6}, {5, 6, 10}, {3, 2, 2}, {31, 2, 2}, {9, 14, 14}, {97, 6, 6},
        {5, 3, 2}, {7, 7, 4}, {33, 1, 3},  // odd pixel counts
    };
    SeededSource source(422);
    for (int bitDepth : {10, 12, 16}) {
        const HDR_Info info = fullInfo(bitDepth, L"PQ");
        HDR_Info copy = info;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(copy));
        MeasurementOracle oracle(info);
        for (const Case& c : cases) {
            const long long pixels = static_cast<long long>(c.width) * c.height;
            ASSERT_TRUE(pixels / c.taskCount % 2 == 1 || pixels % 2 == 1) << "each case needs odd boundaries";
            for (InputPixelFormat format : {YCbCr422_A, YCbCr422_B}) {
                for (int round = 0; round < 8; ++round) {
                    const RandomFrame frame = randomFrameOfSize(source, bitDepth, format, c.width, c.height);
                    EXPECT_TRUE(matchesOracle(meter, oracle, frame, c.taskCount))
                        << bitDepth << "-bit " << c.width << "x" << c.height << " in " << c.taskCount << " bands";
                }
            }
        }
    }
}

// Copies share the tables with their source; the source lets go of them and is destroyed while the
// copies measure, and each host thread also keeps an object of its own.
TEST(Concurrency, ObjectsAndTheirCopiesMeasureAtOnceOnSeveralThreads) {
    const int hostCount = 6;
    const HDR_Info info = fullInfo(10, L"HLG");
    HDR_Info sourceInfo = info;
    auto source = std::make_unique<CHDR_Measurements>();
    ASSERT_TRUE(source->InitializeMeasurements(sourceInfo));
    MeasurementOracle oracle(info);
    std::vector<CHDR_Measurements> copies(hostCount, *source);
    std::vector<int> mismatches(hostCount + 1, 0), measured(hostCount, 0);
    // The oracle keeps its sorted luminances, so each thread checks with a copy of its own.
    std::thread sourceGoesAway([&, sourceOracle = oracle]() mutable {
        SeededSource frames(7);
        for (int round = 0; round < 10; ++round) {
            mismatches[hostCount] += !matchesOracle(*source, sourceOracle, randomFrame(frames, 10, 40, 20), 3);
        }
        source->Destroy_LUT();
        source.reset();
    });
    onThreads(hostCount, [&](int host) {
        SeededSource frames(100 + host);
        const HDR_Info ownInfo = fullInfo(host % 2 ? 12 : 16, L"PQ");
        HDR_Info ownCopy = ownInfo;
        CHDR_Measurements own;
        if (!own.InitializeMeasurements(ownCopy)) return;  // measured stays 0
        MeasurementOracle ownOracle(ownInfo), copyOracle = oracle;
        for (int round = 0; round < 24; ++round) {
            if (round == 12) copies[host] = CHDR_Measurements(copies[host]);  // a copy of a copy takes its place
            mismatches[host] += !matchesOracle(copies[host], copyOracle, randomFrame(frames, 10, 40, 20), 1 + round % 5);
            mismatches[host] += !matchesOracle(own, ownOracle, randomFrame(frames, ownInfo.bitDepth, 24, 24), round % 4);
            measured[host] += 2;
        }
    });
    sourceGoesAway.join();
    EXPECT_EQ(mismatches, std::vector<int>(hostCount + 1, 0));
    EXPECT_EQ(measured, std::vector<int>(hostCount, 48));
}

// Every plane export from several threads at once, the read-only ones on planes shared between threads,
// the others on copies; the filters in stripe counts 2..9 on sizes whose stripes come out unequal.
// Every result must be that of one stripe on one thread.
TEST(Concurrency, PlaneExportsOnSeveralThreadsGiveTheOneStripeSequentialResults) {
    std::vector<PlaneSet> planes = {randomPlanes(1, 37, 23), randomPlanes(2, 13, 7), randomPlanes(3, 3, 17),
                                    randomPlanes(4, 1, 1), randomPlanes(5, 100, 9), randomPlanes(6, 64, 48)};
    std::vector<std::vector<std::vector<double>>> expected(planes.size());  // [planes][call]
    for (std::size_t p = 0; p < planes.size(); ++p) {
        for (const PlaneCall& c : kPlaneCalls) {
            PlaneSet copy = planes[p];
            expected[p].push_back(c.call(copy, 1));
        }
    }
    const int hostCount = 6;
    std::vector<int> mismatches(hostCount, 0), calls(hostCount, 0);
    onThreads(hostCount, [&](int host) {
        for (int stripes : {host + 2, 8, 9}) {
            for (std::size_t p = 0; p < planes.size(); ++p) {
                for (std::size_t c = 0; c < std::size(kPlaneCalls); ++c) {
                    PlaneSet copy;
                    if (kPlaneCalls[c].writes) copy = planes[p];
                    mismatches[host] += kPlaneCalls[c].call(kPlaneCalls[c].writes ? copy : planes[p], stripes) !=
                                        expected[p][c];
                    ++calls[host];
                }
            }
        }
    });
    EXPECT_EQ(mismatches, std::vector<int>(hostCount, 0));
    EXPECT_EQ(calls, std::vector<int>(hostCount, 3 * 6 * static_cast<int>(std::size(kPlaneCalls))));
}

// One analyzer shared by several host threads: their frames' lanes meet in its worker pool, and each
// call must still get its own frame's statistics, the same as measured alone.
TEST(Concurrency, OneAnalyzerMeasuresFramesOfSeveralThreadsAtOnce) {
    using namespace hdrmeter;
    std::mt19937 rng(3);
    std::vector<analysis_oracle::TestFrame> frames;
    for (int i = 0; i < 8; ++i) {
        frames.emplace_back(40 + 9 * i, 17 + i, i % 2 ? 12 : 10, i % 3 ? ChromaLayout::Yuv420 : ChromaLayout::Yuv444,
                            SampleRange::Narrow, i % 4, 1, 2);
        frames.back().fillRandom(rng);
    }
    AnalysisSettings settings;
    settings.taskCount = 3;
    const Analyzer analyzer(settings);
    std::vector<std::vector<std::uint64_t>> expected;
    for (const auto& frame : frames) expected.push_back(analyzer.analyze(frame.view()).lightHistogram());
    const int hostCount = 4;
    std::vector<int> mismatches(hostCount, 0);
    onThreads(hostCount, [&](int host) {
        for (int round = 0; round < 30; ++round) {
            const size_t f = static_cast<size_t>(host * 3 + round) % frames.size();
            mismatches[host] += analyzer.analyze(frames[f].view()).lightHistogram() != expected[f];
        }
    });
    EXPECT_EQ(mismatches, std::vector<int>(hostCount, 0));
}
