// Files, folders and shell commands for tests that make their media with ffmpeg and read back what
// hdrmeter wrote.
#ifndef HDRMETER_TESTS_SUPPORT_TEST_FILES_H
#define HDRMETER_TESTS_SUPPORT_TEST_FILES_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <hdrmeter/analysis.h>

inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> split(const std::string& text, char separator = '\n')
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}

// A CSV file as rows of named cells.
inline std::vector<std::map<std::string, std::string>> readCsv(const std::string& path)
{
    const std::vector<std::string> lines = split(readWholeFile(path));
    std::vector<std::map<std::string, std::string>> rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> names = split(lines[0], ','), cells = split(lines[i], ',');
        rows.emplace_back();
        for (std::size_t column = 0; column < names.size() && column < cells.size(); ++column)
            rows.back()[names[column]] = cells[column];
    }
    return rows;
}

// A scratch directory per test, removed afterwards.
struct ScratchDirectory {
    std::string path = ::testing::TempDir() + "hdrmeter_tool_XXXXXX";
    ScratchDirectory() { EXPECT_NE(mkdtemp(path.data()), nullptr) << path; }
    ~ScratchDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// The scene numbers of the summary's table of the brightest scenes, in the order it shows them.
inline std::vector<long long> brightestSceneRows(const std::string& summaryText)
{
    std::vector<long long> rows;
    std::istringstream lines(summaryText);
    bool inTable = false;
    for (std::string line; std::getline(lines, line);) {
        if (inTable && line.rfind("  ", 0) == 0 && line.find("scene") == std::string::npos)
            rows.push_back(std::stoll(line));
        else if (inTable && line.rfind("  ", 0) != 0)
            break;
        inTable = inTable || line.rfind("brightest scenes", 0) == 0;
    }
    return rows;
}

struct ProgramRun { int exitStatus = -1; std::string out, err; };

// Runs a shell command line in the scratch directory.
inline ProgramRun runCommand(const ScratchDirectory& scratch, const std::string& command)
{
    const std::string out = scratch.file("stdout.txt"), err = scratch.file("stderr.txt");
    const int status = std::system(("cd '" + scratch.path + "' && (" + command + ") >'" + out + "' 2>'" + err + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile(out), readWholeFile(err)};
}

// What the summary line starting with label says.
inline std::string summaryValue(const std::string& summary, const std::string& label)
{
    for (const std::string& line : split(summary))
        if (line.rfind(label, 0) == 0)
            return line.substr(22);
    return "(no " + label + " line)";
}

// Frame `index` of raw planar frames as ffmpeg writes them (planes back to back, rows without gaps,
// chroma sizes rounded up), as a view for the analyzer.
inline hdrmeter::FrameView rawFrameView(const std::string& bytes, std::size_t index, int width, int height,
                                        hdrmeter::ChromaLayout layout, int bitDepth)
{
    const int chromaWidth = layout == hdrmeter::ChromaLayout::Yuv444 ? width : (width + 1) / 2;
    const int chromaHeight = layout == hdrmeter::ChromaLayout::Yuv420 ? (height + 1) / 2 : height;
    const std::size_t luma = std::size_t(width) * height, chroma = std::size_t(chromaWidth) * chromaHeight;
    const auto* samples = reinterpret_cast<const std::uint16_t*>(bytes.data()) + index * (luma + 2 * chroma);
    return {{samples, samples + luma, samples + luma + chroma}, {2 * width, 2 * chromaWidth, 2 * chromaWidth},
            width, height, layout, bitDepth};
}

// A madVR measurement file (version 5) read as its readers read it: little-endian, a header of eight u32
// after the magic, three u32 scene arrays, then 288 u16 per frame (peak, 256 bins, 31 hue bins).
struct MadvrFile {
    std::string magic;
    std::uint32_t version = 0, headerSize = 0, sceneCount = 0, frameCount = 0, flags = 0, maxCll = 0, maxFall = 0,
                  averageFall = 0;
    std::vector<std::uint32_t> sceneFirsts, sceneEnds, scenePeaks;
    std::vector<std::vector<std::uint16_t>> frames;
    bool sizeFits = false;  // the file is exactly as long as its counts say
};

inline MadvrFile readMadvr(const std::string& bytes)
{
    MadvrFile file;
    std::size_t at = 4;
    const auto take = [&](int size) {
        std::uint32_t value = 0;
        for (int i = 0; i < size; ++i, ++at)
            value |= at < bytes.size() ? std::uint32_t(std::uint8_t(bytes[at])) << (8 * i) : 0;
        return value;
    };
    file.magic = bytes.substr(0, 4);
    for (std::uint32_t* field : {&file.version, &file.headerSize, &file.sceneCount, &file.frameCount, &file.flags,
                                 &file.maxCll, &file.maxFall, &file.averageFall})
        *field = take(4);
    for (auto* array : {&file.sceneFirsts, &file.sceneEnds, &file.scenePeaks})
        for (std::uint32_t i = 0; i < file.sceneCount && at < bytes.size(); ++i)
            array->push_back(take(4));
    for (std::uint32_t i = 0; i < file.frameCount && at < bytes.size(); ++i) {
        file.frames.emplace_back();
        for (int word = 0; word < 288; ++word)
            file.frames.back().push_back(static_cast<std::uint16_t>(take(2)));
    }
    file.sizeFits = bytes.size() == 4 + 32 + 12 * std::size_t(file.sceneCount) + 576 * std::size_t(file.frameCount);
    return file;
}

#endif
