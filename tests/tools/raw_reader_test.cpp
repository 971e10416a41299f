#include <gtest/gtest.h>

#include "memory_stream.h"
#include "raw_reader.h"
#include "tool_errors.h"

using namespace hdrmeter::tool;

namespace {

VideoFormat tiny420()
{
    VideoFormat format;
    format.width = 3;
    format.height = 3;
    format.bitDepth = 12;
    format.subsampling = ChromaSubsampling::Yuv420;
    return format;  // 9 luma + 2 x 4 chroma words: 34 bytes
}

std::vector<std::uint16_t> countingSamples(std::size_t count, std::uint16_t first)
{
    std::vector<std::uint16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::uint16_t>(first + i);
    return samples;
}

}  // namespace

TEST(RawReader, ReadsWholeFramesThenReportsAShortLastOneFromAPipe)
{
    const VideoFormat format = tiny420();
    ASSERT_EQ(format.frameBytes(), 34u);
    const std::string bytes = littleEndianBytes(countingSamples(17, 100)) + littleEndianBytes(countingSamples(17, 4000)) +
                              std::string(21, '\0');
    MemoryStream memory(bytes);
    InputFile input(memory.file, "pipe");
    RawReader reader(input, format, "yuv420p12le");
    EXPECT_FALSE(reader.framesExpected().has_value());
    std::vector<std::uint16_t> planes;
    ASSERT_EQ(reader.readFrame(planes).status, ReadResult::Status::Frame);
    EXPECT_EQ(planes, countingSamples(17, 100));
    ASSERT_EQ(reader.readFrame(planes).status, ReadResult::Status::Frame);
    EXPECT_EQ(planes, countingSamples(17, 4000));
    ReadResult end = reader.readFrame(planes);
    EXPECT_EQ(end.status, ReadResult::Status::Truncated);
    EXPECT_NE(end.problem.find("frame 2: 13 of its 34 bytes are missing"), std::string::npos) << end.problem;
}

TEST(RawReader, AFileOfWholeFramesIsCountedAndAnyOtherSizeRefused)
{
    const VideoFormat format = tiny420();
    {
        MemoryStream memory(std::string(3 * 34, '\0'), true);
        InputFile input(memory.file, "clip.yuv");
        RawReader reader(input, format, "yuv420p12le");
        EXPECT_EQ(reader.framesExpected(), 3);
    }
    MemoryStream memory(std::string(3 * 34 + 5, '\0'), true);
    InputFile input(memory.file, "clip.yuv");
    try {
        RawReader reader(input, format, "yuv420p12le");
        ADD_FAILURE() << "accepted";
    } catch (const InputError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("107 bytes, not a whole number of 34-byte frames"), std::string::npos) << message;
        EXPECT_NE(message.find("3 frames and 5 bytes over"), std::string::npos) << message;
        EXPECT_NE(message.find("check --size and --pix-fmt"), std::string::npos) << message;
    }
}
