#include "mapped_frames.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/imgutils.h>
}

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22  // Linux 5.14; older kernels refuse it and the pages are faulted in instead
#endif

namespace hdrmeter::clip {

namespace {

// A file cut short under a mapped frame makes the reads beyond its new end raise SIGBUS, which would end
// the process. The handler maps zeros over the frame instead and remembers it, so that the frame is
// dropped and every frame before it is still reported. The handler reads only these lock-free atomics.
std::atomic<unsigned char*> guardedBegin{nullptr};
std::atomic<std::size_t> guardedBytes{0};
std::atomic<bool> guardedFrameLost{false};
struct sigaction actionBeforeGuard {};

void onBusError(int, siginfo_t* info, void*)
{
    unsigned char* const begin = guardedBegin.load();
    const std::size_t bytes = guardedBytes.load();
    auto* const address = static_cast<unsigned char*>(info->si_addr);
    if (begin != nullptr && address >= begin && address < begin + bytes &&
        mmap(begin, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
        guardedFrameLost.store(true);
        return;  // the read that faulted runs again, on zeros
    }
    // Not a frame of ours: the access faults again under the action that was there before.
    sigaction(SIGBUS, &actionBeforeGuard, nullptr);
}

void installBusErrorHandler()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &actionBeforeGuard);
    });
}

std::uint64_t fileBytes(int descriptor)
{
    struct stat status {};
    return fstat(descriptor, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

}  // namespace

MappedFrames::MappedFrames(int descriptor, bool yuv4mpeg, std::uint64_t firstFrameOffset,
                           const AVCodecParameters& stream)
    : descriptor_(descriptor),
      yuv4mpeg_(yuv4mpeg),
      nextOffset_(firstFrameOffset),
      firstFrameOffset_(firstFrameOffset),
      frameBytes_(static_cast<std::size_t>(
          av_image_get_buffer_size(static_cast<AVPixelFormat>(stream.format), stream.width, stream.height, 1))),
      frame_(av_frame_alloc())
{
    if (!frame_)
        throw std::bad_alloc();
    frame_->format = stream.format;
    frame_->width = stream.width;
    frame_->height = stream.height;
    frame_->color_range = stream.color_range;
    frame_->color_primaries = stream.color_primaries;
    frame_->color_trc = stream.color_trc;
    frame_->colorspace = stream.color_space;
    frame_->chroma_location = stream.chroma_location;
    installBusErrorHandler();
}

MappedFrames::~MappedFrames()
{
    unmap();
}

void MappedFrames::unmap()
{
    guardedBegin.store(nullptr);
    if (mapping_)
        munmap(mapping_, mappingBytes_);
    mapping_ = nullptr;
}

long long MappedFrames::framesExpected() const
{
    const std::uint64_t bytes = fileBytes(descriptor_);
    const std::uint64_t perFrame = frameBytes_ + (yuv4mpeg_ ? 6 : 0);  // "FRAME\n"
    return bytes > firstFrameOffset_ ? static_cast<long long>((bytes - firstFrameOffset_) / perFrame) : 0;
}

bool MappedFrames::lastFrameLost() const
{
    return guardedFrameLost.load();
}

const AVFrame* MappedFrames::next()
{
    unmap();
    if (!failure_.empty() || frameBytes_ == 0)
        return nullptr;
    const std::uint64_t size = fileBytes(descriptor_);
    if (nextOffset_ >= size)
        return nullptr;
    const std::string frameName = "frame " + std::to_string(frameIndex_);
    std::uint64_t dataOffset = nextOffset_;
    if (yuv4mpeg_) {
        // "FRAME", parameters this reader does not need, and a line break.
        char line[256];
        const ssize_t got = pread(descriptor_, line, sizeof line, static_cast<off_t>(nextOffset_));
        const void* lineEnd = got > 0 ? std::memchr(line, '\n', static_cast<std::size_t>(got)) : nullptr;
        if (got < 5 || std::memcmp(line, "FRAME", 5) != 0 || !lineEnd) {
            failure_ = got < 6 ? "the input ends inside " + frameName + ": only " +
                                     std::to_string(size - nextOffset_) + " bytes of it arrived"
                               : frameName + " does not start with a FRAME line: this is not a YUV4MPEG2 stream from there on";
            return nullptr;
        }
        dataOffset += static_cast<std::uint64_t>(static_cast<const char*>(lineEnd) - line) + 1;
    }
    if (dataOffset + frameBytes_ > size) {
        failure_ = "the input ends inside " + frameName + ": only " + std::to_string(size - dataOffset) + " of its " +
                   std::to_string(frameBytes_) + " bytes arrived";
        return nullptr;
    }

    const auto pageBytes = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t mappingStart = dataOffset - dataOffset % pageBytes;
    mappingBytes_ = static_cast<std::size_t>(dataOffset - mappingStart) + frameBytes_;
    void* mapping =
        mmap(nullptr, mappingBytes_, PROT_READ, MAP_SHARED, descriptor_, static_cast<off_t>(mappingStart));
    if (mapping == MAP_FAILED) {
        failure_ = "cannot map " + frameName + " of the input: " + std::strerror(errno);
        return nullptr;
    }
    mapping_ = static_cast<unsigned char*>(mapping);
    guardedFrameLost.store(false);
    guardedBytes.store(mappingBytes_);
    guardedBegin.store(mapping_);
    // One call maps every page of the frame, far cheaper than a fault for each; the next frame is read
    // into the page cache meanwhile. Failures only cost speed: pages are then faulted in as read.
    madvise(mapping_, mappingBytes_, MADV_POPULATE_READ);
    const std::uint64_t following = dataOffset + frameBytes_;
    if (following < size) {
        const std::uint64_t start = following - following % pageBytes;
        posix_fadvise(descriptor_, static_cast<off_t>(start), static_cast<off_t>(frameBytes_ + pageBytes),
                      POSIX_FADV_WILLNEED);
    }

    const unsigned char* samples = mapping_ + (dataOffset - mappingStart);
    if (reinterpret_cast<std::uintptr_t>(samples) % 2 != 0) {
        // 16-bit samples at an odd offset (a header of odd length): the analyzer reads aligned words.
        copy_.resize((frameBytes_ + 1) / 2);
        std::memcpy(copy_.data(), samples, frameBytes_);
        samples = reinterpret_cast<const unsigned char*>(copy_.data());
    }
    av_image_fill_arrays(frame_->data, frame_->linesize, samples, static_cast<AVPixelFormat>(frame_->format),
                         frame_->width, frame_->height, 1);
    nextOffset_ = dataOffset + frameBytes_;
    ++frameIndex_;
    return frame_.get();
}

}  // namespace hdrmeter::clip
