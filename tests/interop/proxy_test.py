#!/usr/bin/env python3
"""The client through Debian's squid on loopback: plain http with the absolute URI, https
through a CONNECT tunnel with the test CA pinned, Basic sign-on and its bounded retries; the
version check through squid from http_proxy, no_proxy and the installation's own setting, on
one connection, and past squid's cache to a new release.
Usage: proxy_test.py HTTPGET UPDATE_CHECK KEY_DIR"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_support import ReferenceServer, check, publish, read, refused_address, summary  # noqa
from proxy_support import PASSWORD, USER, Squid  # noqa: E402
from tls_support import TlsServer, make_certificates  # noqa: E402

HTTPGET, UPDATE_CHECK, KEYS = sys.argv[1:4]
BODY = b"corpo " * 1000


class Origin(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    heads = []

    def do_GET(self):
        Origin.heads.append(str(self.headers))
        self.send_response(200)
        self.send_header("Content-Length", str(len(BODY)))
        self.end_headers()
        self.wfile.write(BODY)

    def log_message(self, *args):
        pass


def get(url, *options):
    done = subprocess.run([HTTPGET, *options, url], capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode("latin-1")


def run_check(inst, port, env=None):
    environment = {k: v for k, v in os.environ.items()
                   if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
    environment.update(env or {})
    done = subprocess.run([UPDATE_CHECK, "--dir", inst, "--server", f"127.0.0.1:{port}",
                           "--versao-exe", "1.0"], capture_output=True, timeout=120,
                          env=environment)
    return done.returncode, (done.stdout + done.stderr).decode("latin-1")


def client(work):
    """httpget through squid: the request line, sign-on, tunnels."""
    origin = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
    threading.Thread(target=origin.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{origin.server_port}/a/b.txt?x=1"
    certs = make_certificates(os.path.join(work, "certs"), os.path.join(KEYS, "tls-ca.pem"),
                              os.path.join(KEYS, "tls-ca.key"))
    ca = os.path.join(KEYS, "tls-ca.pem")

    def tls_answer(tls, head):
        tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY)
        tls.unwrap()
    try:
        with Squid() as squid:
            rc, out, err = get(url, "--proxy", squid.url)
            check("plain http through squid", rc == 0 and out == BODY, err)
            log = squid.log()
            check("squid saw the absolute URI", [entry[1:3] for entry in log] == [("GET", url)],
                  log)
            check("the head is the client's, and asks no cache",
                  "Cache-Control: no-cache" in Origin.heads[-1]
                  and "Mozilla/3.0 (compatible; QVBrelmox)" in Origin.heads[-1], Origin.heads)
            with TlsServer(certs["valid"], tls_answer) as good, \
                    TlsServer(certs["other-host"], tls_answer) as wrong:
                rc, out, err = get(f"https://127.0.0.1:{good.port}/s", "--proxy", squid.url,
                                   "--ca", ca)
                check("https through a CONNECT tunnel", rc == 0 and out == BODY, err)
                check("squid saw only the tunnel", squid.log()[-1][1:3] ==
                      ("CONNECT", f"127.0.0.1:{good.port}"), squid.log())
                rc, out, err = get(f"https://127.0.0.1:{wrong.port}/s", "--proxy", squid.url,
                                   "--ca", ca)
                check("the tunnel's server is verified by its own name",
                      rc == 1 and "EIdTlsError" in err, err)
        with Squid("basic") as squid:
            for name, user, status, denied in (
                    ("right password", f"{USER}:{PASSWORD}", 0, 1),
                    ("wrong password: 1 + AuthRetries tries", f"{USER}:errada", 1, 4),
                    ("no credential", None, 1, 1)):
                squid.clear_log()
                options = ["--proxy", squid.url] + (["--proxy-user", user] if user else [])
                rc, out, err = get(url, *options)
                log = squid.log()
                check(f"basic, {name}", rc == status and
                      sum(entry[4] == "407" for entry in log) == denied, f"{err} {log}")
                with TlsServer(certs["valid"], tls_answer) as good:
                    rc, out, err = get(f"https://127.0.0.1:{good.port}/", *options, "--ca", ca)
                check(f"basic over CONNECT, {name}", (rc == 0) == (status == 0) and
                      (status == 0 or "407" in err), err)
    finally:
        origin.shutdown()


def version_check(work):
    """update-check through squid: where the proxy comes from, one connection, the cache."""
    src, root = os.path.join(work, "src"), os.path.join(work, "root")
    os.makedirs(src)
    with open(os.path.join(src, "QVBrelmoxApp.exe"), "wb") as f:
        f.write(b"MZ app 1")
    publish(src, root, "1.0")
    inst = os.path.join(work, "inst")
    os.makedirs(inst)
    ini = os.path.join(inst, "QVBrelmox.ini")
    with ReferenceServer(root) as server, Squid("basic") as signed, Squid() as caching:
        env = {"http_proxy": f"http://{USER}:{PASSWORD}@{signed.address}"}
        rc, out = run_check(inst, server.port, env)
        log = signed.log()
        check("check through squid installs", rc == 0 and
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1", out)
        passed = [entry for entry in log if entry[4] == "200"]
        check("every request through squid, signed on",
              len(passed) == len(server.requests()) and all(e[3] == USER for e in passed)
              and all(e[2].startswith(f"http://127.0.0.1:{server.port}/") for e in passed), log)
        check("one connection to the proxy for the whole check",
              len({entry[0] for entry in log}) == 1, log)

        for name, env, setting, through in (
                ("no_proxy names the server", dict(env, no_proxy="localhost,127.0.0.1"), None,
                 False),
                ("the installation says direto", env, "direto", False),
                ("the installation names a proxy", {}, caching.address, True),
                ("a proxy that cannot be reached fails the check", {}, refused_address(),
                 False)):
            with open(ini, "wb") as f:
                f.write(b"[Proxy]\r\nServidor=%s\r\n" % setting.encode() if setting else b"")
            signed.clear_log()
            caching.clear_log()
            server.clear_log()
            rc, out = run_check(inst, server.port, env)
            seen = len(signed.log()) + len(caching.log())
            fetched = len(server.requests())
            check(f"{name}", rc == 0 and (seen > 0) == through and
                  (fetched > 0) == ("cannot" not in name), f"{seen} {fetched} {out}")

        # squid keeps what it fetched; the next release must still reach the installation.
        with open(ini, "wb") as f:
            f.write(b"[Proxy]\r\nServidor=%s\r\n" % caching.address.encode())
        with open(os.path.join(src, "QVBrelmoxApp.exe"), "wb") as f:
            f.write(b"MZ app 2")
        publish(src, root, "2.0")
        rc, out = run_check(inst, server.port)
        check("a new release past squid's cache",
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 2", out)


def main():
    work = tempfile.mkdtemp(prefix="qvb-proxy-")
    try:
        client(work)
        version_check(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("proxy")


if __name__ == "__main__":
    sys.exit(main())
