#!/usr/bin/env python3
"""publish --authenticode CA.pem: a release whose programs (.exe, .dll, and the launcher as
QVBrelmox.new) all verify is published; one unsigned, signed under another CA, or changed after
signing is refused by name, and nothing is written.
Usage: authenticode_publish_test.py"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from codesign_support import Pki, TimeStampAuthority, sign, tiny_program  # noqa: E402
from e2e_support import SERVER_SCRIPT, check, summary  # noqa: E402


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def publish(src, root, ca):
    return subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src, "--root", root,
                           "--version", "7.0", "--authenticode", ca],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def main():
    work = tempfile.mkdtemp(prefix="qvb-authenticode-publish-")
    try:
        vendor = Pki(os.path.join(work, "vendor"))
        stranger = Pki(os.path.join(work, "stranger"))
        names = ["QVBrelmoxApp.exe", "lib\\calc.DLL", "QVBrelmox.new"]
        signed = {}
        with TimeStampAuthority(vendor) as tsa, TimeStampAuthority(stranger) as other:
            for pki, url, tag in ((vendor, tsa.url, "vendor"), (stranger, other.url, "other")):
                for name in names:
                    path = os.path.join(work, tag, name.replace("\\", os.sep))
                    write(path, tiny_program(name.encode()))
                    sign(path, *pki.publisher("Dravo"), url)
                    signed[tag, name] = open(path, "rb").read()
        flipped = bytearray(signed["vendor", "QVBrelmoxApp.exe"])
        flipped[0x210] ^= 1

        def release(**change):
            src = tempfile.mkdtemp(dir=work)
            write(os.path.join(src, "Leia-me.txt"), b"MZ is not how a text begins\r\n")
            for name in names:
                write(os.path.join(src, name.replace("\\", os.sep)),
                      change.get(name, signed["vendor", name]))
            return src

        cases = [  # (label, changed file, its bytes)
            ("unsigned library", "lib\\calc.DLL", tiny_program(b"calc")),
            ("launcher signed under another CA", "QVBrelmox.new",
             signed["other", "QVBrelmox.new"]),
            ("program changed after signing", "QVBrelmoxApp.exe", bytes(flipped)),
        ]
        for label, name, data in cases:
            root = os.path.join(work, "root-" + label.replace(" ", "-"))
            run = publish(release(**{name: data}), root, vendor.ca)
            check(f"{label}: refused", run.returncode != 0, run.stderr)
            check(f"{label}: names the file", name in run.stderr and
                  all(n not in run.stderr for n in names if n != name), run.stderr)
            check(f"{label}: nothing written", not os.path.exists(root))

        root = os.path.join(work, "root")
        run = publish(release(), root, vendor.ca)
        check("all signed: published", run.returncode == 0, run.stderr)
        served = os.path.join(root, "files", "Contrib", "QVBrelmox.new")
        check("all signed: the launcher is served as signed",
              os.path.exists(served) and open(served, "rb").read()
              == signed["vendor", "QVBrelmox.new"])
        run = publish(release(), os.path.join(work, "root-none"), os.path.join(work, "none.pem"))
        check("a missing CA file: refused", run.returncode != 0 and "none.pem" in run.stderr,
              run.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("publish --authenticode")


if __name__ == "__main__":
    sys.exit(main())
