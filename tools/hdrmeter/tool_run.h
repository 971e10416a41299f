#ifndef HDRMETER_TOOL_RUN_H
#define HDRMETER_TOOL_RUN_H

namespace hdrmeter::tool {

// SIGINT and SIGTERM stop the run after the frame being measured; SIGPIPE is turned into write errors.
void installStopHandlers();

// The whole program: parses the command line, measures, writes, and returns the exit status. Every
// failure, whatever raised it, ends as one line on standard error and a status.
int runHdrmeter(int argc, const char* const* argv);

}  // namespace hdrmeter::tool

#endif
