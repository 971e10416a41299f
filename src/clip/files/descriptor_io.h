// Reading the input through a file descriptor of our own, handed to libavformat as a custom
// AVIOContext, so that a stop request ends a read that waits on a silent pipe within a poll interval
// instead of whenever the producer next writes.
#ifndef HDRMETER_CLIP_DESCRIPTOR_IO_H
#define HDRMETER_CLIP_DESCRIPTOR_IO_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <hdrmeter/clip.h>

struct AVIOContext;

namespace hdrmeter::clip {

// The device and inode of a file, what output files are compared with.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

// Every byte read from standard input, kept in a temporary file so that the stream can be read a second
// time. The file is unlinked as soon as it is made: nothing is left behind, whatever ends the program.
class InputCopy {
public:
    // Makes the file in $TMPDIR (or /tmp). Throws InputError naming the folder and the system's reason.
    InputCopy();
    ~InputCopy();
    InputCopy(const InputCopy&) = delete;
    InputCopy& operator=(const InputCopy&) = delete;

    // Appends what was read; after a failed write (a full disk) the copy stops growing and says why.
    void append(const std::uint8_t* bytes, std::size_t count);
    const std::string& failure() const { return failure_; }
    std::uint64_t sizeBytes() const { return sizeBytes_; }
    int descriptor() const { return descriptor_; }

private:
    int descriptor_ = -1;
    std::uint64_t sizeBytes_ = 0;
    std::string failure_;
};

class DescriptorInput {
public:
    // Opens path for reading, or takes standard input for "-". Throws InputError naming the file.
    // A read waiting on a silent input ends with AVERROR_EXIT once either request is made.
    // With `copy`, standard input's bytes are appended to it as they are read.
    DescriptorInput(const std::string& path, const StopRequest* stop, const StopRequest* closing = nullptr,
                    std::shared_ptr<InputCopy> copy = nullptr);
    // Reads standard input again from what `copy` kept, as the same unseekable stream it was.
    DescriptorInput(std::shared_ptr<InputCopy> copy, const StopRequest* stop, const StopRequest* closing);
    ~DescriptorInput();
    DescriptorInput(const DescriptorInput&) = delete;
    DescriptorInput& operator=(const DescriptorInput&) = delete;

    AVIOContext* context() const { return context_; }
    // "standard input" or the path as given.
    const std::string& name() const { return name_; }
    const FileIdentity& identity() const { return identity_; }
    int descriptor() const { return descriptor_; }
    // A regular file: seeking works and its size is known.
    bool regularFile() const { return regularFile_; }
    // Bytes handed to libavformat so far.
    std::uint64_t bytesRead() const { return bytesRead_; }
    // The system's reason when a read failed, empty otherwise.
    const std::string& readFailure() const { return readFailure_; }

    // The interrupt callback for the format context: non-zero once a stop was requested.
    static int interrupted(void* stopRequest);

private:
    void makeContext();
    static int readPacket(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    int descriptor_ = -1;
    bool ownsDescriptor_ = false;
    bool regularFile_ = false;
    std::int64_t sizeBytes_ = -1;
    std::uint64_t bytesRead_ = 0;
    std::string name_;
    std::string readFailure_;
    FileIdentity identity_;
    const StopRequest* stop_ = nullptr;
    const StopRequest* closing_ = nullptr;
    std::shared_ptr<InputCopy> copy_;  // what standard input's bytes go to, or come from when replaying
    bool replaying_ = false;
    AVIOContext* context_ = nullptr;
};

}  // namespace hdrmeter::clip

#endif
