#!/usr/bin/env bash
# FTP throughput of zephraftp-cli (engine route) beside curl, side by side in one run:
# download and upload of a 1 GiB file from/to vsftpd on 127.0.0.1, passive mode, binary.
# Reports MB/s, the ratio zephraftp-cli / curl per direction (target >= 1.0) and the peak RSS of
# zephraftp-cli (target < 64 MiB).
#   bench/ftp_throughput.sh [path/to/zephraftp-cli]   (default: build/release/src/app/zephraftp-cli)
#   SIZE_MIB=1024 ROUNDS=3 bench/ftp_throughput.sh     (each figure is the best of ROUNDS)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/release/src/app/zephraftp-cli}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-3}
[ -x "$cli" ] || { echo "no zephraftp-cli at $cli (build with scripts/build.sh release)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing (scripts/deps.sh installs it)" >&2; exit 2; }
[ -x /usr/sbin/vsftpd ] || { echo "vsftpd is missing (scripts/deps.sh installs it)" >&2; exit 2; }
if [ ! -x /usr/bin/time ]; then
    echo "installing the time package for peak-memory figures" >&2
    SUDO=(); [ "$(id -u)" -eq 0 ] || SUDO=(sudo -n)
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq time </dev/null >&2
fi

# In memory when there is room (the disk would measure itself), else on disk.
need_kib=$(( (size_mib * 3 + 512) * 1024 ))
if [ "$(df -k --output=avail /dev/shm 2>/dev/null | tail -1)" -gt "$need_kib" ] 2>/dev/null; then
    work=$(mktemp -d /dev/shm/zephra-ftp-bench-XXXXXX)
else
    work=$(mktemp -d /tmp/zephra-ftp-bench-XXXXXX)
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
mkdir -p "$work/root" "$work/local"

. "$root/bench/lib.sh"

echo "preparing a ${size_mib} MiB file in $work" >&2
head -c $((size_mib << 20)) /dev/urandom > "$work/root/source.bin"
cp "$work/root/source.bin" "$work/local/source.bin"
bytes=$((size_mib << 20))


for round in $(seq 1 "$rounds"); do
    echo "round $round of $rounds" >&2
    # Alternate who goes first, so neither profits from a warmer cache.
    if [ $((round % 2)) -eq 1 ]; then order="zephra curl"; else order="curl zephra"; fi
    for who in $order; do
        if [ "$who" = zephra ]; then
            ns=$(measure "$work/local/get.bin" "$cli" get "$url/source.bin" "$work/local/get.bin")
            keep_best zephra_get "$ns"
            cmp -s "$work/root/source.bin" "$work/local/get.bin" || { echo "zephraftp-cli download differs" >&2; exit 1; }
            rm -f "$work/local/get.bin"
            ns=$(measure "$work/root/put.bin" "$cli" put "$work/local/source.bin" "$url/put.bin")
            keep_best zephra_put "$ns"
            cmp -s "$work/local/source.bin" "$work/root/put.bin" || { echo "zephraftp-cli upload differs" >&2; exit 1; }
            rm -f "$work/root/put.bin"
        else
            ns=$(measure "$work/local/get.bin" curl -s -S --ftp-pasv -o "$work/local/get.bin" "$url/source.bin")
            keep_best curl_get "$ns"
            rm -f "$work/local/get.bin"
            ns=$(measure "$work/root/put.bin" curl -s -S --ftp-pasv -T "$work/local/source.bin" "$url/put.bin")
            keep_best curl_put "$ns"
            rm -f "$work/root/put.bin"
        fi
    done
done

report() {  # report DIRECTION
    awk -v d="$1" -v z="${best[zephra_$1]}" -v c="${best[curl_$1]}" -v zr="${rss[zephra_$1]}" \
        -v cr="${rss[curl_$1]}" -v zc="${cpu[zephra_$1]}" -v cc="${cpu[curl_$1]}" -v b="$bytes" 'BEGIN {
        zs = z / 1e9; cs = c / 1e9
        printf "%-4s zephraftp-cli %7.1f MB/s (%6.3f s, CPU %5.2f s, peak RSS %5.1f MiB)   curl %7.1f MB/s (%6.3f s, CPU %5.2f s, peak RSS %5.1f MiB)   ratio %.2f\n",
               d, b / zs / 1e6, zs, zc / 1000, zr / 1024, b / cs / 1e6, cs, cc / 1000, cr / 1024, cs / zs }'
}
echo "vsftpd on 127.0.0.1, passive, binary, ${size_mib} MiB, best of $rounds, files in $(dirname "$work"), load $(cut -d' ' -f1-3 /proc/loadavg)"
report get
report put
