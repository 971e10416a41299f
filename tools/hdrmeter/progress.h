#ifndef HDRMETER_TOOL_PROGRESS_H
#define HDRMETER_TOOL_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace hdrmeter::cli {

// "frame 120/480  24.1 frames/s  25 %  0:15 left" when the total is known, "frame 120  24.1 frames/s"
// when it is not.
std::string progressLine(long long framesDone, std::optional<long long> framesExpected, double elapsedSeconds);

// A progress line on standard error, rewritten in place a few times a second, only when standard
// error is a terminal: a log file or a pipe gets nothing.
class ProgressReporter {
public:
    ProgressReporter(bool enabled, std::optional<long long> framesExpected);
    void frameDone(long long framesDone);
    // Clears the line so that what follows starts on a clean line.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    std::optional<long long> framesExpected_;
    Clock::time_point start_;
    Clock::time_point lastShown_;
    bool lineShown_ = false;
};

}  // namespace hdrmeter::cli

#endif
