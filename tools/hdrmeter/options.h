#ifndef HDRMETER_TOOL_OPTIONS_H
#define HDRMETER_TOOL_OPTIONS_H

#include <optional>
#include <string>

#include <hdrmeter/clip.h>

namespace hdrmeter::cli {

using clip::Request;

struct CommandLine {
    Request request;
    bool inputPathGiven = false;
    bool quiet = false;  // --quiet: nothing on the terminal but errors
    // Set for --help and --version: print this on standard output and exit with status 0.
    std::optional<std::string> immediateOutput;
};

// Parses the command line into a request that validate() accepts. Throws RequestError with a one-line
// reason for anything that cannot be carried out.
CommandLine parseCommandLine(int argc, const char* const* argv);

}  // namespace hdrmeter::cli

#endif
