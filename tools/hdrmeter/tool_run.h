#ifndef HDRMETER_TOOL_RUN_H
#define HDRMETER_TOOL_RUN_H

namespace hdrmeter::tool {

// The whole program: parses the command line, measures, writes, and returns the exit status.
int runHdrmeter(int argc, const char* const* argv);

}  // namespace hdrmeter::tool

#endif
