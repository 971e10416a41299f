#include <cstring>

#include "program_support.h"

using namespace hdrmeter::tool;

namespace {

constexpr int kFrameCount = 3;
constexpr int kTaskCount = 2;

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool ffmpegAvailable()
{
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

}  // namespace

// ffmpeg writes the stream as any user's pipe would; the same frames written raw are measured by the
// library directly and every per-frame number must match to the bit. ffmpeg's YUV4MPEG2 writer cuts the
// chroma rows of odd-width subsampled frames half a sample short, so those sizes go through a raw pipe.
TEST(FfmpegClient, PipedStreamsGiveTheLibrarysOwnNumbersForEveryFrame)
{
    ASSERT_TRUE(ffmpegAvailable()) << "ffmpeg is needed for this test: run scripts/deps.sh test";
    struct Case {
        const char* pixelFormat;
        int bitDepth;
        ChromaSubsampling subsampling;
    };
    const Case formats[] = {
        {"yuv420p10le", 10, ChromaSubsampling::Yuv420}, {"yuv422p10le", 10, ChromaSubsampling::Yuv422},
        {"yuv444p10le", 10, ChromaSubsampling::Yuv444}, {"yuv420p12le", 12, ChromaSubsampling::Yuv420},
        {"yuv422p12le", 12, ChromaSubsampling::Yuv422}, {"yuv444p12le", 12, ChromaSubsampling::Yuv444},
    };
    // An even size, and an odd one whose chroma pairs would straddle rows if taken the engine's linear way.
    const std::pair<int, int> sizes[] = {{64, 36}, {33, 17}};
    ScratchDirectory scratch;
    for (const auto& [width, height] : sizes) {
        for (const Case& c : formats) {
            const bool rawPipe = width % 2 == 1 && c.subsampling != ChromaSubsampling::Yuv444;
            const std::string label = std::string(c.pixelFormat) + " " + std::to_string(width) + "x" +
                                      std::to_string(height) + (rawPipe ? " raw" : " y4m");
            SCOPED_TRACE(label);
            const std::string size = std::to_string(width) + "x" + std::to_string(height);
            const std::string source = "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -vf scale=" +
                                       std::to_string(width) + ":" + std::to_string(height) + " -frames:v " +
                                       std::to_string(kFrameCount) + " -pix_fmt " + c.pixelFormat + " -strict -1";
            const std::string csv = scratch.file("frames.csv");
            const std::string raw = scratch.file("frames.yuv");
            const std::string meter = std::string("'") + HDRMETER_PROGRAM + "' --tasks " + std::to_string(kTaskCount) +
                                      " --csv '" + csv + "'";
            const ProgramRun run =
                rawPipe ? runShell(scratch, source + " -f rawvideo - | " + meter + " --size " + size + " --pix-fmt " +
                                                c.pixelFormat + " -")
                        : runShell(scratch, source + " -f yuv4mpegpipe - | " + meter);
            ASSERT_EQ(run.exitStatus, 0) << run.err;
            ASSERT_EQ(runShell(scratch, source + " -y -f rawvideo '" + raw + "'").exitStatus, 0);

            VideoFormat format;
            format.width = width;
            format.height = height;
            format.bitDepth = c.bitDepth;
            format.subsampling = c.subsampling;
            const std::string rawBytes = readWholeFile(raw);
            ASSERT_EQ(rawBytes.size(), kFrameCount * format.frameBytes());
            const auto rows = readCsv(csv);
            ASSERT_EQ(rows.size(), static_cast<std::size_t>(kFrameCount));
            EXPECT_NE(run.out.find("frames measured       " + std::to_string(kFrameCount) + "\n"), std::string::npos);
            for (int frame = 0; frame < kFrameCount; ++frame) {
                std::vector<std::uint16_t> stored(format.frameSamples());
                std::memcpy(stored.data(), rawBytes.data() + frame * format.frameBytes(), format.frameBytes());
                const std::array<double, 6> expected = measureDirectly(stored, format, kTaskCount);
                EXPECT_EQ(rows[frame].at("frame"), std::to_string(frame));
                for (std::size_t i = 0; i < expected.size(); ++i)
                    EXPECT_TRUE(sameBits(std::strtod(rows[frame].at(kResultColumns[i]).c_str(), nullptr), expected[i]))
                        << "frame " << frame << " " << kResultColumns[i] << ": " << rows[frame].at(kResultColumns[i])
                        << " vs " << expected[i];
            }
        }
    }
}

TEST(FfmpegClient, OddWidthSubsampledStreamsAreRefusedWithTheWayAround)
{
    ASSERT_TRUE(ffmpegAvailable()) << "ffmpeg is needed for this test: run scripts/deps.sh test";
    ScratchDirectory scratch;
    const ProgramRun run = runShell(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 "
                                             "-vf scale=33:17 -frames:v 2 -pix_fmt yuv422p10le -strict -1 -f "
                                             "yuv4mpegpipe - 2>/dev/null | '" +
                                                 std::string(HDRMETER_PROGRAM) + "'");
    EXPECT_EQ(run.exitStatus, 1);
    ASSERT_EQ(linesOf(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("--size 33x17 --pix-fmt yuv422p10le"), std::string::npos) << run.err;
}
