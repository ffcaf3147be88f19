#!/usr/bin/env python3
"""The build's Authenticode step on the shipped launcher: signed with a test publisher and a
time-stamp from a loopback authority, the program verifies, one flipped byte does not, and the
signed file still passes the product's checks (size included).
Usage: authenticode_test.py EXE CMAKE SIGN_SCRIPT PE_CHECK"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from codesign_support import Pki, TimeStampAuthority, verify  # noqa: E402
from e2e_support import check, summary  # noqa: E402

EXE, CMAKE, SIGN_SCRIPT, PE_CHECK = sys.argv[1:5]


def build_sign(path, chain, key, tsa):
    return subprocess.run([CMAKE, f"-DFILE={path}", f"-DCERTS={chain}", f"-DKEY={key}",
                           f"-DTIMESTAMP={tsa}", "-P", SIGN_SCRIPT],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def main():
    work = tempfile.mkdtemp(prefix="qvb-authenticode-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        signed = os.path.join(work, "QVBrelmox.exe")
        shutil.copy(EXE, signed)
        with TimeStampAuthority(pki) as tsa:
            run = build_sign(signed, *pki.publisher("Dravo"), tsa.url)
            check("signed by the build's step", run.returncode == 0, run.stdout)
            check("one time-stamp asked for", tsa.requests == 1, tsa.requests)
            # The authority gone: the step fails and leaves the file as it was.
            unsigned = os.path.join(work, "unsigned.exe")
            shutil.copy(EXE, unsigned)
        run = build_sign(unsigned, *pki.publisher("Dravo"), tsa.url)
        check("no time-stamp: the step fails, file untouched", run.returncode != 0 and
              open(unsigned, "rb").read() == open(EXE, "rb").read() and
              not os.path.exists(unsigned + ".signing"), run.stdout)

        ok, out = verify(signed, pki.ca)
        check("osslsigncode verify passes", ok, out)
        # Loose on spacing: osslsigncode's releases lay the report out differently.
        for what in (r"Message digest algorithm\s*:\s*SHA256", r"Text description\s*:\s*QV/Brelmox",
                     r"URL description\s*:\s*https://www\.qvbrelmox\.com\.br/",
                     r"Timestamp time\s*:"):
            check(f"signature carries {what!r}", re.search(what, out, re.I), out)
        ok, out = verify(unsigned, pki.ca)
        check("unsigned program fails verify", not ok, out)

        data = bytearray(open(signed, "rb").read())
        data[len(data) // 3] ^= 0x01
        flipped = os.path.join(work, "flipped.exe")
        with open(flipped, "wb") as f:
            f.write(data)
        ok, out = verify(flipped, pki.ca)
        check("a flipped byte fails verify", not ok, out)

        run = subprocess.run([sys.executable, PE_CHECK, signed, "--max-size", str(1 << 20),
                              "--not-imported", "bcrypt.dll", "--not-imported", "wintrust.dll"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check("signed program passes the product's checks", run.returncode == 0,
              run.stdout.decode())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("authenticode")


if __name__ == "__main__":
    sys.exit(main())
