#!/usr/bin/env python3
"""The version check under Wine finding its proxy in the user's settings, as WinHTTP reads
them: the binary DefaultConnectionSettings value written the way Windows writes it, with a
static proxy and its bypass list, or a PAC address served on loopback; squid on loopback, and
its Basic sign-on with the credential the office stored in Credential Manager for the proxy.
Also https through squid's CONNECT with the client's TLS (Schannel) inside the tunnel.
In a copy of the prefix: the settings must never reach the other tests' programs.
Usage: proxy_wine_test.py UPDATE_CHECK CREDWRITE HTTPGET KEYS WINE_RUN KIND"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import http.server

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_support import ReferenceServer, check, publish, read, summary  # noqa: E402
from proxy_support import (CONNECTIONS, DIRECT, PAC, PASSWORD, PROXY, USER, Squid,  # noqa
                           connection_settings)
from tls_support import TlsServer, make_certificates  # noqa: E402

UPDATE_CHECK, CREDWRITE, HTTPGET, KEYS, WINE_RUN, KIND = sys.argv[1:7]
BODY = b"por dentro do tunel"
class Pac(http.server.BaseHTTPRequestHandler):
    script = b""
    fetched = 0
    stall = 0

    def do_GET(self):
        Pac.fetched += 1
        if Pac.stall:
            time.sleep(Pac.stall)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
        self.send_header("Content-Length", str(len(Pac.script)))
        self.end_headers()
        self.wfile.write(Pac.script)

    def log_message(self, *args):
        pass


def main():
    work = tempfile.mkdtemp(prefix="qvb-proxy-wine-")
    top = os.path.join(HERE, "..", "..")
    prefix = os.path.join(work, "prefix")
    shutil.copytree(os.path.join(top, "build", "wine", KIND), prefix, symlinks=True)
    env = dict(os.environ, QVB_WINEPREFIX=prefix, WINEPREFIX=prefix, WINEDEBUG="-all")
    for name in ("http_proxy", "https_proxy", "no_proxy"):
        env.pop(name, None)

    def wine(*args, timeout=120):
        done = subprocess.run([WINE_RUN, KIND, *args], env=env, capture_output=True,
                              timeout=timeout)
        return done.returncode, (done.stdout + done.stderr).decode("latin-1")

    def settings(data):
        wine("reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
             "/d", data.hex(), "/f")

    pac_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Pac)
    threading.Thread(target=pac_server.serve_forever, daemon=True).start()
    pac_url = f"http://127.0.0.1:{pac_server.server_port}/proxy.pac"
    try:
        src, root, inst = (os.path.join(work, n) for n in ("src", "root", "inst"))
        os.makedirs(src)
        os.makedirs(inst)
        with open(os.path.join(src, "QVBrelmoxApp.exe"), "wb") as f:
            f.write(b"MZ app 1")
        publish(src, root, "1.0")
        inst_path = "Z:" + inst.replace("/", "\\")
        with ReferenceServer(root) as server, Squid() as squid:
            down = f"127.0.0.1:{squid.port + 1 if squid.port < 65535 else 1}"
            origin = f"http://127.0.0.1:{server.port}/"
            for name, data, script, through in (
                    ("the static proxy", connection_settings(DIRECT | PROXY, squid.address),
                     None, True),
                    ("a static proxy for https only",
                     connection_settings(DIRECT | PROXY, f"https={squid.address}"), None, False),
                    ("the bypass list names the server",
                     connection_settings(DIRECT | PROXY, squid.address, "<local>;127.0.0.*"),
                     None, False),
                    ("a PAC address",
                     connection_settings(DIRECT | PAC, "", "", pac_url),
                     f"PROXY {squid.address}", True),
                    ("a PAC answer of DIRECT", connection_settings(DIRECT | PAC, "", "", pac_url),
                     "DIRECT", False),
                    ("the PAC's first proxy is down", connection_settings(
                        DIRECT | PAC, "", "", pac_url), f"PROXY {down}; PROXY {squid.address}",
                     True),
                    ("the PAC's proxy is down, then DIRECT", connection_settings(
                        DIRECT | PAC, "", "", pac_url), f"PROXY {down}; DIRECT", False),
                    # Hostile scripts: the start goes on straight, in bounded time and memory.
                    ("a PAC server that never answers", connection_settings(
                        DIRECT | PAC, "", "", pac_url), "stall", False),
                    ("a PAC script past 1 MiB naming squid", connection_settings(
                        DIRECT | PAC, "", "", pac_url), "huge", False),
                    ("a PAC script that never returns", connection_settings(
                        DIRECT | PAC, "", "", pac_url), "loop", False)):
                settings(data)
                Pac.stall = 60 if script == "stall" else 0
                if script == "huge":
                    Pac.script = ('function FindProxyForURL(url, host) { return "PROXY %s"; }\n'
                                  '//%s' % (squid.address, "x" * (2 << 20))).encode()
                elif script == "loop":
                    Pac.script = b"function FindProxyForURL(url, host) { for (;;) {} }"
                elif script:
                    Pac.script = ('function FindProxyForURL(url, host) { return "%s"; }'
                                  % script).encode()
                started = time.time()
                squid.clear_log()
                server.clear_log()
                fetched = Pac.fetched
                rc, out = wine(UPDATE_CHECK, "--dir", inst_path, "--server",
                               f"127.0.0.1:{server.port}", "--versao-exe", "1.0")
                log = squid.log()
                through_squid = bool(log) and all(e[2].startswith(origin) for e in log)
                check(f"{name}: {'through squid' if through else 'direct'}",
                      rc == 0 and through_squid == through and server.requests()
                      and (not through or len(log) == len(server.requests())),
                      f"{log} {server.requests()} {out}")
                if script:
                    check(f"{name}: the script fetched once", Pac.fetched == fetched + 1,
                          Pac.fetched - fetched)
                if script in ("stall", "loop"):
                    # The discovery's own cap (10 s) and the rest of a check under Wine.
                    took = time.time() - started
                    print(f"{name}: the check took {took:.1f} s")
                    check(f"{name}: the check ends in bounded time", took < 30, took)
            check("installed through the proxy",
                  read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1")
        with ReferenceServer(root) as server, Squid("basic") as signed:
            settings(connection_settings(DIRECT | PROXY, signed.address))
            for name, password, works in (("no stored credential", None, False),
                                          ("the stored credential", PASSWORD, True),
                                          ("a wrong stored password", "errada", False)):
                if password:
                    rc, out = wine(CREDWRITE, "generic", "127.0.0.1", USER, password)
                    check(f"{name}: stored", rc == 0, out)
                signed.clear_log()
                server.clear_log()
                rc, out = wine(UPDATE_CHECK, "--dir", inst_path, "--server",
                               f"127.0.0.1:{server.port}", "--versao-exe", "1.0")
                log = signed.log()
                denied = sum(entry[4] == "407" for entry in log)
                check(f"basic, {name}", rc == 0 and bool(server.requests()) == works and
                      all(e[3] == USER for e in log if e[4] == "200") and
                      (denied == 1 if works or not password else 1 < denied <= 4),
                      f"{log} {out}")
        # The user's own sign-on: Wine's SSPI finds the user's credentials for the proxy host
        # in Credential Manager, as a domain credential; nothing is asked, nothing stored by us.
        for scheme in ("ntlm", "negotiate"):
            with ReferenceServer(root) as server, Squid(scheme) as squid:
                settings(connection_settings(DIRECT | PROXY, squid.address))
                for name, password, works in (("the user's credentials", PASSWORD, True),
                                              ("a wrong password", "errada", False)):
                    rc, out = wine(CREDWRITE, "domain", "127.0.0.1", USER, password)
                    squid.clear_log()
                    server.clear_log()
                    rc, out = wine(UPDATE_CHECK, "--dir", inst_path, "--server",
                                   f"127.0.0.1:{server.port}", "--versao-exe", "1.0")
                    log = squid.log()
                    passed = [e for e in log if e[4] == "200"]
                    check(f"{scheme}, {name}", rc == 0 and bool(server.requests()) == works and
                          len(passed) == len(server.requests()) and
                          all(USER in e[3] for e in passed) and
                          len({e[0] for e in log}) <= (1 if works else 8) and
                          sum(e[4] == "407" for e in log) <= 12, f"{log} {out}")
        # https: CONNECT, then the client's own TLS inside the tunnel, against its CA alone
        # and by the server's own name.
        certs = make_certificates(os.path.join(work, "certs"), os.path.join(KEYS, "tls-ca.pem"),
                                  os.path.join(KEYS, "tls-ca.key"))
        ca = "Z:" + os.path.join(KEYS, "tls-ca.pem").replace("/", "\\")

        def answer(tls, head):
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY)
            tls.unwrap()
        with Squid() as squid, TlsServer(certs["valid"], answer) as good, \
                TlsServer(certs["other-host"], answer) as wrong:
            for name, port, works in (("https through a CONNECT tunnel", good.port, True),
                                      ("the tunnel's server is verified by its own name",
                                       wrong.port, False)):
                squid.clear_log()
                rc, out = wine(HTTPGET, "--proxy", squid.url, "--ca", ca,
                               f"https://127.0.0.1:{port}/s")
                log = squid.log()
                check(f"{name} (Schannel)", (rc == 0 and BODY.decode() in out) == works and
                      [e[1:3] for e in log] == [("CONNECT", f"127.0.0.1:{port}")],
                      f"{rc} {out} {log}")
    finally:
        pac_server.shutdown()
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    return summary("proxy under Wine")


if __name__ == "__main__":
    sys.exit(main())
