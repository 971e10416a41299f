// Every output of a run behind one interface: begun before the first frame, handed each frame as it is
// decided, and finished with the run's outcome. Each output keeps what it needs on its own terms: the
// per-frame ones nothing, the madVR file and partial results every frame's statistics in a disk spool.
#ifndef HDRMETER_CLIP_OUTPUT_OUTPUT_WRITERS_H
#define HDRMETER_CLIP_OUTPUT_OUTPUT_WRITERS_H

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <hdrmeter/clip.h>

#include "files/output_file.h"
#include "frame_writers.h"
#include "peak_picture.h"
#include "writing.h"

namespace hdrmeter::clip {

// How a run ended, as its outputs need it at the end.
struct RunOutcome {
    const Report& report;
    FrameSequence frames;                      // every frame kept, in order
    const PeakPicture* peakPicture = nullptr;  // the frame of MaxCLL, when the run kept it
    bool inputEnded = true;                    // the input ended before the time segment's end
    // The time segment's bounds as the source resolved them (a timecode counted at the stream's rate).
    std::optional<long long> startMicroseconds = std::nullopt;
    std::optional<long long> endMicroseconds = std::nullopt;
};

class OutputWriter {
public:
    virtual ~OutputWriter() = default;
    // An output whose file states metadata frame by frame or scene by scene: written only when every frame
    // of the stream it describes was measured cleanly in the final area.
    virtual bool describesStream() const { return false; }
    // Those that take every frame's statistics or content as measured, by its position among the frames
    // read, before frame() has its record.
    virtual bool keepsStatistics() const { return false; }
    virtual bool keepsContent() const { return false; }
    virtual void statistics(std::size_t, const FrameStatistics&) {}
    virtual void content(std::size_t, const ContentBounds&) {}

    virtual void begin(OutputFile&) {}
    virtual void frame(const FrameRecord&, const FrameRate&, OutputFile&) {}
    // Writes the rest. Returns why the file cannot be written (the run abandons it), empty when it was;
    // may throw std::runtime_error saying why.
    virtual std::string finish(const RunOutcome& outcome, OutputFile& file) = 0;
};

// The writer of `output` for the run of `request`. Throws InputError when what it keeps cannot be kept.
std::unique_ptr<OutputWriter> outputWriter(Output output, const Request& request, const Columns& columns);

// The plot of a report and its frames, as SVG.
void writePlot(const Report& report, const FrameSequence& frames, const TextSink& out);

}  // namespace hdrmeter::clip

#endif
