// Every allocation and thread start that a call makes is failed in turn, the first, then the second,
// and so on until the call completes without reaching the failing one. After each failure: the
// exception reached this caller (or the failure was absorbed and the results are right), no task the
// call started still runs, the object is usable or unconfigured, and nothing leaked (LeakSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "fault_hooks.h"
#include "random_cases.h"

namespace {

using namespace reliability;

long long totalInjected = 0;

// Runs attempt() armed to fail its k-th allocation or thread start, for k = 1, 2, ... (every stride-th
// k) until a run no longer reaches the k-th; prepare() runs unarmed before each run, check() after it.
void sweep(const std::string& name, const std::function<void()>& prepare, const std::function<void()>& attempt,
           const std::function<void(bool injected, bool threw)>& check, long long stride = 1) {
    long long injected = 0, exceptions = 0, threadStarts = 0, countedMost = 0;
    for (long long failAt = 1;; failAt += stride) {
        prepare();
        bool threw = false, systemError = false;
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
        threadStarts += outcome.threadStart;
        EXPECT_TRUE(!outcome.threadStart || !threw || systemError) << name << ": thread start failure, k = " << failAt;
        EXPECT_EQ(faults::tasksRunning(), 0) << name << ": a task outlived the failed call, k = " << failAt;
        EXPECT_TRUE(outcome.injected || !threw) << name << ": an exception without an injected failure, k = " << failAt;
        injected += outcome.injected;
        exceptions += outcome.injected && threw;
        check(outcome.injected, threw);
        countedMost = std::max(countedMost, outcome.counted);
        if (!outcome.injected || ::testing::Test::HasFailure() || failAt > 200000) break;
    }
    EXPECT_EQ(faults::leakCheck() > 0, false) << name << ": LeakSanitizer found leaks";
    totalInjected += injected;
    std::cout << "faults: " << name << ": " << injected << " injected (" << threadStarts << " thread starts), "
              << exceptions << " reached the caller as exceptions, " << countedMost << " allocations and thread starts"
              << (stride > 1 ? " (every " + std::to_string(stride) + "th failed)" : "") << std::endl;
}

// Whatever state a failure left, Destroy_LUT and a new configuration bring the object back.
void expectRecovers(CHDR_Measurements& meter, const HDR_Info& info, const RandomFrame& frame) {
    EXPECT_TRUE(meter.Destroy_LUT());
    EXPECT_EQ(meter.eotfLUT, nullptr);
    HDR_Info again = info;
    ASSERT_TRUE(meter.InitializeMeasurements(again));
    MeasurementOracle oracle(info);
    EXPECT_TRUE(matchesOracle(meter, oracle, frame, 3));
}

}  // namespace

TEST(FaultInjection, InitializeMeasurementsLeavesTheObjectConfiguredOrWithoutTables) {
    SeededSource source(1);
    // 12-bit tables make 4100 allocations of the same kinds as at 10 bits, each sweep step filling
    // 64 MiB; every 41st is failed there to keep the test short.
    for (auto [bitDepth, stride] : {std::pair{10, 1LL}, std::pair{16, 1LL}, std::pair{12, 41LL}}) {
        for (bool wasConfigured : {false, true}) {
            const HDR_Info info = fullInfo(bitDepth, bitDepth == 12 ? L"HLG" : L"PQ");
            const RandomFrame frame = randomFrame(source, bitDepth, 33, 9);
            // A new object for every k: one that kept its strings from the attempt before would allocate
            // less, and the count would skip over the EOTF table.
            std::unique_ptr<CHDR_Measurements> meter;
            HDR_Info copy;  // copied before arming: the copy's strings allocate too
            bool configured = false;
            int falseResults = 0;
            sweep(
                std::to_string(bitDepth) + "-bit InitializeMeasurements" + (wasConfigured ? " over a configuration" : ""),
                [&] {
                    meter = std::make_unique<CHDR_Measurements>();
                    HDR_Info earlier = fullInfo(10, L"PQ");
                    earlier.thresholdUnit = L"CODE";
                    earlier.measurePercentiles = false;
                    ASSERT_TRUE(!wasConfigured || meter->InitializeMeasurements(earlier));
                    copy = info;
                    configured = false;
                },
                [&] { configured = meter->InitializeMeasurements(copy); },
                [&](bool injected, bool threw) {
                    // The EOTF table's failure is a false result, the others std::bad_alloc; neither
                    // leaves a table behind.
                    falseResults += injected && !threw;
                    EXPECT_EQ(configured, !injected);
                    EXPECT_TRUE(!injected || (!meter->eotfLUT && !meter->crToR && !meter->cbCrToG));
                    MeasurementOracle oracle(info);
                    EXPECT_TRUE(injected || matchesOracle(*meter, oracle, frame, 2));
                    expectRecovers(*meter, info, frame);
                },
                stride);
            EXPECT_TRUE(stride != 1 || falseResults == 1) << falseResults;  // the EOTF table's, only
        }
    }
}

// Bands in one task or several; then copy assignment, which allocates the copy's luminance buffer.
TEST(FaultInjection, HDR_MeasurementsAndCopiesRaiseToTheCallerAfterEveryBandHasFinished) {
    SeededSource source(2);
    for (int bitDepth : {10, 16}) {
        for (int taskCount : {1, 4}) {
            const HDR_Info info = fullInfo(bitDepth, L"PQ");
            const RandomFrame frame = randomFrame(source, bitDepth, 40, 12);
            MeasurementOracle oracle(info);
            RandomFrame clamped = frame, work;
            const Results expected = oracle.frame(frame.format, frame.width, frame.height, clamped.words(),
                                                  clamped.words(), taskCount);
            CHDR_Measurements meter;
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
                    EXPECT_TRUE(threw || (measured == expected && work.samples == clamped.samples));
                    EXPECT_TRUE(matchesOracle(meter, oracle, frame, taskCount));  // still configured
                    expectRecovers(meter, info, frame);
                });
        }
    }
    const HDR_Info info = fullInfo(10, L"PQ");
    const RandomFrame frame = randomFrame(source, 10, 20, 20);
    MeasurementOracle oracle(info);
    CHDR_Measurements original, target;
    HDR_Info copy = info;
    ASSERT_TRUE(original.InitializeMeasurements(copy));
    ASSERT_TRUE(matchesOracle(original, oracle, frame, 2));
    sweep(
        "copy assignment", [&] { target = CHDR_Measurements(); }, [&] { target = original; },
        [&](bool, bool threw) {
            // A failed assignment leaves the fresh object as it was.
            EXPECT_TRUE(threw ? target.eotfLUT == nullptr : matchesOracle(target, oracle, frame, 2));
            expectRecovers(target, info, frame);
        });
}

TEST(FaultInjection, EveryPlaneExportRaisesToTheCallerAndWorksAgainAfterwards) {
    const PlaneSet original = randomPlanes(3, 45, 17);
    for (const PlaneCall& c : kPlaneCalls) {
        for (int stripes : {1, 3}) {
            if (stripes != 1 && !c.striped) continue;
            PlaneSet work = original;
            const std::vector<double> expected = c.call(work, stripes);  // also makes OpenCV's lazy state
            std::vector<double> produced;
            sweep(
                c.name + (c.striped ? " in " + std::to_string(stripes) + " stripes" : std::string()), [&] { work = original; },
                [&] { produced = c.call(work, stripes); },
                [&](bool, bool threw) {
                    EXPECT_TRUE(threw || produced == expected) << c.name;
                    PlaneSet again = original;
                    EXPECT_EQ(c.call(again, stripes), expected) << c.name << " after a failure";
                });
        }
    }
}

TEST(FaultInjection, Totals) {
    std::cout << "faults: " << totalInjected << " injected in all" << std::endl;
    EXPECT_GT(totalInjected, 0);
}
