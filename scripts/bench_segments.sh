#!/usr/bin/env bash
# Time segments against one run, measured with public tools only, on a 1080p HEVC 10-bit clip made here:
#   1. one run over the whole clip, with and without --partial (what writing a partial result costs);
#   2. the clip cut by `hdrmeter plan` into 2 and 4 segments, run with `parallel -j2`: wall and CPU time;
#   3. the merge's own time, writing every output, and the partial results' size a frame.
# HDRMETER_BENCH_RUNS (default 5) runs of each, medians; HDRMETER_BENCH_FRAMES (default 480) the clip's
# length; HDRMETER_TOOL the program (default: built in build-bench as scripts/bench_tool.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${HDRMETER_BENCH_RUNS:-5}
frames=${HDRMETER_BENCH_FRAMES:-480}
source scripts/bench_common.sh
if [ -n "${HDRMETER_TOOL:-}" ]; then tool=$HDRMETER_TOOL; else build_bench_tool; fi
work=$(mktemp -d "${TMPDIR:-/tmp}/hdrmeter-segments-XXXXXX")
trap 'rm -rf "$work"' EXIT
clip=$work/clip.mkv
echo "== making $frames frames of 1920x1080 HEVC 10-bit 4:2:0 PQ, a key frame every 48"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=1920x1080:rate=24,noise=alls=6:allf=t" -frames:v "$frames" \
  -pix_fmt yuv420p10le -c:v libx265 -preset fast \
  -x265-params log-level=error:keyint=48:min-keyint=48:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc "$clip"

report() {  # a label, then "wall cpu" lines on standard input: their medians
  cat >"$work/runs.txt"
  printf '%-34s wall %6.2f s   cpu %6.2f s\n' "$1" "$(cut -d' ' -f1 "$work/runs.txt" | median)" \
    "$(cut -d' ' -f2 "$work/runs.txt" | median)"
}
outputs="--csv $work/c.csv --jsonl $work/j.jsonl --plot $work/p.svg --summary-json $work/s.json --hdr10plus $work/h.json --dovi-config $work/d.json --madvr $work/m.bin"

timed "$tool" "$clip" >/dev/null  # warm the page cache
for _ in $(seq "$runs"); do timed "$tool" "$clip"; done | report "one run"
for _ in $(seq "$runs"); do timed "$tool" "$clip" --partial "$work/whole.hmp"; done | report "one run with --partial"
echo "partial result: $(( $(stat -c %s "$work/whole.hmp") / frames )) bytes a frame"
for segments in 2 4; do
  "$tool" plan "$clip" --segments "$segments" >"$work/plan.txt"
  for _ in $(seq "$runs"); do
    rm -f "$work"/part*.hmp
    timed parallel -j2 --colsep ' ' "$tool" "$clip" --start {1} --end {2} --partial "$work/part{#}.hmp" :::: "$work/plan.txt"
  done | report "$segments segments, parallel -j2"
  for _ in $(seq "$runs"); do timed "$tool" merge $outputs "$work"/part*.hmp; done | report "  their merge, every output"
done
