#ifndef HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H
#define HDRMETER_TOOL_TESTS_PROGRAM_SUPPORT_H

#include <sys/wait.h>

#include <hdrmeter/analysis.h>

#include "tool_test_support.h"

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

// The error lines of a run; warnings are not errors.
inline std::vector<std::string> errorLines(const std::string& err)
{
    std::vector<std::string> lines;
    for (const std::string& line : split(err))
        if (line.rfind("hdrmeter: warning: ", 0) != 0)
            lines.push_back(line);
    return lines;
}

// What the summary line starting with label says.
inline std::string summaryValue(const std::string& summary, const std::string& label)
{
    for (const std::string& line : split(summary))
        if (line.rfind(label, 0) == 0)
            return line.substr(22);
    return "(no " + label + " line)";
}

// Frame `index` of a file of raw planar frames as ffmpeg writes them (planes back to back, rows without
// gaps, chroma sizes rounded up), as a view for the analyzer.
inline hdrmeter::FrameView rawFrameView(const std::string& bytes, std::size_t index, int width, int height,
                                        hdrmeter::ChromaLayout layout, int bitDepth)
{
    const int chromaWidth = layout == hdrmeter::ChromaLayout::Yuv444 ? width : (width + 1) / 2;
    const int chromaHeight = layout == hdrmeter::ChromaLayout::Yuv420 ? (height + 1) / 2 : height;
    const std::size_t luma = std::size_t(width) * height, chroma = std::size_t(chromaWidth) * chromaHeight;
    const auto* samples = reinterpret_cast<const std::uint16_t*>(bytes.data()) + index * (luma + 2 * chroma);
    hdrmeter::FrameView view;
    view.planes[0] = samples;
    view.planes[1] = samples + luma;
    view.planes[2] = samples + luma + chroma;
    view.strides[0] = 2 * width;
    view.strides[1] = view.strides[2] = 2 * chromaWidth;
    view.width = width;
    view.height = height;
    view.layout = layout;
    view.bitDepth = bitDepth;
    return view;
}

// Compares the six results of a CSV row with the analyzer's, to the bit.
inline void expectRowMatches(const std::map<std::string, std::string>& row, const hdrmeter::FrameStatistics& expected)
{
    const std::pair<const char*, double> columns[] = {
        {"average_light_nits", expected.averageLightNits()}, {"largest_light_nits", expected.largestLightNits()},
        {"above_threshold_percent", expected.aboveThresholdPercent()}, {"top1_nits", expected.top1Nits()},
        {"top2_nits", expected.top2Nits()}, {"bottom_nits", expected.bottomNits()}};
    for (const auto& [name, value] : columns)
        EXPECT_TRUE(sameBits(std::strtod(row.at(name).c_str(), nullptr), value))
            << "frame " << row.at("frame") << " " << name << ": " << row.at(name) << " vs " << value;
}

#endif
