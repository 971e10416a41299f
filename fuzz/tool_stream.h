// The fuzzer's bytes as the FILE stream a reader of the tool takes, as if they came through a pipe.
#ifndef HDRMETER_FUZZ_TOOL_STREAM_H
#define HDRMETER_FUZZ_TOOL_STREAM_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzzing {

class ByteStream {
public:
    ByteStream(const uint8_t* data, std::size_t size) : bytes_(reinterpret_cast<const char*>(data), size) {
        // fmemopen refuses an empty buffer; an empty temporary file is the same empty input.
        file_ = bytes_.empty() ? std::tmpfile() : fmemopen(bytes_.data(), bytes_.size(), "rb");
    }
    ~ByteStream() {
        if (file_ != nullptr) std::fclose(file_);
    }
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    std::FILE* file() const { return file_; }

private:
    std::string bytes_;
    std::FILE* file_ = nullptr;
};

}  // namespace fuzzing

#endif
