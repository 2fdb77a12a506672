#!/usr/bin/env bash
# Times `zephraftp-cli encrypt` (and decrypt) of a 256 MiB file in /dev/shm as a whole process:
# keyspace creation, reading, encrypting, writing, flushing, renaming and wiping included.
#   bench/cli_crypto.sh [path/to/zephraftp-cli]   (default: build/release/src/app/zephraftp-cli)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/release/src/app/zephraftp-cli}
[ -x "$cli" ] || { echo "no zephraftp-cli at $cli (build with scripts/build.sh release)" >&2; exit 2; }
work=$(mktemp -d /dev/shm/zephra-cli-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
size_mib=256
head -c $((size_mib << 20)) /dev/urandom > "$work/plain"

run() {  # run NAME ARGS...: best of three wall-clock times
    local name=$1; shift
    local best=""
    for _ in 1 2 3; do
        local start end ns
        start=$(date +%s%N)
        "$cli" "$@"
        end=$(date +%s%N)
        ns=$((end - start))
        if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
    done
    awk -v n="$name" -v ns="$best" -v mib="$size_mib" \
        'BEGIN { s = ns / 1e9; printf "%-8s %6.3f s  %6.2f GB/s  (%d MiB, whole process, best of 3)\n", n, s, mib * 1048576 / s / 1e9, mib }'
}

run encrypt encrypt --key 123456789 "$work/plain" "$work/cipher"
run decrypt decrypt --key 123456789 "$work/cipher" "$work/back"
cmp -s "$work/plain" "$work/back" || { echo "round trip differs" >&2; exit 1; }
