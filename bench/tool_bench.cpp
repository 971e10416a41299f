// The hdrmeter tool end to end on a 4K 10-bit 4:2:2 YUV4MPEG2 file that the benchmark writes itself,
// beside the analyzer alone on the same frame with the same (default) settings: the tool's time per
// frame is read against the analyzer's. The tool's time per frame is the difference between measuring
// the whole clip and only its first frames, divided by the frames between: process start, opening the
// input and first-touch of the buffers cancel.
#include "bench_frames.h"

#include <benchmark/benchmark.h>

#include <hdrmeter/analysis.h>

namespace {

hdrmeter::FrameView viewOf(const bench::Frame& frame) {
    hdrmeter::FrameView view;
    view.planes[0] = frame.samples.data();
    view.planes[1] = frame.samples.data() + bench::kPixels;
    view.planes[2] = frame.samples.data() + bench::kPixels + bench::kPixels / 2;
    view.strides[0] = 2 * bench::kWidth;
    view.strides[1] = view.strides[2] = bench::kWidth;
    view.width = bench::kWidth;
    view.height = bench::kHeight;
    view.layout = hdrmeter::ChromaLayout::Yuv422;
    view.bitDepth = 10;
    return view;
}

void BM_AnalyzerFrame422(benchmark::State& state) {
    const bench::Frame frame = bench::makeFrame(10, true);
    const hdrmeter::Analyzer analyzer;
    for (auto _ : state) {
        hdrmeter::FrameStatistics statistics = analyzer.analyze(viewOf(frame));
        benchmark::DoNotOptimize(statistics);
    }
}
BENCHMARK(BM_AnalyzerFrame422)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

#ifdef HDRMETER_TOOL_PATH
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kToolFrames = 22;
constexpr int kWarmUpFrames = 2;
const char* const kClip = "/tmp/hdrmeter_bench_4k_422p10.y4m";
const char* const kPeakFile = "/tmp/hdrmeter_bench_peak_kib";

bool writeClip() {
    FILE* file = std::fopen(kClip, "wb");
    if (!file) return false;
    std::fprintf(file, "YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C422p10 XYSCSS=422P10\n", bench::kWidth, bench::kHeight);
    bench::Frame frame = bench::makeFrame(10, true);
    for (int i = 0; i < kToolFrames; ++i) {
        std::fputs("FRAME\n", file);
        std::fwrite(frame.samples.data(), sizeof(uint16_t), frame.samples.size(), file);
    }
    return std::fclose(file) == 0;
}

// Seconds for one run of the tool on the first `frames` frames; its peak resident size comes from
// /usr/bin/time, which measures its own child (a child of this large process would inherit its figure).
double runTool(int frames, long& peakKibibytes) {
    const bool timed = access("/usr/bin/time", X_OK) == 0;
    const std::string command = std::string(timed ? "/usr/bin/time -f %M -o " + std::string(kPeakFile) + " " : "") +
                                HDRMETER_TOOL_PATH + " --transfer pq --frames " + std::to_string(frames) + " " +
                                kClip + " >/dev/null";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) return -1.0;
    peakKibibytes = -1;
    if (timed) std::ifstream(kPeakFile) >> peakKibibytes;
    return seconds;
}

void BM_ToolEndToEnd(benchmark::State& state) {
    static const bool written = writeClip();
    if (!written) {
        state.SkipWithError("cannot write the clip to /tmp");
        return;
    }
    long peak = -1;
    for (auto _ : state) {
        long warmUpPeak = 0;
        const double warmUp = runTool(kWarmUpFrames, warmUpPeak);
        const double whole = runTool(kToolFrames, peak);
        if (warmUp < 0 || whole < 0) {
            state.SkipWithError("the tool failed");
            return;
        }
        state.SetIterationTime((whole - warmUp) / (kToolFrames - kWarmUpFrames));
    }
    state.counters["peak_MiB"] = double(peak) / 1024.0;
    state.counters["frame_MiB"] = double(bench::kPixels * 2 * sizeof(uint16_t)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_ToolEndToEnd)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace
#endif
