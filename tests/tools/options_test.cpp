#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "options.h"
#include "tool_errors.h"

using namespace hdrmeter;
using namespace hdrmeter::tool;

// Every option with good and bad values: the status the program gives (0 parsed, 2 refused), words the
// one-line reason must hold, and for parsed command lines what they must set. "''" is an empty argument.
TEST(Options, EveryOptionParsesOrIsRefusedWithItsReason)
{
    using Check = std::function<bool(const ToolOptions&)>;
    const std::tuple<std::string, int, std::string, Check> cases[] = {
        {"clip.mkv", 0, "", [](auto& o) { return o.clip.source.path == "clip.mkv" && !o.clip.transfer &&
                                                  o.clip.analysis.arithmetic.name() == "exact" &&
                                                  o.clip.analysis.taskCount == 0 && o.percentiles; }},
        {"''", 2, "name is empty", {}},
        {"--demo", 0, "", [](auto& o) { return o.clip.demo; }},
        {"--demo clip.mkv", 2, "--demo measures its own clip", {}},
        {"--demo --stream 1", 2, "--demo measures its own clip", {}},
        {"--size 33x17 --pix-fmt yuv420p12le f", 0, "",
         [](auto& o) { return o.clip.source.raw->width == 33 && o.clip.source.raw->height == 17; }},
        {"--size 2x2 --pix-fmt yuva444p10le f", 0, "", [](auto& o) { return o.clip.source.raw.has_value(); }},
        {"--size 2x2 --pix-fmt yuv420p99999999999le f", 2, "not an ffmpeg pixel format", {}},
        {"--size 2x2 --pix-fmt yuv422p010le f", 2, "not an ffmpeg pixel format", {}},
        {"--size 2x2 --pix-fmt gray10le f", 2, "monochrome", {}},
        {"--size 2x2 --pix-fmt yuv420p f", 2, "8-bit", {}},
        {"--size 2x2 --pix-fmt yuv420p9le f", 2, "9-bit", {}},
        {"--size 2x2 --pix-fmt yuv444p14le f", 2, "14-bit", {}},
        {"--size 2x2 --pix-fmt yuv420p10be f", 2, "byte-swapped", {}},
        {"--size 2x2 --pix-fmt p010le f", 2, "semi-planar", {}},
        {"--size 2x2 --pix-fmt gbrp10le f", 2, "RGB", {}},
        {"--size 0x2 --pix-fmt yuv420p10le f", 2, "WIDTHxHEIGHT", {}},
        {"--size 16385x2 --pix-fmt yuv420p10le f", 2, "WIDTHxHEIGHT", {}},
        {"--size 99999999999999999999x2 --pix-fmt yuv420p10le f", 2, "WIDTHxHEIGHT", {}},
        {"--size 2x --pix-fmt yuv420p10le f", 2, "WIDTHxHEIGHT", {}},
        {"--size 2x2 f", 2, "--size needs --pix-fmt", {}},
        {"--pix-fmt yuv420p10le f", 2, "--pix-fmt needs --size", {}},
        {"--stream 2 f", 0, "", [](auto& o) { return *o.clip.source.streamIndex == 2; }},
        {"--stream -1 f", 2, "stream number", {}},
        {"--transfer HLG --matrix bt709 f", 0, "",
         [](auto& o) { return *o.clip.transfer == Transfer::Hlg && *o.clip.matrix == Matrix::Bt709; }},
        {"--transfer srgb f", 2, "expected pq or hlg", {}},
        {"--matrix bt601 f", 2, "expected bt2020 or bt709", {}},
        {"--threshold 203.5 f", 0, "", [](auto& o) { return o.clip.analysis.thresholdNits == 203.5; }},
        {"--threshold 10001 f", 2, "0 to 10000", {}},
        {"--threshold 5x f", 2, "expected a level", {}},
        {"--threshold nan f", 2, "expected a level", {}},
        {"--top1 0.01 --top2 99.98 --bottom 0 f", 0, "",
         [](auto& o) { return o.clip.analysis.top1Percent == 0.01 && o.clip.analysis.top2Percent == 99.98; }},
        {"--top1 101 f", 2, "between 0 and 100", {}},
        {"--top2 1e999 f", 2, "expected a percentage", {}},
        {"--bottom -1 f", 2, "between 0 and 100", {}},
        {"--no-percentiles f", 0, "", [](auto& o) { return !o.percentiles; }},
        {"--tasks 3 f", 0, "", [](auto& o) { return o.clip.analysis.taskCount == 3; }},
        {"--tasks 0 f", 2, "from 1 to 256", {}},
        {"--tasks 257 f", 2, "from 1 to 256", {}},
        {"--tasks 2.5 f", 2, "from 1 to 256", {}},
        {"--class-parity f", 0, "", [](auto& o) { return o.clip.analysis.arithmetic.name() == "class"; }},
        {"--checks f", 0, "", [](auto& o) { return o.clip.lumaChecks; }},
        {"--frames 7 f", 0, "", [](auto& o) { return *o.frameLimit == 7; }},
        {"--frames 0 f", 2, "1 or more", {}},
        {"--frames 99999999999999999999 f", 2, "1 or more", {}},
        {"--csv a --jsonl b --plot c.svg f", 0, "",
         [](auto& o) { return o.csvPath == "a" && o.jsonlPath == "b" && o.plotPath == "c.svg"; }},
        {"--csv '' f", 2, "--csv needs a file name", {}},
        {"--jsonl '' f", 2, "--jsonl needs a file name", {}},
        {"--csv - --jsonl - f", 2, "cannot both write standard output", {}},
        {"--plot - f", 2, "--plot needs a file name", {}},
        {"--active-area 0,140,0,140 --scene-threshold 0.5 --min-scene-length 1 --mastering-display 4000,0.005 f", 0, "",
         [](auto& o) { return o.area.mode == AreaMode::Given && o.area.given == ActiveArea{0, 140, 0, 140} &&
                              o.sceneThreshold == 0.5 && o.minSceneFrames == 1 && o.mastering->minNits == 0.005; }},
        {"--active-area full f", 0, "", [](auto& o) { return o.area.mode == AreaMode::Full; }},
        {"f", 0, "", [](auto& o) { return o.area.mode == AreaMode::Auto && o.minSceneFrames == 12; }},
        {"--active-area 1,2,3 f", 2, "LEFT,TOP,RIGHT,BOTTOM", {}},
        {"--active-area 1,2,3,-4 f", 2, "LEFT,TOP,RIGHT,BOTTOM", {}},
        {"--active-area 1,2,3,4, f", 2, "LEFT,TOP,RIGHT,BOTTOM", {}},
        {"--scene-threshold 1.5 f", 2, "from 0 to 1", {}},
        {"--min-scene-length 0 f", 2, "1 or more", {}},
        {"--mastering-display 0.005,4000 f", 2, "MAX above MIN", {}},
        {"--mastering-display 1000 f", 2, "MAX,MIN", {}},
        {"--hdr10plus '' f", 2, "--hdr10plus needs a file name", {}},
        {"--frobnicate f", 2, "frobnicate", {}},
    };
    for (const auto& [arguments, status, words, check] : cases) {
        SCOPED_TRACE(arguments);
        std::vector<std::string> words_;
        std::istringstream split(arguments);
        for (std::string word; split >> word;)
            words_.push_back(word == "''" ? "" : word);
        std::vector<const char*> argv{"hdrmeter"};
        for (const std::string& word : words_)
            argv.push_back(word.c_str());
        try {
            const CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
            EXPECT_EQ(status, 0);
            EXPECT_FALSE(line.immediateOutput);
            if (check) {
                EXPECT_TRUE(check(line.options));
            }
        } catch (const UsageError& error) {
            EXPECT_EQ(status, 2) << error.what();
            EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
        }
    }
    for (const char* immediate : {"--help", "--version"}) {
        const char* argv[] = {"hdrmeter", immediate};
        const CommandLine line = parseCommandLine(2, argv);
        ASSERT_TRUE(line.immediateOutput);
        EXPECT_NE(line.immediateOutput->find(immediate[2] == 'h' ? "Exit status" : "hdrmeter 0."), std::string::npos);
    }
}
