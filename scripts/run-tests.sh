#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, the
# fuzz targets for a fixed number of runs, and the MinGW-w64 cross-compile of
# the portable libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
step() { printf '\n=== %s\n' "$*"; }

step "sanitizer build (address, undefined)"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"

step "MinGW-w64 cross-compile (portable libraries)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

log=$(mktemp)
trap 'rm -f "$log"' EXIT

step "tests (address, undefined)"
ctest --preset dev -j "$jobs" --timeout 300 | tee -a "$log"

step "concurrency tests (thread)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs" --timeout 600 | tee -a "$log"

if [ -f fuzz/CMakeLists.txt ]; then
  step "fuzz targets"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  for f in build/fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    # New inputs go to a scratch directory; the committed seeds are only read.
    scratch=$(mktemp -d)
    "$f" -runs="${FUZZ_RUNS:-20000}" -seed=1 "$scratch" "fuzz/corpus/${name#fuzz_}" 2>&1 | tail -n 2
    rm -rf "$scratch"
  done
fi

# One closing line over every ctest run above (ctest exits non-zero on any
# failure, so reaching here means all of them passed).
total=$(grep -oE 'tests failed out of [0-9]+' "$log" | awk '{s+=$5} END {print s+0}')
step "summary"
echo "$total passed, 0 failed"
