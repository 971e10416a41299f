#ifndef HDRMETER_CLIP_FRAME_WRITERS_H
#define HDRMETER_CLIP_FRAME_WRITERS_H

#include <string>

#include "frame_measurement.h"
#include "output_file.h"

namespace hdrmeter::clip {

// Which per-frame columns exist: the percentile columns unless --no-percentiles, the luma checks with
// --checks. A column that was not measured is left out rather than written as a made-up zero.
struct ColumnSet {
    bool percentiles = true;
    bool lumaChecks = false;
    std::string coefficients = "exact";  // the arithmetic's name, a key of every JSON line
};

// The shortest decimal text that reads back as exactly the same double.
std::string roundTripNumber(double value);

// Comma-separated values, one header row of named columns with units, then one row per frame.
class CsvWriter {
public:
    CsvWriter(OutputFile& output, const ColumnSet& columns);
    void write(const FrameMeasurement& measurement);

private:
    OutputFile& output_;
    ColumnSet columns_;
};

// JSON lines: one object per frame, with the same names as the CSV columns.
class JsonLinesWriter {
public:
    JsonLinesWriter(OutputFile& output, const ColumnSet& columns);
    void write(const FrameMeasurement& measurement);

private:
    OutputFile& output_;
    ColumnSet columns_;
};

}  // namespace hdrmeter::clip

#endif
