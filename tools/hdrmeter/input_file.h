#ifndef HDRMETER_TOOL_INPUT_FILE_H
#define HDRMETER_TOOL_INPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace hdrmeter::tool {

// An input byte stream: a named file, or standard input for "-". Tests hand in any FILE*.
class InputFile {
public:
    // Opens path, or standard input for "-"; throws InputError when it cannot be opened.
    explicit InputFile(const std::string& path);
    // Reads from an already open stream that the caller keeps ownership of.
    InputFile(std::FILE* stream, std::string displayName);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::FILE* stream() const { return stream_; }
    const std::string& displayName() const { return displayName_; }

    // The size in bytes when the input is a regular file, whose length is known in advance.
    std::optional<std::uint64_t> regularFileBytes() const { return regularFileBytes_; }

    // Reads up to byteCount bytes; returns how many arrived before the end of the input. Throws
    // InputError on a read error.
    std::size_t readBytes(void* destination, std::size_t byteCount);

    // Reads sampleCount little-endian 16-bit words into samples (resized to sampleCount on success)
    // and returns the bytes read. The buffer grows only as data arrives, so a header that claims a
    // huge frame followed by a few bytes costs a few bytes of memory, not the claimed frame.
    std::size_t readSamples(std::vector<std::uint16_t>& samples, std::size_t sampleCount);

    // Reads one byte; returns -1 at the end of the input. Throws InputError on a read error.
    int readByte();

    // For a regular file on a little-endian host, whose frames can be mapped instead of read: its
    // descriptor, the offset of the next byte to read, its size now (it may still be growing), and a way
    // to pass over bytes unread.
    std::optional<int> mappableDescriptor() const;
    std::uint64_t position();
    std::uint64_t currentBytes() const;
    void skipBytes(std::uint64_t byteCount);

private:
    std::FILE* stream_ = nullptr;
    bool ownsStream_ = false;
    std::string displayName_;
    std::optional<std::uint64_t> regularFileBytes_;
};

}  // namespace hdrmeter::tool

#endif
