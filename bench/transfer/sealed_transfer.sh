#!/usr/bin/env bash
# Sealed encrypted transfers against plain ones, side by side in one run: zephraftp-cli put and
# get of a 1 GiB file to/from vsftpd on 127.0.0.1 (passive, binary), plain and with
# put --encrypt --format sealed / get --decrypt (the file is sealed or opened on its way, no
# working copy), on the engine route and the direct route. Reports MB/s of the plaintext, CPU
# time and peak RSS of each, and per direction the ratio sealed time / plain time (target
# <= 1.15). Every sealed result is checked: the server copy has the sealed size and decrypts
# with "zephraftp-cli decrypt" to the original, the downloaded file equals the original.
# The times include the key stretching (Argon2id, about 0.2 s) each sealed run does once.
#   bench/transfer/sealed_transfer.sh [path/to/zephraftp-cli]  (default: build/release/src/app/zephraftp-cli)
#   SIZE_MIB=1024 ROUNDS=3 ROUTES="engine direct" bench/transfer/sealed_transfer.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/release/src/app/zephraftp-cli}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-3}
routes=${ROUTES:-engine direct}
key=123456789
[ -x "$cli" ] || { echo "no zephraftp-cli at $cli (build with scripts/build.sh release)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing (scripts/deps.sh installs it)" >&2; exit 2; }
[ -x /usr/sbin/vsftpd ] || { echo "vsftpd is missing (scripts/deps.sh installs it)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (scripts/deps.sh installs the time package)" >&2; exit 2; }

need_kib=$(( (size_mib * 4 + 512) * 1024 ))
if [ "$(df -k --output=avail /dev/shm 2>/dev/null | tail -1)" -gt "$need_kib" ] 2>/dev/null; then
    work=$(mktemp -d /dev/shm/zephra-sealed-bench-XXXXXX)
else
    work=$(mktemp -d /tmp/zephra-sealed-bench-XXXXXX)
fi
vsftpd_pid=""
cleanup() {
    if [ -n "$vsftpd_pid" ]; then
        kill "$vsftpd_pid" 2>/dev/null || true
        wait "$vsftpd_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/local" "$work/tmp"
export TMPDIR=$work/tmp

. "$root/bench/lib.sh"

echo "preparing a ${size_mib} MiB file and its sealed copy in $work" >&2
plain_bytes=$((size_mib << 20))
# header + plaintext + one tag per chunk (64 KiB), the last chunk included
sealed_bytes=$((88 + plain_bytes + 16 * (plain_bytes / 65536 + 1)))
head -c "$plain_bytes" /dev/urandom > "$work/local/source.bin"
ln "$work/local/source.bin" "$work/root/plain.bin"
"$cli" encrypt --format sealed --key "$key" "$work/local/source.bin" "$work/root/sealed.bin"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

run_one() {  # run_one ROUTE KIND
    local route=$1 kind=$2 ns
    bytes=$plain_bytes  # what measure() expects of the output
    case "$kind" in
    plain_put)
        ns=$(measure "$work/root/put.bin" "$cli" --route "$route" put "$work/local/source.bin" "$url/put.bin")
        cmp -s "$work/local/source.bin" "$work/root/put.bin" || { echo "$route plain upload differs" >&2; exit 1; }
        rm -f "$work/root/put.bin" ;;
    enc_put)
        bytes=$sealed_bytes
        ns=$(measure "$work/root/put.bin" "$cli" --route "$route" put --encrypt --format sealed --key "$key" "$work/local/source.bin" "$url/put.bin")
        "$cli" decrypt --key "$key" "$work/root/put.bin" "$work/local/check.bin"
        cmp -s "$work/local/source.bin" "$work/local/check.bin" || { echo "$route sealed upload does not decrypt" >&2; exit 1; }
        rm -f "$work/root/put.bin" "$work/local/check.bin" ;;
    plain_get)
        ns=$(measure "$work/local/get.bin" "$cli" --route "$route" get "$url/plain.bin" "$work/local/get.bin")
        cmp -s "$work/local/source.bin" "$work/local/get.bin" || { echo "$route plain download differs" >&2; exit 1; }
        rm -f "$work/local/get.bin" ;;
    enc_get)
        ns=$(measure "$work/local/get.bin" "$cli" --route "$route" get --decrypt --key "$key" "$url/sealed.bin" "$work/local/get.bin")
        cmp -s "$work/local/source.bin" "$work/local/get.bin" || { echo "$route sealed download differs" >&2; exit 1; }
        rm -f "$work/local/get.bin" ;;
    esac
    keep_best "${route}_$kind" "$ns"
}

for round in $(seq 1 "$rounds"); do
    echo "round $round of $rounds" >&2
    if [ $((round % 2)) -eq 1 ]; then order="plain enc"; else order="enc plain"; fi
    for route in $routes; do
        for dir in put get; do
            for how in $order; do
                run_one "$route" "${how}_$dir"
            done
        done
    done
done

line() {  # line ROUTE DIRECTION
    local r=$1 d=$2
    awk -v r="$r" -v d="$d" -v p="${best[${r}_plain_$d]}" -v e="${best[${r}_enc_$d]}" \
        -v pc="${cpu[${r}_plain_$d]}" -v ec="${cpu[${r}_enc_$d]}" \
        -v pr="${rss[${r}_plain_$d]}" -v er="${rss[${r}_enc_$d]}" -v b="$plain_bytes" 'BEGIN {
        ps = p / 1e9; es = e / 1e9
        printf "%-6s %-4s plain %7.1f MB/s (%6.3f s, CPU %5.2f s, RSS %5.1f MiB)   sealed %7.1f MB/s (%6.3f s, CPU %5.2f s, RSS %5.1f MiB)   ratio %.2f\n",
               r, d, b / ps / 1e6, ps, pc / 1000, pr / 1024, b / es / 1e6, es, ec / 1000, er / 1024, es / ps }'
}
echo "vsftpd on 127.0.0.1, passive, binary, ${size_mib} MiB, best of $rounds, files in $(dirname "$work"), $(nproc) cores, load before $load_start, after $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ratio = sealed time / plain time (target <= 1.15); MB/s of the plaintext"
for route in $routes; do
    line "$route" put
    line "$route" get
done
