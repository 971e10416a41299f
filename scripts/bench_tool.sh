#!/usr/bin/env bash
# The tool's speed and memory targets, measured with public tools only:
#   1. a 4K HEVC 10-bit 4:2:0 clip made here with ffmpeg and libx265: `hdrmeter FILE` against
#      `ffmpeg -i FILE -f null -` (decoding alone), the two run in turn RUNS times, medians and the median
#      of the paired ratios (target: at most 1.15);
#   2. its peak resident memory under /usr/bin/time -v, against the size of one decoded frame;
#   3. a 4K 10-bit 4:2:2 YUV4MPEG2 file: the tool's time per frame against the analyzer's on the same frame
#      (Google Benchmark, bench/tool_bench.cpp; target: at most 1.5x).
# HDRMETER_BENCH_RUNS (default 15: on a shared machine the median of fewer pairs moved by several
# hundredths from run to run) sets the number of paired runs, HDRMETER_BENCH_FRAMES (default 60) the
# clip's length.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
runs=${HDRMETER_BENCH_RUNS:-15}
frames=${HDRMETER_BENCH_FRAMES:-60}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_BENCH=ON -DHDRMETER_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)"
tool=build-bench/tools/hdrmeter/hdrmeter
clip=build-bench/bench_4k_hevc_420p10.mkv

if [ ! -s "$clip" ]; then
  echo "== making $clip ($frames frames of 3840x2160 HEVC 10-bit 4:2:0 PQ)"
  ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=3840x2160:rate=24,noise=alls=6:allf=t" \
    -frames:v "$frames" -pix_fmt yuv420p10le -c:v libx265 -preset fast \
    -x265-params log-level=error:hdr10=1:max-cll=1000,400:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc \
    "$clip"
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { /usr/bin/time -f %e -o build-bench/time.txt "$@" >/dev/null 2>&1; cat build-bench/time.txt; }

echo "== 1. hdrmeter FILE against ffmpeg -i FILE -f null -, $runs runs each, in turn"
seconds "$tool" "$clip" >/dev/null  # warm the page cache
: >build-bench/tool.txt; : >build-bench/ffmpeg.txt; : >build-bench/ratio.txt
for _ in $(seq "$runs"); do
  a=$(seconds "$tool" "$clip")
  b=$(seconds ffmpeg -v error -nostdin -i "$clip" -f null -)
  echo "$a" >>build-bench/tool.txt; echo "$b" >>build-bench/ffmpeg.txt
  awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>build-bench/ratio.txt
done
echo "hdrmeter FILE: median $(median <build-bench/tool.txt) s; ffmpeg -f null: median $(median <build-bench/ffmpeg.txt) s;" \
  "paired ratio: median $(median <build-bench/ratio.txt) (target at most 1.15)"

echo "== 2. peak memory of hdrmeter FILE"
/usr/bin/time -v "$tool" "$clip" 2>&1 >/dev/null | grep 'Maximum resident'
echo "one decoded 3840x2160 10-bit 4:2:0 frame: $((3840 * 2160 * 3)) bytes ($((3840 * 2160 * 3 / 1048576)) MiB)"

echo "== 3. the tool per frame against the analyzer, 4K 10-bit 4:2:2 YUV4MPEG2"
build-bench/bench/hdrmeter_bench --benchmark_filter='AnalyzerFrame|ToolEndToEnd' --benchmark_min_time=0.2 \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
