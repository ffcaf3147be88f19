#!/usr/bin/env python3
"""Many launchers at once against the nginx deployment and against the reference server, in the
same run, on loopback.

Each simulated launcher runs the complete check of an installation that is up to date: the
probe, the usage report (a unit of its own), then QVBrelmox2.ini and Versao.txt, each with its
digest. It keeps its connection while the server allows, as the launcher's client does, and
checks every answer (status, body, digest). Each check is another unit, from a loopback address
of its own (127.0.0.0/8 is all loopback), as units at many offices would be: the deployment's
limits per address (connections, requests a second) stay as deployed.

Measured: complete checks per second, the p50 and p99 latency of a request, errors, and reports
stored against reports sent (each once: a report stored twice counts as lost); for the
deployments, the CPU time a report costs the report services and PostgreSQL.

  python3 bench/server_load.py [--launchers 64] [--checks 20000] [--seconds 30] [--postgresql]
  python3 bench/server_load.py --targets HOST:PORT[,HOST:PORT...] [--db STORE] [...]
                               [--rate N] [--source ADDRESS]
                               [--outcome 'RELEASE;CODE' [--failures SHARE]]

--postgresql also runs the deployment with its reports in a throw-away PostgreSQL, as one host
and as two hosts (two nginx, two report services) sharing it, the launchers spread over both.
--targets loads deployments that already run, all at once, the launchers spread over them;
--db names their store (a SQLite file or a postgresql:// URL) to count what was stored.
--rate starts N checks a second at most; --source sends every check from one address (an
office behind one shared address).
--outcome RELEASE;CODE ends each report with a signed build's Atualizacao field; --failures
SHARE makes that share of them name --failure-code (digest) instead, spread over the run.
--against OTHER/update_server.py measures the nginx deployment and the reference server of
another kit too (an older checkout's), each in turn with this one, --rounds times, and gives
this kit's checks a second against the other's.

Exits with 1 when an answer was wrong or a report was lost, so a short run doubles as a test.
"""

import argparse
import asyncio
import hashlib
import os
import shutil
import statistics
import sys
import tempfile
import time
import urllib.parse

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import e2e_support  # noqa: E402
from e2e_support import Deployment, Postgres, ReferenceServer, publish, query  # noqa: E402

AREA = "/files/Contrib/"


class Run:
    def __init__(self, label, targets, expected, checks, seconds, rate=None, source=None,
                 outcome=None, failures=0.0, failure_code="digest"):
        self.label, self.targets, self.expected = label, targets, expected
        # A signed build's outcome field, and the share of reports whose code is a failure.
        self.outcome, self.failures, self.failure_code = outcome, failures, failure_code
        self.reported = 0
        self.left, self.deadline = checks, time.monotonic() + seconds
        self.rate, self.source, self.started, self.begin = rate, source, 0, time.monotonic()
        self.latencies, self.errors, self.done, self.sent = [], [], 0, 0
        self.tag = b"%d" % time.time_ns()  # this run's units, in a store others share


def source_address(n):
    """A loopback address for check n, another for each of the first 12 million."""
    return f"127.{10 + n // 62500 % 200}.{n // 250 % 250}.{n % 250 + 1}"


async def request(conn, address, target, source):
    """One GET on conn (reader, writer or None) to address (host, port) from address source;
    returns (conn, status, body)."""
    for attempt in (1, 2):
        if conn is None:
            conn = await asyncio.open_connection(*address, local_addr=(source, 0))
        reader, writer = conn
        writer.write(b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"Accept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; QVBrelmox)"
                     b"\r\n\r\n")
        try:
            head = await reader.readuntil(b"\r\n\r\n")
        except asyncio.IncompleteReadError as e:
            writer.close()
            conn = None
            if attempt == 1 and not e.partial:
                continue  # the server closed a kept connection: a new one, as the client does
            raise
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        fields = {k.strip().lower(): v.strip() for k, _, v in
                  (line.partition(":") for line in lines[1:] if line)}
        if "content-length" in fields:
            body = await reader.readexactly(int(fields["content-length"]))
        else:
            body = await reader.read()
            fields["connection"] = "close"
        if fields.get("connection", "").lower() == "close":
            writer.close()
            conn = None
        return conn, status, body
    raise ConnectionError("no answer")


async def launcher(run, number):
    while run.left > 0 and time.monotonic() < run.deadline:
        run.left -= 1
        if run.rate:
            run.started += 1
            await asyncio.sleep(max(0, run.begin + run.started / run.rate - time.monotonic()))
        conn, source = None, run.source or source_address(run.left)
        unit = b"load-%s-%d-%d" % (run.tag, number, run.left)
        address = run.targets[number % len(run.targets)]
        targets = [b"/Ok",
                   b"/cgi-bin/QVBrelmoxDLL.dll?Versao=5.2&IP=10.0.0.1&Unid=" + unit +
                   b"&User=Jo%E3o&Fone=&Email=&Ex=Contrib&VersaoExe=2.4.0.0"]
        if run.outcome:
            targets[1] += b"&Atualizacao=" + outcome_field(run)
        for name in (b"QVBrelmox2.ini", b"Versao.txt"):
            targets += [AREA.encode() + name, b"/md5.php?" + AREA[1:].encode() + name]
        try:
            for target in targets:
                start = time.perf_counter()
                if target.startswith(b"/cgi-bin/"):
                    run.sent += 1
                conn, status, body = await request(conn, address, target, source)
                run.latencies.append(time.perf_counter() - start)
                want = run.expected.get(target)
                if status != 200 or (want is not None and body != want):
                    raise ValueError(f"{target!r}: {status} {body[:40]!r}")
            run.done += 1
        except (OSError, ValueError, asyncio.IncompleteReadError) as e:
            run.errors.append(repr(e))
        if conn:
            conn[1].close()


def outcome_field(run):
    """RELEASE;CODE for the next report; the code is a failure for exactly the share
    --failures of the reports sent (rounded down), spread over them."""
    release, _, code = run.outcome.rpartition(";")
    n, run.reported = run.reported, run.reported + 1
    failed = int((n + 1) * run.failures + 1e-9) > int(n * run.failures + 1e-9)
    return urllib.parse.quote(f"{release};{run.failure_code if failed else code}",
                              encoding="latin-1").encode()


async def load(run, launchers):
    start = time.monotonic()
    await asyncio.gather(*(launcher(run, n) for n in range(launchers)))
    run.elapsed = time.monotonic() - start


def expected_answers(root):
    answers = {b"/Ok": b"Ok", b"/cgi-bin/QVBrelmoxDLL.dll": None}
    for name in ("QVBrelmox2.ini", "Versao.txt"):
        with open(os.path.join(root, "files", "Contrib", name), "rb") as f:
            body = f.read()
        answers[AREA.encode() + name.encode()] = body
        answers[b"/md5.php?" + AREA[1:].encode() + name.encode()] = (
            b"OK" + hashlib.md5(body).hexdigest().upper().encode() + b"OK")
    return answers


def stored(db, tag):
    """The run's units stored, each counted once."""
    if db is None:
        return None
    return query(db, "select count(distinct unid) from reports where unid like ?",
                 (f"load-{tag.decode()}-%",))[0][0]


def twice(db, tag):
    if db is None:
        return 0
    return query(db, "select count(*) - count(distinct unid) from reports where unid like ?",
                 (f"load-{tag.decode()}-%",))[0][0]


def report(run, db):
    lat = sorted(run.latencies) or [0]
    p = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] * 1000
    rate = run.done / run.elapsed if run.elapsed else 0
    kept, doubled = stored(db, run.tag), twice(db, run.tag)
    if db is None:
        kept = run.sent  # nothing to count it in
    if doubled:
        print(f"    {doubled} reports stored twice")
        kept -= doubled
    run.sound = not run.errors and kept == run.sent
    print(f"{run.label:<22} {rate:8.0f} {run.done:7d} {p(0.5):8.2f} {p(0.99):8.2f} "
          f"{len(run.errors):6d} {kept:>7}/{run.sent:<7}", flush=True)
    for error in run.errors[:3]:
        print(f"    {error}")
    return rate


def expected_from(address):
    """The answers the first target gives, each file's digest checked against its body: the
    other targets must give the same."""
    async def fetch():
        answers = {b"/Ok": b"Ok", b"/cgi-bin/QVBrelmoxDLL.dll": None}
        for name in (b"QVBrelmox2.ini", b"Versao.txt"):
            _, _, body = await request(None, address, AREA.encode() + name, "127.0.0.1")
            answers[AREA.encode() + name] = body
            answers[b"/md5.php?" + AREA[1:].encode() + name] = (
                b"OK" + hashlib.md5(body).hexdigest().upper().encode() + b"OK")
        return answers
    return asyncio.run(fetch())


def cpu_seconds(pid, children=False):
    """CPU time of a process, with its children's that have ended (and, when asked, those that
    still run: PostgreSQL's backends)."""
    ticks = os.sysconf("SC_CLK_TCK")
    def own(p, ended):
        try:
            fields = open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()
        except OSError:
            return 0
        return sum(int(f) for f in fields[11:15 if ended else 13])
    total = own(pid, True)
    if children:
        for p in filter(str.isdigit, os.listdir("/proc")):
            try:
                parent = int(open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
            if parent == pid:
                total += own(p, False)
    return total / ticks


class Cost:
    """CPU spent by the report services and by PostgreSQL during a run, per report."""

    def __init__(self, services, pg):
        self.services, self.pg = services, pg
        self.start = self.now()

    def now(self):
        return (sum(cpu_seconds(s.reports.pid) for s in self.services),
                cpu_seconds(self.pg.postmaster(), True) if self.pg else 0)

    def show(self, reports):
        spent = [b - a for a, b in zip(self.start, self.now())]
        per = lambda seconds: 1000 * seconds / max(1, reports)
        print(f"    CPU a report: report services {per(spent[0]):.2f} ms"
              + (f", PostgreSQL {per(spent[1]):.2f} ms" if self.pg else ""), flush=True)


def address_of(text):
    host, _, port = text.rpartition(":")
    return host.strip("[]"), int(port)


def compare(args, root, measure, rates):
    """Each server of this kit and of the one --against names, in turn; prints the ratio of
    their checks a second, summed over the rounds."""
    kits = (("before", os.path.abspath(args.against)), ("after", e2e_support.SERVER_SCRIPT))
    totals = {}
    for server in ("nginx, SQLite", "reference serve"):
        for n in range(args.rounds):
            for kit, script in kits:
                e2e_support.SERVER_SCRIPT = script
                label = f"{server} {kit} {n + 1}"
                if server.startswith("nginx"):
                    with Deployment(root, workers="auto") as dep:
                        measure(label, [dep], dep.db)
                else:
                    with ReferenceServer(root) as ref:
                        measure(label, [ref], os.path.join(ref.dir, "reports.sqlite"))
                totals[server, kit] = totals.get((server, kit), 0) + rates[label]
    e2e_support.SERVER_SCRIPT = kits[1][1]
    for server in ("nginx, SQLite", "reference serve"):
        before, after = totals[server, "before"], totals[server, "after"]
        print(f"{server}: after / before {after / before if before else 0:.3f}"
              f" ({after / args.rounds:.0f} against {before / args.rounds:.0f} checks/s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--launchers", type=int, default=64, help="launchers at once")
    parser.add_argument("--checks", type=int, default=20000, help="checks per server, at most")
    parser.add_argument("--seconds", type=float, default=30, help="time per server, at most")
    parser.add_argument("--postgresql", action="store_true",
                        help="also one host and two hosts on a throw-away PostgreSQL")
    parser.add_argument("--targets", help="HOST:PORT,... of running deployments, loaded at once")
    parser.add_argument("--db", help="with --targets: their store, to count the reports")
    parser.add_argument("--rate", type=float, help="with --targets: checks a second at most")
    parser.add_argument("--source", help="with --targets: the one address every check is from")
    parser.add_argument("--outcome", metavar="RELEASE;CODE", help="with --targets: each report"
                        " ends with this previous check's outcome, as a signed build's does")
    parser.add_argument("--failures", type=float, default=0.0, metavar="SHARE",
                        help="with --outcome: this share of the reports names --failure-code")
    parser.add_argument("--failure-code", default="digest")
    parser.add_argument("--against", metavar="SCRIPT", help="another kit's update_server.py,"
                        " measured in turn with this one")
    parser.add_argument("--rounds", type=int, default=1, help="with --against: turns each")
    args = parser.parse_args()
    header = (f"{'server':<22} {'checks/s':>8} {'checks':>7} {'p50 ms':>8} {'p99 ms':>8} "
              f"{'errors':>6} {'stored/sent':>15}")
    if args.targets:
        targets = [address_of(t) for t in args.targets.split(",")]
        print(header)
        run = Run(f"{len(targets)} targets", targets, expected_from(targets[0]), args.checks,
                  args.seconds, args.rate, args.source, args.outcome, args.failures,
                  args.failure_code)
        asyncio.run(load(run, args.launchers))
        report(run, args.db)
        return 0 if run.sound else 1
    work = tempfile.mkdtemp(prefix="qvb-load-")
    try:
        src, root = os.path.join(work, "rel"), os.path.join(work, "root")
        os.makedirs(src)
        for name, size in (("QVBrelmoxApp.exe", 700_000), ("tabela.dat", 64_000)):
            with open(os.path.join(src, name), "wb") as f:
                f.write(os.urandom(size))
        publish(src, root, "5.2")
        expected = expected_answers(root)
        print(f"{args.launchers} launchers at once, up to {args.checks} checks or "
              f"{args.seconds:.0f} s per server; 6 requests a check; loopback, {os.cpu_count()} "
              "cores")
        print(header)
        rates, sound = {}, True

        def measure(label, deps, db, pg=None):
            nonlocal sound
            run = Run(label, [("127.0.0.1", d.port) for d in deps], expected, args.checks,
                      args.seconds)
            cost = Cost([d for d in deps if getattr(d, "reports", None)], pg)
            asyncio.run(load(run, args.launchers))
            rates[label] = report(run, db)
            if cost.services:
                cost.show(run.sent)
            sound &= run.sound

        if args.against:
            compare(args, root, measure, rates)
            return 0 if sound else 1
        with Deployment(root, workers="auto") as dep:
            measure("nginx, SQLite", [dep], dep.db)
        if args.postgresql:
            with Postgres() as pg:
                with Deployment(root, workers="auto", db=pg.url) as dep:
                    measure("nginx, PostgreSQL", [dep], pg.url, pg)
                # Each host with half the workers: the two share this machine's cores.
                half = str(max(1, (os.cpu_count() or 2) // 2))
                with Deployment(root, workers=half, db=pg.url) as one, \
                        Deployment(root, workers=half, db=pg.url) as two:
                    measure("2 x nginx, PostgreSQL", [one, two], pg.url, pg)
        with ReferenceServer(root) as ref:
            measure("reference serve", [ref], os.path.join(ref.dir, "reports.sqlite"))
        if rates["reference serve"]:
            print("nginx deployment / reference server: "
                  f"{rates['nginx, SQLite'] / rates['reference serve']:.1f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if sound else 1


if __name__ == "__main__":
    sys.exit(main())
