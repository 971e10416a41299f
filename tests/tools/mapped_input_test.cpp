// Frames mapped from a regular file must measure exactly as frames read into memory, leave the file
// untouched, and give way to reading when mapping is the wrong choice.
#include <sys/mman.h>
#include <unistd.h>

#include <tuple>

#include "engine_layout.h"
#include "frame_meter.h"
#include "frame_pipeline.h"
#include "input_file.h"
#include "tool_test_support.h"
#include "y4m_reader.h"

namespace {

using namespace hdrmeter::tool;

constexpr int kWidth = 512;
constexpr int kHeight = 256;
constexpr int kFrames = 5;

// Frame k of a 10-bit clip, as stored: a gradient inside the narrow range, or, when dirty, with one
// luma sample below black in every page of the luma plane, so that clamping must copy each page.
std::vector<std::uint16_t> clipFrame(int k, bool dirty, std::size_t storedSamples)
{
    const std::size_t pixels = std::size_t{kWidth} * kHeight;
    std::vector<std::uint16_t> samples(storedSamples);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>(64 + (i * 7 + static_cast<std::size_t>(k) * 131) % 877);
    if (dirty) {
        for (std::size_t i = 0; i < pixels; i += 2048)
            samples[i] = 3;
    }
    return samples;
}

}  // namespace

TEST(MappedInput, MeasuresLikeMemoryAndFallsBackToReading)
{
    const struct {
        const char* header;  // even length: frames at even offsets, which can be mapped
        bool dirty;
        std::vector<int> mapped;  // per frame: 1 mapped, 0 read, -1 either
    } cases[] = {
        {"YUV4MPEG2 W512 H256 F25:1 C422p10\n", false, {1, 1, 1, 1, 1}},
        // The first frame copies a page in two; the second may have been mapped while it was measured.
        {"YUV4MPEG2 W512 H256 F25:1 C422p10\n", true, {1, -1, 0, 0, 0}},
        {"YUV4MPEG2 W512 H256 F25:1 A1:1 C422p10\n", false, {0, 0, 0, 0, 0}},
        // 4:2:0: the luma is mapped, the chroma read and converted.
        {"YUV4MPEG2 W512 H256 F25:1 C420p10\n", false, {1, 1, 1, 1, 1}},
        {"YUV4MPEG2 W512 H256 F25:1 C420p10\n", true, {1, -1, 0, 0, 0}},
    };
    MeasureSettings settings;
    settings.taskCount = 3;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.header) + (c.dirty ? " dirty" : " clean"));
        const VideoFormat format = parseY4mHeader(std::string(c.header, std::strlen(c.header) - 1)).format;
        std::string bytes = c.header;
        for (int k = 0; k < kFrames; ++k)
            bytes += "FRAME\n" + littleEndianBytes(clipFrame(k, c.dirty, format.frameSamples()));
        MemoryStream file(bytes, true);
        InputFile input(file.file, "clip.y4m");
        Y4mReader reader(input);
        FrameMeter meter(reader.format(), settings);
        CHDR_Measurements engine;
        HDR_Info info = hdrInfoFor(settings, 10);
        ASSERT_TRUE(engine.InitializeMeasurements(info));

        FramePipeline pipeline(reader);
        std::vector<int> mapped;
        while (EngineFrame* frame = pipeline.next()) {
            const int frameMapped = frame->mapping ? 1 : 0;
            const std::size_t index = mapped.size();
            mapped.push_back(index < c.mapped.size() && c.mapped[index] < 0 ? -1 : frameMapped);
            const FrameMeasurement measured = meter.measure(*frame);
            pipeline.recycle(frame);
            std::vector<std::uint16_t> copy = clipFrame(static_cast<int>(measured.frame), c.dirty, format.frameSamples());
            expandToEngineLayout(format, copy);
            auto* samples = reinterpret_cast<unsigned char*>(copy.data());
            const auto expected = engine.HDR_Measurements(YCbCr422_A, kWidth, kHeight, samples, samples, 3);
            EXPECT_TRUE(sameBits(measured.averageLightNits, std::get<0>(expected)));
            EXPECT_TRUE(sameBits(measured.largestLightNits, std::get<1>(expected)));
            EXPECT_TRUE(sameBits(measured.aboveThresholdPercent, std::get<2>(expected)));
            EXPECT_TRUE(sameBits(measured.top1Nits, std::get<3>(expected)));
            EXPECT_TRUE(sameBits(measured.bottomNits, std::get<5>(expected)));
        }
        EXPECT_EQ(pipeline.endResult().status, ReadResult::Status::EndOfStream);
        EXPECT_EQ(mapped, c.mapped);

        std::string after(bytes.size(), '\0');
        ASSERT_EQ(pread(fileno(file.file), after.data(), after.size(), 0), static_cast<ssize_t>(after.size()));
        EXPECT_TRUE(after == bytes) << "the input file was written";
    }
}

TEST(MappedInput, FileCutShortUnderAMeasuredFrameLeavesZerosNotACrash)
{
    const long page = sysconf(_SC_PAGESIZE);
    MemoryStream file(std::string(static_cast<std::size_t>(3 * page), '\x7f'), true);
    const int descriptor = fileno(file.file);
    MappedFrame frame(descriptor, 2, static_cast<std::size_t>(3 * page - 2));
    frame.populate({});
    const auto* bytes = reinterpret_cast<const volatile unsigned char*>(frame.samples());
    {
        MappedFrame::MeasureGuard guard(frame);
        EXPECT_EQ(bytes[page], 0x7f);
        ASSERT_EQ(ftruncate(descriptor, page), 0);
        EXPECT_EQ(bytes[2 * page], 0);  // beyond the new end of the file
        EXPECT_TRUE(guard.inputShrank());
    }
    MappedFrame::MeasureGuard nextGuard(frame);
    EXPECT_FALSE(nextGuard.inputShrank());
}
