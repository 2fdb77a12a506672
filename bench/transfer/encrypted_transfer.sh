#!/usr/bin/env bash
# Encrypted transfers against plain ones, side by side in one run: zephraftp-cli put and get of
# a 1 GiB file to/from vsftpd on 127.0.0.1 (passive, binary), plain and with --encrypt/--decrypt
# (the cipher streams the file on its way, no working copy), on the engine route and the direct
# route. Reports MB/s, CPU time and peak RSS of each, and per direction the ratio encrypted time /
# plain time (target <= 1.25). Every encrypted result is checked: the server copy against
# "zephraftp-cli encrypt", the downloaded file against the original.
#   bench/transfer/encrypted_transfer.sh [path/to/zephraftp-cli]  (default: build/release/src/app/zephraftp-cli)
#   SIZE_MIB=1024 ROUNDS=3 ROUTES="engine direct" bench/transfer/encrypted_transfer.sh
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

# In memory when there is room (the disk would measure itself), else on disk.
need_kib=$(( (size_mib * 4 + 512) * 1024 ))
if [ "$(df -k --output=avail /dev/shm 2>/dev/null | tail -1)" -gt "$need_kib" ] 2>/dev/null; then
    work=$(mktemp -d /dev/shm/zephra-enc-bench-XXXXXX)
else
    work=$(mktemp -d /tmp/zephra-enc-bench-XXXXXX)
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
export TMPDIR=$work/tmp  # the CLI's private keyspace directory

. "$root/bench/lib.sh"

echo "preparing a ${size_mib} MiB file and its ciphertext in $work" >&2
bytes=$((size_mib << 20))
head -c "$bytes" /dev/urandom > "$work/local/source.bin"
ln "$work/local/source.bin" "$work/root/plain.bin"
"$cli" encrypt --key "$key" "$work/local/source.bin" "$work/root/cipher.bin"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)


run_one() {  # run_one ROUTE KIND
    local route=$1 kind=$2 ns
    case "$kind" in
    plain_put)
        ns=$(measure "$work/root/put.bin" "$cli" --route "$route" put "$work/local/source.bin" "$url/put.bin")
        cmp -s "$work/local/source.bin" "$work/root/put.bin" || { echo "$route plain upload differs" >&2; exit 1; }
        rm -f "$work/root/put.bin" ;;
    enc_put)
        ns=$(measure "$work/root/put.bin" "$cli" --route "$route" put --encrypt --key "$key" "$work/local/source.bin" "$url/put.bin")
        cmp -s "$work/root/cipher.bin" "$work/root/put.bin" || { echo "$route encrypted upload differs from encrypt" >&2; exit 1; }
        rm -f "$work/root/put.bin" ;;
    plain_get)
        ns=$(measure "$work/local/get.bin" "$cli" --route "$route" get "$url/plain.bin" "$work/local/get.bin")
        cmp -s "$work/local/source.bin" "$work/local/get.bin" || { echo "$route plain download differs" >&2; exit 1; }
        rm -f "$work/local/get.bin" ;;
    enc_get)
        ns=$(measure "$work/local/get.bin" "$cli" --route "$route" get --decrypt --key "$key" "$url/cipher.bin" "$work/local/get.bin")
        cmp -s "$work/local/source.bin" "$work/local/get.bin" || { echo "$route decrypted download differs" >&2; exit 1; }
        rm -f "$work/local/get.bin" ;;
    esac
    keep_best "${route}_$kind" "$ns"
}

for round in $(seq 1 "$rounds"); do
    echo "round $round of $rounds" >&2
    # Alternate who goes first, so neither profits from a warmer cache.
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
        -v pr="${rss[${r}_plain_$d]}" -v er="${rss[${r}_enc_$d]}" -v b="$bytes" 'BEGIN {
        ps = p / 1e9; es = e / 1e9
        printf "%-6s %-4s plain %7.1f MB/s (%6.3f s, CPU %5.2f s, RSS %5.1f MiB)   encrypted %7.1f MB/s (%6.3f s, CPU %5.2f s, RSS %5.1f MiB)   ratio %.2f\n",
               r, d, b / ps / 1e6, ps, pc / 1000, pr / 1024, b / es / 1e6, es, ec / 1000, er / 1024, es / ps }'
}
echo "vsftpd on 127.0.0.1, passive, binary, ${size_mib} MiB, best of $rounds, files in $(dirname "$work"), $(nproc) cores, load before $load_start, after $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cipher kernel: ${ZEPHRA_CIPHER_KERNEL:-best available}; ratio = encrypted time / plain time (target <= 1.25)"
for route in $routes; do
    line "$route" put
    line "$route" get
done
