// The per-frame outputs, a row at a time: the run writes each row as soon as its frame's scene is
// decided, and csvText()/jsonLinesText() write a whole report the same way.
#ifndef HDRMETER_CLIP_FRAME_WRITERS_H
#define HDRMETER_CLIP_FRAME_WRITERS_H

#include <string>
#include <vector>

#include <hdrmeter/clip.h>

namespace hdrmeter::clip {

using Columns = std::vector<const FrameColumn*>;

// The shortest decimal text that reads back as exactly the same double.
std::string roundTripNumber(double value);

// Comma-separated values: one header row of the columns' names, then one row per frame.
std::string csvHeader(const Columns& columns);
std::string csvRow(const FrameRecord& record, const Columns& columns);

// JSON lines: one object per frame under the same names, and the arithmetic's name.
std::string jsonLine(const FrameRecord& record, const Columns& columns, const std::string& coefficients);

}  // namespace hdrmeter::clip

#endif
