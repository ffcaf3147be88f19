#!/usr/bin/env python3
"""The report service as an operator runs it, behind real nginx, on a throw-away PostgreSQL and
on SQLite: a message counts as delivered only once nginx sent it whole; a store that is hostile,
frozen or locked fails reports cleanly and briefly; the limits of one shared address and of one
unit; the health location and the metrics."""

import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
sys.path.insert(0, HERE)
from e2e_support import Deployment, Postgres, check, publish, query, read, summary  # noqa: E402
from multi_host_test import Load, ask, release, report_target, server, wait_until  # noqa: E402

RELAXED = ("--requests-per-second", "100000", "--reports-per-unit", "100000")
LEASE = "3"  # seconds before an offer nobody confirmed goes out again
SLOW = report_target(b"slow")


def queue(db, work, unit, name, body):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(body)
    done = server("message", "add", "--db", db, "--unit", unit, path)
    assert done.returncode == 0, done.stderr


def states(db, unit):
    listed = server("message", "list", "--db", db, "--unit", unit).stdout
    return listed.splitlines()[-1]


def message(name, body):
    return name.encode().ljust(30) + body


def launcher_gives_up(port):
    """A launcher that waits its 30 s for the answer, then closes."""
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(30)
    s.sendall(b"GET " + SLOW + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    started = time.monotonic()
    try:
        got = s.recv(1 << 16)
    except OSError:
        got = b""
    s.close()
    return time.monotonic() - started, got


def slow_answer(pg, dep, work):
    """Starts a report whose answer the service gives after 35 s; returns the thread, whose
    result the caller checks with late_checks once it is done."""
    queue(pg.url, work, "slow", "lento.txt", b"after 35 s")
    answers = []
    slow = threading.Thread(target=lambda: answers.append(launcher_gives_up(dep.port)))
    slow.start()
    return slow, answers


def late_checks(pg, dep, slow, answers):
    slow.join()
    waited, got = answers[0]
    check("delivery: an answer the service gives after 35 s is nginx's error before the"
          " launcher's 30 s", got.startswith(b"HTTP/1.1 504") and waited < 30, (waited, got[:20]))
    time.sleep(max(0, 36 - waited))  # the service's late answer
    check("delivery: ... and that late answer took no message",
          states(pg.url, "slow") == "1 queued, 0 in flight, 0 delivered", states(pg.url, "slow"))
    check("delivery: ... which the next report takes",
          ask(dep.port, report_target(b"slow") + b"&n=2") == (200, message("lento.txt",
                                                                           b"after 35 s")))


def client_leaves(pg, dep, work):
    queue(pg.url, work, "gone", "adeus.txt", b"the launcher left")
    s = socket.create_connection(("127.0.0.1", dep.port))
    s.sendall(b"GET " + report_target(b"gone") + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    s.close()
    check("delivery: a client that closes right after its request leaves its message queued",
          wait_until(lambda: states(pg.url, "gone") == "1 queued, 0 in flight, 0 delivered", 10),
          states(pg.url, "gone"))
    check("delivery: ... and the next report takes it, delivered",
          ask(dep.port, report_target(b"gone")) == (200, message("adeus.txt", b"the launcher left"))
          and wait_until(lambda: states(pg.url, "gone").endswith(" 1 delivered"), 10),
          states(pg.url, "gone"))


def nginx_stopped(pg, dep, work):
    # On loopback the kernel would take the whole answer at once; a small send buffer keeps it
    # in nginx, as a slow line does.
    text = read(dep.conf).decode().replace(" backlog=4096;", " backlog=4096 sndbuf=16k;")
    with open(dep.conf, "w") as f:
        f.write(text)
    dep.stop_nginx()
    dep.start_nginx()
    big = b"b" * ((1 << 20) - 30)
    queue(pg.url, work, "cut", "grande.txt", big)
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", dep.port))
    s.sendall(b"GET " + report_target(b"cut") + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    first = s.recv(4096)
    time.sleep(0.5)
    dep.stop_nginx()
    s.close()
    check("delivery: nginx stopped in the middle of an answer leaves it in flight",
          first.startswith(b"HTTP/1.1 200") and states(pg.url, "cut")
          == "0 queued, 1 in flight, 0 delivered", (first[:20], states(pg.url, "cut")))
    dep.start_nginx()
    time.sleep(int(LEASE) + 1.5)  # the store keeps its times to the second
    check("delivery: ... and once its time is up the next report takes it whole",
          ask(dep.port, report_target(b"cut")) == (200, message("grande.txt", big)))
    check("delivery: ... once", wait_until(
        lambda: states(pg.url, "cut") == "0 queued, 0 in flight, 1 delivered", 10))


def burst(pg, dep, work):
    """300 units, each with a message, report at once: every answer's end is confirmed."""
    drop = os.path.join(work, "burst")
    for n in range(300):
        os.makedirs(os.path.join(drop, f"b{n}"))
        with open(os.path.join(drop, f"b{n}", "aviso.txt"), "wb") as f:
            f.write(b"to all")
    server("message", "add", "--db", pg.url, drop)

    def delivered():
        return query(pg.url, "select count(*) from messages where unid like ? and delivered_at"
                             " is not null", ("b%",))

    answers = [None] * 300
    threads = [threading.Thread(target=lambda n=n: answers.__setitem__(
        n, ask(dep.port, report_target(b"b%d" % n)))) for n in range(300)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check("delivery: 300 messages offered at once, each delivered once nginx confirms it",
          answers == [(200, message("aviso.txt", b"to all"))] * 300 and wait_until(
              lambda: delivered() == [(300,)], 10), delivered())


def backends(pg):
    return sorted(pid for pid, in query(pg.url, "select pid from pg_stat_activity where"
                                                " application_name = 'qvbrelmox'"))


def hostile_report(pg, dep):
    """A NUL and control characters in the fields, and a field far too long."""
    for n in range(10):  # connections in the pool
        ask(dep.port, report_target(b"warm-%d" % n))
    before = backends(pg)
    got = ask(dep.port, b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2%00x&Unid=nul%00%01unit&User=Jo"
              b"%00%0A%7Fao&Email=" + b"e" * 3000)
    stored = query(pg.url, "select unid, \"user\", versao, length(email) from reports where"
                           " unid like ?", ("nul%",))
    check("store: a report with a NUL is answered ok and stored without it",
          got == (200, b"ok") and stored == [("nulunit", "Joao", "5.2x", 256)], (got, stored))
    check("store: it drops no connection, and is no outage", backends(pg) == before
          and "unavailable" not in read(dep.service_log).decode(),
          (before, backends(pg), read(dep.service_log)[-500:]))


def postgres_processes(pg):
    master = pg.postmaster()
    pids = [master]
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(read(f"/proc/{pid}/stat").decode().rsplit(")", 1)[1].split()[1]) == master:
                pids.append(int(pid))
        except OSError:
            pass
    return pids


def frozen_database(pg, dep):
    """The database frozen (SIGSTOP) under load: reports fail within a few seconds, most of
    them at once, and the service comes back with it."""
    timed = []
    load = Load("frozen", (dep,))
    time.sleep(1)
    frozen = postgres_processes(pg)
    for pid in frozen:
        os.kill(pid, signal.SIGSTOP)
    start = time.monotonic()
    try:
        while time.monotonic() - start < 8:
            t0 = time.monotonic()
            status, _ = ask(dep.port, report_target(b"frozen-probe-%d" % len(timed)))
            timed.append((status, time.monotonic() - t0))
    finally:
        for pid in frozen:
            os.kill(pid, signal.SIGCONT)
    back = wait_until(lambda: ask(dep.port, report_target(b"thawed"))[0] == 200)
    time.sleep(3)
    load.stop()
    slowest = max(seconds for _, seconds in timed)
    check("frozen database: every report fails within a few seconds", slowest < 10
          and {status for status, _ in timed} <= {200, 500}, timed)
    check("frozen database: while it lasts most fail at once (one request probes)",
          sum(seconds < 1 for _, seconds in timed) > len(timed) // 2, timed)
    check("frozen database: the service answers again once it thaws", back)
    load.settled(pg.url, "frozen database", 500)


def locked_sqlite(root):
    """SQLite locked by another writer longer than the service waits: a 500 within a few
    seconds, told once, without a traceback; and reports are stored again after."""
    with Deployment(root, deploy_args=RELAXED) as dep:
        holder = sqlite3.connect(dep.db, isolation_level=None)
        holder.execute("begin immediate")
        timed = []
        for n in range(5):
            t0 = time.monotonic()
            timed.append((ask(dep.port, report_target(b"locked-%d" % n))[0],
                          time.monotonic() - t0))
        holder.execute("rollback")
        holder.close()
        back = wait_until(lambda: ask(dep.port, report_target(b"unlocked"))[0] == 200)
        log = read(dep.service_log).decode()
    check("SQLite locked: each report fails with a 500 within a few seconds",
          all(status == 500 and seconds < 6 for status, seconds in timed), timed)
    check("SQLite locked: said once, no traceback", log.count("unavailable") == 1
          and "Traceback" not in log, log[-2000:])
    check("SQLite locked: reports are stored again once it is free", back)


def limits(root):
    """With the deployment's own limits: 500 complete checks a second from one address pass;
    one unit reporting 100 times a second is refused past its own limit."""
    with Deployment(root, workers="2") as dep:
        done = subprocess.run(
            [sys.executable, os.path.join(TOP, "bench", "server_load.py"), "--targets",
             f"127.0.0.1:{dep.port}", "--db", dep.db, "--launchers", "64", "--checks", "1500",
             "--rate", "500", "--source", "127.0.0.1"], capture_output=True, text=True,
            timeout=120)
        check("limits: 500 complete checks a second from one address, none refused",
              done.returncode == 0 and " 1500/1500" in done.stdout, done.stdout + done.stderr)
        print(done.stdout.strip().splitlines()[-1])
        answers = []
        for n in range(100):
            answers.append(ask(dep.port, report_target(b"flood") + b"&n=%d" % n)[0])
            time.sleep(0.01)
        stored = query(dep.db, "select count(*) from reports where unid = 'flood'")[0][0]
        check("limits: one unit reporting 100 times a second is refused past its limit",
              6 <= answers.count(200) <= 10 and answers.count(429) == 100 - answers.count(200)
              and stored == answers.count(200), (answers.count(200), answers.count(429), stored))
        check("limits: another unit from the same address still reports",
              ask(dep.port, report_target(b"calm"))[0] == 200)


def metric(dep, name):
    status, body = ask(dep.reports_port, b"/metrics")
    found = re.search(rb"^" + re.escape(name.encode()) + rb" (\S+)$", body, re.M)
    return float(found.group(1)) if status == 200 and found else None


def signal_checks(pg, dep, root):
    """The health location and the metrics, through each failure an operator must see."""
    tree = os.path.realpath(os.path.join(root, "static"))
    digest = os.path.join(tree, "md5", "files", "Contrib", "release.txt")
    kept = read(digest)

    def health():
        return ask(dep.port, b"/health")[0]

    check("health: 200 while the store answers and the tree is whole", health() == 200)
    os.remove(digest)
    time.sleep(1.1)
    check("health: 503 with a file's digest answer missing", health() == 503)
    with open(digest, "wb") as f:
        f.write(kept)
    time.sleep(1.1)
    check("health: 200 again once it is back", health() == 200)
    pg.stop()
    time.sleep(1.1)
    down = health()
    failed = ask(dep.port, report_target(b"while-down"))[0]
    store_up = metric(dep, "qvbrelmox_store_up")
    pg.start()
    check("health: 503 while the database is down", down == 503 and failed == 500, down)
    check("metrics: the store is down while it is", store_up == 0, store_up)
    check("health: 200 once it is back",
          wait_until(lambda: ask(dep.port, report_target(b"back"))[0] == 200)
          and wait_until(lambda: health() == 200, 5))
    dep.kill_reports()
    check("health: 503 while the report service does not answer", health() == 503)
    dep.start_reports(dep.reports_port)
    for n in range(20):
        ask(dep.port, report_target(b"counted-%d" % n))
    names = ("qvbrelmox_reports_stored_total", "qvbrelmox_reports_failed_total",
             "qvbrelmox_store_errors_total", "qvbrelmox_messages_delivered_total",
             "qvbrelmox_messages_offered_again_total", "qvbrelmox_pool_waits_total",
             "qvbrelmox_report_seconds_count", 'qvbrelmox_report_seconds_bucket{le="+Inf"}',
             "nginx_up", "nginx_connections_active", "nginx_http_requests_total")
    seen = {n: metric(dep, n) for n in names}
    check("metrics: in Prometheus' text format, the service's counters with nginx's beside",
          None not in seen.values() and seen["qvbrelmox_reports_stored_total"] == 20
          and seen["qvbrelmox_report_seconds_count"] == 20 and seen["nginx_up"] == 1
          and seen["nginx_http_requests_total"] > 20, seen)
    check("metrics: not served on the public port",
          ask(dep.port, b"/metrics")[0] == 404)


def main():
    work = tempfile.mkdtemp(prefix="qvb-fleet-")
    os.chmod(work, 0o755)
    try:
        root = os.path.join(work, "root")
        publish(release(work, "rel", {"release.txt": b"1"}), root, "1")
        with Postgres() as pg:
            with Deployment(root, db=pg.url, deploy_args=RELAXED, service_args=(
                    "--offer-seconds", LEASE, "--delay", SLOW.decode() + ":35000")) as dep:
                slow = slow_answer(pg, dep, work)
                # The checks that leave nginx running go on meanwhile.
                client_leaves(pg, dep, work)
                burst(pg, dep, work)
                hostile_report(pg, dep)
                locked_sqlite(root)
                limits(root)
                late_checks(pg, dep, *slow)
                nginx_stopped(pg, dep, work)
                frozen_database(pg, dep)
            with Deployment(root, db=pg.url, deploy_args=RELAXED) as dep:
                signal_checks(pg, dep, root)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("fleet")


if __name__ == "__main__":
    sys.exit(main())
