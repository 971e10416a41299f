// The hdrmeter tool end to end on a 4K 10-bit 4:2:2 YUV4MPEG2 file that the benchmark writes itself.
#include "bench_frames.h"

#include <benchmark/benchmark.h>

#ifdef HDRMETER_TOOL_PATH
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

extern char** environ;

namespace {

constexpr int kToolFrames = 12;

std::string writeClip() {
    const std::string path = "/tmp/hdrmeter_bench_4k_422p10.y4m";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return {};
    std::fprintf(file, "YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C422p10 XYSCSS=422P10\n", bench::kWidth, bench::kHeight);
    bench::Frame frame = bench::makeFrame(10, true);
    for (int i = 0; i < kToolFrames; ++i) {
        std::fputs("FRAME\n", file);
        std::fwrite(frame.samples.data(), sizeof(uint16_t), frame.samples.size(), file);
    }
    std::fclose(file);
    return path;
}

void BM_ToolEndToEnd(benchmark::State& state) {
    static const std::string clip = writeClip();
    if (clip.empty()) {
        state.SkipWithError("cannot write the clip to /tmp");
        return;
    }
    long peakKilobytes = 0;
    for (auto _ : state) {
        char* argv[] = {const_cast<char*>(HDRMETER_TOOL_PATH), const_cast<char*>(clip.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid;
        if (posix_spawn(&pid, HDRMETER_TOOL_PATH, &actions, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot start the tool");
            return;
        }
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the tool failed");
            return;
        }
        peakKilobytes = std::max(peakKilobytes, usage.ru_maxrss);
    }
    state.counters["frames"] = kToolFrames;
    state.counters["ms_per_frame"] =
        benchmark::Counter(double(kToolFrames) * 1e-3, benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.counters["peak_MiB"] = double(peakKilobytes) / 1024.0;
    state.counters["frame_MiB"] = double(bench::kPixels * 2 * sizeof(uint16_t)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_ToolEndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
#endif
