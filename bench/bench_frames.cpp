#include "bench_frames.h"

#include <random>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <thread>

#include <sys/resource.h>

namespace bench {

Frame makeFrame(int bitDepth, bool subsampled) {
    const int scale = 1 << (bitDepth - 10);
    const size_t chroma = subsampled ? kPixels / 2 : kPixels;
    Frame frame{subsampled ? YCbCr422_A : YCbCr444_A, std::vector<uint16_t>(kPixels + 2 * chroma)};
    std::mt19937 rng(7);
    uint16_t* luma = frame.samples.data();
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int base = 64 + (x * 700) / kWidth + (y * 170) / kHeight;
            luma[size_t(y) * kWidth + x] = static_cast<uint16_t>((base + int(rng() % 9) - 4) * scale);
        }
    }
    uint16_t* cb = luma + kPixels;
    uint16_t* cr = cb + chroma;
    const int chromaWidth = subsampled ? kWidth / 2 : kWidth;
    for (size_t i = 0; i < chroma; ++i) {
        const int x = static_cast<int>(i % chromaWidth);
        cb[i] = static_cast<uint16_t>((400 + (x * 220) / chromaWidth + int(rng() % 5)) * scale);
        cr[i] = static_cast<uint16_t>((620 - (x * 200) / chromaWidth + int(rng() % 5)) * scale);
    }
    return frame;
}

HDR_Info makeInfo(int bitDepth, bool light, bool percentiles) {
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = L"PQ";
    info.colorSpace = L"BT.2020";
    info.thresholdLevel = 203;
    info.thresholdUnit = L"NITS";
    info.measureLightLevel = light;
    info.measurePercentiles = percentiles;
    return info;
}

int coreCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

bool flushFromCaches(const void* data, size_t bytes) {
#if defined(__SSE2__)
    const auto* bytesToFlush = static_cast<const char*>(data);
    for (size_t offset = 0; offset < bytes; offset += 64) _mm_clflush(bytesToFlush + offset);
    _mm_mfence();
    return true;
#else
    (void)data;
    (void)bytes;
    return false;
#endif
}

}  // namespace bench
