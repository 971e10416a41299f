#include <algorithm>
#include <random>
#include <tuple>

#include <nlohmann/json.hpp>

#include "output/summary.h"
#include "tool_test_support.h"

// The demo's summary and plot agree with its per-frame output.
TEST(Program, DemoPrintsMaxCllThatMatchesItsPerFrameOutput)
{
    ScratchDirectory scratch;
    const ProgramRun run = runShell(scratch, "PROGRAM --demo --frames 4 --tasks 2 --csv d.csv --plot d.svg");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(summaryValue(run.out, "frames measured"), "4");
    double largest = 0.0;
    for (const auto& row : readCsv(scratch.file("d.csv")))
        largest = std::max(largest, std::stod(row.at("largest_light_nits")));
    const std::string maxCll = std::to_string(hdrmeter::clip::wholeNits(largest));
    EXPECT_EQ(summaryValue(run.out, "MaxCLL").rfind(maxCll + " nits (", 0), 0u) << run.out;
    EXPECT_NE(readWholeFile(scratch.file("d.svg")).find("MaxCLL " + maxCll + " nits"), std::string::npos);
}

// Bad files, made by ffmpeg in the test, and outputs that would destroy a file: one line each, the status,
// and whatever was measured before the trouble still summarised and written whole.
TEST(Program, EveryBadInputOrUsageGetsOneLineAndItsExitStatus)
{
    ScratchDirectory scratch;
    const std::string source = "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=64x36:rate=25 -pix_fmt ";
    const std::string setup =
        source + "yuv422p10le -frames:v 60 -c:v ffv1 -vf setparams=color_trc=smpte2084 clip.mkv && " +
        source + "yuv422p10le -frames:v 10 -c:v prores_ks -vf setparams=color_trc=smpte2084:colorspace=bt2020nc p.mov && " +
        source + "yuv422p10le -frames:v 3 -strict -1 c.y4m && " + source + "yuv420p -frames:v 2 -c:v libx264 h264.mp4 && " +
        source + "yuv420p10le -frames:v 2 -c:v ffv1 -vf setparams=color_trc=bt709 sdr.mkv && " +
        "ffmpeg -v error -nostdin -y -f lavfi -i sine -t 0.2 a.wav && " +
        "printf 'YUV4MPEG2 W0 H4 F25:1 C420p10\\nFRAME\\n' >w0.y4m && printf '0\\n12\\n7\\n' >cuts.txt && head -n 1 c.y4m >header.y4m && head -c 20000 c.y4m >cut.y4m && : >empty && ln -s clip.mkv link.mkv && " +
        "cp clip.mkv cut.mkv && truncate -s $(( $(stat -c %s clip.mkv) / 2 )) cut.mkv";
    ASSERT_EQ(runShell(scratch, setup).exitStatus, 0) << readWholeFile(scratch.file("stderr.txt"));
    // An unknown codec tag, and a broken header in the fifth ProRes frame; noise from a fixed seed (fresh
    // random bytes are now and then probed as audio, which gives another message).
    const auto corrupt = [&](const char* from, const char* to, const std::string& tag, int occurrence) {
        std::string bytes = readWholeFile(scratch.file(from));
        std::size_t at = std::string::npos;
        for (int i = 0; i < occurrence; ++i) at = bytes.find(tag, at + 1);
        ASSERT_NE(at, std::string::npos) << tag;
        bytes[at + 3] = 'x';
        std::ofstream(scratch.file(to), std::ios::binary) << bytes;
    };
    corrupt("clip.mkv", "codec.mkv", "FFV1", 1);
    corrupt("p.mov", "bad.mov", "icpf", 5);
    std::mt19937 noise(1);
    std::string noiseBytes(12288, '\0');
    for (char& byte : noiseBytes) byte = static_cast<char>(noise());
    std::ofstream(scratch.file("noise.bin"), std::ios::binary) << noiseBytes;
    const std::string clipBytes = readWholeFile(scratch.file("clip.mkv"));

    // Arguments, standard input, status, the error's words, and the frames summarised (-1: no summary).
    const std::tuple<std::string, std::string, int, std::string, int> cases[] = {
        {"missing.mkv", "", 1, "cannot open missing.mkv", -1},
        // The demuxer's own word, not the stale errno it returns.
        {"w0.y4m", "", 1, "cannot read w0.y4m as video: IMGUTILS: Picture size 0x4 is invalid", -1},
        {"-", "empty", 1, "standard input is empty", -1},
        {"a.wav", "", 1, "a.wav has no video stream", -1},
        {"--stream 5 clip.mkv", "", 1, "has no stream 5", -1},
        {"h264.mp4", "", 1, "8-bit video in yuv420p cannot be measured", -1},
        {"sdr.mkv", "", 1, "SDR transfer bt709", -1},
        {"noise.bin", "", 1, "cannot read noise.bin as video", -1},
        {"codec.mkv", "", 1, "that this FFmpeg cannot decode", -1},
        {"header.y4m", "", 1, "holds no video frame", 0},
        // A cut frame is worded alike whichever reader meets it: the file mapped, a pipe through the demuxer.
        {"cut.y4m", "", 1, "ends inside frame 2: only ", 2},
        {"--size 64x36 --pix-fmt yuv422p10le -", "cut.y4m", 1, "ends inside frame 2: only 1568 of its 9216 bytes arrived", 2},
        {"cut.mkv", "", 1, "it was cut short", 29},
        {"bad.mov", "", 1, "cannot decode frame 4: Invalid data", 4},
        {"--csv clip.mkv clip.mkv", "", 2, "--csv clip.mkv is the input file", -1},
        {"--jsonl link.mkv clip.mkv", "", 2, "--jsonl link.mkv is the input file", -1},
        {"--plot clip.mkv -", "clip.mkv", 2, "--plot clip.mkv is the input file", -1},
        {"--summary-json clip.mkv clip.mkv", "", 2, "--summary-json clip.mkv is the input file", -1},
        {"--csv out --jsonl ./out clip.mkv", "", 2, "--jsonl ./out is the same file as --csv out", -1},
        {"--csv no/such/dir.csv clip.mkv", "", 1, "cannot create no/such/dir.csv", -1},
        {"--scene-cuts cuts.txt clip.mkv", "", 2, "cuts.txt line 3: frame 7 does not come after 12", -1},
        {"--active-area 32,0,32,0 clip.mkv", "", 1, "leaves no pixel of the 64x36 frames", -1},
    };
    for (const auto& [arguments, input, status, words, frames] : cases) {
        SCOPED_TRACE(arguments);
        std::remove(scratch.file("f.csv").c_str());
        const ProgramRun run = runShell(scratch, "PROGRAM " + std::string(arguments.rfind("--csv", 0) != 0 ? "--csv f.csv " : "") +
                                                     arguments + " <" + (input.empty() ? "/dev/null" : input));
        EXPECT_EQ(run.exitStatus, status) << run.err;
        const std::vector<std::string> errors = errorLines(run.err);
        ASSERT_EQ(errors.size(), 1u) << run.err;
        EXPECT_EQ(errors[0].rfind("hdrmeter: ", 0), 0u) << run.err;
        EXPECT_NE(errors[0].find(words), std::string::npos) << run.err;
        EXPECT_EQ(frames < 0 ? run.out : summaryValue(run.out, "frames measured"), frames < 0 ? "" : std::to_string(frames));
        EXPECT_EQ(readCsv(scratch.file("f.csv")).size(), std::size_t(std::max(frames, 0)));
    }
    EXPECT_EQ(readWholeFile(scratch.file("clip.mkv")), clipBytes);
    EXPECT_EQ(runShell(scratch, "ls -A | grep -c hdrmeter-").out, "0\n") << "a temporary file was left";
}

// The summary's scene table: the ten brightest of fifteen scenes in order of MaxCLL and then MaxFALL, as the
// summary JSON gives their figures, and how many are left out; a clip of one scene has no table.
TEST(Program, SceneTableShowsTheBrightestScenesFirst)
{
    ScratchDirectory scratch;
    ASSERT_EQ(runShell(scratch, "seq 0 8 119 >cuts.txt").exitStatus, 0);
    const ProgramRun run = runShell(scratch, "PROGRAM --demo --scene-cuts cuts.txt --summary-json s.json");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(summaryValue(run.out, "brightest scenes"),
              "10 of 15, by MaxCLL, then MaxFALL; 5 left out (--summary-json has every scene)");
    // The demo runs at 24 frames a second: the peaks' first frames, 59 and 60, with their timecodes.
    EXPECT_EQ(summaryValue(run.out, "MaxCLL"), "4015 nits (4014.718) at frames 59, 60 and 61 (the first at 00:00:02.458)");
    EXPECT_EQ(summaryValue(run.out, "MaxFALL"), "167 nits (166.632) at frame 60 (00:00:02.500)");
    const nlohmann::json scenes = nlohmann::json::parse(readWholeFile(scratch.file("s.json"))).at("scenes");
    ASSERT_EQ(scenes.size(), 15u);
    std::vector<std::tuple<double, double, long long>> lights;
    for (std::size_t i = 0; i < scenes.size(); ++i)
        lights.emplace_back(-scenes[i].at("max_cll_nits").get<double>(), -scenes[i].at("max_fall_nits").get<double>(),
                            static_cast<long long>(i));
    std::stable_sort(lights.begin(), lights.end(), [](const auto& a, const auto& b) {
        return std::make_pair(std::get<0>(a), std::get<1>(a)) < std::make_pair(std::get<0>(b), std::get<1>(b));
    });
    std::vector<long long> brightest;
    for (std::size_t i = 0; i < 10; ++i)
        brightest.push_back(std::get<2>(lights[i]));
    EXPECT_EQ(brightestSceneRows(run.out), brightest) << run.out;

    const ProgramRun whole = runShell(scratch, "PROGRAM --demo --frames 30");
    ASSERT_EQ(whole.exitStatus, 0) << whole.err;
    EXPECT_EQ(whole.out.find("brightest scenes"), std::string::npos) << whole.out;
}

// --progress json: every line on standard error is one object, counts and times never go back within a
// pass, and each pass ends with a line that counts all of its frames, quiet or not; a mode it lacks is
// bad usage.
TEST(Program, JsonProgressCountsEveryPassToItsEnd)
{
    ScratchDirectory scratch;
    for (const char* arguments : {"--demo --frames 30 --quiet --progress json", "--demo --frames 30 --progress json"}) {
        const ProgramRun run = runShell(scratch, std::string("PROGRAM ") + arguments);
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out.empty(), std::string(arguments).find("--quiet") != std::string::npos) << run.out;
        const std::vector<std::string> lines = split(run.err);
        ASSERT_FALSE(lines.empty());
        long long framesDone = -1;
        double elapsed = -1.0;
        for (const std::string& line : lines) {
            const nlohmann::json progress = nlohmann::json::parse(line);
            ASSERT_EQ(progress.size(), 4u) << line;
            EXPECT_EQ(progress.at("pass"), 1) << line;
            EXPECT_GE(progress.at("frames_done").get<long long>(), framesDone) << line;
            EXPECT_GE(progress.at("elapsed_seconds").get<double>(), elapsed) << line;
            EXPECT_TRUE(progress.at("frames_expected").is_null() || progress.at("frames_expected").get<long long>() >= 30) << line;
            framesDone = progress.at("frames_done").get<long long>();
            elapsed = progress.at("elapsed_seconds").get<double>();
        }
        EXPECT_EQ(framesDone, 30) << run.err;
    }
    const ProgramRun refused = runShell(scratch, "PROGRAM --demo --progress bar");
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_EQ(split(refused.err).size(), 1u) << refused.err;
    EXPECT_NE(refused.err.find("--progress"), std::string::npos) << refused.err;
}

// --quiet leaves the terminal to errors: the files are written, a failure still gets its line and status.
TEST(Program, QuietPrintsNothingButErrors)
{
    ScratchDirectory scratch;
    const struct {
        const char* arguments;
        int exitStatus;
        std::size_t errorLines;
    } cases[] = {{"--demo --frames 20 --csv d.csv", 0, 0}, {"missing.mkv --csv d.csv", 1, 1}};
    for (const auto& c : cases) {
        const ProgramRun run = runShell(scratch, std::string("rm -f d.csv; PROGRAM --quiet ") + c.arguments);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_EQ(split(run.err).size(), c.errorLines) << run.err;
        EXPECT_EQ(readCsv(scratch.file("d.csv")).size(), c.exitStatus == 0 ? 20u : 0u) << c.arguments;
    }
}
