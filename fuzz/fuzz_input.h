// Turns a fuzzer's input into the choices a fuzz target makes. The leading bytes are taken four at a
// time, so that mutating them changes sizes, layouts and settings directly; once they run out, a
// generator seeded from the whole input supplies the rest (sample values, mostly), so short inputs
// still make full frames and every input replays the same way.
#ifndef HDRMETER_FUZZ_FUZZ_INPUT_H
#define HDRMETER_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {
        uint64_t hash = 1469598103934665603ull;
        for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
        state_ = hash | 1;
    }

    uint32_t next() {
        if (position_ + 4 <= size_) {
            const uint32_t value = static_cast<uint32_t>(data_[position_]) |
                                   static_cast<uint32_t>(data_[position_ + 1]) << 8 |
                                   static_cast<uint32_t>(data_[position_ + 2]) << 16 |
                                   static_cast<uint32_t>(data_[position_ + 3]) << 24;
            position_ += 4;
            return value;
        }
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_ >> 16);
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    uint64_t state_;
};

// A broken expectation: say which, and abort so that libFuzzer (or the corpus replay) reports it.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

}  // namespace fuzzing

#endif
