#!/usr/bin/env bash
# The reliability stage of scripts/test.sh; it also runs on its own from the repository's root.
#   1. thread sanitizer: the concurrency tests, the plane tests' striped and concurrent filtering, and the
#      tool's decoding and measuring threads, in build-tsan
#   2. fuzzing: every libFuzzer target for a bounded time (about a minute in all), in build-fuzz
#   3. fault injection: every allocation and thread start failed in turn, under LeakSanitizer, in build-faults
#   4. soak: its figures, from the address-sanitizer run of scripts/test.sh (build-asan), where it ran
# The seed corpora replay and the soak and tool-condition tests run in the ordinary builds' ctest.
#
# HDRMETER_FUZZ_SECONDS scales the fuzzing time (default 60, shared among the targets).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${HDRMETER_FUZZ_SECONDS:-60}
fuzz_cxx=${HDRMETER_FUZZ_CXX:-clang++}
summary=()

stage_start() {
  echo "== reliability: $1"
  stage_began=$SECONDS
}
stage_end() {
  summary+=("$1 ($((SECONDS - stage_began)) s)")
}

# ---- 1. thread sanitizer --------------------------------------------------------------------------
stage_start "thread sanitizer build and concurrency tests"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDRMETER_SANITIZE=thread -DHDRMETER_BUILD_TOOLS=ON \
  >/dev/null
cmake --build build-tsan -j"$jobs" --target reliability_concurrency_tests hdrmeter_planes_tests hdrmeter_tool
# No suppressions: any report fails the stage.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
build-tsan/tests/reliability/reliability_concurrency_tests --gtest_brief=1
build-tsan/tests/planes/hdrmeter_planes_tests --gtest_brief=1 --gtest_filter='PlaneFiltering.*'
# The tool: libavcodec's frame threads decode ahead while the analyzer's workers measure the frame before.
tsan_clip=build-tsan/tsan_clip.mkv
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x180:rate=25 -frames:v 24 -pix_fmt yuv420p10le \
  -c:v libx265 -x265-params log-level=error:transfer=smpte2084 "$tsan_clip"
# FFmpeg's libraries are not instrumented; scripts/tsan_libav.supp says why their allocator calls are ignored.
TSAN_OPTIONS="$TSAN_OPTIONS suppressions=$PWD/scripts/tsan_libav.supp" \
  build-tsan/tools/hdrmeter/hdrmeter --tasks 2 --checks "$tsan_clip" >/dev/null
build-tsan/tools/hdrmeter/hdrmeter --demo --frames 6 >/dev/null
# An image sequence: its images decode on threads of their own and are taken in order; one does not
# decode, one is missing, and --frames ends the run while images after it are still being decoded.
tsan_images=build-tsan/tsan_images
rm -rf "$tsan_images" && mkdir -p "$tsan_images"
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x180:rate=25 -frames:v 12 -pix_fmt rgb48le -c:v tiff \
  "$tsan_images/m_%04d.tif"
head -c 2000 "$tsan_images/m_0006.tif" >"$tsan_images/cut.tif" && mv "$tsan_images/cut.tif" "$tsan_images/m_0006.tif"
rm "$tsan_images/m_0009.tif"
TSAN_OPTIONS="$TSAN_OPTIONS suppressions=$PWD/scripts/tsan_libav.supp" \
  build-tsan/tools/hdrmeter/hdrmeter --accept-damaged --transfer pq --frames 9 "$tsan_images" >/dev/null
unset TSAN_OPTIONS
stage_end "thread sanitizer: concurrency tests, plane filtering and the tool's threads passed"

# ---- 2. fuzzing -----------------------------------------------------------------------------------
stage_start "fuzzers (libFuzzer with address and undefined-behaviour sanitizers)"
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER="$fuzz_cxx" >/dev/null
targets=(engine_planes stream_format options)
cmake --build build-fuzz -j"$jobs" --target "${targets[@]/#/fuzz_}"
# The engine target does the most per input, so it gets two shares of the time and the others one.
share=$((fuzz_seconds / 4))
fuzz_report=()
for target in "${targets[@]}"; do
  seconds=$share
  [ "$target" = engine_planes ] && seconds=$((fuzz_seconds - 2 * share))
  work=build-fuzz/corpus-work/$target
  rm -rf "$work" && mkdir -p "$work" build-fuzz/artifacts
  log=build-fuzz/$target.log
  echo "fuzzing $target for ${seconds} s"
  if ! build-fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/artifacts/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target $target failed; the input is in build-fuzz/artifacts/. Fix the fault, then add the input" \
      "to fuzz/corpus/$target/ so that it replays as a test." >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  found=$(find "$work" -type f | wc -l)
  fuzz_report+=("  $target: $runs inputs executed in $seconds s, $found inputs in the working corpus")
  echo "  $runs inputs executed, no failure"
done
stage_end "fuzzing, no failure"
summary+=("${fuzz_report[@]}")

# ---- 3. fault injection ---------------------------------------------------------------------------
stage_start "fault injection under LeakSanitizer"
# The hooks replace the allocator, so this build has no address or thread sanitizer; the test executable
# links LeakSanitizer by itself.
cmake -S . -B build-faults -DCMAKE_BUILD_TYPE=Release -DHDRMETER_SANITIZE= -DHDRMETER_BUILD_TOOLS=OFF >/dev/null
cmake --build build-faults -j"$jobs" --target reliability_fault_tests
build-faults/tests/reliability/reliability_fault_tests --gtest_brief=1 | tee build-faults/faults.log | grep '^faults:'
total_faults=$(sed -n 's/^faults: \([0-9]*\) injected in all$/\1/p' build-faults/faults.log)
stage_end "fault injection: $total_faults failures injected, no leak, no task left running"

# ---- 4. soak figures ------------------------------------------------------------------------------
soak_line=$(grep -h '^soak:' build-asan/Testing/Temporary/LastTest.log 2>/dev/null | tail -n 1 || true)
if [ -n "$soak_line" ]; then
  summary+=("soak under the address sanitizer (build-asan): ${soak_line#soak: }")
else
  summary+=("soak: not in this run's logs (scripts/test.sh runs it in the address-sanitizer build)")
fi

echo "== reliability summary"
for line in "${summary[@]}"; do echo "  $line"; done
