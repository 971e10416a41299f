# What the benchmark scripts share; sourced from the repository's top folder.
#   build_bench_tool   builds build-bench (Release, benchmarks on) and sets `tool` to its hdrmeter,
#                      unless HDRMETER_TOOL names another build of the tool to time
#   median             the median of the numbers on standard input, one a line
#   timed CMD...       runs CMD as one whole process, output discarded: "WALL CPU" in seconds, CPU being
#                      user and system time, its threads and children included

build_bench_tool() {
  tool=${HDRMETER_TOOL:-}
  bash scripts/deps.sh bench
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_BENCH=ON -DHDRMETER_BUILD_TESTS=OFF >/dev/null
  cmake --build build-bench -j"$(nproc)"
  tool=${tool:-build-bench/tools/hdrmeter/hdrmeter}
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

timed() {
  local times
  times=$(mktemp "${TMPDIR:-/tmp}/hdrmeter-time-XXXXXX")
  /usr/bin/time -f '%e %U %S' -o "$times" "$@" >/dev/null 2>&1 || true
  awk '{ print $1, $2 + $3 }' "$times"
  rm -f "$times"
}
