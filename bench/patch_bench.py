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
Then two hand-made 8 MiB patches of 4-byte copies that defeat a decoder's source buffer:
  (d) alternating between two places of the source 128 KiB apart;
  (e) among 768 places spread over a 20 MB source, each named by one address byte.
Usage: patch_bench.py VCDIFF_APPLY [--exe OLD NEW] [--update-check UPDATE_CHECK_SIGNED --keys DIR]
       e.g. patch_bench.py build/native/bin/vcdiff-apply \
                --update-check build/native/bin/update-check-signed --keys build/native/testkeys
       patch_bench.py --write-scattered DIR   writes (d) and (e) as DIR/d and DIR/e (old, patch,
                                              new) for timing by hand, and measures nothing"""

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
SCATTERED_GOAL_SECONDS = 2.0
SCATTERED_PATCH_BYTES = 8 << 20
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


def vcdiff_integer(value):
    out = [value & 0x7F]
    while value := value >> 7:
        out.insert(0, 0x80 | (value & 0x7F))
    return bytes(out)


def copies_patch(source, places, order):
    """A VCDIFF patch of 4-byte copies from source (-S none, no checksum), in windows of 1 Mi
    copies, and the file it makes. The first copy of each place names it in full; later ones
    by their address cache slot (mode 6 + slot / 256, one byte: slot % 256), so each copy
    costs two bytes of patch. order: the index in places of each copy."""
    copy4 = 0x14  # COPY of 4 bytes in mode 0; mode m is 0x14 + 16 m
    window_copies = 1 << 20
    windows, made = [], []
    for start in range(0, len(order), window_copies):
        inst, addr, seen = bytearray(), bytearray(), set()
        for i in order[start:start + window_copies]:
            at = places[i]
            slot = at % 768
            if at in seen:
                inst.append(copy4 + 16 * (6 + slot // 256))
                addr.append(slot % 256)
            else:
                seen.add(at)
                inst.append(copy4)
                addr += vcdiff_integer(at)
        size = 4 * len(order[start:start + window_copies])
        delta = (vcdiff_integer(size) + b"\0" + vcdiff_integer(0) + vcdiff_integer(len(inst)) +
                 vcdiff_integer(len(addr)) + inst + addr)
        windows.append(b"\x01" + vcdiff_integer(len(source)) + vcdiff_integer(0) +
                       vcdiff_integer(len(delta)) + delta)
    pieces = [source[at:at + 4] for at in places]
    made = b"".join(pieces[i] for i in order)
    return b"\xd6\xc3\xc4\x00\x00" + b"".join(windows), made


def scattered(rnd):
    """(key, label, source, patch, made) for the hand-made patches (d) and (e)."""
    copies = SCATTERED_PATCH_BYTES // 2
    near = rnd.randbytes(256 << 10)
    alternating = copies_patch(near, [0, 128 << 10], [i % 2 for i in range(copies)])
    far = rnd.randbytes(FILE_BYTES)
    # One place per address cache slot, so that every copy but the first of each place takes
    # one address byte; which slot comes next is random.
    places = [slot + 768 * rnd.randrange((FILE_BYTES - 4 - slot) // 768) for slot in range(768)]
    spread = copies_patch(far, places, list(range(768)) +
                          [rnd.randrange(768) for _ in range(copies - 768)])
    return [("d", "4-byte copies alternating between two places 128 KiB apart", near,
             *alternating),
            ("e", "4-byte copies among 768 places spread over 20 MB", far, *spread)]


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
    parser.add_argument("vcdiff_apply", nargs="?")
    parser.add_argument("--exe", nargs=2, metavar=("OLD", "NEW"),
                        help="two builds of QVBrelmox.exe for pair (a)")
    parser.add_argument("--update-check", metavar="UPDATE_CHECK_SIGNED",
                        help="the check built with the test keys: measures the launcher's own "
                             "update through a 2 Mbit/s relay")
    parser.add_argument("--keys", metavar="KEY_DIR", help="the build tree's test keys")
    parser.add_argument("--write-scattered", metavar="DIR",
                        help="write the hand-made patches (d) and (e) under DIR and stop")
    args = parser.parse_args()
    if args.write_scattered:
        write_scattered(args.write_scattered)
        return 0
    if not args.vcdiff_apply:
        parser.error("VCDIFF_APPLY is needed")
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
    for key, label, source, patch, made in scattered(random.Random(29)):
        work = tempfile.mkdtemp(prefix="qvb-patch-bench-")
        try:
            print(f"({key}) {label}")
            print(f"    {'patch, hand-made':<26}{len(patch):>11,} B, makes {len(made):,} B")
            old, patch_path, out = write_pair(work, source, patch)
            for tool, command in (
                    ("vcdiff-apply", [args.vcdiff_apply, old, patch_path, out]),
                    ("xdelta3 -d", ["xdelta3", "-d", "-f", "-s", old, patch_path, out])):
                rc, seconds, rss = measured(command)
                with open(out, "rb") as f:
                    same = f.read() == made
                # (e) has no goal: with the source on disk and a few blocks of it in memory,
                # every copy there costs a read.
                goal = "" if (tool, key) != ("vcdiff-apply", "d") else \
                    f"   goal {SCATTERED_GOAL_SECONDS:.0f} s: " + \
                    ("met" if seconds <= SCATTERED_GOAL_SECONDS else "MISSED")
                print(f"    {'apply, ' + tool:<26}{seconds * 1000:8.0f} ms, "
                      f"peak RSS {rss:6.1f} MiB" + goal
                      + ("" if rc == 0 and same else f"   WRONG (exit {rc})"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return 0


def write_pair(folder, source, patch, made=None):
    """Writes old, patch (and new) into folder: their paths, and where the result goes."""
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, name) for name in ("old", "patch", "new")]
    for path, data in zip(paths, (source, patch, made)):
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
    return paths[0], paths[1], os.path.join(folder, "out")


def write_scattered(folder):
    for key, label, source, patch, made in scattered(random.Random(29)):
        write_pair(os.path.join(folder, key), source, patch, made)
        print(f"({key}) {label}: {os.path.join(folder, key)}/{{old,patch,new}}")


if __name__ == "__main__":
    sys.exit(main())
