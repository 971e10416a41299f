// A literal re-computation of the analyzer's statistics: every active pixel clamped, converted and sorted
// one by one, with no histogram, no band and no shortcut of the kernel. Also the frame builder the
// analysis tests share.
#ifndef HDRMETER_TESTS_ANALYSIS_ORACLE_H
#define HDRMETER_TESTS_ANALYSIS_ORACLE_H

#include <hdrmeter/analysis.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace analysis_oracle {

using namespace hdrmeter;

// A frame in three separately padded planes, as a decoder hands it over.
struct TestFrame {
    int width, height, depth;
    ChromaLayout layout;
    SampleRange range;
    int chromaWidth, chromaHeight;
    int padding[3];
    std::vector<uint16_t> planes[3];

    TestFrame(int w, int h, int bitDepth, ChromaLayout chroma, SampleRange samples, int pad0 = 0, int pad1 = 0,
              int pad2 = 0)
        : width(w), height(h), depth(bitDepth), layout(chroma), range(samples), padding{pad0, pad1, pad2} {
        chromaWidth = layout == ChromaLayout::Yuv444 ? w : (w + 1) / 2;
        chromaHeight = layout == ChromaLayout::Yuv420 ? (h + 1) / 2 : h;
        for (int p = 0; p < 3; ++p) planes[p].assign(static_cast<size_t>(rowWords(p)) * rows(p), 0xDEAD);
    }
    int rowWords(int p) const { return (p == 0 ? width : chromaWidth) + padding[p]; }
    int columns(int p) const { return p == 0 ? width : chromaWidth; }
    int rows(int p) const { return p == 0 ? height : chromaHeight; }
    uint16_t& at(int p, int x, int y) { return planes[p][static_cast<size_t>(y) * rowWords(p) + x]; }
    uint16_t sample(int p, int x, int y) const { return planes[p][static_cast<size_t>(y) * rowWords(p) + x]; }
    // Every sample of plane p (padding excluded) from f(x, y).
    void fill(int p, const std::function<int(int, int)>& f) {
        for (int y = 0; y < rows(p); ++y)
            for (int x = 0; x < columns(p); ++x) at(p, x, y) = static_cast<uint16_t>(f(x, y));
    }
    void fillRandom(std::mt19937& rng) {
        const int codes = 1 << depth;
        for (int p = 0; p < 3; ++p) {
            // Mostly in range, some outside it, some runs of one code: what clamping and histograms meet.
            fill(p, [&](int, int) {
                const unsigned pick = rng() % 16;
                return pick == 0 ? static_cast<int>(rng() % 65536) : pick < 3 ? codes / 2 : static_cast<int>(rng() % codes);
            });
        }
    }
    FrameView view() const {
        FrameView v;
        for (int p = 0; p < 3; ++p) {
            v.planes[p] = planes[p].data();
            v.strides[p] = static_cast<std::ptrdiff_t>(rowWords(p)) * 2;
        }
        v.width = width;
        v.height = height;
        v.layout = layout;
        v.bitDepth = depth;
        v.range = range;
        return v;
    }
};

struct Levels {
    int black, range, lumaMin, lumaMax, chromaMin, chromaMax, neutral;
};

inline Levels levelsOf(int depth, SampleRange range) {
    if (range == SampleRange::Full) {
        const int last = (1 << depth) - 1;
        return {0, last, 0, last, 0, last, 1 << (depth - 1)};
    }
    const int u = depth == 10 ? 1 : depth == 12 ? 4 : 64;
    return {64 * u, 876 * u, 64 * u, 940 * u, 64 * u, 960 * u, 512 * u};
}

inline double pq(double s) {
    double x = s < 0.0 ? 0.0 : s;
    double e = std::pow(x, 0.012683313515655966);
    double n = e - 0.8359375;
    if (n <= 0.0) n = 0.0;
    return std::pow(n / (18.8515625 - 18.6875 * e), 6.277394636507897);
}

inline double hlg(double s) {
    double x = s < 0.0 ? 0.0 : s;
    double e = x <= 0.5 ? 4 * x * x : std::exp((x - 0.55991073) / 0.17883277) + 0.28466892;
    double ys = 0.2627 * e + 0.678 * e + 0.0593 * e;
    return std::pow(ys, 0.19999999999999996) * (1000 / std::pow(12, 1.2)) * e / 1000;
}

inline double pqSignal(double nits) {
    double y = std::min(std::max(nits / 10000.0, 0.0), 1.0);
    double p = std::pow(y, 0.1593017578125);
    return std::pow((0.8359375 + 18.8515625 * p) / (1 + 18.6875 * p), 78.84375);
}

struct Expected {
    std::uint64_t pixels = 0;
    double average = 0, largest = 0, above = 0, top1 = 0, top2 = 0, bottom = 0;
    double smallest = 0, channel[3] = {0, 0, 0};
    double pqMin = 0, pqMean = 0, pqMax = 0;
    std::vector<double> lightsAscending;  // nits
};

// Nearest rank, ceil(P / 100 x N), at least 1, with P in millionths of a percent.
inline std::uint64_t nearestRank(double percent, std::uint64_t n) {
    const unsigned __int128 q = static_cast<unsigned __int128>(std::llround(percent * 1e6));
    std::uint64_t rank = static_cast<std::uint64_t>((q * n + 99999999) / 100000000);
    return std::max<std::uint64_t>(1, std::min(rank, n));
}

inline Expected expect(const TestFrame& f, const AnalysisSettings& s, const ActiveArea& area) {
    const Levels l = levelsOf(f.depth, f.range);
    const bool hlgCurve = s.transfer == Transfer::Hlg;
    const float peak = hlgCurve ? 1000.0f : 10000.0f;
    std::vector<double> table(static_cast<size_t>(1) << f.depth);
    for (size_t c = 0; c < table.size(); ++c) {
        float x = ((float)c - (float)l.black) / (float)l.range;
        table[c] = (float)(hlgCurve ? hlg(x) : pq(x));
    }
    float kR, kGb, kGr, kB, rounding;
    if (s.arithmetic.coefficients == Coefficients::Class) {
        const bool b2020 = s.matrix == Matrix::Bt2020;
        kR = b2020 ? 1.4746f : 1.5396f, kGb = b2020 ? -0.1646f : -0.1831f;
        kGr = b2020 ? -0.5714f : -0.4577f, kB = b2020 ? 1.8814f : 1.8142f, rounding = 0.0f;
    } else {
        const double kr = s.matrix == Matrix::Bt2020 ? 0.2627 : 0.2126, kb = s.matrix == Matrix::Bt2020 ? 0.0593 : 0.0722;
        const double kg = 1 - kr - kb, scale = f.range == SampleRange::Narrow ? 876.0 / 896.0 : 1.0;
        kR = (float)(2 * (1 - kr) * scale), kB = (float)(2 * (1 - kb) * scale);
        kGb = (float)(-2 * kb * (1 - kb) / kg * scale), kGr = (float)(-2 * kr * (1 - kr) / kg * scale);
        rounding = 0.5f;
    }
    const int sx = f.layout == ChromaLayout::Yuv444 ? 0 : 1, sy = f.layout == ChromaLayout::Yuv420 ? 1 : 0;
    const auto clamp = [](int v, int lo, int hi) { return std::max(lo, std::min(v, hi)); };
    std::vector<int> lightCodes, lumaCodes;
    int channelMax[3] = {0, 0, 0};
    for (int y = area.top; y < f.height - area.bottom; ++y) {
        for (int x = area.left; x < f.width - area.right; ++x) {
            const int Y = clamp(f.sample(0, x, y), l.lumaMin, l.lumaMax);
            const int cb = clamp(f.sample(1, x >> sx, y >> sy), l.chromaMin, l.chromaMax);
            const int cr = clamp(f.sample(2, x >> sx, y >> sy), l.chromaMin, l.chromaMax);
            const float cbd = (float)(cb - l.neutral), crd = (float)(cr - l.neutral);
            const float offsets[3] = {crd * kR, cbd * kGb + crd * kGr, cbd * kB};
            int light = 0;
            for (int c = 0; c < 3; ++c) {
                const int code = clamp((int)(((float)Y + offsets[c]) + rounding), l.lumaMin, l.lumaMax);
                channelMax[c] = std::max(channelMax[c], code);
                light = std::max(light, code);
            }
            lightCodes.push_back(light);
            lumaCodes.push_back(Y);
        }
    }
    Expected e;
    const std::uint64_t n = lightCodes.size();
    e.pixels = n;
    double sum = 0.0;
    if (s.arithmetic.summation == Summation::Bands) {
        const long long bands = s.taskCount == 0 ? 1 : s.taskCount, length = (long long)n / bands;
        for (long long b = 0; b < bands; ++b) {
            double band = 0.0;
            for (long long i = b * length; i < (b == bands - 1 ? (long long)n : (b + 1) * length); ++i) band += table[lightCodes[i]];
            sum += band;
        }
    } else {
        std::vector<std::uint64_t> counts(table.size());
        for (int c : lightCodes) ++counts[c];
        for (size_t c = 0; c < counts.size(); ++c) sum += counts[c] ? (double)counts[c] * table[c] : 0.0;
    }
    e.average = (double)peak * sum / (double)n;
    for (int c : lightCodes) e.lightsAscending.push_back(peak * table[c]);
    std::sort(e.lightsAscending.begin(), e.lightsAscending.end());
    e.largest = e.lightsAscending.back();
    e.smallest = e.lightsAscending.front();
    for (int c = 0; c < 3; ++c) e.channel[c] = peak * table[channelMax[c]];
    const double threshold = (float)s.thresholdNits / peak;
    std::vector<double> luminances;
    double above = 0;
    for (int c : lumaCodes) {
        luminances.push_back(table[c]);
        above += table[c] > threshold ? 1 : 0;
    }
    e.above = above * 100.0 / (double)n;
    std::sort(luminances.begin(), luminances.end(), std::greater<double>());
    const auto top = [&](double percent, bool bottom) {
        if (s.arithmetic.ranks == Ranks::Class) {
            const double p = bottom ? 100.0 - (double)(float)percent : (double)(float)percent;
            const long long k = std::max((long long)(p / 100.0 * (double)n) - 1, 0LL);
            return (double)(float)(peak * luminances[k]);
        }
        return peak * luminances[nearestRank(bottom ? 100.0 - percent : percent, n) - 1];
    };
    e.top1 = top(s.top1Percent, false), e.top2 = top(s.top2Percent, false), e.bottom = top(s.bottomPercent, true);
    std::vector<std::uint64_t> counts(table.size());
    for (int c : lightCodes) ++counts[c];
    double pqSum = 0.0;
    for (size_t c = 0; c < counts.size(); ++c) pqSum += counts[c] ? (double)counts[c] * pqSignal(peak * table[c]) : 0.0;
    e.pqMean = pqSum / (double)n;
    e.pqMin = pqSignal(e.smallest);
    e.pqMax = pqSignal(e.largest);
    return e;
}

}  // namespace analysis_oracle

#endif
