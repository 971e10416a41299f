#!/usr/bin/env bash
# Installs what is missing, builds the library and the hdrmeter tool, and measures the tool's built-in
# demo clip: the summary ends with its MaxCLL and MaxFALL. Extra arguments go to hdrmeter, e.g.
#   bash scripts/demo.sh --plot demo.svg --csv demo.csv
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what building needs; scripts/test.sh turns the tests on again in the same build directory.
bash scripts/deps.sh
jobs=$(nproc)

echo "== configuring build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_TESTS=OFF >/dev/null
echo "== building the library and the hdrmeter tool"
cmake --build build -j"$jobs" --target hdrmeter_tool
echo "== measuring the demo clip: build/tools/hdrmeter/hdrmeter --demo $*"
exec build/tools/hdrmeter/hdrmeter --demo "$@"
