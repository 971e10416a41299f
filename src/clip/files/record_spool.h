// Records kept on disk for outputs that need every frame's statistics at the end (the madVR file, partial
// results), so that a run holds a few bytes a frame in memory whatever it writes.
#ifndef HDRMETER_CLIP_RECORD_SPOOL_H
#define HDRMETER_CLIP_RECORD_SPOOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hdrmeter::clip {

class RecordSpool {
public:
    // An unnamed file in $TMPDIR (or /tmp). Throws InputError naming the folder and `what` it is for when
    // none can be made.
    explicit RecordSpool(const std::string& what);
    ~RecordSpool();
    RecordSpool(const RecordSpool&) = delete;
    RecordSpool& operator=(const RecordSpool&) = delete;

    // The record at `position` (a frame's place among the frames read, from 0); a second record at the same
    // place replaces the first. A failed write is remembered (failure()), never thrown.
    void put(std::size_t position, const std::string& bytes);
    // The record at `position`; empty for a place never put, or after a failure.
    std::string get(std::size_t position);
    std::size_t size() const { return index_.size(); }

    // Why the records could not be kept or read back, with what to do; empty while all is well.
    const std::string& failure() const { return failure_; }

private:
    struct Place {
        std::uint64_t offset = 0;
        std::uint32_t bytes = 0;
        bool stored = false;
    };
    int descriptor_ = -1;
    std::string folder_;
    std::string what_;
    std::string failure_;
    std::uint64_t end_ = 0;
    std::vector<Place> index_;
};

}  // namespace hdrmeter::clip

#endif
