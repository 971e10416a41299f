// Where a frame sits in time, as people read it beside a frame number.
#ifndef HDRMETER_CLIP_TIMECODE_H
#define HDRMETER_CLIP_TIMECODE_H

#include <optional>
#include <string>
#include <utility>

namespace hdrmeter::clip {

// "01:02:03.042": the start of frame `frame` at `frameRate` frames per second (numerator, denominator),
// in hours, minutes and seconds to the millisecond, rounded down so that a frame's timecode never reads
// past its start. Clock time rather than frame counts, so that 23.976 and 29.97 need no drop-frame rule.
// "" without a rate.
std::string timecodeOf(long long frame, const std::optional<std::pair<int, int>>& frameRate);

}  // namespace hdrmeter::clip

#endif
