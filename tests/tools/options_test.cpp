#include <gtest/gtest.h>

#include "options.h"
#include "tool_errors.h"

using namespace hdrmeter::tool;

namespace {

CommandLine parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "hdrmeter");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data(), 6);
}

std::string usageErrorOf(const std::vector<std::string>& arguments)
{
    try {
        parse(arguments);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "(accepted)";
}

}  // namespace

TEST(Options, ValuesAreReadInEveryAcceptedSpelling)
{
    const ToolOptions options = parse({"--transfer", "HLG", "--matrix=bt709", "--threshold", "1e3", "--top1", "0",
                                       "--top2", "100", "--bottom", "2.5", "--tasks", "3", "--size", "33x17",
                                       "--pix-fmt", "yuv420p12le", "in.yuv"})
                                    .options;
    EXPECT_EQ(options.settings.transfer, TransferFunction::Hlg);
    EXPECT_EQ(options.settings.matrix, ColourMatrix::Bt709);
    EXPECT_EQ(options.settings.thresholdNits, 1000);
    EXPECT_EQ(options.settings.top1Percent, 0.0f);
    EXPECT_EQ(options.settings.top2Percent, 100.0f);
    EXPECT_EQ(options.settings.bottomPercent, 2.5f);
    EXPECT_EQ(options.settings.taskCount, 3);
    EXPECT_TRUE(options.inputPathGiven);
    ASSERT_TRUE(options.rawFormat.has_value());
    EXPECT_EQ(describeFormat(*options.rawFormat), "33x17 12-bit 4:2:0");
    EXPECT_EQ(parse({}).options.settings.taskCount, 6);
}

TEST(Options, UnusableCommandLinesGiveOneLineThatSaysWhy)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--top1", "100.5"}, "--top1 100.5: a percentage must lie between 0 and 100"},
        {{"--top2", "-0.1"}, "--top2 -0.1: a percentage must lie between 0 and 100"},
        {{"--bottom", "nan"}, "--bottom nan: expected a percentage"},
        {{"--top1", "ten"}, "--top1 ten: expected a percentage"},
        {{"--tasks", "0"}, "--tasks 0: give 1 or more tasks"},
        {{"--tasks", "-2"}, "--tasks -2: give 1 or more tasks"},
        {{"--tasks", "1.5"}, "--tasks 1.5: expected a whole number"},
        {{"--tasks", "100000"}, "at most 256"},
        {{"--threshold", "203.5"}, "give whole nits"},
        {{"--threshold", "-1"}, "from 0 to 10000"},
        {{"--threshold", "20000"}, "from 0 to 10000"},
        {{"--transfer", "sdr"}, "--transfer sdr: expected pq or hlg"},
        {{"--matrix", "bt601"}, "--matrix bt601: expected bt2020 or bt709"},
        {{"--pix-fmt", "yuv422p10le"}, "--pix-fmt needs --size"},
        {{"--size", "64x36"}, "--size needs --pix-fmt"},
        {{"--size", "64x36", "--pix-fmt", "nv12"}, "unknown pixel format 'nv12'"},
        {{"--size", "64x36", "--pix-fmt", "yuv422p"}, "8-bit"},
        {{"--size", "64*36", "--pix-fmt", "yuv422p10le"}, "expected WIDTHxHEIGHT"},
        {{"--size", "0x36", "--pix-fmt", "yuv422p10le"}, "at least 1"},
        {{"--size", "20000x36", "--pix-fmt", "yuv422p10le"}, "16384"},
        {{"--size", "99999999999999999999x4", "--pix-fmt", "yuv422p10le"}, "expected WIDTHxHEIGHT"},
        {{"--demo", "clip.y4m"}, "--demo measures its own clip"},
        {{"--demo", "--transfer", "hlg"}, "PQ BT.2020"},
        {{"--csv", "-", "--jsonl", "-"}, "cannot both write standard output"},
        {{"--plot", "-"}, "--plot needs a file name"},
        {{"--frames", "0"}, "--frames 0: give 1 or more frames"},
        {{"--no-such-option"}, "no-such-option"},
        {{"a.y4m", "b.y4m"}, "b.y4m"},
    };
    for (const auto& [arguments, part] : cases) {
        const std::string message = usageErrorOf(arguments);
        EXPECT_NE(message.find(part), std::string::npos) << arguments[0] << ": " << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(Options, HelpExplainsTheLayoutRulesAndExitStatuses)
{
    const CommandLine help = parse({"--help"});
    ASSERT_TRUE(help.immediateOutput.has_value());
    for (const char* part : {"4:2:0 is measured as 4:2:2", "odd width", "whole nits", "--no-percentiles",
                             "Exit status: 0 success; 1 bad input", "2 bad usage", "yuv4mpegpipe"})
        EXPECT_NE(help.immediateOutput->find(part), std::string::npos) << part;
    EXPECT_NE(parse({"--version"}).immediateOutput->find("hdrmeter 0."), std::string::npos);
}
