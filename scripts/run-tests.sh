#!/usr/bin/env bash
# Builds and runs every test, each preset built once: the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer (dev), the main job's
# optimised build with warnings as errors (sim-checked), the MinGW-w64
# cross-compile of the portable libraries (mingw), the tests labelled
# concurrency under ThreadSanitizer (tsan), and the fuzz targets for a fixed
# number of runs with the tests labelled fuzz (fuzz). Prints each stage's
# duration; the compiler cache (ccache) keeps unchanged sources from being
# compiled again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all

# The cache lives where ccache keeps it (~/.cache/ccache). Paths under the
# checkout are hashed relative to it, so checkouts in other folders share it.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

jobs=$(nproc)
log=$(mktemp)
timings=$(mktemp)
trap 'rm -f "$log" "$timings"' EXIT

# stage NAME COMMAND...: runs the command and prints how long it took.
stage() {
  local name=$1 start=$SECONDS
  shift
  printf '\n=== %s\n' "$name"
  "$@"
  printf '=== %s: %d s\n' "$name" $((SECONDS - start))
  printf '  %-44s %6d s\n' "$name" $((SECONDS - start)) >>"$timings"
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

run_tests() {
  ctest --preset "$1" -j "$jobs" --timeout "$2" | tee -a "$log"
}

run_fuzz_targets() {
  local f target scratch
  for f in build/fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    target=$(basename "$f")
    # New inputs go to a scratch directory; the committed seeds are only read.
    scratch=$(mktemp -d)
    "$f" -runs="${FUZZ_RUNS:-20000}" -seed=1 "$scratch" "fuzz/corpus/${target#fuzz_}" 2>&1 | tail -n 2
    rm -rf "$scratch"
  done
  run_tests fuzz 600
}

# The cache's hit and miss counters so far.
ccache_counts() {
  ccache --print-stats 2>/dev/null |
    awk '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" {h += $2} $1 == "cache_miss" {m += $2}
         END {print h + 0, m + 0}'
}

started=$SECONDS
read -r hits_before misses_before < <(ccache_counts)
stage "sanitizer build (dev)" build dev
stage "tests (dev: address, undefined)" run_tests dev 300
stage "main job build (sim-checked)" build sim-checked
stage "MinGW-w64 cross-compile (mingw)" build mingw
stage "concurrency build (tsan)" build tsan
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
stage "concurrency tests (tsan: thread)" run_tests tsan 600
if [ -f fuzz/CMakeLists.txt ]; then
  stage "fuzz build (fuzz)" build fuzz
  stage "fuzz targets and tests (fuzz)" run_fuzz_targets
fi

# One closing line over every ctest run above (ctest exits non-zero on any
# failure, so reaching here means all of them passed).
total=$(grep -oE 'tests failed out of [0-9]+' "$log" | awk '{s+=$5} END {print s+0}')
printf '\n=== summary\n'
cat "$timings"
printf '  %-44s %6d s\n' "total" $((SECONDS - started))
read -r hits_after misses_after < <(ccache_counts)
# The cache's counters are the machine's: other builds on it count too.
printf '  ccache counters over the run: %d hits, %d misses\n' $((hits_after - hits_before)) \
  $((misses_after - misses_before))
echo "$total passed, 0 failed"
