#!/usr/bin/env python3
"""The HTTP client (through httpget) against curl in the same run, on loopback from nginx, both
writing the body to a file:
  (a) one 256 MiB body: throughput;
  (b) 200 sequential GETs of a 1 KiB body, each a new process and a fresh connection: total time.
With --raw WINSOCK_GET (a Windows httpget.exe under an emulator), (a) also runs the plain Winsock
receive loop of bench/winsock_get.c, the limit of the Windows read path, in turn with the others.
Usage: http_bench.py [--raw WINSOCK_GET] [--small-count N] HTTPGET [EMULATOR...]
       (prints MB/s, seconds and the ratios)"""

import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ARGS = sys.argv[1:]
RAW = None
SMALL_COUNT = 200
while ARGS and ARGS[0].startswith("--"):
    if ARGS[0] == "--raw":
        RAW = ARGS[1]
    elif ARGS[0] == "--small-count":
        SMALL_COUNT = int(ARGS[1])
    ARGS = ARGS[2:]
HTTPGET = ARGS[0]
EMULATOR = ARGS[1:]
ROUNDS = 8


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(root):
    port = free_port()
    tmp = tempfile.mkdtemp(prefix="qvb-bench-nginx-")
    conf = os.path.join(tmp, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes 1; daemon off; pid {tmp}/nginx.pid; error_log {tmp}/error.log;
events {{ worker_connections 256; }}
http {{ access_log off; client_body_temp_path {tmp}/b; proxy_temp_path {tmp}/p;
  fastcgi_temp_path {tmp}/f; uwsgi_temp_path {tmp}/u; scgi_temp_path {tmp}/s;
  sendfile on; server {{ listen 127.0.0.1:{port}; root {root}; }} }}
""")
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", tmp])
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            break
        except OSError:
            time.sleep(0.05)
    return proc, port, tmp


def timed(cmd):
    # The previous run's 256 MiB must not be written back to disk during this one.
    os.sync()
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    root = tempfile.mkdtemp(prefix="qvb-bench-")
    os.chmod(root, 0o755)
    big = os.path.join(root, "big.bin")
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(256):
            f.write(block)
    with open(os.path.join(root, "small.bin"), "wb") as f:
        f.write(os.urandom(1024))
    for name in os.listdir(root):
        os.chmod(os.path.join(root, name), 0o644)
    proc, port, tmp = start_nginx(root)
    out_dir = tempfile.mkdtemp(prefix="qvb-bench-out-")
    out = os.path.join(out_dir, "body")
    base = f"http://127.0.0.1:{port}"
    curl = ["curl", "-s", "-f", "-o", out]
    ours = EMULATOR + [HTTPGET, "-o", out]
    raw = EMULATOR + [RAW, str(port), "/big.bin", out] if RAW else None
    # The launcher reads with a time-out in force, which puts a wait before receives.
    timed_out = ours[:-2] + ["--timeout", "15000", "-o", out]
    try:
        big_curl, big_ours, big_raw, big_timed = [], [], [], []
        runs = [(curl + [base + "/big.bin"], big_curl), (ours + [base + "/big.bin"], big_ours),
                (timed_out + [base + "/big.bin"], big_timed)]
        if raw:
            runs.append((raw, big_raw))
        # Taken in turn, each round starting one further on: a program run right after curl
        # was measured slower, so every one takes that place as often as the others.
        for r in range(ROUNDS):
            for cmd, times in runs[r % len(runs):] + runs[:r % len(runs)]:
                times.append(timed(cmd))
        assert os.path.getsize(out) == 256 << 20
        small_curl, small_ours = [], []
        for _ in range(3):
            t = time.perf_counter()
            for _ in range(SMALL_COUNT):
                subprocess.run(curl + [base + "/small.bin"], check=True)
            small_curl.append(time.perf_counter() - t)
            t = time.perf_counter()
            for _ in range(SMALL_COUNT):
                subprocess.run(ours + [base + "/small.bin"], check=True)
            small_ours.append(time.perf_counter() - t)
    finally:
        proc.terminate()
        proc.wait()
        shutil.rmtree(tmp, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
    mb = 256 * 1048576 / 1e6
    for label, pick in (("best", min), ("median", statistics.median)):
        c, o = pick(big_curl), pick(big_ours)
        print(f"(a) 256 MiB, {label} of {ROUNDS}: curl {mb / c:8.1f} MB/s, httpget "
              f"{mb / o:8.1f} MB/s, ratio {c / o:.2f} (throughput, higher is better)")
        t = pick(big_timed)
        print(f"    httpget with a 15 s read time-out {mb / t:8.1f} MB/s")
        if big_raw:
            r = pick(big_raw)
            print(f"    raw Winsock loop {mb / r:8.1f} MB/s, httpget / raw {r / o:.2f}, "
                  f"with the time-out {r / t:.2f}")
    if big_raw:
        for label, ours_times in (("httpget", big_ours), ("with the time-out", big_timed)):
            pairs = sorted(r / o for r, o in zip(big_raw, ours_times))
            print(f"    {label} / raw, pair by pair: median {statistics.median(pairs):.2f}, "
                  f"best {pairs[-1]:.2f}")
    for label, pick in (("best", min), ("median", statistics.median)):
        c, o = pick(small_curl), pick(small_ours)
        print(f"(b) {SMALL_COUNT} GETs of 1 KiB, {label} of 3: curl {c:6.2f} s, httpget "
              f"{o:6.2f} s, ratio {o / c:.2f} (time, lower is better)")


if __name__ == "__main__":
    main()
