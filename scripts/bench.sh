#!/usr/bin/env bash
# Installs what is missing, builds the benchmark program and the tool with optimisation, and runs every
# benchmark five times, reporting the median, mean and spread of each (times on a virtual machine vary
# from run to run). Extra arguments go to the benchmark program (e.g. --benchmark_filter=Engine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_BENCH=ON -DHDRMETER_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)"
exec build-bench/bench/hdrmeter_bench --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
