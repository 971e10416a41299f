#!/usr/bin/env bash
# Installs what is missing, builds the benchmark program and the tool with optimisation, and runs every
# benchmark five times, reporting the median, mean and spread of each (times on a virtual machine vary
# from run to run). Extra arguments go to the benchmark program (e.g. --benchmark_filter=Engine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_BENCH=ON -DHDRMETER_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)"
build-bench/bench/hdrmeter_bench --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
# Peak memory is per process: the many-task benchmark's counters only mean something in a process of its own.
if [ $# -eq 0 ]; then
  echo "== 16-bit frames in 2 and in 256 tasks, each in a process of its own (compare peak_rss_MiB)"
  for tasks in 2 256; do
    build-bench/bench/hdrmeter_bench --benchmark_filter="ManyTasks/tasks:$tasks/" --benchmark_min_time=0.5 2>/dev/null | grep '^BM_'
  done
fi
