// YUV4MPEG2 and raw video in a regular file, measured where the page cache holds it. libavformat hands
// each such frame over as a packet it has copied, some 32 MB at 4K, which costs more than measuring the
// frame; the analyzer only reads, so the frame can instead be mapped from the file, read-only. The
// stream's header is still read by libavformat; this only finds where each frame lies and maps it.
#ifndef HDRMETER_CLIP_MAPPED_FRAMES_H
#define HDRMETER_CLIP_MAPPED_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "av_holders.h"

struct AVCodecParameters;

namespace hdrmeter::clip {

class MappedFrames {
public:
    // The frames of a file whose first frame (its FRAME line, for YUV4MPEG2) starts at firstFrameOffset.
    MappedFrames(int descriptor, bool yuv4mpeg, std::uint64_t firstFrameOffset, const AVCodecParameters& stream);
    ~MappedFrames();
    MappedFrames(const MappedFrames&) = delete;
    MappedFrames& operator=(const MappedFrames&) = delete;

    // The next frame, its planes in the mapping (or, for a frame at an odd offset, in a copy), valid until
    // the next call; null at the end of the file or on a failure, which failure() then names.
    const AVFrame* next();
    const std::string& failure() const { return failure_; }
    // The frames the file holds, if each has a bare FRAME line (raw video: always).
    long long framesExpected() const;
    // True once a frame was found cut short under its mapping by another program while it was measured;
    // its samples then read as zeros. Asked after each frame is measured.
    bool lastFrameLost() const;

private:
    void unmap();

    int descriptor_;
    bool yuv4mpeg_;
    std::uint64_t nextOffset_;
    std::uint64_t firstFrameOffset_;
    std::size_t frameBytes_;
    long long frameIndex_ = 0;
    FrameHolder frame_;
    unsigned char* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    std::vector<std::uint16_t> copy_;
    std::string failure_;
};

}  // namespace hdrmeter::clip

#endif
