#include <charconv>
#include <cmath>

#include "frame_writers.h"

namespace hdrmeter::clip {

std::string roundTripNumber(double value)
{
    char text[32];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string csvHeader(const Columns& columns)
{
    std::string header;
    for (const FrameColumn* column : columns)
        header += (header.empty() ? "" : ",") + std::string(column->name);
    return header + "\n";
}

std::string csvRow(const FrameRecord& record, const Columns& columns, const FrameRate& frameRate)
{
    std::string row;
    for (const FrameColumn* column : columns) {
        if (!row.empty())
            row += ',';
        if (column->text) {
            row += column->text(record, frameRate);
            continue;
        }
        const double value = column->value(record);
        if (std::isnan(value))
            continue;
        row += column->integral ? std::to_string(static_cast<long long>(value)) : roundTripNumber(value);
    }
    return row + "\n";
}

std::string csvText(const Report& report)
{
    const Columns columns = columnsOf(report.request);
    std::string text = csvHeader(columns);
    for (const FrameRecord& record : report.frames)
        text += csvRow(record, columns, report.stream.frameRate);
    return text;
}

}  // namespace hdrmeter::clip
