#!/usr/bin/env bash
# Configures and builds one flavour: build.sh [release|test|sanitize]. Prints the build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
case "$flavour" in
  release)  dir=$root/build/release;  flags=(-DCMAKE_BUILD_TYPE=Release -DZEPHRA_BUILD_TESTS=OFF) ;;
  test)     dir=$root/build/test;     flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize) dir=$root/build/sanitize; flags=(-DCMAKE_BUILD_TYPE=Debug -DZEPHRA_SANITIZE=ON -DZEPHRA_BUILD_BENCH=OFF) ;;
  *) echo "unknown flavour $flavour (release, test, sanitize)" >&2; exit 2 ;;
esac
# A compiler cache, when installed, makes rebuilds of other checkouts cheap.
command -v ccache >/dev/null && flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
