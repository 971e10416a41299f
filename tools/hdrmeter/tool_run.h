#ifndef HDRMETER_TOOL_RUN_H
#define HDRMETER_TOOL_RUN_H

namespace hdrmeter::clip {

// SIGINT, SIGTERM and SIGHUP stop the run after the frame being measured; SIGPIPE is turned into write
// errors; a file cut short under the mapped reader loses its frame instead of the process; FFmpeg's own
// messages are kept out of standard error.
void installStopHandlers();

// The whole program: parses the command line, measures, writes, and returns the exit status. Every
// failure, whatever raised it, ends as one line on standard error and a status.
int runHdrmeter(int argc, const char* const* argv);

}  // namespace hdrmeter::clip

#endif
