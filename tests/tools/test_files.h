#ifndef HDRMETER_TOOL_TESTS_TEST_FILES_H
#define HDRMETER_TOOL_TESTS_TEST_FILES_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

#endif
