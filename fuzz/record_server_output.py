#!/usr/bin/python3
"""Records what real FTP servers send, as seed inputs for the fuzz targets.

Starts vsftpd and pyftpdlib on 127.0.0.1 (configured as tests/support/FtpTestServers.cpp does),
serving a tree with the names servers get wrong (blanks, UTF-8 and Latin-1 bytes, a line break,
a symbolic link, an old and a future date, a 5 GB sparse file), runs one control session against
each and writes the server's exact bytes:

  reply_framer/<server>-session   everything the server said on the control connection
  reply/<server>-<command>        each reply
  passive/<server>-pasv|-epsv     the passive-mode replies
  listing/<server>-list|-mlsd     the listings from the data connection

    fuzz/record_server_output.py OUTDIR      (then copy what is new into fuzz/corpus/)
"""

import os
import re
import socket
import subprocess
import sys
import tempfile
import time

PYFTPDLIB = r'''
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, root, first, last = sys.argv[1:5]
authorizer = DummyAuthorizer()
authorizer.add_user("zephra", "s3cret pass", root, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPHandler.passive_ports = list(range(int(first), int(last) + 1))
FTPServer(("127.0.0.1", int(port)), FTPHandler).serve_forever(timeout=0.2)
'''

VSFTPD = '''listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root={root}
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port={first}
pasv_max_port={last}
connect_from_port_20=NO
xferlog_enable=NO
use_localtime=NO
hide_ids=YES
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_tree(root):
    def put(name, data=b"hello\n", mtime=None):
        path = os.path.join(root.encode(), name)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))

    put(b"a.txt")
    put(b"my file  two.txt")
    put(b" lead.txt")
    put("café.txt".encode())
    put(b"latin\xe9.txt")
    put(b"line\nbreak.txt")
    put(b"semi;type=dir; x")
    put(b"-rw-r--r-- tricky")
    put(b".hidden")
    put(b"old.txt", mtime=978307200)      # 2001-01-01
    put(b"future.txt", mtime=1893456000)  # 2030-01-01
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.truncate(5 * 1024 ** 3)
    os.mkdir(os.path.join(root, "sub"))
    os.mkdir(os.path.join(root, "empty dir"))
    put(b"sub/inner.txt")
    os.symlink("a.txt", os.path.join(root, "link"))


class Session:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""
        self.transcript = b""

    def reply(self):
        """One complete reply, as raw bytes."""
        while True:
            lines = self.buffer.split(b"\n")
            first = None
            for i, line in enumerate(lines[:-1]):
                if first is None:
                    if re.match(rb"^\d{3}", line):
                        first = line[:3]
                        if line[3:4] != b"-":
                            return self._take(i)
                elif line[:3] == first and line[3:4] in (b" ", b"\r"):
                    return self._take(i)
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("the server closed the connection")
            self.buffer += data
            self.transcript += data

    def _take(self, last_index):
        lines = self.buffer.split(b"\n")
        taken = b"\n".join(lines[: last_index + 1]) + b"\n"
        self.buffer = self.buffer[len(taken):]
        return taken

    def command(self, text):
        self.sock.sendall(text.encode("utf-8", "surrogateescape") + b"\r\n")
        return self.reply()

    def data(self, command, passive="PASV"):
        """The bytes a data command sends, with its replies."""
        pasv = self.command(passive)
        if passive == "PASV":
            numbers = re.search(rb"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", pasv).groups()
            port = int(numbers[4]) * 256 + int(numbers[5])
        else:
            port = int(re.search(rb"\(\|\|\|(\d+)\|\)", pasv).group(1))
        conn = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall(command.encode() + b"\r\n")
        first = self.reply()
        payload = b""
        if first.startswith((b"150", b"125")):
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                payload += chunk
            final = self.reply()
        else:
            final = b""
        conn.close()
        return pasv, first + final, payload


def record(name, port, user, password, out):
    def write(kind, label, data):
        os.makedirs(os.path.join(out, kind), exist_ok=True)
        with open(os.path.join(out, kind, "%s-%s" % (name, label)), "wb") as f:
            f.write(data)

    s = Session(port)
    write("reply", "greeting", s.reply())
    for label, cmd in [("user", "USER " + user), ("pass", "PASS " + password), ("syst", "SYST"),
                       ("feat", "FEAT"), ("help", "HELP"), ("stat", "STAT"), ("pwd", "PWD"),
                       ("opts-utf8", "OPTS UTF8 ON"), ("type", "TYPE I"), ("size", "SIZE a.txt"),
                       ("size-missing", "SIZE nosuch"), ("mdtm", "MDTM a.txt"), ("cwd", "CWD sub"),
                       ("cdup", "CDUP"), ("cwd-missing", "CWD nosuch"), ("mkd", "MKD new dir"),
                       ("rmd", "RMD new dir"), ("dele-missing", "DELE nosuch"),
                       ("rnfr", "RNFR a.txt"), ("rnto", "RNTO b.txt"), ("rnfr-back", "RNFR b.txt"),
                       ("rnto-back", "RNTO a.txt"), ("noop", "NOOP"), ("abor", "ABOR"),
                       ("unknown", "XYZZY"), ("port-bad", "PORT 1,2,3"), ("stat-dir", "STAT sub"),
                       ("mlst", "MLST a.txt")]:
        write("reply", label, s.command(cmd))
    pasv, replies, listing = s.data("LIST")
    write("passive", "pasv", pasv)
    write("reply", "list", replies)
    write("listing", "list", listing)
    epsv, _, listing_a = s.data("LIST -a", "EPSV")
    write("passive", "epsv", epsv)
    write("listing", "list-a", listing_a)
    _, _, sub = s.data("LIST sub")
    write("listing", "list-sub", sub)
    _, replies, mlsd = s.data("MLSD")
    write("reply", "mlsd", replies)
    if mlsd:
        write("listing", "mlsd", mlsd)
    _, replies, _ = s.data("RETR nosuch")
    write("reply", "retr-missing", replies)
    _, replies, _ = s.data("RETR a.txt")
    write("reply", "retr", replies)
    write("reply", "quit", s.command("QUIT"))
    s.sock.close()
    write("reply_framer", "session", s.transcript)


def wait_for(port, proc):
    deadline = time.time() + 10
    while time.time() < deadline and proc.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as c:
                if c.recv(100).startswith(b"220"):
                    return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("server on port %d did not start" % port)


def main():
    out = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        os.mkdir(root)
        make_tree(root)
        servers = []
        try:
            port = free_port()
            conf = os.path.join(work, "vsftpd.conf")
            with open(conf, "w") as f:
                f.write(VSFTPD.format(port=port, root=root, first=41000, last=41040))
            proc = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            servers.append(proc)
            wait_for(port, proc)
            record("vsftpd", port, "anonymous", "guest@example.org", out)

            port = free_port()
            proc = subprocess.Popen(["/usr/bin/python3", "-c", PYFTPDLIB, str(port), root, "41100", "41140"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            servers.append(proc)
            wait_for(port, proc)
            record("pyftpdlib", port, "zephra", "s3cret pass", out)
        finally:
            for proc in servers:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    main()
