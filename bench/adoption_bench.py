#!/usr/bin/env python3
"""The release adoption report at national scale: a report store of many reports, made here,
then `update_server.py report` over it, timed, with its peak memory.

The store is what the report service writes (its table and indexes): UNITS offices over DAYS
days, each starting the launcher about once a working day, a new release every month that
each unit takes up at its own pace, and one unit in ten gone quiet half-way.

  python3 bench/adoption_bench.py [--reports 10000000] [--units 100000] [--days 120]
                                  [--db FILE] [--keep]

--db keeps (and reuses) the store in FILE, so a second run measures the report alone.
"""

import argparse
import datetime
import os
import random
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
SERVER = os.path.join(TOP, "tools", "update-server", "update_server.py")
sys.path.insert(0, os.path.dirname(SERVER))
import store  # noqa: E402

END = datetime.datetime(2026, 12, 8, 18, 0)
BATCH = 100_000


def rows(reports, units, days, rng):
    """The reports in time order, as the service stores them."""
    start = END - datetime.timedelta(days=days)
    take_up = [rng.uniform(0, 20) for _ in range(units)]  # days after a release's day
    quiet_from = [rng.uniform(days / 2, days) if rng.random() < 0.1 else days + 1
                  for _ in range(units)]
    step = days * 86400 / reports
    for i in range(reports):
        offset = i * step
        day = offset / 86400
        unit = rng.randrange(units)
        if day > quiet_from[unit]:
            unit = rng.randrange(units)
        release = max(0, int((day - take_up[unit]) // 30))
        at = (start + datetime.timedelta(seconds=offset)).strftime("%Y-%m-%dT%H:%M:%SZ")
        unid = f"{10000 + unit}"
        query = (f"Versao=5.{release}&IP=192.168.{unit % 250}.{unit % 200 + 2}&Unid={unid}"
                 f"&User=Usuario%20{unit}&Fone=%2811%29%205555-{unit % 10000:04d}"
                 f"&Email=usuario{unit}%40escritorio.com.br&Ex=Contrib&VersaoExe=2.{release}.0.0")
        yield (at, f"10.{unit % 200}.{unit % 250}.1", query, f"5.{release}",
               f"192.168.{unit % 250}.{unit % 200 + 2}", unid, f"Usuario {unit}",
               f"(11) 5555-{unit % 10000:04d}", f"usuario{unit}@escritorio.com.br", "Contrib",
               f"2.{release}.0.0")


def make_store(path, reports, units, days):
    db = sqlite3.connect(path)
    db.execute("pragma journal_mode=off")
    db.execute("pragma synchronous=off")
    schema, *indexes = store.MIGRATIONS[0]
    db.execute(schema("sqlite"))
    insert = ("insert into reports(at, peer, query, versao, ip, unid, user, fone, email, ex,"
              " versao_exe) values (?,?,?,?,?,?,?,?,?,?,?)")
    batch = []
    for row in rows(reports, units, days, random.Random(18)):
        batch.append(row)
        if len(batch) == BATCH:
            db.executemany(insert, batch)
            batch = []
    db.executemany(insert, batch)
    db.commit()
    # The indexes the service makes, built once after the rows (faster than row by row).
    for index in indexes:
        db.execute(index("sqlite"))
    db.commit()
    db.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reports", type=int, default=10_000_000)
    parser.add_argument("--units", type=int, default=100_000)
    parser.add_argument("--days", type=int, default=120, help="days the reports span")
    parser.add_argument("--db", help="keep the store in this file (made when missing)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qvb-adoption-bench-")
    db = args.db or os.path.join(work, "reports.sqlite")
    try:
        if not os.path.exists(db):
            start = time.monotonic()
            make_store(db, args.reports, args.units, args.days)
            print(f"store of {args.reports} reports from {args.units} units over {args.days} days"
                  f" made in {time.monotonic() - start:.0f} s ({os.path.getsize(db) >> 20} MiB)")
        count = sqlite3.connect(db).execute("select count(*) from reports").fetchone()[0]
        start = time.monotonic()
        done = subprocess.run([sys.executable, SERVER, "report", "--db", db, "--days", "30",
                               "--now", END.strftime("%Y-%m-%d %H:%M:%S"),
                               "--html", os.path.join(work, "adoption.html"),
                               "--csv", os.path.join(work, "adoption.csv")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        elapsed = time.monotonic() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss >> 10
        if done.returncode != 0:
            print(done.stderr, file=sys.stderr)
            return 1
        print(done.stdout.splitlines()[0])
        print(f"report over {count} reports (30 days, page and CSV): {elapsed:.1f} s, "
              f"peak memory {peak} MiB; {os.cpu_count()} cores")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
