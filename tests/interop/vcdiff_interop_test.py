#!/usr/bin/env python3
"""Applies patches that Debian's xdelta3 wrote (-S none -A, with and without its checksum, with
one and with several windows) with vcdiff-apply (the launcher's decoder), byte for byte; refuses
the ones that do not fit; and applies one patch to a 256 MiB file, measuring the decoder's peak
memory and speed. Usage: vcdiff_interop_test.py VCDIFF_APPLY"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

APPLY = sys.argv[1]
# The decoder keeps one target window (xdelta3's default is 8 MiB) and its sections in memory,
# whatever the file's size; this much is far above that and far below the 64 MiB goal.
PEAK_RSS_LIMIT_MIB = 32
LARGE_MIB = 256
failures = []
passed = 0


def check(name, condition, detail=""):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(f"{name}: {detail}")
        print(f"FAILED {name}: {detail}", flush=True)


def encode(work, source, target, options):
    """xdelta3's patch from source (None: none) to target, and what printdelta says of it."""
    patch = os.path.join(work, "patch.vcdiff")
    # -A must be followed by another option, or it takes the next word as the header's text.
    args = ["xdelta3", "-e", "-f", "-A", "-S", "none", *options]
    if source is not None:
        args += ["-s", source]
    subprocess.run(args + [target, patch], check=True, capture_output=True, timeout=120)
    listing = subprocess.run(["xdelta3", "printdelta", patch], check=True, capture_output=True,
                             text=True, timeout=60).stdout
    return patch, listing


def apply(source, patch, out, *limit):
    done = subprocess.run([APPLY, source, patch, out, *map(str, limit)], capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stderr.strip()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def pairs(rnd):
    """(name, source or None, target): small files whose patches need every kind of window."""
    base = rnd.randbytes(300_000)
    records = [b"%08d" % i + rnd.randbytes(56) for i in range(4000)]
    changed = list(records)
    for i in rnd.sample(range(len(records)), len(records) // 100):
        changed[i] = changed[i][:8] + rnd.randbytes(56)
    block = rnd.randbytes(3000)
    return [
        ("inserted block", base, base[:20_000] + rnd.randbytes(8192) + base[20_000:]),
        ("1% of records changed", b"".join(records), b"".join(changed)),
        ("moved and deleted", base, base[100_000:200_000] + base[:100_000] + base[250_000:]),
        ("runs and repeats", base, base[:50_000] + bytes(40_000) + block * 30 + base[50_000:]),
        ("no source", None, block * 40 + bytes(30_000) + rnd.randbytes(20_000)),
        ("identical", base, base),
        ("empty result", base, b""),
        ("empty source", b"", base[:70_000]),
    ]


# xdelta3's default window, several small windows, each with and without the checksum.
OPTION_SETS = [[], ["-n"], ["-W", "16384"], ["-W", "16384", "-n"],
               ["-B", "524288", "-W", "32768"]]


def small_files(work):
    rnd = random.Random(3284)
    seen = {"windows": 0, "S@": False, "T@": False, "RUN": False, "checksum": False,
            "no checksum": False}
    wrong_source = None
    for name, source, target in pairs(rnd):
        source_path = write(os.path.join(work, "source"), source if source is not None else b"")
        target_path = write(os.path.join(work, "target"), target)
        for options in OPTION_SETS:
            label = f"{name} {' '.join(options) or 'defaults'}"
            patch, listing = encode(work, source_path if source is not None else None,
                                    target_path, options)
            seen["windows"] = max(seen["windows"], listing.count("VCDIFF window number"))
            for mark in ("S@", "T@", "RUN"):
                seen[mark] |= mark in listing
            seen["checksum" if "VCD_ADLER32" in listing else "no checksum"] = True
            out = os.path.join(work, "out")
            rc, err = apply(source_path, patch, out)
            check(label, rc == 0 and read(out) == target,
                  f"exit {rc} ({err}), {os.path.getsize(out)} bytes, want {len(target)}")
            if name == "inserted block" and options == ["-W", "16384"]:
                wrong_source = (source, read(patch), target)
    check("patches cover several windows, source and target copies, runs, both checksum kinds",
          seen["windows"] >= 10 and all(seen.values()), str(seen))
    refusals(work, *wrong_source)


def refusals(work, source, patch, target):
    """A patch that does not fit its source, is cut, has a stray byte or grows too large."""
    out = os.path.join(work, "out")
    changed = bytearray(source)
    changed[30_000] ^= 1  # a byte the patch copies
    rc, err = apply(write(os.path.join(work, "s2"), bytes(changed)),
                    write(os.path.join(work, "p2"), patch), out)
    check("wrong source fails the checksum", rc == 1 and "checksum" in err, f"{rc} {err}")
    source_path = write(os.path.join(work, "s1"), source)
    for cut in range(0, len(patch), 97):
        rc, err = apply(source_path, write(os.path.join(work, "p2"), patch[:cut]), out)
        check(f"cut at {cut} refused", rc == 1 and err, f"{rc} {err}")
    rc, err = apply(source_path, write(os.path.join(work, "p2"), patch + b"\x00"), out)
    check("stray byte refused", rc == 1 and "ends inside" in err, f"{rc} {err}")
    rc, err = apply(source_path, write(os.path.join(work, "p2"), patch), out, len(target) - 1)
    check("result over its limit refused", rc == 1 and "larger than" in err, f"{rc} {err}")


def measured(args):
    """Exit status, seconds and peak resident set (KiB) of a command run in a fresh process, so
    that no other child's memory counts."""
    probe = ("import resource, subprocess, sys, time\n"
             "t = time.monotonic(); rc = subprocess.run(sys.argv[1:]).returncode\n"
             "print(rc, time.monotonic() - t, "
             "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    done = subprocess.run([sys.executable, "-c", probe, *args], capture_output=True, text=True,
                          timeout=120)
    rc, seconds, rss = done.stdout.split()
    return int(rc), float(seconds), int(rss)


def same_files(a, b):
    with open(a, "rb") as f, open(b, "rb") as g:
        while True:
            x, y = f.read(1 << 20), g.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def large_file():
    """A 256 MiB file with 64 KiB inserted near its start and small changes in every MiB."""
    work = tempfile.mkdtemp(prefix="vcdiff-large-", dir="/tmp")
    try:
        rnd = random.Random(1950)
        source, target = os.path.join(work, "source"), os.path.join(work, "target")
        with open(source, "wb") as s, open(target, "wb") as t:
            for mib in range(LARGE_MIB):
                chunk = rnd.randbytes(1 << 20)
                s.write(chunk)
                chunk = bytearray(chunk)
                for _ in range(10):
                    at = rnd.randrange(len(chunk) - 100)
                    chunk[at:at + 100] = rnd.randbytes(100)
                t.write(chunk)
                if mib == 1:
                    t.write(rnd.randbytes(64 << 10))
        patch, listing = encode(work, source, target, [])
        out = os.path.join(work, "out")
        rc, seconds, rss = measured([APPLY, source, patch, out])
        mib_s = os.path.getsize(target) / (1 << 20) / seconds
        print(f"large file: {LARGE_MIB} MiB, patch {os.path.getsize(patch)} bytes in "
              f"{listing.count('VCDIFF window number')} windows, applied in {seconds:.2f} s "
              f"({mib_s:.0f} MiB/s), peak RSS {rss / 1024:.1f} MiB", flush=True)
        check("large file applied", rc == 0 and same_files(out, target), f"exit {rc}")
        check(f"peak RSS under {PEAK_RSS_LIMIT_MIB} MiB", rss < PEAK_RSS_LIMIT_MIB * 1024,
              f"{rss} KiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if shutil.which("xdelta3") is None:
        print("vcdiff interop: xdelta3 is missing (scripts/bootstrap installs it)")
        return 1
    work = tempfile.mkdtemp(prefix="vcdiff-interop-")
    try:
        small_files(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    large_file()
    print(f"vcdiff interop: {passed} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
