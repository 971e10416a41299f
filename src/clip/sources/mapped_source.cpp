#include "mapped_source.h"

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

#include <hdrmeter/clip_hooks.h>

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22  // Linux 5.14; older kernels refuse it and the pages are faulted in instead
#endif

namespace hdrmeter::clip {

namespace {

// A file cut short under a mapped frame makes the reads beyond its new end raise SIGBUS, which would end
// the process. The handler maps zeros over the frame instead and remembers it, so that the frame is
// dropped and every frame before it is still reported. Each source that maps frames holds a slot of its
// own, so that runs going on at once are each guarded; the handler reads only these lock-free atomics.
struct GuardSlot {
    std::atomic<bool> taken{false};
    std::atomic<unsigned char*> begin{nullptr};
    std::atomic<std::size_t> bytes{0};
    std::atomic<bool> frameLost{false};
};
constexpr int kGuardSlots = 64;
GuardSlot guardSlots[kGuardSlots];
std::atomic<bool> guardInstalled{false};
struct sigaction actionBeforeGuard {};

void onBusError(int, siginfo_t* info, void*)
{
    auto* const address = static_cast<unsigned char*>(info->si_addr);
    for (GuardSlot& slot : guardSlots) {
        unsigned char* const begin = slot.begin.load();
        const std::size_t bytes = slot.bytes.load();
        if (begin != nullptr && address >= begin && address < begin + bytes) {
            if (mmap(begin, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
                break;
            slot.frameLost.store(true);
            return;  // the read that faulted runs again, on zeros
        }
    }
    // Not a frame of ours: the access faults again under the action that was there before.
    sigaction(SIGBUS, &actionBeforeGuard, nullptr);
}

std::uint64_t fileBytes(int descriptor)
{
    struct stat status {};
    return fstat(descriptor, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

}  // namespace

void installMappedReadGuard()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGBUS, &action, &actionBeforeGuard) == 0)
            guardInstalled.store(true);
    });
}

int claimMappedReadSlot()
{
    if (!guardInstalled.load())
        return -1;
    for (int slot = 0; slot < kGuardSlots; ++slot) {
        bool taken = false;
        if (guardSlots[slot].taken.compare_exchange_strong(taken, true))
            return slot;
    }
    return -1;
}

MappedSource::MappedSource(std::unique_ptr<LibavContainer> container, int guardSlot)
    : container_(std::move(container)),
      guardSlot_(guardSlot),
      facts_(container_->facts()),
      descriptor_(container_->input().descriptor()),
      yuv4mpeg_(facts_.container == "yuv4mpegpipe"),
      nextOffset_(static_cast<std::uint64_t>(avio_tell(container_->format().pb))),
      firstFrameOffset_(nextOffset_),
      frame_(av_frame_alloc())
{
    if (!frame_) {
        guardSlots[guardSlot_].taken.store(false);
        throw std::bad_alloc();
    }
    const AVCodecParameters& stream = *container_->stream().codecpar;
    frameBytes_ = static_cast<std::size_t>(
        av_image_get_buffer_size(static_cast<AVPixelFormat>(stream.format), stream.width, stream.height, 1));
    layout_ = pixelLayoutOf(stream.format);
    frame_->format = stream.format;
    frame_->width = stream.width;
    frame_->height = stream.height;
    frame_->color_range = stream.color_range;
    frame_->color_primaries = stream.color_primaries;
    frame_->color_trc = stream.color_trc;
    frame_->colorspace = stream.color_space;
    frame_->chroma_location = stream.chroma_location;
    handedOut_.transferTag = stream.color_trc;
    handedOut_.matrixTag = stream.color_space;
    handedOut_.primariesTag = stream.color_primaries;
    handedOut_.refusal = layout_.refusal;
    handedOut_.floatSamples = layout_.coding == SampleCoding::Float;
    if (!facts_.framesExpected)
        facts_.framesExpected = framesInFile();
}

MappedSource::~MappedSource()
{
    unmap();
    guardSlots[guardSlot_].taken.store(false);
}

void MappedSource::unmap()
{
    guardSlots[guardSlot_].begin.store(nullptr);
    if (mapping_)
        munmap(mapping_, mappingBytes_);
    mapping_ = nullptr;
}

long long MappedSource::framesInFile() const
{
    const std::uint64_t bytes = fileBytes(descriptor_);
    const std::uint64_t perFrame = frameBytes_ + (yuv4mpeg_ ? 6 : 0);  // "FRAME\n"
    return bytes > firstFrameOffset_ && perFrame > 0 ? static_cast<long long>((bytes - firstFrameOffset_) / perFrame)
                                                     : 0;
}

bool MappedSource::lastFrameLost() const
{
    return guardSlots[guardSlot_].frameLost.load();
}

std::unique_ptr<FrameSource> MappedSource::reopen()
{
    // The new source claims a slot of its own; this one keeps its own until it is destroyed.
    unmap();
    return openFrameSource(container_->reopenOptions(), false, container_->stop());
}

const SourceFrame* MappedSource::next()
{
    if (endSeen_)
        return nullptr;
    const AVFrame* frame = container_->stopRequested() ? nullptr : mapNext();
    if (!frame) {
        endSeen_ = true;
        stopped_ = container_->stopRequested();
        if (stopped_)
            failure_.clear();
        else if (failure_.empty() && frameIndex_ == 0)
            failure_ = facts_.name + " holds no video frame";
        return nullptr;
    }
    handedOut_.view = layout_.accepted ? samples_.viewOf(*frame, layout_) : FrameView{};
    return &handedOut_;
}

const AVFrame* MappedSource::mapNext()
{
    unmap();
    if (!failure_.empty() || frameBytes_ == 0)
        return nullptr;
    const std::uint64_t size = fileBytes(descriptor_);
    if (nextOffset_ > size) {
        // Cut behind the reader: frames that were there are gone, which is no end of the clip.
        failure_ = "the input file shrank to " + std::to_string(size) + " bytes, behind frame " +
                   std::to_string(frameIndex_) + ", while it was measured (did another program truncate or " +
                   "rewrite it?)";
        return nullptr;
    }
    if (nextOffset_ == size)
        return nullptr;
    const std::string frameName = "frame " + std::to_string(frameIndex_);
    std::uint64_t dataOffset = nextOffset_;
    if (yuv4mpeg_) {
        // "FRAME", parameters this reader does not need, and a line break.
        char line[256];
        const ssize_t got = pread(descriptor_, line, sizeof line, static_cast<off_t>(nextOffset_));
        const void* lineEnd = got > 0 ? std::memchr(line, '\n', static_cast<std::size_t>(got)) : nullptr;
        if (got < 5 || std::memcmp(line, "FRAME", 5) != 0 || !lineEnd) {
            failure_ = got < 6 ? cutFrameReason(frameIndex_, 0, frameBytes_)
                               : frameName + " does not start with a FRAME line: this is not a YUV4MPEG2 stream from there on";
            return nullptr;
        }
        dataOffset += static_cast<std::uint64_t>(static_cast<const char*>(lineEnd) - line) + 1;
    }
    if (dataOffset + frameBytes_ > size) {
        failure_ = cutFrameReason(frameIndex_, size - dataOffset, frameBytes_);
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
    GuardSlot& slot = guardSlots[guardSlot_];
    slot.frameLost.store(false);
    slot.bytes.store(mappingBytes_);
    slot.begin.store(mapping_);
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
