#ifndef HDRMETER_CLIP_TESTS_TOOL_TEST_SUPPORT_H
#define HDRMETER_CLIP_TESTS_TOOL_TEST_SUPPORT_H

#include "test_files.h"

// Runs a shell command line in the scratch directory, where PROGRAM stands for the built tool.
inline ProgramRun runShell(const ScratchDirectory& scratch, std::string command)
{
    const std::string program = std::string("'") + HDRMETER_PROGRAM + "'";
    for (std::size_t at = 0; (at = command.find("PROGRAM", at)) != std::string::npos; at += program.size())
        command.replace(at, 7, program);
    return runCommand(scratch, command);
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

#endif
