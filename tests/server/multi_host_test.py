#!/usr/bin/env python3
"""Two hosts, one PostgreSQL: a release replicated from one root to the others (a folder, and
host:path through a remote shell), two deployments (two nginx, two report services) sharing a
throw-away PostgreSQL, loaded at once; the message queue delivering exactly once across both;
the database stopped and a report service killed under load; the adoption report and prune
giving the same on both engines."""

import datetime
import os
import random
import re
import shutil
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
from e2e_support import (SERVER_SCRIPT, Deployment, Postgres, check, publish, query,  # noqa: E402
                         read, summary, wait_for_file)

# The checks below come from one address, and send one unit's reports at once.
RELAXED = ("--requests-per-second", "100000", "--reports-per-unit", "100000")


LEASE = "3"  # seconds before an offer nobody confirmed goes out again


def server(*args):
    return subprocess.run([sys.executable, SERVER_SCRIPT, *args], capture_output=True,
                          text=True, timeout=120)


def release(work, name, files):
    src = os.path.join(work, name)
    for path, body in files.items():
        os.makedirs(os.path.dirname(os.path.join(src, path)), exist_ok=True)
        with open(os.path.join(src, path), "wb") as f:
            f.write(body)
    return src


def served(root):
    """{path: bytes} of the static tree root serves."""
    tree = os.path.realpath(os.path.join(root, "static"))
    out = {}
    for folder, _, names in os.walk(tree):
        for name in names:
            path = os.path.join(folder, name)
            out[os.path.relpath(path, tree)] = read(path)
    return out


class Watch:
    """Reads a root's served release over and over while a replication runs: Versao.txt and
    the file named after the release must come from the same release."""

    def __init__(self, root):
        self.root, self.seen, self.half = root, set(), []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.done.wait(0.002):
            tree = os.path.realpath(os.path.join(self.root, "static"))
            try:
                version = read(os.path.join(tree, "files/Contrib/Versao.txt"))
                marker = read(os.path.join(tree, "files/Contrib/release.txt"))
            except OSError:
                continue  # not there yet, or the tree before was removed between the reads
            self.seen.add(marker)
            if b":VersaoAtual=" + marker + b"\r\n" not in version:
                self.half.append((tree, marker))

    def stop(self):
        self.done.set()
        self.thread.join()


def replication_checks(work):
    """Returns the roots of the two hosts, both serving release 2."""
    a, b, c = (os.path.join(work, n) for n in ("host-a", "host-b", "host-c"))
    big = {f"lib/m{i}.dll": os.urandom(200_000) for i in range(10)}
    publish(release(work, "rel1", {"release.txt": b"1", "same.dat": b"s" * 1000, **big}), a, "1")
    done = server("replicate", "--root", a, "--to", b)
    check("replicate: to a folder", done.returncode == 0, done.stderr)
    check("replicate: the folder serves what the root serves", served(b) == served(a))
    # host:path through a remote shell that runs here: the same commands ssh would carry.
    rsh = os.path.join(work, "rsh")
    with open(rsh, "w") as f:  # host-x's sha256sum gets its digits wrong
        f.write('#!/bin/sh\nhost=$1\nshift\ncase "$host:$*" in\n'
                '  host-x:*sha256sum*) sh -c "$*" | tr 0-9 1-90; exit;;\nesac\n'
                'exec sh -c "$*"\n')
    os.chmod(rsh, 0o755)
    hosts = os.path.join(work, "hosts")
    with open(hosts, "w") as f:
        f.write(f"# the other hosts\n{b}\nhost-c:{c}   # through the remote shell\n")
    src2 = release(work, "rel2", {"release.txt": b"2", "same.dat": b"s" * 1000,
                                  "novo.dll": b"new", **big})
    done = subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src2, "--root", a,
                           "--version", "2", "--hosts", hosts], capture_output=True, text=True)
    printed = [line for line in done.stdout.splitlines() if line.startswith("replicate with:")]
    check("publish --hosts prints a replicate command for each host",
          len(printed) == 2 and f"--to host-c:{c}" in printed[1], done.stdout)
    watch = Watch(b)
    try:
        for _ in range(3):  # the first switches the hosts to release 2
            done = subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src2, "--root", a,
                                   "--version", "2", "--hosts", hosts, "--replicate", "--rsh",
                                   rsh], capture_output=True, text=True)
            check("publish --hosts --replicate runs them", done.returncode == 0, done.stderr)
    finally:
        watch.stop()
    check("replicate: the host never served half a release", not watch.half
          and b"2" in watch.seen and watch.seen <= {b"1", b"2"}, (watch.half[:2], watch.seen))
    for root in (b, c):
        check(f"replicate: {os.path.basename(root)} serves release 2, its area too",
              served(root) == served(a) and read(os.path.join(root, "files/Contrib/Versao.txt"))
              == read(os.path.join(a, "files/Contrib/Versao.txt")))
        trees = sorted(n for n in os.listdir(root) if re.fullmatch(r"static\.\d+", n))
        check(f"replicate: {os.path.basename(root)} keeps the tree it serves and the one before",
              trees == sorted({os.readlink(os.path.join(root, "static")),
                               os.readlink(os.path.join(root, "static.previous"))}), trees)
    together(work, a, b, c, rsh)
    return a, b


def together(work, a, b, c, rsh):
    """publish --hosts --replicate on three hosts: a copy that fails on one of them switches
    none; otherwise all three switch, one right after another."""
    src3 = release(work, "rel3", {"release.txt": b"3", "tres.dll": os.urandom(100_000)})
    blocked = os.path.join(work, "a-file")
    with open(blocked, "w") as f:
        f.write("a file where a folder should be")
    hosts = os.path.join(work, "hosts3")
    before = {root: served(root) for root in (a, b, c)}
    for name, bad in (("cannot be written", os.path.join(blocked, "root")),
                      ("gives wrong digests", f"host-x:{os.path.join(work, 'host-x')}")):
        with open(hosts, "w") as f:
            f.write(f"{b}\n{bad}\nhost-c:{c}\n")
        done = subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src3, "--root", a,
                               "--version", "3", "--hosts", hosts, "--replicate", "--rsh", rsh],
                              capture_output=True, text=True)
        check(f"together: a host that {name} fails the publish", done.returncode == 1
              and "no host switched" in done.stderr, done.stdout + done.stderr)
        check(f"together: a host that {name}: no host switched, none keeps the copy",
              {root: served(root) for root in (a, b, c)} == before
              and all(len([n for n in os.listdir(r) if re.fullmatch(r"static\.\d+", n)]) == 2
                      for r in (a, b)))
    with open(hosts, "w") as f:
        f.write(f"{b}\nhost-c:{c}\n")
    done = subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src3, "--root", a,
                           "--version", "3", "--hosts", hosts, "--replicate", "--rsh", rsh],
                          capture_output=True, text=True)
    took = re.search(r"switched 3 hosts to static\.\d+ in ([\d.]+) s", done.stdout)
    check("together: every host serves release 3", done.returncode == 0 and all(
        read(os.path.join(r, "static/files/Contrib/release.txt")) == b"3" for r in (a, b, c))
        and served(b) == served(a) == served(c), done.stdout + done.stderr)
    check("together: the three switched within 2 s of each other", took
          and float(took.group(1)) < 2, done.stdout)
    if took:
        print(f"three hosts switched in {took.group(1)} s")


def report_target(unit, extra=b""):
    return (b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&IP=10.0.0.1&Unid=" + unit + b"&User=Jo%E3o"
            + extra)


def ask(port, target, method=b"GET"):
    """(status, body) of one request on a connection of its own; (None, error) when the
    connection failed."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        s.sendall(method + b" " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        s.close()
    except OSError as error:
        return None, repr(error)
    head, _, body = data.partition(b"\r\n\r\n")
    try:
        return int(head.split(b" ")[1]), body
    except (IndexError, ValueError):
        return None, data[:80]


def message_checks(pg, a, b, work):
    queued = []
    for i in range(5):
        path = os.path.join(work, f"aviso{i}.txt")
        with open(path, "wb") as f:
            f.write(b"message %d\r\n" % i)
        queued.append(path)
    done = server("message", "add", "--db", pg.url, "--unit", "77", *queued)
    check("message add: five files queued", done.returncode == 0, done.stderr)
    answers = [None] * 40
    threads = [threading.Thread(target=lambda n=n: answers.__setitem__(n, ask(
        (a, b)[n % 2].port, report_target(b"77")))) for n in range(40)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    given = sorted(body for status, body in answers if status == 200 and body != b"ok")
    check("messages: 40 reports of one unit at once on both hosts, all answered",
          all(status == 200 for status, _ in answers), answers)
    check("messages: each of the five delivered exactly once across the hosts",
          given == [f"aviso{i}.txt".encode().ljust(30) + b"message %d\r\n" % i
                    for i in range(5)], given)
    listed = server("message", "list", "--db", pg.url, "--unit", "77").stdout
    check("message list: five delivered to the launcher's address, none queued",
          listed.count("127.0.0.1") == 5 and "0 queued, 0 in flight, 5 delivered" in listed,
          listed)
    # What message add refuses: the launcher could not store it whole under its name.
    for name, body in (("x" * 31 + ".txt", b"a name over 30 bytes"), ("vazio.txt", b""),
                       ("grande.txt", b"x" * (1 << 20)), (" lead.txt", b"a leading blank")):
        path = os.path.join(work, "refused", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
        done = server("message", "add", "--db", pg.url, "--unit", "78", path)
        check(f"message add refuses {name[:12]!r}", done.returncode == 1 and name in done.stderr,
              done.stderr)
    # The folder queue of before is imported; what a report takes, and what it does not.
    drop = os.path.join(work, "drop")
    for path, body in (("78/aviso.txt", b"for 78"), ("README.txt", b"the operator's notes"),
                       ("78/" + "y" * 31, b"stays")):
        os.makedirs(os.path.dirname(os.path.join(drop, path)), exist_ok=True)
        with open(os.path.join(drop, path), "wb") as f:
            f.write(body)
    done = server("message", "add", "--db", pg.url, drop)
    check("message add FOLDER imports the queue folder", done.returncode == 0
          and sorted(os.listdir(os.path.join(drop, "78"))) == ["y" * 31]
          and os.path.exists(os.path.join(drop, "README.txt")), done.stdout + done.stderr)
    for method, unit, port, want in ((b"HEAD", b"78", a.port, b""), (b"GET", b"", a.port, b"ok"),
                                     (b"GET", b"79", b.port, b"ok"),
                                     (b"GET", b"78", b.port, b"aviso.txt".ljust(30) + b"for 78"),
                                     (b"GET", b"78", a.port, b"ok")):
        got = ask(port, report_target(unit), method)
        check(f"messages: {method.decode()} for unit {unit!r} answers {want[:9]!r}",
              got == (200, want), got)


class Load:
    """Reports of units of their own, from four threads, on the hosts in turn, until stopped;
    each answer kept as (unit, host, status, body)."""

    LIMIT = 20000  # reports at most: the load always ends

    def __init__(self, name, hosts):
        self.name, self.hosts, self.answers = name, hosts, []
        self.stopping, self.lock, self.count = threading.Event(), threading.Lock(), 0
        self.threads = [threading.Thread(target=self.run) for _ in range(4)]
        for t in self.threads:
            t.start()

    def run(self):
        while not self.stopping.is_set():
            with self.lock:
                n, self.count = self.count, self.count + 1
            if n >= self.LIMIT:
                return
            unit = f"{self.name}-{n}"
            host = n % len(self.hosts)
            status, body = ask(self.hosts[host].port, report_target(unit.encode()))
            with self.lock:
                self.answers.append((unit, host, status, body))

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join()

    def settled(self, db, label, failed_status):
        """Checks the answers: ok, or a failure with failed_status, nothing else; and each
        unit answered ok stored exactly once."""
        stored = dict(query(db, "select unid, count(*) from reports where unid like ?"
                               " group by unid", (self.name + "-%",)))
        ok = [u for u, _, status, body in self.answers if (status, body) == (200, b"ok")]
        failed = [(s, b[:40]) for _, _, s, b in self.answers if (s, b) != (200, b"ok")]
        check(f"{label}: every answer is ok or a {failed_status}",
              all(s == failed_status for s, _ in failed), failed[:5])
        check(f"{label}: some reports failed while it lasted", len(failed) > 0, len(self.answers))
        check(f"{label}: each report answered ok is stored exactly once",
              ok and all(stored.get(u) == 1 for u in ok) and max(stored.values()) == 1,
              [(u, stored.get(u)) for u in ok if stored.get(u) != 1][:5])
        return ok


def query_write(db, sql, params=()):
    sys.path.insert(0, os.path.dirname(SERVER_SCRIPT))
    import store
    _, conn = store.connect_reader(db)
    conn = conn or sqlite3.connect(db)
    conn.execute(sql, params)
    conn.commit()
    conn.close()


def wait_until(condition, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def database_down(pg, a, b):
    load = Load("down", (a, b))
    time.sleep(1)
    pg.stop()
    time.sleep(2)
    pg.start()
    # The services connect again by themselves; a report after it is answered and stored.
    back = wait_until(lambda: ask(a.port, report_target(b"after-a"))[0] == 200
                      and ask(b.port, report_target(b"after-b"))[0] == 200)
    time.sleep(3)  # the services tell the outage's end after 2 s of answers
    load.stop()
    check("database down: both services answer again once it is back, without a restart", back)
    load.settled(pg.url, "database down", 500)
    late = [u for u, _, s, _ in load.answers[-20:]]
    stored = {u for u, in query(pg.url, "select unid from reports where unid like ?",
                                ("down-%",))}
    check("database down: the reports after its restart are stored", set(late) <= stored,
          sorted(set(late) - stored))
    for dep in (a, b):
        log = read(dep.service_log).decode()
        check("database down: the service says so once, and once that it is back",
              log.count("report store is unavailable") == 1
              and log.count("report store answers again") == 1, log[-3000:])


def service_killed(pg, a, b, work):
    load = Load("kill", (a, b))
    time.sleep(1)
    a.kill_reports()
    time.sleep(1)
    a.start_reports(a.reports_port)
    time.sleep(1)
    load.stop()
    ok = load.settled(pg.url, "a report service killed", 502)
    check("a report service killed: the other host answered every report",
          all((s, body) == (200, b"ok") for _, host, s, body in load.answers if host == 1))
    check("a report service killed: answered again once it is back",
          ask(a.port, report_target(b"kill-after"))[0] == 200 and ok)
    # Dying between taking a message and answering: the message stays queued.
    path = os.path.join(work, "fatal.txt")
    with open(path, "wb") as f:
        f.write(b"not lost\r\n")
    server("message", "add", "--db", pg.url, "--unit", "90", path)
    port_file = os.path.join(work, "dying.port")
    dying = subprocess.Popen([sys.executable, SERVER_SCRIPT, "serve", "--reports-only", "--db",
                              pg.url, "--port", "0", "--port-file", port_file,
                              "--fail-after-take"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        wait_for_file(port_file, "report service")
        got = ask(int(read(port_file)), report_target(b"90"))
        dying.wait(timeout=30)
    finally:
        if dying.poll() is None:
            dying.kill()
            dying.wait()
    check("a service dying after the take answers nothing", got[0] is None, got)
    time.sleep(int(LEASE) + 1.5)  # the store keeps its times to the second
    check("the message goes out again once its offer's time is up, and the next report takes it",
          ask(b.port, report_target(b"90")) == (200, b"fatal.txt".ljust(30) + b"not lost\r\n"))


def utc_checks(pg, a, b, work):
    """Reports from hosts in two time zones keep their order; a store of before, in the host's
    local time (one with daylight saving time), is migrated to UTC on both engines."""
    for n, dep in enumerate((b, a, b), 1):  # b is nine hours east of UTC, a three west
        check(f"time zones: report {n} stored", ask(dep.port, report_target(b"tz-%d" % n))[0]
              == 200)
        time.sleep(1.1)
    order = [u for u, in query(pg.url, "select unid from reports where unid like ? order by at",
                               ("tz-%",))]
    check("time zones: the reports of hosts in two zones keep the order they came in",
          order == ["tz-1", "tz-2", "tz-3"], order)
    sys.path.insert(0, os.path.dirname(SERVER_SCRIPT))
    import store
    lite, url = os.path.join(work, "before.sqlite"), pg.database("before")
    winter, summer = "2026-01-15 12:00:00", "2026-07-01 12:00:00"  # Berlin: UTC+1, UTC+2
    for db in (lite, url):
        engine, conn = store.connect_reader(db)
        engine, conn = (engine, conn.conn) if conn else ("sqlite", sqlite3.connect(db))
        run = conn.execute if engine == "sqlite" else lambda sql, *p: conn.execute(
            store.pg(sql), *p)
        for steps in store.MIGRATIONS[:2]:  # the schema of before
            for step in steps:
                run(step(engine))
        run("create table schema_version(version integer not null)")
        run("insert into schema_version values (2)")
        for at in (winter, summer):
            run("insert into reports(at, unid) values (?, 'old')", (at,))
        run("insert into messages(unid, name, content, queued_at, delivered_at) values"
            " ('old', 'a.txt', ?, ?, ?)", (b"x", winter, summer))
        conn.commit()
        conn.close()
        done = subprocess.run([sys.executable, SERVER_SCRIPT, "message", "list", "--db", db],
                              capture_output=True, text=True, env={**os.environ,
                                                                   "TZ": "Europe/Berlin"})
        got = [str(r[0]) for r in query(db, "select at from reports where unid = 'old' order by"
                                            " at")]
        got += [str(c) for c in query(db, "select queued_at, delivered_at from messages")[0]]
        want = (["2026-01-15T11:00:00Z", "2026-07-01T10:00:00Z", "2026-01-15T11:00:00Z",
                 "2026-07-01T10:00:00Z"] if engine == "sqlite" else
                ["2026-01-15 11:00:00+00:00", "2026-07-01 10:00:00+00:00",
                 "2026-01-15 11:00:00+00:00", "2026-07-01 10:00:00+00:00"])
        check(f"time zones: a {engine} store of local times is migrated to UTC",
              done.returncode == 0 and got == want, (done.stderr, got))


def adoption_rows(now):
    """Reports of 300 units over 60 days: releases that follow each other, units that go
    quiet, reports without a unit, several a day."""
    rand, rows = random.Random(20), []
    for unit in range(300):
        start, quiet = rand.randrange(60), rand.random() < 0.2
        for day in range(start, 60 - (20 if quiet else 0), rand.choice((1, 2, 5))):
            at = now - datetime.timedelta(days=59 - day, seconds=rand.randrange(86000))
            release = "5.%d" % (2 + day // 20 + (unit % 3 == 0))
            rows.append((at.strftime("%Y-%m-%dT%H:%M:%SZ"), "10.0.0.1", "q", release,
                         "192.168.0.1", f"u{unit:03d}" if unit % 50 else "", f"Nome {unit}",
                         "5555", "x@y.br", "Contrib", "2.%d.0.0" % (unit % 2)))
    return rows


def same_on_both_engines(pg, work):
    """The same reports in SQLite and PostgreSQL: the same adoption report (text, CSV, page),
    and prune takes out the same."""
    url = pg.database("adoption")
    lite = os.path.join(work, "adoption.sqlite")
    now = datetime.datetime.now().replace(microsecond=0)
    rows = adoption_rows(now)
    insert = ("insert into reports(at, peer, query, versao, ip, unid, \"user\", fone, email, ex,"
              " versao_exe) values (" + ", ".join("?" * 11) + ")")
    server("message", "list", "--db", lite)  # makes each store's schema
    server("message", "list", "--db", url)
    db = sqlite3.connect(lite)
    db.executemany(insert, rows)
    db.commit()
    db.close()
    sys.path.insert(0, os.path.dirname(SERVER_SCRIPT))
    import store
    _, conn = store.connect_reader(url)
    conn.conn.cursor().executemany(store.pg(insert), rows)
    conn.commit()
    conn.close()

    def reports(tag):
        out = []
        for db in (lite, url):
            page, sheet = os.path.join(work, f"{tag}.html"), os.path.join(work, f"{tag}.csv")
            done = server("report", "--db", db, "--now", now.strftime("%Y-%m-%d %H:%M:%S"),
                          "--html", page, "--csv", sheet)
            out.append((done.returncode, done.stdout, read(sheet), read(page)))
        return out

    old, recent = ((now - datetime.timedelta(days=d)).strftime("%Y-%m-%dT%H:%M:%SZ")
                   for d in (40, 2))
    for db in (lite, url):
        for unit, at in (("gone", old), ("recent", recent)):
            server("message", "add", "--db", db, "--unit", unit, os.path.join(work, "fatal.txt"))
            query_write(db, "update messages set delivered_at = ?, delivered_to = '10.1.2.3'"
                            " where unid = ?", (at, unit))
    first = reports("before")
    check("adoption: the report from PostgreSQL equals the one from SQLite",
          first[0] == first[1] and first[0][0] == 0 and "active units" in first[0][1],
          first[1][1][:500] + " | " + first[0][1][:500])
    for db in (lite, url):
        done = server("prune", "--db", db, "--older-than", "30")
        check("prune takes a store on either engine", done.returncode == 0, done.stderr)
    columns = "at, peer, query, ip, \"user\", fone, email, unid, versao"
    def utc(value):  # PostgreSQL's moment as SQLite's text
        return value.strftime("%Y-%m-%dT%H:%M:%SZ") if isinstance(value, datetime.datetime) \
            else value

    kept = [[(utc(r[0]), *r[1:]) for r in query(db, f"select {columns} from reports order by"
                                                    " at, unid")] for db in (lite, url)]
    check("prune: the same personal data taken out of the same reports",
          kept[0] == kept[1] and kept[0][0][1:7] == ("",) * 6 and kept[0][-1][4] != "",
          (kept[0][:1], kept[1][:1]))
    check("adoption: the same report from both after prune, and as before it",
          reports("after") == first)
    blanked = [query(db, "select unid, length(content), delivered_to from messages where unid"
                         " in ('gone', 'recent') order by unid") for db in (lite, url)]
    check("prune: blanks the contents and addresses of messages delivered before then",
          blanked[0] == blanked[1] == [("gone", 0, ""), ("recent", 10, "10.1.2.3")], blanked)
    copies = os.path.join(work, "pg-backups")
    done = server("backup", "--db", url, "--to", copies)
    made = os.listdir(copies) if os.path.isdir(copies) else []
    check("backup: PostgreSQL to a dated dump that pg_restore reads", done.returncode == 0
          and len(made) == 1 and made[0].endswith(".dump") and subprocess.run(
              ["pg_restore", "--list", os.path.join(copies, made[0])],
              capture_output=True).returncode == 0, done.stdout + done.stderr)


def main():
    work = tempfile.mkdtemp(prefix="qvb-hosts-")
    os.chmod(work, 0o755)
    try:
        with Postgres() as pg:
            root_a, root_b = replication_checks(work)
            lease = ("--offer-seconds", LEASE)
            os.environ["TZ"] = "America/Sao_Paulo"  # each report service in a zone of its own
            a = Deployment(root_a, db=pg.url, deploy_args=RELAXED, service_args=lease)
            os.environ["TZ"] = "Asia/Tokyo"
            b = Deployment(root_b, db=pg.url, deploy_args=RELAXED, service_args=lease)
            os.environ.pop("TZ")
            with a, b:
                done = subprocess.run(
                    [sys.executable, os.path.join(TOP, "bench", "server_load.py"), "--targets",
                     f"127.0.0.1:{a.port},127.0.0.1:{b.port}", "--db", pg.url, "--launchers",
                     "16", "--checks", "300", "--seconds", "60"], capture_output=True,
                    text=True, timeout=300)
                check("load on both hosts at once: every answer right, every report stored"
                      " exactly once", done.returncode == 0 and " 300/300" in done.stdout,
                      done.stdout + done.stderr)
                message_checks(pg, a, b, work)
                utc_checks(pg, a, b, work)
                database_down(pg, a, b)
                service_killed(pg, a, b, work)
            same_on_both_engines(pg, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("two hosts")


if __name__ == "__main__":
    sys.exit(main())
