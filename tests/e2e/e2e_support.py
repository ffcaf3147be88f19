"""What the end-to-end drivers share: counted checks, the reference update server on loopback,
the nginx deployment of a published root, publishing a release, and a loopback address that
refuses connections."""

import glob
import os
import re
import shutil
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
    manager. messages is the report service's drop folder. reports_port names a report service
    of the caller's instead; deploy_args go to deploy (its workers run as nobody here); db
    names the store (a postgresql:// URL shared with other deployments), service_args go to
    the report service, whose stderr is kept in service_log.
    Besides the deployment's own logs, nginx writes every request line whole to a log of the
    test's (requests()), which production never writes: there the report's query is left out."""

    def __init__(self, root, workers="1", reports_port=None, deploy_args=(), db=None,
                 service_args=(), tls=None):
        os.chmod(os.path.dirname(os.path.abspath(root)), 0o755)  # the test's folder
        self.dir = tempfile.mkdtemp(prefix="nginx-", dir=os.path.dirname(os.path.abspath(root)))
        os.chmod(self.dir, 0o755)
        self.db = db or os.path.join(self.dir, "reports.sqlite")
        self.messages = os.path.join(self.dir, "messages")
        self.service_log = os.path.join(self.dir, "reports.log")  # the service's stderr
        self.confirm = f"127.0.0.1:{free_port()}"  # the report service's UDP port
        self.status_port = free_port()
        self.service_args = ["--db", self.db, "--messages", self.messages, "--root", root,
                             "--confirm", self.confirm, "--nginx-status",
                             f"http://127.0.0.1:{self.status_port}/stub_status", *service_args]
        os.makedirs(self.messages)
        self.reports = self.nginx = None
        try:
            if reports_port is None:
                self.start_reports()
                reports_port = self.reports_port
            self.reports_port = reports_port
            self.port = free_port()
            self.address = f"127.0.0.1:{self.port}"
            self.conf_dir = os.path.join(self.dir, "conf")
            if tls:  # (certificate, key): https on a port of its own beside the plain one
                self.tls_port = free_port()
                deploy_args = [*deploy_args, "--tls-cert", tls[0], "--tls-key", tls[1],
                               "--tls-port", str(self.tls_port)]
            subprocess.run([sys.executable, SERVER_SCRIPT, "deploy", "--root", root, "--port",
                            str(self.port), "--out", self.conf_dir, "--workers", workers,
                            "--reports", f"http://127.0.0.1:{self.reports_port}",
                            "--user", "nobody", "--confirm", self.confirm, "--status-port",
                            str(self.status_port), *deploy_args],
                           check=True, stdout=subprocess.DEVNULL)
            conf = os.path.join(self.conf_dir, "nginx.conf")
            self.request_log = os.path.join(self.conf_dir, "logs", "requests.log")
            text = read(conf).decode()
            with open(conf, "w") as f:
                f.write(text.replace("    access_log ", "    log_format whole '\"$request\"';\n"
                                     f"    access_log {self.request_log} whole;\n"
                                     "    access_log ", 1))
            self.conf = conf
            self.start_nginx()
        except BaseException:
            self.stop()
            raise

    def start_reports(self, port=0):
        """Starts the report service (again, on its port, after kill_reports)."""
        port_file = os.path.join(self.dir, "reports.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        with open(self.service_log, "ab") as log:
            self.reports = subprocess.Popen(
                [sys.executable, SERVER_SCRIPT, "serve", "--reports-only", *self.service_args,
                 "--port", str(port), "--port-file", port_file],
                stdout=subprocess.DEVNULL, stderr=log)
        wait_for_file(port_file, "report service")
        self.reports_port = int(read(port_file))

    def start_nginx(self):
        """Starts nginx (again, after stop_nginx)."""
        self.nginx = subprocess.Popen(["nginx", "-c", self.conf, "-p", self.conf_dir, "-g",
                                       "daemon off;"], stderr=subprocess.DEVNULL)
        wait_for_port(self.port, "nginx")

    def stop_nginx(self, sig=signal.SIGTERM):
        self.nginx.send_signal(sig)
        self.nginx.wait(timeout=10)

    def kill_reports(self):
        """Kills the report service at once, as a crash would."""
        self.reports.kill()
        self.reports.wait(timeout=10)

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

    def stored_reports(self, where="1=1"):
        return query(self.db, f"select peer, query, unid from reports where {where}")

    def stop(self):
        for proc in (self.nginx, self.reports):
            if proc and proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def query(db, sql, params=()):
    """The rows of one query on a report store: a SQLite file or a postgresql:// URL."""
    sys.path.insert(0, os.path.dirname(SERVER_SCRIPT))
    import store
    engine, conn = store.connect_reader(db)
    conn = conn or sqlite3.connect(db)
    try:
        return conn.execute(sql, params).fetchall()
    finally:
        conn.close()


class Postgres:
    """A throw-away PostgreSQL cluster of the test's own, on a Unix socket in a temporary
    folder only (no TCP); run as the postgres user when the test runs as root. A context
    manager; url names its database; stop() and start() let a test take it away and back."""

    def __init__(self):
        versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                          key=lambda p: int(p.split("/")[4]))
        if not versions:
            raise RuntimeError("PostgreSQL is not installed (scripts/bootstrap)")
        self.bin = os.path.dirname(versions[-1])
        self.dir = tempfile.mkdtemp(prefix="qvb-pg-")
        self.data, self.log = os.path.join(self.dir, "data"), os.path.join(self.dir, "log")
        self.as_owner = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
            self.as_owner = ["runuser", "-u", "postgres", "--"]
        self.run("initdb", "-D", self.data, "--auth=trust", "-U", "postgres", "-E", "UTF8",
                 "--locale=C.UTF-8")
        self.start()
        self.url = self.database("qvb")

    def postmaster(self):
        """The server's pid (its backends are its children)."""
        return int(read(os.path.join(self.data, "postmaster.pid")).split()[0])

    def database(self, name):
        """Makes a database of that name; returns its URL."""
        self.run("createdb", "-h", self.dir, "-U", "postgres", name)
        return f"postgresql://postgres@/{name}?host={self.dir}"

    def run(self, program, *args):
        subprocess.run(self.as_owner + [os.path.join(self.bin, program), *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def start(self):
        self.run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "-o",
                 f"-c listen_addresses='' -c unix_socket_directories='{self.dir}'"
                 " -c max_connections=60", "start")

    def stop(self):
        self.run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "60", "stop")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


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
