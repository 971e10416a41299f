// What is written about the settings outside the program, made from the table of settings: the manuals'
// tables, the man page, bash's completion and the Python module's type stubs.
#ifndef HDRMETER_TOOL_REFERENCE_H
#define HDRMETER_TOOL_REFERENCE_H

#include <string>

namespace hdrmeter::cli {

// docs/cli.md's options, a table per group.
std::string optionsMarkdown();
// docs/python.md's keywords.
std::string keywordsMarkdown();
// hdrmeter(1) in roff.
std::string manPage();
// A bash completion script for hdrmeter, plan and merge.
std::string bashCompletion();
// The keyword-only parameters of hdrmeter.measure() and merge() for a .pyi stub, one a line.
std::string measureKeywordsStub();
std::string mergeKeywordsStub();

}  // namespace hdrmeter::cli

#endif
