#!/usr/bin/env python3
"""httpget over https against its own plain http and against curl over the same https, in the
same run, on loopback from nginx (one worker, sendfile for http), each writing 256 MiB to a
file. The server certificate comes from the build tree's test CA, which both clients pin.
With an emulator (a Windows httpget.exe), the run also has the anchors beside httpget.exe:
bench/schannel_get.c, a bare Schannel read loop over the same https (the platform's own TLS
ceiling), and bench/winsock_get.c, a bare Winsock loop over the same plain http.
Each client also fetches a 1 KiB body after each big one: its start, handshake and
verification, taken off for the rate of the body alone (the anchor checks no certificate).
The client's processor time (its own, Wine's server aside) is the figure least moved by others.
Usage: tls_bench.py [--rounds N] HTTPGET KEY_DIR [EMULATOR...]   (prints MB/s and the ratios)"""

import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from tls_support import make_certificates  # noqa: E402

ARGS = sys.argv[1:]
ROUNDS = 5
if ARGS[:1] == ["--rounds"]:
    ROUNDS, ARGS = int(ARGS[1]), ARGS[2:]
HTTPGET, KEYS = ARGS[:2]
EMULATOR = ARGS[2:]
SIZE_MIB = 256
SMALL = 1024  # each client's start, handshake and verification with almost no body


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def timed(cmd, out, size, cpu=None):
    """The wall time of one run; its processor time (user and system) goes to cpu."""
    os.sync()  # the previous run's file must not be written back during this one
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if cpu is not None:
        cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    # The anchors write the response head too.
    assert 0 <= os.path.getsize(out) - size < 4096, cmd
    os.remove(out)
    return elapsed


def main():
    work = tempfile.mkdtemp(prefix="qvb-tls-bench-")
    os.chmod(work, 0o755)
    try:
        root = os.path.join(work, "root")
        os.makedirs(root)
        os.chmod(root, 0o755)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(SIZE_MIB):
                f.write(block)
        with open(os.path.join(root, "small.bin"), "wb") as f:
            f.write(block[:SMALL])
        for name in ("big.bin", "small.bin"):
            os.chmod(os.path.join(root, name), 0o644)
        ca = os.path.join(KEYS, "tls-ca.pem")
        cert, key = make_certificates(os.path.join(work, "certs"), ca,
                                      os.path.join(KEYS, "tls-ca.key"))["valid"]
        plain, tls = free_port(), free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""worker_processes 1; daemon off; pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 256; }}
http {{ access_log off; client_body_temp_path {work}/b; proxy_temp_path {work}/p;
  fastcgi_temp_path {work}/f; uwsgi_temp_path {work}/u; scgi_temp_path {work}/s;
  sendfile on; ssl_protocols TLSv1.2 TLSv1.3;
  server {{ listen 127.0.0.1:{plain}; listen 127.0.0.1:{tls} ssl;
    ssl_certificate {cert}; ssl_certificate_key {key}; root {root}; }} }}
""")
        nginx = subprocess.Popen(["nginx", "-c", conf, "-p", work])
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", tls), timeout=0.5).close()
                break
            except OSError:
                time.sleep(0.05)
        out = os.path.join(work, "body")
        ours = EMULATOR + [HTTPGET, "--ca", program_path(ca), "-o", program_path(out)]
        runs = {"httpget http": lambda name: ours + [f"http://127.0.0.1:{plain}/{name}"],
                "httpget https": lambda name: ours + [f"https://127.0.0.1:{tls}/{name}"],
                "curl https": lambda name: ["curl", "-s", "-f", "--cacert", ca, "-o", out,
                                            f"https://127.0.0.1:{tls}/{name}"]}
        if EMULATOR:
            bin_dir = os.path.dirname(os.path.abspath(HTTPGET))
            anchor = EMULATOR + [os.path.join(bin_dir, "schannel_get.exe")]
            raw = EMULATOR + [os.path.join(bin_dir, "winsock_get.exe")]
            runs["schannel https"] = lambda name: anchor + [str(tls), "/" + name, program_path(out)]
            runs["winsock http"] = lambda name: raw + [str(plain), "/" + name, program_path(out)]
        subprocess.run(ours + ["--tls-info", f"https://127.0.0.1:{tls}/small.bin"], check=True)
        times = {label: [] for label in runs}
        starts = {label: [] for label in runs}
        cpu = {label: [] for label in runs}
        cpu_start = {label: [] for label in runs}
        try:
            items = list(runs.items())
            for r in range(ROUNDS):  # each takes each place in turn
                for label, cmd in items[r % len(items):] + items[:r % len(items)]:
                    times[label].append(timed(cmd("big.bin"), out, SIZE_MIB << 20, cpu[label]))
                    starts[label].append(timed(cmd("small.bin"), out, SMALL, cpu_start[label]))
        finally:
            nginx.terminate()
            nginx.wait()
        mb = SIZE_MIB * 1048576 / 1e6
        median = {label: statistics.median(t) for label, t in times.items()}
        start = {label: statistics.median(t) for label, t in starts.items()}
        for label, t in median.items():
            rates = sorted(mb / x for x in times[label])
            print(f"{label:14} {mb / t:8.1f} MB/s (median of {ROUNDS}; {rates[0]:.1f} to "
                  f"{rates[-1]:.1f}); a {SMALL}-byte body takes {start[label] * 1000:.0f} ms, "
                  f"so the body alone {mb / (t - start[label]):.1f} MB/s; "
                  f"the client's processor time {statistics.median(cpu[label]):.2f} s, "
                  f"{statistics.median(cpu[label]) - statistics.median(cpu_start[label]):.2f} s"
                  f" for the body alone")

        def ratio(a, b, fixed=False):  # a's throughput over b's, with or without the start
            return (median[b] - (start[b] if fixed else 0)) / (
                median[a] - (start[a] if fixed else 0))
        print(f"httpget https / its own http: {ratio('httpget https', 'httpget http'):.2f}"
              f"; httpget https / curl https: {ratio('httpget https', 'curl https'):.2f}")
        if EMULATOR:
            for fixed in (False, True):
                print(("body alone: " if fixed else "whole runs: ") +
                      f"httpget https / schannel https "
                      f"{ratio('httpget https', 'schannel https', fixed):.2f}"
                      f"; schannel https / httpget http "
                      f"{ratio('schannel https', 'httpget http', fixed):.2f}"
                      f"; schannel https / winsock http "
                      f"{ratio('schannel https', 'winsock http', fixed):.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
