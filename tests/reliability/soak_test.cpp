// Long-running use as a video host would make of the engine: a few objects per host thread measure frame
// after frame of changing sizes and layouts, get copied, lose their tables and are configured again with
// random settings, and every result, and the levels each configuration writes back, is checked against
// the oracle. They start as copies of one object, which lets go of the shared tables and is destroyed
// while they measure. Under the address sanitizer this shows any buffer reused at the wrong size or freed
// while a copy still reads it; the thread-sanitizer stage runs it too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "random_cases.h"

using namespace reliability;

namespace {

struct Meter {
    std::unique_ptr<CHDR_Measurements> object;
    std::unique_ptr<MeasurementOracle> oracle;
    int bitDepth = 10;
};

int soakOneHost(uint32_t seed, int frames, std::vector<Meter>& meters) {  // the number of mismatches
    SeededSource source(seed);
    int mismatches = 0;
    for (int frame = 0; frame < frames; ++frame) {
        Meter& meter = meters[source.next() % 3];
        Meter& other = meters[source.next() % 3];
        const uint32_t event = source.next() % 64;
        if (event == 0 || event == 3) {  // configured again, with or without Destroy_LUT
            HDR_Info info = randomInfo(source, 3);
            info.topLevel1Nits = info.topLevel2Nits = info.bottomLevelNits = 123.5;  // left alone without percentiles
            const HDR_Info asGiven = info;
            if (event == 3) meter.object->Destroy_LUT();
            if (!meter.object->InitializeMeasurements(info)) return mismatches + 1;
            meter.oracle = std::make_unique<MeasurementOracle>(asGiven);
            double levels[3] = {123.5, 123.5, 123.5};  // the levels written back, in nits
            meter.oracle->expectedLevelNits(asGiven, levels[0], levels[1], levels[2]);
            EXPECT_EQ(std::vector<double>({info.topLevel1Nits, info.topLevel2Nits, info.bottomLevelNits}),
                      std::vector<double>(levels, levels + 3));
            meter.bitDepth = info.bitDepth;
        } else if (event == 1) {  // a copy takes over while the tables are shared
            other.object = std::make_unique<CHDR_Measurements>(*other.object);
        } else if (event == 2 && &other != &meter) {  // assignment lets go of the old tables
            *meter.object = *other.object;
            meter.oracle = std::make_unique<MeasurementOracle>(*other.oracle);
            meter.bitDepth = other.bitDepth;
        }
        const TestFrame input = randomFrame(source, meter.bitDepth, 96, 64);
        const int taskCount = pick(source, 0, 6);
        if (!matchesOracle(*meter.object, *meter.oracle, input, taskCount)) {
            ++mismatches;
            ADD_FAILURE() << "frame " << frame << " of host " << seed << ": " << input.width << "x" << input.height
                          << " layout " << input.format << " tasks " << taskCount;
        }
    }
    return mismatches;
}

}  // namespace

TEST(Soak, ThousandsOfFramesOnCopiedAndReconfiguredObjectsMatchTheOracle) {
    // HDRMETER_SOAK_FRAMES raises the count for a longer soak by hand; the default keeps the test short.
    const char* text = std::getenv("HDRMETER_SOAK_FRAMES");
    const int frames = std::max((text != nullptr ? std::atoi(text) : 3000) / 3, 1);
    HDR_Info info = fullInfo(10, L"HLG");
    auto original = std::make_unique<CHDR_Measurements>();
    ASSERT_TRUE(original->InitializeMeasurements(info));
    std::vector<std::vector<Meter>> meters(3);
    for (auto& host : meters) {
        for (int i = 0; i < 3; ++i) {
            host.push_back({std::make_unique<CHDR_Measurements>(*original), std::make_unique<MeasurementOracle>(info)});
        }
    }
    int mismatches[3] = {};
    std::vector<std::thread> hosts;
    for (int host = 0; host < 3; ++host) hosts.emplace_back([&, host] { mismatches[host] = soakOneHost(0x50a4u + host, frames, meters[host]); });
    original->Destroy_LUT();
    original.reset();
    for (std::thread& host : hosts) host.join();
    const int total = mismatches[0] + mismatches[1] + mismatches[2];
    EXPECT_EQ(total, 0);
    std::cout << "soak: " << 3 * frames << " frames on 9 objects in 3 host threads, " << total << " mismatches" << std::endl;
}
