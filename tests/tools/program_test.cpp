#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "memory_stream.h"
#include "program_support.h"
#include "summary.h"

using namespace hdrmeter::tool;

namespace {

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A 10-bit 4:2:2 y4m stream of frameCount 8x4 frames of varied codes, then extraBytes of a next frame.
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
    for (const std::string& line : linesOf(summary))
        if (line.rfind(label, 0) == 0)
            return line.substr(22);
    return "(no " + label + " line)";
}

}  // namespace

TEST(Program, DemoPrintsMaxCllAndMaxFallThatMatchItsPerFrameOutputs)
{
    ScratchDirectory scratch;
    const ProgramRun run = runProgram(scratch, "--demo --frames 4 --tasks 2 --checks --csv '" + scratch.file("d.csv") +
                                                   "' --jsonl '" + scratch.file("d.jsonl") + "' --plot '" +
                                                   scratch.file("d.svg") + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(summaryValue(run.out, "frames measured"), "4");

    const auto rows = readCsv(scratch.file("d.csv"));
    ASSERT_EQ(rows.size(), 4u);
    double largest = 0.0;
    double average = 0.0;
    for (const auto& row : rows) {
        largest = std::max(largest, std::stod(row.at("largest_light_nits")));
        average = std::max(average, std::stod(row.at("average_light_nits")));
        EXPECT_EQ(row.at("luma_low_count"), "0");
        EXPECT_EQ(row.at("luma_high_count"), "0");
    }
    EXPECT_EQ(summaryValue(run.out, "MaxCLL").rfind(std::to_string(wholeNits(largest)) + " nits (", 0), 0u) << run.out;
    EXPECT_EQ(summaryValue(run.out, "MaxFALL").rfind(std::to_string(wholeNits(average)) + " nits (", 0), 0u)
        << run.out;

    const std::vector<std::string> jsonLines = linesOf(readWholeFile(scratch.file("d.jsonl")));
    ASSERT_EQ(jsonLines.size(), 4u);
    for (std::size_t i = 0; i < jsonLines.size(); ++i)
        EXPECT_TRUE(sameBits(nlohmann::json::parse(jsonLines[i]).at("largest_light_nits").get<double>(),
                             std::strtod(rows[i].at("largest_light_nits").c_str(), nullptr)));
    const std::string svg = readWholeFile(scratch.file("d.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("MaxCLL " + std::to_string(wholeNits(largest)) + " nits"), std::string::npos);
    EXPECT_NE(svg.find("MaxFALL " + std::to_string(wholeNits(average)) + " nits"), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

TEST(Program, ChecksSeeTheCodesBeforeTheEngineClampsThem)
{
    ScratchDirectory scratch;
    // One 4x2 10-bit 4:4:4 frame: luma below, at and above the narrow range; neutral chroma.
    const std::vector<std::uint16_t> frame = {0,   63,  64,  500, 940, 941, 1023, 100,  512, 512, 512, 512,
                                              512, 512, 512, 512, 512, 512, 512,  512, 512, 512, 512, 512};
    writeWholeFile(scratch.file("f.yuv"), littleEndianBytes(frame));
    const ProgramRun run = runProgram(scratch, "--size 4x2 --pix-fmt yuv444p10le --checks --tasks 2 --csv '" +
                                                   scratch.file("f.csv") + "' '" + scratch.file("f.yuv") + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const auto rows = readCsv(scratch.file("f.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("luma_min_code"), "0");
    EXPECT_EQ(rows[0].at("luma_max_code"), "1023");
    EXPECT_EQ(rows[0].at("luma_low_count"), "2");
    EXPECT_EQ(rows[0].at("luma_high_count"), "2");

    VideoFormat format;
    format.width = 4;
    format.height = 2;
    format.bitDepth = 10;
    format.subsampling = ChromaSubsampling::Yuv444;
    const std::array<double, 6> expected = measureDirectly(frame, format, 2);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(sameBits(std::strtod(rows[0].at(kResultColumns[i]).c_str(), nullptr), expected[i]))
            << kResultColumns[i] << " " << rows[0].at(kResultColumns[i]) << " vs " << expected[i];
}

TEST(Program, ATruncatedLastFrameIsReportedAfterTheWholeFramesAreSummarised)
{
    ScratchDirectory scratch;
    writeWholeFile(scratch.file("t.y4m"), y4mStream(3, "FRAME\n" + std::string(50, '\x02')));
    for (const std::string& input : {"'" + scratch.file("t.y4m") + "'", std::string("-")}) {
        SCOPED_TRACE(input);
        const std::string csv = scratch.file("t.csv");
        const ProgramRun run = input == "-" ? runShell(scratch, "cat '" + scratch.file("t.y4m") + "' | '" +
                                                                    HDRMETER_PROGRAM + "' --csv '" + csv + "' -")
                                            : runProgram(scratch, "--csv '" + csv + "' " + input);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(summaryValue(run.out, "frames measured"), "3");
        EXPECT_NE(run.out.find("MaxCLL"), std::string::npos);
        ASSERT_EQ(linesOf(run.err).size(), 1u) << run.err;
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
    writeWholeFile(scratch.file("tag.y4m"), "YUV4MPEG2 W8 H4 Q1 C422p10\nFRAME\n");
    writeWholeFile(scratch.file("8bit.y4m"), "YUV4MPEG2 W8 H4 C420jpeg\nFRAME\n");
    writeWholeFile(scratch.file("garbage.y4m"), y4mStream(1, "JUNKJUNK"));
    writeWholeFile(scratch.file("odd.yuv"), std::string(100, '\0'));
    writeWholeFile(scratch.file("good.y4m"), y4mStream(2));
    writeWholeFile(scratch.file("empty"), "");
    struct Case {
        std::string arguments;
        std::string standardInput;
        int exitStatus;
        std::string messagePart;
    };
    const Case cases[] = {
        {"'" + scratch.file("tag.y4m") + "'", "/dev/null", 1, "tag 'Q1'"},
        {"'" + scratch.file("8bit.y4m") + "'", "/dev/null", 1, "-pix_fmt yuv420p10le"},
        {"'" + scratch.file("garbage.y4m") + "'", "/dev/null", 1, "frame 1 does not start with FRAME"},
        {"--size 4x4 --pix-fmt yuv422p10le '" + scratch.file("odd.yuv") + "'", "/dev/null", 1, "not a whole number"},
        {"'" + scratch.file("missing.y4m") + "'", "/dev/null", 1, "cannot open"},
        {"-", scratch.file("empty"), 1, "standard input is empty"},
        {"--size 4x4 --pix-fmt yuv422p '" + scratch.file("odd.yuv") + "'", "/dev/null", 2, "8-bit"},
        {"--size 4x4 --pix-fmt p010le '" + scratch.file("odd.yuv") + "'", "/dev/null", 2, "unknown pixel format"},
        {"--top1 101 '" + scratch.file("good.y4m") + "'", "/dev/null", 2, "between 0 and 100"},
        {"--bottom -3 '" + scratch.file("good.y4m") + "'", "/dev/null", 2, "between 0 and 100"},
        {"--tasks 0 '" + scratch.file("good.y4m") + "'", "/dev/null", 2, "1 or more tasks"},
        {"--frobnicate '" + scratch.file("good.y4m") + "'", "/dev/null", 2, "frobnicate"},
        {"--csv '" + scratch.file("no/such/dir.csv") + "' '" + scratch.file("good.y4m") + "'", "/dev/null", 1,
         "cannot create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = runProgram(scratch, c.arguments, c.standardInput);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        ASSERT_EQ(linesOf(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("hdrmeter: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.messagePart), std::string::npos) << run.err;
    }
}

TEST(Program, PerFrameRowsOnStandardOutputMoveTheSummaryToStandardError)
{
    ScratchDirectory scratch;
    writeWholeFile(scratch.file("good.y4m"), y4mStream(2));
    const ProgramRun run = runProgram(scratch, "--csv - --no-percentiles '" + scratch.file("good.y4m") + "'");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "frame,average_light_nits,largest_light_nits,above_threshold_percent");
    EXPECT_EQ(lines[1].rfind("0,", 0), 0u);
    EXPECT_EQ(lines[2].rfind("1,", 0), 0u);
    EXPECT_NE(run.err.find("MaxCLL"), std::string::npos);
}
