#!/usr/bin/env python3
"""The version check against the reference server on loopback (update-check):
  (a) a complete check with 50 listed files of 100 KiB, against the floor that the mandated
      pauses set (200 ms per request) plus the time curl takes to fetch the same URLs;
  (b) the peak working set while one 1 GiB listed file is downloaded, verified and stored, as
      the program itself reports it (the Windows build under Wine too).
Usage: update_bench.py UPDATE_CHECK [EMULATOR...]   (prints seconds, the overhead and MiB)
       a Windows build: update_bench.py build/windows/bin/update-check.exe scripts/wine-run win32"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "tools", "update-server", "update_server.py")
UPDATE_CHECK = sys.argv[1]
EMULATOR = sys.argv[2:]


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def serve(root):
    port_file = os.path.join(root, "port")
    if os.path.exists(port_file):
        os.remove(port_file)
    proc = subprocess.Popen([sys.executable, SERVER, "serve", "--root", root, "--port", "0",
                             "--port-file", port_file, "--log", os.path.join(root, "log")],
                            stdout=subprocess.DEVNULL)
    while not os.path.exists(port_file):
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, int(f.read())


def publish(src, root, version):
    subprocess.run([sys.executable, SERVER, "publish", src, "--root", root, "--version", version],
                   check=True, stdout=subprocess.DEVNULL)


def main():
    work = tempfile.mkdtemp(prefix="qvb-update-bench-")
    try:
        src, root, inst = (os.path.join(work, d) for d in ("src", "root", "inst"))
        os.makedirs(src)
        os.makedirs(inst)
        names = [f"file{i:02d}.dat" for i in range(50)]
        for name in names:
            with open(os.path.join(src, name), "wb") as f:
                f.write(os.urandom(100 * 1024))
        publish(src, root, "1.0")
        proc, port = serve(root)
        try:
            start = time.perf_counter()
            subprocess.run(EMULATOR + [UPDATE_CHECK, "--dir", program_path(inst), "--server",
                                       f"127.0.0.1:{port}"], check=True, stdout=subprocess.DEVNULL)
            measured = time.perf_counter() - start
            with open(os.path.join(root, "log")) as f:
                requests = [line.split()[1] for line in f if line.strip()]
            urls = [f"http://127.0.0.1:{port}{target}" for target in requests]
            start = time.perf_counter()
            subprocess.run(["curl", "-s", "-o", "/dev/null", *[a for u in urls for a in (u, "-o", "/dev/null")]],
                           check=True)
            curl = time.perf_counter() - start
        finally:
            proc.terminate()
            proc.wait()
        floor = 0.2 * len(requests) + curl
        print(f"(a) {len(requests)} requests: measured {measured:.2f} s, floor {floor:.2f} s "
              f"(pauses {0.2 * len(requests):.1f} s + curl {curl:.2f} s), "
              f"overhead {100 * (measured / floor - 1):+.1f}%")

        shutil.rmtree(src)
        os.makedirs(src)
        block = os.urandom(1 << 20)
        with open(os.path.join(src, "big.dat"), "wb") as f:
            for _ in range(1024):
                f.write(block)
        publish(src, root, "2.0")
        proc, port = serve(root)
        try:
            start = time.perf_counter()
            out = subprocess.run(EMULATOR + [UPDATE_CHECK, "--dir", program_path(inst), "--server",
                                             f"127.0.0.1:{port}", "--peak-memory", "1"],
                                 check=True, capture_output=True).stdout.decode("latin-1")
            took = time.perf_counter() - start
            peak = int(out.split("peak: ")[1].split()[0])
        finally:
            proc.terminate()
            proc.wait()
        assert os.path.getsize(os.path.join(inst, "big.dat")) == 1 << 30
        print(f"(b) 1 GiB listed file: peak working set {peak / (1 << 20):.1f} MiB "
              f"(goal 48 MiB), {took:.1f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
