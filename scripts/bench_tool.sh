#!/usr/bin/env bash
# The tool's speed and memory targets, measured with public tools only:
#   1. a 4K HEVC 10-bit 4:2:0 clip made here with ffmpeg and libx265: `hdrmeter FILE` against
#      `ffmpeg -i FILE -f null -` (decoding alone), the two run in turn RUNS times, the medians of the
#      paired wall and CPU ratios (targets: at most 1.05 wall and 1.10 CPU for the default run, 1.10 wall
#      with every output written);
#   2. its peak resident memory under /usr/bin/time -v, against the size of one decoded frame;
#   3. a 4K 10-bit 4:2:2 YUV4MPEG2 file: the tool's time per frame against the analyzer's on the same frame
#      (Google Benchmark, bench/tool_bench.cpp; target: at most 1.5x).
# HDRMETER_BENCH_RUNS (default 15, at least 7: on a shared machine the median of fewer pairs moved by
# several hundredths from run to run) sets the number of paired runs, HDRMETER_BENCH_FRAMES (default 48)
# the clip's length, HDRMETER_TOOL another build of the tool to time (a commit to compare).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench_common.sh
runs=${HDRMETER_BENCH_RUNS:-15}
frames=${HDRMETER_BENCH_FRAMES:-48}
build_bench_tool
clip=build-bench/bench_4k_hevc_420p10.mkv

if [ ! -s "$clip" ]; then
  echo "== making $clip ($frames frames of 3840x2160 HEVC 10-bit 4:2:0 PQ)"
  ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=3840x2160:rate=24,noise=alls=6:allf=t" \
    -frames:v "$frames" -pix_fmt yuv420p10le -c:v libx265 -preset fast \
    -x265-params log-level=error:hdr10=1:max-cll=1000,400:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc \
    "$clip"
fi

outputs=build-bench/bench_outputs
mkdir -p "$outputs"
every_output=(--csv "$outputs/frames.csv" --summary-json "$outputs/summary.json" --hdr10plus "$outputs/hdr10plus.json"
  --dovi-config "$outputs/dovi.json" --madvr "$outputs/madvr.bin" --plot "$outputs/plot.svg")

# Paired runs: the tool and ffmpeg in turn, so that the machine's other load falls on both alike; the
# medians of the pairs' wall and CPU ratios, and the load average beside them.
paired() {
  local name=$1 wall_target=$2 cpu_target=$3; shift 3
  : >build-bench/pairs.txt
  for _ in $(seq "$runs"); do
    read -r a_wall a_cpu < <(timed "$tool" "$clip" "$@")
    read -r b_wall b_cpu < <(timed ffmpeg -v error -nostdin -i "$clip" -f null -)
    echo "$a_wall $a_cpu $b_wall $b_cpu" >>build-bench/pairs.txt
  done
  echo "$name: tool wall median $(awk '{ print $1 }' build-bench/pairs.txt | median) s," \
    "CPU $(awk '{ print $2 }' build-bench/pairs.txt | median) s; ffmpeg -f null wall" \
    "$(awk '{ print $3 }' build-bench/pairs.txt | median) s, CPU $(awk '{ print $4 }' build-bench/pairs.txt | median) s"
  echo "$name: paired wall ratio median $(awk '{ print $1 / $3 }' build-bench/pairs.txt | median) (target at most" \
    "$wall_target), CPU ratio median $(awk '{ print $2 / $4 }' build-bench/pairs.txt | median)" \
    "${cpu_target:+(target at most $cpu_target)}; load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

echo "== 1. hdrmeter FILE against ffmpeg -i FILE -f null -, $runs pairs, in turn"
timed "$tool" "$clip" >/dev/null  # warm the page cache
paired "default run" 1.05 1.10
paired "every output" 1.10 "" "${every_output[@]}"

echo "== 2. peak memory of hdrmeter FILE"
/usr/bin/time -v "$tool" "$clip" 2>&1 >/dev/null | grep 'Maximum resident'
echo "one decoded 3840x2160 10-bit 4:2:0 frame: $((3840 * 2160 * 3)) bytes ($((3840 * 2160 * 3 / 1048576)) MiB)"

echo "== 3. the tool per frame against the analyzer, 4K 10-bit 4:2:2 YUV4MPEG2"
build-bench/bench/hdrmeter_bench --benchmark_filter='AnalyzerFrame|ToolEndToEnd' --benchmark_min_time=0.2 \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
