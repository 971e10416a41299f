#ifndef HDRMETER_TOOL_TESTS_MEMORY_STREAM_H
#define HDRMETER_TOOL_TESTS_MEMORY_STREAM_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Test inputs as FILE streams: a pipe-like stream over memory, or a real temporary file, whose size
// the readers can see in advance.
struct MemoryStream {
    explicit MemoryStream(const std::string& bytes, bool regularFile = false) : bytes_(bytes)
    {
        // fmemopen refuses an empty buffer, so empty input is always an empty temporary file.
        if (regularFile || bytes_.empty()) {
            file = std::tmpfile();
            std::fwrite(bytes_.data(), 1, bytes_.size(), file);
            std::rewind(file);
        } else {
            file = fmemopen(bytes_.data(), bytes_.size(), "rb");
        }
    }
    ~MemoryStream() { std::fclose(file); }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    std::FILE* file = nullptr;

private:
    std::string bytes_;
};

// Little-endian 16-bit words as the bytes a file holds.
inline std::string littleEndianBytes(const std::vector<std::uint16_t>& samples)
{
    std::string bytes;
    for (std::uint16_t sample : samples) {
        bytes.push_back(static_cast<char>(sample & 0xff));
        bytes.push_back(static_cast<char>(sample >> 8));
    }
    return bytes;
}

#endif
