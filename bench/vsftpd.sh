# Sourced by the transfer benchmarks: starts vsftpd on 127.0.0.1 in the foreground, as the
# launching user, anonymous with write access, serving $work/root (which must exist). Sets
# vsftpd_pid, port and url; the caller's cleanup kills vsftpd_pid. Waits (bounded) until it answers.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
pasv=$(( 20000 + RANDOM % 30000 ))
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
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
CONF
/usr/sbin/vsftpd "$work/vsftpd.conf" >"$work/vsftpd.log" 2>&1 &
vsftpd_pid=$!
for _ in $(seq 1 100); do
    curl -s --max-time 1 "ftp://127.0.0.1:$port/" >/dev/null 2>&1 && break
    sleep 0.1
done
url="ftp://127.0.0.1:$port"
