// The analyzer on 4K frames held as a decoder holds them (three planes, rows padded to 64 bytes), beside
// the least any measurement must do: read every sample once.
#include "bench_frames.h"

#include <hdrmeter/analysis.h>

#include <benchmark/benchmark.h>

#include <future>
#include <random>

namespace {

using bench::kHeight;
using bench::kWidth;

struct PaddedFrame {
    std::vector<uint16_t> planes[3];
    hdrmeter::FrameView view;
};

// The benchmark frames' gradients and noise, in padded planes of the given layout.
PaddedFrame makePaddedFrame(int bitDepth, hdrmeter::ChromaLayout layout) {
    PaddedFrame frame;
    const int scale = 1 << (bitDepth - 10);
    const int chromaWidth = layout == hdrmeter::ChromaLayout::Yuv444 ? kWidth : kWidth / 2;
    const int chromaHeight = layout == hdrmeter::ChromaLayout::Yuv420 ? kHeight / 2 : kHeight;
    std::mt19937 rng(7);
    for (int p = 0; p < 3; ++p) {
        const int width = p == 0 ? kWidth : chromaWidth, height = p == 0 ? kHeight : chromaHeight;
        const int rowWords = (width + 31) / 32 * 32 + 32;  // 64-byte rows and a little more, as AVFrames have
        frame.planes[p].assign(size_t(rowWords) * height, 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int code = p == 0 ? 64 + (x * 700) / width + (y * 170) / height + int(rng() % 9) - 4
                                 : p == 1 ? 400 + (x * 220) / width + int(rng() % 5)
                                          : 620 - (x * 200) / width + int(rng() % 5);
                frame.planes[p][size_t(y) * rowWords + x] = static_cast<uint16_t>(code * scale);
            }
        }
        frame.view.planes[p] = frame.planes[p].data();
        frame.view.strides[p] = std::ptrdiff_t(rowWords) * 2;
    }
    frame.view.width = kWidth;
    frame.view.height = kHeight;
    frame.view.layout = layout;
    frame.view.bitDepth = bitDepth;
    return frame;
}

hdrmeter::ChromaLayout layoutOf(int64_t code) {
    return code == 420 ? hdrmeter::ChromaLayout::Yuv420
                       : code == 422 ? hdrmeter::ChromaLayout::Yuv422 : hdrmeter::ChromaLayout::Yuv444;
}

// Args: bit depth, layout (420, 422, 444), class parity (0 exact, 1 class), task count.
void BM_Analyzer(benchmark::State& state) {
    const PaddedFrame frame = makePaddedFrame(static_cast<int>(state.range(0)), layoutOf(state.range(1)));
    hdrmeter::AnalysisSettings settings;
    if (state.range(2) != 0) settings.arithmetic = hdrmeter::Arithmetic::classParity();
    settings.taskCount = static_cast<int>(state.range(3));
    const hdrmeter::Analyzer analyzer(settings);
    for (auto _ : state) {
        hdrmeter::FrameStatistics stats = analyzer.analyze(frame.view);
        benchmark::DoNotOptimize(stats.averageLightNits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(bench::kPixels));
}
BENCHMARK(BM_Analyzer)
    ->Args({10, 420, 0, 1})->Args({10, 420, 0, 2})->Args({10, 420, 1, 2})
    ->Args({12, 420, 0, 2})->Args({16, 420, 0, 2})->Args({10, 422, 0, 2})->Args({10, 444, 0, 2})
    ->Args({12, 444, 0, 1})->Args({12, 444, 0, 2})
    ->ArgNames({"depth", "layout", "class", "tasks"})->Unit(benchmark::kMillisecond)->UseRealTime();

// An R'G'B' master's frame: the benchmark frames' gradients and noise in each channel, as three padded
// planes (gbrp) or packed pixels of three or four words (rgb48, rgba64).
struct RgbFrame {
    std::vector<uint16_t> samples;
    hdrmeter::FrameView view;
};

RgbFrame makeRgbFrame(int bitDepth, int words) {
    RgbFrame frame;
    const int scale = 1 << (bitDepth - 10);
    const int rowWords = (kWidth * (words == 1 ? 1 : words) + 31) / 32 * 32 + 32;
    const int planeWords = rowWords * kHeight;
    frame.samples.assign(size_t(planeWords) * (words == 1 ? 3 : 1), 0);
    std::mt19937 rng(7);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int codes[3] = {64 + (x * 700) / kWidth + (y * 170) / kHeight + int(rng() % 9) - 4,
                                  80 + (x * 500) / kWidth + (y * 250) / kHeight + int(rng() % 9) - 4,
                                  70 + (x * 300) / kWidth + (y * 400) / kHeight + int(rng() % 9) - 4};
            for (int c = 0; c < 3; ++c) {
                const size_t at = words == 1 ? size_t(c) * planeWords + size_t(y) * rowWords + x
                                             : size_t(y) * rowWords + size_t(x) * words + c;
                frame.samples[at] = static_cast<uint16_t>(codes[c] * scale);
            }
        }
    }
    for (int c = 0; c < 3; ++c) {
        frame.view.planes[c] = frame.samples.data() + (words == 1 ? size_t(c) * planeWords : size_t(c));
        frame.view.strides[c] = std::ptrdiff_t(rowWords) * 2;
        frame.view.steps[c] = words;
    }
    frame.view.width = kWidth;
    frame.view.height = kHeight;
    frame.view.bitDepth = bitDepth;
    frame.view.model = hdrmeter::ColourModel::Rgb;
    return frame;
}

// Args: bit depth, words a pixel (1 planar, 3 or 4 packed), task count.
void BM_AnalyzerRgb(benchmark::State& state) {
    const RgbFrame frame = makeRgbFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    hdrmeter::AnalysisSettings settings;
    settings.taskCount = static_cast<int>(state.range(2));
    const hdrmeter::Analyzer analyzer(settings);
    for (auto _ : state) {
        hdrmeter::FrameStatistics stats = analyzer.analyze(frame.view);
        benchmark::DoNotOptimize(stats.averageLightNits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(bench::kPixels));
}
BENCHMARK(BM_AnalyzerRgb)->Args({12, 1, 1})->Args({12, 1, 2})->Args({12, 3, 1})->Args({12, 4, 1})->Args({16, 1, 1})
    ->ArgNames({"depth", "words", "tasks"})->Unit(benchmark::kMillisecond)->UseRealTime();

// What the tool does with each frame of a 4K 10-bit 4:2:0 clip by default, every per-frame statistic
// included: the picture's bounds, the measurement, the six results, the Dolby Vision PQ values, the
// robust percentile's light code and the pixels at the peak (both counted from the top), the scene
// signature's folded histograms, and the frame merged into its scene's statistics. Args: task count.
void BM_AnalyzerToolFrame(benchmark::State& state) {
    const PaddedFrame frame = makePaddedFrame(10, hdrmeter::ChromaLayout::Yuv420);
    hdrmeter::AnalysisSettings settings;
    settings.taskCount = static_cast<int>(state.range(0));
    const hdrmeter::Analyzer analyzer(settings);
    hdrmeter::FrameStatistics scene;
    const auto fold = [](const std::vector<std::uint64_t>& histogram) {  // as the scene signature folds
        std::uint64_t bins[32] = {};
        const size_t width = histogram.size() / 32;
        for (size_t bin = 0; bin < 32; ++bin)
            for (size_t code = bin * width; code < (bin + 1) * width; ++code) bins[bin] += histogram[code];
        return bins[0] + bins[31];
    };
    for (auto _ : state) {
        benchmark::DoNotOptimize(hdrmeter::findContent(frame.view).anyContent);
        hdrmeter::FrameStatistics stats = analyzer.analyze(frame.view);
        double sum = stats.averageLightNits() + stats.largestLightNits() + stats.aboveThresholdPercent() +
                     stats.top1Nits() + stats.top2Nits() + stats.bottomNits();
        sum += stats.smallestPqLight() + stats.meanPqLight() + stats.largestPqLight();
        const std::vector<std::uint64_t>& lights = stats.lightHistogram();
        std::uint64_t above = 0;
        size_t code = lights.size();
        while (code > 0 && above <= stats.pixelCount() / 10000) above += lights[--code];
        benchmark::DoNotOptimize(sum + static_cast<double>(code + fold(lights) + fold(stats.lumaHistogram())));
        scene.merge(stats);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(bench::kPixels));
}
BENCHMARK(BM_AnalyzerToolFrame)->Arg(1)->Arg(2)->ArgName("tasks")->Unit(benchmark::kMillisecond)->UseRealTime();

// The analyzer on frames that are not in any cache, as a decoder hands them over: four frames (100 MB at
// 4K 4:2:0) measured in turn. Args: task count.
void BM_AnalyzerColdFrames(benchmark::State& state) {
    std::vector<PaddedFrame> frames;
    for (int i = 0; i < 4; ++i) frames.push_back(makePaddedFrame(10, hdrmeter::ChromaLayout::Yuv420));
    hdrmeter::AnalysisSettings settings;
    settings.taskCount = static_cast<int>(state.range(0));
    const hdrmeter::Analyzer analyzer(settings);
    size_t next = 0;
    for (auto _ : state) {
        hdrmeter::FrameStatistics stats = analyzer.analyze(frames[next++ % frames.size()].view);
        benchmark::DoNotOptimize(stats.averageLightNits());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(bench::kPixels));
}
BENCHMARK(BM_AnalyzerColdFrames)->Arg(1)->Arg(2)->ArgName("tasks")->Unit(benchmark::kMillisecond)->UseRealTime();

// Reads every sample of a padded 10-bit 4:2:0 frame once (adding them up, which vectorises), its rows
// split among the threads. Args: thread count.
void BM_ReadPass420(benchmark::State& state) {
    const PaddedFrame frame = makePaddedFrame(10, hdrmeter::ChromaLayout::Yuv420);
    const int threads = static_cast<int>(state.range(0));
    const auto read = [&](int part) {
        uint64_t sum = 0;
        for (int p = 0; p < 3; ++p) {
            const int width = p == 0 ? kWidth : kWidth / 2, height = p == 0 ? kHeight : kHeight / 2;
            const int stride = static_cast<int>(frame.view.strides[p] / 2);
            for (int y = height * part / threads; y < height * (part + 1) / threads; ++y) {
                const uint16_t* row = frame.view.planes[p] + size_t(y) * stride;
                for (int x = 0; x < width; ++x) sum += row[x];
            }
        }
        return sum;
    };
    for (auto _ : state) {
        std::vector<std::future<uint64_t>> parts;
        for (int t = 1; t < threads; ++t) parts.push_back(std::async(std::launch::async, read, t));
        uint64_t sum = read(0);
        for (auto& part : parts) sum += part.get();
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(bench::kPixels * 3));
}
BENCHMARK(BM_ReadPass420)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

// findContent, which the clip runs on every frame with the automatic area, on a 2.39:1 letterbox of the
// benchmark frame (276 black rows above and below) with 12 rows of sparse ringing next to the picture, as
// a lossy encode leaves. Args: bars tolerance (0: black samples alone, the scan before faint lines were
// looked at), frames in cache (1) or cold (0).
void BM_FindContent(benchmark::State& state) {
    std::vector<PaddedFrame> frames;
    for (int i = 0; i < (state.range(1) ? 1 : 4); ++i) {
        frames.push_back(makePaddedFrame(10, hdrmeter::ChromaLayout::Yuv420));
        PaddedFrame& frame = frames.back();
        for (int p = 0; p < 3; ++p) {
            const int shift = p == 0 ? 0 : 1, stride = static_cast<int>(frame.view.strides[p] / 2);
            for (int y = 0; y < kHeight >> shift; ++y) {
                const int lumaY = y << shift, edge = std::min(lumaY - 264, kHeight - 264 - 1 - lumaY);
                if (edge >= 12) continue;
                for (int x = 0; x < kWidth >> shift; ++x) {
                    const bool ring = edge >= 0 && x % 16 == 0;
                    frame.planes[p][size_t(y) * stride + x] = p == 0 ? (ring ? 110 : 64) : (ring ? 540 : 512);
                }
            }
        }
    }
    size_t next = 0;
    for (auto _ : state) {
        const hdrmeter::ContentBounds bounds =
            hdrmeter::findContent(frames[next++ % frames.size()].view, static_cast<int>(state.range(0)));
        if (bounds.top != (state.range(0) ? 276 : 264)) state.SkipWithError("the bars were not found");
        benchmark::DoNotOptimize(bounds.top);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(bench::kPixels));
}
BENCHMARK(BM_FindContent)->Args({0, 1})->Args({32, 1})->Args({0, 0})->Args({32, 0})
    ->ArgNames({"tolerance", "cached"})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
