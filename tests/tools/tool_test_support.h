#ifndef HDRMETER_TOOL_TESTS_TOOL_TEST_SUPPORT_H
#define HDRMETER_TOOL_TESTS_TOOL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Little-endian 16-bit words as the bytes a file holds.
inline std::string littleEndianBytes(const std::vector<std::uint16_t>& samples)
{
    std::string bytes;
    for (std::uint16_t sample : samples)
        bytes += {static_cast<char>(sample & 0xff), static_cast<char>(sample >> 8)};
    return bytes;
}

inline std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A scratch directory per test, removed afterwards.
struct ScratchDirectory {
    std::string path = ::testing::TempDir() + "hdrmeter_tool_XXXXXX";
    ScratchDirectory() { EXPECT_NE(mkdtemp(path.data()), nullptr) << path; }
    ~ScratchDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

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
    std::vector<std::map<std::string, std::string>> rows;
    const std::vector<std::string> lines = split(readWholeFile(path));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> names = split(lines[0], ','), cells = split(lines[i], ',');
        rows.emplace_back();
        for (std::size_t column = 0; column < names.size() && column < cells.size(); ++column)
            rows.back()[names[column]] = cells[column];
    }
    return rows;
}

#endif
