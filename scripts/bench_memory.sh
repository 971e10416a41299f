#!/usr/bin/env bash
# Peak memory of a run against the same run writing a partial result, with public tools only: an HEVC
# 10-bit clip of HDRMETER_BENCH_FRAMES (default 6000) frames of 320x180 made here, `hdrmeter FILE` and
# `hdrmeter FILE --end E --partial P`, each HDRMETER_BENCH_RUNS (default 3) times under /usr/bin/time -v;
# medians of the maximum resident set and their ratio (target: at most 1.3). HDRMETER_TOOL the program
# (default: built in build-bench as scripts/bench_tool.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${HDRMETER_BENCH_RUNS:-3}
frames=${HDRMETER_BENCH_FRAMES:-6000}
source scripts/bench_common.sh
if [ -n "${HDRMETER_TOOL:-}" ]; then tool=$HDRMETER_TOOL; else build_bench_tool; fi
work=$(mktemp -d "${TMPDIR:-/tmp}/hdrmeter-memory-XXXXXX")
trap 'rm -rf "$work"' EXIT
clip=$work/clip.mkv
echo "== making $frames frames of 320x180 HEVC 10-bit 4:2:0 PQ"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=320x180:rate=25,format=yuv420p10le" -frames:v "$frames" \
  -c:v libx265 -preset ultrafast \
  -x265-params log-level=error:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc "$clip"

peak() {  # kilobytes
  for _ in $(seq "$runs"); do
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/time.txt"
  done | median
}
plain=$(peak "$tool" "$clip")
partial=$(peak "$tool" "$clip" --end 100000 --partial "$work/part.hmp")
echo "plain run         ${plain} KB"
echo "with --partial    ${partial} KB"
awk -v a="$partial" -v b="$plain" -v n="$frames" \
  'BEGIN { printf "ratio             %.3f (%.0f bytes a frame more)\n", a / b, (a - b) * 1024 / n }'
