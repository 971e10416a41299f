#ifndef HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H
#define HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H

#include <sys/wait.h>

#include <array>

#include <hdrmeter.h>

#include "tool_test_support.h"
#include "video_format.h"

struct ProgramRun { int exitStatus = -1; std::string out, err; };

// Runs a shell command line (a pipe into the program, say) and collects its output and exit status.
inline ProgramRun runShell(const ScratchDirectory& scratch, const std::string& command)
{
    const std::string outPath = scratch.file("stdout.txt"), errPath = scratch.file("stderr.txt");
    const int status = std::system(("(" + command + ") >'" + outPath + "' 2>'" + errPath + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile(outPath), readWholeFile(errPath)};
}

inline ProgramRun runProgram(const ScratchDirectory& scratch, const std::string& arguments,
                             const std::string& standardInput = "/dev/null")
{
    return runShell(scratch, std::string("'") + HDRMETER_PROGRAM + "' " + arguments + " <'" + standardInput + "'");
}

// The oracle: the library called directly, the plain way, on a frame whose chroma is first spread to one
// sample per pixel by looking up, for every pixel, the stored chroma sample that covers it.
inline std::array<double, 6> measureDirectly(const std::vector<std::uint16_t>& stored,
                                             const hdrmeter::tool::VideoFormat& format, int taskCount)
{
    using hdrmeter::tool::ChromaSubsampling;
    const std::size_t width = format.width, pixels = format.lumaSamples(), chromaPlane = format.chromaSamplesPerPlane();
    std::vector<std::uint16_t> frame(3 * pixels);
    for (std::size_t p = 0; p < pixels; ++p) {
        const std::size_t x = p % width, y = p / width;
        const std::size_t column = format.subsampling == ChromaSubsampling::Yuv444 ? x : x / 2;
        const std::size_t row = format.subsampling == ChromaSubsampling::Yuv420 ? y / 2 : y;
        const std::size_t chroma = pixels + row * format.chromaWidth() + column;
        frame[p] = stored[p];
        frame[pixels + p] = stored[chroma];
        frame[2 * pixels + p] = stored[chroma + chromaPlane];
    }
    HDR_Info info;
    info.bitDepth = format.bitDepth;
    info.transferFunction = L"PQ";
    info.colorSpace = L"BT.2020";
    info.thresholdLevel = 203;
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = true;
    info.measurePercentiles = true;
    CHDR_Measurements engine;
    EXPECT_TRUE(engine.InitializeMeasurements(info));
    auto* samples = reinterpret_cast<unsigned char*>(frame.data());
    const auto r = engine.HDR_Measurements(YCbCr444_A, format.width, format.height, samples, samples, taskCount);
    return {std::get<0>(r), std::get<1>(r), std::get<2>(r), std::get<3>(r), std::get<4>(r), std::get<5>(r)};
}

// Compares the six results of a CSV row with the oracle's, to the bit.
inline void expectRowMatches(const std::map<std::string, std::string>& row, const std::array<double, 6>& expected)
{
    const char* columns[] = {"average_light_nits", "largest_light_nits", "above_threshold_percent",
                             "top1_nits",          "top2_nits",          "bottom_nits"};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(sameBits(std::strtod(row.at(columns[i]).c_str(), nullptr), expected[i]))
            << "frame " << row.at("frame") << " " << columns[i] << ": " << row.at(columns[i]) << " vs " << expected[i];
}

#endif
