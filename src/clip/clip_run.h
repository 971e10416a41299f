// A measured clip, frame by frame: opens the input (or makes the demo clip), decodes each frame and
// measures it where the decoder put it with hdrmeter::Analyzer. A host drives it one frame at a time
// and gets each frame's record, and the run's facts: format, colour tags, static metadata, counts.
// The program is one such host; the Python module is another.
#ifndef HDRMETER_CLIP_CLIP_RUN_H
#define HDRMETER_CLIP_CLIP_RUN_H

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hdrmeter/analysis.h>

#include "frame_measurement.h"
#include "sources/frame_source.h"
#include "libav/stream_format.h"

namespace hdrmeter::clip {

struct ClipOptions {
    SourceOptions source;
    bool demo = false;                    // the generated clip instead of source
    std::optional<Transfer> transfer;     // overrides the stream's tag
    std::optional<Matrix> matrix;         // overrides the stream's tag
    AnalysisSettings analysis;            // its transfer and matrix are the stream's, or the overrides
    bool lumaChecks = false;              // luma minimum, maximum and out-of-range counts per frame
    bool acceptDamaged = false;           // measure through damaged frames and gaps instead of ending there
};

// The stream's facts as the report gives them, and the frames measured so far.
struct ClipFacts : StreamFacts {
    long long framesMeasured = 0;
};

class ClipRun {
public:
    // Opens the input. Throws InputError when it cannot be read as video.
    ClipRun(const ClipOptions& options, const StopRequest* stop);
    ~ClipRun();

    // The next frame's planes (valid until the next call), nullopt once the clip has ended, was stopped
    // or failed (failure() says which); then its measurement inside `area`, or nullopt when the frame
    // turned out to be lost while it was measured (failure() says how). Throws InputError for a stream
    // that cannot be measured at all (an SDR transfer, 8-bit samples ...), found at its first frame.
    // A later frame whose bit depth, chroma layout, sample range, transfer or matrix tag differs from
    // the first's (or whose format cannot be measured) ends the clip with a failure naming the frame;
    // a frame of another size is handed out, for the host to decide.
    //
    // Frames are numbered by their presentation time when the stream has times at a constant rate, else
    // counted 0, 1, 2 ... A number that skips ahead is a gap: frames the stream lost. A frame the decoder
    // flags as damaged, or a gap, ends the clip with a failure naming it, unless
    // ClipOptions::acceptDamaged; then damaged frames are handed out and lastFrameDamage() says so.
    std::optional<FrameView> decode();
    std::optional<FrameMeasurement> measure(const FrameView& view, const ActiveArea& area);
    // The number of the frame decode() handed out last; -1 before the first.
    long long lastFrameNumber() const { return lastFrameNumber_; }
    // What the decoder said of that frame's damage; empty when it is clean.
    const std::string& lastFrameDamage() const { return lastFrameDamage_; }
    // The HDR10+ metadata that frame carries; unset when it carries none.
    const std::optional<StatedHdr10Plus>& lastHdr10Plus() const { return lastHdr10Plus_; }
    const std::optional<ContentLightLevel>& lastLightLevel() const { return lastLightLevel_; }
    const std::shared_ptr<const StatedDolbyVision>& lastDolbyVision() const { return lastDolbyVision_; }
    // Starts again at the clip's first frame, for a second pass, with the same analyzer. What the first
    // pass learnt (its failure, the stream's metadata) stays. Throws InputError when the input cannot be
    // read again.
    void rewind();
    // The full statistics of the frame next() measured last, for hosts that want more than the record.
    const FrameStatistics& lastStatistics() const { return lastStatistics_; }
    // The last frame measured, `view`, over its whole picture rather than `area`, the one it was measured in.
    FrameStatistics wholePictureStatistics(const FrameView& view, const ActiveArea& area) const;
    // The first pixel of `view` inside `area`, in rows from the top and each row from the left, whose light
    // is `nits`, the largest there (as measure() found it): x and y from the frame's top-left corner. It
    // measures halves of the area, then halves of the half that holds the light, about one frame's work.
    std::pair<int, int> firstPixelAtLargestLight(const FrameView& view, const ActiveArea& area, double nits) const;

    const ClipFacts& facts() const { return facts_; }
    // Mastering display and content light level as the stream states them, so far.
    StaticMetadata staticMetadata() const;
    const std::string& failure() const;
    bool stopped() const;
    // Warnings worth a line each (an untagged transfer), in the order they arose.
    const std::vector<std::string>& warnings() const { return warnings_; }
    // The content of a frame decode() handed out: found in its pixels, or kept from before (a merge).
    ContentBounds contentOf(const FrameView& view, int barsTolerance) const;
    // The input went on past the time segment's end, in either pass.
    bool segmentEndReached() const;
    // The input's identity, so that no output overwrites it; unset for the demo clip.
    std::optional<FileIdentity> inputIdentity() const;

private:
    // What every frame of the clip must share with its first to be measured with the same analyzer.
    struct FrameFormat {
        int bitDepth = 0;
        ChromaLayout layout = ChromaLayout::Yuv420;
        SampleRange range = SampleRange::Narrow;
        ColourModel model = ColourModel::YCbCr;
        int transferTag = 0;
        int matrixTag = 0;
    };
    void chooseColour(const SourceFrame& frame);
    std::string formatChange(const FrameFormat& format) const;
    // How a message names the setting that measures through damage.

    ClipOptions options_;
    const StopRequest* stop_;
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<Analyzer> analyzer_;
    std::optional<FrameFormat> firstFormat_;
    FrameStatistics lastStatistics_;
    std::vector<std::uint16_t> gaplessLuma_;
    ClipFacts facts_;
    std::vector<std::string> warnings_;
    std::string failure_;
    std::optional<StaticMetadata> firstPassMetadata_;
    long long lastFrameNumber_ = -1;
    bool doviSaid_ = false;      // a warning said that this FFmpeg cannot read the stream's Dolby Vision
    bool lossUnplaced_ = false;  // a frame was lost where no time tells its number, and a warning said so
    std::string lastFrameDamage_;
    std::optional<StatedHdr10Plus> lastHdr10Plus_;
    std::optional<ContentLightLevel> lastLightLevel_;
    std::shared_ptr<const StatedDolbyVision> lastDolbyVision_;
    bool segmentEndReached_ = false;  // by the source before a rewind
};

}  // namespace hdrmeter::clip

#endif
