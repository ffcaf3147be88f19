#!/usr/bin/env python3
"""Binary patches for three release pairs:
  (a) two builds of QVBrelmox.exe (--exe OLD NEW; by default the tree's product and its test-key
      build, which differ by the embedded keys);
  (b) a 20 MB table of fixed-length records with 1 % of them changed at random;
  (c) a 20 MB file with 64 KiB inserted near its start.
For each: the full size; the patch publish --sign makes (xdelta3 -S none), and for comparison
xdelta3 with its default compression, zstd -19 --patch-from and bsdiff (each skipped when not
installed); the time and peak memory of applying publish's patch with vcdiff-apply (the
launcher's decoder) and with xdelta3 -d; the launcher's own update (see launcher_update).
Usage: patch_bench.py VCDIFF_APPLY [--exe OLD NEW] [--update-check UPDATE_CHECK_SIGNED --keys DIR]
       e.g. patch_bench.py build/native/bin/vcdiff-apply \
                --update-check build/native/bin/update-check-signed --keys build/native/testkeys"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..")
SERVER = os.path.join(TOP, "tools", "update-server", "update_server.py")
FILE_BYTES = 20_000_000
RECORD_BYTES = 100
INSERTED = 64 << 10
INSERTED_AT = 100_000
# The goals, as a share of the full size (c: of the insertion, before the manifest).
LINK_RATE = 2_000_000 // 8  # 2 Mbit/s, in bytes a second
GOALS = {"a": ("full", 0.20), "b": ("full", 0.01), "c": ("inserted", 1.1)}
NAMES = ["Ana", "Bruno", "Carla", "Davi", "Elisa", "Fabio", "Gisele", "Heitor", "Iara", "Joao"]


def table(rnd):
    """(old, new): records of fixed length, 1 % of them with a new amount and date."""
    count = FILE_BYTES // RECORD_BYTES

    def record(i, amount, day):
        name = f"{rnd.choice(NAMES)} {rnd.choice(NAMES)}"
        body = b"%010d;%-40s;%14d;%-10s;%-18s" % (i, name.encode(), amount, day.encode(),
                                                  b"Contrib")
        return body.ljust(RECORD_BYTES - 2) + b"\r\n"

    old = [record(i, rnd.randrange(10 ** 9), f"2026-01-{1 + i % 28:02d}") for i in range(count)]
    new = list(old)
    for i in rnd.sample(range(count), count // 100):
        new[i] = new[i][:52] + b"%14d;%-10s" % (rnd.randrange(10 ** 9), b"2026-02-15") + \
            new[i][77:]
    return b"".join(old), b"".join(new)


def pairs(args, rnd):
    out = []
    exe = args.exe or default_exes()
    if exe:
        with open(exe[0], "rb") as f, open(exe[1], "rb") as g:
            out.append(("a", f"QVBrelmox.exe ({exe[0]} -> {exe[1]})", f.read(), g.read()))
    else:
        print("(a) skipped: no two builds of QVBrelmox.exe; pass --exe OLD NEW")
    out.append(("b", "20 MB table, 1 % of the records changed", *table(rnd)))
    base = rnd.randbytes(FILE_BYTES)
    out.append(("c", "20 MB, 64 KiB inserted near the start", base,
                base[:INSERTED_AT] + rnd.randbytes(INSERTED) + base[INSERTED_AT:]))
    return out


def default_exes():
    for preset in ("windows", "windows-x64"):
        build = os.path.join(TOP, "build", preset)
        old = os.path.join(build, "bin", "QVBrelmox.exe")
        new = os.path.join(build, "tests", "QVBrelmox-testkeys.exe")
        if os.path.isfile(old) and os.path.isfile(new):
            return old, new
    return None


def measured(command):
    """(exit status, seconds, peak resident set in MiB) of a command in a fresh process, so that
    no other child's memory counts."""
    probe = ("import resource, subprocess, sys, time\n"
             "t = time.monotonic()\n"
             "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
             "print(rc, time.monotonic() - t, "
             "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", probe, *command], capture_output=True,
                          text=True, check=True)
    rc, seconds, rss = done.stdout.split()
    return int(rc), float(seconds), int(rss) / 1024


def published_patch(work, old, new):
    """The patch publish --sign makes when new follows old: (its path, its size)."""
    src, root = os.path.join(work, "src"), os.path.join(work, "root")
    key = os.path.join(work, "release.pem")
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                    key], check=True)
    os.makedirs(src)
    for version, path in (("1.0", old), ("2.0", new)):
        shutil.copyfile(path, os.path.join(src, "file.bin"))
        subprocess.run([sys.executable, SERVER, "publish", src, "--root", root, "--version",
                        version, "--sign", key], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(root, "files", "Contrib", "Manifesto.txt"), "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    patch = [re.fullmatch(r"Patch:file\.bin=\S+ (\d+) \S+ (.+)", line) for line in lines]
    patch = [p for p in patch if p]
    if not patch:
        return None, None  # not smaller than the whole file
    return os.path.join(root, "files", "Contrib", patch[0].group(2)), int(patch[0].group(1))


def other_patches(work, old, new):
    """{tool: size or why not}, for comparison."""
    sizes = {}
    tools = {
        "xdelta3 default": (["xdelta3", "-e", "-f", "-s", old, new, "{out}"], "xdelta3"),
        "zstd -19 --patch-from": (["zstd", "-19", "-q", "-f", f"--patch-from={old}", new, "-o",
                                   "{out}"], "zstd"),
        "bsdiff": (["bsdiff", old, new, "{out}"], "bsdiff"),
    }
    for label, (command, program) in tools.items():
        if shutil.which(program) is None:
            sizes[label] = "not installed"
            continue
        out = os.path.join(work, label.split()[0] + ".patch")
        start = time.monotonic()
        subprocess.run([out if c == "{out}" else c for c in command], check=True,
                       capture_output=True)
        sizes[label] = (os.path.getsize(out), time.monotonic() - start)
    return sizes


def launcher_update(work, pair, old, new, checker, keys):
    """The launcher's own check (update-check built with the test keys), through a loopback
    relay throttled to 2 Mbit/s: once with the patch, once with the whole file (the patches
    withheld). {"patch" | "whole file": (bytes on the wire, seconds)}, or None without a
    checker."""
    if not checker:
        return None
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    from e2e_support import ReferenceServer  # noqa: E402
    from tls_support import Proxy  # noqa: E402
    src, root = os.path.join(work, "lsrc"), os.path.join(work, "lroot")
    area = os.path.join(root, "files", "Contrib")
    key, state = os.path.join(keys, "a.pem"), os.path.join(work, "bench.sequence")
    inst = os.path.join(work, "linst")
    os.makedirs(src)
    os.makedirs(inst)
    with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
        f.write(b"[Unidade]\r\nUnidade=1\r\n")

    def check_through(relay_port):
        start = time.monotonic()
        subprocess.run([checker, "--dir", inst, "--server", f"127.0.0.1:{relay_port}"],
                       check=True, capture_output=True, timeout=600)
        return time.monotonic() - start

    def release(version, path):
        shutil.copyfile(path, os.path.join(src, "file.bin"))
        subprocess.run([sys.executable, SERVER, "publish", src, "--root", root, "--version",
                        version, "--file-version", f"file.bin={version}", "--sign", key,
                        "--state", state], check=True, stdout=subprocess.DEVNULL)

    results = {}
    release("1.0", old)
    saved = os.path.join(work, "installed-old")
    for label in ("patch", "whole file"):
        if label == "patch":
            with ReferenceServer(root) as server:
                check_through(server.port)  # the old release, installed at full speed
            shutil.copyfile(os.path.join(inst, "file.bin"), saved)
            shutil.copyfile(os.path.join(inst, "QVBrelmox.ini"), saved + ".ini")
            release("2.0", new)
        else:
            shutil.copyfile(saved, os.path.join(inst, "file.bin"))
            shutil.copyfile(saved + ".ini", os.path.join(inst, "QVBrelmox.ini"))
            for name in os.listdir(area):
                if name.endswith(".vcdiff"):
                    os.remove(os.path.join(area, name))
        with ReferenceServer(root) as server, Proxy(server.port, rate=LINK_RATE) as relay:
            seconds = check_through(relay.port)
        with open(os.path.join(inst, "file.bin"), "rb") as f, open(new, "rb") as g:
            if f.read() != g.read():
                raise RuntimeError(f"({pair}) the launcher's update did not make the new file")
        results[label] = (len(relay.seen), seconds)
    return results


def share(value, full):
    return f"{value:>11,} B {100 * value / full:6.2f} %"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("vcdiff_apply")
    parser.add_argument("--exe", nargs=2, metavar=("OLD", "NEW"),
                        help="two builds of QVBrelmox.exe for pair (a)")
    parser.add_argument("--update-check", metavar="UPDATE_CHECK_SIGNED",
                        help="the check built with the test keys: measures the launcher's own "
                             "update through a 2 Mbit/s relay")
    parser.add_argument("--keys", metavar="KEY_DIR", help="the build tree's test keys")
    args = parser.parse_args()
    rnd = random.Random(25)
    for key, label, old_bytes, new_bytes in pairs(args, rnd):
        work = tempfile.mkdtemp(prefix="qvb-patch-bench-")
        try:
            old, new = os.path.join(work, "old"), os.path.join(work, "new")
            for path, data in ((old, old_bytes), (new, new_bytes)):
                with open(path, "wb") as f:
                    f.write(data)
            full = len(new_bytes)
            print(f"({key}) {label}")
            print(f"    {'full file':<26}{full:>11,} B")
            patch, size = published_patch(work, old, new)
            if patch is None:
                print(f"    {'publish --sign':<26}no patch (not smaller than the file)")
            else:
                base, goal = GOALS[key]
                limit = goal * (full if base == "full" else INSERTED)
                print(f"    {'publish --sign (-S none)':<26}{share(size, full)}   goal "
                      f"{limit:,.0f} B: {'met' if size <= limit else 'MISSED'}")
            for tool, result in other_patches(work, old, new).items():
                if isinstance(result, str):
                    print(f"    {tool:<26}{result}")
                else:
                    print(f"    {tool:<26}{share(result[0], full)}   (made in {result[1]:.1f} s)")
            if patch is not None:
                out = os.path.join(work, "out")
                for tool, command in (
                        ("vcdiff-apply", [args.vcdiff_apply, old, patch, out]),
                        ("xdelta3 -d", ["xdelta3", "-d", "-f", "-s", old, patch, out])):
                    rc, seconds, rss = measured(command)
                    with open(out, "rb") as f:
                        same = f.read() == new_bytes
                    print(f"    {'apply, ' + tool:<26}{seconds * 1000:8.0f} ms, "
                          f"peak RSS {rss:6.1f} MiB"
                          + ("" if rc == 0 and same else f"   WRONG (exit {rc})"))
            update = launcher_update(work, key, old, new, args.update_check, args.keys)
            if update is None:
                print(f"    {'launcher, 2 Mbit/s relay':<26}not measured (--update-check)")
            for how, (moved, seconds) in (update or {}).items():
                print(f"    {'launcher, ' + how:<26}{share(moved, full)} on the wire, "
                      f"{seconds:6.1f} s at 2 Mbit/s")
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
