#ifndef HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H
#define HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include <hdrmeter.h>

#include "test_files.h"
#include "video_format.h"

// Runs the built hdrmeter program through the shell and collects what it says.
struct ProgramRun {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line (a pipe into the program, say) and collects its output and exit status.
inline ProgramRun runShell(const ScratchDirectory& scratch, const std::string& command)
{
    const std::string outPath = scratch.file("stdout.txt");
    const std::string errPath = scratch.file("stderr.txt");
    const int status = std::system(("(" + command + ") >'" + outPath + "' 2>'" + errPath + "'").c_str());
    ProgramRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readWholeFile(outPath);
    run.err = readWholeFile(errPath);
    return run;
}

inline ProgramRun runProgram(const ScratchDirectory& scratch, const std::string& arguments,
                             const std::string& standardInput = "/dev/null")
{
    return runShell(scratch, std::string("'") + HDRMETER_PROGRAM + "' " + arguments + " <'" + standardInput + "'");
}

// The oracle: the library called directly, the plain way, on a frame whose chroma is first spread to one
// sample per pixel by looking up, for every pixel, the stored chroma sample that covers it.
inline std::array<double, 6> measureDirectly(const std::vector<std::uint16_t>& stored,
                                             const hdrmeter::tool::VideoFormat& format, int taskCount,
                                             const std::wstring& transfer = L"PQ")
{
    using hdrmeter::tool::ChromaSubsampling;
    const std::size_t width = static_cast<std::size_t>(format.width);
    const std::size_t height = static_cast<std::size_t>(format.height);
    const std::size_t pixels = width * height;
    const std::size_t chromaWidth = static_cast<std::size_t>(format.chromaWidth());
    const std::size_t chromaPlane = format.chromaSamplesPerPlane();
    std::vector<std::uint16_t> frame(3 * pixels);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t p = y * width + x;
            const std::size_t column = format.subsampling == ChromaSubsampling::Yuv444 ? x : x / 2;
            const std::size_t row = format.subsampling == ChromaSubsampling::Yuv420 ? y / 2 : y;
            frame[p] = stored[p];
            frame[pixels + p] = stored[pixels + row * chromaWidth + column];
            frame[2 * pixels + p] = stored[pixels + chromaPlane + row * chromaWidth + column];
        }
    }
    HDR_Info info;
    info.bitDepth = format.bitDepth;
    info.transferFunction = transfer;
    info.colorSpace = L"BT.2020";
    info.thresholdLevel = 203;
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = true;
    info.measurePercentiles = true;
    CHDR_Measurements engine;
    EXPECT_TRUE(engine.InitializeMeasurements(info));
    auto* samples = reinterpret_cast<unsigned char*>(frame.data());
    auto results = engine.HDR_Measurements(YCbCr444_A, format.width, format.height, samples, samples, taskCount);
    return {std::get<0>(results), std::get<1>(results), std::get<2>(results),
            std::get<3>(results), std::get<4>(results), std::get<5>(results)};
}

inline const std::array<const char*, 6> kResultColumns = {"average_light_nits", "largest_light_nits",
                                                          "above_threshold_percent", "top1_nits",
                                                          "top2_nits", "bottom_nits"};

#endif
