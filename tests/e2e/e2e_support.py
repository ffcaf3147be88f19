"""What the end-to-end drivers share: counted checks, the reference update server on loopback,
publishing a release, and a loopback address that refuses connections."""

import os
import socket
import subprocess
import sys
import tempfile
import time

SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                             "update-server", "update_server.py")

_results = {"passed": 0, "failed": []}


def check(name, condition, detail=""):
    if condition:
        _results["passed"] += 1
    else:
        _results["failed"].append(name)
        print(f"FAILED {name}: {detail}", flush=True)


def summary(label):
    """Prints the counts and gives the exit status."""
    print(f"{label}: {_results['passed']} passed, {len(_results['failed'])} failed")
    return 1 if _results["failed"] else 0


def read(path):
    with open(path, "rb") as f:
        return f.read()


def publish(src, root, version, *extra, date="01/02/2026"):
    subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src, "--root", root, "--version",
                    version, "--date", date, *extra], check=True, stdout=subprocess.DEVNULL)


def refused_address():
    """host:port on loopback where nothing listens."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return f"127.0.0.1:{port}"


class ReferenceServer:
    """The reference update server serving root, with a request log and a report database of
    its own beside root; a context manager."""

    def __init__(self, root, *faults):
        self.dir = tempfile.mkdtemp(prefix="srv-", dir=os.path.dirname(os.path.abspath(root)))
        self.log = os.path.join(self.dir, "requests.log")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(
            [sys.executable, SERVER_SCRIPT, "serve", "--root", root, "--port", "0", "--port-file",
             port_file, "--log", self.log, "--db", os.path.join(self.dir, "reports.sqlite"),
             *faults], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while not (os.path.exists(port_file) and os.path.getsize(port_file)):
            if time.time() > deadline:
                raise RuntimeError("update server did not start")
            time.sleep(0.02)
        self.port = int(read(port_file))
        self.address = f"127.0.0.1:{self.port}"

    def requests(self):
        if not os.path.exists(self.log):
            return []
        return [line.decode("latin-1") for line in read(self.log).splitlines()]

    def streamed(self, wait=10):
        """Body bytes each endless answer sent before the client stopped reading; waits a
        little for the server to see that the client has gone."""
        path = self.log + ".streamed"
        deadline = time.time() + wait
        while not os.path.exists(path) and time.time() < deadline:
            time.sleep(0.05)
        return [int(n) for n in read(path).split()] if os.path.exists(path) else []

    def clear_log(self):
        open(self.log, "wb").close()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
