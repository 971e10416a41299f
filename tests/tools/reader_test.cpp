#include <tuple>

#include "raw_reader.h"
#include "tool_errors.h"
#include "tool_test_support.h"
#include "y4m_reader.h"

using namespace hdrmeter::tool;

namespace {

// Distinct words, so misplaced bytes show; by default the 16 words of kSmallHeader's 4x2 4:2:2 frame.
std::string smallFrame(std::uint16_t first, std::size_t words = 16, int step = 0x101)
{
    std::vector<std::uint16_t> samples(words);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>(first + step * i);
    return littleEndianBytes(samples);
}

const std::string kSmallHeader = "YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C422p10 XYSCSS=422P10\n";

// The InputError message of whatever the call throws, or "(accepted)".
template <typename Call>
std::string refusalOf(Call call)
{
    try {
        call();
    } catch (const InputError& error) {
        return error.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(Y4mHeader, AcceptsWhatFfmpegAndOtherWritersPutAndRefusesNamingTheTag)
{
    const std::pair<std::string, VideoFormat> cases[] = {
        {"YUV4MPEG2 W1920 H1080 F25:1 Ip A1:1 C422p10 XYSCSS=422P10 XCOLORRANGE=LIMITED",
         {1920, 1080, 10, ChromaSubsampling::Yuv422, 25, 1}},
        {"YUV4MPEG2 W34 H17 F30000:1001 It A272:297 C420p12 XYSCSS=420P12",
         {34, 17, 12, ChromaSubsampling::Yuv420, 30000, 1001}},
        {"YUV4MPEG2 W33 H17 C444p12", {33, 17, 12, ChromaSubsampling::Yuv444}},
        {"YUV4MPEG2 C444p16 H3 W5", {5, 3, 16, ChromaSubsampling::Yuv444}},
        {"YUV4MPEG2 W16384 H16384 F0:0 I? A0:0 C420p10 Xanything=goes X",
         {16384, 16384, 10, ChromaSubsampling::Yuv420}},
    };
    for (const auto& [line, format] : cases) {
        const Y4mHeader header = parseY4mHeader(line);
        EXPECT_EQ(describeFormat(header.format), describeFormat(format)) << line;
        EXPECT_EQ(header.format.frameRateNumerator, format.frameRateNumerator) << line;
        EXPECT_EQ(header.format.frameRateDenominator, format.frameRateDenominator) << line;
        EXPECT_TRUE(header.warnings.empty()) << line;
    }
    EXPECT_EQ(parseY4mHeader("YUV4MPEG2 W4 H4 C422p10 XCOLORRANGE=FULL").warnings.size(), 1u);

    const std::pair<std::string, std::string> refusals[] = {
        {"YUV4MPEG2 W4 H4 C422p10 Q5", "'Q5'"},
        {"YUV4MPEG2 W19x0 H4 C422p10", "'W19x0'"},
        {"YUV4MPEG2 W0 H4 C422p10", "'W0'"},
        {"YUV4MPEG2 W16385 H4 C422p10", "'W16385'"},
        {"YUV4MPEG2 W4 H99999999999 C422p10", "'H99999999999'"},
        {"YUV4MPEG2 W4 H4", "no C tag"},
        {"YUV4MPEG2 W4 H4 C420jpeg", "8-bit"},
        {"YUV4MPEG2 W33 H17 C420p10", "--size 33x17 --pix-fmt yuv420p10le"},
        {"\x89PNG\r", "not a YUV4MPEG2 stream"},
    };
    for (const auto& [line, part] : refusals) {
        const std::string message = refusalOf([&] { parseY4mHeader(line); });
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_NE(message.find(part), std::string::npos) << line << ": " << message;
    }
}

TEST(Y4mReader, ReadsFramesWithAndWithoutParametersThenReportsHowTheStreamEnds)
{
    MemoryStream whole(kSmallHeader + "FRAME\n" + smallFrame(0x0102) + "FRAME Ixyz XSOMETHING=1\n" +
                           smallFrame(0x0203) + "FRAME\n" + smallFrame(0x0304),
                       true);
    InputFile wholeInput(whole.file, "test");
    Y4mReader wholeReader(wholeInput);
    EXPECT_EQ(wholeReader.format().frameBytes(), 32u);
    EXPECT_EQ(wholeReader.framesExpected(), 3);
    std::vector<std::uint16_t> planes;
    for (std::uint16_t first : {0x0102, 0x0203, 0x0304}) {
        ASSERT_EQ(wholeReader.readFrame(planes).status, ReadResult::Status::Frame);
        EXPECT_EQ(littleEndianBytes(planes), smallFrame(first));
    }
    EXPECT_EQ(wholeReader.readFrame(planes).status, ReadResult::Status::EndOfStream);

    using Status = ReadResult::Status;
    const std::string frameBytes = smallFrame(7);
    const std::tuple<std::string, Status, std::string> tails[] = {
        {"", Status::EndOfStream, ""},
        {"FRA", Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME", Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME Ip", Status::Truncated, "inside the FRAME line of frame 1"},
        {"FRAME\n", Status::Truncated, "frame 1: 32 of its 32 bytes are missing"},
        {"FRAME\n" + frameBytes.substr(0, 10), Status::Truncated, "frame 1: 22 of its 32 bytes"},
        {"FRAME\n" + frameBytes.substr(0, 31), Status::Truncated, "frame 1: 1 of its 32 bytes"},
        {"GARBAGE", Status::Corrupt, "frame 1 does not start with FRAME"},
        {"FRAMEX\n", Status::Corrupt, "FRAME line of frame 1 is malformed"},
        {"FRAME " + std::string(5000, 'x'), Status::Corrupt, "longer than 4096 bytes"},
    };
    for (const auto& [tail, status, part] : tails) {
        MemoryStream memory(kSmallHeader + "FRAME\n" + frameBytes + tail);
        InputFile input(memory.file, "test");
        Y4mReader reader(input);
        ASSERT_EQ(reader.readFrame(planes).status, Status::Frame);
        const ReadResult end = reader.readFrame(planes);
        EXPECT_EQ(end.status, status) << tail.substr(0, 12);
        EXPECT_NE(end.problem.find(part), std::string::npos) << end.problem;
        EXPECT_EQ(end.problem.find('\n'), std::string::npos);
    }
    const std::pair<std::string, std::string> notStreams[] = {
        {"YUV4MPEG2 W4 H2 C422p10", "ends inside the YUV4MPEG2 header"},
        {std::string(10000, 'Y'), "longer than 4096 bytes"},
    };
    for (const auto& [bytes, part] : notStreams) {
        MemoryStream memory(bytes);
        InputFile input(memory.file, "test");
        const std::string message = refusalOf([&] { Y4mReader reader(input); });
        EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

TEST(Y4mReader, AHugeFrameSizeCostsOnlyTheBytesThatArrive)
{
    // The largest frame the header may claim is 1.5 GiB; only a few hundred bytes follow it.
    MemoryStream memory("YUV4MPEG2 W16384 H16384 C444p16\nFRAME\n" + std::string(300, '\x01'));
    InputFile input(memory.file, "test");
    Y4mReader reader(input);
    std::vector<std::uint16_t> planes;
    const ReadResult result = reader.readFrame(planes);
    EXPECT_EQ(result.status, ReadResult::Status::Truncated);
    const std::size_t claimedBytes = std::size_t{16384} * 16384 * 3 * 2;
    EXPECT_NE(result.problem.find(std::to_string(claimedBytes - 300) + " of its " + std::to_string(claimedBytes)),
              std::string::npos)
        << result.problem;
    EXPECT_LE(planes.capacity() * sizeof(std::uint16_t), std::size_t{16} << 20);
}

TEST(RawReader, ReadsWholeFramesCountsThemInAFileAndReportsAShortOne)
{
    const VideoFormat format{3, 3, 12, ChromaSubsampling::Yuv420};  // 9 luma + 2 x 4 chroma words
    ASSERT_EQ(format.frameBytes(), 34u);
    MemoryStream pipe(smallFrame(100, 17, 1) + smallFrame(4000, 17, 1) + std::string(21, '\0'));
    InputFile pipeInput(pipe.file, "pipe");
    RawReader reader(pipeInput, format, "yuv420p12le");
    EXPECT_FALSE(reader.framesExpected().has_value());
    std::vector<std::uint16_t> planes;
    for (std::uint16_t first : {100, 4000}) {
        ASSERT_EQ(reader.readFrame(planes).status, ReadResult::Status::Frame);
        EXPECT_EQ(littleEndianBytes(planes), smallFrame(first, 17, 1));
    }
    const ReadResult end = reader.readFrame(planes);
    EXPECT_EQ(end.status, ReadResult::Status::Truncated);
    EXPECT_NE(end.problem.find("frame 2: 13 of its 34 bytes are missing"), std::string::npos) << end.problem;

    MemoryStream wholeFrames(std::string(3 * 34, '\0'), true);
    InputFile wholeInput(wholeFrames.file, "clip.yuv");
    EXPECT_EQ(RawReader(wholeInput, format, "yuv420p12le").framesExpected(), 3);
    MemoryStream overhang(std::string(3 * 34 + 5, '\0'), true);
    InputFile overhangInput(overhang.file, "clip.yuv");
    const std::string message = refusalOf([&] { RawReader(overhangInput, format, "yuv420p12le"); });
    EXPECT_NE(message.find("107 bytes, not a whole number of 34-byte frames"), std::string::npos) << message;
    EXPECT_NE(message.find("3 frames and 5 bytes over"), std::string::npos) << message;
}
