#include "frame_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <functional>
#include <stdexcept>

#include <sys/mman.h>

namespace {

// Results 3 to 5 are single-precision numbers; a compiler that drops the narrowing shows here.
void expectNarrowedToFloat(const std::tuple<double, double, double, double, double, double>& r) {
    EXPECT_EQ(std::get<3>(r), static_cast<double>(static_cast<float>(std::get<3>(r))));
    EXPECT_EQ(std::get<4>(r), static_cast<double>(static_cast<float>(std::get<4>(r))));
    EXPECT_EQ(std::get<5>(r), static_cast<double>(static_cast<float>(std::get<5>(r))));
}

}  // namespace

TEST(FrameMeasurement, FourPixelFrame) {
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    info.topPercent1 = 25.0f;
    info.topPercent2 = 50.0f;
    info.bottomPercent = 25.0f;
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    TestFrame frame(YCbCr444_A, 4, 1);
    const uint16_t luma[] = {64, 512, 940, 940};
    std::copy(luma, luma + 4, frame.luma());
    std::fill(frame.cb(), frame.cb() + 8, 512);

    const auto r = frame.measure(meter, 2);
    EXPECT_NEAR(std::get<0>(r), 5025.8442736, 1e-6);
    EXPECT_EQ(std::get<1>(r), 10000.0);
    EXPECT_EQ(std::get<2>(r), 50.0);
    EXPECT_EQ(std::get<3>(r), 10000.0);
    EXPECT_EQ(std::get<4>(r), 10000.0);
    EXPECT_EQ(std::get<5>(r), static_cast<double>(static_cast<float>(10000.0 * meter.eotfLUT[512])));
    EXPECT_NEAR(std::get<5>(r), 103.37710, 1e-4);
    expectNarrowedToFloat(r);
    const double sorted[] = {1.0, 1.0, meter.eotfLUT[512], 0.0};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(meter.pixelLuminance[i], sorted[i]) << i;
}

// At 1920x1080 the default percentages sit at positions 20735, 207359 and 2052863 of the descending
// luminances; one pixel more or less on the bright side moves the answer across a code boundary.
TEST(FrameMeasurement, PercentilePositions) {
    struct Case {
        int specialCode;
        int specialCount;
        int result;  // 3, 4 or 5
        bool expectSpecial;
    };
    const Case cases[] = {
        {940, 20736, 3, true},  {940, 20735, 3, false}, {940, 207360, 4, true},
        {940, 207359, 4, false}, {64, 20736, 5, false}, {64, 20737, 5, true},
    };
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", false, true);
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    TestFrame frame(YCbCr444_A, 1920, 1080);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.specialCount);
        std::fill(frame.samples.begin(), frame.samples.end(), 512);
        // Spread the special pixels so that no band holds them all.
        const size_t stride = frame.pixels() / c.specialCount;
        for (int i = 0; i < c.specialCount; ++i) frame.luma()[i * stride] = static_cast<uint16_t>(c.specialCode);
        const auto r = frame.measure(meter, 3);
        const double values[] = {std::get<3>(r), std::get<4>(r), std::get<5>(r)};
        const float nits512 = static_cast<float>(10000.0 * meter.eotfLUT[512]);
        const float special = static_cast<float>(10000.0 * meter.eotfLUT[c.specialCode]);
        EXPECT_EQ(values[c.result - 3], c.expectSpecial ? special : nits512);
    }
}

TEST(FrameMeasurement, ThresholdIsStrict) {
    struct Case {
        const wchar_t* unit;
        int level;
        uint16_t luma[4];
        double percent;
    };
    const Case cases[] = {
        {L"CODE", 512, {511, 512, 513, 940}, 50.0},
        {L"NITS", 10000, {940, 940, 1023, 64}, 0.0},
        {L"NITS", 0, {64, 64, 65, 0}, 25.0},
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", false, false);
        info.thresholdUnit = c.unit;
        info.thresholdLevel = c.level;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        TestFrame frame(YCbCr444_B, 2, 2);
        std::copy(c.luma, c.luma + 4, frame.luma());
        std::fill(frame.cb(), frame.cb() + 8, 512);
        EXPECT_EQ(std::get<2>(frame.measure(meter, 1)), c.percent) << c.level;
    }
}

TEST(FrameMeasurement, LightFromDerivedRgb) {
    struct Case {
        const wchar_t* colorSpace;
        uint16_t luma, cb, cr;
        int expectedCode;  // the code whose luminance the light must be
    };
    const Case cases[] = {
        {L"BT.709", 940, 512, 960, 940},  // R = 1629.74 truncates to 1629 and clamps to 940
        {L"BT.2020", 700, 512, 512, 700}, // neutral chroma: light is the luminance
        {L"BT.2020", 500, 512, 600, 629}, // R = 500 + 88 * 1.4746 = 629.76, truncated
        {L"BT.2020", 500, 600, 512, 665}, // B = 500 + 88 * 1.8814 = 665.56, truncated
        {L"BT.2020", 64, 64, 64, 393},    // G = 64 + 73.74 + 255.99 = 393.73; R and B below black
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(10, L"PQ", c.colorSpace, true, false);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        TestFrame frame(YCbCr444_A, 1, 1);
        frame.samples = {c.luma, c.cb, c.cr};
        const auto r = frame.measure(meter, 1);
        const double expected = static_cast<double>(meter.eotfLUT[c.expectedCode]) * 10000.0;
        EXPECT_EQ(std::get<1>(r), expected) << c.luma << " " << c.cb << " " << c.cr;
        EXPECT_EQ(std::get<0>(r), expected);
    }
}

TEST(FrameMeasurement, BandCountsThatLeaveEmptyBandsMatchOneBand) {
    HDR_Info info = makeInfo(12, L"HLG", L"BT.2020", true, true);
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    TestFrame original(YCbCr422_A, 5, 2);
    for (size_t i = 0; i < original.samples.size(); ++i) original.samples[i] = static_cast<uint16_t>(97 * i * i % 4096);
    TestFrame oneBand = original;
    const auto expected = oneBand.measure(meter, 1);
    for (int taskCount : {0, 10, 11, 64}) {
        TestFrame frame = original;
        EXPECT_EQ(frame.measure(meter, taskCount), expected) << taskCount;
        EXPECT_EQ(frame.samples, oneBand.samples);
    }
}

TEST(FrameMeasurement, OptionsOffAndDegenerateCalls) {
    TestFrame frame(YCbCr444_A, 3, 2);
    std::fill(frame.samples.begin(), frame.samples.end(), 1000);
    {
        HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", false, false);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        TestFrame copy = frame;
        const auto r = copy.measure(meter, 2);
        EXPECT_EQ(r, std::make_tuple(0.0, 0.0, 100.0, 0.0, 0.0, 0.0));
        EXPECT_EQ(meter.pixelLuminance, nullptr);
    }
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    struct Degenerate {
        int width, height, taskCount;
    };
    for (const Degenerate& d : {Degenerate{3, 2, -1}, Degenerate{3, 2, -7}, Degenerate{0, 2, 2},
                                Degenerate{3, 0, 1}, Degenerate{-3, 2, 1}, Degenerate{-4, -4, 1}}) {
        TestFrame copy = frame;
        const auto r = meter.HDR_Measurements(YCbCr444_A, d.width, d.height, copy.lumaBytes(), copy.frameBytes(),
                                              d.taskCount);
        EXPECT_EQ(r, std::make_tuple(0.0, 0.0, 0.0, 0.0, 0.0, 0.0));
        EXPECT_EQ(copy.samples, frame.samples);
        EXPECT_EQ(meter.pixelLuminance, nullptr);
    }
}

// What costs nothing to check is refused before any buffer is touched: an object without tables, a
// format outside the enumeration, more pixels than the bands can index, and settings that would read
// outside the table or the luminance buffer.
TEST(FrameMeasurement, PreconditionsAreRefused) {
    HDR_Info good = makeInfo(10, L"PQ", L"BT.2020", true, true);
    struct Setting {
        const char* what;
        void (*change)(HDR_Info&);
    } refusedSettings[] = {
        {"NaN percentage", [](HDR_Info& i) { i.topPercent1 = std::nanf(""); }},
        {"percentage above 100", [](HDR_Info& i) { i.topPercent2 = 100.5f; }},
        {"negative percentage", [](HDR_Info& i) { i.bottomPercent = -1.0f; }},
        {"threshold code past the table", [](HDR_Info& i) { i.thresholdUnit = L"CODE", i.thresholdLevel = 1024; }},
        {"negative level code", [](HDR_Info& i) { i.topLevel1 = -2; }},
        {"level code past the table", [](HDR_Info& i) { i.bottomLevel = 5000; }},
    };
    for (const Setting& setting : refusedSettings) {
        HDR_Info info = good;
        setting.change(info);
        CHDR_Measurements meter;
        EXPECT_FALSE(meter.InitializeMeasurements(info)) << setting.what;
        EXPECT_EQ(meter.eotfLUT, nullptr) << setting.what;
    }

    TestFrame frame(YCbCr444_A, 3, 2);
    std::fill(frame.samples.begin(), frame.samples.end(), 1000);
    CHDR_Measurements configured;
    ASSERT_TRUE(configured.InitializeMeasurements(good));
    CHDR_Measurements destroyed(configured);
    destroyed.Destroy_LUT();
    CHDR_Measurements refused;
    HDR_Info bad = good;
    bad.bitDepth = 14;
    ASSERT_FALSE(refused.InitializeMeasurements(bad));
    struct Call {
        CHDR_Measurements* meter;
        InputPixelFormat format;
        int width, height;
        bool logicError;  // else invalid_argument
    } calls[] = {{&refused, YCbCr444_A, 3, 2, true},          {&destroyed, YCbCr444_A, 3, 2, true},
                 {&configured, static_cast<InputPixelFormat>(4), 3, 2, false},
                 {&configured, YCbCr444_A, 65537, 65537, false}};
    for (const Call& call : calls) {
        TestFrame copy = frame;
        const auto measure = [&] {
            call.meter->HDR_Measurements(call.format, call.width, call.height, copy.lumaBytes(), copy.frameBytes(), 2);
        };
        if (call.logicError) {
            EXPECT_THROW(measure(), std::logic_error);
        } else {
            EXPECT_THROW(measure(), std::invalid_argument);
        }
        EXPECT_EQ(copy.samples, frame.samples);
    }

    // Moving hands the buffer over instead of copying it.
    TestFrame warm = frame;
    warm.measure(configured, 2);
    double* buffer = configured.pixelLuminance;
    CHDR_Measurements moved(std::move(configured));
    EXPECT_EQ(moved.pixelLuminance, buffer);
    EXPECT_EQ(configured.pixelLuminance, nullptr);
    EXPECT_THROW(warm.measure(configured, 2), std::logic_error);
}

TEST(FrameMeasurement, RepeatedAndGrowingFrames) {
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    TestFrame small(YCbCr422_A, 4, 2);
    for (size_t i = 0; i < small.samples.size(); ++i) small.samples[i] = static_cast<uint16_t>(64 + 37 * i);
    const auto first = small.measure(meter, 2);
    EXPECT_EQ(small.measure(meter, 2), first);  // the second pass finds the samples already clamped

    TestFrame large(YCbCr422_A, 64, 40);
    for (size_t i = 0; i < large.samples.size(); ++i) large.samples[i] = static_cast<uint16_t>(1 + 7919 * i % 1100);
    TestFrame largeAgain = large;
    const auto grown = large.measure(meter, 3);
    CHDR_Measurements fresh;
    ASSERT_TRUE(fresh.InitializeMeasurements(info));
    EXPECT_EQ(largeAgain.measure(fresh, 3), grown);
    EXPECT_TRUE(std::is_sorted(meter.pixelLuminance, meter.pixelLuminance + large.pixels(), std::greater<double>()));
    EXPECT_TRUE(std::equal(meter.pixelLuminance, meter.pixelLuminance + large.pixels(), fresh.pixelLuminance));
}

// A host may measure a copy-on-write mapping of its input: samples already in range must not be written,
// or every page would be copied. The frame sits in read-only memory, so any store faults.
TEST(FrameMeasurement, InRangeSamplesAreNotWritten) {
    for (const InputPixelFormat format : {YCbCr422_A, YCbCr444_A}) {
        TestFrame frame(format, 333, 7);  // an odd pixel count: band edges split 4:2:2 pairs
        for (size_t i = 0; i < frame.samples.size(); ++i) frame.samples[i] = static_cast<uint16_t>(64 + i * 37 % 877);
        const size_t bytes = frame.samples.size() * sizeof(uint16_t);
        void* page = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        std::memcpy(page, frame.samples.data(), bytes);
        ASSERT_EQ(mprotect(page, bytes, PROT_READ), 0);
        auto* samples = static_cast<unsigned char*>(page);
        CHDR_Measurements meter;
        HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        const auto fromReadOnly = meter.HDR_Measurements(format, frame.width, frame.height, samples, samples, 3);
        EXPECT_EQ(fromReadOnly, frame.measure(meter, 3));
        munmap(page, bytes);
    }
}
