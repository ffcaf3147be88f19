#!/usr/bin/env python3
"""The release keys a build embeds are checked at configure time: a key that is not an ECDSA
P-256 public key, or a machine without the openssl command to check it, stops the build.
Usage: release_keys_test.py CMAKE SOURCE_DIR"""

import os
import subprocess
import sys
import tempfile

CMAKE, TOP = sys.argv[1:3]
PROJECT = """cmake_minimum_required(VERSION 3.20)
project(keys CXX)
if(NO_OPENSSL)  # the compiler found, nothing else is looked for where openssl lives
  set(CMAKE_FIND_USE_CMAKE_SYSTEM_PATH OFF)
  set(CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH OFF)
endif()
add_library(qvbcore INTERFACE)
include({top}/cmake/ReleaseKeys.cmake)
qvb_release_keys_library(keys "{key}")
"""


def configure(work, key, *options):
    src, build = os.path.join(work, "src"), os.path.join(work, "build")
    os.makedirs(src, exist_ok=True)
    with open(os.path.join(src, "CMakeLists.txt"), "w") as f:
        f.write(PROJECT.format(top=TOP, key=key))
    subprocess.run(["rm", "-rf", build], check=True)
    done = subprocess.run([CMAKE, "-S", src, "-B", build, *options], capture_output=True,
                          text=True)
    return done.returncode, done.stdout + done.stderr


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        keys = {}
        for name, curve in (("p256", "prime256v1"), ("p384", "secp384r1")):
            private, public = (os.path.join(work, f"{name}{s}.pem") for s in ("", ".pub"))
            subprocess.run(["openssl", "ecparam", "-name", curve, "-genkey", "-noout", "-out",
                            private], check=True)
            subprocess.run(["openssl", "ec", "-in", private, "-pubout", "-out", public],
                           check=True, capture_output=True)
            keys[name] = public
        no_openssl = ["-DNO_OPENSSL=ON"]
        cases = [("a P-256 key", keys["p256"], [], True, ""),
                 ("a P-384 key", keys["p384"], [], False, "is not an ECDSA P-256 public key"),
                 ("no openssl to check the key", keys["p256"], no_openssl, False,
                  "the openssl command is needed")]
        for label, key, options, ok, text in cases:
            rc, out = configure(work, key, *options)
            if (rc == 0) != ok or text not in out:
                failed += 1
                print(f"FAILED {label}: exit {rc}\n{out[-2000:]}")
    print(f"release keys: {len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
