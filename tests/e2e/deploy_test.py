#!/usr/bin/env python3
"""The nginx deployment answers every request the launcher makes exactly as the reference server
does: both serve the same published root, and the same raw request lines go to each.
Also: the front's handling of what a launcher never sends, the report service's store and its
message queue under concurrent reports, and publish's static answers."""

import os
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
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "update-server"))
from e2e_support import (Deployment, ReferenceServer, check, publish, read,  # noqa: E402
                         summary)
import static_release  # noqa: E402

NAMES = {"a b.dll": b"space", "a\xe7\xe3o.dll": b"code page 1252", "Local\\x y.dll": b"folder",
         "50%.txt": b"percent", "50%41.txt": b"percent and hex", "#1.txt": b"hash",
         "dois  espa\xe7os .txt": b"two spaces", "+plus&amp.txt": b"signs",
         "empty.txt": b"", "big.bin": os.urandom(3 << 20)}


def exchange(port, payload, pieces=1):
    """Sends payload (in pieces, to cut request lines apart) and reads until the server closes."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    step = max(1, len(payload) // pieces)
    for at in range(0, len(payload), step):
        s.sendall(payload[at:at + step])
    data = b""
    while True:
        chunk = s.recv(1 << 16)
        if not chunk:
            break
        data += chunk
    s.close()
    return data


def responses(data):
    """(status, body) of each response in data; bodies framed by Content-Length."""
    out = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        length = 0
        for line in lines[1:]:
            key, _, value = line.partition(b":")
            if key.strip().lower() == b"content-length":
                length = int(value)
        out.append((int(lines[0].split()[1]), rest[:length]))
        data = rest[length:]
    return out


def get(port, target, close=True):
    return (b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nAccept: text/html, */*\r\n"
            + (b"Connection: close\r\n" if close else b"") + b"\r\n")


def answer(port, target):
    got = responses(exchange(port, get(port, target)))
    return got[0] if got else (None, b"")


def same_answers(reference, deployment, targets):
    deployment.clear_log()
    for target in targets:
        ref, dep = answer(reference.port, target), answer(deployment.port, target)
        # Only the status of a refusal counts: its text is each server's own.
        alike = ref == dep if ref[0] == 200 else ref[0] == dep[0]
        check(f"same answer for {target!r}", alike, f"reference {ref[0]} {ref[1][:60]!r}, "
              f"nginx {dep[0]} {dep[1][:60]!r}")
    want = [static_release.front_form(b"GET " + t + b" HTTP/1.1").decode("latin-1")
            for t in targets]
    check("nginx logs each request as the front passed it on", deployment.requests() == want,
          deployment.requests())


def front_checks(dep):
    name = "a b.dll".encode()
    many = b"".join(get(dep.port, b"/files/Contrib/" + name, close=False) for _ in range(3))
    many += get(dep.port, b"/Ok")
    for pieces in (1, len(many)):  # all at once, and one byte a send
        got = responses(exchange(dep.port, many, pieces))
        check(f"front: four requests on one connection in {pieces} piece(s)",
              got == [(200, NAMES["a b.dll"])] * 3 + [(200, b"Ok")], got)
    # A body holding a request line of its own is skipped, and the front rewrites again after.
    body = get(0, b"/files/Contrib/a b.dll").ljust(100, b"x")
    post = (b"POST /Ok HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n" + body
            + get(0, b"/files/Contrib/a b.dll"))
    for pieces in (1, len(post)):
        got = responses(exchange(dep.port, post, pieces))
        check(f"front: a body is skipped, the next request rewritten ({pieces} piece(s))",
              got[1:] == [(200, b"space")], got)
    try:
        got = exchange(dep.port, get(0, b"/files/Contrib/" + b"x" * 20000))
    except ConnectionResetError:
        got = b""
    check("front: a request line over nginx's 8 KB closes the connection", got == b"", got)
    # What a release changes is never answered from a proxy's cache.
    for target in (b"/files/Contrib/Versao.txt", b"/files/Contrib/none.bin",
                   b"/md5.php?files/Contrib/Versao.txt"):
        got = exchange(dep.port, get(0, target))
        check(f"front: {target!r} is marked no-cache", b"\r\nCache-Control: no-cache\r\n" in
              got.split(b"\r\n\r\n")[0] + b"\r\n", got[:300])
    got = exchange(dep.port, b"GET /Ok\r\n\r\n")
    check("front: a request line without a version gets an answer", got != b"", got)
    got = responses(exchange(dep.port, b"\r\n" + get(dep.port, b"/Ok")))
    check("front: a blank line before a request is skipped", got == [(200, b"Ok")], got)


def workers_rss_kib(dep):
    total = 0
    for pid in dep.workers():
        try:
            status = read(f"/proc/{pid}/status").decode()
        except OSError:
            continue
        fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
        total += int(fields.get("VmRSS", "0 kB").split()[0])
    return total


def front_memory_check(dep):
    # The front's memory lives as long as its connection: a long keep-alive connection must
    # not make it grow with every request. Measured while four such connections are open.
    before = workers_rss_kib(dep)
    request = get(dep.port, b"/files/Contrib/a b.dll", close=False)
    conns = []
    for _ in range(4):
        s = socket.create_connection(("127.0.0.1", dep.port), timeout=10)
        s.sendall(request * 999)
        data = b""
        while data.count(b"HTTP/1.1 200") < 999:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        conns.append((s, data.count(b"HTTP/1.1 200")))
    grown = workers_rss_kib(dep) - before
    for s, _ in conns:
        s.close()
    check("front: 999 requests on each of four open connections answered",
          [n for _, n in conns] == [999] * 4, [n for _, n in conns])
    check("front: they leave nginx's memory as it was", grown < 16 * 1024, f"{grown} KiB more")


class PeakRss:
    """The largest total of nginx's workers' memory seen while the block runs, in KiB."""

    def __init__(self, dep):
        self.dep, self.peak, self.done = dep, 0, threading.Event()

    def __enter__(self):
        self.base = workers_rss_kib(self.dep)
        self.thread = threading.Thread(target=self.sample)
        self.thread.start()
        return self

    def sample(self):
        while not self.done.wait(0.02):
            self.peak = max(self.peak, workers_rss_kib(self.dep))

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        self.grown = max(self.peak, workers_rss_kib(self.dep)) - self.base


def drain(s):
    """Reads s until the server closes it."""
    try:
        while s.recv(1 << 16):
            pass
    except OSError:
        pass


def front_attacks(dep):
    """A request line without end, a byte a send; one connection pipelining 999 requests whose
    targets hold 2,600 spaces each. Each must leave nginx's workers within 16 MiB."""
    def endless_line(s):
        s.sendall(b"GET /")
        for _ in range(16 << 10):
            s.send(b"a")
            time.sleep(0.0001)  # a read for each byte

    def spaces(s):
        s.sendall(get(0, b"/files/Contrib/" + b" " * 2600 + b"x", close=False) * 999)

    for name, attack in (("a request line without end, a byte a send", endless_line),
                         ("999 pipelined requests of 2,600 spaces each", spaces)):
        dep.fresh_workers()  # a worker's heap keeps what an attack before took
        s = socket.create_connection(("127.0.0.1", dep.port), timeout=30)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = threading.Thread(target=drain, args=(s,))
        reader.start()
        with PeakRss(dep) as rss:
            try:
                attack(s)
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the front closed it
            reader.join(30)
        s.close()
        check(f"front: {name}: the workers grow by less than 16 MiB", rss.grown < 16 << 10,
              f"{rss.grown} KiB more")


def report_checks(dep):
    os.makedirs(os.path.join(dep.messages, "77"))
    for i in range(5):
        with open(os.path.join(dep.messages, "77", f"aviso{i}.txt"), "wb") as f:
            f.write(b"message %d\r\n" % i)
    delivered, errors = [], []

    def launcher(n):
        try:
            target = b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&IP=10.0.0.%d&Unid=77&User=Jo%%E3o" % n
            status, body = answer(dep.port, target)
            if status != 200:
                errors.append(status)
            elif len(body) > 30:
                delivered.append(body)
        except OSError as e:
            errors.append(e)

    threads = [threading.Thread(target=launcher, args=(n,)) for n in range(40)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check("reports: 40 at once, all answered", errors == [], errors)
    stored = dep.stored_reports("unid = '77'")
    check("reports: all 40 stored", len(stored) == 40, len(stored))
    check("reports: stored with the launcher's address, not nginx's",
          all(peer == "127.0.0.1" for peer, _, _ in stored), stored[:3])
    check("reports: each queued message delivered exactly once",
          sorted(delivered) == sorted(f"aviso{i}.txt".encode().ljust(30) + b"message %d\r\n" % i
                                      for i in range(5)), delivered)
    check("reports: the drop folder is empty", os.listdir(os.path.join(dep.messages, "77")) == [])
    archive = os.path.join(dep.messages, "imported", "77")
    kept = sorted(os.listdir(archive)) if os.path.isdir(archive) else []
    check("reports: each imported file kept in imported/, with the time",
          len(kept) == 5 and all(re.fullmatch(r"\d{8}-\d{6} aviso\d\.txt", k) for k in kept),
          kept)
    db = sqlite3.connect(dep.db)
    mode = db.execute("pragma journal_mode").fetchone()[0]
    user = db.execute("select user from reports where unid = '77'").fetchone()[0]
    given = db.execute("select name, delivered_to from messages where unid = '77'"
                       " and delivered_at is not null order by name").fetchall()
    db.close()
    check("reports: the store records each delivery with the launcher's address",
          given == [(f"aviso{i}.txt", "127.0.0.1") for i in range(5)], given)
    check("reports: the store is in WAL mode", mode == "wal", mode)
    # nginx keeps its connections to the service: one connection, several reports.
    report = b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&Unid=88"
    got = responses(exchange(dep.reports_port, get(0, report, close=False) * 2
                             + get(0, report)))
    check("reports: the service answers several reports on one connection, then closes",
          got == [(200, b"ok")] * 3, got)
    check("reports: fields decoded as Latin-1", user == "Jo\xe3o", user)


def report_target(unit):
    return (b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&IP=10.0.0.1&Unid=" + unit + b"&User=Jo%E3o"
            b"&Fone=%2811%29%205555-0101&Email=joao%40escritorio.com.br&Ex=Contrib")


def queue_checks(dep):
    """What a report may take from the message queue: its own unit's files only, by GET only,
    only files the launcher can store whole under their names."""
    messages = dep.messages
    files = {"README.txt": b"the operator's notes", "h/aviso.txt": b"for h",
             "q/" + "x" * 27 + ".txt": b"a name over 30 bytes", "q/big.txt": b"x" * (1 << 20),
             "q/empty.txt": b"", "q/ z.txt": b"a name the launcher trims", "q/z-ok.txt": b"fits"}
    for name, body in files.items():
        os.makedirs(os.path.dirname(os.path.join(messages, name)), exist_ok=True)
        with open(os.path.join(messages, name), "wb") as f:
            f.write(body)
    os.symlink("/etc/hostname", os.path.join(messages, "q", "link.txt"))
    cases = [(b"HEAD", b"h", b""), (b"GET", b".", b"ok"), (b"GET", b"%2E", b"ok"),
             (b"GET", b"..", b"ok"), (b"GET", b"", b"ok"), (b"GET", b"q%2F..%2Fh", b"ok"),
             (b"GET", b"q%5C", b"ok"), (b"GET", b"h%00", b"ok"), (b"GET", b"delivered", b"ok"),
             (b"GET", b"q", b"z-ok.txt".ljust(30) + b"fits"), (b"GET", b"q", b"ok"),
             (b"GET", b"h", b"aviso.txt".ljust(30) + b"for h")]
    for method, unit, want in cases:
        got = exchange(dep.port, method + b" " + report_target(unit) + b" HTTP/1.1\r\nHost: x"
                       b"\r\nConnection: close\r\n\r\n")
        got = got[:12], got.partition(b"\r\n\r\n")[2]
        check(f"queue: {method.decode()} for unit {unit!r} answers {want[:12]!r}",
              got == (b"HTTP/1.1 200", want), got)
    left = sorted(os.listdir(messages))
    check("queue: files in the queue's own folder stay", "README.txt" in left, left)
    left = sorted(os.listdir(os.path.join(messages, "q")))
    check("queue: files the launcher could not store stay", len(left) == 5, left)


def no_second_try(root):
    """A report whose kept connection to the service breaks is answered with an error and never
    sent again: the service may have stored it already."""
    listener = socket.create_server(("127.0.0.1", 0))
    seen = []

    def connection(c):
        data = b""
        with c:
            for n in (1, 2):
                while b"\r\n\r\n" not in data:
                    chunk = c.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                head, _, data = data.partition(b"\r\n\r\n")
                seen.append(head.split(b" ")[1])
                if n == 1:
                    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
            # the second report has been stored; the connection breaks before the answer

    def accept():
        while True:
            try:
                c, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=connection, args=(c,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    with Deployment(root, reports_port=listener.getsockname()[1]) as dep:
        answers = [answer(dep.port, report_target(b"%d" % n))[0] for n in (1, 2)]
    listener.close()
    check("reports: one whose connection breaks is not sent to the service again",
          answers == [200, 502] and len(seen) == 2, (answers, seen))


def log_checks(dep):
    """After the reports above: their personal data is in no log, the logs are not for every
    local user, and logrotate's configuration from deploy rotates them with nginx reopening."""
    logs = os.path.join(dep.conf_dir, "logs")
    text = read(os.path.join(logs, "access.log")) + read(os.path.join(logs, "error.log"))
    check("logs: the report is logged by its path",
          b'"GET /cgi-bin/QVBrelmoxDLL.dll HTTP/1.1" 200' in text, text[-300:])
    check("logs: without the user's name, phone or e-mail", not re.search(
        rb"Jo%E3o|5555|escritorio", text), re.findall(rb".*(?:Jo%E3o|5555|escritorio).*", text))
    check("logs: the digest script's query (a file name) is logged",
          b"/md5.php?files/Contrib/" in text)
    modes = [oct(os.stat(os.path.join(logs, n)).st_mode & 0o777) for n in ("access.log",
                                                                           "error.log")]
    check("logs: made with mode 0640", modes == ["0o640"] * 2, modes)
    if not shutil.which("logrotate"):
        check("logrotate is installed (scripts/bootstrap)", False)
        return
    done = subprocess.run(["logrotate", "-f", "-s", os.path.join(dep.dir, "logrotate.state"),
                           os.path.join(dep.conf_dir, "logrotate.conf")],
                          capture_output=True, text=True)
    check("logs: logrotate takes deploy's configuration", done.returncode == 0, done.stderr)
    deadline = time.time() + 10
    while time.time() < deadline and b"/files/Contrib/empty.txt" not in \
            read(os.path.join(logs, "access.log")):
        answer(dep.port, b"/files/Contrib/empty.txt")  # until nginx has opened the new log
        time.sleep(0.1)
    fresh = read(os.path.join(logs, "access.log"))
    check("logs: rotated, and nginx writes to the new log",
          os.path.exists(os.path.join(logs, "access.log.1")) and b"/cgi-bin/" not in fresh
          and b"/files/Contrib/empty.txt" in fresh, fresh[:300])
    mode = os.stat(os.path.join(logs, "access.log")).st_mode & 0o777
    check("logs: the new log has mode 0640 too", mode == 0o640, oct(mode))


def service_pool_check(dep):
    """Slow clients straight at the report service: its threads stay within its pool."""
    idle = [socket.create_connection(("127.0.0.1", dep.reports_port)) for _ in range(200)]
    time.sleep(1)
    status = read(f"/proc/{dep.reports.pid}/status").decode()
    threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
    for s in idle:
        s.close()
    check("reports: 200 idle connections start no more threads than the pool's 64",
          threads <= 64 + 3, threads)  # and its own: the main one, two for nginx's word
    check("reports: answered again once they have gone",
          answer(dep.port, report_target(b"after"))[0] == 200)


def closed_within(s, seconds):
    """True when the server closes s within seconds."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except OSError:
        return False


def umask_and_limits(work):
    """Published and deployed under umask 077, the release is still served; and each limit of
    one address holds (set low here, so that a test's few connections reach them)."""
    src, root = os.path.join(work, "rel077"), os.path.join(work, "root077")
    old = os.umask(0o077)
    try:
        os.makedirs(src)
        with open(os.path.join(src, "a b.dll"), "wb") as f:
            f.write(b"space")
        publish(src, root, "1")
        with Deployment(root, deploy_args=("--connections-per-address", "128",
                                           "--requests-per-second", "100")) as dep:
            os.umask(old)
            timed = []  # the slow ones run while the rest is checked
            partial = socket.create_connection(("127.0.0.1", dep.port))
            partial.sendall(b"GET /Ok HT")
            kept = socket.create_connection(("127.0.0.1", dep.port))
            kept.sendall(get(0, b"/Ok", close=False))
            for name, s in (("a request head not finished", partial),
                            ("a kept connection without a request", kept)):
                t = threading.Thread(target=lambda n=name, c=s: timed.append(
                    (n, closed_within(c, 30))))
                t.start()
                timed.append(t)
            got = [answer(dep.port, t) for t in (b"/files/Contrib/a b.dll",
                                                 b"/md5.php?files/Contrib/a b.dll", b"/Ok")]
            check("umask 077: the file, its digest and the probe are served",
                  [g[0] for g in got] == [200] * 3 and got[0][1] == b"space", got)
            for request, want in ((b"POST /Ok HTTP/1.1\r\nContent-Length: 3\r\n", 403),
                                  (b"PUT /files/Contrib/x HTTP/1.1\r\nContent-Length: 5000\r\n",
                                   413), (b"DELETE /files/Contrib/a%20b.dll HTTP/1.1\r\n", 403)):
                got = responses(exchange(dep.port, request + b"Host: x\r\nConnection: close"
                                         b"\r\n\r\n" + b"x" * 3))
                check(f"limits: {request.split()[0].decode()} is refused with {want}",
                      got and got[0][0] == want, got)
            conns = [socket.create_connection(("127.0.0.1", dep.port)) for _ in range(140)]
            time.sleep(1)
            closed = sum(closed_within(c, 0.01) for c in conns)
            for c in conns:
                c.close()
            check("limits: 128 connections from one address (the two slow ones above among them),"
                  " the rest closed", closed == 140 + 2 - 128, closed)
            pipelines = [socket.create_connection(("127.0.0.1", dep.port)) for _ in range(2)]
            for p in pipelines:
                p.sendall(get(0, b"/files/Contrib/a b.dll", close=False) * 700)
            statuses = []
            for p in pipelines:
                data = b""
                while data.count(b"HTTP/1.1 ") < 700:
                    chunk = p.recv(1 << 16)
                    if not chunk:
                        break
                    data += chunk
                p.close()
                statuses += [st for st, _ in responses(data)]
            check("limits: a burst of 1,400 requests from one address, 1,000 of them served",
                  1000 <= statuses.count(200) < 1100 and statuses.count(429) > 250,
                  (statuses.count(200), statuses.count(429)))
            for t in [t for t in timed if isinstance(t, threading.Thread)]:
                t.join()
            for name, closed in [r for r in timed if isinstance(r, tuple)]:
                check(f"limits: {name} is closed within 30 s", closed)
    finally:
        os.umask(old)


UNITS = os.path.join(HERE, "..", "..", "tools", "update-server", "systemd")


def unit_checks():
    """systemd takes both units without a word, and scores their sandboxes (offline): the
    report service at 2.5 or below, nginx's master, which must start as root, at 3.5."""
    if not shutil.which("systemd-analyze"):
        check("systemd-analyze is installed (scripts/bootstrap)", False)
        return
    units = [os.path.join(UNITS, f"qvbrelmox-{n}.service") for n in ("reports", "nginx")]
    done = subprocess.run(["systemd-analyze", "verify", *units], capture_output=True, text=True)
    check("units: systemd-analyze verify accepts both", done.returncode == 0
          and done.stdout + done.stderr == "", done.stdout + done.stderr)
    sandbox_drop_in(units[0])
    for unit, most in zip(units, ("2.5", "3.5")):
        done = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--no-pager",
                               unit], capture_output=True, text=True)
        score = re.search(r"Overall exposure level for \S+: ([\d.]+)", done.stdout)
        check(f"units: {os.path.basename(unit)} exposed {most} or less",
              score and float(score.group(1)) <= float(most), done.stdout[-300:])


def sandbox_drop_in(unit):
    """The drop-in sandbox writes for a PostgreSQL store named by address and by name, on a host
    whose resolver is not on localhost: it allows the database and that resolver, and systemd
    takes it with the unit."""
    work = tempfile.mkdtemp(prefix="qvb-unit-")
    try:
        resolv = os.path.join(work, "resolv.conf")
        with open(resolv, "w") as f:
            f.write("# a host's resolvers\nnameserver 10.9.8.7\nnameserver 127.0.0.53\n")
        drop_ins = os.path.join(work, "qvbrelmox-reports.service.d")
        os.makedirs(drop_ins)
        shutil.copy(unit, work)
        url = "postgresql://qvbrelmox@10.0.0.21,localhost/qvbrelmox?sslmode=verify-full"
        done = subprocess.run([sys.executable, os.path.join(UNITS, "..", "update_server.py"),
                               "sandbox", "--db", url, "--resolv-conf", resolv, "--out",
                               os.path.join(drop_ins, "database.conf")],
                              capture_output=True, text=True)
        text = read(os.path.join(drop_ins, "database.conf")).decode() if done.returncode == 0 \
            else done.stderr
        check("sandbox: the drop-in allows the database and the resolver off localhost",
              "IPAddressAllow=10.0.0.21 127.0.0.1\n" in text and "IPAddressAllow=10.9.8.7\n"
              in text and "127.0.0.53" not in text and f'--db "{url}"' in text, text)
        done = subprocess.run(["systemd-analyze", "verify",
                               os.path.join(work, os.path.basename(unit))],
                              capture_output=True, text=True)
        check("sandbox: systemd-analyze verify takes the unit with it", done.returncode == 0
              and done.stdout + done.stderr == "", done.stdout + done.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def static_checks(work, root):
    digests = os.path.join(root, "static", "md5", "files", "Contrib")
    for name, body in NAMES.items():
        path = os.path.join(os.fsencode(digests), static_release.query_name(name))
        want = b"OK" + static_release.md5_answer(os.path.join(
            root, "files", "Contrib", name.replace("\\", "/")))[2:-2] + b"OK"
        check(f"static digest for {name!r}", os.path.exists(path) and read(path) == want)
    before = os.path.realpath(os.path.join(root, "static"))
    src2 = os.path.join(work, "rel2")
    os.makedirs(src2)
    with open(os.path.join(src2, "novo.dll"), "wb") as f:
        f.write(b"new")
    publish(src2, root, "5.3")
    after = os.path.realpath(os.path.join(root, "static"))
    check("publish switches to a fresh static tree and keeps the old one a while, marked",
          after != before and os.path.exists(os.path.join(before, static_release.RETIRED)),
          (before, after))
    bad = os.path.join(work, "bad")
    os.makedirs(bad)
    for name in ("euro\u20ac.txt", "what?.txt"):
        with open(os.path.join(bad, name), "wb") as f:
            f.write(b"x")
        done = subprocess.run(
            [sys.executable, os.path.join(HERE, "..", "..", "tools", "update-server",
                                          "update_server.py"), "publish", bad, "--root",
             os.path.join(work, "badroot"), "--version", "1"], capture_output=True, text=True)
        check(f"publish refuses {name!r} with a message", done.returncode == 1
              and name in done.stderr, done.stderr)
        os.remove(os.path.join(bad, name))


def main():
    work = tempfile.mkdtemp(prefix="qvb-deploy-")
    try:
        src, root = os.path.join(work, "rel"), os.path.join(work, "root")
        for name, body in NAMES.items():
            path = os.path.join(src, name.replace("\\", "/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(body)
        publish(src, root, "5.2")
        # The checks below come from one address, and send one unit's reports at once.
        relaxed = ("--requests-per-second", "100000", "--reports-per-unit", "100000")
        with ReferenceServer(root) as reference, Deployment(root, deploy_args=relaxed) as dep:
            listed = ["QVBrelmox2.ini", "Versao.txt"] + list(NAMES)
            targets = [b"/Ok", b"/ok", b"/", b"/files/Contrib/", b"/files/Contrib/Local",
                       b"/files/Contrib/missing.dll", b"/md5.php?files/Contrib/missing.dll",
                       b"/md5.php?files/Contrib/../x",
                       b"/md5.php?files/Contrib/..", b"/md5.php?files/Contrib/Local/x%20y.dll",
                       b"/md5.php?files/Contrib/Local/../../../static/notfound.bin",
                       b"/md5.php?files/Contrib/Local/./x y.dll", b"/md5.php?files/Contrib//a b.dll",
                       b"/md5.php?files/Contrib/a%20b.dll", b"/files/Contrib/a%20b.dll",
                       b"/md5.php?files/other", b"/cgi-bin/QVBrelmoxDLL.dll"]
            for name in listed:  # as the launcher sends them: slashes between folders
                targets += [b"/files/Contrib/" + static_release.wire_name(name),
                            b"/md5.php?files/Contrib/" + static_release.wire_name(name)]
            same_answers(reference, dep, targets)
            status, body = answer(dep.port, b"/files/Contrib/../../../../../etc/passwd")
            check("a path out of the area is not served", b"root:" not in body, (status, body))
            front_checks(dep)
            front_memory_check(dep)
            front_attacks(dep)
            report_checks(dep)
            queue_checks(dep)
            log_checks(dep)
            service_pool_check(dep)
        no_second_try(root)
        umask_and_limits(work)
        static_checks(work, root)
        unit_checks()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("deployment")


if __name__ == "__main__":
    sys.exit(main())
