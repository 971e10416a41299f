#include <gtest/gtest.h>

#include "memory_stream.h"
#include "tool_errors.h"
#include "y4m_reader.h"

using namespace hdrmeter::tool;

namespace {

std::string errorOf(const std::string& headerLine)
{
    try {
        parseY4mHeader(headerLine);
    } catch (const InputError& error) {
        return error.what();
    }
    return "(accepted)";
}

// A 4x2 10-bit 4:2:2 frame: 8 luma, 4 Cb and 4 Cr words, each distinct so misplaced bytes show.
std::vector<std::uint16_t> smallFrame(std::uint16_t first)
{
    std::vector<std::uint16_t> samples(16);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>(first + 0x101 * i);
    return samples;
}

const std::string kSmallHeader = "YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C422p10 XYSCSS=422P10\n";
constexpr std::size_t kSmallFrameBytes = 32;

}  // namespace

TEST(Y4mHeader, AcceptsWhatFfmpegAndOtherWritersPut)
{
    struct Case {
        std::string line;
        int width, height, bitDepth;
        ChromaSubsampling subsampling;
        int rateNumerator, rateDenominator;
    };
    const Case cases[] = {
        {"YUV4MPEG2 W1920 H1080 F25:1 Ip A1:1 C422p10 XYSCSS=422P10 XCOLORRANGE=LIMITED", 1920, 1080, 10,
         ChromaSubsampling::Yuv422, 25, 1},
        {"YUV4MPEG2 W34 H17 F30000:1001 It A272:297 C420p12 XYSCSS=420P12", 34, 17, 12, ChromaSubsampling::Yuv420,
         30000, 1001},
        {"YUV4MPEG2 W33 H17 C444p12", 33, 17, 12, ChromaSubsampling::Yuv444, 0, 0},
        {"YUV4MPEG2 C444p16 H3 W5", 5, 3, 16, ChromaSubsampling::Yuv444, 0, 0},
        {"YUV4MPEG2 W16384 H16384 F0:0 I? A0:0 C420p10 Xanything=goes X", 16384, 16384, 10, ChromaSubsampling::Yuv420,
         0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Y4mHeader header = parseY4mHeader(c.line);
        EXPECT_EQ(header.format.width, c.width);
        EXPECT_EQ(header.format.height, c.height);
        EXPECT_EQ(header.format.bitDepth, c.bitDepth);
        EXPECT_EQ(header.format.subsampling, c.subsampling);
        EXPECT_EQ(header.format.frameRateNumerator, c.rateNumerator);
        EXPECT_EQ(header.format.frameRateDenominator, c.rateDenominator);
        EXPECT_TRUE(header.warnings.empty());
    }
    EXPECT_EQ(parseY4mHeader("YUV4MPEG2 W4 H4 C422p10 XCOLORRANGE=FULL").warnings.size(), 1u);
}

TEST(Y4mHeader, RefusalNamesTheOffendingTagOnOneLine)
{
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"YUV4MPEG2 W4 H4 C422p10 Q5", {"'Q5'"}},
        {"YUV4MPEG2 W19x0 H4 C422p10", {"'W19x0'"}},
        {"YUV4MPEG2 W0 H4 C422p10", {"'W0'", "at least 1"}},
        {"YUV4MPEG2 W16385 H4 C422p10", {"'W16385'", "16384"}},
        {"YUV4MPEG2 W4 H99999999999 C422p10", {"'H99999999999'"}},
        {"YUV4MPEG2 W4 H4 F25 C422p10", {"'F25'"}},
        {"YUV4MPEG2 W4 H4 Ix C422p10", {"'Ix'"}},
        {"YUV4MPEG2 W4 H4 A1-1 C422p10", {"'A1-1'"}},
        {"YUV4MPEG2 W4 W4 H4 C422p10", {"'W4'", "repeats"}},
        {"YUV4MPEG2 H4 C422p10", {"no W tag"}},
        {"YUV4MPEG2 W4 C422p10", {"no H tag"}},
        {"YUV4MPEG2 W4 H4", {"no C tag", "-pix_fmt yuv420p10le"}},
        {"YUV4MPEG2 W4 H4 C420jpeg", {"8-bit", "C420jpeg", "-pix_fmt yuv420p10le -strict -1"}},
        {"YUV4MPEG2 W4 H4 C444", {"8-bit", "-pix_fmt yuv444p10le"}},
        {"YUV4MPEG2 W4 H4 Cmono10", {"monochrome", "-pix_fmt yuv422p10le"}},
        {"YUV4MPEG2 W4 H4 C420p9", {"9-bit", "-pix_fmt yuv420p10le"}},
        {"YUV4MPEG2 W4 H4 C422p14", {"14-bit", "-pix_fmt yuv422p16le"}},
        {"YUV4MPEG2 W4 H4 C422p10x", {"'C422p10x'"}},
        {"YUV4MPEG2 W33 H17 C420p10", {"odd width (W33)", "--size 33x17 --pix-fmt yuv420p10le"}},
        {"YUV4MPEG2 W33 H17 C422p12", {"odd width (W33)", "--pix-fmt yuv422p12le"}},
        {"YUV4MPEG2  W4 H4 C422p10", {"empty tag"}},
        {"YUV4MPEG2 W4 H4 C422p10 ", {"empty tag"}},
        {"YUV4MPEG3 W4 H4 C422p10", {"not a YUV4MPEG2 stream", "--size"}},
        {"\x89PNG\r", {"not a YUV4MPEG2 stream"}},
    };
    for (const auto& [line, expectedParts] : cases) {
        SCOPED_TRACE(line);
        const std::string message = errorOf(line);
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        for (const std::string& part : expectedParts)
            EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

TEST(Y4mReader, ReadsFramesWithAndWithoutParametersInByteOrder)
{
    const std::string stream = kSmallHeader + "FRAME\n" + littleEndianBytes(smallFrame(0x0102)) +
                               "FRAME Ixyz XSOMETHING=1\n" + littleEndianBytes(smallFrame(0x0203)) + "FRAME\n" +
                               littleEndianBytes(smallFrame(0x0304));
    MemoryStream memory(stream, true);
    InputFile input(memory.file, "test");
    Y4mReader reader(input);
    EXPECT_EQ(reader.format().frameBytes(), kSmallFrameBytes);
    EXPECT_EQ(reader.framesExpected(), 3);
    std::vector<std::uint16_t> planes;
    for (std::uint16_t first : {0x0102, 0x0203, 0x0304}) {
        ReadResult result = reader.readFrame(planes);
        ASSERT_EQ(result.status, ReadResult::Status::Frame) << result.problem;
        EXPECT_EQ(planes, smallFrame(first));
    }
    EXPECT_EQ(reader.readFrame(planes).status, ReadResult::Status::EndOfStream);
}

TEST(Y4mReader, ReportsHowTheStreamEndsAfterAWholeFrame)
{
    const std::string frameBytes = littleEndianBytes(smallFrame(7));
    struct Case {
        std::string tail;
        ReadResult::Status status;
        std::string problemPart;
    };
    const Case cases[] = {
        {"", ReadResult::Status::EndOfStream, ""},
        {"FRA", ReadResult::Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME", ReadResult::Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME Ip", ReadResult::Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME\n", ReadResult::Status::Truncated, "frame 1: 32 of its 32 bytes are missing"},
        {"FRAME\n" + frameBytes.substr(0, 10), ReadResult::Status::Truncated, "frame 1: 22 of its 32 bytes"},
        {"FRAME\n" + frameBytes.substr(0, 31), ReadResult::Status::Truncated, "frame 1: 1 of its 32 bytes"},
        {"GARBAGE", ReadResult::Status::Corrupt, "frame 1 does not start with FRAME"},
        {"FRAMEX\n", ReadResult::Status::Corrupt, "FRAME line of frame 1 is malformed"},
        {"FRAME " + std::string(5000, 'x'), ReadResult::Status::Corrupt, "longer than 4096 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail.substr(0, 12));
        MemoryStream memory(kSmallHeader + "FRAME\n" + frameBytes + c.tail);
        InputFile input(memory.file, "test");
        Y4mReader reader(input);
        std::vector<std::uint16_t> planes;
        ASSERT_EQ(reader.readFrame(planes).status, ReadResult::Status::Frame);
        ReadResult end = reader.readFrame(planes);
        EXPECT_EQ(end.status, c.status);
        EXPECT_NE(end.problem.find(c.problemPart), std::string::npos) << end.problem;
        EXPECT_EQ(end.problem.find('\n'), std::string::npos);
    }
}

TEST(Y4mReader, RefusesInputThatIsNoStreamAtAll)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "is empty"},
        {"YUV4MPEG2 W4 H2 C422p10", "ends inside the YUV4MPEG2 header"},
        {"YUV4MPEG2 W4 H2 C422p8\n", "8-bit"},
        {std::string(10000, 'Y'), "longer than 4096 bytes"},
    };
    for (const auto& [bytes, part] : cases) {
        SCOPED_TRACE(part);
        MemoryStream memory(bytes);
        InputFile input(memory.file, "test");
        try {
            Y4mReader reader(input);
            ADD_FAILURE() << "accepted";
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
        }
    }
}

TEST(Y4mReader, AHugeFrameSizeCostsOnlyTheBytesThatArrive)
{
    // The largest frame the header may claim is 1.5 GiB; only a few hundred bytes follow it.
    MemoryStream memory("YUV4MPEG2 W16384 H16384 C444p16\nFRAME\n" + std::string(300, '\x01'));
    InputFile input(memory.file, "test");
    Y4mReader reader(input);
    std::vector<std::uint16_t> planes;
    ReadResult result = reader.readFrame(planes);
    EXPECT_EQ(result.status, ReadResult::Status::Truncated);
    const std::size_t claimedBytes = std::size_t{16384} * 16384 * 3 * 2;
    EXPECT_NE(result.problem.find(std::to_string(claimedBytes - 300) + " of its " + std::to_string(claimedBytes)),
              std::string::npos)
        << result.problem;
    EXPECT_LE(planes.capacity() * sizeof(std::uint16_t), std::size_t{16} << 20);
}
