#!/usr/bin/env bash
# JPEG 2000 masters at the decoder's pace, measured with public tools only: a 1080p and a 4K 12-bit
# R'G'B' J2K MXF made here with ffmpeg (OpenJPEG's encoder, 12 bits kept, at a twentieth of the raw size:
# about 100 Mbit/s at 1080p and 400 at 4K, as an IMF package's), `hdrmeter FILE` against
# `ffmpeg -c:v DECODER -i FILE -f null -` with the decoder the tool chooses, the two run in turn RUNS
# times as whole processes, the medians of the paired wall and CPU ratios (target: at most 1.05 wall at
# 1080p), and the two decoders FFmpeg offers against each other, with the load average beside each line.
# HDRMETER_BENCH_RUNS (default 7) sets the number of paired runs, HDRMETER_BENCH_FRAMES (default 24) the
# clips' length, HDRMETER_BENCH_TOOL another build of the tool to time, HDRMETER_BENCH_SIZES the sizes
# ("1920x1080 3840x2160").
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${HDRMETER_BENCH_RUNS:-7}
frames=${HDRMETER_BENCH_FRAMES:-24}
sizes=${HDRMETER_BENCH_SIZES:-1920x1080 3840x2160}
tool=${HDRMETER_BENCH_TOOL:-}
if [ -z "$tool" ]; then
  bash scripts/deps.sh bench
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_BENCH=ON -DHDRMETER_BUILD_TESTS=OFF >/dev/null
  cmake --build build-bench -j"$(nproc)" --target hdrmeter_tool
  tool=build-bench/tools/hdrmeter/hdrmeter
fi
mkdir -p build-bench
# The decoder the tool takes: OpenJPEG where this FFmpeg has it.
if ffmpeg -hide_banner -decoders 2>/dev/null | grep -q ' libopenjpeg '; then decoder=libopenjpeg; else decoder=jpeg2000; fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# One whole process: its wall time and its CPU time (user and system, its threads included), in seconds.
timed() { /usr/bin/time -f '%e %U %S' -o build-bench/time.txt "$@" >/dev/null 2>&1; awk '{ print $1, $2 + $3 }' build-bench/time.txt; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# Runs A and B in turn RUNS times; prints the medians and the paired ratios' medians.
paired() {
  local name=$1 a=$2 b=$3
  : >build-bench/pairs.txt
  for _ in $(seq "$runs"); do
    read -r a_wall a_cpu < <(timed $a)
    read -r b_wall b_cpu < <(timed $b)
    echo "$a_wall $a_cpu $b_wall $b_cpu" >>build-bench/pairs.txt
  done
  echo "$name: wall medians $(awk '{ print $1 }' build-bench/pairs.txt | median) s against" \
    "$(awk '{ print $3 }' build-bench/pairs.txt | median) s, CPU $(awk '{ print $2 }' build-bench/pairs.txt | median) s" \
    "against $(awk '{ print $4 }' build-bench/pairs.txt | median) s; paired wall ratio median" \
    "$(awk '{ print $1 / $3 }' build-bench/pairs.txt | median), CPU ratio median" \
    "$(awk '{ print $2 / $4 }' build-bench/pairs.txt | median) (min $(awk '{ print $1 / $3 }' build-bench/pairs.txt | sort -g | head -1)," \
    "max $(awk '{ print $1 / $3 }' build-bench/pairs.txt | sort -g | tail -1)); load average $(load)"
}

for size in $sizes; do
  clip=build-bench/bench_j2k_${size}_rgb12.mxf
  if [ ! -s "$clip" ]; then
    echo "== making $clip ($frames frames of $size JPEG 2000 12-bit R'G'B' PQ)"
    ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=$size:rate=24,noise=alls=6:allf=t" -frames:v "$frames" \
      -vf "format=gbrp12le,setparams=color_trc=smpte2084:color_primaries=bt2020:colorspace=gbr:range=pc" \
      -c:v libopenjpeg -compression_level 10 -f mxf "$clip"
  fi
  timed "$tool" "$clip" >/dev/null  # warm the page cache
  echo "== $size, $frames frames, $(nproc) cores, $runs pairs in turn"
  paired "$size hdrmeter FILE / ffmpeg -c:v $decoder -f null" "$tool $clip" \
    "ffmpeg -v error -nostdin -c:v $decoder -i $clip -f null -"
  if [ "$decoder" = libopenjpeg ]; then
    paired "$size ffmpeg -c:v jpeg2000 / -c:v libopenjpeg, decoding alone" \
      "ffmpeg -v error -nostdin -c:v jpeg2000 -i $clip -f null -" \
      "ffmpeg -v error -nostdin -c:v libopenjpeg -i $clip -f null -"
  fi
done
