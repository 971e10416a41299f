#include "program_support.h"

using namespace hdrmeter::tool;

// ffmpeg writes the stream as any user's pipe would, and into a file, which the tool maps instead of
// reading; the same frames written raw are measured by the library directly and every per-frame number
// must match to the bit. ffmpeg's YUV4MPEG2 writer cuts the chroma rows of odd-width subsampled frames
// half a sample short, so those sizes go through raw video.
TEST(FfmpegClient, PipedAndFileStreamsGiveTheLibrarysOwnNumbersForEveryFrame)
{
    ASSERT_EQ(std::system("ffmpeg -version >/dev/null 2>&1"), 0) << "ffmpeg is needed: run scripts/deps.sh test";
    const int frameCount = 3, taskCount = 2;
    const std::pair<const char*, VideoFormat> formats[] = {
        {"yuv420p10le", {0, 0, 10, ChromaSubsampling::Yuv420}}, {"yuv422p10le", {0, 0, 10, ChromaSubsampling::Yuv422}},
        {"yuv444p10le", {0, 0, 10, ChromaSubsampling::Yuv444}}, {"yuv420p12le", {0, 0, 12, ChromaSubsampling::Yuv420}},
        {"yuv422p12le", {0, 0, 12, ChromaSubsampling::Yuv422}}, {"yuv444p12le", {0, 0, 12, ChromaSubsampling::Yuv444}},
    };
    ScratchDirectory scratch;
    const std::string csv = scratch.file("frames.csv"), raw = scratch.file("frames.yuv"),
                      stream = scratch.file("frames.stream");
    // An even size, and an odd one whose chroma pairs would straddle rows if taken the engine's linear way.
    for (const auto& [width, height] : {std::pair{64, 36}, std::pair{33, 17}}) {
        for (auto [pixelFormat, format] : formats) {
            format.width = width;
            format.height = height;
            const bool rawPipe = width % 2 == 1 && format.subsampling != ChromaSubsampling::Yuv444;
            const std::string size = std::to_string(width) + "x" + std::to_string(height);
            SCOPED_TRACE(std::string(pixelFormat) + " " + size + (rawPipe ? " raw" : " y4m"));
            const std::string source = "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -vf scale=" +
                                       std::to_string(width) + ":" + std::to_string(height) + " -frames:v " +
                                       std::to_string(frameCount) + " -pix_fmt " + pixelFormat + " -strict -1";
            const std::string meter =
                std::string("'") + HDRMETER_PROGRAM + "' --tasks " + std::to_string(taskCount) + " --csv '" + csv + "'";
            const std::string rawOptions = rawPipe ? " --size " + size + " --pix-fmt " + pixelFormat : "";
            const std::string muxer = rawPipe ? " -f rawvideo " : " -f yuv4mpegpipe ";
            ASSERT_EQ(runShell(scratch, source + muxer + "-y '" + stream + "'").exitStatus, 0);
            ASSERT_EQ(runShell(scratch, source + " -y -f rawvideo '" + raw + "'").exitStatus, 0);
            const std::string rawBytes = readWholeFile(raw);
            ASSERT_EQ(rawBytes.size(), frameCount * format.frameBytes());
            for (const std::string& input : {source + muxer + "- | " + meter + rawOptions + " -",
                                             meter + rawOptions + " '" + stream + "'"}) {
                SCOPED_TRACE(input);
                const ProgramRun run = runShell(scratch, input);
                ASSERT_EQ(run.exitStatus, 0) << run.err;
                const auto rows = readCsv(csv);
                ASSERT_EQ(rows.size(), static_cast<std::size_t>(frameCount));
                EXPECT_NE(run.out.find("frames measured       " + std::to_string(frameCount) + "\n"), std::string::npos);
                for (int frame = 0; frame < frameCount; ++frame) {
                    std::vector<std::uint16_t> stored(format.frameSamples());
                    std::memcpy(stored.data(), rawBytes.data() + frame * format.frameBytes(), format.frameBytes());
                    EXPECT_EQ(rows[frame].at("frame"), std::to_string(frame));
                    expectRowMatches(rows[frame], measureDirectly(stored, format, taskCount));
                }
            }
        }
    }
}
