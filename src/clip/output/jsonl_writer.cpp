#include <nlohmann/json.hpp>

#include "frame_writers.h"

namespace hdrmeter::clip {

std::string jsonLine(const FrameRecord& record, const Columns& columns, const std::string& coefficients,
                     const FrameRate& frameRate)
{
    // nlohmann::json prints doubles in their shortest round-trip form, so readers get the exact bits.
    nlohmann::ordered_json row;
    for (const FrameColumn* column : columns) {
        if (column->text) {
            const std::string text = column->text(record, frameRate);
            row[column->name] = text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
            continue;
        }
        const double value = column->value(record);
        if (column->integral)
            row[column->name] = static_cast<long long>(value);
        else
            row[column->name] = value;
    }
    row["coefficients"] = coefficients;
    return row.dump() + "\n";
}

std::string jsonLinesText(const Report& report)
{
    const Columns columns = columnsOf(report.request);
    std::string text;
    for (const FrameRecord& record : report.frames)
        text += jsonLine(record, columns, report.request.classParity ? "class" : "exact", report.stream.frameRate);
    return text;
}

}  // namespace hdrmeter::clip
