#!/usr/bin/env python3
"""The launcher under Wine on a private Xvfb desktop, with the update server unreachable
(connection refused) and the stub application ending it with message 1025:
  - process start to splash window visible,
  - process start to the application started (the stub's own start time),
  - the launcher's working set while it waits after the start,
set against the pauses the start-up sequence prescribes (500 ms start-up timer, 200 ms before
each request; with the server refusing, one request is made).
Usage: launcher_bench.py BIN_DIR KIND [RUNS]"""

import os
import statistics
import sys
import tempfile
import shutil
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from e2e_support import refused_address  # noqa: E402
from winenv import WineDesktop, wait_for, windows_path  # noqa: E402

PRESCRIBED_MS = 500 + 200


def fields(text):
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def main():
    bin_dir, kind = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    exe = lambda name: os.path.join(bin_dir, name + ".exe")
    work = tempfile.mkdtemp(prefix="qvb-bench-")
    inst = os.path.join(work, "inst")
    os.makedirs(inst)
    shutil.copy(exe("QVBrelmox"), os.path.join(inst, "QVBrelmox.exe"))
    shutil.copy(exe("stub-app"), os.path.join(inst, "QVBrelmoxApp.exe"))
    record = os.path.join(inst, "record.txt")
    launcher = windows_path(os.path.join(inst, "QVBrelmox.exe"))
    splash, started, ended, spawn = [], [], [], []
    try:
        with WineDesktop(os.path.join(TOP, "scripts", "wine-run"), kind,
                         os.path.join(TOP, "build", "wine", f"bench-{kind}")) as desk:
            env = {"QVBRELMOX_SERVER": refused_address(), "STUB_RECORD": windows_path(record),
                   "STUB_CLOSE_LAUNCHER": "1"}
            for i in range(runs + 1):
                if os.path.exists(record):
                    os.remove(record)
                rc, out = desk.run([exe("uiprobe"), "launch", "60000", launcher], env=env,
                                   timeout=120)
                got = fields(out)
                wait_for(lambda: os.path.exists(record), 10)
                with open(record) as f:
                    app = fields(f.read())
                if i == 0:
                    continue  # the first run warms Wine's caches
                splash.append(float(got["splash"]))
                started.append(int(app["started"]) - int(got["start"]))
                ended.append(float(got["exit"]))
            # What starting any program costs under Wine: the stub alone, straight away.
            spawn = []
            for i in range(runs):
                os.remove(record)
                rc, out = desk.run([exe("uiprobe"), "launch", "0",
                                    windows_path(os.path.join(inst, "QVBrelmoxApp.exe"))],
                                   env=env, timeout=60)
                wait_for(lambda: os.path.exists(record), 10)
                with open(record) as f:
                    spawn.append(int(fields(f.read())["started"]) - int(fields(out)["start"]))
            # The working set while the launcher waits for its close.
            os.remove(record)
            env["STUB_CLOSE_LAUNCHER"] = "0"
            proc = desk.start([launcher], env=env)
            wait_for(lambda: os.path.exists(record), 30)
            time.sleep(1)
            working_set = int(desk.run([exe("uiprobe"), "memory"])[1].strip())
            desk.run([exe("uiprobe"), "close"])
            proc.communicate(timeout=60)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    med = statistics.median
    print(f"launcher under Wine ({kind}), {runs} runs, server refusing connections")
    print(f"  start to splash visible:     median {med(splash):7.1f} ms  "
          f"(min {min(splash):.1f}, max {max(splash):.1f})")
    print(f"  start to application start:  median {med(started):7.1f} ms  "
          f"(min {min(started)}, max {max(started)}); prescribed pauses {PRESCRIBED_MS} ms, "
          f"overhead {med(started) - PRESCRIBED_MS:.1f} ms")
    print(f"  one program start (the stub alone): median {med(spawn):.1f} ms; the launcher's own "
          f"start is in both figures above, the application's in the second")
    print(f"  overhead beyond the pauses and two program starts: "
          f"{med(started) - PRESCRIBED_MS - 2 * med(spawn):.1f} ms")
    print(f"  start to launcher exit:      median {med(ended):7.1f} ms")
    print(f"  working set while waiting:   {working_set / 1048576:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
