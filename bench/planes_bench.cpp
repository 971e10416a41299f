// Plane functions on 4K planes; the striped filter beside one cv::sepFilter2D call over the whole plane.
#include "bench_frames.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <random>

namespace {

using bench::kHeight;
using bench::kPixels;
using bench::kWidth;

std::vector<uint16_t> codePlane() {
    std::vector<uint16_t> plane(kPixels);
    std::mt19937 rng(3);
    for (uint16_t& code : plane) code = static_cast<uint16_t>(rng() % 1024);
    return plane;
}

std::vector<float> floatPlane(unsigned seed) {
    std::vector<float> plane(kPixels);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-0.1f, 1.1f);
    for (float& sample : plane) sample = value(rng);
    return plane;
}

// Args: stripe count.
void BM_Filter16(benchmark::State& state) {
    std::vector<uint16_t> plane = codePlane();
    unsigned char* planes[] = {reinterpret_cast<unsigned char*>(plane.data())};
    for (auto _ : state) ocvfilter2D(planes, kWidth, kHeight, 10, static_cast<int>(state.range(0)));
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_Filter16)->Arg(1)->Arg(2)->ArgName("stripes")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Filter32F(benchmark::State& state) {
    std::vector<float> plane = floatPlane(1);
    float* planes[] = {plane.data()};
    for (auto _ : state) ocvfilter2D_32F(planes, kWidth, kHeight, static_cast<int>(state.range(0)));
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_Filter32F)->Arg(1)->Arg(2)->ArgName("stripes")->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: 16 for 16-bit samples, 32 for float.
void BM_SepFilter2DBaseline(benchmark::State& state) {
    const bool isFloat = state.range(0) == 32;
    std::vector<uint16_t> codes = codePlane();
    std::vector<float> floats = floatPlane(1);
    cv::Mat plane = isFloat ? cv::Mat(kHeight, kWidth, CV_32FC1, floats.data())
                            : cv::Mat(kHeight, kWidth, CV_16UC1, codes.data());
    const cv::Mat horizontal = (cv::Mat_<float>(1, 7) << 1, 2, 3, 4, 3, 2, 1) / 16.0;
    const cv::Mat vertical = (cv::Mat_<float>(3, 1) << 1, 2, 1) / 4.0;
    for (auto _ : state) {
        cv::sepFilter2D(plane, plane, plane.depth(), horizontal, vertical, cv::Point(-1, -1), 0.0,
                        cv::BORDER_CONSTANT);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_SepFilter2DBaseline)->Arg(16)->Arg(32)->ArgName("bits")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CountCheck(benchmark::State& state) {
    std::vector<float> r = floatPlane(1), g = floatPlane(2), b = floatPlane(3);
    int counts[4];
    for (auto _ : state) {
        ocvCountCheck_32F(r.data(), g.data(), b.data(), &counts[0], &counts[1], &counts[2], &counts[3], kWidth,
                          kHeight, 1.0f, 0.0f);
        benchmark::DoNotOptimize(counts);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_CountCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CountCheckRGB(benchmark::State& state) {
    std::vector<float> r = floatPlane(1), g = floatPlane(2), b = floatPlane(3);
    int counts[7];
    int* cells[7];
    for (int i = 0; i < 7; ++i) cells[i] = &counts[i];
    for (auto _ : state) {
        ocvCountCheckRGB_32F(r.data(), g.data(), b.data(), &cells[0], &cells[1], &cells[2], &cells[3], &cells[4],
                             &cells[5], &cells[6], kWidth, kHeight, 1.0f, 0.0f);
        benchmark::DoNotOptimize(counts);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_CountCheckRGB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LumaViolations(benchmark::State& state) {
    std::vector<uint16_t> plane = codePlane();
    unsigned int violations;
    int low, high;
    for (auto _ : state) {
        ocvFindLumaViolations(reinterpret_cast<unsigned char*>(plane.data()), kWidth, kHeight, 10, 64.0f, 940.0f,
                              &violations, &low, &high);
        benchmark::DoNotOptimize(violations);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_LumaViolations)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
