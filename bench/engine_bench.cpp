// The measurement engine on 4K frames, beside the least any measurement must do: touch every sample
// once (the memory pass) and, with percentiles, write N doubles.
#include "bench_frames.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <future>
#include <memory>

namespace {

using bench::kPixels;

// Args: bit depth, 422 or 444, light on, percentiles on, task count.
void BM_Engine(benchmark::State& state) {
    const int bitDepth = static_cast<int>(state.range(0));
    const bool subsampled = state.range(1) == 422;
    HDR_Info info = bench::makeInfo(bitDepth, state.range(2) != 0, state.range(3) != 0);
    const int taskCount = static_cast<int>(state.range(4));
    CHDR_Measurements meter;
    if (!meter.InitializeMeasurements(info)) {
        state.SkipWithError("configuration failed");
        return;
    }
    bench::Frame frame = bench::makeFrame(bitDepth, subsampled);
    for (auto _ : state) {
        auto result = meter.HDR_Measurements(frame.format, bench::kWidth, bench::kHeight, frame.luma(),
                                             frame.planes(), taskCount);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
    state.SetBytesProcessed(state.iterations() * int64_t(frame.samples.size() * sizeof(uint16_t)));
}

void engineArguments(benchmark::internal::Benchmark* b) {
    std::vector<int64_t> tasks = {1, 2};
    if (bench::coreCount() > 2) tasks.push_back(bench::coreCount());
    for (int64_t depth : {10, 12}) {
        for (int64_t layout : {422, 444}) {
            for (int64_t light : {1, 0}) {
                for (int64_t percentiles : {0, 1}) {
                    for (int64_t t : tasks) b->Args({depth, layout, light, percentiles, t});
                }
            }
        }
    }
    b->ArgNames({"depth", "layout", "light", "pct", "tasks"});
}
BENCHMARK(BM_Engine)->Apply(engineArguments)->Unit(benchmark::kMillisecond)->UseRealTime();

// The engine on a frame that is not in the processor's caches, as a frame the tool maps from a file is
// and as a frame fresh from a decoder mostly is: the frame is flushed from every cache level before each
// measurement (outside the timed part). The tool end to end is compared with this figure.
// Args: percentiles on, task count; 10-bit 4:2:2 with light on, as the tool measures by default.
void BM_EngineFreshFrame(benchmark::State& state) {
    HDR_Info info = bench::makeInfo(10, true, state.range(0) != 0);
    const int taskCount = static_cast<int>(state.range(1));
    CHDR_Measurements meter;
    if (!meter.InitializeMeasurements(info)) {
        state.SkipWithError("configuration failed");
        return;
    }
    bench::Frame frame = bench::makeFrame(10, true);
    for (auto _ : state) {
        state.PauseTiming();
        if (!bench::flushFromCaches(frame.samples.data(), frame.samples.size() * sizeof(uint16_t))) {
            state.SkipWithError("this processor cannot flush cache lines");
            return;
        }
        state.ResumeTiming();
        auto result = meter.HDR_Measurements(frame.format, bench::kWidth, bench::kHeight, frame.luma(),
                                             frame.planes(), taskCount);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPixels));
}
BENCHMARK(BM_EngineFreshFrame)->ArgsProduct({{0, 1}, {bench::coreCount()}})->ArgNames({"pct", "tasks"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Reads and writes back every luma and chroma sample of a frame once, split like the engine's bands.
// Args: 422 or 444, thread count.
void BM_MemoryPass(benchmark::State& state) {
    bench::Frame frame = bench::makeFrame(10, state.range(0) == 422);
    const int threads = static_cast<int>(state.range(1));
    volatile uint16_t floorCode = 0;
    uint16_t* samples = frame.samples.data();
    const size_t total = frame.samples.size();
    const auto touch = [samples, floor = uint16_t(floorCode)](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) samples[i] = std::max(samples[i], floor);
    };
    for (auto _ : state) {
        std::vector<std::future<void>> parts;
        for (int t = 1; t < threads; ++t) {
            parts.push_back(std::async(std::launch::async, touch, total * t / threads, total * (t + 1) / threads));
        }
        touch(0, total / threads);
        for (auto& part : parts) part.get();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(total * sizeof(uint16_t)));
}
BENCHMARK(BM_MemoryPass)->ArgsProduct({{422, 444}, {1, 2}})->ArgNames({"layout", "threads"})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Writing the per-pixel luminance buffer once: the floor of any percentile method that leaves the
// frame's luminances in that buffer.
void BM_WriteDoubles(benchmark::State& state) {
    std::unique_ptr<double[]> buffer(new double[kPixels]);
    std::fill_n(buffer.get(), kPixels, 0.0);
    double value = 0.25;
    for (auto _ : state) {
        std::fill_n(buffer.get(), kPixels, value);
        value += 1.0;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(kPixels * sizeof(double)));
}
BENCHMARK(BM_WriteDoubles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace


// 16-bit frames measured in many short bands: memory and time must not grow with the band count beyond
// the tasks themselves. Peak resident memory is per process, so run each task count in a process of its
// own (scripts/bench.sh does) and compare the peak_rss_MiB counters. Args: task count.
void BM_Engine16BitManyTasks(benchmark::State& state) {
    constexpr int kFrameWidth = 1920;
    constexpr int kFrameHeight = 1080;
    HDR_Info info = bench::makeInfo(16, true, true);
    const int taskCount = static_cast<int>(state.range(0));
    CHDR_Measurements meter;
    if (!meter.InitializeMeasurements(info)) {
        state.SkipWithError("configuration failed");
        return;
    }
    const size_t pixels = size_t{kFrameWidth} * kFrameHeight;
    std::vector<uint16_t> frame(pixels * 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint16_t>(4096 + (i * 2654435761u) % 56064);
    auto* samples = reinterpret_cast<unsigned char*>(frame.data());
    for (auto _ : state) {
        auto result = meter.HDR_Measurements(YCbCr422_A, kFrameWidth, kFrameHeight, samples, samples, taskCount);
        benchmark::DoNotOptimize(result);
    }
    state.counters["peak_rss_MiB"] = bench::peakResidentMiB();
}
BENCHMARK(BM_Engine16BitManyTasks)->Arg(2)->Arg(256)->ArgName("tasks")->Unit(benchmark::kMillisecond)->UseRealTime();
