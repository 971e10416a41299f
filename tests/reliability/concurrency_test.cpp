// Work that runs at once: the band tasks of one frame, objects and their copies on several host
// threads, the plane exports from several threads and the stripe tasks of the smoothing filter. Each
// case checks its numbers against a sequential computation; the thread-sanitizer build runs these same
// tests to find the races that give the right numbers by luck.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "measurement_oracle.h"
#include "random_cases.h"

namespace {

using namespace reliability;

HDR_Info everythingOn(int bitDepth) {
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = L"PQ";
    info.colorSpace = L"BT.2020";
    info.thresholdUnit = L"NITS";
    info.thresholdLevel = 200;
    info.measureLightLevel = true;
    info.measurePercentiles = true;
    info.topPercent1 = 5.0f;
    info.topPercent2 = 20.0f;
    info.bottomPercent = 10.0f;
    return info;
}

template <typename Body>
void onThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int index = 0; index < count; ++index) threads.emplace_back(body, index);
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

// In 4:2:2 two bands that meet at an odd pixel share a chroma pair; both read it while one clamps it.
TEST(Concurrency, BandsMeetingInsideA422ChromaPairMatchTheOracle) {
    struct Case {
        int width, height, taskCount;
    } const cases[] = {
        {5, 6, 2}, {5, 6, 4}, {5, 6, 6}, {5, 6, 10}, {3, 2, 2}, {31, 2, 2}, {9, 14, 14}, {97, 6, 6},
    };
    SeededSource source(422);
    for (int bitDepth : {10, 12, 16}) {
        HDR_Info info = everythingOn(bitDepth);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        MeasurementOracle oracle(info);
        for (const Case& c : cases) {
            const long long bandLength = static_cast<long long>(c.width) * c.height / c.taskCount;
            ASSERT_EQ(bandLength % 2, 1) << "each case must put band boundaries on odd pixels";
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

// A 4:2:2 frame with an odd pixel count has no partner for its last pixel, whose chroma index N/2 then
// falls on the first word of the Cr plane: the last band reads that word as Cb while the first band
// clamps it as Cr. The numbers agree either way; the thread sanitizer tells whether the accesses are
// made safely.
TEST(Concurrency, OddPixelCount422FrameMeasuredInSeveralBands) {
    SeededSource source(4221);
    for (int bitDepth : {10, 12, 16}) {
        HDR_Info info = everythingOn(bitDepth);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        MeasurementOracle oracle(info);
        for (auto [width, height, taskCount] : {std::tuple{5, 3, 2}, std::tuple{7, 7, 4}, std::tuple{33, 1, 3}}) {
            for (int round = 0; round < 8; ++round) {
                const RandomFrame frame = randomFrameOfSize(source, bitDepth, YCbCr422_A, width, height);
                EXPECT_TRUE(matchesOracle(meter, oracle, frame, taskCount))
                    << bitDepth << "-bit " << width << "x" << height << " in " << taskCount << " bands";
            }
        }
    }
}

// Copies share the tables with their source; the source lets go of them and is destroyed while the
// copies measure, and each host thread also keeps objects of its own.
TEST(Concurrency, ObjectsAndTheirCopiesMeasureAtOnceOnSeveralThreads) {
    const int hostCount = 6;
    HDR_Info info = everythingOn(10);
    info.transferFunction = L"HLG";
    auto source = std::make_unique<CHDR_Measurements>();
    ASSERT_TRUE(source->InitializeMeasurements(info));
    MeasurementOracle oracle(info);
    std::vector<CHDR_Measurements> copies(hostCount, *source);

    std::vector<int> mismatches(hostCount, 0);
    std::vector<int> measured(hostCount, 0);
    int sourceMismatches = 0;
    // The oracle keeps its sorted luminances, so each thread checks with a copy of its own.
    std::thread sourceGoesAway([&, sourceOracle = oracle]() mutable {
        SeededSource frames(7);
        for (int round = 0; round < 10; ++round) {
            if (!matchesOracle(*source, sourceOracle, randomFrame(frames, 10, 40, 20), 3)) ++sourceMismatches;
        }
        source->Destroy_LUT();
        source.reset();
    });
    onThreads(hostCount, [&](int host) {
        SeededSource frames(100 + host);
        CHDR_Measurements own;
        HDR_Info ownInfo = everythingOn(host % 2 ? 12 : 16);
        if (!own.InitializeMeasurements(ownInfo)) {
            ++mismatches[host];
            return;
        }
        MeasurementOracle ownOracle(ownInfo);
        MeasurementOracle copyOracle = oracle;
        for (int round = 0; round < 24; ++round) {
            CHDR_Measurements& copy = copies[host];
            if (round == 12) copy = CHDR_Measurements(copies[host]);  // a copy of a copy takes its place
            if (!matchesOracle(copy, copyOracle, randomFrame(frames, 10, 40, 20), 1 + round % 5)) ++mismatches[host];
            if (!matchesOracle(own, ownOracle, randomFrame(frames, ownInfo.bitDepth, 24, 24), round % 4)) {
                ++mismatches[host];
            }
            measured[host] += 2;
        }
    });
    sourceGoesAway.join();
    EXPECT_EQ(sourceMismatches, 0);
    for (int host = 0; host < hostCount; ++host) {
        EXPECT_EQ(mismatches[host], 0) << "host " << host;
        EXPECT_EQ(measured[host], 48) << "host " << host;
    }
}

namespace {

// Every plane export once, on one host's planes; the numbers and the smoothed planes it produced.
struct PlaneWork {
    std::vector<uint16_t> words;   // 10-bit codes
    std::vector<uint8_t> bytes;
    std::vector<float> r, g, b;
    int width = 0, height = 0, stripes = 1;

    std::vector<double> run() {
        const auto w = static_cast<unsigned>(width), h = static_cast<unsigned>(height);
        std::vector<double> out;
        std::vector<uint16_t> smoothedWords = words;
        std::vector<uint8_t> smoothedBytes = bytes;
        std::vector<float> smoothedFloats = r;
        unsigned char* wordPlane[] = {reinterpret_cast<unsigned char*>(smoothedWords.data())};
        unsigned char* bytePlane[] = {smoothedBytes.data()};
        float* floatPlane[] = {smoothedFloats.data()};
        ocvfilter2D(wordPlane, w, h, 10, stripes);
        ocvfilter2D(bytePlane, w, h, 8, stripes);
        ocvfilter2D_32F(floatPlane, w, h, stripes);
        out.insert(out.end(), smoothedWords.begin(), smoothedWords.end());
        out.insert(out.end(), smoothedBytes.begin(), smoothedBytes.end());
        out.insert(out.end(), smoothedFloats.begin(), smoothedFloats.end());

        double low = 0, high = 0;
        ocvFindMinMax(reinterpret_cast<unsigned char*>(words.data()), &low, &high, w, h, 10);
        out.insert(out.end(), {low, high});
        ocvFindMinMax_32F(g.data(), &low, &high, w, h);
        out.insert(out.end(), {low, high});
        std::vector<float> clamped = b;
        ocvClampMinMax_32F(clamped.data(), 0.25, 0.75, w, h);
        out.insert(out.end(), clamped.begin(), clamped.end());
        int counts[4] = {};
        ocvCountCheck_32F(r.data(), g.data(), b.data(), &counts[0], &counts[1], &counts[2], &counts[3], w, h, 0.9f,
                          0.1f);
        out.insert(out.end(), counts, counts + 4);
        int rgb[7] = {};
        int* cells[7];
        for (int i = 0; i < 7; ++i) cells[i] = &rgb[i];
        ocvCountCheckRGB_32F(r.data(), g.data(), b.data(), &cells[0], &cells[1], &cells[2], &cells[3], &cells[4],
                             &cells[5], &cells[6], w, h, 0.8f, 0.2f);
        out.insert(out.end(), rgb, rgb + 7);
        unsigned violations = 0;
        int lowCount = 0, highCount = 0;
        ocvFindLumaViolations(reinterpret_cast<unsigned char*>(words.data()), w, h, 10, 64.0f, 940.0f, &violations,
                              &lowCount, &highCount);
        out.insert(out.end(), {double(violations), double(lowCount), double(highCount)});
        return out;
    }
};

PlaneWork randomPlanes(uint32_t seed, int width, int height) {
    SeededSource source(seed);
    PlaneWork work;
    work.width = width;
    work.height = height;
    const std::size_t n = static_cast<std::size_t>(width) * height;
    for (std::size_t i = 0; i < n; ++i) {
        work.words.push_back(static_cast<uint16_t>(source.next() % 1024));
        work.bytes.push_back(static_cast<uint8_t>(source.next()));
        work.r.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
        work.g.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
        work.b.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
    }
    return work;
}

}  // namespace

// All plane exports at once from several threads, some reading the same host planes, each smoothing
// its own copies with a different stripe count; the results are those of one stripe on one thread.
TEST(Concurrency, PlaneExportsCalledAtOnceFromSeveralThreadsGiveTheSequentialResults) {
    const int hostCount = 6;
    std::vector<PlaneWork> work;
    for (int host = 0; host < hostCount; ++host) work.push_back(randomPlanes(host % 3, 37 + host % 3, 23));
    std::vector<std::vector<double>> expected;
    for (PlaneWork& w : work) {
        w.stripes = 1;
        expected.push_back(w.run());
    }
    std::vector<std::vector<std::vector<double>>> observed(hostCount);
    onThreads(hostCount, [&](int host) {
        PlaneWork mine = work[host];  // the read-only planes are shared below, the smoothed ones are copies
        for (int stripes : {host + 1, 7, 2}) {
            mine.stripes = stripes;
            observed[host].push_back(mine.run());
            observed[host].push_back(work[host % 3].run());  // the same host planes read by two threads
        }
    });
    for (int host = 0; host < hostCount; ++host) {
        ASSERT_EQ(observed[host].size(), 6u);
        for (std::size_t i = 0; i < observed[host].size(); ++i) {
            EXPECT_EQ(observed[host][i], expected[i % 2 == 0 ? host : host % 3]) << "host " << host << " call " << i;
        }
    }
}

// The striped filter on planes whose stripes come out unequal, on several threads at once; every
// stripe count must give the one-stripe result.
TEST(Concurrency, StripedFilterGivesTheOneStripeResultForEveryStripeCount) {
    struct Size {
        int width, height;
    } const sizes[] = {{64, 48}, {13, 7}, {7, 3}, {3, 17}, {1, 1}, {100, 9}};
    const int hostCount = 4;
    std::vector<int> mismatches(hostCount, 0);
    onThreads(hostCount, [&](int host) {
        SeededSource source(900 + host);
        for (const Size& size : sizes) {
            const std::size_t n = static_cast<std::size_t>(size.width) * size.height;
            std::vector<uint16_t> words(n);
            std::vector<float> floats(n);
            for (std::size_t i = 0; i < n; ++i) {
                words[i] = static_cast<uint16_t>(source.next());
                floats[i] = static_cast<float>(source.next() % 4096) / 7.0f;
            }
            auto smooth = [&](int stripes, std::vector<uint16_t> w, std::vector<float> f) {
                unsigned char* wordPlane[] = {reinterpret_cast<unsigned char*>(w.data())};
                float* floatPlane[] = {f.data()};
                ocvfilter2D(wordPlane, size.width, size.height, 16, stripes);
                ocvfilter2D_32F(floatPlane, size.width, size.height, stripes);
                return std::make_pair(w, f);
            };
            const auto reference = smooth(1, words, floats);
            for (int stripes = 2; stripes <= 9; ++stripes) {
                if (smooth(stripes, words, floats) != reference) ++mismatches[host];
            }
        }
    });
    for (int host = 0; host < hostCount; ++host) EXPECT_EQ(mismatches[host], 0) << "host " << host;
}
