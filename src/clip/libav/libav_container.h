// An input opened with libavformat, its video stream chosen: what both the decoding source and the
// mapped reader start from. The container's header is read here; frames are read by the source.
#ifndef HDRMETER_CLIP_LIBAV_CONTAINER_H
#define HDRMETER_CLIP_LIBAV_CONTAINER_H

#include <memory>
#include <string>

#include "av_holders.h"
#include "sources/frame_source.h"
#include "files/descriptor_io.h"

namespace hdrmeter::clip {

class LibavContainer {
public:
    // Opens the input and reads its header. Throws InputError with the reason.
    LibavContainer(const SourceOptions& options, const StopRequest* stop);
    ~LibavContainer();
    LibavContainer(const LibavContainer&) = delete;
    LibavContainer& operator=(const LibavContainer&) = delete;

    AVFormatContext& format() const { return *format_; }
    const AVStream& stream() const { return *format_->streams[streamIndex_]; }
    int streamIndex() const { return streamIndex_; }
    DescriptorInput& input() const { return *input_; }
    const SourceOptions& options() const { return options_; }
    const StopRequest* stop() const { return stop_; }
    // FFmpeg's lines about this input's demuxer and decoder.
    LibavRunLog& log() const { return *options_.log; }
    bool stopRequested() const { return stop_ && stop_->requested(); }
    // Ends a read that waits, and makes libavformat give up at once: for a source that is closing.
    void close() { closing_.request(); }
    bool closing() const { return closing_.requested(); }
    // YUV4MPEG2 and raw video: packets are whole frames, back to back, and there is nothing to decode.
    bool headerOnly() const { return headerOnly_; }
    // An IMF composition playlist, read with its track files by the imf demuxer: it cannot be sought
    // exactly, so a segment's start is reached by reading on from the first frame.
    bool composition() const { return composition_; }
    // Name, demuxer, codec, expected frames and identity; the container's static metadata.
    const SourceFacts& facts() const { return facts_; }
    const StaticMetadata& metadata() const { return metadata_; }
    // The options that open the same input again from its start. Throws InputError when it cannot be
    // (standard input without a copy, or a copy that could not be kept).
    SourceOptions reopenOptions() const;

private:
    static int interrupted(void* container);
    // The three steps of opening: the demuxer on the input, the video stream, what it states of itself.
    void open(const std::string& assetMap);
    void chooseStream();
    void describeStream(const std::string& assetMap);

    SourceOptions options_;
    const StopRequest* stop_;
    StopRequest closing_;
    std::shared_ptr<InputCopy> copy_;
    std::unique_ptr<DescriptorInput> input_;
    FormatContextHolder format_;
    int streamIndex_ = -1;
    bool headerOnly_ = false;
    bool composition_ = false;
    SourceFacts facts_;
    StaticMetadata metadata_;
};

// The seconds that value counts in timeBase.
double secondsOf(std::int64_t value, AVRational timeBase);

// How long the container says the video stream `stream` lasts, in seconds; 0 when it does not say. Only
// the stream's own duration counts (its header's, or the DURATION tag Matroska muxers write per track):
// the container's lasts as long as its longest stream, audio included.
double statedVideoSeconds(const AVFormatContext& format, const AVStream& stream);

}  // namespace hdrmeter::clip

#endif
