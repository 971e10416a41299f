// The one input of the tool: any container and codec that libavformat and libavcodec handle, from a
// file or from standard input, read through DescriptorInput and decoded with libavcodec's own threads.
// Frames are handed out as the decoder made them: no copy, no conversion.
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

#include "av_holders.h"
#include "input/descriptor_io.h"
#include "frame_memory.h"
#include "mapped_frames.h"
#include "stream_format.h"

namespace hdrmeter::clip {

// Headerless planar video: the frame size and ffmpeg's pixel format name (--size, --pix-fmt).
struct RawVideo {
    int width = 0;
    int height = 0;
    std::string pixelFormat;
};

struct SourceOptions {
    std::string path = "-";         // "-": standard input
    std::optional<int> streamIndex; // the container's stream number; the first video stream by default
    std::optional<RawVideo> raw;
    bool copyStandardInput = false; // keep standard input's bytes in a temporary file, so that it can be reopened
    std::shared_ptr<InputCopy> replay;  // read standard input again from this copy instead
};

// FFmpeg's own messages go to standard error by default, which would break the one-line errors of a
// program. After this call they are kept instead, and the last error among them is added to the reason
// a source gives for failing. Hosts with a log of their own may install their own callback instead.
void keepLibavMessages();

class LibavSource {
public:
    // Opens the input and its video stream's decoder. Throws InputError with the reason.
    LibavSource(const SourceOptions& options, const StopRequest* stop);
    ~LibavSource();
    LibavSource(const LibavSource&) = delete;
    LibavSource& operator=(const LibavSource&) = delete;

    // The next frame in presentation order, owned by the source until the next call; null once the
    // input has ended, been stopped, or failed (failure() then says how).
    const AVFrame* next();
    // Why the input ended early: a read error, a cut-short file, a frame the decoder refused. Empty
    // after a clean end or a stop.
    // Both are known once next() returned null; before that the input has not ended.
    const std::string& failure() const { return endSeen_ ? failure_ : notEnded_; }
    bool stopped() const { return endSeen_ && stopped_; }

    // The same input opened again from its start, for a second pass; this source reads no more. A path
    // can be reopened; standard input only from the copy that copyStandardInput keeps. Throws InputError
    // when it cannot be, saying why (the copy could not be kept, say).
    std::unique_ptr<LibavSource> reopen();

    const std::string& name() const { return input_->name(); }
    const FileIdentity& identity() const { return input_->identity(); }
    std::string containerName() const;
    std::string codecName() const;
    int streamIndex() const { return streamIndex_; }
    // The frames the stream will give, when the container says so or its duration and rate tell.
    std::optional<long long> framesExpected() const { return framesExpected_; }
    // Mastering display and content light level: the container's, then the codec's messages (HEVC SEI,
    // AV1 metadata OBUs) as frames bring them.
    const StaticMetadata& staticMetadata() const { return metadata_; }
    long long framesDecoded() const { return framesHandedOut_; }
    // True when the frame handed out last was mapped from a file that another program cut short under it
    // (its samples then read as zeros): ask after measuring it.
    bool lastFrameLost() const { return mapped_ && mapped_->lastFrameLost(); }

private:
    static int interrupted(void* source);
    void stopDecoding();
    void decodeAhead();
    const AVFrame* decodeNext();
    const AVFrame* nextDecodedAhead();  // the decoding thread's next frame, started on first use
    void openDecoder();
    bool fail(const std::string& reason);
    void decoderFailed(int error);
    std::string cutShortReason() const;

    SourceOptions options_;
    const StopRequest* stop_;
    std::shared_ptr<InputCopy> copy_;
    std::unique_ptr<DescriptorInput> input_;
    FormatContextHolder format_;
    FrameMemory frameMemory_;  // outlives the decoder that takes frames from it
    CodecContextHolder decoder_;
    PacketHolder packet_;
    FrameHolder frame_;
    int streamIndex_ = -1;
    bool headerOnlyFormat_ = false;  // YUV4MPEG2 and raw video: packets are whole frames, back to back
    bool draining_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    std::int64_t lastPacketEnd_ = 0;
    std::int64_t firstPacketBytes_ = 0;
    std::int64_t lastFrameEnd_ = 0;  // in the stream's time base
    long long framesDecoded_ = 0;
    std::optional<long long> framesExpected_;
    std::string failure_;
    const std::string notEnded_;
    StaticMetadata metadata_;

    // Between the decoding thread and the caller: decoded frames, and a null one for the end.
    StopRequest closing_;  // set when the source is destroyed: ends a waiting read or hand-over at once
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<AVFrame*> decodedFrames_;
    bool decodingEnded_ = false;
    FrameHolder handedOut_;
    std::unique_ptr<MappedFrames> mapped_;  // YUV4MPEG2 and raw video from a regular file
    long long framesHandedOut_ = 0;
    bool endSeen_ = false;
    std::thread decoding_;
};

}  // namespace hdrmeter::clip

#endif
