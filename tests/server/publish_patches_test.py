#!/usr/bin/env python3
"""publish --sign and its binary patches: a run of signed releases, each manifest's patch lines
checked against the versions published before (at most 3, never the file's own), every patch
applied with vcdiff-apply (the launcher's decoder) giving the new file byte for byte and served
like any file of the area; stale patches removed; the kept versions beside the signing state,
pruned, never in the served tree; a missing or failing xdelta3 publishing nothing; a damaged
kept version giving no patch.
Usage: publish_patches_test.py VCDIFF_APPLY"""

import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_support import SERVER_SCRIPT, check, read, summary  # noqa: E402

APPLY = sys.argv[1]
AREA = os.path.join("files", "Contrib")
PATCH_LINE = re.compile(r"Patch:(.+)=([0-9a-f]{64}) (\d+) ([0-9a-f]{64}) (.+)")

rnd = random.Random(3284)
BASE = rnd.randbytes(200_000)
RECORDS = [b"%08d" % i + rnd.randbytes(56) for i in range(3000)]


def edited(data, at):
    return data[:at] + rnd.randbytes(64) + data[at + 64:]


def records(changed):
    rows = list(RECORDS)
    for i in changed:
        rows[i] = rows[i][:8] + rnd.randbytes(56)
    return b"".join(rows)


# The versions of each file, by label.
A = {n: edited(BASE, 10_000 * n) for n in range(1, 6)}
T = {1: records([]), 2: records(range(0, 3000, 100))}
SAME, SMALL = rnd.randbytes(50_000), {1: b"p1", 2: b"p2"}
TABLE = "sub\\tab dat"
# (release, its files, the patch sources expected for each file, newest first). a.bin goes
# through five versions (the fifth release drops its first one: at most 3) and back to its
# third; the tiny file changes but a patch would not be smaller; the table changes once and
# keeps its patch from the version before; the last release changes nothing and lists the
# same patches again, for offices that skipped a release.
RELEASES = [
    ("1.0", {"a.bin": A[1], TABLE: T[1], "same.dll": SAME, "tiny.txt": SMALL[1]}, {}),
    ("2.0", {"a.bin": A[2], TABLE: T[1], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[1]]}),
    ("3.0", {"a.bin": A[3], TABLE: T[2], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[2], A[1]], TABLE: [T[1]]}),
    ("4.0", {"a.bin": A[4], TABLE: T[2], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[3], A[2], A[1]], TABLE: [T[1]]}),
    ("5.0", {"a.bin": A[5], TABLE: T[2], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[4], A[3], A[2]], TABLE: [T[1]]}),
    ("6.0", {"a.bin": A[3], TABLE: T[2], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[5], A[4]], TABLE: [T[1]]}),
    ("7.0", {"a.bin": A[3], TABLE: T[2], "same.dll": SAME, "tiny.txt": SMALL[2]},
     {"a.bin": [A[5], A[4]], TABLE: [T[1]]}),
]
# What the signing side keeps after the last release: each file's last 3 distinct versions.
KEPT = [A[3], A[5], A[4], T[2], T[1], SAME, SMALL[2], SMALL[1]]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def write_release(src, files):
    shutil.rmtree(src, ignore_errors=True)
    for name, body in files.items():
        path = os.path.join(src, name.replace("\\", os.sep))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)


def publish(src, root, version, *extra, env=None):
    return subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src, "--root", root,
                           "--version", version, "--date", "01/02/2026", *extra],
                          capture_output=True, text=True, env=env)


def served(root, kind):
    """Relative names of the files of a kind under root (the area, the static tree...)."""
    out = set()
    for dirpath, _, filenames in os.walk(root):
        out |= {os.path.relpath(os.path.join(dirpath, f), root) for f in filenames if kind(f)}
    return out


def check_release(work, root, version, files, expected):
    area = os.path.join(root, AREA)
    text = read(os.path.join(area, "Manifesto.txt")).decode("latin-1")
    lines = text.split("\r\n")
    patches = [PATCH_LINE.fullmatch(line) for line in lines if line.startswith("Patch:")]
    check(f"{version}: patch lines well formed, after the file lines", all(patches) and
          lines[-len(patches) - 1:-1] == [p.group(0) for p in patches] and text.endswith("\r\n"),
          text)
    patches = [p for p in patches if p]
    got = {}
    for p in patches:
        name, source, size, digest, pname = p.groups()
        got.setdefault(name, []).append(source)
        target = files[name]
        check(f"{version} {name}: its own line is the target's",
              f"\r\n{name}={len(target)} {sha(target)}\r\n" in text, text)
        check(f"{version} {name}: named after its source and target",
              pname == f"{name}.{source[:16]}-{sha(target)[:16]}.vcdiff", pname)
        path = os.path.join(area, pname.replace("\\", os.sep))
        body = read(path)
        check(f"{version} {name}: size and SHA-256", int(size) == len(body) < len(target)
              and digest == sha(body), f"{size} {digest}")
        sources = [s for s in expected.get(name, []) if sha(s) == source]
        if sources:
            with open(os.path.join(work, "source"), "wb") as f:
                f.write(sources[0])
            out = os.path.join(work, "out")
            done = subprocess.run([APPLY, os.path.join(work, "source"), path, out],
                                  capture_output=True, text=True, timeout=60)
            check(f"{version} {name}: applied gives the new file", done.returncode == 0 and
                  read(out) == target, done.stderr)
    check(f"{version}: the sources are the versions before, newest first",
          got == {n: [sha(s) for s in v] for n, v in expected.items()}, got)
    listed = {p.group(5).replace("\\", os.sep) for p in patches}
    check(f"{version}: only the listed patches in the area and the static tree",
          served(area, lambda f: f.endswith(".vcdiff")) == listed and
          served(os.path.join(root, "static", AREA), lambda f: f.endswith(".vcdiff")) == listed,
          served(area, lambda f: f.endswith(".vcdiff")))


def failures(work, src, root, key):
    """xdelta3 missing, or failing: nothing of the release reaches the served tree, the signing
    state does not move."""
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    os.symlink(shutil.which("openssl"), os.path.join(bin_dir, "openssl"))
    failing = os.path.join(work, "failing")
    os.makedirs(failing)
    shutil.copy(os.path.join(bin_dir, "openssl"), failing, follow_symlinks=False)
    with open(os.path.join(failing, "xdelta3"), "w") as f:
        f.write("#!/bin/sh\necho 'xdelta3: out of disk' >&2\nexit 1\n")
    os.chmod(os.path.join(failing, "xdelta3"), 0o755)
    write_release(src, {**RELEASES[-1][1], "a.bin": A[1]})
    for label, path, said in (("xdelta3 missing", bin_dir, "xdelta3 is missing"),
                              ("xdelta3 failing", failing, "out of disk")):
        before = {p: read(os.path.join(work, p)) for p in served(work, lambda f: True)
                  if not p.startswith(("bin", "failing", "src"))}
        done = publish(src, root, "8.0", "--sign", key, env=dict(os.environ, PATH=path))
        after = {p: read(os.path.join(work, p)) for p in served(work, lambda f: True)
                 if not p.startswith(("bin", "failing", "src"))}
        check(f"{label}: a clear error", done.returncode == 1 and said in done.stderr
              and "nothing was published" in done.stderr, done.stderr)
        check(f"{label}: nothing changed, here or on the signing side", before == after,
              sorted(set(before) ^ set(after)))


def main():
    work = tempfile.mkdtemp(prefix="qvb-patches-")
    try:
        key = os.path.join(work, "keys", "release.pem")
        os.makedirs(os.path.dirname(key))
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", key], check=True)
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        for version, files, expected in RELEASES:
            write_release(src, files)
            done = publish(src, root, version, "--sign", key)
            check(f"{version}: published", done.returncode == 0, done.stderr)
            check_release(work, root, version, files, expected)
        history = key + ".sequence.history"
        check("the kept versions: each file's last 3, beside the signing state",
              sorted(served(history, lambda f: True)) == sorted(map(sha, KEPT)) + ["index"],
              sorted(served(history, lambda f: True)))
        check("the kept versions never in the served tree", not served(
            root, lambda f: f == "index" or re.fullmatch("[0-9a-f]{64}", f)))
        failures(work, src, root, key)
        with open(os.path.join(history, sha(A[5])), "r+b") as f:
            f.write(b"damaged")
        done = publish(src, root, "8.0", "--sign", key)
        check("a damaged kept version: no patch from it, the others made",
              done.returncode == 0 and "damaged" in done.stderr, done.stderr)
        check_release(work, root, "8.0", {**RELEASES[-1][1], "a.bin": A[1]},
                      {"a.bin": [A[3], A[4]], TABLE: [T[1]]})
        plain = os.path.join(work, "plain")
        done = publish(src, plain, "1.0")
        check("unsigned: no manifest, no patches", done.returncode == 0 and not served(
            plain, lambda f: f.endswith(".vcdiff") or f.startswith("Manifesto")), done.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("publish patches")


if __name__ == "__main__":
    sys.exit(main())
