#ifndef HDRMETER_TOOL_RUN_H
#define HDRMETER_TOOL_RUN_H

namespace hdrmeter::cli {

// The documented exit statuses; a signal that stopped the run gives 128 plus its number.
constexpr int kExitSuccess = 0;
constexpr int kExitBadInput = 1;  // the input cannot be measured, ended early, or an output cannot be written
constexpr int kExitBadUsage = 2;  // the command line cannot be carried out
constexpr int kExitVerifyFailed = 3;  // measured in full, but a --verify check failed

// SIGINT, SIGTERM and SIGHUP stop the run after the frame being measured; SIGPIPE is turned into write
// errors; a file cut short under the mapped reader loses its frame instead of the process; FFmpeg's own
// messages are kept out of standard error.
void installStopHandlers();

// The whole program: parses the command line, measures, writes, and returns the exit status. Every
// failure, whatever raised it, ends as one line on standard error and a status.
int runHdrmeter(int argc, const char* const* argv);

}  // namespace hdrmeter::cli

#endif
