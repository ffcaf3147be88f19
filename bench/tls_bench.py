#!/usr/bin/env python3
"""httpget over https against its own plain http and against curl over the same https, in the
same run, on loopback from nginx (one worker, sendfile for http), each writing 256 MiB to a
file. The server certificate comes from the build tree's test CA, which both clients pin.
With an emulator (a Windows httpget.exe), the run also has the anchors beside httpget.exe:
bench/schannel_get.c, a bare Schannel read loop over the same https (the platform's own TLS
ceiling), and bench/winsock_get.c, a bare Winsock loop over the same plain http.
Usage: tls_bench.py [--rounds N] HTTPGET KEY_DIR [EMULATOR...]   (prints MB/s and the ratios)"""

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

ARGS = sys.argv[1:]
ROUNDS = 5
if ARGS[:1] == ["--rounds"]:
    ROUNDS, ARGS = int(ARGS[1]), ARGS[2:]
HTTPGET, KEYS = ARGS[:2]
EMULATOR = ARGS[2:]
SIZE_MIB = 256


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def timed(cmd, out):
    os.sync()  # the previous run's file must not be written back during this one
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    # The anchors write the response head too.
    assert 0 <= os.path.getsize(out) - (SIZE_MIB << 20) < 4096, cmd
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
        if EMULATOR:
            bin_dir = os.path.dirname(os.path.abspath(HTTPGET))
            anchor = EMULATOR + [os.path.join(bin_dir, "schannel_get.exe")]
            raw = EMULATOR + [os.path.join(bin_dir, "winsock_get.exe")]
            runs["schannel https"] = anchor + [str(tls), "/big.bin", program_path(out)]
            runs["winsock http"] = raw + [str(plain), "/big.bin", program_path(out)]
        subprocess.run(ours + ["--tls-info", f"https://127.0.0.1:{tls}/big.bin"], check=True)
        times = {label: [] for label in runs}
        try:
            items = list(runs.items())
            for r in range(ROUNDS):  # each takes each place in turn
                for label, cmd in items[r % len(items):] + items[:r % len(items)]:
                    times[label].append(timed(cmd, out))
        finally:
            nginx.terminate()
            nginx.wait()
        mb = SIZE_MIB * 1048576 / 1e6
        median = {label: statistics.median(t) for label, t in times.items()}
        for label, t in median.items():
            rates = sorted(mb / x for x in times[label])
            print(f"{label:14} {mb / t:8.1f} MB/s (median of {ROUNDS}; "
                  f"{rates[0]:.1f} to {rates[-1]:.1f})")

        def ratio(a, b):  # a's throughput over b's
            return median[b] / median[a]
        print(f"httpget https / its own http: {ratio('httpget https', 'httpget http'):.2f}"
              f"; httpget https / curl https: {ratio('httpget https', 'curl https'):.2f}")
        if EMULATOR:
            print(f"httpget https / schannel https: {ratio('httpget https', 'schannel https'):.2f}"
                  f"; schannel https / httpget http: {ratio('schannel https', 'httpget http'):.2f}"
                  f"; schannel https / winsock http: {ratio('schannel https', 'winsock http'):.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
