// The measurement object on configurations and frames whose answers are known by hand, the calls it
// refuses, and what Destroy_LUT, copies and moves leave behind.
#include "measurement_oracle.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <tuple>

using namespace hdrmeter_oracle;

static EngineFrame rampFrame(InputPixelFormat format, int width, int height) {
    EngineFrame frame(format, width, height);
    for (size_t i = 0; i < frame.samples.size(); ++i) frame.samples[i] = static_cast<uint16_t>(i * 2654435761u % 1100);
    return frame;
}

TEST(Configuration, TablesLevelsAndThreshold) {
    // reference: the code of normalised 1.0; levels: neutral, LUT size, luma min/max, chroma min/max, rgb min/max.
    struct Case { int depth; const wchar_t *transfer, *unit; int level, reference; double peak, threshold, lastValue;
                  int levels[8]; } cases[] = {
        {10, L"PQ", L"NITS", 1000, 940, 10000, (double)0.1f, 2.5198, {512, 1024, 64, 940, 64, 960, 64, 940}},
        {12, L"HLG", L"NITS", 1000, 3760, 1000, 1.0, 1.8770, {2048, 4096, 256, 3760, 256, 3840, 256, 3760}},
        {16, L"PQ", L"CODE", 60160, 60160, 10000, 1.0, 2.5482, {32768, 65536, 4096, 60160, 4096, 61440, 4096, 60160}},
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(c.depth, c.transfer, L"BT.2020", true, false);
        info.thresholdUnit = c.unit, info.thresholdLevel = c.level;
        CHDR_Measurements m;
        ASSERT_TRUE(m.InitializeMeasurements(info));
        const int last = (1 << c.depth) - 1, black = c.levels[2];
        for (int code = 1; code <= last; ++code) ASSERT_LE(m.eotfLUT[code - 1], m.eotfLUT[code]) << code;
        EXPECT_EQ(std::vector<float>({m.eotfLUT[0], m.eotfLUT[black], m.eotfLUT[c.reference]}), std::vector<float>({0, 0, 1}));
        EXPECT_GT(m.eotfLUT[black + 1], 0.0f);
        EXPECT_NEAR(m.eotfLUT[last], c.lastValue, 1e-4);
        EXPECT_EQ(std::vector<double>({m.peakLuminance, m.thresholdLuminance}), std::vector<double>({c.peak, c.threshold}));
        EXPECT_EQ(std::vector<int>({m.chromaNeutral, m.chromaLUTSize, m.lumaMin, m.lumaMax, m.chromaMin, m.chromaMax,
                                    m.rgbMin, m.rgbMax}), std::vector<int>(c.levels, c.levels + 8));
        EXPECT_EQ(m.cbCrToG == nullptr, c.depth == 16);
    }
    CHDR_Measurements curves;
    for (auto [hlg, signal, expected] : {std::tuple{false, 0.5, 0.0092245709}, {true, 0.5, 0.0506970285},
                                         {true, 0.75, 0.2031521454}, {false, -1e-300, 0.0}}) {
        EXPECT_NEAR(hlg ? curves.HLG1000_f(signal) : curves.PQ10000_f(signal), expected, 1e-10) << hlg << signal;
    }
}

// Four pixels a frame, all in the scalar path: the threshold is strict, and light is the largest of R, G
// and B, each truncated toward zero and clamped to the luma range before its luminance is looked up.
TEST(FrameMeasurement, KnownFrames) {
    // The percentage above the threshold, and the code whose luminance the brightest pixel's light is.
    struct Case { const wchar_t *colorSpace, *unit; int level; uint16_t luma[4], cb, cr; double abovePercent; int lightCode; }
    cases[] = {
        {L"BT.2020", L"CODE", 512, {511, 512, 513, 940}, 512, 512, 50, 940},
        {L"BT.2020", L"NITS", 10000, {940, 940, 1023, 64}, 512, 512, 0, 940},
        {L"BT.2020", L"NITS", 0, {64, 64, 65, 0}, 512, 512, 25, 65},
        {L"BT.709", L"CODE", 1023, {700, 700, 700, 700}, 512, 600, 0, 835},  // R = 700 + 88 x 1.5396 = 835.48
        {L"BT.709", L"CODE", 1023, {940, 940, 940, 940}, 512, 960, 0, 940},  // R = 1629.74, clamped
        {L"BT.2020", L"CODE", 1023, {500, 500, 500, 500}, 512, 600, 0, 629},  // R = 500 + 88 x 1.4746 = 629.76
        {L"BT.2020", L"CODE", 1023, {500, 500, 500, 500}, 600, 512, 0, 665},  // B = 500 + 88 x 1.8814 = 665.56
        {L"BT.2020", L"CODE", 1023, {64, 64, 64, 64}, 64, 64, 0, 393},  // G = 64 + 73.74 + 255.99; R, B below black
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        HDR_Info info = makeInfo(10, L"PQ", c.colorSpace, true, false);
        info.thresholdUnit = c.unit, info.thresholdLevel = c.level;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        EngineFrame frame(YCbCr444_B, 4, 1);
        frame.samples = {c.luma[0], c.luma[1], c.luma[2], c.luma[3], c.cb, c.cb, c.cb, c.cb, c.cr, c.cr, c.cr, c.cr};
        const Results r = frame.measure(meter, 1);
        EXPECT_EQ(std::get<1>(r), static_cast<double>(meter.eotfLUT[c.lightCode]) * 10000.0);
        EXPECT_EQ(std::get<2>(r), c.abovePercent);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(frame.samples[i], std::clamp<int>(c.luma[i], 64, 940)) << i;  // stored back
    }

    // Percentile positions: floor(P / 100 x N) - 1 among the descending luminances, at least 0, as floats.
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    info.topPercent1 = 25.0f, info.topPercent2 = 50.0f, info.bottomPercent = 25.0f;
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    EngineFrame frame(YCbCr444_A, 4, 1);
    frame.samples = {64, 512, 940, 940, 512, 512, 512, 512, 512, 512, 512, 512};
    const float nits512 = static_cast<float>(10000.0 * meter.eotfLUT[512]);
    const Results r = frame.measure(meter, 2);
    EXPECT_NEAR(std::get<0>(r), 5025.8442736, 1e-6);
    EXPECT_EQ(r, Results(std::get<0>(r), 10000.0, 50.0, 10000.0, 10000.0, nits512));
    EXPECT_NEAR(nits512, 103.37710, 1e-4);
    EXPECT_EQ(std::vector<double>(meter.pixelLuminance, meter.pixelLuminance + 4),
              std::vector<double>({1.0, 1.0, meter.eotfLUT[512], 0.0}));
}

// Refused before any buffer is touched: settings that would read outside a table or the luminance
// buffer, an object without tables, a format outside the enumeration, more pixels than a band can index.
// Calls with nothing to measure return zeros.
TEST(FrameMeasurement, RefusedSettingsAndCalls) {
    HDR_Info good = makeInfo(10, L"PQ", L"BT.2020", true, true);
    void (*const refusedSettings[])(HDR_Info&) = {
        [](HDR_Info& i) { i.topPercent1 = std::nanf(""); },  [](HDR_Info& i) { i.topPercent2 = 100.5f; },
        [](HDR_Info& i) { i.bottomPercent = -1.0f; },        [](HDR_Info& i) { i.topLevel1 = -2; },
        [](HDR_Info& i) { i.thresholdUnit = L"CODE", i.thresholdLevel = 1024; },
        [](HDR_Info& i) { i.bottomLevel = 5000; },           [](HDR_Info& i) { i.bitDepth = 0; },
        [](HDR_Info& i) { i.bitDepth = 8; }, [](HDR_Info& i) { i.bitDepth = 14; }, [](HDR_Info& i) { i.bitDepth = -3; },
    };
    CHDR_Measurements configured, refused[std::size(refusedSettings)];
    for (size_t i = 0; i < std::size(refusedSettings); ++i) {
        HDR_Info info = good;
        refusedSettings[i](info);
        EXPECT_FALSE(refused[i].InitializeMeasurements(info)) << i;
        EXPECT_TRUE(!refused[i].eotfLUT && !refused[i].crToR && !refused[i].cbCrToG && !refused[i].chromaLUTSize) << i;
    }
    ASSERT_TRUE(configured.InitializeMeasurements(good));
    CHDR_Measurements destroyed(configured);
    destroyed.Destroy_LUT();
    enum Outcome { Zeros, LogicError, InvalidArgument };
    struct Call { CHDR_Measurements* meter; int format, width, height, taskCount; Outcome outcome; } calls[] = {
        {&refused[7], 0, 3, 2, 2, LogicError},       {&destroyed, 0, 3, 2, 2, LogicError},
        {&configured, 4, 3, 2, 2, InvalidArgument},  {&configured, 0, 65537, 65537, 2, InvalidArgument},
        {&configured, 0, 3, 2, -1, Zeros},           {&configured, 0, 3, 2, -7, Zeros},
        {&configured, 0, 0, 2, 2, Zeros},            {&configured, 0, 3, 0, 1, Zeros},
        {&configured, 0, -3, 2, 1, Zeros},           {&configured, 0, -4, -4, 1, Zeros},
    };
    const EngineFrame frame = rampFrame(YCbCr444_A, 3, 2);
    for (const Call& c : calls) {
        EngineFrame copy = frame;
        const auto measure = [&] {
            return c.meter->HDR_Measurements(InputPixelFormat(c.format), c.width, c.height, copy.bytes(), copy.bytes(), c.taskCount);
        };
        if (c.outcome == LogicError) {
            EXPECT_THROW(measure(), std::logic_error) << &c - calls;
        } else if (c.outcome == InvalidArgument) {
            EXPECT_THROW(measure(), std::invalid_argument) << &c - calls;
        } else {
            EXPECT_EQ(measure(), Results(0.0, 0.0, 0.0, 0.0, 0.0, 0.0)) << &c - calls;
        }
        EXPECT_TRUE(copy.samples == frame.samples && c.meter->pixelLuminance == nullptr) << &c - calls;
    }
}

// Destroy_LUT lets go of the tables but keeps the settings and the luminance buffer; copies share the
// tables, which outlive their first owner, but not the buffer; a move hands the buffer over.
TEST(ObjectLifetime, DestroyCopyAssignAndMove) {
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true), other = makeInfo(12, L"HLG", L"BT.709", false, false);
    auto source = std::make_unique<CHDR_Measurements>();
    EXPECT_TRUE(source->Destroy_LUT());  // nothing to release yet
    ASSERT_TRUE(source->InitializeMeasurements(info));
    const EngineFrame frame = rampFrame(YCbCr422_A, 10, 3);
    EngineFrame again = frame;
    const Results expected = again.measure(*source, 3);
    CHDR_Measurements copy(*source);
    EXPECT_TRUE(copy.eotfLUT == source->eotfLUT && copy.cbCrToG == source->cbCrToG && copy.crToR == source->crToR);
    ASSERT_TRUE(copy.pixelLuminance != nullptr && copy.pixelLuminance != source->pixelLuminance);
    EXPECT_TRUE(std::equal(copy.pixelLuminance, copy.pixelLuminance + 30, source->pixelLuminance));
    double* buffer = source->pixelLuminance;
    EXPECT_TRUE(source->Destroy_LUT() && source->Destroy_LUT());
    EXPECT_TRUE(source->eotfLUT == nullptr && source->cbCrToG == nullptr && source->pixelLuminance == buffer);
    EXPECT_TRUE(source->lumaMax == 940 && source->peakLuminance == 10000.0f && source->measurePercentiles);
    source.reset();
    again = frame;
    EXPECT_EQ(again.measure(copy, 3), expected);

    CHDR_Measurements assigned;
    ASSERT_TRUE(assigned.InitializeMeasurements(other));
    assigned = copy;
    assigned = assigned;
    copy.Destroy_LUT();
    again = frame;
    EXPECT_EQ(again.measure(assigned, 3), expected);
    buffer = assigned.pixelLuminance;
    ASSERT_TRUE(assigned.InitializeMeasurements(other));  // without Destroy_LUT: tables replaced, buffer reused
    EXPECT_TRUE(assigned.pixelLuminance == buffer && assigned.chromaLUTSize == 4096);
    CHDR_Measurements moved(std::move(assigned));
    EXPECT_TRUE(moved.pixelLuminance == buffer && assigned.pixelLuminance == nullptr);
    EXPECT_THROW(again.measure(assigned, 2), std::logic_error);
}

// A host may measure a copy-on-write mapping of its input: samples already in range must not be written,
// or every page would be copied. The frame sits in read-only memory, so any store faults.
TEST(FrameMeasurement, InRangeSamplesAreNotWritten) {
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    CHDR_Measurements meter;
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    for (const InputPixelFormat format : {YCbCr422_A, YCbCr444_A}) {
        EngineFrame frame(format, 333, 7);  // an odd pixel count: band edges split 4:2:2 pairs
        for (size_t i = 0; i < frame.samples.size(); ++i) frame.samples[i] = static_cast<uint16_t>(64 + i * 37 % 877);
        const size_t bytes = frame.samples.size() * sizeof(uint16_t);
        void* page = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(page, MAP_FAILED);
        std::memcpy(page, frame.samples.data(), bytes);
        ASSERT_EQ(mprotect(page, bytes, PROT_READ), 0);
        auto* samples = static_cast<unsigned char*>(page);
        EXPECT_EQ(meter.HDR_Measurements(format, frame.width, frame.height, samples, samples, 3), frame.measure(meter, 3));
        munmap(page, bytes);
    }
}
