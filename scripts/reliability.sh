#!/usr/bin/env bash
# Thread-sanitizer build, bounded fuzzing, fault injection and soak. Called by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "(nothing here yet)"
