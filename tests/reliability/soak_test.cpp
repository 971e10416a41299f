// Long-running use as a video host would make of the engine: a few objects per host thread measure
// frame after frame of changing sizes and layouts, get copied, lose their tables and are configured
// again, and every result is checked against the single-threaded oracle. Under the address sanitizer
// this also shows any buffer that is reused at the wrong size or freed while a copy still reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "random_cases.h"

namespace {

using namespace reliability;

struct Meter {
    std::unique_ptr<CHDR_Measurements> object = std::make_unique<CHDR_Measurements>();
    std::unique_ptr<MeasurementOracle> oracle;  // null while the object is unconfigured
    int bitDepth = 0;
};

struct Tally {
    std::atomic<long long> frames{0}, copies{0}, destroys{0}, configurations{0}, mismatches{0};
};

void configure(Meter& meter, SeededSource& source, Tally& tally) {
    HDR_Info info = randomInfo(source);
    preferTenBits(info, source, 3);  // so that the soak spends its time measuring frames
    if (source.next() % 2) meter.object->Destroy_LUT();  // configuring again without it must work too
    ASSERT_TRUE(meter.object->InitializeMeasurements(info));
    meter.oracle = std::make_unique<MeasurementOracle>(info);
    meter.bitDepth = info.bitDepth;
    ++tally.configurations;
}

void soakOneHost(uint32_t seed, int frames, Tally& tally) {
    SeededSource source(seed);
    std::vector<Meter> meters(3);
    for (int frame = 0; frame < frames; ++frame) {
        Meter& meter = meters[source.next() % meters.size()];
        Meter& other = meters[source.next() % meters.size()];
        const uint32_t event = source.next() % 64;
        if (event == 0 || !meter.oracle) {
            configure(meter, source, tally);
        } else if (event == 1 && &other != &meter) {  // a copy takes over while the tables are shared
            other.object = std::make_unique<CHDR_Measurements>(*other.object);
            ++tally.copies;
        } else if (event == 2 && &other != &meter && other.oracle) {  // assignment lets go of the old tables
            *meter.object = *other.object;
            meter.oracle = std::make_unique<MeasurementOracle>(*other.oracle);
            meter.bitDepth = other.bitDepth;
            ++tally.copies;
        } else if (event == 3) {
            meter.object->Destroy_LUT();
            ++tally.destroys;
            configure(meter, source, tally);
        }
        const RandomFrame input = randomFrame(source, meter.bitDepth, 96, 64);
        const int taskCount = pick(source, 0, 6);
        if (!matchesOracle(*meter.object, *meter.oracle, input, taskCount)) {
            ++tally.mismatches;
            ADD_FAILURE() << "frame " << frame << " of host " << seed << ": " << input.width << "x" << input.height
                          << " layout " << input.format << " tasks " << taskCount;
        }
        ++tally.frames;
    }
}

}  // namespace

TEST(Soak, ThousandsOfFramesOnCopiedAndReconfiguredObjectsMatchTheOracle) {
    // HDRMETER_SOAK_FRAMES raises the count for a longer soak by hand; the default keeps the test short.
    const char* text = std::getenv("HDRMETER_SOAK_FRAMES");
    const int frames = std::max((text != nullptr ? std::atoi(text) : 3000) / 3, 1);
    Tally tally;
    std::vector<std::thread> hosts;
    for (uint32_t host = 0; host < 3; ++host) hosts.emplace_back([&, host] { soakOneHost(0x50a4u + host, frames, tally); });
    for (std::thread& host : hosts) host.join();
    EXPECT_EQ(tally.mismatches.load(), 0);
    EXPECT_EQ(tally.frames.load(), 3LL * frames);
    std::cout << "soak: " << tally.frames << " frames on 9 objects in 3 host threads, " << tally.copies
              << " copies, " << tally.destroys << " Destroy_LUT, " << tally.configurations
              << " configurations, " << tally.mismatches << " mismatches" << std::endl;
}
