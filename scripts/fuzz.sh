#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then runs each for SECONDS over its corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      SECONDS defaults to 60; no TARGET runs them all
# One target runs at a time, at the lowest priority. Inputs that find new code go to the working
# copy build/fuzz/corpus/<target> (fuzz/corpus/<target> is only read); a crash, a leak, a hang
# or a blown memory limit leaves its input in build/fuzz/findings/<target>/. Prints executions
# and findings per target; exits 1 when anything was found. See docs/FUZZING.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
case "$seconds" in ''|*[!0-9]*) echo "usage: fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;; esac

"$root/scripts/deps.sh"
dir=$root/build/fuzz
flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++
       "-DCMAKE_CXX_FLAGS=-O1 -gline-tables-only" -DZEPHRA_FUZZ=ON -DZEPHRA_BUILD_TESTS=OFF
       -DZEPHRA_BUILD_BENCH=OFF)
command -v ccache >/dev/null && flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
nice -n 19 cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
nice -n 19 cmake --build "$dir" --target zephra_fuzz_targets -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in "$root"/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

# Leaks count as findings; a run over its time or memory limit does too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
summary=()
status=0
for t in "${targets[@]}"; do
  exe=$dir/fuzz/fuzz_$t
  [ -x "$exe" ] || { echo "no fuzz target $t" >&2; exit 2; }
  work=$dir/corpus/$t
  findings=$dir/findings/$t
  mkdir -p "$work" "$findings"
  # The framer's line limit is 64 KiB and a sealed chunk holds 64 KiB: their inputs may be
  # longer, to cross them.
  max_len=65536
  case "$t" in reply_framer|sealed) max_len=200000 ;; esac
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=2048
           -max_len="$max_len" -artifact_prefix="$findings/")
  [ -f "$root/fuzz/dict/$t.dict" ] && options+=(-dict="$root/fuzz/dict/$t.dict")
  log=$dir/fuzz-$t.log
  before=$(find "$findings" -type f | wc -l)
  echo "== $t: $seconds s" >&2
  # The run's own status is read from the findings directory: libFuzzer exits non-zero on a finding.
  (cd "$dir" && nice -n 19 "$exe" "${options[@]}" "$work" "$root/fuzz/corpus/$t") >"$log" 2>&1 || true
  after=$(find "$findings" -type f | wc -l)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$((after - before))
  [ "$found" -eq 0 ] || { status=1; grep -E "^(==[0-9]+==ERROR|SUMMARY|.*check failed)" "$log" >&2 || true; }
  summary+=("$(printf '%-14s %8s s %12s runs %8s/s %6s inputs %3s findings' "$t" "$seconds" "${runs:-?}" \
               "${rate:-?}" "$(find "$work" -type f | wc -l)" "$found")")
done
printf '%s\n' "${summary[@]}"
[ "$status" -eq 0 ] || echo "findings are in $dir/findings; logs in $dir/fuzz-<target>.log" >&2
exit "$status"
