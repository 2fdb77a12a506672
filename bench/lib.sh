# Sourced by the transfer benchmarks once work (a directory holding root/) is set; measure also
# needs bytes, the size every measured output must have.
#
# Starts vsftpd on 127.0.0.1 in the foreground, as the launching user, anonymous with write
# access, serving $work/root. Sets vsftpd_pid, port and url; the caller's cleanup kills
# vsftpd_pid. Waits (bounded) until it answers. start_vsftpd_tls starts a second one that speaks
# only FTP over TLS (see there).

# start_vsftpd NAME EXTRA_CONFIG [CURL_OPTION...]: one vsftpd with the shared configuration plus
# EXTRA_CONFIG (lines), its files named $work/vsftpd-NAME.*; waits until curl with the options
# given lists its root. Sets started_pid and started_port.
start_vsftpd() {
    local name=$1 extra=$2; shift 2
    started_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    local pasv=$(( 20000 + RANDOM % 30000 ))
    cat > "$work/vsftpd-$name.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$started_port
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root=$work/root
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pasv
pasv_max_port=$((pasv + 40))
xferlog_enable=NO
$extra
CONF
    /usr/sbin/vsftpd "$work/vsftpd-$name.conf" >"$work/vsftpd-$name.log" 2>&1 &
    started_pid=$!
    for _ in $(seq 1 100); do
        curl -s --max-time 1 "$@" "ftp://127.0.0.1:$started_port/" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "vsftpd ($name) does not answer: $(cat "$work/vsftpd-$name.log")" >&2
    return 1
}

# start_vsftpd_tls: a vsftpd that takes only FTP over TLS (explicit, AUTH TLS), anonymous logins
# and data included, and requires every data connection to resume the control connection's TLS
# session; its certificate (cert, for --cacert) is made now for 127.0.0.1 and localhost. Sets
# tls_vsftpd_pid, tls_port, tls_url and cert; the caller's cleanup kills tls_vsftpd_pid.
start_vsftpd_tls() {
    cert=$work/cert.pem
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
        -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout "$work/key.pem" -out "$cert" 2>/dev/null
    start_vsftpd tls "ssl_enable=YES
rsa_cert_file=$cert
rsa_private_key_file=$work/key.pem
allow_anon_ssl=YES
require_ssl_reuse=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
ssl_ciphers=HIGH" --ssl-reqd --cacert "$cert"
    tls_vsftpd_pid=$started_pid
    tls_port=$started_port
    tls_url="ftp://127.0.0.1:$tls_port"
}

start_vsftpd plain ""
vsftpd_pid=$started_pid
port=$started_port
url="ftp://127.0.0.1:$port"

# measure OUTPUT_FILE COMMAND...: nanoseconds on stdout; peak RSS (KiB), user and system CPU
# seconds of the client in $work/rss.
measure() {
    local output=$1; shift
    rm -f "$output"
    sync
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f "%M %U %S" -o "$work/rss" "$@"
    end=$(date +%s%N)
    [ "$(stat -c %s "$output")" -eq "$bytes" ] || { echo "wrong size of $output" >&2; exit 1; }
    echo $((end - start))
}

declare -A best rss cpu
keep_best() {  # keep_best KEY NS: best time, least CPU, highest peak RSS over the rounds
    if [ -z "${best[$1]:-}" ] || [ "$2" -lt "${best[$1]}" ]; then best[$1]=$2; fi
    local r u s c
    read -r r u s < "$work/rss"
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%d", (u + s) * 1000 }')
    if [ -z "${rss[$1]:-}" ] || [ "$r" -gt "${rss[$1]}" ]; then rss[$1]=$r; fi
    if [ -z "${cpu[$1]:-}" ] || [ "$c" -lt "${cpu[$1]}" ]; then cpu[$1]=$c; fi
}
