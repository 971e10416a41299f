// Every allocation and thread start that an operation makes is failed in turn, the first, then the
// second, and so on until the operation completes without reaching the failing one. After each failure:
// the exception reached this caller (or the failure was absorbed and the results are right), every thread
// the call started has been joined, the object works again, and nothing leaked (LeakSanitizer).
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "analysis_oracle.h"
#include "fault_hooks.h"
#include "random_cases.h"

using namespace reliability;

namespace {

struct Operation {
    std::string name;
    std::function<void()> prepare, attempt;  // prepare before each attempt; only the attempt is armed
    std::function<void(bool threw)> check;   // what the attempt left, and that the object works again
    long long stride = 1;                    // past the first ten, every stride-th is failed
};

int failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

long long sweep(const Operation& op) {
    long long injected = 0;
    for (long long failAt = 1, before = failures();; failAt += failAt < 10 ? 1 : op.stride) {
        SCOPED_TRACE(op.name + ", failing number " + std::to_string(failAt));
        op.prepare();
        bool threw = false, systemError = false;
        faults::arm(failAt);
        try {
            op.attempt();
        } catch (const std::system_error&) {
            threw = systemError = true;
        } catch (const std::exception&) {
            threw = true;
        }
        const faults::Outcome outcome = faults::disarm();
        // A thread that cannot start is reported as the thread facility's error, or the work runs without it.
        EXPECT_TRUE(!outcome.threadStart || !threw || systemError);
        EXPECT_TRUE(outcome.injected || !threw);
        EXPECT_EQ(faults::threadsUnjoined(), 0) << "a thread the failed call started was never joined";
        op.check(threw);
        injected += outcome.injected;
        if (!outcome.injected || failures() > before) break;
    }
    EXPECT_EQ(faults::leakCheck(), 0) << op.name << ": LeakSanitizer found leaks";
    std::cout << "faults: " << op.name << ": " << injected << " injected" << std::endl;
    return injected;
}

// Whatever state a failure left, Destroy_LUT and a new configuration bring the object back.
void expectRecovers(CHDR_Measurements& meter, const HDR_Info& info, const TestFrame& frame) {
    EXPECT_TRUE(meter.Destroy_LUT());
    HDR_Info again = info;
    ASSERT_TRUE(meter.InitializeMeasurements(again));
    MeasurementOracle oracle(info);
    EXPECT_TRUE(matchesOracle(meter, oracle, frame, 3));
}

}  // namespace

TEST(FaultInjection, EveryOperationSurvivesEachOfItsAllocationsAndThreadStartsFailing) {
    SeededSource source(1);
    const HDR_Info info = fullInfo(10, L"PQ");
    const TestFrame frame = randomFrame(source, 10, YCbCr422_A, 41, 12);
    MeasurementOracle oracle(info);
    std::vector<Operation> operations;
    CHDR_Measurements meter, original;
    HDR_Info copy = info;
    ASSERT_TRUE(original.InitializeMeasurements(copy));
    bool configured = false;

    // A fresh object for each attempt (one that kept its strings would allocate less), and one over an
    // earlier configuration. A failure leaves no table behind. 16-bit has no chroma tables.
    for (int bitDepth : {10, 16}) {
        for (bool wasConfigured : {false, true}) {
            const HDR_Info target = fullInfo(bitDepth, L"HLG");
            operations.push_back(
                {std::to_string(bitDepth) + "-bit InitializeMeasurements" + (wasConfigured ? " over another" : ""),
                 [&, wasConfigured, target] {
                     HDR_Info earlier = makeInfo(10, L"PQ", L"BT.709", false, false);
                     meter = CHDR_Measurements(), copy = target;
                     ASSERT_TRUE(!wasConfigured || meter.InitializeMeasurements(earlier));
                 },
                 [&] { configured = meter.InitializeMeasurements(copy); },
                 [&, target](bool threw) {
                     EXPECT_TRUE((configured && !threw) || (!meter.eotfLUT && !meter.crToR && !meter.cbCrToG));
                     const TestFrame sample = randomFrame(source, bitDepth, 17, 5);
                     MeasurementOracle expected(target);
                     EXPECT_TRUE(!configured || threw || matchesOracle(meter, expected, sample, 2));
                     expectRecovers(meter, target, sample);
                 },
                 bitDepth == 10 ? 97 : 1});
        }
    }
    // Bands in one task or several: the results, or an exception once every band has finished.
    TestFrame work = frame, clamped = frame;
    const Results expected = oracle.frame(frame.format, frame.width, frame.height, clamped.samples.data(), clamped.samples.data(), 4);
    Results measured;
    for (int tasks : {1, 4}) {
        operations.push_back({"HDR_Measurements in " + std::to_string(tasks) + " bands",
                              [&] { meter = original, work = frame; },  // its first frame allocates a buffer
                              [&, tasks] { measured = work.measure(meter, tasks); },
                              [&, tasks](bool threw) {
                                  EXPECT_TRUE(threw || (measured == expected && work.samples == clamped.samples));
                                  EXPECT_TRUE(matchesOracle(meter, oracle, frame, tasks));  // still configured
                                  expectRecovers(meter, info, frame);
                              }});
    }
    operations.push_back({"copy assignment", [&] { meter = CHDR_Measurements(); }, [&] { meter = original; },
                          [&](bool threw) {
                              // A failed assignment leaves the fresh object as it was.
                              EXPECT_TRUE(threw ? meter.eotfLUT == nullptr : matchesOracle(meter, oracle, frame, 2));
                              expectRecovers(meter, info, frame);
                          }});
    const PlaneSet planes = randomPlanes(SeededSource(3), 45, 17);
    PlaneSet planeWork;
    std::vector<double> produced;
    for (const PlaneCall& c : kPlaneCalls) {
        operations.push_back({std::string(c.name) + " in 3 stripes", [&] { planeWork = planes; },
                              [&] { produced = c.call(planeWork, 3); },
                              [&](bool threw) {
                                  PlaneSet again = planes, reference = planes;
                                  const std::vector<double> expected = c.call(reference, 1);
                                  EXPECT_TRUE((threw || produced == expected) && c.call(again, 3) == expected);
                              }});
    }
    // The analyzer starts its pool's workers one by one; when one cannot start, those already running
    // must be stopped and joined before the error reaches the caller.
    using namespace hdrmeter;
    analysis_oracle::TestFrame picture(53, 19, 10, ChromaLayout::Yuv420, SampleRange::Narrow);
    std::mt19937 rng(5);
    picture.fillRandom(rng);
    AnalysisSettings settings;
    settings.taskCount = 4;
    std::vector<std::uint64_t> histogram;
    const std::vector<std::uint64_t> alone = Analyzer(settings).analyze(picture.view()).lightHistogram();
    operations.push_back({"Analyzer in 4 tasks", [&] { histogram.clear(); },
                          [&] { histogram = Analyzer(settings).analyze(picture.view()).lightHistogram(); },
                          [&](bool threw) { EXPECT_TRUE(threw || histogram == alone); }});

    long long total = 0;
    for (const Operation& op : operations) total += sweep(op);
    std::cout << "faults: " << total << " injected in all" << std::endl;
    EXPECT_GT(total, 0);
}
