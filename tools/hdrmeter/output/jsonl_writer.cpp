#include <nlohmann/json.hpp>

#include "frame_writers.h"

namespace hdrmeter::tool {

JsonLinesWriter::JsonLinesWriter(OutputFile& output, const ColumnSet& columns) : output_(output), columns_(columns)
{
}

void JsonLinesWriter::write(const FrameMeasurement& measurement)
{
    // nlohmann::json prints doubles in their shortest round-trip form, so readers get the exact bits.
    nlohmann::ordered_json row;
    row["frame"] = measurement.frame;
    row["average_light_nits"] = measurement.averageLightNits;
    row["largest_light_nits"] = measurement.largestLightNits;
    row["above_threshold_percent"] = measurement.aboveThresholdPercent;
    if (columns_.percentiles) {
        row["top1_nits"] = measurement.top1Nits;
        row["top2_nits"] = measurement.top2Nits;
        row["bottom_nits"] = measurement.bottomNits;
    }
    if (columns_.lumaChecks && measurement.lumaChecks) {
        row["luma_min_code"] = measurement.lumaChecks->minCode;
        row["luma_max_code"] = measurement.lumaChecks->maxCode;
        row["luma_low_count"] = measurement.lumaChecks->lowCount;
        row["luma_high_count"] = measurement.lumaChecks->highCount;
    }
    row["scene"] = measurement.scene;
    row["coefficients"] = columns_.coefficients;
    output_.write(row.dump() + "\n");
}

}  // namespace hdrmeter::tool
