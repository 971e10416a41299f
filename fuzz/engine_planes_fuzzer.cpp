// Drives the measurement engine and the plane exports with sizes, layouts, depths, limits and task or
// stripe counts drawn from the input, always inside what a host may pass, and checks every answer
// against a plain re-computation: the single-threaded oracle for the engine, direct loops for the
// plane exports, and the one-stripe result for the striped filter.
#include <hdrmeter.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "measurement_oracle.h"
#include "random_cases.h"

using fuzzing::check;
using fuzzing::FuzzInput;
using namespace reliability;

namespace {

void fuzzEngine(FuzzInput& in) {
    HDR_Info info = randomInfo(in);
    preferTenBits(info, in, 8);
    const HDR_Info asGiven = info;
    CHDR_Measurements meter;
    check(meter.InitializeMeasurements(info), "configuration refused");
    MeasurementOracle oracle(asGiven);
    double top1 = asGiven.topLevel1Nits, top2 = asGiven.topLevel2Nits, bottom = asGiven.bottomLevelNits;
    oracle.expectedLevelNits(asGiven, top1, top2, bottom);
    check(info.topLevel1Nits == top1 && info.topLevel2Nits == top2 && info.bottomLevelNits == bottom,
          "levels written back in nits");

    const int frames = 1 + static_cast<int>(in.next() % 3);
    for (int frame = 0; frame < frames; ++frame) {
        const RandomFrame input = randomFrame(in, info.bitDepth, 48, 24);
        const int taskCount = pick(in, -2, 9);
        check(matchesOracle(meter, oracle, input, taskCount), "frame measured as the oracle does");
    }

    // A copy measures on with the shared tables after its source lets go of them and is configured anew.
    CHDR_Measurements copy(meter);
    meter.Destroy_LUT();
    const RandomFrame larger = randomFrame(in, info.bitDepth, 64, 32);
    check(matchesOracle(copy, oracle, larger, pick(in, 0, 7)), "copy measures after its source's Destroy_LUT");
    HDR_Info other = randomInfo(in);
    preferTenBits(other, in, 8);
    check(meter.InitializeMeasurements(other), "configuration again refused");
    MeasurementOracle otherOracle(other);
    check(matchesOracle(meter, otherOracle, randomFrame(in, other.bitDepth, 40, 20), pick(in, 0, 5)),
          "reconfigured object measures as the oracle does");
}

float pickLimit(FuzzInput& in) {
    const float limits[] = {0.0f, 0.25f, 0.5f, 1.0f, -1.0f, 16.0f, 16.5f, 64.0f, 255.0f, 940.0f, 1023.5f, 65535.0f};
    if (in.next() % 2) return limits[in.next() % 12];
    return static_cast<float>(static_cast<int>(in.next() % 140000) - 4000) / 2.0f;
}

// The smoothing filter as its definition reads, for integer samples: the horizontal pass stored as
// rounded, saturated samples, then the vertical pass; samples outside the plane count as 0.
template <typename Sample>
std::vector<Sample> smoothDirectly(const std::vector<Sample>& plane, int width, int height) {
    const int horizontal[] = {1, 2, 3, 4, 3, 2, 1};
    const int vertical[] = {1, 2, 1};
    const double largest = static_cast<double>(static_cast<Sample>(~Sample(0)));
    auto store = [&](double value) {
        return static_cast<Sample>(std::min(largest, std::max(0.0, std::nearbyint(value))));
    };
    std::vector<Sample> rows(plane.size()), out(plane.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double sum = 0;
            for (int k = 0; k < 7; ++k) {
                const int at = x + k - 3;
                if (at >= 0 && at < width) sum += horizontal[k] * static_cast<double>(plane[y * width + at]);
            }
            rows[y * width + x] = store(sum / 16.0);
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) {
                const int at = y + k - 1;
                if (at >= 0 && at < height) sum += vertical[k] * static_cast<double>(rows[at * width + x]);
            }
            out[y * width + x] = store(sum / 4.0);
        }
    }
    return out;
}

void fuzzPlanes(FuzzInput& in) {
    const int width = pick(in, 0, 48);
    const int height = pick(in, 0, 24);
    const std::size_t n = static_cast<std::size_t>(width) * height;
    const unsigned w = static_cast<unsigned>(width), h = static_cast<unsigned>(height);
    const unsigned depths[] = {8, 10, 12, 16, 0};
    const unsigned bitDepth = depths[in.next() % 5];
    std::vector<uint8_t> bytes(n);
    std::vector<uint16_t> words(n);
    std::vector<float> r(n), g(n), b(n);
    const uint32_t codeRange = in.next() % 2 ? 1024 : 65536;
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(in.next());
        words[i] = static_cast<uint16_t>(in.next() % codeRange);
        r[i] = static_cast<float>(static_cast<int>(in.next() % 4000) - 1000) / 1000.0f;
        g[i] = static_cast<float>(static_cast<int>(in.next() % 4000) - 1000) / 1000.0f;
        b[i] = static_cast<float>(static_cast<int>(in.next() % 4000) - 1000) / 1000.0f;
    }
    // An empty plane may come as a null pointer.
    const bool nullWhenEmpty = n == 0 && in.next() % 2;
    auto data = [&](auto& v) { return nullWhenEmpty ? nullptr : v.data(); };
    const bool eightBit = bitDepth == 8;
    unsigned char* integerPlane = eightBit ? reinterpret_cast<unsigned char*>(data(bytes))
                                           : reinterpret_cast<unsigned char*>(data(words));
    auto sampleAt = [&](std::size_t i) { return eightBit ? double(bytes[i]) : double(words[i]); };

    switch (in.next() % 6) {
        case 0: {  // smoothing: every stripe count gives the one-stripe result, which is the filter's definition
            const int stripes = pick(in, -1, 9);
            std::vector<uint8_t> bytesOut = bytes;
            std::vector<uint16_t> wordsOut = words;
            std::vector<float> floatsOut = r, floatsOne = r;
            unsigned char* integerOut[] = {eightBit ? reinterpret_cast<unsigned char*>(data(bytesOut))
                                                   : reinterpret_cast<unsigned char*>(data(wordsOut))};
            float* floatOut[] = {data(floatsOut)};
            float* floatOne[] = {data(floatsOne)};
            ocvfilter2D(integerOut, w, h, bitDepth, stripes);
            ocvfilter2D_32F(floatOut, w, h, stripes);
            ocvfilter2D_32F(floatOne, w, h, 1);
            if (stripes < 0) {
                check(bytesOut == bytes && wordsOut == words && floatsOut == r, "negative stripe count changes nothing");
            } else {
                check(eightBit ? bytesOut == smoothDirectly(bytes, width, height)
                               : wordsOut == smoothDirectly(words, width, height),
                      "smoothed integer plane");
                check(floatsOut == floatsOne, "float plane smoothed the same in every stripe count");
            }
            break;
        }
        case 1: {
            if (n == 0) {  // nothing is demanded of the values, only that the call is harmless
                double low = 0, high = 0;
                ocvFindMinMax(integerPlane, &low, &high, w, h, bitDepth);
                ocvFindMinMax_32F(data(r), &low, &high, w, h);
                break;
            }
            double low = -1, high = -1;
            ocvFindMinMax(integerPlane, &low, in.next() % 4 ? &high : nullptr, w, h, bitDepth);
            double expectedLow = sampleAt(0), expectedHigh = sampleAt(0);
            for (std::size_t i = 0; i < n; ++i) {
                expectedLow = std::min(expectedLow, sampleAt(i));
                expectedHigh = std::max(expectedHigh, sampleAt(i));
            }
            check(low == expectedLow && (high == -1 || high == expectedHigh), "integer minimum and maximum");
            ocvFindMinMax_32F(r.data(), &low, &high, w, h);
            check(low == *std::min_element(r.begin(), r.end()) && high == *std::max_element(r.begin(), r.end()),
                  "float minimum and maximum");
            break;
        }
        case 2: {
            const float lowest = pickLimit(in) / 1000.0f, highest = pickLimit(in) / 1000.0f;
            std::vector<float> clamped = r;
            ocvClampMinMax_32F(data(clamped), lowest, highest, w, h);
            for (std::size_t i = 0; i < n; ++i) {
                float expected = r[i] < lowest ? lowest : r[i];
                expected = expected > highest ? highest : expected;
                check(clamped[i] == expected, "clamped sample");
            }
            break;
        }
        case 3:
        case 4: {
            const float upper = pickLimit(in) / 1000.0f, lower = pickLimit(in) / 1000.0f;
            int counts[4] = {-1, -1, -1, -1};
            int split[7] = {-1, -1, -1, -1, -1, -1, -1};
            int* cells[7];
            for (int i = 0; i < 7; ++i) cells[i] = &split[i];
            ocvCountCheck_32F(data(r), data(g), data(b), &counts[0], &counts[1], &counts[2], &counts[3], w, h, upper,
                              lower);
            ocvCountCheckRGB_32F(data(r), data(g), data(b), &cells[0], &cells[1], &cells[2], &cells[3], &cells[4],
                                 &cells[5], &cells[6], w, h, upper, lower);
            if (n == 0) break;
            int low[3] = {}, high[3] = {}, positions = 0;
            const std::vector<float>* planes[] = {&r, &g, &b};
            for (std::size_t i = 0; i < n; ++i) {
                bool any = false;
                for (int p = 0; p < 3; ++p) {
                    const float v = (*planes[p])[i];
                    low[p] += v <= lower;
                    high[p] += v > upper;
                    any = any || v <= lower || v > upper;
                }
                positions += any;
            }
            for (int p = 0; p < 3; ++p) {
                check(counts[p] == low[p] + high[p], "plane count");
                check(split[p] == low[p] && split[3 + p] == high[p], "low and high counts");
            }
            check(counts[3] == positions && split[6] == positions, "violating pixel count");
            break;
        }
        default: {
            const float lower = pickLimit(in), upper = pickLimit(in);
            unsigned violations = 12345;
            int lowCount = -1, highCount = -1;
            ocvFindLumaViolations(integerPlane, w, h, bitDepth, lower, upper, &violations, &lowCount, &highCount);
            if (n == 0) break;
            unsigned expectedEither = 0;
            int expectedLow = 0, expectedHigh = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const bool isLow = sampleAt(i) <= lower, isHigh = sampleAt(i) > upper;
                expectedLow += isLow;
                expectedHigh += isHigh;
                expectedEither += isLow || isHigh;
            }
            check(lowCount == expectedLow && highCount == expectedHigh && violations == expectedEither,
                  "luma violation counts");
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    if (in.next() % 3 == 0) {
        fuzzEngine(in);
    } else {
        fuzzPlanes(in);
    }
    return 0;
}
