#!/usr/bin/env python3
"""The exit swap of a launcher built with a pinned publisher, under Wine: a delivered launcher
that is unsigned, changed after signing, or signed by another publisher under the same CA is
refused (removed; the old launcher stays, and the next report's outcome says "editor"); one
signed by the pinned publisher takes the place and runs.
Usage: publisher_pin_test.py PINNED_QVBRELMOX_EXE STUB_APP_EXE PUBLISHER_DIR WINE_RUN KIND"""

import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from codesign_support import Pki, TimeStampAuthority, sign  # noqa: E402
from e2e_support import check, read, refused_address, summary  # noqa: E402
from winenv import WineDesktop, windows_path  # noqa: E402

LAUNCHER, STUB, PUBLISHER, WINE_RUN, KIND = sys.argv[1:6]
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
PROFILE = b"[Unidade]\r\nUnidade=42\r\n[Assinatura]\r\nResultado=6.0;ok\r\n"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run_launcher(desk, folder):
    """One start to its end: no server answers, the stub application closes the launcher."""
    record = os.path.join(folder, "record.txt")
    proc = desk.start([windows_path(folder) + "\\QVBrelmox.exe"],
                      env={"QVBRELMOX_SERVER": refused_address(),
                           "STUB_RECORD": windows_path(record), "STUB_CLOSE_LAUNCHER": "1"})
    proc.communicate(timeout=120)
    return os.path.exists(record)


def outcome(folder):
    for line in read(os.path.join(folder, "QVBrelmox.ini")).decode("latin-1").splitlines():
        if line.startswith("Resultado="):
            return line.partition("=")[2]
    return None


def main():
    work = tempfile.mkdtemp(prefix="qvb-pin-")
    try:
        # The pinned publisher's CA and key, as the build made them; another publisher under
        # the same CA, which only the byte-for-byte pin tells apart.
        pki_dir = os.path.join(work, "pki")
        shutil.copytree(PUBLISHER, pki_dir)
        pki = Pki(pki_dir, ca=(os.path.join(pki_dir, "ca.pem"), os.path.join(pki_dir, "ca.key")))
        delivered = {}
        original = read(LAUNCHER)
        with TimeStampAuthority(pki) as tsa:
            for label, publisher in (("pinned", "Dravo"), ("other publisher", "Outro")):
                path = os.path.join(work, label + ".exe")
                write(path, original)
                sign(path, *pki.publisher(publisher), tsa.url)
                delivered[label] = read(path)
        tampered = bytearray(delivered["pinned"])
        tampered[len(tampered) // 2] ^= 0x01
        delivered["tampered"] = bytes(tampered)
        delivered["unsigned"] = original + b"\0unsigned"

        prefix = os.path.join(TOP, "build", "wine", f"pin-{KIND}")
        with WineDesktop(WINE_RUN, KIND, prefix) as desk:
            for label in ("unsigned", "tampered", "other publisher", "pinned"):
                folder = os.path.join(work, label.replace(" ", "-"))
                os.makedirs(folder)
                shutil.copy(LAUNCHER, os.path.join(folder, "QVBrelmox.exe"))
                shutil.copy(STUB, os.path.join(folder, "QVBrelmoxApp.exe"))
                write(os.path.join(folder, "QVBrelmox.ini"), PROFILE)
                write(os.path.join(folder, "QVBrelmox.new"), delivered[label])
                started = run_launcher(desk, folder)
                check(f"{label}: application started", started)
                exe = read(os.path.join(folder, "QVBrelmox.exe"))
                left = sorted(n for n in os.listdir(folder) if n.startswith("QVBrelmox."))
                if label != "pinned":
                    check(f"{label}: refused, the old launcher in place", exe == original)
                    check(f"{label}: removed, nothing kept aside",
                          left == ["QVBrelmox.exe", "QVBrelmox.ini"], left)
                    check(f"{label}: the next report says so", outcome(folder) == "6.0;editor",
                          outcome(folder))
                    continue
                check("pinned: swapped in", exe == delivered["pinned"])
                check("pinned: the old one kept aside",
                      read(os.path.join(folder, "QVBrelmox.ant")) == original)
                check("pinned: the outcome untouched", outcome(folder) == "6.0;ok",
                      outcome(folder))
                os.remove(os.path.join(folder, "record.txt"))
                check("pinned: the new launcher runs", run_launcher(desk, folder))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("publisher pin")


if __name__ == "__main__":
    sys.exit(main())
