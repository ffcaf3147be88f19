#!/usr/bin/env python3
"""httpget over https against its own plain http and against curl over the same https, in the
same run, on loopback from nginx (one worker, sendfile for http), each writing 256 MiB to a
file. The server certificate comes from the build tree's test CA, which both clients pin.
Usage: tls_bench.py HTTPGET KEY_DIR [EMULATOR...]   (prints MB/s and the ratios)"""

import os
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

HTTPGET, KEYS = sys.argv[1:3]
EMULATOR = sys.argv[3:]
ROUNDS = 5
SIZE_MIB = 256


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def timed(cmd):
    os.sync()  # the previous run's file must not be written back during this one
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


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
        os.chmod(os.path.join(root, "big.bin"), 0o644)
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
        runs = {"httpget http": ours + [f"http://127.0.0.1:{plain}/big.bin"],
                "httpget https": ours + [f"https://127.0.0.1:{tls}/big.bin"],
                "curl https": ["curl", "-s", "-f", "--cacert", ca, "-o", out,
                               f"https://127.0.0.1:{tls}/big.bin"]}
        subprocess.run(ours + ["--tls-info", f"https://127.0.0.1:{tls}/big.bin"], check=True)
        times = {label: [] for label in runs}
        try:
            items = list(runs.items())
            for r in range(ROUNDS):  # each takes each place in turn
                for label, cmd in items[r % len(items):] + items[:r % len(items)]:
                    times[label].append(timed(cmd))
            assert os.path.getsize(out) == SIZE_MIB << 20
        finally:
            nginx.terminate()
            nginx.wait()
        mb = SIZE_MIB * 1048576 / 1e6
        median = {label: statistics.median(t) for label, t in times.items()}
        for label, t in median.items():
            print(f"{label:14} {mb / t:8.1f} MB/s (median of {ROUNDS})")
        print(f"httpget https / its own http: {median['httpget http'] / median['httpget https']:.2f}"
              f"; httpget https / curl https: {median['curl https'] / median['httpget https']:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
