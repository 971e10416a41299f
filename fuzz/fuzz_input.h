// Turns a fuzzer's input into the choices a fuzz target makes. The leading bytes are taken four at a
// time, so that mutating them changes sizes, layouts and settings directly; once they run out, a
// generator seeded from the whole input supplies the rest (sample values, mostly), so short inputs
// still make full frames and every input replays the same way.
#ifndef HDRMETER_FUZZ_FUZZ_INPUT_H
#define HDRMETER_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {
        for (std::size_t i = 0; i < size; ++i) state_ = (state_ ^ data[i]) * 1099511628211ull;
        state_ |= 1;
    }
    uint32_t next() {
        uint32_t value;
        if (position_ + 4 <= size_) return std::memcpy(&value, data_ + (position_ += 4) - 4, 4), value;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_ >> 16);
    }

private:
    const uint8_t* data_;
    std::size_t size_, position_ = 0;
    uint64_t state_ = 1469598103934665603ull;
};

// A broken expectation: say which, and abort so that libFuzzer (or the corpus replay) reports it.
inline void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace fuzzing

#endif
