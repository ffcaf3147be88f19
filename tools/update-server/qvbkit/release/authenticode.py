"""publish --authenticode CA.pem: before anything is written, every program of the release
source must carry an Authenticode signature that osslsigncode verifies against CA.pem, so that
an unsigned program, or one signed by someone else, cannot ship by mistake.

CA.pem holds the CAs that the vendor's signatures and their time-stamps chain to (a PEM
bundle: the code-signing CA, and the time-stamp authority's root when it is another one).
Programs are the .exe and .dll files, and any other file with a Windows program's headers
(the launcher travels as QVBrelmox.new)."""

import os
import subprocess
import sys

PROGRAM_EXTENSIONS = (".exe", ".dll")
VERIFY_SECONDS = 120  # one file's verification; osslsigncode reads only the file and CA.pem


def add_argument(parser):
    parser.add_argument("--authenticode", metavar="CA.pem",
                        help="refuse the release unless every program in it (.exe, .dll, and"
                             " any file that is a Windows program) verifies against CA.pem")


def is_program(path):
    if os.path.splitext(path)[1].lower() in PROGRAM_EXTENSIONS:
        return True
    with open(path, "rb") as f:
        head = f.read(64)
        if len(head) < 64 or head[:2] != b"MZ":
            return False
        f.seek(int.from_bytes(head[60:64], "little"))
        return f.read(4) == b"PE\0\0"


def problems(src, ca):
    """(name, reason) for each program of src that is unsigned or does not verify."""
    found = []
    for dirpath, _, filenames in sorted(os.walk(src)):
        for filename in sorted(filenames):
            path = os.path.join(dirpath, filename)
            if not is_program(path):
                continue
            name = os.path.relpath(path, src).replace(os.sep, "\\")
            try:
                run = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca,
                                      "-in", path], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, timeout=VERIFY_SECONDS)
            except (OSError, subprocess.TimeoutExpired) as e:
                found.append((name, f"osslsigncode could not check it ({e})"))
                continue
            if run.returncode != 0:
                out = run.stdout.decode("latin-1")
                unsigned = "No signature found" in out or "Signature Index" not in out
                found.append((name, "not signed" if unsigned else
                              "its signature does not verify against " + ca))
    return found


def release_signed(src, ca):
    """True when every program of src verifies; otherwise names each one that does not, on
    stderr, and gives False."""
    if not os.path.isfile(ca):
        print(f"publish: --authenticode: {ca} is not a file", file=sys.stderr)
        return False
    bad = problems(src, ca)
    for name, reason in bad:
        print(f"publish: {name}: {reason}; nothing was published", file=sys.stderr)
    return not bad
