// Measurement configurations and frames drawn at random, always inside what a host may pass: bit depth
// 10, 12 or 16, levels that are codes of that depth (or -1), percentages within 0..100, one of the four
// layouts and buffers of the size that layout needs. `Source` is anything with a `uint32_t next()`: a
// seeded generator for the tests, the fuzzer's input bytes for the fuzz target.
#ifndef HDRMETER_TESTS_RELIABILITY_RANDOM_CASES_H
#define HDRMETER_TESTS_RELIABILITY_RANDOM_CASES_H

#include <hdrmeter.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "measurement_oracle.h"

namespace reliability {

using namespace hdrmeter_oracle;

struct SeededSource {
    explicit SeededSource(uint32_t seed) : engine(seed) {}
    uint32_t next() { return engine(); }
    std::mt19937 engine;
};

template <typename Source>
int pick(Source& source, int low, int high) {  // inclusive
    const uint32_t span = static_cast<uint32_t>(high - low) + 1u;
    return low + static_cast<int>(source.next() % span);
}

template <typename Source>
float pickPercent(Source& source) {
    const uint32_t kind = source.next() % 8;  // the ends of the range often, anything between otherwise
    return kind < 2 ? 100.0f * kind : static_cast<float>(source.next() % 100001u) / 1000.0f;
}

// Strings near the ones the engine recognises, so that near misses are exercised too.
inline const wchar_t* const kTransferNames[] = {L"HLG", L"PQ", L"hlg", L"HLG ", L"HL", L""};
inline const wchar_t* const kColourSpaceNames[] = {L"BT.2020", L"BT.709", L"bt.2020", L"BT.2020 ", L""};
inline const wchar_t* const kUnitNames[] = {L"NITS", L"CODE", L"nits", L"NIT", L""};

template <typename Source>
HDR_Info randomInfo(Source& source) {
    HDR_Info info;
    const int depths[] = {10, 12, 16};
    info.bitDepth = depths[source.next() % 3];
    const int lastCode = (1 << info.bitDepth) - 1;
    info.transferFunction = kTransferNames[source.next() % 6];
    info.colorSpace = kColourSpaceNames[source.next() % 5];
    info.thresholdUnit = kUnitNames[source.next() % 5];
    info.thresholdLevel =
        info.thresholdUnit == L"NITS" ? pick(source, 0, 12000) : pick(source, 0, lastCode);
    info.measureLightLevel = source.next() % 4 != 0;
    info.measurePercentiles = source.next() % 4 != 0;
    info.topPercent1 = pickPercent(source);
    info.topPercent2 = pickPercent(source);
    info.bottomPercent = pickPercent(source);
    info.levelUnit = kUnitNames[source.next() % 5];
    const bool levelsInNits = info.levelUnit == L"NITS";
    auto level = [&]() { return source.next() % 4 == 0 ? -1 : pick(source, 0, levelsInNits ? 10000 : lastCode); };
    info.topLevel1 = level();
    info.topLevel2 = level();
    info.bottomLevel = level();
    return info;
}

// 12-bit tables take 64 MiB and a noticeable time to fill. Callers that configure often turn most
// 12-bit draws into 10-bit ones (keeping one in keepOneIn), with the levels brought into 10-bit codes.
template <typename Source>
void preferTenBits(HDR_Info& info, Source& source, uint32_t keepOneIn) {
    if (info.bitDepth != 12 || source.next() % keepOneIn == 0) return;
    info.bitDepth = 10;
    if (info.thresholdUnit != L"NITS") info.thresholdLevel %= 1024;
    if (info.levelUnit != L"NITS") {
        for (int* level : {&info.topLevel1, &info.topLevel2, &info.bottomLevel}) {
            if (*level != -1) *level %= 1024;
        }
    }
}

struct RandomFrame {
    InputPixelFormat format = YCbCr422_A;
    int width = 0, height = 0;
    std::vector<uint16_t> samples;  // luma, Cb, Cr: exactly the words the layout needs

    uint16_t* words() { return samples.data(); }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(samples.data()); }
};

// Samples mostly within the depth's codes, with some anywhere in 0..65535 to exercise the clamping.
template <typename Source>
RandomFrame randomFrameOfSize(Source& source, int bitDepth, InputPixelFormat format, int width, int height) {
    RandomFrame frame{format, width, height, std::vector<uint16_t>(frameWords(format, width, height))};
    for (uint16_t& sample : frame.samples) {
        const uint32_t draw = source.next();
        sample = static_cast<uint16_t>((draw & 0xF0000000u) == 0 ? draw : draw % (1u << bitDepth));
    }
    return frame;
}

template <typename Source>
RandomFrame randomFrame(Source& source, int bitDepth, int maxWidth, int maxHeight) {
    const auto format = static_cast<InputPixelFormat>(source.next() % 4);
    const int width = pick(source, 1, maxWidth);
    return randomFrameOfSize(source, bitDepth, format, width, pick(source, 1, maxHeight));
}

// Everything measured, in nits, with the given depth and transfer.
inline HDR_Info fullInfo(int bitDepth, const wchar_t* transfer) {
    HDR_Info info;
    info.bitDepth = bitDepth;
    info.transferFunction = transfer;
    info.colorSpace = L"BT.2020";
    info.thresholdUnit = L"NITS";
    info.thresholdLevel = 200;
    info.measureLightLevel = info.measurePercentiles = true;
    info.topPercent1 = 5.0f;
    info.topPercent2 = 20.0f;
    info.bottomPercent = 10.0f;
    return info;
}

// Measures one frame with the object and with the oracle on separate copies; true when the results,
// the clamped buffers and (with percentiles) the sorted luminance buffer are the same bits.
inline bool matchesOracle(CHDR_Measurements& meter, MeasurementOracle& oracle, const RandomFrame& frame,
                          int taskCount) {
    RandomFrame mine = frame, theirs = frame;
    const Results actual = meter.HDR_Measurements(frame.format, frame.width, frame.height, mine.bytes(), mine.bytes(),
                                                  taskCount);
    const Results expected =
        oracle.frame(frame.format, frame.width, frame.height, theirs.words(), theirs.words(), taskCount);
    if (actual != expected || mine.samples != theirs.samples) return false;
    return !oracle.percentiles || taskCount < 0 ||
           std::equal(oracle.luminances.begin(), oracle.luminances.end(), meter.pixelLuminance);
}

// Random planes for the plane exports: full-range 16-bit words, bytes, and R, G, B floats in 0..1.
struct PlaneSet {
    int width = 0, height = 0;
    std::vector<uint16_t> words;
    std::vector<uint8_t> bytes;
    std::vector<float> r, g, b;
};

inline PlaneSet randomPlanes(uint32_t seed, int width, int height) {
    SeededSource source(seed);
    PlaneSet set{width, height, {}, {}, {}, {}, {}};
    for (int i = 0; i < width * height; ++i) {
        set.words.push_back(static_cast<uint16_t>(source.next()));
        set.bytes.push_back(static_cast<uint8_t>(source.next()));
        for (auto* plane : {&set.r, &set.g, &set.b}) plane->push_back(static_cast<float>(source.next() % 1000) / 999.0f);
    }
    return set;
}

// Each plane export on a PlaneSet, returning every number and sample it produced. Only the smoothing
// filters take the stripe count; they and the clamp write to the planes, the others only read them.
struct PlaneCall {
    const char* name;
    std::vector<double> (*call)(PlaneSet&, int stripes);
    bool striped, writes;
};
template <typename T>
std::vector<double> numbers(const T* first, const T* last) { return std::vector<double>(first, last); }
template <typename T>
std::vector<double> numbers(const std::vector<T>& plane) { return std::vector<double>(plane.begin(), plane.end()); }
inline const PlaneCall kPlaneCalls[] = {
    {"ocvfilter2D 16-bit", [](PlaneSet& s, int stripes) {
         unsigned char* planes[] = {reinterpret_cast<unsigned char*>(s.words.data())};
         ocvfilter2D(planes, s.width, s.height, 16, stripes);
         return numbers(s.words);
     }, true, true},
    {"ocvfilter2D 8-bit", [](PlaneSet& s, int stripes) {
         unsigned char* planes[] = {s.bytes.data()};
         ocvfilter2D(planes, s.width, s.height, 8, stripes);
         return numbers(s.bytes);
     }, true, true},
    {"ocvfilter2D_32F", [](PlaneSet& s, int stripes) {
         float* planes[] = {s.r.data()};
         ocvfilter2D_32F(planes, s.width, s.height, stripes);
         return numbers(s.r);
     }, true, true},
    {"ocvFindMinMax", [](PlaneSet& s, int) {
         double found[2] = {-1, -1};
         ocvFindMinMax(reinterpret_cast<unsigned char*>(s.words.data()), &found[0], &found[1], s.width, s.height, 16);
         return numbers(found, found + 2);
     }, false, false},
    {"ocvFindMinMax_32F", [](PlaneSet& s, int) {
         double found[2] = {-1, -1};
         ocvFindMinMax_32F(s.g.data(), &found[0], &found[1], s.width, s.height);
         return numbers(found, found + 2);
     }, false, false},
    {"ocvClampMinMax_32F", [](PlaneSet& s, int) {
         ocvClampMinMax_32F(s.b.data(), 0.25, 0.75, s.width, s.height);
         return numbers(s.b);
     }, false, true},
    {"ocvCountCheck_32F", [](PlaneSet& s, int) {
         int c[4] = {-1, -1, -1, -1};
         ocvCountCheck_32F(s.r.data(), s.g.data(), s.b.data(), &c[0], &c[1], &c[2], &c[3], s.width, s.height, 0.9f, 0.1f);
         return numbers(c, c + 4);
     }, false, false},
    {"ocvCountCheckRGB_32F", [](PlaneSet& s, int) {
         int c[7] = {-1, -1, -1, -1, -1, -1, -1};
         int* p[7] = {&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6]};
         ocvCountCheckRGB_32F(s.r.data(), s.g.data(), s.b.data(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6],
                              s.width, s.height, 0.8f, 0.2f);
         return numbers(c, c + 7);
     }, false, false},
    {"ocvFindLumaViolations", [](PlaneSet& s, int) {
         unsigned v = 0;
         int low = -1, high = -1;
         ocvFindLumaViolations(reinterpret_cast<unsigned char*>(s.words.data()), s.width, s.height, 16, 4096.0f,
                               60000.0f, &v, &low, &high);
         return std::vector<double>{double(v), double(low), double(high)};
     }, false, false},
};

}  // namespace reliability

#endif
