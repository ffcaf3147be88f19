#!/usr/bin/env python3
"""From the launcher's start to the managed application's start, over plain http and over
https, side by side in one run: the launcher built with the test keys and the test CA under
Wine, a signed release already installed (so each start is the full check of an up-to-date
installation), served on loopback by the production deployment (deploy's nginx, its plain and
its https port), which keeps connections open, so that a check over https is one TLS
connection; --reference serves it with the reference server instead, which closes after every
answer (a handshake per request).
Usage: launcher_start_bench.py [--reference] BUILD_DIR KIND   (BUILD_DIR: build/windows or
       build/windows-x64; KIND: win32 or win64)   prints the medians and their difference"""

import contextlib
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from e2e_support import Deployment, ReferenceServer, publish  # noqa: E402
from tls_support import make_certificates  # noqa: E402
from winenv import WineDesktop, windows_path  # noqa: E402

ARGS = sys.argv[1:]
REFERENCE = ARGS[:1] == ["--reference"]
BUILD, KIND = ARGS[1:3] if REFERENCE else ARGS[:2]
ROUNDS = 7


def main():
    keys = os.path.join(BUILD, "testkeys")
    work = tempfile.mkdtemp(prefix="qvb-start-bench-")
    try:
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        os.makedirs(src)
        shutil.copy(os.path.join(BUILD, "bin", "stub-app.exe"), os.path.join(src, "QVBrelmoxApp.exe"))
        with open(os.path.join(src, "Tabela.dat"), "wb") as f:
            f.write(os.urandom(100000))
        shutil.copy(os.path.join(keys, "a.pem"), os.path.join(work, "a.pem"))
        publish(src, root, "1.0", "--sign", os.path.join(work, "a.pem"))
        cert = make_certificates(os.path.join(work, "certs"), os.path.join(keys, "tls-ca.pem"),
                                 os.path.join(keys, "tls-ca.key"))["valid"]
        inst = os.path.join(work, "inst")
        os.makedirs(inst)
        shutil.copy(os.path.join(BUILD, "tests", "QVBrelmox-testkeys.exe"),
                    os.path.join(inst, "QVBrelmox.exe"))
        with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
            f.write(b"[Unidade]\r\nUnidade=7\r\n")
        record = os.path.join(inst, "started.txt")
        prefix = os.path.join(TOP, "build", "wine", f"bench-{KIND}")
        times = {"http": [], "https": []}
        with contextlib.ExitStack() as stack:
            if REFERENCE:
                plain = stack.enter_context(ReferenceServer(root))
                tls = stack.enter_context(
                    ReferenceServer(root, "--tls-cert", cert[0], "--tls-key", cert[1]))
                servers = {"http": plain.address, "https": f"https://127.0.0.1:{tls.port}"}
            else:
                deployment = stack.enter_context(Deployment(root, tls=cert))
                servers = {"http": deployment.address,
                           "https": f"https://127.0.0.1:{deployment.tls_port}"}
            desk = stack.enter_context(
                WineDesktop(os.path.join(TOP, "scripts", "wine-run"), KIND, prefix))
            for r in range(ROUNDS + 1):  # the first round installs the release and warms up
                for mode in (("http", "https") if r % 2 else ("https", "http")):
                    if os.path.exists(record):
                        os.remove(record)
                    start = time.perf_counter()
                    proc = desk.start([windows_path(os.path.join(inst, "QVBrelmox.exe"))],
                                      env={"QVBRELMOX_SERVER": servers[mode],
                                           "STUB_RECORD": windows_path(record),
                                           "STUB_CLOSE_LAUNCHER": "1"})
                    while not os.path.exists(record) and time.perf_counter() - start < 120:
                        time.sleep(0.005)
                    took = time.perf_counter() - start
                    proc.communicate(timeout=120)
                    if r:
                        times[mode].append(took)
        median = {mode: statistics.median(t) for mode, t in times.items()}
        for mode, t in median.items():
            print(f"{mode:5} ({'reference server' if REFERENCE else 'nginx'}): start to "
                  f"application start, median of {ROUNDS}: {t * 1000:7.0f} ms"
                  f" ({min(times[mode]) * 1000:.0f} to {max(times[mode]) * 1000:.0f})")
        print(f"https - http: {(median['https'] - median['http']) * 1000:+.0f} ms; the median of "
              f"each round's own difference (its two starts side by side): "
              f"{statistics.median(s - p for s, p in zip(times['https'], times['http'])) * 1000:+.0f}"
              f" ms")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
