#include "frame_builder.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TestFrame rampFrame(InputPixelFormat format, int width, int height, int seed) {
    TestFrame frame(format, width, height);
    for (size_t i = 0; i < frame.samples.size(); ++i) {
        frame.samples[i] = static_cast<uint16_t>((i * 2654435761u + seed * 40503u) % 1024);
    }
    return frame;
}

}  // namespace

TEST(ObjectLifetime, DestroyKeepsSettingsAndBufferAndAllowsReconfiguration) {
    HDR_Info info = makeInfo(12, L"HLG", L"BT.2020", true, true);
    CHDR_Measurements meter;
    EXPECT_TRUE(meter.Destroy_LUT());  // on a new object: nothing to release
    EXPECT_EQ(meter.peakLuminance, 1.0f);
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    TestFrame frame = rampFrame(YCbCr444_A, 8, 4, 1);
    frame.measure(meter, 2);
    double* buffer = meter.pixelLuminance;
    ASSERT_NE(buffer, nullptr);

    EXPECT_TRUE(meter.Destroy_LUT());
    EXPECT_TRUE(meter.Destroy_LUT());
    EXPECT_EQ(meter.eotfLUT, nullptr);
    EXPECT_EQ(meter.cbCrToG, nullptr);
    EXPECT_EQ(meter.pixelLuminance, buffer);
    EXPECT_EQ(meter.lumaMax, 3760);
    EXPECT_EQ(meter.chromaLUTSize, 4096);
    EXPECT_EQ(meter.peakLuminance, 1000.0f);
    EXPECT_TRUE(meter.measurePercentiles);

    HDR_Info tenBit = makeInfo(10, L"PQ", L"BT.709", true, true);
    ASSERT_TRUE(meter.InitializeMeasurements(tenBit));
    EXPECT_EQ(meter.lumaMax, 940);
    EXPECT_EQ(meter.pixelLuminance, buffer);  // large enough already, so reused
    // Configuring again without Destroy_LUT replaces the tables; the sanitizer build checks nothing leaks.
    ASSERT_TRUE(meter.InitializeMeasurements(info));
    EXPECT_EQ(meter.chromaLUTSize, 4096);
    EXPECT_EQ(meter.peakLuminance, 1000.0f);
}

TEST(ObjectLifetime, CopiesShareTablesButNotBuffersOrStrings) {
    HDR_Info info = makeInfo(10, L"PQ", L"BT.2020", true, true);
    auto source = std::make_unique<CHDR_Measurements>();
    ASSERT_TRUE(source->InitializeMeasurements(info));
    TestFrame warmUp = rampFrame(YCbCr422_A, 6, 2, 3);
    warmUp.measure(*source, 2);

    CHDR_Measurements copy(*source);
    EXPECT_EQ(copy.eotfLUT, source->eotfLUT);
    EXPECT_EQ(copy.cbCrToG, source->cbCrToG);
    EXPECT_EQ(copy.crToR, source->crToR);
    ASSERT_NE(copy.pixelLuminance, nullptr);
    EXPECT_NE(copy.pixelLuminance, source->pixelLuminance);
    EXPECT_TRUE(std::equal(copy.pixelLuminance, copy.pixelLuminance + 12, source->pixelLuminance));
    copy.thresholdUnit = L"CODE";
    EXPECT_EQ(source->thresholdUnit, L"NITS");

    TestFrame a = rampFrame(YCbCr422_A, 10, 3, 5);
    TestFrame b = a;
    const auto expected = a.measure(*source, 3);
    source->Destroy_LUT();
    source.reset();  // the copy's tables must outlive their first owner
    EXPECT_EQ(b.measure(copy, 3), expected);

    CHDR_Measurements assigned;
    HDR_Info other = makeInfo(12, L"HLG", L"BT.709", false, false);
    ASSERT_TRUE(assigned.InitializeMeasurements(other));
    assigned = copy;
    assigned = assigned;
    EXPECT_EQ(assigned.eotfLUT, copy.eotfLUT);
    EXPECT_EQ(assigned.chromaLUTSize, 1024);
    copy.Destroy_LUT();
    TestFrame c = rampFrame(YCbCr422_A, 10, 3, 5);
    EXPECT_EQ(c.measure(assigned, 3), expected);
}
