#!/usr/bin/env bash
# The main job: builds the simulator alone (the sim preset: optimised, no
# test toolchain) and runs it with its built-in default device; arguments
# are passed on (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh sim
cmake --preset sim >/dev/null
cmake --build --preset sim -j "$(nproc)" >/dev/null
exec build/sim/apps/ovuac2sim/ovuac2sim "$@"
