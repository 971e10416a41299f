#include "progress.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace hdrmeter::cli {

namespace {

constexpr std::chrono::milliseconds kShowInterval{250};

}  // namespace

std::string progressLine(long long framesDone, std::optional<long long> framesExpected, double elapsedSeconds)
{
    char text[160];
    const double framesPerSecond = elapsedSeconds > 0.0 ? framesDone / elapsedSeconds : 0.0;
    if (framesExpected && *framesExpected > 0) {
        const long long total = std::max(*framesExpected, framesDone);
        const double percent = 100.0 * framesDone / total;
        int length = std::snprintf(text, sizeof text, "frame %lld/%lld  %.1f frames/s  %.0f %%", framesDone, total,
                                   framesPerSecond, percent);
        if (framesPerSecond > 0.0) {
            const long long secondsLeft = static_cast<long long>((total - framesDone) / framesPerSecond + 0.5);
            std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "  %lld:%02lld left",
                          secondsLeft / 60, secondsLeft % 60);
        }
    } else {
        std::snprintf(text, sizeof text, "frame %lld  %.1f frames/s", framesDone, framesPerSecond);
    }
    return text;
}

std::string progressJson(int pass, long long framesDone, std::optional<long long> framesExpected, double elapsedSeconds)
{
    nlohmann::ordered_json line;
    line["pass"] = pass;
    line["frames_done"] = framesDone;
    line["frames_expected"] = framesExpected ? nlohmann::ordered_json(*framesExpected) : nlohmann::ordered_json();
    // Milliseconds are all a pipeline's clock needs; more digits would only vary from run to run.
    line["elapsed_seconds"] = std::round(elapsedSeconds * 1000.0) / 1000.0;
    return line.dump();
}

ProgressReporter::ProgressReporter(bool enabled, std::optional<long long> framesExpected)
    : enabled_(enabled), framesExpected_(framesExpected), start_(Clock::now()), lastShown_(start_)
{
}

void ProgressReporter::frameDone(long long framesDone)
{
    if (!enabled_)
        return;
    const Clock::time_point now = Clock::now();
    if (now - lastShown_ < kShowInterval)
        return;
    lastShown_ = now;
    const double elapsedSeconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r%s\033[K", progressLine(framesDone, framesExpected_, elapsedSeconds).c_str());
    std::fflush(stderr);
    lineShown_ = true;
}

void ProgressReporter::finish()
{
    if (lineShown_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        lineShown_ = false;
    }
}

JsonProgressReporter::JsonProgressReporter(int pass, std::optional<long long> framesExpected)
    : pass_(pass), framesExpected_(framesExpected), start_(Clock::now()), lastShown_(start_)
{
}

void JsonProgressReporter::frameDone(long long framesDone)
{
    framesDone_ = framesDone;
    const Clock::time_point now = Clock::now();
    if (now - lastShown_ >= kShowInterval)
        write(framesDone, now);
}

void JsonProgressReporter::finish()
{
    if (framesWritten_ != framesDone_)
        write(framesDone_, Clock::now());
}

void JsonProgressReporter::write(long long framesDone, Clock::time_point now)
{
    lastShown_ = now;
    framesWritten_ = framesDone;
    const double elapsedSeconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "%s\n", progressJson(pass_, framesDone, framesExpected_, elapsedSeconds).c_str());
    std::fflush(stderr);
}

}  // namespace hdrmeter::cli
