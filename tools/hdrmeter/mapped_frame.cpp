#include "mapped_frame.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "tool_errors.h"

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22  // Linux 5.14; older kernels refuse it and the pages are faulted in instead
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace hdrmeter::tool {

namespace {

// The frame under a MeasureGuard. The signal handler reads these, so they are lock-free atomics.
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
        mmap(begin, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
        guardedFrameLost.store(true);
        return;  // the access that faulted runs again, now on zeros
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

}  // namespace

MappedFrame::MappedFrame(int descriptor, std::uint64_t offset, std::size_t byteCount)
{
    const auto pageBytes = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t mappingStart = offset - offset % pageBytes;
    dataOffset_ = static_cast<std::size_t>(offset - mappingStart);
    mappingBytes_ = dataOffset_ + byteCount;
    void* mapping = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_NORESERVE, descriptor,
                         static_cast<off_t>(mappingStart));
    if (mapping == MAP_FAILED)
        throw InputError("cannot map " + std::to_string(byteCount) + " bytes of the input at offset " +
                         std::to_string(offset) + ": " + std::strerror(errno));
    mapping_ = static_cast<unsigned char*>(mapping);
}

MappedFrame::~MappedFrame()
{
    release();
}

MappedFrame::MappedFrame(MappedFrame&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      mappingBytes_(std::exchange(other.mappingBytes_, 0)),
      dataOffset_(std::exchange(other.dataOffset_, 0))
{
}

MappedFrame& MappedFrame::operator=(MappedFrame&& other) noexcept
{
    if (this != &other) {
        release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingBytes_ = std::exchange(other.mappingBytes_, 0);
        dataOffset_ = std::exchange(other.dataOffset_, 0);
    }
    return *this;
}

void MappedFrame::release()
{
    if (mapping_)
        munmap(mapping_, mappingBytes_);
    mapping_ = nullptr;
}

std::uint16_t* MappedFrame::samples() const
{
    return reinterpret_cast<std::uint16_t*>(mapping_ + dataOffset_);
}

void MappedFrame::prefetch() const
{
    madvise(mapping_, mappingBytes_, MADV_WILLNEED);
}

void MappedFrame::populate(const std::vector<std::size_t>& likelyWrittenOffsets) const
{
    // Failures here are harmless: the pages are then faulted in as the measurement reaches them.
    const auto pageBytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (const std::size_t offset : likelyWrittenOffsets) {
        const std::size_t page = (dataOffset_ + offset) / pageBytes * pageBytes;
        if (page < mappingBytes_)
            madvise(mapping_ + page, std::min(pageBytes, mappingBytes_ - page), MADV_POPULATE_WRITE);
    }
    madvise(mapping_, mappingBytes_, MADV_POPULATE_READ);
}

std::size_t MappedFrame::pageCount() const
{
    const auto pageBytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (mappingBytes_ + pageBytes - 1) / pageBytes;
}

std::vector<std::size_t> MappedFrame::copiedPageOffsets() const
{
    // /proc/self/pagemap has a 64-bit entry per virtual page: bit 63 says the page is present, bit 61
    // that it is a page of the file (or shared); a present page that is not is the process's own copy.
    static const int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    std::vector<std::size_t> copied;
    if (pagemap < 0 || !mapping_)
        return copied;
    const auto pageBytes = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t firstPage = reinterpret_cast<std::uintptr_t>(mapping_) / pageBytes;
    std::uint64_t entries[512];
    for (std::size_t page = 0; page < pageCount();) {
        const std::size_t count = std::min(pageCount() - page, sizeof entries / sizeof entries[0]);
        const ssize_t bytes = pread(pagemap, entries, count * sizeof entries[0],
                                    static_cast<off_t>((firstPage + page) * sizeof entries[0]));
        if (bytes <= 0)
            return copied;
        for (std::size_t i = 0; i < static_cast<std::size_t>(bytes) / sizeof entries[0]; ++i) {
            if ((entries[i] >> 63 & 1) != 0 && (entries[i] >> 61 & 1) == 0) {
                const std::size_t pageStart = (page + i) * pageBytes;
                copied.push_back(pageStart > dataOffset_ ? pageStart - dataOffset_ : 0);
            }
        }
        page += static_cast<std::size_t>(bytes) / sizeof entries[0];
    }
    return copied;
}

MappedFrame::MeasureGuard::MeasureGuard(const MappedFrame& frame)
{
    installBusErrorHandler();
    guardedFrameLost.store(false);
    guardedBytes.store(frame.mappingBytes_);
    guardedBegin.store(frame.mapping_);
}

MappedFrame::MeasureGuard::~MeasureGuard()
{
    guardedBegin.store(nullptr);
}

bool MappedFrame::MeasureGuard::inputShrank() const
{
    return guardedFrameLost.load();
}

}  // namespace hdrmeter::tool
