#!/usr/bin/env python3
"""httpget over TLS against openssl s_server and a Python TLS server on loopback: the protocol
versions, every certificate that must be refused, records cut anywhere, a session that ends
without close_notify, and a read time-out inside a record.
Usage: tls_test.py HTTPGET KEY_DIR [EMULATOR...]"""

import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_support import check, summary  # noqa: E402
from tls_support import SlowProxy, TlsServer, make_certificates  # noqa: E402

HTTPGET, KEYS = sys.argv[1:3]
EMULATOR = sys.argv[3:]
BODY = bytes(range(256)) * 80  # 20 KiB: more than one record


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def get(url, *options, ca=None, timeout=60):
    """httpget trusting the test CA alone, or the given one."""
    start = time.time()
    ca = program_path(ca or os.path.join(KEYS, "tls-ca.pem"))
    done = subprocess.run(EMULATOR + [HTTPGET, "--ca", ca, "--tls-info", *options, url],
                          capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr.decode("latin-1"), time.time() - start


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def s_server(cert, *options):
    port = free_port()
    proc = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}", "-cert",
                             cert[0], "-key", cert[1], "-www", "-quiet", *options],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while time.time() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return proc, port
        time.sleep(0.05)
    raise RuntimeError("s_server did not start")


def answer(length=True, close_notify=True, cut=None):
    """An answer with BODY (cut to cut bytes), with or without Content-Length, ending with or
    without the session's close_notify."""
    def play(tls, head):
        body = BODY if cut is None else BODY[:cut]
        tls.sendall(b"HTTP/1.1 200 OK\r\n" + (b"Content-Length: %d\r\n" % len(BODY)
                                               if length else b"Connection: close\r\n")
                    + b"\r\n" + body)
        if close_notify:
            tls.unwrap()
    return play


def main():
    work = tempfile.mkdtemp(prefix="qvb-tls-")
    try:
        certs = make_certificates(os.path.join(work, "certs"),
                                  os.path.join(KEYS, "tls-ca.pem"), os.path.join(KEYS, "tls-ca.key"))

        # openssl's own server, one protocol version at a time. Natively both must work; the
        # platform's TLS under Wine offers TLS 1.2, and a server it cannot meet is refused cleanly.
        for label, option, version in (("TLS 1.2", "-tls1_2", "TLSv1.2"),
                                       ("TLS 1.3", "-tls1_3", "TLSv1.3")):
            proc, port = s_server(certs["valid"], option)
            try:
                rc, out, err, _ = get(f"https://127.0.0.1:{port}/")
            finally:
                proc.kill()
            print(f"{label}: {err.strip().splitlines()[0] if err.strip() else rc}")
            if EMULATOR and version == "TLSv1.3" and rc != 0:
                check(f"s_server {label}: refused as a failed handshake", "EIdTlsError" in err, err)
            else:
                check(f"s_server {label}: body and version", rc == 0 and b"s_server" in out
                      and f"tls: {version}" in err, err)

        # Certificates that must be refused, each before any request reaches the server.
        for label, name, host, ca in (("expired", "expired", "127.0.0.1", None),
                                      ("for another name", "other-host", "127.0.0.1", None),
                                      ("from an unknown CA", "rogue", "127.0.0.1", None),
                                      ("for another address", "valid", "127.0.0.2", None),
                                      ("valid, another root pinned", "valid", "127.0.0.1",
                                       certs["rogue-ca"]),
                                      ("under a root with the pinned name and serial", "forged",
                                       "127.0.0.1", None),
                                      ("for client authentication only", "client-only",
                                       "127.0.0.1", None),
                                      ("naming its host in the subject only", "cn-only",
                                       "localhost", None),
                                      ("naming localhost, a NUL, then another name", "nul-name",
                                       "localhost", None)):
            served = []
            with TlsServer(certs[name], lambda tls, head: served.append(head),
                           address="127.0.0.1" if host == "localhost" else host) as server:
                rc, out, err, _ = get(f"https://{host}:{server.port}/", ca=ca)
            check(f"certificate {label}: refused before any request", rc == 1
                  and "EIdTlsError" in err and not served, err)

        # Records cut at every byte; a body read to the close needs the session's own end.
        cases = (("records a byte at a time", answer(), True, 0, BODY),
                 ("body to the close, with close_notify", answer(length=False), False, 0, BODY),
                 ("cut without close_notify, counted", answer(close_notify=False, cut=5000),
                  False, 1, None),
                 ("cut without close_notify, to the close",
                  answer(length=False, close_notify=False), False, 1, None))
        for label, play, slow, code, body in cases:
            with TlsServer(certs["valid"], play) as server:
                port = server.port
                proxy = SlowProxy(port) if slow else None
                rc, out, err, _ = get(f"https://127.0.0.1:{proxy.port if proxy else port}/")
            check(f"{label}: exit {code}", rc == code and (body is None or out == body)
                  and (code == 0 or "EIdTlsTruncated" in err), f"{rc} {len(out)} {err}")

        # Mid-session messages from openssl's server, sent before the answer: key updates are
        # taken (TLS 1.3, natively), a TLS 1.2 renegotiation is refused, never answered.
        # A run of key updates longer than a session takes without data between them is
        # refused too.
        for label, option, command, ok in (("key update", "-tls1_3", "k", True),
                                           ("key update with a request", "-tls1_3", "K", True),
                                           ("renegotiation", "-tls1_2", "R", False),
                                           ("a run of 40 key updates", "-tls1_3", "k" * 40,
                                            False)):
            if EMULATOR and option == "-tls1_3":
                continue
            port = free_port()
            server = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}",
                                       "-cert", certs["valid"][0], "-key", certs["valid"][1],
                                       option, "-crlf"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                time.sleep(0.5)
                client = subprocess.Popen(
                    EMULATOR + [HTTPGET, "--ca", program_path(os.path.join(KEYS, "tls-ca.pem")),
                                "--timeout", "20000", f"https://127.0.0.1:{port}/"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                # s_server prints what it receives: the command goes once the request is there.
                seen, deadline = b"", time.time() + 30
                while b"GET / " not in seen and time.time() < deadline:
                    if select.select([server.stdout], [], [], 0.5)[0]:
                        seen += os.read(server.stdout.fileno(), 4096)
                # One command a read: s_server takes a line as a command only when it is alone.
                for letter in command:
                    server.stdin.write(letter.encode() + b"\n")
                    server.stdin.flush()
                    time.sleep(0.05)
                time.sleep(0.5)
                server.stdin.write(b"HTTP/1.1 200 OK\nContent-Length: 7\n\nhello\n")
                server.stdin.flush()
                out, err = client.communicate(timeout=60)
            finally:
                server.kill()
            check(f"{label}: {'taken' if ok else 'refused'}",
                  (client.returncode, out) == ((0, b"hello\r\n") if ok else (1, b"")), err)

        # A record that stops half-way: the read time-out still holds inside it.
        with TlsServer(certs["valid"], answer()) as server:
            proxy = SlowProxy(server.port, stall_after=3000)
            rc, out, err, took = get(f"https://127.0.0.1:{proxy.port}/", "--timeout", "1500")
        check("stalled record: the read time-out", rc == 1 and "EIdReadTimeout" in err
              and took < 20, f"{took:.1f} s {err}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("tls")


if __name__ == "__main__":
    sys.exit(main())
