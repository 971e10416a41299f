// Every allocation and thread start that a call makes is failed in turn, the first, then the second,
// and so on until the call completes without reaching the failing one. After each failure: an exception
// reached this caller (or, where the failure was absorbed, the results are still right), no task the
// call started is still running, the object can be released and configured again, nothing has leaked
// (LeakSanitizer, when linked) and the next unfailed call gives the right numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fault_hooks.h"
#include "measurement_oracle.h"
#include "random_cases.h"

namespace {

using namespace reliability;

struct Sweep {
    long long injected = 0;     // failures injected
    long long exceptions = 0;   // of which reached the caller as an exception
    long long threadStarts = 0; // of which were thread starts
    long long countedMost = 0;  // allocations and thread starts of the longest unfailed run
};

long long totalInjected = 0;

// Runs attempt(k) for k = 1, 2, ... (every `stride`-th k), armed to fail the k-th allocation or thread
// start. attempt returns normally or throws; check(threw) verifies the state afterwards.
Sweep sweep(const std::string& name, const std::function<void()>& prepare, const std::function<void()>& attempt,
            const std::function<void(bool injected, bool threw)>& check, long long stride = 1) {
    Sweep result;
    for (long long failAt = 1;; failAt += stride) {
        prepare();
        bool threw = false;
        bool systemError = false;
        faults::arm(failAt);
        try {
            attempt();
        } catch (const std::system_error&) {
            threw = systemError = true;
        } catch (const std::exception&) {
            threw = true;
        }
        const faults::Outcome outcome = faults::disarm();
        // A thread that cannot be started is the task facility's error, or the task runs deferred; it
        // must not turn into some other failure.
        if (outcome.threadStart) {
            ++result.threadStarts;
            EXPECT_TRUE(!threw || systemError) << name << ": a failed thread start raised something else, k = " << failAt;
        }
        EXPECT_EQ(faults::tasksRunning(), 0) << name << ": a task outlived the failed call, k = " << failAt;
        if (outcome.injected) {
            ++result.injected;
            if (threw) ++result.exceptions;
        } else {
            EXPECT_FALSE(threw) << name << ": an exception without an injected failure, k = " << failAt;
        }
        check(outcome.injected, threw);
        result.countedMost = std::max(result.countedMost, outcome.counted);
        if (!outcome.injected || ::testing::Test::HasFailure() || failAt > 200000) break;
    }
    EXPECT_EQ(faults::leakCheck() > 0, false) << name << ": LeakSanitizer found leaks";
    totalInjected += result.injected;
    std::cout << "faults: " << name << ": " << result.injected << " injected (" << result.threadStarts
              << " thread starts), " << result.exceptions << " reached the caller as exceptions, " << result.countedMost << " allocations and thread starts"
              << (stride > 1 ? " (every " + std::to_string(stride) + "th failed)" : "") << std::endl;
    return result;
}

HDR_Info engineInfo(int bitDepth, bool percentiles) {
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = bitDepth == 12 ? L"HLG" : L"PQ";
    info.colorSpace = L"BT.2020";
    info.thresholdUnit = L"NITS";
    info.thresholdLevel = 100;
    info.measureLightLevel = true;
    info.measurePercentiles = percentiles;
    info.topPercent1 = 2.0f;
    info.topPercent2 = 30.0f;
    info.bottomPercent = 5.0f;
    return info;
}

// After a failure the object must either still measure right or be unconfigured; either way
// Destroy_LUT and a new configuration bring it back.
void expectRecovers(CHDR_Measurements& meter, const HDR_Info& info, const RandomFrame& frame) {
    EXPECT_TRUE(meter.Destroy_LUT());
    EXPECT_EQ(meter.eotfLUT, nullptr);
    HDR_Info again = info;
    ASSERT_TRUE(meter.InitializeMeasurements(again));
    MeasurementOracle oracle(info);
    EXPECT_TRUE(matchesOracle(meter, oracle, frame, 3));
}

}  // namespace

TEST(FaultInjection, InitializeMeasurementsLeavesTheObjectUsableOrUnconfigured) {
    SeededSource source(1);
    // 12-bit tables make 4100 allocations of the same kinds as at 10 bits, each sweep step filling
    // 64 MiB; every 41st is failed there to keep the test short.
    for (auto [bitDepth, stride] : {std::pair{10, 1LL}, std::pair{16, 1LL}, std::pair{12, 41LL}}) {
        const HDR_Info info = engineInfo(bitDepth, true);
        const RandomFrame frame = randomFrame(source, bitDepth, 33, 9);
        // A new object for every k: one that kept its strings from the attempt before would allocate
        // less, and the count would skip over the EOTF table.
        std::unique_ptr<CHDR_Measurements> meter;
        bool configured = false;
        HDR_Info copy;  // copied before arming: the copy's strings allocate too
        for (bool wasConfigured : {false, true}) {
            int falseResults = 0;
            sweep(
                std::to_string(bitDepth) + "-bit InitializeMeasurements" + (wasConfigured ? " over a configuration" : ""),
                [&] {
                    meter = std::make_unique<CHDR_Measurements>();
                    if (wasConfigured) {
                        HDR_Info earlier = engineInfo(10, false);
                        earlier.thresholdUnit = L"CODE";
                        ASSERT_TRUE(meter->InitializeMeasurements(earlier));
                    }
                    copy = info;
                },
                [&] {
                    configured = meter->InitializeMeasurements(copy);
                },
                [&](bool injected, bool threw) {
                    if (!injected) {
                        EXPECT_TRUE(configured);
                        MeasurementOracle oracle(info);
                        EXPECT_TRUE(matchesOracle(*meter, oracle, frame, 2));
                        return;
                    }
                    // The EOTF table's failure is a false result, the others std::bad_alloc; neither
                    // leaves a table behind.
                    if (!threw) {
                        EXPECT_FALSE(configured);
                        ++falseResults;
                    }
                    EXPECT_EQ(meter->eotfLUT, nullptr);
                    EXPECT_EQ(meter->crToR, nullptr);
                    EXPECT_EQ(meter->cbCrToG, nullptr);
                    expectRecovers(*meter, info, frame);
                },
                stride);
            // Exactly one allocation, the EOTF table's, reports its failure by value.
            if (stride == 1) {
                EXPECT_EQ(falseResults, 1);
            }
        }
    }
}

TEST(FaultInjection, HDR_MeasurementsRaisesToTheCallerAfterEveryBandHasFinished) {
    SeededSource source(2);
    for (int bitDepth : {10, 16}) {
        for (int taskCount : {1, 4}) {
            const HDR_Info info = engineInfo(bitDepth, true);
            const RandomFrame frame = randomFrame(source, bitDepth, 40, 12);
            MeasurementOracle oracle(info);
            CHDR_Measurements meter;
            RandomFrame work;
            Results measured;
            sweep(
                std::to_string(bitDepth) + "-bit HDR_Measurements in " + std::to_string(taskCount) + " bands",
                [&] {
                    meter = CHDR_Measurements();  // the first measurement allocates the luminance buffer
                    HDR_Info copy = info;
                    ASSERT_TRUE(meter.InitializeMeasurements(copy));
                    work = frame;
                },
                [&] {
                    measured = meter.HDR_Measurements(work.format, work.width, work.height, work.bytes(), work.bytes(),
                                                      taskCount);
                },
                [&](bool, bool threw) {
                    if (!threw) {
                        RandomFrame expectedFrame = frame;
                        EXPECT_EQ(measured, oracle.frame(frame.format, frame.width, frame.height,
                                                         expectedFrame.words(), expectedFrame.words(), taskCount));
                        EXPECT_EQ(work.samples, expectedFrame.samples);
                    }
                    EXPECT_TRUE(matchesOracle(meter, oracle, frame, taskCount));  // still configured
                    expectRecovers(meter, info, frame);
                });
        }
    }
    // Copying allocates the copy's own luminance buffer.
    const HDR_Info info = engineInfo(10, true);
    const RandomFrame frame = randomFrame(source, 10, 20, 20);
    MeasurementOracle oracle(info);
    CHDR_Measurements source10;
    HDR_Info copy = info;
    ASSERT_TRUE(source10.InitializeMeasurements(copy));
    ASSERT_TRUE(matchesOracle(source10, oracle, frame, 2));
    CHDR_Measurements target;
    sweep(
        "copy assignment", [&] { target = CHDR_Measurements(); }, [&] { target = source10; },
        [&](bool, bool threw) {
            if (threw) {
                EXPECT_EQ(target.eotfLUT, nullptr);  // unchanged: still the fresh object
            } else {
                EXPECT_TRUE(matchesOracle(target, oracle, frame, 2));
            }
            expectRecovers(target, info, frame);
        });
}

namespace {

struct PlaneSet {
    int width = 0, height = 0;
    std::vector<uint16_t> words;
    std::vector<uint8_t> bytes;
    std::vector<float> r, g, b;
};

PlaneSet planeSet(uint32_t seed, int width, int height) {
    SeededSource source(seed);
    PlaneSet set;
    set.width = width;
    set.height = height;
    for (int i = 0; i < width * height; ++i) {
        set.words.push_back(static_cast<uint16_t>(source.next() % 1024));
        set.bytes.push_back(static_cast<uint8_t>(source.next()));
        set.r.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
        set.g.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
        set.b.push_back(static_cast<float>(source.next() % 1000) / 999.0f);
    }
    return set;
}

// One export on a fresh copy of the planes, returning every number and sample it produced.
using PlaneCall = std::function<std::vector<double>(PlaneSet&)>;

std::vector<std::pair<std::string, PlaneCall>> planeCalls(int stripeCount) {
    auto size = [](const PlaneSet& s) { return std::pair<unsigned, unsigned>(s.width, s.height); };
    return {
        {"ocvfilter2D 16-bit in " + std::to_string(stripeCount) + " stripes",
         [=](PlaneSet& s) {
             unsigned char* planes[] = {reinterpret_cast<unsigned char*>(s.words.data())};
             ocvfilter2D(planes, size(s).first, size(s).second, 10, stripeCount);
             return std::vector<double>(s.words.begin(), s.words.end());
         }},
        {"ocvfilter2D 8-bit in " + std::to_string(stripeCount) + " stripes",
         [=](PlaneSet& s) {
             unsigned char* planes[] = {s.bytes.data()};
             ocvfilter2D(planes, size(s).first, size(s).second, 8, stripeCount);
             return std::vector<double>(s.bytes.begin(), s.bytes.end());
         }},
        {"ocvfilter2D_32F in " + std::to_string(stripeCount) + " stripes",
         [=](PlaneSet& s) {
             float* planes[] = {s.r.data()};
             ocvfilter2D_32F(planes, size(s).first, size(s).second, stripeCount);
             return std::vector<double>(s.r.begin(), s.r.end());
         }},
        {"ocvFindMinMax",
         [=](PlaneSet& s) {
             double low = -1, high = -1;
             ocvFindMinMax(reinterpret_cast<unsigned char*>(s.words.data()), &low, &high, size(s).first,
                           size(s).second, 10);
             return std::vector<double>{low, high};
         }},
        {"ocvFindMinMax_32F",
         [=](PlaneSet& s) {
             double low = -1, high = -1;
             ocvFindMinMax_32F(s.g.data(), &low, &high, size(s).first, size(s).second);
             return std::vector<double>{low, high};
         }},
        {"ocvClampMinMax_32F",
         [=](PlaneSet& s) {
             ocvClampMinMax_32F(s.b.data(), 0.25, 0.75, size(s).first, size(s).second);
             return std::vector<double>(s.b.begin(), s.b.end());
         }},
        {"ocvCountCheck_32F",
         [=](PlaneSet& s) {
             int c[4] = {-1, -1, -1, -1};
             ocvCountCheck_32F(s.r.data(), s.g.data(), s.b.data(), &c[0], &c[1], &c[2], &c[3], size(s).first,
                               size(s).second, 0.9f, 0.1f);
             return std::vector<double>(c, c + 4);
         }},
        {"ocvCountCheckRGB_32F",
         [=](PlaneSet& s) {
             int c[7] = {-1, -1, -1, -1, -1, -1, -1};
             int* p[7];
             for (int i = 0; i < 7; ++i) p[i] = &c[i];
             ocvCountCheckRGB_32F(s.r.data(), s.g.data(), s.b.data(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6],
                                  size(s).first, size(s).second, 0.8f, 0.2f);
             return std::vector<double>(c, c + 7);
         }},
        {"ocvFindLumaViolations",
         [=](PlaneSet& s) {
             unsigned v = 0;
             int low = -1, high = -1;
             ocvFindLumaViolations(reinterpret_cast<unsigned char*>(s.words.data()), size(s).first, size(s).second,
                                   10, 64.0f, 940.0f, &v, &low, &high);
             return std::vector<double>{double(v), double(low), double(high)};
         }},
    };
}

}  // namespace

TEST(FaultInjection, EveryPlaneExportRaisesToTheCallerAndWorksAgainAfterwards) {
    const PlaneSet original = planeSet(3, 45, 17);
    for (int stripeCount : {1, 3}) {
        for (const auto& [name, call] : planeCalls(stripeCount)) {
            if (stripeCount != 1 && name.rfind("ocvfilter2D", 0) != 0) continue;
            PlaneSet reference = original;
            const std::vector<double> expected = call(reference);  // also makes OpenCV's lazy state
            PlaneSet work;
            std::vector<double> produced;
            sweep(
                name, [&] { work = original; }, [&] { produced = call(work); },
                [&](bool, bool threw) {
                    if (!threw) {
                        EXPECT_EQ(produced, expected) << name;
                    }
                    PlaneSet again = original;
                    EXPECT_EQ(call(again), expected) << name << " after a failure";
                });
        }
    }
}

TEST(FaultInjection, Totals) {
    std::cout << "faults: " << totalInjected << " injected in all" << std::endl;
    EXPECT_GT(totalInjected, 0);
}
