"""What the end-to-end drivers share: counted checks, the reference update server on loopback,
the nginx deployment of a published root, publishing a release, and a loopback address that
refuses connections."""

import os
import re
import signal
import socket
import sqlite3
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
    return f"127.0.0.1:{free_port()}"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for_file(path, what, timeout=10):
    deadline = time.time() + timeout
    while not (os.path.exists(path) and os.path.getsize(path)):
        if time.time() > deadline:
            raise RuntimeError(f"{what} did not start")
        time.sleep(0.02)


def wait_for_port(port, what, timeout=10):
    deadline = time.time() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.time() > deadline:
                raise RuntimeError(f"{what} did not start")
            time.sleep(0.05)


class Deployment:
    """A published root served the production way on loopback: deploy's nginx configuration,
    with the report service (serve --reports-only) storing into its own database; a context
    manager. messages is the report service's queue folder. reports_port names a report service
    of the caller's instead; deploy_args go to deploy (its workers run as nobody here).
    Besides the deployment's own logs, nginx writes every request line whole to a log of the
    test's (requests()), which production never writes: there the report's query is left out."""

    def __init__(self, root, workers="1", reports_port=None, deploy_args=()):
        os.chmod(os.path.dirname(os.path.abspath(root)), 0o755)  # the test's folder
        self.dir = tempfile.mkdtemp(prefix="nginx-", dir=os.path.dirname(os.path.abspath(root)))
        os.chmod(self.dir, 0o755)
        self.db = os.path.join(self.dir, "reports.sqlite")
        self.messages = os.path.join(self.dir, "messages")
        os.makedirs(self.messages)
        self.reports = self.nginx = None
        try:
            if reports_port is None:
                port_file = os.path.join(self.dir, "reports.port")
                self.reports = subprocess.Popen(
                    [sys.executable, SERVER_SCRIPT, "serve", "--reports-only", "--db", self.db,
                     "--messages", self.messages, "--port", "0", "--port-file", port_file],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                wait_for_file(port_file, "report service")
                reports_port = int(read(port_file))
            self.reports_port = reports_port
            self.port = free_port()
            self.address = f"127.0.0.1:{self.port}"
            self.conf_dir = os.path.join(self.dir, "conf")
            subprocess.run([sys.executable, SERVER_SCRIPT, "deploy", "--root", root, "--port",
                            str(self.port), "--out", self.conf_dir, "--workers", workers,
                            "--reports", f"http://127.0.0.1:{self.reports_port}",
                            "--user", "nobody", *deploy_args],
                           check=True, stdout=subprocess.DEVNULL)
            conf = os.path.join(self.conf_dir, "nginx.conf")
            self.request_log = os.path.join(self.conf_dir, "logs", "requests.log")
            text = read(conf).decode()
            with open(conf, "w") as f:
                f.write(text.replace("    access_log ", "    log_format whole '\"$request\"';\n"
                                     f"    access_log {self.request_log} whole;\n"
                                     "    access_log ", 1))
            self.nginx = subprocess.Popen(["nginx", "-c", conf, "-p", self.conf_dir, "-g",
                                           "daemon off;"], stderr=subprocess.DEVNULL)
            wait_for_port(self.port, "nginx")
        except BaseException:
            self.stop()
            raise

    def requests(self):
        """The request lines nginx's HTTP server saw (after the front), whole."""
        if not os.path.exists(self.request_log):
            return []
        # nginx writes the bytes it does not print as \xHH.
        raw = re.sub(rb"\\x([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]),
                     read(self.request_log))
        return [line.split('"')[1] for line in raw.decode("latin-1").splitlines()]

    def clear_log(self):
        open(self.request_log, "wb").close()

    def workers(self):
        """The pids of nginx's worker processes."""
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                stat = read(f"/proc/{pid}/stat").decode()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == self.nginx.pid:
                pids.append(int(pid))
        return pids

    def fresh_workers(self, timeout=10):
        """Reloads nginx and waits until only new workers run (a memory figure of their own)."""
        old = set(self.workers())
        self.nginx.send_signal(signal.SIGHUP)
        deadline = time.time() + timeout
        while time.time() < deadline:
            now = set(self.workers())
            if now and not now & old:
                return
            time.sleep(0.05)
        raise RuntimeError("nginx's workers were not replaced")

    def stored_reports(self, where="1"):
        db = sqlite3.connect(self.db)
        try:
            return db.execute(f"select peer, query, unid from reports where {where}").fetchall()
        finally:
            db.close()

    def stop(self):
        for proc in (self.nginx, self.reports):
            if proc and proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


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
        wait_for_file(port_file, "update server")
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
