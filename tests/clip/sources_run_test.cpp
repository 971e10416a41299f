#include <algorithm>
#include <cstdlib>
#include <optional>

#include "measure_support.h"

using hdrmeter::ChromaLayout;
using hdrmeter::clip::Ending;

namespace {

bool has(const Settings& settings, const std::string& name)
{
    for (const auto& setting : settings)
        if (setting.first == name)
            return true;
    return false;
}

}  // namespace

// A real client: ffmpeg makes files in every codec and container the clip layer is meant for, measure()
// reads each from the file (or standard input), and every frame must be measured, each with the analyzer's
// own numbers on the same decoded frames, which ffmpeg writes out raw for the test. The tags the summary
// names must be the ones written; the luma checks read padded decoder frames, so their figures are checked
// on the raw frames.
TEST(FfmpegClient, FilesInEveryCodecGiveTheAnalyzersNumbersAndTheirTags)
{
    ASSERT_EQ(std::system("ffmpeg -version >/dev/null 2>&1"), 0) << "ffmpeg is needed: run scripts/deps.sh test";
    struct Clip { std::string file, encode, pixelFormat; int width, height; ChromaLayout layout; int bitDepth; Settings settings; bool piped; std::string tags, colour = ""; };
    // Tagged in the filter chain: ffmpeg 7.1 drops -color_primaries and -color_trc given as output options.
    const std::string pq = ",setparams=color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc";
    const std::string hlg = ",setparams=color_primaries=bt2020:color_trc=arib-std-b67:colorspace=bt2020nc";
    const std::string untagged = "PQ (untagged, assumed), BT.2020 (untagged, assumed)", y4m = "-strict -1 -f yuv4mpegpipe";
    const Clip clips[] = {
        {"hevc.mkv", "-c:v libx265 -x265-params 'log-level=error:hdr10=1:max-cll=100,50:master-display=G(13250,34500)"
                     "B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)'",
         "yuv420p10le", 66, 38, ChromaLayout::Yuv420, 10, {{"checks", "true"}}, false, "PQ (tagged), BT.2020 (tagged)", pq},
        {"hevc.mp4", "-c:v libx265 -x265-params log-level=error", "yuv422p10le", 64, 36, ChromaLayout::Yuv422, 10,
         {{"class_parity", "true"}, {"tasks", "2"}}, false, "HLG (tagged), BT.2020 (tagged)", hlg},
        {"av1.mkv", "-c:v libaom-av1 -cpu-used 8 -row-mt 1", "yuv420p10le", 33, 17, ChromaLayout::Yuv420, 10, {}, false,
         "PQ (tagged), BT.2020 (tagged)", pq},
        {"prores.mov", "-c:v prores_ks", "yuv422p10le", 64, 36, ChromaLayout::Yuv422, 10, {{"transfer", "pq"}}, false,
         "PQ (transfer), BT.2020 (untagged, assumed)"},
        {"ffv1.mkv", "-c:v ffv1 -level 3", "yuv444p12le", 33, 17, ChromaLayout::Yuv444, 12, {{"checks", "true"}, {"tasks", "3"}}, false,
         "HLG (tagged), BT.2020 (tagged)", hlg},
        {"raw", "-f rawvideo", "yuv420p12le", 33, 17, ChromaLayout::Yuv420, 12, {{"size", "33x17"}, {"pix_fmt", "yuv420p12le"}}, false,
         untagged},
        {"y4m", y4m, "yuv422p10le", 64, 36, ChromaLayout::Yuv422, 10, {{"checks", "true"}}, true, untagged},
        // From a file these two are mapped, not read; a header tag of odd length puts the frames at odd offsets.
        {"y4m", y4m, "yuv444p16le", 33, 17, ChromaLayout::Yuv444, 16, {}, false, untagged},
    };
    // As the program does: YUV4MPEG2 and raw files are then measured where they lie, mapped.
    hdrmeter::clip::installMappedReadGuard();
    ScratchDirectory scratch;
    const int frameCount = 3;
    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.file + " " + clip.pixelFormat);
        const std::string size = std::to_string(clip.width) + "x" + std::to_string(clip.height);
        // testsrc2 (which rounds odd sizes down, so it is scaled instead) with its luma raised by a tenth, so
        // that some codes lie above white and the checks count them.
        ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -vf \"scale=" +
                                    std::to_string(clip.width) + ":" + std::to_string(clip.height) + ",format=" +
                                    clip.pixelFormat + ",geq=lum='lum(X,Y)*1.1':cb='cb(X,Y)':cr='cr(X,Y)'" + clip.colour + "\" -frames:v " +
                                    std::to_string(frameCount) + " -pix_fmt " + clip.pixelFormat + " " + clip.encode +
                                    " -y " + clip.file + (clip.settings.empty() && clip.file == "y4m" ?
                                    " && LC_ALL=C sed -i '1s/$/ Xodd=1/' y4m" : "")).exitStatus, 0);
        const std::string readRaw = "-f rawvideo -video_size " + size + " -pixel_format " + clip.pixelFormat + " ";
        ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin " + (clip.file == "raw" ? readRaw : "") + "-i " + clip.file +
                                        " -f rawvideo -pix_fmt " + clip.pixelFormat + " -y frames.raw").exitStatus, 0);
        const std::string rawBytes = readWholeFile(scratch.file("frames.raw"));
        Settings request = clip.settings;
        request.insert(request.end(), {{"csv", "f.csv"}, {"input", clip.piped ? "-" : clip.file}});
        Measured run;
        {
            std::optional<StandardInputFrom> input;
            if (clip.piped)
                input.emplace(scratch.file(clip.file));
            run = measureIn(scratch, request);
        }
        ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
        EXPECT_TRUE(run.report.outputFailures.empty());
        EXPECT_NE(summaryValue(run.summary, "input").find(clip.tags + ")"), std::string::npos) << run.summary;
        const auto rows = readCsv(scratch.file("f.csv"));
        ASSERT_EQ(rows.size(), std::size_t(frameCount));

        hdrmeter::AnalysisSettings settings;
        settings.transfer = clip.tags[0] == 'H' ? hdrmeter::Transfer::Hlg : hdrmeter::Transfer::Pq;
        if (has(clip.settings, "class_parity")) {
            settings.arithmetic = hdrmeter::Arithmetic::classParity();
            settings.taskCount = 2;  // the class's sums depend on how the frame is split
        }
        const hdrmeter::Analyzer analyzer(settings);
        for (int frame = 0; frame < frameCount; ++frame) {
            const hdrmeter::FrameView view = rawFrameView(rawBytes, frame, clip.width, clip.height, clip.layout, clip.bitDepth);
            const hdrmeter::FrameStatistics expected = analyzer.analyze(view);
            const std::pair<const char*, double> columns[] = {
                {"average_light_nits", expected.averageLightNits()}, {"largest_light_nits", expected.largestLightNits()},
                {"above_threshold_percent", expected.aboveThresholdPercent()}, {"top1_nits", expected.top1Nits()},
                {"top2_nits", expected.top2Nits()}, {"bottom_nits", expected.bottomNits()}};
            for (const auto& [name, value] : columns)
                EXPECT_TRUE(sameBits(std::stod(rows[frame].at(name)), value)) << frame << name << rows[frame].at(name);
            if (!has(clip.settings, "checks"))
                continue;
            const std::vector<int> codes(view.planes[0], view.planes[0] + clip.width * clip.height);
            const auto count = [&](auto outside) { return std::to_string(std::count_if(codes.begin(), codes.end(), outside)); };
            const int shift = clip.bitDepth - 10;
            EXPECT_EQ(rows[frame].at("luma_min_code") + " " + rows[frame].at("luma_max_code") + " " +
                          rows[frame].at("luma_low_count") + " " + rows[frame].at("luma_high_count"),
                      std::to_string(*std::min_element(codes.begin(), codes.end())) + " " +
                          std::to_string(*std::max_element(codes.begin(), codes.end())) + " " +
                          count([&](int code) { return code < (64 << shift); }) + " " +
                          count([&](int code) { return code > (940 << shift); }));
        }
    }
    // The HEVC file states its levels only in SEI messages, which reach the clip layer as frame side data.
    const Measured run = measureIn(scratch, {{"input", "hevc.mkv"}});
    EXPECT_EQ(summaryValue(run.summary, "content light level"), "MaxCLL 100 nits, MaxFALL 50 nits (codec)") << run.summary;
    EXPECT_EQ(summaryValue(run.summary, "mastering display"),
              "R 0.6800 0.3200, G 0.2650 0.6900, B 0.1500 0.0600, white 0.3127 0.3290, 0.0001 to 1000 nits (codec)");
    EXPECT_EQ(summaryValue(run.summary, "stated below measured").rfind("MaxCLL 100 < ", 0), 0u) << run.summary;
}

// Two transport streams back to back, each 3 frames. A frame size that grows midway makes the decoder ask
// for buffers of a new size while frames of the old one are still held: every frame must still be measured
// whole. A bit depth that changes midway cannot be measured with the first frame's analyzer: the run ends
// before the first frame of the new depth, saying so, with the frames before it kept.
TEST(FfmpegClient, AStreamThatChangesPartWayIsMeasuredFrameByFrameOrEndsWhereItChanges)
{
    struct Part { int width, height, bitDepth; };
    struct Case { Part parts[2]; std::string failure; };
    const Case cases[] = {
        {{{64, 36, 10}, {96, 54, 10}}, ""},
        {{{64, 36, 10}, {64, 36, 12}}, "the stream changes from 10-bit to 12-bit at frame 3"},
    };
    const int framesPerPart = 3;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.failure);
        ScratchDirectory scratch;
        std::string rawBytes[2];
        for (int part = 0; part < 2; ++part) {
            const std::string name = std::to_string(part);
            const std::string format = test.parts[part].bitDepth == 10 ? "yuv420p10le" : "yuv420p12le";
            ASSERT_EQ(runCommand(scratch, "ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=" +
                                            std::to_string(test.parts[part].width) + "x" +
                                            std::to_string(test.parts[part].height) + ":rate=25 -frames:v " +
                                            std::to_string(framesPerPart) + " -pix_fmt " + format + " -c:v libx265 "
                                            "-x265-params log-level=error:transfer=smpte2084 -y " + name + ".ts && "
                                            "ffmpeg -v error -nostdin -i " + name + ".ts -f rawvideo -pix_fmt " + format +
                                            " -y " + name + ".raw").exitStatus, 0);
            rawBytes[part] = readWholeFile(scratch.file(name + ".raw"));
        }
        ASSERT_EQ(runCommand(scratch, "cat 0.ts 1.ts >both.ts").exitStatus, 0);
        const Measured run = measureIn(scratch, {{"active_area", "full"}, {"csv", "f.csv"}, {"input", "both.ts"}});
        const auto rows = readCsv(scratch.file("f.csv"));
        if (test.failure.empty()) {
            ASSERT_EQ(run.report.ending, Ending::Complete) << run.report.failure;
            ASSERT_EQ(rows.size(), std::size_t(2 * framesPerPart));
            EXPECT_EQ(summaryValue(run.summary, "frame sizes"), "64x36 frames 0 to 2, 96x54 frames 3 to 5");
        } else {
            EXPECT_EQ(run.report.ending, Ending::Failed);
            EXPECT_EQ(run.report.failure.find('\n'), std::string::npos) << run.report.failure;
            EXPECT_TRUE(run.report.outputFailures.empty());
            EXPECT_NE(run.report.failure.find(test.failure), std::string::npos) << run.report.failure;
            ASSERT_EQ(rows.size(), std::size_t(framesPerPart));
        }
        const hdrmeter::Analyzer analyzer;
        for (std::size_t frame = 0; frame < rows.size(); ++frame) {
            const Part& part = test.parts[frame / framesPerPart];
            const hdrmeter::FrameStatistics expected = analyzer.analyze(rawFrameView(
                rawBytes[frame / framesPerPart], frame % framesPerPart, part.width, part.height, ChromaLayout::Yuv420,
                part.bitDepth));
            EXPECT_TRUE(sameBits(std::stod(rows[frame].at("average_light_nits")), expected.averageLightNits())) << frame;
            EXPECT_TRUE(sameBits(std::stod(rows[frame].at("largest_light_nits")), expected.largestLightNits())) << frame;
            EXPECT_TRUE(sameBits(std::stod(rows[frame].at("top1_nits")), expected.top1Nits())) << frame;
        }
    }
}

