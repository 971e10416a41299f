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

// {"pass":1,"frames_done":120,"frames_expected":480,"elapsed_seconds":5.021}: one line of JSON for a
// pipeline; frames_expected is null when the total is not known.
std::string progressJson(int pass, long long framesDone, std::optional<long long> framesExpected, double elapsedSeconds);

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

// Progress as JSON lines on standard error, whatever it is: a few a second while a pass runs, and always
// one as each pass ends, so that a reader sees every pass's final count.
class JsonProgressReporter {
public:
    JsonProgressReporter(int pass, std::optional<long long> framesExpected);
    void frameDone(long long framesDone);
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    void write(long long framesDone, Clock::time_point now);
    int pass_;
    std::optional<long long> framesExpected_;
    Clock::time_point start_;
    Clock::time_point lastShown_;
    long long framesDone_ = 0;
    long long framesWritten_ = -1;
};

}  // namespace hdrmeter::cli

#endif
