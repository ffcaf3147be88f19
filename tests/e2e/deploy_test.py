#!/usr/bin/env python3
"""The nginx deployment answers every request the launcher makes exactly as the reference server
does: both serve the same published root, and the same raw request lines go to each.
Also: the front's handling of what a launcher never sends, the report service's store and its
message queue under concurrent reports, and publish's static answers."""

import os
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
    check("reports: the queue is empty", os.listdir(os.path.join(dep.messages, "77")) == [])
    db = sqlite3.connect(dep.db)
    mode = db.execute("pragma journal_mode").fetchone()[0]
    user = db.execute("select user from reports where unid = '77'").fetchone()[0]
    db.close()
    check("reports: the store is in WAL mode", mode == "wal", mode)
    # nginx keeps its connections to the service: one connection, several reports.
    report = b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&Unid=88"
    got = responses(exchange(dep.reports_port, get(0, report, close=False) * 2
                             + get(0, report)))
    check("reports: the service answers several reports on one connection, then closes",
          got == [(200, b"ok")] * 3, got)
    check("reports: fields decoded as Latin-1", user == "Jo\xe3o", user)


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
    check("publish switches to a fresh static tree and removes the old one",
          after != before and not os.path.exists(before), (before, after))
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
        with ReferenceServer(root) as reference, Deployment(root) as dep:
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
        static_checks(work, root)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("deployment")


if __name__ == "__main__":
    sys.exit(main())
