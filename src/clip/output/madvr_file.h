// The madVR measurement file (version 5), as its readers know it: a header, the scenes, then one
// fixed-size record per frame with the frame's peak and a histogram of its light on a PQ scale.
//
// A report keeps no histograms, so the records are made while the clip is measured, each as soon as its
// frame is, and kept in an anonymous temporary file at the frame's place (a frame measured again by the
// second pass replaces its record); the file is assembled at the end. Memory stays the same whatever the
// clip's length.
#ifndef HDRMETER_CLIP_MADVR_FILE_H
#define HDRMETER_CLIP_MADVR_FILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

#include "files/record_spool.h"
#include "writing.h"

namespace hdrmeter::clip {

class OutputFile;

constexpr int kMadvrHistogramBins = 256;
constexpr int kMadvrDarkBins = 64;       // bins 0-63 split PQ 0 to PQ(100 nits); the rest, PQ(100 nits) to 1
constexpr int kMadvrHueBins = 31;        // written as zeros: their meaning is not published
constexpr std::uint32_t kMadvrScale = 64000;  // the peak's PQ signal and a frame's bins, in 1/64000
constexpr std::size_t kMadvrRecordWords = 1 + kMadvrHistogramBins + kMadvrHueBins;
constexpr std::size_t kMadvrRecordBytes = 2 * kMadvrRecordWords;  // 576

using MadvrRecord = std::array<std::uint16_t, kMadvrRecordWords>;

// The histogram bin of a light given as a PQ signal, 0..1.
int madvrBinOf(double pqSignal);

// Splits `total` in proportion to `counts` into whole parts that add up to exactly `total`: each part is
// its share rounded down or up, the largest remainders rounded up (the lower bin first among equals).
std::vector<std::uint32_t> apportion(const std::vector<std::uint64_t>& counts, std::uint32_t total);

// The records of a run's frames, kept in an anonymous file in $TMPDIR (or /tmp) that no signal or error
// leaves behind.
class MadvrSpool {
public:
    // Throws InputError naming the folder when the temporary file cannot be made.
    MadvrSpool();

    // The record of the frame at `position` (its place among the frames read, from 0), from its
    // statistics inside the active area. A failed write is remembered (failure()), never thrown: the
    // measurement goes on and only this file is lost.
    void put(std::size_t position, const FrameStatistics& statistics);

    // Writes the whole file for `report` and `frames`, the records' frames in order. `complete` sets the
    // header's flags (2) or marks a file that covers only the frames measured (0).
    void writeTo(OutputFile& file, const Report& report, const FrameSequence& frames, bool complete);

    // Why the records could not be kept, with what to do; empty when they were.
    const std::string& failure() const { return failure_.empty() ? spool_.failure() : failure_; }

private:
    MadvrRecord recordOf(const FrameStatistics& statistics);
    void readRecords(std::size_t first, std::size_t count, std::string& bytes);
    std::string recordBytes(const MadvrRecord& record) const;

    RecordSpool spool_;
    std::string failure_;
    // Each light code's bin, kept with the nits it was worked out for: a table per bit depth and
    // scale, filled as codes are met.
    std::vector<double> codeNits_;
    std::vector<std::uint8_t> codeBins_;
};

}  // namespace hdrmeter::clip

#endif
