#include "frame_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(TransferFunctions, KnownPoints) {
    CHDR_Measurements meter;
    struct Case {
        bool hlg;
        double signal;
        double expected;
    };
    const Case cases[] = {
        {false, -1.0, 0.0},         {false, -1e-300, 0.0},     {false, 0.0, 0.0},
        {false, 0.5, 0.0092245709}, {false, 1.0, 1.0},         {true, -0.5, 0.0},
        {true, 0.0, 0.0},           {true, 0.5, 0.0506970285}, {true, 0.75, 0.2031521454},
        {true, 1.0, 1.0000000292},
    };
    for (const Case& c : cases) {
        const double value = c.hlg ? meter.HLG1000_f(c.signal) : meter.PQ10000_f(c.signal);
        EXPECT_NEAR(value, c.expected, 1e-10) << (c.hlg ? "HLG " : "PQ ") << c.signal;
    }
    EXPECT_EQ(meter.PQ10000_f(1.0), 1.0);
    EXPECT_EQ(static_cast<float>(meter.HLG1000_f(1.0)), 1.0f);
}

TEST(LookupTables, EotfEntriesAndCodeLevels) {
    struct Case {
        int bitDepth;
        const wchar_t* transfer;
        int zeroUpTo;
        int referenceCode;  // code of normalised 1.0
        int lastCode;
        double lastValue;
        float peak;
        int levels[8];  // neutral, LUT size, luma min/max, chroma min/max, rgb min/max
    };
    const Case cases[] = {
        {10, L"PQ", 64, 940, 1023, 2.5198, 10000.0f, {512, 1024, 64, 940, 64, 960, 64, 940}},
        {12, L"HLG", 256, 3760, 4095, 1.8770, 1000.0f, {2048, 4096, 256, 3760, 256, 3840, 256, 3760}},
        {16, L"PQ", 4096, 60160, 65535, 2.5482, 10000.0f, {32768, 65536, 4096, 60160, 4096, 61440, 4096, 60160}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitDepth);
        HDR_Info info = makeInfo(c.bitDepth, c.transfer, L"BT.2020", true, false);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        for (int code = 0; code <= c.zeroUpTo; ++code) ASSERT_EQ(meter.eotfLUT[code], 0.0f) << code;
        EXPECT_GT(meter.eotfLUT[c.zeroUpTo + 1], 0.0f);
        EXPECT_EQ(meter.eotfLUT[c.referenceCode], 1.0f);
        EXPECT_NEAR(meter.eotfLUT[c.lastCode], c.lastValue, 1e-4);
        EXPECT_EQ(meter.peakLuminance, c.peak);
        const int actual[8] = {meter.chromaNeutral, meter.chromaLUTSize, meter.lumaMin, meter.lumaMax,
                               meter.chromaMin,     meter.chromaMax,     meter.rgbMin,  meter.rgbMax};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(actual[i], c.levels[i]) << "level " << i;
        EXPECT_EQ(meter.cbCrToG == nullptr, c.bitDepth == 16);
        for (int code = 1; code <= c.lastCode; ++code) ASSERT_LE(meter.eotfLUT[code - 1], meter.eotfLUT[code]);
    }
}

TEST(LookupTables, ChromaEntries) {
    struct Case {
        const wchar_t* colorSpace;
        int table;  // 0 crToR, 1 cbToB, 2 cbCrToG
        int index;
        int column;
        double expected;
    };
    const Case cases[] = {
        {L"BT.2020", 0, 512, 0, 0.0},        {L"BT.2020", 0, 960, 0, 660.62079},
        {L"BT.2020", 1, 64, 0, -842.86719},  {L"BT.2020", 2, 512, 512, 0.0},
        {L"BT.2020", 2, 64, 960, -182.2464}, {L"BT.709", 0, 960, 0, 689.74078},
        {L"BT.709", 1, 64, 0, -812.76160},   {L"bt.2020", 0, 960, 0, 689.74078},
        {L"BT.2020 ", 0, 960, 0, 689.74078}, {L"", 2, 960, 64, 123.0208},
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(10, L"PQ", c.colorSpace, true, false);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        const float value = c.table == 0   ? meter.crToR[c.index]
                            : c.table == 1 ? meter.cbToB[c.index]
                                           : meter.cbCrToG[c.index][c.column];
        EXPECT_NEAR(value, c.expected, 2e-4) << c.table << " " << c.index;
    }
}

TEST(Configuration, StringsMatchWholeAndCaseSensitive) {
    struct Case {
        const wchar_t* transfer;
        float peak;
    };
    for (const Case& c : {Case{L"HLG", 1000.0f}, Case{L"hlg", 10000.0f}, Case{L"HLG ", 10000.0f},
                          Case{L"HL", 10000.0f}, Case{L"", 10000.0f}, Case{L"PQ", 10000.0f}}) {
        HDR_Info info = makeInfo(10, c.transfer, L"BT.2020", false, false);
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        EXPECT_EQ(meter.peakLuminance, c.peak);
    }
}

TEST(Configuration, ThresholdLuminance) {
    struct Case {
        const wchar_t* transfer;
        const wchar_t* unit;
        int level;
        double expected;
    };
    const Case cases[] = {
        {L"PQ", L"NITS", 1000, static_cast<double>(0.1f)},
        {L"HLG", L"NITS", 1000, 1.0},
        {L"PQ", L"nits", 940, 1.0},
        {L"PQ", L"", 64, 0.0},
        {L"HLG", L"CODE", 940, 1.0},
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(10, c.transfer, L"BT.2020", false, false);
        info.thresholdUnit = c.unit;
        info.thresholdLevel = c.level;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        EXPECT_EQ(meter.thresholdLuminance, c.expected) << c.level;
    }
}

TEST(Configuration, LevelFieldsWrittenBack) {
    const double untouched = 123.5;
    struct Case {
        const wchar_t* levelUnit;
        bool percentiles;
        int levels[3];
        double expected[3];
    };
    CHDR_Measurements probe;
    HDR_Info probeInfo = makeInfo(10, L"PQ", L"BT.2020", false, false);
    ASSERT_TRUE(probe.InitializeMeasurements(probeInfo));
    const double code512Nits = static_cast<double>(probe.eotfLUT[512]) * 10000.0;
    const Case cases[] = {
        {L"NITS", true, {4000, -1, 1}, {4000.0, -1.0, 1.0}},
        {L"CODE", true, {940, -1, 512}, {10000.0, untouched, code512Nits}},
        {L"NITS", false, {4000, 100, 1}, {untouched, untouched, untouched}},
    };
    for (const Case& c : cases) {
        HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", false, c.percentiles);
        info.levelUnit = c.levelUnit;
        info.topLevel1 = c.levels[0];
        info.topLevel2 = c.levels[1];
        info.bottomLevel = c.levels[2];
        info.topLevel1Nits = info.topLevel2Nits = info.bottomLevelNits = untouched;
        CHDR_Measurements meter;
        ASSERT_TRUE(meter.InitializeMeasurements(info));
        EXPECT_EQ(info.topLevel1Nits, c.expected[0]);
        EXPECT_EQ(info.topLevel2Nits, c.expected[1]);
        EXPECT_EQ(info.bottomLevelNits, c.expected[2]);
    }
}

TEST(Configuration, UnsupportedBitDepthIsRefusedWithoutTables) {
    for (int bitDepth : {0, 8, 11, 14, 17, 24, -3}) {
        HDR_Info info = makeInfo(bitDepth, L"PQ", L"BT.2020", true, true);
        CHDR_Measurements meter;
        EXPECT_FALSE(meter.InitializeMeasurements(info)) << bitDepth;
        EXPECT_EQ(meter.eotfLUT, nullptr);
        EXPECT_EQ(meter.crToR, nullptr);
        EXPECT_EQ(meter.cbCrToG, nullptr);
        EXPECT_EQ(meter.chromaLUTSize, 0);
        EXPECT_TRUE(meter.measurePercentiles);  // settings are taken before the depth is judged
    }
}
