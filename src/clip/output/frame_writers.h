// The per-frame outputs, a row at a time: the run writes each row as soon as its frame's scene is
// decided, and csvText()/jsonLinesText() write a whole report the same way.
#ifndef HDRMETER_CLIP_FRAME_WRITERS_H
#define HDRMETER_CLIP_FRAME_WRITERS_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

using Columns = std::vector<const FrameColumn*>;
// Frames per second as a numerator and a denominator, for the text columns (the timecode).
using FrameRate = std::optional<std::pair<int, int>>;

// The shortest decimal text that reads back as exactly the same double.
std::string roundTripNumber(double value);

// Comma-separated values: one header row of the columns' names, then one row per frame.
std::string csvHeader(const Columns& columns);
std::string csvRow(const FrameRecord& record, const Columns& columns, const FrameRate& frameRate);

// JSON lines: one object per frame under the same names, and the arithmetic's name.
std::string jsonLine(const FrameRecord& record, const Columns& columns, const std::string& coefficients,
                     const FrameRate& frameRate);

}  // namespace hdrmeter::clip

#endif
