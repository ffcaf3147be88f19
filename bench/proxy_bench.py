#!/usr/bin/env python3
"""A version check through Debian's squid against the same check direct, side by side: a fresh
installation brought to a release of 20 listed files of 100 KiB, five times each way, median
seconds and the overhead. Natively squid signs on with Basic (the credential in http_proxy);
under Wine it signs on with NTLM as the user (a domain credential for the proxy host in
Credential Manager, the static proxy in DefaultConnectionSettings, in a copy of the prefix).
Usage: proxy_bench.py UPDATE_CHECK
       proxy_bench.py UPDATE_CHECK CREDWRITE WINE_RUN KIND"""

import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from e2e_support import ReferenceServer, publish  # noqa: E402
from proxy_support import PASSWORD, USER, Squid  # noqa: E402

UPDATE_CHECK = sys.argv[1]
WINE = sys.argv[2:]
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
RUNS = 5


def settings(flags, proxy=""):
    """DefaultConnectionSettings as Windows writes it."""
    data = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, "", ""):
        data += struct.pack("<I", len(text)) + text.encode("latin-1")
    return data + bytes(32)


def main():
    work = tempfile.mkdtemp(prefix="qvb-proxy-bench-")
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
    credwrite = wine_run = kind = None
    try:
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        os.makedirs(src)
        for i in range(20):
            with open(os.path.join(src, f"f{i:02}.dat"), "wb") as f:
                f.write(os.urandom(100 << 10))
        publish(src, root, "1.0")
        if WINE:
            credwrite, wine_run, kind = WINE
            prefix = os.path.join(work, "prefix")
            shutil.copytree(os.path.join(HERE, "..", "build", "wine", kind), prefix,
                            symlinks=True)
            env.update(QVB_WINEPREFIX=prefix, WINEPREFIX=prefix, WINEDEBUG="-all")

        def wine(*args):
            return subprocess.run([wine_run, kind, *args], env=env, capture_output=True)

        def check(port, extra_env):
            inst = tempfile.mkdtemp(dir=work)
            path = "Z:" + inst.replace("/", "\\") if WINE else inst
            command = ([wine_run, kind] if WINE else []) + [
                UPDATE_CHECK, "--dir", path, "--server", f"127.0.0.1:{port}"]
            # Output to a file, not a pipe: Wine's helper processes (its desktop, started
            # when a program loads user32, as winhttp.dll does under Wine) inherit the pipe and
            # hold it open for a second or two after the check has ended.
            with tempfile.TemporaryFile() as output:
                start = time.time()
                subprocess.run(command, env=dict(env, **extra_env), stdout=output,
                               stderr=output, check=True)
                took = time.time() - start
            if len(os.listdir(inst)) < 20:
                raise RuntimeError("the check did not install the release")
            return took

        with ReferenceServer(root) as server, Squid("ntlm" if WINE else "basic") as squid:
            through = {}
            if WINE:
                wine(credwrite, "domain", "127.0.0.1", USER, PASSWORD)
            else:
                through = {"http_proxy": f"http://{USER}:{PASSWORD}@{squid.address}"}
            times = {"direct": [], "squid": []}
            for _ in range(RUNS):
                for name in ("direct", "squid"):
                    if WINE:
                        data = settings(3, squid.address) if name == "squid" else settings(1)
                        wine("reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t",
                             "REG_BINARY", "/d", data.hex(), "/f")
                    times[name].append(check(server.port, through if name == "squid" else {}))
        direct, proxied = (statistics.median(times[n]) for n in ("direct", "squid"))
        sign_on = "NTLM" if WINE else "Basic"
        print(f"direct: {direct:.2f} s, through squid ({sign_on}): {proxied:.2f} s, "
              f"overhead {100 * (proxied - direct) / direct:+.1f} %  (median of {RUNS})")
    finally:
        if WINE:
            subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
