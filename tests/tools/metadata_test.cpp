#include <cmath>
#include <tuple>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

using hdrmeter::ChromaLayout;
using nlohmann::json;

namespace {

const std::string kFfmpeg = "ffmpeg -v error -nostdin -y ";

json readJson(const std::string& path) { return json::parse(readWholeFile(path)); }

long long tenths(double nits) { return std::min(100000LL, std::llround(nits * 10.0)); }

}  // namespace

// A letterboxed clip that fades in from black, whose picture is narrower for its first 8 frames: the
// area grows at frame 8, so frames 0-7 are measured again. Found automatically from the file or from a
// pipe, or given, the area must give the same bytes in every output; and the bars must not count.
TEST(Metadata, AutomaticAreaGivesTheOutputsOfTheExplicitOneFromAFileAndFromAPipe)
{
    ScratchDirectory scratch;
    const std::string setup =
        kFfmpeg + "-f lavfi -i testsrc2=size=48x36:rate=25 -f lavfi -i testsrc2=size=64x36:rate=25 "
        "-filter_complex \"[0]trim=end_frame=8,pad=64:48:8:6:black[a];[1]trim=start_frame=8:end_frame=40,setpts=PTS-STARTPTS,pad=64:48:0:6:"
        "black[b];[a][b]concat,fade=in:0:10,format=yuv420p10le\" -c:v ffv1 -color_trc smpte2084 lb.mkv && " +
        kFfmpeg + "-i lb.mkv -vf crop=64:36:0:6 -c:v ffv1 -color_trc smpte2084 bare.mkv";
    ASSERT_EQ(runShell(scratch, setup).exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const std::string outputs[] = {".csv", ".json", ".hdr10plus.json", ".dovi.json", ".madvr.bin"};
    const auto run = [&](const std::string& o, const std::string& arguments) {
        return runShell(scratch, "PROGRAM --csv " + o + ".csv --summary-json " + o + ".json --hdr10plus " + o +
                                     ".hdr10plus.json --dovi-config " + o + ".dovi.json --madvr " + o + ".madvr.bin --mastering-display 1000,0.005 " +
                                     arguments);
    };
    const ProgramRun automatic = run("auto", "lb.mkv"), piped = run("pipe", "- <lb.mkv");
    ASSERT_EQ(automatic.exitStatus, 0) << automatic.err;
    ASSERT_EQ(piped.exitStatus, 0) << piped.err;
    ASSERT_EQ(run("given", "--active-area 0,6,0,6 lb.mkv").exitStatus, 0);
    EXPECT_EQ(summaryValue(automatic.out, "active area"), "64x36 at 0,6: 6 rows left out at the top, 6 at the bottom");
    EXPECT_EQ(summaryValue(automatic.out, "second pass").rfind("frames 0 to 7 measured again", 0), 0u) << automatic.out;
    EXPECT_NE(piped.err.find("temporary file in $TMPDIR"), std::string::npos) << piped.err;
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        const std::string given = readWholeFile(scratch.file("given" + output));
        EXPECT_GT(given.size(), 100u);
        EXPECT_EQ(readWholeFile(scratch.file("auto" + output)), given);
        EXPECT_EQ(readWholeFile(scratch.file("pipe" + output)), given);
    }
    ASSERT_EQ(run("bare", "bare.mkv").exitStatus, 0);
    const json withBars = readJson(scratch.file("auto.json")), bare = readJson(scratch.file("bare.json"));
    EXPECT_EQ(withBars.at("max_fall_nits"), bare.at("max_fall_nits"));
    EXPECT_EQ(withBars.at("max_cll_nits"), bare.at("max_cll_nits"));
    EXPECT_EQ(bare.at("active_area"), json({{"left", 0}, {"top", 0}, {"right", 0}, {"bottom", 0}, {"width", 64}, {"height", 36}}));
    EXPECT_EQ(readJson(scratch.file("auto.dovi.json")).at("level5"),
              json({{"active_area_left_offset", 0}, {"active_area_right_offset", 0}, {"active_area_top_offset", 6},
                    {"active_area_bottom_offset", 6}}));
}

// Three sources of 20 frames each, raw so that the test can measure the very frames: the cuts must be
// found at frames 20 and 40 exactly, and every export must follow its rules and agree with the analyzer's
// statistics of each scene, merged here, for PQ and for HLG (taken to PQ on a 1000-nit display). The madVR
// file's histograms are checked bin by bin against the analyzer's light histogram of each frame.
TEST(Metadata, ExportsOfThreeScenesFollowTheirRulesAndTheAnalyzersStatistics)
{
    ScratchDirectory scratch;
    std::string setup = ": >clip.raw";
    for (const char* source : {"testsrc2", "smptebars", "mandelbrot"})
        setup += " && " + kFfmpeg + "-f lavfi -i " + source + "=size=64x36:rate=25 -frames:v 20 -pix_fmt yuv420p10le "
                 "-f rawvideo - >>clip.raw";
    ASSERT_EQ(runShell(scratch, setup).exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    const std::string raw = readWholeFile(scratch.file("clip.raw"));
    const long long frameCount = 60, sceneLength = 20;

    for (const hdrmeter::Transfer transfer : {hdrmeter::Transfer::Pq, hdrmeter::Transfer::Hlg}) {
        const std::string name = transfer == hdrmeter::Transfer::Pq ? "pq" : "hlg";
        SCOPED_TRACE(name);
        const std::string s = scratch.file(name);
        const ProgramRun run = runShell(scratch, "PROGRAM --size 64x36 --pix-fmt yuv420p10le --transfer " + name + " --jsonl " +
                                                     name + ".jsonl --summary-json " + name + ".json --hdr10plus " + name +
                                                     ".hdr10plus.json --dovi-config " + name + ".dovi.json --madvr " + name + ".bin clip.raw");
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const json summary = readJson(s + ".json"), plus = readJson(s + ".hdr10plus.json"), dovi = readJson(s + ".dovi.json");
        EXPECT_EQ(summary.at("scenes"), json({0, 20, 40}));
        EXPECT_EQ(summary.at("transfer"), name);
        EXPECT_EQ(summaryValue(run.out, "scenes").rfind("3 (", 0), 0u);
        EXPECT_NE(run.out.find("mkvmerge              --max-content-light 0:" + summary.at("max_cll").dump() +
                               " --max-frame-light 0:" + summary.at("max_fall").dump() + "\n"),
                  std::string::npos) << run.out;

        const std::vector<std::string> lines = split(readWholeFile(s + ".jsonl"));
        ASSERT_EQ(lines.size(), std::size_t(frameCount));
        EXPECT_EQ(plus.at("SceneInfoSummary"),
                  json({{"SceneFirstFrameIndex", {0, 20, 40}}, {"SceneFrameNumbers", {20, 20, 20}}}));
        ASSERT_EQ(plus.at("SceneInfo").size(), std::size_t(frameCount));
        EXPECT_EQ(dovi.at("length"), frameCount);
        EXPECT_EQ(dovi.at("level6"), json({{"max_display_mastering_luminance", 1000},
                                           {"min_display_mastering_luminance", 1},
                                           {"max_content_light_level", summary.at("max_cll")},
                                           {"max_frame_average_light_level", summary.at("max_fall")}}));
        ASSERT_EQ(dovi.at("shots").size(), 3u);
        const MadvrFile madvr = readMadvr(readWholeFile(s + ".bin"));
        ASSERT_TRUE(madvr.sizeFits);
        ASSERT_EQ(madvr.frames.size(), std::size_t(frameCount));
        EXPECT_EQ(std::make_tuple(madvr.magic, madvr.version, madvr.headerSize, madvr.sceneCount, madvr.frameCount, madvr.flags),
                  std::make_tuple(std::string("mvr+"), 5u, 32u, 3u, 60u, 2u));
        EXPECT_EQ(madvr.maxCll, summary.at("max_cll").get<std::uint32_t>());
        EXPECT_EQ(madvr.maxFall, summary.at("max_fall").get<std::uint32_t>());
        EXPECT_EQ(madvr.sceneFirsts, std::vector<std::uint32_t>({0, 20, 40}));
        EXPECT_EQ(madvr.sceneEnds, std::vector<std::uint32_t>({20, 40, 60}));
        double fallSum = 0.0;
        const double darkTop = hdrmeter::pqSignalOfNits(100.0);

        hdrmeter::AnalysisSettings settings;
        settings.transfer = transfer;
        const hdrmeter::Analyzer analyzer(settings);
        double maxCll = 0.0, maxFall = 0.0;
        for (long long scene = 0; scene < 3; ++scene) {
            hdrmeter::FrameStatistics merged;
            double averageLightSum = 0.0, meanPqSum = 0.0, scenePeak = 0.0;
            for (long long frame = scene * sceneLength; frame < (scene + 1) * sceneLength; ++frame) {
                const hdrmeter::FrameStatistics statistics =
                    analyzer.analyze(rawFrameView(raw, frame, 64, 36, ChromaLayout::Yuv420, 10));
                merged.merge(statistics);
                maxCll = std::max(maxCll, statistics.largestLightNits());
                maxFall = std::max(maxFall, statistics.averageLightNits());
                averageLightSum += statistics.averageLightNits();
                meanPqSum += statistics.meanPqLight();
                scenePeak = std::max(scenePeak, statistics.largestLightNits());
                fallSum += statistics.averageLightNits();
                // Each bin is its share of the pixels x 64000 rounded down or up, the bins adding up to 64000.
                const std::vector<std::uint16_t>& record = madvr.frames[frame];
                EXPECT_EQ(record[0], std::llround(statistics.largestPqLight() * 64000)) << frame;
                std::vector<std::uint64_t> counts(256);
                const std::vector<std::uint64_t>& lights = statistics.lightHistogram();
                for (std::size_t code = 0; code < lights.size(); ++code) {
                    const double signal = hdrmeter::pqSignalOfNits(statistics.codeNits(int(code)));
                    counts[signal < darkTop ? int(signal / darkTop * 64)
                                            : std::min(255, 64 + int((signal - darkTop) / (1 - darkTop) * 192))] += lights[code];
                }
                const std::uint64_t pixels = statistics.pixelCount();
                long long binSum = 0, hueSum = 0;
                for (int bin = 0; bin < 256; ++bin) {
                    binSum += record[1 + bin];
                    EXPECT_TRUE(record[1 + bin] == counts[bin] * 64000 / pixels ||
                                record[1 + bin] == (counts[bin] * 64000 + pixels - 1) / pixels) << frame << " bin " << bin;
                }
                for (int hue = 257; hue < 288; ++hue)
                    hueSum += record[hue];
                EXPECT_EQ(std::make_pair(binSum, hueSum), std::make_pair(64000LL, 0LL)) << frame;
                const json line = json::parse(lines[frame]);
                EXPECT_EQ(line.at("scene"), scene);
                EXPECT_EQ(line.at("average_light_nits").get<double>(), statistics.averageLightNits());
            }
            const json expectedLuminance = {
                {"AverageRGB", tenths(averageLightSum / sceneLength)},
                {"LuminanceDistributions",
                 {{"DistributionIndex", {1, 5, 10, 25, 50, 75, 90, 95, 99}},
                  {"DistributionValues",
                   {tenths(merged.lightAtPercentile(1)), tenths(merged.lightAtPercentile(99.99)),
                    std::llround(merged.percentAtOrBelow(100)), tenths(merged.lightAtPercentile(25)),
                    tenths(merged.lightAtPercentile(50)), tenths(merged.lightAtPercentile(75)),
                    tenths(merged.lightAtPercentile(90)), tenths(merged.lightAtPercentile(95)),
                    tenths(merged.lightAtPercentile(99.98))}}}},
                {"MaxScl", {tenths(merged.largestRedNits()), tenths(merged.largestGreenNits()), tenths(merged.largestBlueNits())}}};
            for (long long i = 0; i < sceneLength; ++i) {
                const json& entry = plus.at("SceneInfo").at(scene * sceneLength + i);
                EXPECT_EQ(entry, json({{"LuminanceParameters", expectedLuminance}, {"NumberOfWindows", 1},
                                       {"TargetedSystemDisplayMaximumLuminance", 0}, {"SceneFrameIndex", i},
                                       {"SceneId", scene}, {"SequenceFrameIndex", scene * sceneLength + i}}));
            }
            EXPECT_EQ(madvr.scenePeaks.at(scene), std::llround(scenePeak));
            const auto pq12 = [](double signal) { return std::llround(signal * 4095.0); };
            EXPECT_EQ(dovi.at("shots").at(scene),
                      json({{"start", scene * sceneLength}, {"duration", sceneLength},
                            {"metadata_blocks", {{{"Level1", {{"min_pq", pq12(merged.smallestPqLight())},
                                                              {"max_pq", pq12(merged.largestPqLight())},
                                                              {"avg_pq", pq12(meanPqSum / sceneLength)}}}}}}}));
        }
        EXPECT_EQ(summary.at("max_cll_nits").get<double>(), maxCll);
        EXPECT_EQ(summary.at("max_fall_nits").get<double>(), maxFall);
        EXPECT_EQ(summary.at("max_cll").get<long long>(), std::llround(maxCll));
        EXPECT_EQ(madvr.averageFall, std::llround(fallSum / frameCount));
    }
}

// mkvmerge numbers a file's tracks in the container's order: with audio first, the light levels belong
// to track 1, whether the video stream is found or named.
TEST(Metadata, TheMkvmergeLineNamesTheMeasuredTrack)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runShell(scratch, kFfmpeg + "-f lavfi -i sine=duration=0.2 -f lavfi -i testsrc2=size=64x36:rate=25:duration=0.12 "
                                          "-frames:v 3 -map 0:a -map 1:v -c:a pcm_s16le -c:v libx265 -x265-params "
                                          "log-level=error -pix_fmt yuv420p10le -color_trc smpte2084 f.mkv")
                  .exitStatus, 0);
    for (const char* options : {"", "--stream 1 "}) {
        const ProgramRun run = runShell(scratch, std::string("PROGRAM ") + options + "f.mkv");
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        const std::string line = summaryValue(run.out, "mkvmerge");
        EXPECT_EQ(line.rfind("--max-content-light 1:", 0), 0u) << line;
        EXPECT_NE(line.find(" --max-frame-light 1:"), std::string::npos) << line;
    }
}
