// A literal re-computation of the analyzer's statistics: every active pixel clamped, converted and sorted
// one by one, with no histogram, no band and no shortcut of the kernel. Also the frame the analysis
// tests share.
#ifndef HDRMETER_TESTS_ANALYSIS_ORACLE_H
#define HDRMETER_TESTS_ANALYSIS_ORACLE_H

#include <hdrmeter/analysis.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "measurement_oracle.h"

namespace analysis_oracle {

using namespace hdrmeter;

// A frame in three separately padded planes, as a decoder hands it over.
struct TestFrame {
    int width, height, depth;
    ChromaLayout layout;
    SampleRange range;
    int sx, sy, padding[3];
    std::vector<uint16_t> planes[3];
    ColourModel model = ColourModel::YCbCr;  // R'G'B' frames are made 4:4:4, R' G' B' in planes 0, 1, 2
    int step = 1;                            // above 1: view() gives packed pixels, from pack()
    std::vector<uint16_t> packed;

    TestFrame(int w, int h, int bitDepth, ChromaLayout chroma, SampleRange samples, int pad0 = 0, int pad1 = 0,
              int pad2 = 0)
        : width(w), height(h), depth(bitDepth), layout(chroma), range(samples), padding{pad0, pad1, pad2} {
        sx = layout == ChromaLayout::Yuv444 ? 0 : 1, sy = layout == ChromaLayout::Yuv420 ? 1 : 0;
        for (int p = 0; p < 3; ++p) planes[p].assign(static_cast<size_t>(rowWords(p)) * rows(p), 0xDEAD);
    }
    int columns(int p) const { return p == 0 ? width : (width + sx) >> sx; }
    int rows(int p) const { return p == 0 ? height : (height + sy) >> sy; }
    int rowWords(int p) const { return columns(p) + padding[p]; }
    uint16_t sample(int p, int x, int y) const { return planes[p][static_cast<size_t>(y) * rowWords(p) + x]; }
    // Every sample of plane p (padding excluded) from f(x, y).
    void fill(int p, const std::function<int(int, int)>& f) {
        for (int y = 0; y < rows(p); ++y)
            for (int x = 0; x < columns(p); ++x) planes[p][static_cast<size_t>(y) * rowWords(p) + x] = (uint16_t)f(x, y);
    }
    // Mostly in range, some outside it, some runs of one code: what clamping and histograms meet.
    void fillRandom(std::mt19937& rng) {
        const unsigned codes = 1u << depth;
        for (int p = 0; p < 3; ++p) {
            fill(p, [&](int, int) {
                const unsigned pick = rng() % 16;
                return (int)(pick == 0 ? rng() % 65536 : pick < 3 ? codes / 2 : rng() % codes);
            });
        }
    }
    // The planes as packed pixels of `words` words (3 or 4, the fourth never read), rows padded by `pad` words.
    void pack(int words, int pad) {
        step = words;
        packed.assign(static_cast<size_t>(width * words + pad) * height, 0xBEEF);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int p = 0; p < 3; ++p) packed[static_cast<size_t>(y) * (width * words + pad) + x * words + p] = sample(p, x, y);
    }
    FrameView view() const {
        FrameView v;
        for (int p = 0; p < 3; ++p) v.planes[p] = planes[p].data(), v.strides[p] = (std::ptrdiff_t)rowWords(p) * 2;
        if (step > 1) {
            const std::ptrdiff_t rowBytes = 2 * static_cast<std::ptrdiff_t>(packed.size() / height);
            for (int p = 0; p < 3; ++p) v.planes[p] = packed.data() + p, v.strides[p] = rowBytes, v.steps[p] = step;
        }
        v.width = width, v.height = height, v.layout = layout, v.bitDepth = depth, v.range = range, v.model = model;
        return v;
    }
};

// A random area of the frame that leaves at least one pixel.
template <class Random>
inline ActiveArea randomArea(Random& rng, const TestFrame& frame) {
    ActiveArea area;
    area.left = rng() % frame.width, area.right = rng() % (frame.width - area.left);
    area.top = rng() % frame.height, area.bottom = rng() % (frame.height - area.top);
    return area;
}

inline double pqSignal(double nits) {
    double p = std::pow(std::min(std::max(nits / 10000.0, 0.0), 1.0), 0.1593017578125);
    return std::pow((0.8359375 + 18.8515625 * p) / (1 + 18.6875 * p), 78.84375);
}

struct Expected {
    std::uint64_t pixels = 0;
    double average = 0, largest = 0, above = 0, top1 = 0, top2 = 0, bottom = 0, smallest = 0, channel[3] = {0, 0, 0};
    double pqMin = 0, pqMean = 0, pqMax = 0;
    std::vector<double> lightsAscending;  // nits
};

// Nearest rank, ceil(P / 100 x N), at least 1, with P in millionths of a percent.
inline std::uint64_t nearestRank(double percent, std::uint64_t n) {
    const unsigned __int128 q = static_cast<unsigned __int128>(std::llround(percent * 1e6));
    return std::max<std::uint64_t>(1, std::min(static_cast<std::uint64_t>((q * n + 99999999) / 100000000), n));
}

inline Expected expect(const TestFrame& f, const AnalysisSettings& s, const ActiveArea& area) {
    const bool full = f.range == SampleRange::Full;
    const int u = 1 << (f.depth - 10), last = (1 << f.depth) - 1;
    const int black = full ? 0 : 64 * u, range = full ? last : 876 * u, lumaMax = full ? last : 940 * u;
    const int chromaMax = full ? last : 960 * u, neutral = 1 << (f.depth - 1);
    const bool hlgCurve = s.transfer == Transfer::Hlg;
    const float peak = hlgCurve ? 1000.0f : 10000.0f;
    std::vector<double> table(static_cast<size_t>(last) + 1);
    for (size_t c = 0; c < table.size(); ++c) {
        const float x = ((float)c - (float)black) / (float)range;
        table[c] = (float)(hlgCurve ? hdrmeter_oracle::MeasurementOracle::hlg(x) : hdrmeter_oracle::MeasurementOracle::pq(x));
    }
    const bool b2020 = s.matrix == Matrix::Bt2020;
    float kR, kGb, kGr, kB, rounding = 0.0f;
    // Exact light is kept in 65536 light codes at every depth, the class's in whole codes.
    const bool listed = s.arithmetic.coefficients == Coefficients::Listed;
    const int lightScale = listed ? 1 : 1 << (16 - f.depth);
    std::vector<double> lightTable(table.size() * lightScale);
    for (size_t c = 0; c < lightTable.size(); ++c) {
        const float x = ((float)c - (float)(black * lightScale)) / (float)(range * lightScale);
        lightTable[c] = (float)(hlgCurve ? hdrmeter_oracle::MeasurementOracle::hlg(x) : hdrmeter_oracle::MeasurementOracle::pq(x));
    }
    if (listed) {
        kR = b2020 ? 1.4746f : 1.5396f, kGb = b2020 ? -0.1646f : -0.1831f;
        kGr = b2020 ? -0.5714f : -0.4577f, kB = b2020 ? 1.8814f : 1.8142f;
    } else {
        const double kr = b2020 ? 0.2627 : 0.2126, kb = b2020 ? 0.0593 : 0.0722, kg = 1 - kr - kb;
        const double scale = full ? 1.0 : 876.0 / 896.0;
        kR = (float)(2 * (1 - kr) * scale), kB = (float)(2 * (1 - kb) * scale);
        kGb = (float)(-2 * kb * (1 - kb) / kg * scale), kGr = (float)(-2 * kr * (1 - kr) / kg * scale);
        rounding = 0.5f;
    }
    const auto clamp = [](int v, int lo, int hi) { return std::max(lo, std::min(v, hi)); };
    std::vector<int> lightCodes, lumaCodes;
    int channelMax[3] = {0, 0, 0};
    // R'G'B': each clamped code is its channel's signal; luma the matrix's weighted sum, rounded halves up.
    const int weights[3] = {b2020 ? 2627 : 2126, b2020 ? 6780 : 7152, b2020 ? 593 : 722};
    for (int y = area.top; y < f.height - area.bottom; ++y) {
        for (int x = area.left; x < f.width - area.right && f.model == ColourModel::Rgb; ++x) {
            int light = 0, weighted = 5000;
            for (int c = 0; c < 3; ++c) {
                const int code = clamp(f.sample(c, x, y), black, lumaMax);
                channelMax[c] = std::max(channelMax[c], code * lightScale);
                light = std::max(light, code * lightScale);
                weighted += weights[c] * code;
            }
            lightCodes.push_back(light);
            lumaCodes.push_back(weighted / 10000);
        }
        for (int x = area.left; x < f.width - area.right && f.model == ColourModel::YCbCr; ++x) {
            const int Y = clamp(f.sample(0, x, y), black, lumaMax);
            const float cbd = (float)(clamp(f.sample(1, x >> f.sx, y >> f.sy), black, chromaMax) - neutral);
            const float crd = (float)(clamp(f.sample(2, x >> f.sx, y >> f.sy), black, chromaMax) - neutral);
            const float offsets[3] = {crd * kR, cbd * kGb + crd * kGr, cbd * kB};
            int light = 0;
            for (int c = 0; c < 3; ++c) {
                const int code = clamp((int)(((float)Y + offsets[c]) * (float)lightScale + rounding), black * lightScale,
                                       lumaMax * lightScale);
                channelMax[c] = std::max(channelMax[c], code);
                light = std::max(light, code);
            }
            lightCodes.push_back(light);
            lumaCodes.push_back(Y);
        }
    }
    Expected e;
    const std::uint64_t n = e.pixels = lightCodes.size();
    std::vector<std::uint64_t> counts(lightTable.size());
    for (int c : lightCodes) ++counts[c];
    double sum = 0.0, pqSum = 0.0;
    if (s.arithmetic.summation == Summation::Bands) {
        const long long bands = s.taskCount == 0 ? 1 : s.taskCount, length = (long long)n / bands;
        for (long long b = 0; b < bands; ++b) {
            double band = 0.0;
            for (long long i = b * length; i < (b == bands - 1 ? (long long)n : (b + 1) * length); ++i) band += lightTable[lightCodes[i]];
            sum += band;
        }
    } else {
        for (size_t c = 0; c < counts.size(); ++c) sum += counts[c] ? (double)counts[c] * lightTable[c] : 0.0;
    }
    for (size_t c = 0; c < counts.size(); ++c) pqSum += counts[c] ? (double)counts[c] * pqSignal(peak * lightTable[c]) : 0.0;
    e.average = (double)peak * sum / (double)n;
    for (int c : lightCodes) e.lightsAscending.push_back(peak * lightTable[c]);
    std::sort(e.lightsAscending.begin(), e.lightsAscending.end());
    e.largest = e.lightsAscending.back(), e.smallest = e.lightsAscending.front();
    for (int c = 0; c < 3; ++c) e.channel[c] = peak * lightTable[channelMax[c]];
    const double threshold = (float)s.thresholdNits / peak;
    std::vector<double> luminances;
    for (int c : lumaCodes) luminances.push_back(table[c]), e.above += table[c] > threshold ? 1 : 0;
    e.above = e.above * 100.0 / (double)n;
    std::sort(luminances.begin(), luminances.end(), std::greater<double>());
    const auto top = [&](double percent, bool bottom) {
        if (s.arithmetic.ranks == Ranks::Truncated) {
            const double p = bottom ? 100.0 - (double)(float)percent : (double)(float)percent;
            return (double)(float)(peak * luminances[std::max((long long)(p / 100.0 * (double)n) - 1, 0LL)]);
        }
        return peak * luminances[nearestRank(bottom ? 100.0 - percent : percent, n) - 1];
    };
    e.top1 = top(s.top1Percent, false), e.top2 = top(s.top2Percent, false), e.bottom = top(s.bottomPercent, true);
    e.pqMean = pqSum / (double)n, e.pqMin = pqSignal(e.smallest), e.pqMax = pqSignal(e.largest);
    return e;
}

}  // namespace analysis_oracle

#endif
