// Any container and codec that libavformat and libavcodec handle, from a file or from standard input,
// read through DescriptorInput and decoded with libavcodec's own threads. Frames are handed out as the
// decoder made them: no copy, no conversion.
//
// Reading and decoding run on a thread of their own, one decoded frame ahead of the caller. Fed only
// between two measurements, a decoder whose frames depend on each other (HEVC, AV1) idles while the
// caller measures; with a feeder of its own it keeps working, and measuring takes the core it leaves.
// YUV4MPEG2 and raw video have nothing to decode and are read in the caller's thread.
#ifndef HDRMETER_CLIP_LIBAV_SOURCE_H
#define HDRMETER_CLIP_LIBAV_SOURCE_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "libav/av_holders.h"
#include "libav/frame_memory.h"
#include "frame_source.h"
#include "libav/libav_container.h"
#include "libav/libav_messages.h"
#include "libav/packet_tags.h"
#include "libav/stream_format.h"

namespace hdrmeter::clip {

// The decoder for a codec: FFmpeg's first, except where another it offers decodes faster.
const AVCodec* decoderFor(AVCodecID codec);
// That decoder, set up from `parameters` and not opened yet. Throws InputError: `noDecoder` when this
// FFmpeg has none for the codec (its name follows in brackets), or why the parameters do not fit it.
CodecContextHolder decoderContextFor(const AVCodecParameters& parameters, const std::string& noDecoder,
                                     const std::string& convertAdvice);

// What a decoded frame shows the measurement, for the sources that decode with libavcodec: its samples as
// a view (unpacked where they must be, kept until the next frame), its colour tags and its HDR10 and
// HDR10+ side data.
class DecodedPicture {
public:
    // The depth the codec states its samples have (AVCodecParameters::bits_per_raw_sample; 0 unknown).
    void setStoredBits(int bits) { storedBits_ = bits; }
    void describe(const AVFrame& frame, SourceFrame& out);

private:
    int storedBits_ = 0;
    int format_ = -1;  // the AVPixelFormat layout_ was found for
    PixelLayout layout_;
    FrameSamples samples_;
};

class LibavSource : public FrameSource {
public:
    // Opens the container's video stream's decoder. Throws InputError with the reason.
    // acceptDamaged: frames lost at the very end to a decoding error are no failure.
    LibavSource(std::unique_ptr<LibavContainer> container, bool acceptDamaged);
    ~LibavSource() override;

    const SourceFrame* next() override;
    std::unique_ptr<FrameSource> reopen() override;
    const SourceFacts& facts() const override { return segmented_ ? segmentFacts_ : container_->facts(); }
    StaticMetadata staticMetadata() const override { return metadata_; }
    // A read error, a cut-short file, a frame the decoder refused.
    const std::string& failure() const override { return endSeen_ && !segmentEnded_ ? failure_ : notEnded_; }
    bool stopped() const override { return endSeen_ && stopped_; }
    bool segmentEndReached() const override { return segmentEnded_; }

private:
    void stopDecoding();
    void decodeAhead();
    const AVFrame* decodeNext();
    const AVFrame* nextDecodedAhead();  // the decoding thread's next frame, started on first use
    void openDecoder();
    void fail(const std::string& reason);
    void decoderFailed(int error);
    // Damage the decoder reported, from packet `serial` on (-1: from the frames it gives out next, which
    // only a message logged before the first packet has).
    void noteDamage(std::int64_t firstSerial, std::int64_t lastSerial, std::string what);
    // Notes the errors the decoder logged since it was last asked.
    void takeLoggedDamage();
    void damageFromError(int error);
    // Whether the frame just decoded is damaged, and how: decodedDamage_.
    void judgeDecodedFrame();
    std::string cutShortReason() const;
    // With a time segment: learns the first frame's time, counts the frames before the segment where the
    // stream is numbered by count, and seeks to the key frame before its start.
    void enterSegment();
    // Returns the byte position of the last key frame's packet at or before the start, when known.
    std::optional<std::int64_t> numberFramesBefore(std::int64_t startTicks);
    // The container is sought by byte: its seek by time is not exact.
    bool byteSeeking() const;
    void numberFrameBefore(std::int64_t timestamp);
    // The number of the frame shown at `timestamp`, the next in presentation order, for frames before the
    // segment and in it alike.
    long long nextNumber(std::int64_t timestamp);
    // Where a frame's time `timestamp` lies against a segment bound in microseconds: below it, or not.
    bool before(std::int64_t timestamp, long long microseconds) const;
    const std::string& name() const { return container_->facts().name; }

    std::unique_ptr<LibavContainer> container_;
    FrameMemory frameMemory_;  // outlives the decoder that takes frames from it
    PacketTags packetTags_{&frameMemory_};  // outlive the decoder, whose contexts point at them
    CodecContextHolder decoder_;
    PacketHolder packet_;
    FrameHolder frame_;
    // YUV4MPEG2 and raw video are "decoded" in the caller's thread: their decoder only wraps the packet it
    // was given, there is nothing to decode ahead, and handing packets between threads only makes the
    // allocator map fresh memory for each.
    bool decodeInCaller_ = false;
    bool draining_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    std::int64_t lastPacketEnd_ = 0;
    std::uint64_t frameBytes_ = 0;  // of YUV4MPEG2 and raw video
    std::int64_t lastFrameEnd_ = 0;  // in the stream's time base
    long long framesDecoded_ = 0;
    std::string failure_;
    const std::string notEnded_;
    bool acceptDamaged_ = false;

    // A decoding error damages the frame it was met in and every frame predicted from it, up to the
    // next key frame sent after it; errors arrive as the decoder meets them, frames later, in their
    // presentation order. Packets are numbered as they are sent, and each frame carries its number.
    std::unique_ptr<DecoderErrors> decoderErrors_;
    std::int64_t nextSerial_ = 0;
    std::optional<std::int64_t> damagedFrom_;  // frames from this packet on are damaged ...
    std::int64_t recoveredAfter_ = -1;         // ... until a key frame from a packet after this one
    std::string damage_;                       // what the decoder said of it
    bool damageShown_ = false;                 // some frame was handed out as damaged by it
    std::string decodedDamage_;                // of the frame decodeNext returned
    std::string lostBefore_;                   // why a packet sent before it gave no frame
    // Frames are numbered by their presentation time when the stream has times at a constant rate.
    bool numberByTime_ = false;
    AVRational timeBase_{0, 1};
    AVRational frameRate_{0, 1};
    std::optional<std::int64_t> firstTimestamp_;
    StaticMetadata metadata_;
    // A time segment (SourceOptions::start and end): frames before it are decoded and passed over, and
    // the first frame at or after its end ends the input.
    bool segmented_ = false;
    bool segmentEnded_ = false;
    SourceFacts segmentFacts_;      // the container's, with the segment's expected frames
    long long numberBefore_ = -1;   // the whole run's number of the last frame before the segment
    long long lastNumber_ = -1;     // of the last frame numbered, before the segment or in it
    std::optional<std::int64_t> lastNumberedTime_;  // the latest time numbered
    long long framesInSegment_ = 0;
    bool framesNumberedAhead_ = false;  // numberBefore_ was found from the packets, before seeking
    bool passOverPackets_ = false;      // packets before the segment are numbered, not decoded (intra-only)
    SourceFrame handedOutView_;
    DecodedPicture picture_;

    // Between the decoding thread and the caller: decoded frames, and a null one for the end.
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    struct DecodedFrame {
        AVFrame* frame = nullptr;
        std::string damage;
        std::string lostBefore;
    };
    std::deque<DecodedFrame> decodedFrames_;
    FrameHolder handedOut_;
    bool endSeen_ = false;
    std::thread decoding_;
};

}  // namespace hdrmeter::clip

#endif
