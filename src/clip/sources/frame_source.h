// Where a clip's frames come from: the generated demo clip, a container decoded by libavcodec, or the
// frames of a YUV4MPEG2 or raw file mapped where they lie. The clip run reads each through this one
// interface; which one serves a run is chosen once, when it is opened.
#ifndef HDRMETER_CLIP_FRAME_SOURCE_H
#define HDRMETER_CLIP_FRAME_SOURCE_H

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/analysis.h>
#include <hdrmeter/clip.h>

#include "files/descriptor_io.h"

namespace hdrmeter::clip {

struct PartialResult;
class LibavRunLog;
// Partial results in order, whose frames make one sequence: what a merge replays.
using PartialResults = std::vector<PartialResult>;

// RawVideo, StopRequest and the stream's colour and metadata types are public: <hdrmeter/clip.h>.
struct SourceOptions {
    std::string path = "-";         // "-": standard input
    std::optional<int> streamIndex; // the container's stream number; the first video stream by default
    std::optional<RawVideo> raw;
    bool copyStandardInput = false; // keep standard input's bytes in a temporary file, so that it can be reopened
    std::shared_ptr<InputCopy> replay;  // read standard input again from this copy instead
    bool acceptDamaged = false;     // frames lost at the end to a decoding error end the input cleanly
    // Frames measured before, replayed from partial results instead of decoded (a merge).
    std::shared_ptr<const PartialResults> partials;
    // Only the frames whose presentation time lies in [start, end), after the first frame's.
    std::optional<ClipTime> start;
    std::optional<ClipTime> end;
    // An image sequence's frames a second, numerator and denominator: images carry no times of their own.
    std::pair<int, int> sequenceRate{24, 1};
    std::string assetMap;  // an IMF composition's asset map; "": ASSETMAP.xml beside its playlist
    // FFmpeg's lines about this run's demuxer and decoder; a container without one keeps its own.
    std::shared_ptr<LibavRunLog> log;
};

// One frame as the run measures it. The view's planes belong to the source until its next call.
struct SourceFrame {
    FrameView view;           // its size, chroma layout, bit depth and sample range included
    int transferTag = 2;      // ffmpeg's AVColorTransferCharacteristic (2: unspecified)
    int matrixTag = 2;        // ffmpeg's AVColorSpace (2: unspecified)
    int primariesTag = 2;     // ffmpeg's AVColorPrimaries, which are H.273's codes (2: none stated)
    std::string refusal;      // why this frame's pixel format cannot be measured; the view is then empty
    // The view's codes were rounded from float signals, which only a PQ or HLG transfer makes signals.
    bool floatSamples = false;
    // Its presentation time in frames since the first frame's, when the stream has times at a constant
    // rate; unset when frames can only be counted.
    std::optional<long long> presentationNumber;
    // On a time segment's first frame: the number the whole input's last frame before it has (-1: none).
    std::optional<long long> numberBefore;
    // What the decoder said of damage in this frame or in one it was predicted from; empty when clean.
    std::string damage;
    // Why the decoder gave no frame for a packet it was sent since the frame before; empty when it did.
    std::string lostBefore;
    // The files missing just before it, named, where the source knows them (an image sequence's).
    std::string missingBefore;
    std::optional<StatedHdr10Plus> hdr10Plus;  // the frame's HDR10+ metadata, when it carries any
    std::optional<ContentLightLevel> lightLevel;  // the MaxCLL and MaxFALL its side data states, if any
    bool doviMetadata = false;                  // it carries a Dolby Vision RPU, read or not
    std::shared_ptr<const StatedDolbyVision> dolbyVision;  // what the RPU states, where FFmpeg reads it
};

struct SourceFacts {
    std::string name;       // the path, "standard input" or "demo clip"
    std::string container;  // libavformat's demuxer, "matroska,webm"; "generated" for the demo clip
    std::string codec;      // "hevc"; "none" for the demo clip
    int streamIndex = 0;    // the measured stream's number in the container, in the container's order
    std::optional<long long> framesExpected;  // when the container says so or its duration and rate tell
    std::optional<std::pair<int, int>> frameRate;  // frames per second, numerator and denominator
    std::optional<FileIdentity> identity;     // of the input file, so that no output overwrites it
    std::optional<DolbyVisionConfiguration> doviConfiguration;  // the container's record
    // A time segment's bounds in microseconds after the first frame's time, timecodes resolved at the
    // stream's rate; unset: the input's start or end.
    std::optional<long long> startMicroseconds;
    std::optional<long long> endMicroseconds;
};


class FrameSource {
public:
    virtual ~FrameSource() = default;
    FrameSource() = default;
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // The next frame in presentation order, valid until the next call; null once the input has ended,
    // been stopped, or failed (failure() and stopped() then say which).
    virtual const SourceFrame* next() = 0;
    // True when the frame handed out last was mapped from a file that another program cut short under
    // it (its samples then read as zeros): ask after measuring it.
    virtual bool lastFrameLost() const { return false; }
    // For frames measured before (a merge): the handed-out frame's statistics, luma checks and content,
    // which then stand for measuring it; null for frames to be measured.
    virtual const FrameStatistics* keptStatistics() const { return nullptr; }
    virtual const std::optional<LumaChecks>* keptLumaChecks() const { return nullptr; }
    virtual const ContentBounds* keptContent() const { return nullptr; }
    // With kept statistics: the first pixel at the largest light of the given frame, when it was found.
    virtual std::pair<int, int> keptPeakPixel(long long) const { return {0, 0}; }
    // The input went on past the time segment's end (SourceOptions::end).
    virtual bool segmentEndReached() const { return false; }
    // The same input from its start, for a second pass; this source reads no more. Throws InputError
    // when the input cannot be read again, saying why.
    virtual std::unique_ptr<FrameSource> reopen() = 0;

    virtual const SourceFacts& facts() const = 0;
    // Mastering display and content light level: the container's, then the codec's as frames bring them.
    virtual StaticMetadata staticMetadata() const = 0;
    // Why the input ended early; empty after a clean end or a stop, and before next() returned null.
    virtual const std::string& failure() const = 0;
    virtual bool stopped() const = 0;
};

// Opens the demo clip, or the input that options name. Throws InputError when it cannot be read as video.
std::unique_ptr<FrameSource> openFrameSource(const SourceOptions& options, bool demo, const StopRequest* stop);

}  // namespace hdrmeter::clip

#endif
