// A literal, single-threaded re-computation of what a configured measurement object returns for a
// frame, and what it leaves in the host's buffers. Kept deliberately naive (no tables for the chroma
// terms, no bands running at once) so that a mistake in the engine cannot hide in a shared shortcut.
//
// The engine's own tests, the soak, the concurrency tests and the engine fuzzer all hold the library to it.
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
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return isSubsampled(format) ? 2 * pixels : 3 * pixels;
}

struct MeasurementOracle {
    int black, range, last, neutral, lumaMin, lumaMax, chromaMin, chromaMax;
    float peak;
    float kR, kGb, kGr, kB;
    std::vector<float> eotf;
    double threshold;
    bool light, percentiles;
    float top1, top2, bottom;
    std::vector<double> luminances;  // after frame(): the N luminances in descending order

    static double pq(double s) {
        double x = s < 0.0 ? 0.0 : s;
        double e = std::pow(x, 0.012683313515655966);
        double n = e - 0.8359375;
        if (n <= 0.0) n = 0.0;
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
        black = 64 * scale;
        range = 876 * scale;
        last = (1 << info.bitDepth) - 1;
        neutral = 512 * scale;
        lumaMin = chromaMin = 64 * scale;
        lumaMax = 940 * scale;
        chromaMax = 960 * scale;
        const bool isHlg = info.transferFunction == L"HLG";
        peak = isHlg ? 1000.0f : 10000.0f;
        eotf.assign(static_cast<std::size_t>(last) + 1, 0.0f);
        for (int c = 0; c <= last; ++c) {
            float x = ((float)c - (float)black) / (float)range;
            eotf[c] = (float)(isHlg ? hlg((double)x) : pq((double)x));
        }
        if (info.colorSpace == L"BT.2020") {
            kR = 1.4746f, kGb = -0.1646f, kGr = -0.5714f, kB = 1.8814f;
        } else {
            kR = 1.5396f, kGb = -0.1831f, kGr = -0.4577f, kB = 1.8142f;
        }
        threshold = info.thresholdUnit == L"NITS" ? (double)((float)info.thresholdLevel / peak)
                                                   : (double)eotf[info.thresholdLevel];
        light = info.measureLightLevel;
        percentiles = info.measurePercentiles;
        top1 = info.topPercent1;
        top2 = info.topPercent2;
        bottom = info.bottomPercent;
    }

    // The three level fields that InitializeMeasurements writes back, given their values before the call.
    void expectedLevelNits(const HDR_Info& info, double& top1Nits, double& top2Nits, double& bottomNits) const {
        if (!percentiles) return;
        const bool nits = info.levelUnit == L"NITS";
        auto convert = [&](int level, double& out) {
            if (nits) out = (double)level;
            else if (level != -1) out = (double)eotf[level] * peak;
        };
        convert(info.topLevel1, top1Nits);
        convert(info.topLevel2, top2Nits);
        convert(info.bottomLevel, bottomNits);
    }

    static int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

    std::tuple<double, double, double> band(InputPixelFormat format, int n, uint16_t* luma, uint16_t* frame,
                                            long long start, long long end) {
        double sum = 0, largest = 0, count = 0;
        const bool sub = isSubsampled(format);
        uint16_t* cbPlane = frame + n;
        uint16_t* crPlane = cbPlane + (sub ? n / 2 : n);
        for (long long p = start; p < end; ++p) {
            const long long c = sub ? p / 2 : p;
            int y = clamp(luma[p], lumaMin, lumaMax);
            luma[p] = (uint16_t)y;
            int cb = clamp(cbPlane[c], chromaMin, chromaMax);
            cbPlane[c] = (uint16_t)cb;
            int cr = clamp(crPlane[c], chromaMin, chromaMax);
            crPlane[c] = (uint16_t)cr;
            if (light) {
                float fy = (float)y;
                float r = fy + (float)(cr - neutral) * kR;
                float g = fy + ((float)(cb - neutral) * kGb + (float)(cr - neutral) * kGr);
                float b = fy + (float)(cb - neutral) * kB;
                int ri = clamp((int)r, lumaMin, lumaMax), gi = clamp((int)g, lumaMin, lumaMax),
                    bi = clamp((int)b, lumaMin, lumaMax);
                double l = (double)std::max(std::max(eotf[ri], eotf[gi]), eotf[bi]);
                sum += l;
                if (l > largest) largest = l;
            }
            double lum = (double)eotf[y];
            if (lum > threshold) count += 1.0;
            if (percentiles) luminances[p] = lum;
        }
        return {sum, largest, count};
    }

    // Measures like HDR_Measurements with the same band cut, clamping the oracle's own copy of the frame.
    Results frame(InputPixelFormat format, int width, int height, uint16_t* luma, uint16_t* frame, int taskCount) {
        const int t = taskCount == 0 ? 1 : taskCount;
        const int n = width * height;
        if (t < 0 || n <= 0) return {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        luminances.assign(n, -1.0);
        const long long s = n / t;
        double count = 0, sum = 0, largest = 0;
        for (int i = 0; i < t; ++i) {
            auto [bs, bl, bc] = band(format, n, luma, frame, i * s, i == t - 1 ? n : (i + 1) * s);
            count += bc;
            sum += bs;
            if (!(largest > bl)) largest = bl;
        }
        double r0 = (double)peak * sum / n, r1 = largest * (double)peak, r2 = count * 100 / n;
        if (!percentiles) return {r0, r1, r2, 0.0, 0.0, 0.0};
        std::sort(luminances.begin(), luminances.end(), std::greater<double>());
        auto k = [&](double p) { return std::max((int)(p / 100 * n) - 1, 0); };
        float r3 = (float)((double)peak * luminances[k((double)top1)]);
        float r4 = (float)((double)peak * luminances[k((double)top2)]);
        float r5 = (float)((double)peak * luminances[k(100 - (double)bottom)]);
        return {r0, r1, r2, r3, r4, r5};
    }
};

}  // namespace hdrmeter_oracle

#endif
