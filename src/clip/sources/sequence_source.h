// An image sequence (DPX, TIFF, PNG, JPEG 2000 ... one picture a file), each image read whole and
// decoded as one packet by libavcodec, with a decoder chosen from its first image; a few such decoders
// decode the images after the one being measured, each on a thread of its own (image_decoders.h).
//
// libavformat's image2 demuxer would read a pattern too, but it ends the sequence at the first number
// with no file and cannot say which file was missing or which one did not decode; reading the files
// here lets a missing image be a missing frame named by its file, an image that does not decode a
// damaged frame, and a segment start at its image without reading those before it.
#ifndef HDRMETER_CLIP_SEQUENCE_SOURCE_H
#define HDRMETER_CLIP_SEQUENCE_SOURCE_H

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "frame_source.h"
#include "image_decoders.h"
#include "image_sequence.h"
#include "libav/av_holders.h"
#include "libav/stream_format.h"
#include "libav_source.h"

namespace hdrmeter::clip {

class SequenceSource : public FrameSource {
public:
    // Opens the decoder for the first image that is a picture. Throws InputError when none of the first
    // few is.
    SequenceSource(ImageSequence sequence, const SourceOptions& options, const StopRequest* stop);
    ~SequenceSource() override;

    const SourceFrame* next() override;
    bool segmentEndReached() const override { return segmentEnded_; }
    std::unique_ptr<FrameSource> reopen() override;
    const SourceFacts& facts() const override { return facts_; }
    StaticMetadata staticMetadata() const override { return metadata_; }
    const std::string& failure() const override { return failure_; }
    bool stopped() const override { return stopped_; }

private:
    // Image `index`'s frame in frame_, or why there is none: empty when it decoded. Images are asked for
    // in order, each once.
    std::string decode(std::size_t index);
    // The decoder, chosen from the first images, and the images the run's bounds take.
    void prepare();
    void openDecoder(const std::string& firstPath);
    // An opened decoder for parameters_; safe to call from the image decoders' threads.
    CodecContextHolder newDecoder() const;
    // The frame for a damaged image: the last image decoded, or the next one that decodes when none was.
    const AVFrame* standIn(std::size_t from);
    void handOut(const AVFrame& frame, long long number);

    ImageSequence sequence_;
    SourceOptions options_;
    const StopRequest* stop_;
    SourceFacts facts_;
    StaticMetadata metadata_;
    struct ParametersFree {
        void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
    };
    std::unique_ptr<AVCodecParameters, ParametersFree> parameters_;  // of the image the decoder was chosen by
    CodecContextHolder decoder_;                // the first image's, which tells the codec
    FrameHolder frame_;
    FrameHolder lastDecoded_;                   // a damaged image's stand-in
    std::optional<std::size_t> decodedAhead_;   // the image whose frame lastDecoded_ holds, found ahead
    std::map<std::size_t, std::string> failedAhead_;  // why the images before it did not decode
    std::size_t nextImage_ = 0;                 // into sequence_.images()
    long long nextNumber_ = 0;                  // the frame number expected next, from 0 at the first image
    long long endNumber_ = 0;                   // no frame from this number on is handed out
    long long numberBefore_ = -1;
    bool segmented_ = false;
    bool firstHandedOut_ = false;
    bool segmentEnded_ = false;
    bool stopped_ = false;
    bool ended_ = false;
    std::string failure_;
    DecodedPicture picture_;
    SourceFrame handedOutView_;
    std::unique_ptr<ImageDecoders> decoders_;  // last: its threads use the members above
};

}  // namespace hdrmeter::clip

#endif
