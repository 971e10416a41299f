#ifndef HDRMETER_CLIP_RUN_H
#define HDRMETER_CLIP_RUN_H

#include <memory>
#include <string>
#include <vector>

#include "clip_measurement.h"
#include "options.h"
#include "output/output_file.h"
#include "output/summary.h"

namespace hdrmeter::clip {

// The metadata files a run was asked for (--summary-json, --hdr10plus, --dovi-config), created before the
// clip is measured so that a name that cannot be written is refused before the work.
class MetadataFiles {
public:
    explicit MetadataFiles(const ToolOptions& options);
    // One of them is standard output: the text summary must go elsewhere.
    bool takeStandardOutput() const;
    // Writes and closes each; a warning (an assumed mastering display) or a failure adds one line.
    void write(const ClipMeasurement& measurement, const MeasurementSummary& summary, bool interrupted,
               std::vector<std::string>& warnings, std::vector<std::string>& failures);

private:
    const ToolOptions& options_;
    std::unique_ptr<OutputFile> summaryJson_, hdr10Plus_, doviConfig_;
};

// SIGINT and SIGTERM stop the run after the frame being measured; SIGPIPE is turned into write errors.
void installStopHandlers();

// The whole program: parses the command line, measures, writes, and returns the exit status. Every
// failure, whatever raised it, ends as one line on standard error and a status.
int runHdrmeter(int argc, const char* const* argv);

}  // namespace hdrmeter::clip

#endif
