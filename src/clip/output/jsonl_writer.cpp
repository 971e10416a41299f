#include <nlohmann/json.hpp>

#include "frame_writers.h"
#include "metadata_json.h"

namespace hdrmeter::clip {

JsonLinesWriter::JsonLinesWriter(OutputFile& output, const ColumnSet& columns) : output_(output), columns_(columns)
{
}

void JsonLinesWriter::write(const FrameMeasurement& measurement)
{
    output_.write(frameJson(measurement, columns_).dump() + "\n");
}

}  // namespace hdrmeter::clip
