#!/usr/bin/env bash
# Times `zephraftp-cli encrypt` and decrypt of a file in /dev/shm as a whole process, in both
# formats: key preparation (the rotor keyspace; Argon2id for sealed), reading, encrypting,
# writing, flushing and renaming included. Each round trip is compared with the original.
#   bench/cli_crypto.sh [path/to/zephraftp-cli]   (default: build/release/src/app/zephraftp-cli)
#   SIZE_MIB=1024 bench/cli_crypto.sh              (file size, default 256 MiB)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/release/src/app/zephraftp-cli}
[ -x "$cli" ] || { echo "no zephraftp-cli at $cli (build with scripts/build.sh release)" >&2; exit 2; }
work=$(mktemp -d /dev/shm/zephra-cli-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
size_mib=${SIZE_MIB:-256}
echo 123456789 > "$work/key"
head -c $((size_mib << 20)) /dev/urandom > "$work/plain"

# CPU seconds (user + system) used so far by finished child processes, from the shell's own
# `times` (run in this shell, not a subshell, so that it sees the children).
child_cpu() {
    times > "$work/times"
    awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
                   printf "%.3f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$work/times"
}

run() {  # run NAME ARGS...: best of three wall-clock times, and CPU time of that run
    local name=$1; shift
    local best="" best_cpu=""
    for _ in 1 2 3; do
        local start end ns cpu0 cpu1
        child_cpu > "$work/cpu0"; cpu0=$(<"$work/cpu0")
        start=$(date +%s%N)
        "$cli" "$@"
        end=$(date +%s%N)
        child_cpu > "$work/cpu1"; cpu1=$(<"$work/cpu1")
        ns=$((end - start))
        if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then
            best=$ns
            best_cpu=$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.3f", b - a }')
        fi
    done
    awk -v n="$name" -v ns="$best" -v cpu="$best_cpu" -v mib="$size_mib" \
        'BEGIN { s = ns / 1e9; b = mib * 1048576
                 printf "%-16s %6.3f s  %6.2f GB/s wall  (%d MiB, whole process, best of 3; CPU %.3f s user+sys)\n",
                        n, s, b / s / 1e9, mib, cpu }'
}

run encrypt encrypt --key-file "$work/key" "$work/plain" "$work/cipher"
run decrypt decrypt --key-file "$work/key" "$work/cipher" "$work/back"
cmp -s "$work/plain" "$work/back" || { echo "round trip differs" >&2; exit 1; }
rm -f "$work/cipher" "$work/back"
run "encrypt, sealed" encrypt --format sealed --key-file "$work/key" "$work/plain" "$work/sealed"
run "decrypt, sealed" decrypt --key-file "$work/key" "$work/sealed" "$work/back"
cmp -s "$work/plain" "$work/back" || { echo "sealed round trip differs" >&2; exit 1; }
