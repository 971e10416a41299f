// Measurement configurations, frames and planes drawn at random, always inside what a host may pass.
// `Source` is anything with a `uint32_t next()`: a seeded generator for the tests, the fuzzer's input
// bytes for the fuzz target.
#ifndef HDRMETER_TESTS_RELIABILITY_RANDOM_CASES_H
#define HDRMETER_TESTS_RELIABILITY_RANDOM_CASES_H

#include <hdrmeter.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "measurement_oracle.h"

namespace reliability {

using namespace hdrmeter_oracle;
using TestFrame = EngineFrame;

struct SeededSource {
    explicit SeededSource(uint32_t seed) : engine(seed) {}
    uint32_t next() { return engine(); }
    std::mt19937 engine;
};

template <typename Source>
int pick(Source& source, int low, int high) {  // inclusive
    return low + static_cast<int>(source.next() % (static_cast<uint32_t>(high - low) + 1u));
}

// Strings near the ones the engine recognises exercise the near misses too. 12-bit tables take 64 MiB
// and long to fill, so only one 12-bit draw in keepTwelveBits stays 12-bit.
template <typename Source>
HDR_Info randomInfo(Source& source, uint32_t keepTwelveBits) {
    HDR_Info info;
    const int depths[] = {10, 12, 16};
    info.bitDepth = depths[source.next() % 3];
    if (info.bitDepth == 12 && source.next() % keepTwelveBits != 0) info.bitDepth = 10;
    const int lastCode = (1 << info.bitDepth) - 1;
    const wchar_t* const names[] = {L"HLG", L"PQ", L"BT.2020", L"BT.709", L"NITS", L"hlg", L"NITS ", L""};
    info.transferFunction = names[source.next() % 8];
    info.colorSpace = names[source.next() % 8];
    info.thresholdUnit = names[source.next() % 8];
    info.levelUnit = names[source.next() % 8];
    info.thresholdLevel = pick(source, 0, info.thresholdUnit == L"NITS" ? 12000 : lastCode);
    info.measureLightLevel = source.next() % 4 != 0;
    info.measurePercentiles = source.next() % 4 != 0;
    for (float* percent : {&info.topPercent1, &info.topPercent2, &info.bottomPercent}) {
        const uint32_t kind = source.next() % 8;  // the ends of the range often
        *percent = kind < 2 ? 100.0f * kind : static_cast<float>(source.next() % 100001u) / 1000.0f;
    }
    for (int* level : {&info.topLevel1, &info.topLevel2, &info.bottomLevel}) {
        *level = source.next() % 4 == 0 ? -1 : pick(source, 0, info.levelUnit == L"NITS" ? 10000 : lastCode);
    }
    return info;
}

// Samples mostly within the depth's codes, some anywhere in 0..65535 to exercise the clamping.
template <typename Source>
TestFrame randomFrame(Source& source, int bitDepth, InputPixelFormat format, int width, int height) {
    TestFrame frame(format, width, height);
    for (uint16_t& sample : frame.samples) {
        const uint32_t draw = source.next();
        sample = static_cast<uint16_t>((draw & 0xF0000000u) == 0 ? draw : draw % (1u << bitDepth));
    }
    return frame;
}

template <typename Source>
TestFrame randomFrame(Source& source, int bitDepth, int maxWidth, int maxHeight) {
    const auto format = static_cast<InputPixelFormat>(source.next() % 4);
    const int width = pick(source, 1, maxWidth);
    return randomFrame(source, bitDepth, format, width, pick(source, 1, maxHeight));
}

inline HDR_Info fullInfo(int bitDepth, const wchar_t* transfer) {
    return makeInfo(bitDepth, transfer, L"BT.2020", true, true);
}

// Measures one frame with the object and with the oracle on separate copies; true when the results,
// the clamped buffers and (with percentiles) the sorted luminance buffer are the same bits.
inline bool matchesOracle(CHDR_Measurements& meter, MeasurementOracle& oracle, const TestFrame& frame, int taskCount) {
    TestFrame mine = frame, theirs = frame;
    const Results expected = oracle.frame(frame.format, frame.width, frame.height, theirs.samples.data(),
                                          theirs.samples.data(), taskCount);
    if (mine.measure(meter, taskCount) != expected || mine.samples != theirs.samples) return false;
    return !oracle.percentiles || taskCount < 0 ||
           std::equal(oracle.luminances.begin(), oracle.luminances.end(), meter.pixelLuminance);
}

// Planes for the exports: 16-bit words, bytes, and R, G, B floats in 0..1.
struct PlaneSet {
    int width = 0, height = 0;
    std::vector<uint16_t> words;
    std::vector<uint8_t> bytes;
    std::vector<float> r, g, b;
    unsigned char* wordBytes() { return reinterpret_cast<unsigned char*>(words.data()); }
};

template <typename Source>
PlaneSet randomPlanes(Source&& source, int width, int height) {
    PlaneSet set{width, height, {}, {}, {}, {}, {}};
    for (int i = 0; i < width * height; ++i) {
        set.words.push_back(static_cast<uint16_t>(source.next()));
        set.bytes.push_back(static_cast<uint8_t>(source.next()));
        for (auto* plane : {&set.r, &set.g, &set.b}) plane->push_back(static_cast<float>(source.next() % 1000) / 999.0f);
    }
    return set;
}

template <typename T>
std::vector<double> numbers(const T& values) { return std::vector<double>(std::begin(values), std::end(values)); }

// Each plane export on a PlaneSet, returning every number and sample it produced; only the smoothing
// filters take the stripe count.
struct PlaneCall {
    const char* name;
    std::vector<double> (*call)(PlaneSet&, int stripes);
};
inline const PlaneCall kPlaneCalls[] = {
    {"ocvfilter2D 16-bit", [](PlaneSet& s, int stripes) {
         unsigned char* planes[] = {s.wordBytes()};
         return ocvfilter2D(planes, s.width, s.height, 16, stripes), numbers(s.words);
     }},
    {"ocvfilter2D 8-bit", [](PlaneSet& s, int stripes) {
         unsigned char* planes[] = {s.bytes.data()};
         return ocvfilter2D(planes, s.width, s.height, 8, stripes), numbers(s.bytes);
     }},
    {"ocvfilter2D_32F", [](PlaneSet& s, int stripes) {
         float* planes[] = {s.r.data()};
         return ocvfilter2D_32F(planes, s.width, s.height, stripes), numbers(s.r);
     }},
    {"the other exports", [](PlaneSet& s, int) {
         double found[4] = {-1, -1, -1, -1};
         int c[13] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
         int* p[7] = {c + 4, c + 5, c + 6, c + 7, c + 8, c + 9, c + 10};
         unsigned either = 0;
         ocvFindMinMax(s.wordBytes(), &found[0], &found[1], s.width, s.height, 16);
         ocvFindMinMax_32F(s.g.data(), &found[2], &found[3], s.width, s.height);
         ocvClampMinMax_32F(s.b.data(), 0.25, 0.75, s.width, s.height);
         ocvCountCheck_32F(s.r.data(), s.g.data(), s.b.data(), &c[0], &c[1], &c[2], &c[3], s.width, s.height, 0.9f, 0.1f);
         ocvCountCheckRGB_32F(s.r.data(), s.g.data(), s.b.data(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6],
                              s.width, s.height, 0.8f, 0.2f);
         ocvFindLumaViolations(s.wordBytes(), s.width, s.height, 16, 4096.0f, 60000.0f, &either, &c[11], &c[12]);
         std::vector<double> all = numbers(s.b);
         all.insert(all.end(), found, found + 4);
         all.insert(all.end(), c, c + 13);
         return all.push_back(either), all;
     }},
};

}  // namespace reliability

#endif
