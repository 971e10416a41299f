#include <csignal>

#include "tool_run.h"

int main(int argc, char** argv)
{
    // A reader that goes away early (a closed pipe) must make a write fail with EPIPE, so that the tool
    // reports it on one line and exits with status 1, instead of the signal ending it silently.
    std::signal(SIGPIPE, SIG_IGN);
    return hdrmeter::tool::runHdrmeter(argc, argv);
}
