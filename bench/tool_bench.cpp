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
#include <cstdint>
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

// Memory that must not grow with the film: an hour of 16x16 frames (90,000 at 25 frames a second), a
// scene every 4 seconds, measured with the automatic area and no output, then with every output. The
// figure that matters is bytes_per_frame: the peak's growth over a 100-frame run of the same clip,
// divided by the frames between.
constexpr int kLongFrames = 90000;
const char* const kLongClip = "/tmp/hdrmeter_bench_hour_16x16.y4m";
const char* const kLongOutputs = "/tmp/hdrmeter_bench_hour_out";

bool writeLongClip() {
    FILE* file = std::fopen(kLongClip, "wb");
    if (!file) return false;
    std::fprintf(file, "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420p10 XYSCSS=420P10\n");
    std::uint32_t state = 1;
    std::uint16_t samples[16 * 16 + 2 * 8 * 8];
    for (int frame = 0; frame < kLongFrames; ++frame) {
        const int base = 64 + (frame / 100 * 37) % 800;
        for (int i = 0; i < 16 * 16; ++i) {
            state = state * 1664525u + 1013904223u;
            samples[i] = static_cast<std::uint16_t>(base + (state >> 26));
        }
        for (int i = 16 * 16; i < 16 * 16 + 2 * 8 * 8; ++i) samples[i] = 512;
        std::fputs("FRAME\n", file);
        std::fwrite(samples, sizeof samples, 1, file);
    }
    return std::fclose(file) == 0;
}

long peakOfRun(int frames, bool everyOutput) {
    const std::string outputs = std::string(kLongOutputs);
    const std::string command = "rm -rf " + outputs + " && mkdir -p " + outputs + " && /usr/bin/time -f %M -o " +
                                kPeakFile + " " + HDRMETER_TOOL_PATH + " --transfer pq --frames " +
                                std::to_string(frames) + " " +
                                (everyOutput ? "--csv " + outputs + "/f.csv --jsonl " + outputs + "/f.jsonl --plot " +
                                                   outputs + "/f.svg --summary-json " + outputs + "/s.json --hdr10plus " +
                                                   outputs + "/p.json --dovi-config " + outputs + "/d.json --madvr " + outputs +
                                                   "/m.bin "
                                             : std::string()) +
                                kLongClip + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return -1;
    long peak = -1;
    std::ifstream(kPeakFile) >> peak;
    return peak;
}

void BM_ToolLongClipMemory(benchmark::State& state) {
    static const bool written = writeLongClip();
    if (!written || access("/usr/bin/time", X_OK) != 0) {
        state.SkipWithError("needs /usr/bin/time and room for the clip in /tmp");
        return;
    }
    const bool everyOutput = state.range(0) != 0;
    long shortPeak = -1, longPeak = -1;
    for (auto _ : state) {
        shortPeak = peakOfRun(100, everyOutput);
        longPeak = peakOfRun(kLongFrames, everyOutput);
        if (shortPeak < 0 || longPeak < 0) {
            state.SkipWithError("the tool failed");
            return;
        }
    }
    std::system((std::string("rm -rf ") + kLongOutputs).c_str());
    state.SetLabel(everyOutput ? "every output" : "no output");
    state.counters["peak_MiB"] = double(longPeak) / 1024.0;
    state.counters["bytes_per_frame"] = double(longPeak - shortPeak) * 1024.0 / (kLongFrames - 100);
}
BENCHMARK(BM_ToolLongClipMemory)->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
#endif
