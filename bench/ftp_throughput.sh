#!/usr/bin/env bash
# FTP throughput of zephraftp-cli beside curl, plain and over TLS, side by side in one run:
# download and upload of a 1 GiB file from/to vsftpd on 127.0.0.1, passive mode, binary.
#   plain: vsftpd as it comes; zephraftp-cli (each route) and curl.
#   tls:   a second vsftpd that takes only explicit FTP over TLS (AUTH TLS, PROT P, anonymous
#          logins and data forced onto TLS, require_ssl_reuse) with a certificate made for this
#          run; zephraftp-cli --tls require --cacert (each route) and curl --ssl-reqd --cacert.
# Reports MB/s, CPU time and peak RSS of every client, and the ratios (speed of the first over
# the second): zephraftp-cli / curl in each mode (target >= 1.0), zephraftp-cli over TLS / the
# same route plain (target >= 0.5), and the highest peak RSS of zephraftp-cli (target < 64 MiB).
#   bench/ftp_throughput.sh [path/to/zephraftp-cli]   (default: build/release/src/app/zephraftp-cli)
#   SIZE_MIB=1024 ROUNDS=3 MODES="plain tls" ROUTES="engine direct" bench/ftp_throughput.sh
# Each figure is the best of ROUNDS; the clients take turns going first from round to round.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/release/src/app/zephraftp-cli}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-3}
modes=${MODES:-plain tls}
routes=${ROUTES:-engine direct}
[ -x "$cli" ] || { echo "no zephraftp-cli at $cli (build with scripts/build.sh release)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing (scripts/deps.sh installs it)" >&2; exit 2; }
[ -x /usr/sbin/vsftpd ] || { echo "vsftpd is missing (scripts/deps.sh installs it)" >&2; exit 2; }
if [ ! -x /usr/bin/time ]; then
    echo "installing the time package for peak-memory figures" >&2
    SUDO=(); [ "$(id -u)" -eq 0 ] || SUDO=(sudo -n)
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq time </dev/null >&2
fi
# Plain runs say --tls off where the CLI knows TLS (its default would try AUTH TLS first).
plain_options=()
if "$cli" --help 2>&1 | grep -q -- '--tls'; then
    plain_options=(--tls off)
elif [[ " $modes " == *" tls "* ]]; then
    echo "$cli has no --tls option; run with MODES=plain or build a newer one" >&2
    exit 2
fi

# In memory when there is room (the disk would measure itself), else on disk.
need_kib=$(( (size_mib * 3 + 512) * 1024 ))
if [ "$(df -k --output=avail /dev/shm 2>/dev/null | tail -1)" -gt "$need_kib" ] 2>/dev/null; then
    work=$(mktemp -d /dev/shm/zephra-ftp-bench-XXXXXX)
else
    work=$(mktemp -d /tmp/zephra-ftp-bench-XXXXXX)
fi
vsftpd_pid=""
tls_vsftpd_pid=""
cleanup() {
    for pid in $vsftpd_pid $tls_vsftpd_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/local"

. "$root/bench/lib.sh"
tls_session=""
if [[ " $modes " == *" tls "* ]]; then
    start_vsftpd_tls
    tls_session=$(curl -v -s --ssl-reqd --cacert "$cert" "$tls_url/" 2>&1 \
                  | sed -n 's/^\* SSL connection using //p' | head -1)
fi

echo "preparing a ${size_mib} MiB file in $work" >&2
bytes=$((size_mib << 20))
head -c "$bytes" /dev/urandom > "$work/root/source.bin"
ln "$work/root/source.bin" "$work/local/source.bin"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# run_one MODE CLIENT DIRECTION: one measured transfer; CLIENT is a route of zephraftp-cli or curl.
run_one() {
    local mode=$1 who=$2 dir=$3 ns base options=()
    if [ "$mode" = tls ]; then
        base=$tls_url
        if [ "$who" = curl ]; then options=(--ssl-reqd --cacert "$cert"); else options=(--tls require --cacert "$cert"); fi
    else
        base=$url
        [ "$who" = curl ] || options=("${plain_options[@]}")
    fi
    if [ "$dir" = get ]; then
        if [ "$who" = curl ]; then
            ns=$(measure "$work/local/get.bin" curl -s -S --ftp-pasv "${options[@]}" -o "$work/local/get.bin" "$base/source.bin")
        else
            ns=$(measure "$work/local/get.bin" "$cli" --route "$who" "${options[@]}" get "$base/source.bin" "$work/local/get.bin")
        fi
        cmp -s "$work/local/source.bin" "$work/local/get.bin" || { echo "$mode $who download differs" >&2; exit 1; }
        rm -f "$work/local/get.bin"
    else
        if [ "$who" = curl ]; then
            ns=$(measure "$work/root/put.bin" curl -s -S --ftp-pasv "${options[@]}" -T "$work/local/source.bin" "$base/put.bin")
        else
            ns=$(measure "$work/root/put.bin" "$cli" --route "$who" "${options[@]}" put "$work/local/source.bin" "$base/put.bin")
        fi
        cmp -s "$work/local/source.bin" "$work/root/put.bin" || { echo "$mode $who upload differs" >&2; exit 1; }
        rm -f "$work/root/put.bin"
    fi
    keep_best "${mode}_${who}_$dir" "$ns"
}

for round in $(seq 1 "$rounds"); do
    echo "round $round of $rounds" >&2
    # Alternate who goes first, so nobody profits from a warmer cache.
    if [ $((round % 2)) -eq 1 ]; then clients="$routes curl"; else clients="curl $(echo "$routes" | tr ' ' '\n' | tac | tr '\n' ' ')"; fi
    for mode in $modes; do
        for who in $clients; do
            for dir in get put; do
                run_one "$mode" "$who" "$dir"
            done
        done
    done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

line() {  # line KEY LABEL
    awk -v label="$2" -v t="${best[$1]}" -v r="${rss[$1]}" -v c="${cpu[$1]}" -v b="$bytes" 'BEGIN {
        s = t / 1e9
        printf "  %-24s %7.1f MB/s  %6.3f s  CPU %5.2f s  peak RSS %5.1f MiB\n", label, b / s / 1e6, s, c / 1000, r / 1024 }'
}
ratio() {  # ratio LABEL KEY_FAST KEY_SLOW TARGET: speed of KEY_FAST over that of KEY_SLOW
    awk -v label="$1" -v a="${best[$2]}" -v b="${best[$3]}" -v target="$4" 'BEGIN {
        r = b / a
        printf "  %-44s %5.2f  (target >= %s: %s)\n", label, r, target, (r >= target) ? "met" : "NOT met" }'
}

echo "vsftpd on 127.0.0.1, passive, binary, ${size_mib} MiB, best of $rounds, files in $(dirname "$work")"
echo "load average $load_start at the start, $load_end at the end; $(nproc) cores"
[ -z "$tls_session" ] || echo "TLS: $tls_session (explicit, data connections resume the control session)"
for mode in $modes; do
    for dir in get put; do
        echo "$mode $dir"
        for who in $routes; do line "${mode}_${who}_$dir" "zephraftp-cli ($who)"; done
        line "${mode}_curl_$dir" "curl"
    done
done
echo "ratios"
for mode in $modes; do
    for dir in get put; do
        for who in $routes; do
            ratio "$mode $dir: zephraftp-cli ($who) / curl" "${mode}_${who}_$dir" "${mode}_curl_$dir" 1.0
        done
    done
done
if [[ " $modes " == *" plain "* && " $modes " == *" tls "* ]]; then
    for dir in get put; do
        for who in $routes; do
            ratio "$dir: zephraftp-cli ($who) TLS / plain" "tls_${who}_$dir" "plain_${who}_$dir" 0.5
        done
    done
fi
peak=0
for key in "${!rss[@]}"; do
    [[ "$key" == *_curl_* ]] || [ "${rss[$key]}" -le "$peak" ] || peak=${rss[$key]}
done
awk -v p="$peak" 'BEGIN { printf "  %-44s %5.1f MiB  (target < 64 MiB: %s)\n", "peak RSS of zephraftp-cli", p / 1024, (p < 65536) ? "met" : "NOT met" }'
