// A literal, single-threaded re-computation of what a configured measurement object returns for a frame
// and leaves in the host's buffers. Deliberately naive (no chroma tables, no bands running at once) so
// that a mistake in the engine cannot hide in a shared shortcut. The engine's tests, the soak, the
// concurrency tests and the engine fuzzer all hold the library to it.
#ifndef HDRMETER_TESTS_MEASUREMENT_ORACLE_H
#define HDRMETER_TESTS_MEASUREMENT_ORACLE_H

#include <hdrmeter.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

namespace hdrmeter_oracle {

using Results = std::tuple<double, double, double, double, double, double>;

inline bool isSubsampled(InputPixelFormat format) { return format == YCbCr422_A || format == YCbCr422_B; }

// Words a frame of this layout needs in framePlanes (luma, Cb, Cr).
inline std::size_t frameWords(InputPixelFormat format, int width, int height) {
    return (isSubsampled(format) ? 2 : 3) * static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

// A frame in the engine's planar layout (luma, then Cb, then Cr) with one call to measure it.
struct EngineFrame {
    InputPixelFormat format;
    int width, height;
    std::vector<uint16_t> samples;
    EngineFrame(InputPixelFormat f, int w, int h) : format(f), width(w), height(h), samples(frameWords(f, w, h)) {}
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(samples.data()); }
    Results measure(CHDR_Measurements& meter, int taskCount) {
        return meter.HDR_Measurements(format, width, height, bytes(), bytes(), taskCount);
    }
};

// A threshold of 1000 nits and otherwise the defaults.
inline HDR_Info makeInfo(int bitDepth, const wchar_t* transfer, const wchar_t* colorSpace, bool light, bool percentiles) {
    HDR_Info info;
    info.bitDepth = bitDepth, info.transferFunction = transfer, info.colorSpace = colorSpace;
    info.thresholdLevel = 1000, info.thresholdUnit = L"NITS";
    info.measureLightLevel = light, info.measurePercentiles = percentiles;
    return info;
}

struct MeasurementOracle {
    int black, range, last, neutral, lumaMin, lumaMax, chromaMin, chromaMax;
    float peak, kR, kGb, kGr, kB, top1, top2, bottom;
    std::vector<float> eotf;
    double threshold;
    bool light, percentiles;
    std::vector<double> luminances;  // after frame(): the N luminances in descending order

    static double pq(double s) {
        double e = std::pow(s < 0.0 ? 0.0 : s, 0.012683313515655966), n = std::max(e - 0.8359375, 0.0);
        return std::pow(n / (18.8515625 - 18.6875 * e), 6.277394636507897);
    }
    static double hlg(double s) {
        double x = s < 0.0 ? 0.0 : s;
        double e = x <= 0.5 ? 4 * x * x : std::exp((x - 0.55991073) / 0.17883277) + 0.28466892;
        double ys = 0.2627 * e + 0.678 * e + 0.0593 * e;
        return std::pow(ys, 0.19999999999999996) * (1000 / std::pow(12, 1.2)) * e / 1000;
    }

    explicit MeasurementOracle(const HDR_Info& info) {
        const int scale = info.bitDepth == 12 ? 4 : info.bitDepth == 16 ? 64 : 1;
        black = lumaMin = chromaMin = 64 * scale;
        range = 876 * scale, neutral = 512 * scale, lumaMax = 940 * scale, chromaMax = 960 * scale;
        last = (1 << info.bitDepth) - 1;
        const bool isHlg = info.transferFunction == L"HLG";
        peak = isHlg ? 1000.0f : 10000.0f;
        for (int c = 0; c <= last; ++c) {
            const float x = ((float)c - (float)black) / (float)range;
            eotf.push_back((float)(isHlg ? hlg((double)x) : pq((double)x)));
        }
        const bool bt2020 = info.colorSpace == L"BT.2020";
        kR = bt2020 ? 1.4746f : 1.5396f, kGb = bt2020 ? -0.1646f : -0.1831f;
        kGr = bt2020 ? -0.5714f : -0.4577f, kB = bt2020 ? 1.8814f : 1.8142f;
        threshold = info.thresholdUnit == L"NITS" ? (double)((float)info.thresholdLevel / peak)
                                                   : (double)eotf[info.thresholdLevel];
        light = info.measureLightLevel, percentiles = info.measurePercentiles;
        top1 = info.topPercent1, top2 = info.topPercent2, bottom = info.bottomPercent;
    }

    // The three level fields that InitializeMeasurements writes back, given their values before the call.
    void expectedLevelNits(const HDR_Info& info, double& top1Nits, double& top2Nits, double& bottomNits) const {
        if (!percentiles) return;
        auto convert = [&](int level, double& out) {
            if (info.levelUnit == L"NITS") out = (double)level;
            else if (level != -1) out = (double)eotf[level] * peak;
        };
        convert(info.topLevel1, top1Nits);
        convert(info.topLevel2, top2Nits);
        convert(info.bottomLevel, bottomNits);
    }

    static int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

    // Pixels start..end of one band: sum of light, largest light, count above the threshold.
    std::tuple<double, double, double> band(bool sub, int n, uint16_t* luma, uint16_t* frame, long long start,
                                            long long end) {
        double sum = 0, largest = 0, count = 0;
        uint16_t* cbPlane = frame + n;
        uint16_t* crPlane = cbPlane + (sub ? n / 2 : n);
        for (long long p = start; p < end; ++p) {
            const long long c = sub ? p / 2 : p;
            const int y = luma[p] = (uint16_t)clamp(luma[p], lumaMin, lumaMax);
            const int cb = cbPlane[c] = (uint16_t)clamp(cbPlane[c], chromaMin, chromaMax);
            const int cr = crPlane[c] = (uint16_t)clamp(crPlane[c], chromaMin, chromaMax);
            if (light) {
                const float fy = (float)y;
                const float r = fy + (float)(cr - neutral) * kR, b = fy + (float)(cb - neutral) * kB;
                const float g = fy + ((float)(cb - neutral) * kGb + (float)(cr - neutral) * kGr);
                const double l = (double)std::max({eotf[clamp((int)r, lumaMin, lumaMax)],
                                                   eotf[clamp((int)g, lumaMin, lumaMax)],
                                                   eotf[clamp((int)b, lumaMin, lumaMax)]});
                sum += l;
                largest = std::max(largest, l);
            }
            const double lum = (double)eotf[y];
            count += lum > threshold ? 1.0 : 0.0;
            if (percentiles) luminances[p] = lum;
        }
        return {sum, largest, count};
    }

    // Measures like HDR_Measurements with the same band cut, clamping the oracle's own copy of the frame.
    Results frame(InputPixelFormat format, int width, int height, uint16_t* luma, uint16_t* frame, int taskCount) {
        const int t = taskCount == 0 ? 1 : taskCount, n = width * height;
        if (t < 0 || n <= 0) return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        luminances.assign(n, -1.0);
        const long long s = n / t;
        double count = 0, sum = 0, largest = 0;
        for (int i = 0; i < t; ++i) {
            auto [bs, bl, bc] = band(isSubsampled(format), n, luma, frame, i * s, i == t - 1 ? n : (i + 1) * s);
            count += bc, sum += bs, largest = std::max(largest, bl);
        }
        const double r0 = (double)peak * sum / n, r1 = largest * (double)peak, r2 = count * 100 / n;
        if (!percentiles) return {r0, r1, r2, 0.0, 0.0, 0.0};
        std::sort(luminances.begin(), luminances.end(), std::greater<double>());
        auto nits = [&](double p) { return (float)((double)peak * luminances[std::max((int)(p / 100 * n) - 1, 0)]); };
        return {r0, r1, r2, nits(top1), nits(top2), nits(100 - (double)bottom)};
    }
};

}  // namespace hdrmeter_oracle

#endif
