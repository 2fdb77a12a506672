#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
#   scripts/test.sh             optimised build with debug information
#   scripts/test.sh --sanitize  Debug build with AddressSanitizer and UndefinedBehaviorSanitizer
# Further arguments go to ctest (for example -R crypto).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=test
if [ "${1:-}" = "--sanitize" ]; then flavour=sanitize; shift; fi
"$root/scripts/deps.sh"
dir=$("$root/scripts/build.sh" "$flavour")
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
cd "$dir"
ctest --output-on-failure -j "$(nproc)" "$@" </dev/null
