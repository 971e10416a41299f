// The images of a sequence decoded ahead of the one measured, each whole by one of a few decoders on
// threads of their own, and handed back in order.
//
// An image is one packet that depends on no other, so images are the natural unit of parallel work: a
// TIFF or PNG decoder has no threads within an image, and a decoder's frame threads would hold several
// images at once and report a broken one late. Each decoder here has its own log, so that the reason an
// image did not decode is that image's and not another decoder's.
#ifndef HDRMETER_CLIP_IMAGE_DECODERS_H
#define HDRMETER_CLIP_IMAGE_DECODERS_H

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image_sequence.h"
#include "libav/av_holders.h"
#include "libav/libav_messages.h"

namespace hdrmeter::clip {

class ImageDecoders {
public:
    // A decoder context opened for the sequence's images; called again on a decoder's thread after an
    // image it could not decode, which may leave a guess of its in the context.
    using OpenDecoder = std::function<CodecContextHolder()>;

    struct Decoded {
        FrameHolder frame;   // the picture, when damage is empty
        std::string damage;  // why the image gave no picture
    };

    // Decodes images [first, end) of `images` with `decoderCount` decoders; the lines their decoders log
    // join `runLog` as each image is taken. Throws what `open` throws for the first decoders.
    ImageDecoders(const std::vector<SequenceImage>& images, std::size_t first, std::size_t end, int decoderCount,
                  const OpenDecoder& open, LibavRunLog& runLog);
    ~ImageDecoders();
    ImageDecoders(const ImageDecoders&) = delete;
    ImageDecoders& operator=(const ImageDecoders&) = delete;

    // Image `index`, which must be the one after the image taken before (`first` at the start). Waits for
    // it; rethrows what its decoder's thread met (out of memory, a decoder that no longer opens).
    Decoded take(std::size_t index);

    // How many decoders a sequence gets on this machine, and how many threads each decodes an image with.
    static std::pair<int, int> decodersAndThreads();

private:
    struct Lane;
    void run(Lane& lane);

    const std::vector<SequenceImage>& images_;
    const std::size_t first_;
    const std::size_t end_;
    OpenDecoder open_;
    LibavRunLog& runLog_;
    std::size_t nextTaken_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool quitting_ = false;
    std::vector<std::unique_ptr<Lane>> lanes_;
};

}  // namespace hdrmeter::clip

#endif
