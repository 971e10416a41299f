// YUV4MPEG2 and raw video in a regular file, measured where the page cache holds it. libavformat hands
// each such frame over as a packet it has copied, some 32 MB at 4K, which costs more than measuring the
// frame; the analyzer only reads, so the frame can instead be mapped from the file, read-only. The
// stream's header is still read by libavformat; this only finds where each frame lies and maps it.
//
// A file cut short under a mapped frame raises SIGBUS on the next read of it. Only a host that installed
// the guard (installMappedReadGuard) gets this source; without it the same files are read as packets.
#ifndef HDRMETER_CLIP_MAPPED_SOURCE_H
#define HDRMETER_CLIP_MAPPED_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libav/av_holders.h"
#include "frame_source.h"
#include "libav/libav_container.h"
#include "libav/stream_format.h"

namespace hdrmeter::clip {

// A guard slot for a MappedSource, once the host installed the SIGBUS guard; -1 without the guard, or
// when as many mapped sources as there are slots are open already (frames are then read as packets).
int claimMappedReadSlot();

class MappedSource : public FrameSource {
public:
    // The frames of a YUV4MPEG2 or raw container from a regular file, its header read, guarded by the
    // slot that claimMappedReadSlot gave, which the source lets go when it is destroyed.
    MappedSource(std::unique_ptr<LibavContainer> container, int guardSlot);
    ~MappedSource() override;

    const SourceFrame* next() override;
    // True once a frame was found cut short under its mapping by another program while it was measured;
    // its samples then read as zeros.
    bool lastFrameLost() const override;
    std::unique_ptr<FrameSource> reopen() override;
    const SourceFacts& facts() const override { return facts_; }
    StaticMetadata staticMetadata() const override { return container_->metadata(); }
    // A frame cut short, a YUV4MPEG2 frame without its FRAME line, a mapping that failed.
    const std::string& failure() const override { return endSeen_ ? failure_ : notEnded_; }
    bool stopped() const override { return endSeen_ && stopped_; }

private:
    const AVFrame* mapNext();
    void unmap();
    long long framesInFile() const;  // if each has a bare FRAME line (raw video: always)

    std::unique_ptr<LibavContainer> container_;
    int guardSlot_;
    SourceFacts facts_;
    int descriptor_;
    bool yuv4mpeg_;
    std::uint64_t nextOffset_;
    std::uint64_t firstFrameOffset_;
    std::size_t frameBytes_;
    long long frameIndex_ = 0;
    PixelLayout layout_;
    FrameSamples samples_;
    FrameHolder frame_;
    SourceFrame handedOut_;
    unsigned char* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    std::vector<std::uint16_t> copy_;
    std::string failure_;
    const std::string notEnded_;
    bool endSeen_ = false;
    bool stopped_ = false;
};

}  // namespace hdrmeter::clip

#endif
