#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a release build, once in a release build
# inside a Debian 13 root (g++ 14, FFmpeg 7.1), once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs=$(nproc)
# The four builds below share most of their sources: a compiler cache makes a second run, or a run after a
# small change, take minutes less. Inside the Debian 13 root the environment is its own.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Debian 13: release build and every test"
bash scripts/debian13.sh

echo "== address and undefined-behaviour sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDRMETER_SANITIZE=address,undefined \
  -DHDRMETER_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions=$PWD/scripts/lsan_fonts.supp ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== reliability: thread sanitizer, fuzzers, fault injection, soak"
bash scripts/reliability.sh
