#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "options.h"

using namespace hdrmeter;
using namespace hdrmeter::clip;
using namespace hdrmeter::cli;

#define SETS(...) [](const Request& o) { return __VA_ARGS__; }

// The command line as the program gets it; "''" is an empty argument. Throws what the parser throws.
static CommandLine parse(const std::string& arguments)
{
    std::vector<std::string> words;
    std::istringstream stream(arguments);
    for (std::string word; stream >> word;)
        words.push_back(word == "''" ? "" : word);
    std::vector<const char*> argv{"hdrmeter"};
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Every option with good values and what they must set; with bad values, the words its one-line reason
// (status 2) must hold.
TEST(Options, EveryOptionParsesOrIsRefusedWithItsReason)
{
    const std::pair<std::string, std::function<bool(const Request&)>> parsed[] = {
        {"clip.mkv", SETS(o.input == "clip.mkv" && !o.transfer && o.percentiles && !o.classParity && o.tasks == 0 &&
                          o.areaMode == AreaMode::Auto && o.minSceneFrames == 12 && o.thresholdNits == 203)},
        {"--demo", SETS(o.demo)},
        {"--size 33x17 --pix-fmt yuv420p12le f", SETS(o.raw->width == 33 && o.raw->height == 17)},
        {"--size 2x2 --pix-fmt yuva444p10le f", SETS(o.raw.has_value())},
        {"--stream 2 f", SETS(*o.stream == 2)},
        {"--transfer HLG --matrix bt709 f", SETS(*o.transfer == Transfer::Hlg && *o.matrix == Matrix::Bt709)},
        {"--threshold 203.5 --tasks 3 f", SETS(o.thresholdNits == 203.5 && o.tasks == 3)},
        {"--tasks 0 --start 1:02:03.5 --end 3724 f", SETS(o.tasks == 0 && *o.start == 3723.5 && *o.end == 3724)},
        {"--top1 0.01 --top2 99.98 --bottom 0 f",
         SETS(o.top1Percent == 0.01 && o.top2Percent == 99.98 && o.bottomPercent == 0)},
        {"--no-percentiles --class-parity --checks f", SETS(!o.percentiles && o.classParity && o.lumaChecks)},
        {"--frames 7 f", SETS(*o.frameLimit == 7)},
        {"--dovi-cm-version 2.9 f", SETS(o.doviCmVersion == DoviCmVersion::V29)},
        {"--robust-frame-percentile 99.9 --robust-clip-percentile 95 --robust-peaks --peak-pixels 0 f",
         SETS(o.robustFramePercent == 99.9 && o.robustClipPercent == 95 && o.robustMetadata && o.fewPeakPixels == 0)},
        {"--verify --verify-margin 0 --verify-pq-codes 1.5 --verify-max-shift 0 --verify-json v.json f",
         SETS(o.verify && o.verifyMarginPercent == 0 && o.verifyPqCodes == 1.5 && o.verifyMaxShift == 0 &&
              o.verifyJsonPath == "v.json")},
        {"--csv a --jsonl b --plot c.svg --hdr10plus - f",
         SETS(o.csvPath == "a" && o.jsonlPath == "b" && o.plotPath == "c.svg" && o.hdr10PlusPath == "-")},
        {"--active-area 0,140,0,140 --scene-threshold 0.5 --min-scene-length 1 --mastering-display 4000,0.005 f",
         SETS(o.areaMode == AreaMode::Given && o.area == ActiveArea{0, 140, 0, 140} && o.sceneThreshold == 0.5 &&
              o.minSceneFrames == 1 && o.masteringDisplay->minNits == 0.005)},
        {"--active-area full --scene-cuts cuts.txt f", SETS(o.areaMode == AreaMode::Full && o.sceneCutsFile == "cuts.txt")},
        {"--mastering-display P3-D65 f", SETS(!o.masteringDisplay->luminanceGiven && (*o.masteringDisplay->primaries)[3] == 0.69)},
        {"--mastering-display bt709,600,0.005 f",
         SETS(o.masteringDisplay->luminanceGiven && o.masteringDisplay->maxNits == 600 && (*o.masteringDisplay->primaries)[2] == 0.3)},
        {"--mastering-display .7,.3,.2,.7,.1,.05,.3,.33,4000,.005 f",
         SETS(*o.masteringDisplay->primaries == (std::array<double, 6>{.7, .3, .2, .7, .1, .05}) &&
              *o.masteringDisplay->whitePoint == (std::array<double, 2>{.3, .33}) && o.masteringDisplay->minNits == .005)},
    };
    for (const auto& [arguments, check] : parsed) {
        const CommandLine line = parse(arguments);
        EXPECT_FALSE(line.immediateOutput) << arguments;
        EXPECT_TRUE(check(line.request)) << arguments;
    }
    const std::pair<std::string, std::string> refused[] = {
        {"''", "name is empty"}, {"--demo clip.mkv", "--demo measures its own clip"},
        {"--demo --stream 1", "--demo measures its own clip"},
        {"--size 2x2 --pix-fmt yuv420p99999999999le f", "FFmpeg pixel format"},
        {"--size 2x2 --pix-fmt yuv422p010le f", "FFmpeg pixel format"},
        {"--size 2x2 --pix-fmt gray10le f", "monochrome"}, {"--size 2x2 --pix-fmt yuv420p f", "8-bit"},
        {"--size 2x2 --pix-fmt yuv420p9le f", "9-bit"}, {"--size 2x2 --pix-fmt yuv444p14le f", "14-bit"},
        {"--size 2x2 --pix-fmt yuv420p10be f", "byte-swapped"}, {"--size 2x2 --pix-fmt p010le f", "semi-planar"},
        {"--size 2x2 --pix-fmt gbrp14le f", "14-bit R'G'B'"}, {"--size 0x2 --pix-fmt yuv420p10le f", "WIDTHxHEIGHT"},
        {"--size 16385x2 --pix-fmt yuv420p10le f", "WIDTHxHEIGHT"}, {"--size 2x --pix-fmt yuv420p10le f", "WIDTHxHEIGHT"},
        {"--size 320x180x --pix-fmt yuv420p10le f", "--size 320x180x: expected WIDTHxHEIGHT"},
        {"--size 99999999999999999999x2 --pix-fmt yuv420p10le f", "WIDTHxHEIGHT"},
        {"--size 2x2 f", "--size needs --pix-fmt"}, {"--pix-fmt yuv420p10le f", "--pix-fmt needs --size"},
        {"--stream -1 f", "stream number"}, {"--transfer srgb f", "expected pq or hlg"},
        {"--matrix bt601 f", "expected bt2020 or bt709"}, {"--threshold 10001 f", "0 to 10000"},
        {"--threshold 5x f", "expected a level"}, {"--threshold nan f", "expected a level"},
        {"--top1 101 f", "a percentage from 0 to 100"}, {"--top2 1e999 f", "expected a percentage"},
        {"--bottom -1 f", "a percentage from 0 to 100"}, {"--tasks 257 f", "from 1 to 256"},
        {"--tasks 2.5 f", "from 1 to 256"}, {"--frames 0 f", "1 or more"}, {"--frames 99999999999999999999 f", "1 or more"},
        {"--csv '' f", "--csv needs a file name"}, {"--jsonl '' f", "--jsonl needs a file name"},
        {"--csv - --jsonl - f", "cannot both write standard output"}, {"--plot - f", "--plot needs a file name"},
        {"--hdr10plus '' f", "--hdr10plus needs a file name"}, {"--active-area 1,2,3 f", "LEFT,TOP,RIGHT,BOTTOM"},
        {"--active-area 1,2,3,-4 f", "LEFT,TOP,RIGHT,BOTTOM"}, {"--active-area 1,2,3,4, f", "LEFT,TOP,RIGHT,BOTTOM"},
        {"--scene-threshold 1.5 f", "from 0 to 1"}, {"--min-scene-length 0 f", "1 or more"},
        {"--mastering-display 0.005,4000 f", "MAX above MIN"}, {"--mastering-display 1000 f", "MAX,MIN"},
        {"--mastering-display p3,1000,0.01 f", "p3-d65, bt2020, bt709"},
        {"--mastering-display bt709,1000 f", "MAX,MIN"}, {"--mastering-display .7,.3,.2,.7,.1,.05,.3 f", "RX,RY"},
        {"--mastering-display .7,.3,.2,1.7,.1,.05,.3,.33 f", "x, y from 0 to 1"},
        {"--robust-clip-percentile 100.5 f", "a percentage from 0 to 100"}, {"--peak-pixels -1 f", "0 or more"},
        {"--verify-margin 1001 f", "from 0 to 1000"}, {"--verify-pq-codes 1024 f", "from 0 to 1023"},
        {"--verify-max-shift 10001 f", "from 0 to 10000"}, {"--dovi-cm-version 3.0 f", "expected 2.9 or 4.0"},
        {"--frobnicate f", "frobnicate"},
    };
    for (const auto& [arguments, words] : refused) {
        try {
            parse(arguments);
            ADD_FAILURE() << arguments << " was parsed";
        } catch (const RequestError& error) {
            const std::string reason = spelledForCommandLine(error.message());
            EXPECT_NE(reason.find(words), std::string::npos) << arguments << ": " << reason;
            EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
        }
    }
    EXPECT_NE(parse("--help").immediateOutput.value_or("").find("Exit status"), std::string::npos);
    EXPECT_NE(parse("--version").immediateOutput.value_or("").find("hdrmeter 0."), std::string::npos);
}
