#ifndef HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H
#define HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <hdrmeter.h>

#include "video_format.h"

// Runs the built hdrmeter program through the shell and collects what it says.
struct ProgramRun {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

inline std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline void writeWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

// A scratch directory per test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = ::testing::TempDir() + "hdrmeter_tool_XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDirectory()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
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

inline std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

// A CSV file as rows of named cells.
inline std::vector<std::map<std::string, std::string>> readCsv(const std::string& path)
{
    std::vector<std::map<std::string, std::string>> rows;
    const std::vector<std::string> lines = linesOf(readWholeFile(path));
    if (lines.empty())
        return rows;
    auto split = [](const std::string& line) {
        std::vector<std::string> cells;
        std::stringstream stream(line);
        std::string cell;
        while (std::getline(stream, cell, ','))
            cells.push_back(cell);
        return cells;
    };
    const std::vector<std::string> names = split(lines[0]);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> cells = split(lines[i]);
        std::map<std::string, std::string> row;
        for (std::size_t column = 0; column < names.size() && column < cells.size(); ++column)
            row[names[column]] = cells[column];
        rows.push_back(row);
    }
    return rows;
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
