#!/usr/bin/env bash
# The main job: builds the simulator (release preset) and runs it with its
# built-in default device; arguments are passed on (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target ovuac2sim -j "$(nproc)" >/dev/null
exec build/release/apps/ovuac2sim/ovuac2sim "$@"
