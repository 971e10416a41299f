#include "progress.h"

#include <algorithm>

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

}  // namespace hdrmeter::cli
