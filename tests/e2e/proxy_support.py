"""Debian's squid on loopback for the proxy tests, the demo and the benchmark: its own
configuration, log and memory cache in a temporary folder, sign-on by Basic (basic_ncsa_auth),
NTLM or Negotiate (Samba's ntlm_auth checking one fixed password), or none."""

import os
import pwd
import shutil
import signal
import struct
import subprocess
import tempfile
import time

from e2e_support import free_port, wait_for_port

SQUID = "/usr/sbin/squid"
NCSA = "/usr/lib/squid/basic_ncsa_auth"
USER, PASSWORD = "alice", "segredo-1"
# Where Windows keeps the user's proxy settings for WinHTTP, and the flags of the value.
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
DIRECT, PROXY, PAC, DETECT = 1, 2, 4, 8


def connection_settings(flags, proxy="", bypass="", pac=""):
    """DefaultConnectionSettings as Windows writes it: version 0x46, a change counter, the
    flags, then each text with its length, and the trailing zeros of the detection state."""
    data = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, pac):
        data += struct.pack("<I", len(text)) + text.encode("latin-1")
    return data + bytes(32)


CONFIG = """\
http_port 127.0.0.1:{port}
pid_filename {dir}/squid.pid
logformat qvb %>p %rm %ru %un %>Hs %Ss
access_log stdio:{dir}/access.log qvb
cache_log {dir}/cache.log
cache_store_log none
strip_query_terms off
coredump_dir {dir}
visible_hostname qvb-test-proxy
shutdown_lifetime 0 seconds
cache_mem {cache_mem} MB
maximum_object_size_in_memory 4 MB
{cache}
dns_v4_first on
acl to_loopback dst 127.0.0.0/8
acl CONNECT method CONNECT
{auth}
http_access deny !to_loopback
{access}
http_access deny all
"""


class Squid:
    """squid on a free loopback port; a context manager. auth: None, "basic", "ntlm",
    "negotiate" (the latter two offer Basic as well when basic is True)."""

    def __init__(self, auth=None, cache=True, basic=False):
        self.dir = tempfile.mkdtemp(prefix="qvb-squid-")
        self.port = free_port()
        self.seen = 0
        lines = []
        if auth in ("ntlm", "negotiate"):
            protocol = "squid-2.5-ntlmssp" if auth == "ntlm" else "gss-spnego"
            lines += [f"auth_param {auth} program /usr/bin/ntlm_auth "
                      f"--helper-protocol={protocol} --password={PASSWORD}",
                      f"auth_param {auth} children 2",
                      f"auth_param {auth} keep_alive on"]
        if auth == "basic" or basic:
            passwd = os.path.join(self.dir, "passwd")
            subprocess.run(["htpasswd", "-bc", passwd, USER, PASSWORD], check=True,
                           capture_output=True)
            lines += [f"auth_param basic program {NCSA} {passwd}", "auth_param basic realm qvb"]
        if auth:
            lines.append("acl signed proxy_auth REQUIRED")
        with open(os.path.join(self.dir, "squid.conf"), "w") as f:
            f.write(CONFIG.format(
                port=self.port, dir=self.dir, auth="\n".join(lines),
                cache_mem=16 if cache else 0,
                # Fresh for an hour whatever the server says: only the client's no-cache makes
                # it ask the server again.
                cache="refresh_pattern . 60 100% 60 override-lastmod" if cache
                else "cache deny all",
                access="http_access allow signed" if auth else "http_access allow all"))
        # squid drops to its own user: it must be able to write its folder.
        proxy = pwd.getpwnam("proxy")
        for name in [self.dir] + [os.path.join(self.dir, n) for n in os.listdir(self.dir)]:
            os.chown(name, proxy.pw_uid, proxy.pw_gid)
        self.proc = subprocess.Popen([SQUID, "-N", "-f", os.path.join(self.dir, "squid.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for_port(self.port, "squid", timeout=30)
        except RuntimeError:
            self.stop()
            raise
        self.address = f"127.0.0.1:{self.port}"
        self.url = f"http://{self.address}"

    def _lines(self):
        path = os.path.join(self.dir, "access.log")
        return open(path, encoding="latin-1").read().splitlines() if os.path.exists(path) else []

    def log(self):
        """The access log since the last clear_log, one tuple per request: (client port,
        method, URL, user, status, cache result)."""
        lines, deadline = self._lines(), time.time() + 2
        while time.time() < deadline:  # squid writes its log a moment after the answer
            time.sleep(0.2)
            again = self._lines()
            if again == lines:
                break
            lines = again
        # A connection that sent nothing (a wait for the port) is no request.
        return [tuple(line.split(" ")) for line in lines[self.seen:]
                if not line.split(" ")[1:2] == ["-"]]

    def clear_log(self):
        self.log()
        self.seen = len(self._lines())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # Its helpers and pinger end with it.
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
