#include "timecode.h"

#include <cstdio>

namespace hdrmeter::clip {

std::string timecodeOf(long long frame, const std::optional<std::pair<int, int>>& frameRate)
{
    if (!frameRate || frameRate->first <= 0 || frameRate->second <= 0 || frame < 0)
        return {};
    // Whole integers throughout: a two-hour film at 24000/1001 is about 1.7e5 frames, far from overflow.
    const long long milliseconds = frame * frameRate->second * 1000LL / frameRate->first;
    char text[40];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", milliseconds / 3600000, milliseconds / 60000 % 60,
                  milliseconds / 1000 % 60, milliseconds % 1000);
    return text;
}

}  // namespace hdrmeter::clip
