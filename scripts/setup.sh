#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and run the project.
#   scripts/setup.sh sim   what the simulator needs (the main job): a C++
#                          compiler, CMake, Ninja, ccache, CLI11, nlohmann-json
#   scripts/setup.sh [all] also the test toolchain: GoogleTest, Google
#                          Benchmark, MinGW-w64, clang with libFuzzer
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

sim_packages=(
  g++ cmake ninja-build ccache
  libcli11-dev nlohmann-json3-dev
)
test_packages=(
  pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  clang libclang-rt-14-dev
)

case "${1:-all}" in
  sim) packages=("${sim_packages[@]}") ;;
  all) packages=("${sim_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: scripts/setup.sh [sim|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
