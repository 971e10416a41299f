// A partial result: what a run over one time segment keeps so that merging the segments gives the whole
// file's outputs exactly. Per frame its number, size, damage, luma checks, content bounds and full
// statistics (histograms stored sparse and compressed); once per segment the request, the stream's facts
// and metadata, the area it was measured in and where it lies in time.
//
// The file: the line "hdrmeter partial\n", a version (u32), the header as JSON (u64 length first), the
// frame count (u64), each frame as its compressed length, its raw length (u32 each) and zlib's deflate of
// its record, and a CRC-32 of everything before. Integers little-endian.
#ifndef HDRMETER_CLIP_PARTIAL_FILE_H
#define HDRMETER_CLIP_PARTIAL_FILE_H

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include <hdrmeter/clip.h>

#include "files/record_spool.h"
#include "writing.h"

namespace hdrmeter::clip {

class OutputFile;

constexpr std::uint32_t kPartialVersion = 2;

// One frame as a partial result keeps it.
struct PartialFrame {
    long long number = 0;
    int width = 0;
    int height = 0;
    bool damaged = false;
    std::optional<LumaChecks> lumaChecks;
    ContentBounds content;   // of this frame alone
    StatisticsParts statistics;  // inside the segment's final area
};

// What a segment says of itself.
struct PartialHeader {
    Request request;                 // the measurement's settings; outputs left out
    StreamFacts stream;
    StaticMetadata metadata;
    ActiveArea area;                 // every frame's statistics were measured in it
    std::optional<long long> startMicroseconds;  // the segment's bounds; unset: the input's start or end
    std::optional<long long> endMicroseconds;
    bool inputEnded = false;         // the input ended inside the segment (no frame at or after its end)
    long long inputBytes = -1;       // the input file's size, to tell one file from another
    std::string inputDigest;         // of its content (inputDigestOf); empty for standard input
    std::vector<std::string> warnings;
    // The segment's MaxCLL pixel: the merge's is that of the first segment reaching the clip's MaxCLL,
    // whose own first frame at it is the clip's.
    std::optional<PeakTrace> peak;
};

// Frames kept by their place among the frames read while the segment is measured (a frame the second
// pass measures again replaces its statistics), compressed at once.
class PartialRecorder {
public:
    // Throws InputError naming the folder when its temporary file cannot be made.
    PartialRecorder();
    void putStatistics(std::size_t position, const FrameStatistics& statistics);
    void putContent(std::size_t position, const ContentBounds& content);
    // Writes the file; `frames` gives the records of every frame kept, in order. Frame statistics wait on
    // disk until then, so that a run writing a partial result holds about what a plain run holds.
    void writeTo(OutputFile& file, const PartialHeader& header, const FrameSequence& frames);
    // Why the frame statistics could not be kept, with what to do; empty when they were.
    const std::string& failure() const { return statistics_.failure(); }

private:
    RecordSpool statistics_;  // encoded StatisticsParts, by frame position
    std::vector<ContentBounds> contents_;
};

// A partial file read and checked: its header, and where each compressed frame record lies in it. The
// records are read again one at a time as they are replayed, so that a merge holds no film in memory.
struct PartialResult {
    std::string path;
    PartialHeader header;
    struct Record {
        std::uint64_t offset = 0;  // in the file
        std::uint32_t packedBytes = 0;
        std::uint32_t rawBytes = 0;
    };
    std::vector<Record> records;
};
// Throws std::invalid_argument with the reason (no path) for a file that is not a whole partial result of
// this version.
PartialResult readPartial(const std::string& path);
// A digest of the file at `path` by its content: CRC-32s of its first and last MiB, as hex; "" when it
// cannot be read. Two files of one size and format still differ in where their pictures are coded.
std::string inputDigestOf(const std::string& path);
// Frame `index` of `part`, read from `file` (the part's file, opened for reading). Throws
// std::invalid_argument when it cannot be read or unpacked (zlib's own checksum covers each record).
PartialFrame readPartialFrame(const PartialResult& part, std::size_t index, std::istream& file);

}  // namespace hdrmeter::clip

#endif
