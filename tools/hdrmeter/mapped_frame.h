#ifndef HDRMETER_TOOL_MAPPED_FRAME_H
#define HDRMETER_TOOL_MAPPED_FRAME_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hdrmeter::tool {

// A frame's planes mapped copy-on-write from the input file, so that they are measured where the page
// cache holds them instead of being copied into the tool's own buffer first. The engine clamps samples
// in place; it stores only samples that clamping changes, so the pages of a frame in range stay shared
// and the file is never written.
//
// A mapping costs resident memory only for the pages the process has touched, and reading the next
// frame ahead into the page cache (see prefetch) costs none, so the tool holds one frame of input
// however far it reads ahead.
class MappedFrame {
public:
    MappedFrame() = default;
    // Maps byteCount bytes of the file from offset on, which must be even. Throws InputError.
    MappedFrame(int descriptor, std::uint64_t offset, std::size_t byteCount);
    ~MappedFrame();
    MappedFrame(MappedFrame&& other) noexcept;
    MappedFrame& operator=(MappedFrame&& other) noexcept;
    MappedFrame(const MappedFrame&) = delete;
    MappedFrame& operator=(const MappedFrame&) = delete;

    explicit operator bool() const { return mapping_ != nullptr; }
    std::uint16_t* samples() const;

    // Starts reading the frame from the file into the page cache, without waiting for it.
    void prefetch() const;
    // Maps every page into the process at once: far cheaper than a page fault for each one in turn.
    // The pages holding the given frame byte offsets are copied for writing first. Copying a page that
    // is mapped already must stop every thread of the process that may hold it in its translation
    // cache; copying it before it is mapped needs nothing of the kind.
    void populate(const std::vector<std::size_t>& likelyWrittenOffsets) const;

    // The pages of the mapping, and the frame byte offsets at which the pages start that the process
    // holds a private copy of because a sample in them was written (none where the system cannot tell).
    std::size_t pageCount() const;
    std::vector<std::size_t> copiedPageOffsets() const;

    // The mapping of a file reports a read beyond the file's end with a signal that ends the process.
    // While a MeasureGuard lives, a file cut short under this frame instead leaves zeros in its place and
    // sets inputShrank(), so that the tool can drop the frame and still report every frame before it.
    // One guard at a time.
    class MeasureGuard {
    public:
        explicit MeasureGuard(const MappedFrame& frame);
        ~MeasureGuard();
        MeasureGuard(const MeasureGuard&) = delete;
        MeasureGuard& operator=(const MeasureGuard&) = delete;
        bool inputShrank() const;
    };

private:
    void release();

    unsigned char* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    std::size_t dataOffset_ = 0;  // where the frame starts in the mapping, which starts on a page boundary
};

}  // namespace hdrmeter::tool

#endif
