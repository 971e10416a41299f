#include <charconv>

#include "frame_writers.h"

namespace hdrmeter::clip {

std::string roundTripNumber(double value)
{
    char text[32];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

CsvWriter::CsvWriter(OutputFile& output, const ColumnSet& columns) : output_(output), columns_(columns)
{
    std::string header = "frame,average_light_nits,largest_light_nits,above_threshold_percent";
    if (columns_.percentiles)
        header += ",top1_nits,top2_nits,bottom_nits";
    if (columns_.lumaChecks)
        header += ",luma_min_code,luma_max_code,luma_low_count,luma_high_count";
    header += ",scene";
    output_.write(header + "\n");
}

void CsvWriter::write(const FrameMeasurement& measurement)
{
    std::string row = std::to_string(measurement.frame) + "," + roundTripNumber(measurement.averageLightNits) + "," +
                      roundTripNumber(measurement.largestLightNits) + "," +
                      roundTripNumber(measurement.aboveThresholdPercent);
    if (columns_.percentiles)
        row += "," + roundTripNumber(measurement.top1Nits) + "," + roundTripNumber(measurement.top2Nits) + "," +
               roundTripNumber(measurement.bottomNits);
    if (columns_.lumaChecks && measurement.lumaChecks) {
        const LumaChecks& checks = *measurement.lumaChecks;
        row += "," + std::to_string(checks.minCode) + "," + std::to_string(checks.maxCode) + "," +
               std::to_string(checks.lowCount) + "," + std::to_string(checks.highCount);
    }
    output_.write(row + "," + std::to_string(measurement.scene) + "\n");
}

}  // namespace hdrmeter::clip
