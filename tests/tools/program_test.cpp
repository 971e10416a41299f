#include <nlohmann/json.hpp>

#include "program_support.h"
#include "summary.h"

using namespace hdrmeter::tool;

namespace {

// A 10-bit 4:2:2 y4m stream of frameCount 8x4 frames of varied codes, then the given tail.
std::string y4mStream(int frameCount, const std::string& tail = "")
{
    std::string stream = "YUV4MPEG2 W8 H4 F25:1 Ip A1:1 C422p10 XYSCSS=422P10\n";
    for (int frame = 0; frame < frameCount; ++frame) {
        std::vector<std::uint16_t> samples(64);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::uint16_t>(i < 32 ? 64 + (i * 97 + frame * 131) % 900 : 400 + (i * 37) % 220);
        stream += "FRAME\n" + littleEndianBytes(samples);
    }
    return stream + tail;
}

std::string summaryValue(const std::string& summary, const std::string& label)
{
    for (const std::string& line : split(summary))
        if (line.rfind(label, 0) == 0)
            return line.substr(22);
    return "(no " + label + " line)";
}

}  // namespace

TEST(Program, DemoPrintsMaxCllAndMaxFallThatMatchItsPerFrameOutputs)
{
    ScratchDirectory scratch;
    const std::string csv = scratch.file("d.csv"), jsonl = scratch.file("d.jsonl"), svg = scratch.file("d.svg");
    const ProgramRun run = runProgram(scratch, "--demo --frames 4 --tasks 2 --checks --csv '" + csv + "' --jsonl '" +
                                                   jsonl + "' --plot '" + svg + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(summaryValue(run.out, "frames measured"), "4");
    const auto rows = readCsv(csv);
    const std::vector<std::string> jsonLines = split(readWholeFile(jsonl));
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(jsonLines.size(), 4u);
    double largest = 0.0, average = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        largest = std::max(largest, std::stod(rows[i].at("largest_light_nits")));
        average = std::max(average, std::stod(rows[i].at("average_light_nits")));
        EXPECT_EQ(rows[i].at("luma_low_count") + rows[i].at("luma_high_count"), "00");
        EXPECT_TRUE(sameBits(nlohmann::json::parse(jsonLines[i]).at("largest_light_nits").get<double>(),
                             std::strtod(rows[i].at("largest_light_nits").c_str(), nullptr)));
    }
    const std::string maxCll = std::to_string(wholeNits(largest)), maxFall = std::to_string(wholeNits(average));
    EXPECT_EQ(summaryValue(run.out, "MaxCLL").rfind(maxCll + " nits (", 0), 0u) << run.out;
    EXPECT_EQ(summaryValue(run.out, "MaxFALL").rfind(maxFall + " nits (", 0), 0u) << run.out;
    EXPECT_NE(readWholeFile(svg).find("MaxCLL " + maxCll + " nits"), std::string::npos);
}

TEST(Program, ChecksSeeTheCodesBeforeTheEngineClampsThem)
{
    ScratchDirectory scratch;
    // One 4x2 10-bit 4:4:4 frame: luma below, at and above the narrow range; neutral chroma.
    std::vector<std::uint16_t> frame = {0, 63, 64, 500, 940, 941, 1023, 100};
    frame.resize(24, 512);
    std::ofstream(scratch.file("f.yuv"), std::ios::binary) << littleEndianBytes(frame);
    const ProgramRun run = runProgram(scratch, "--size 4x2 --pix-fmt yuv444p10le --checks --tasks 2 --csv '" +
                                                   scratch.file("f.csv") + "' '" + scratch.file("f.yuv") + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const auto rows = readCsv(scratch.file("f.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("luma_min_code"), "0");
    EXPECT_EQ(rows[0].at("luma_max_code"), "1023");
    EXPECT_EQ(rows[0].at("luma_low_count"), "2");
    EXPECT_EQ(rows[0].at("luma_high_count"), "2");
    expectRowMatches(rows[0], measureDirectly(frame, VideoFormat{4, 2, 10, ChromaSubsampling::Yuv444}, 2));
}

TEST(Program, ATruncatedLastFrameIsReportedAfterTheWholeFramesAreSummarised)
{
    ScratchDirectory scratch;
    const std::string stream = scratch.file("t.y4m"), csv = scratch.file("t.csv");
    std::ofstream(stream, std::ios::binary) << y4mStream(3, "FRAME\n" + std::string(50, '\x02'));
    for (const std::string& input : {"'" + stream + "'", std::string("-")}) {
        SCOPED_TRACE(input);
        const ProgramRun run =
            input == "-" ? runShell(scratch, "cat '" + stream + "' | '" + HDRMETER_PROGRAM + "' --csv '" + csv + "' -")
                         : runProgram(scratch, "--csv '" + csv + "' " + input);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(summaryValue(run.out, "frames measured"), "3");
        EXPECT_NE(run.out.find("MaxCLL"), std::string::npos);
        ASSERT_EQ(split(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find("the input ends inside frame 3: 78 of its 128 bytes are missing; the 3 frames before it "
                               "were measured and summarised"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(readCsv(csv).size(), 3u);
    }
}

TEST(Program, EveryBadInputOrUsageGetsOneLineAndItsExitStatus)
{
    ScratchDirectory scratch;
    const auto file = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(scratch.file(name), std::ios::binary) << bytes;
        return "'" + scratch.file(name) + "'";
    };
    const std::string good = file("good.y4m", y4mStream(2)), odd = file("odd.yuv", std::string(100, '\0'));
    file("empty", "");
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {file("tag.y4m", "YUV4MPEG2 W8 H4 Q1 C422p10\nFRAME\n"), "/dev/null", 1, "tag 'Q1'"},
        {file("8bit.y4m", "YUV4MPEG2 W8 H4 C420jpeg\nFRAME\n"), "/dev/null", 1, "-pix_fmt yuv420p10le"},
        {file("garbage.y4m", y4mStream(1, "JUNKJUNK")), "/dev/null", 1, "frame 1 does not start with FRAME"},
        {"--size 4x4 --pix-fmt yuv422p10le " + odd, "/dev/null", 1, "not a whole number"},
        {"'" + scratch.file("missing.y4m") + "'", "/dev/null", 1, "cannot open"},
        {"-", scratch.file("empty"), 1, "standard input is empty"},
        {"--csv '" + scratch.file("no/such/dir.csv") + "' " + good, "/dev/null", 1, "cannot create"},
        {"--size 4x4 --pix-fmt yuv422p " + odd, "/dev/null", 2, "8-bit"},
        {"--top1 101 " + good, "/dev/null", 2, "between 0 and 100"},
    };
    for (const auto& [arguments, standardInput, exitStatus, part] : cases) {
        const ProgramRun run = runProgram(scratch, arguments, standardInput);
        EXPECT_EQ(run.exitStatus, exitStatus) << arguments << ": " << run.err;
        ASSERT_EQ(split(run.err).size(), 1u) << arguments << ": " << run.err;
        EXPECT_EQ(run.err.rfind("hdrmeter: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
    }

    // Per-frame rows on standard output move the summary to standard error.
    const ProgramRun run = runProgram(scratch, "--csv - --no-percentiles " + good);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<std::string> lines = split(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "frame,average_light_nits,largest_light_nits,above_threshold_percent");
    EXPECT_EQ(lines[1].rfind("0,", 0) + lines[2].rfind("1,", 0), 0u);
    EXPECT_NE(run.err.find("MaxCLL"), std::string::npos);
}
