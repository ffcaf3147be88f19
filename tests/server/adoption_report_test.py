#!/usr/bin/env python3
"""The release adoption report: known reports in a store give known figures in the text, the
CSV, the HTML page and the chart's series; launcher-supplied text cannot break out of the page
or the spreadsheet; and headless Chromium draws the page of a month of reports (kept as
ARTIFACT_DIR/adoption.png). Also the store's upkeep: prune leaves the report as it was, and a
backup made while reports arrive is whole.
Usage: adoption_report_test.py ARTIFACT_DIR"""

import csv
import datetime
import os
import random
import re
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools", "update-server")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, TOOLS)
from e2e_support import check, summary  # noqa: E402
import adoption  # noqa: E402

SERVER = os.path.join(TOOLS, "update_server.py")
NOW = "2026-12-08 12:00:00"
HOSTILE = "<img src=x onerror=alert(1)>"
# (at, unit, release, launcher version)
KNOWN = [("2026-12-01 09:00:00", "A", "5.2", "2.3"), ("2026-12-06 10:00:00", "A", "5.3", "2.4"),
         ("2026-12-07 08:00:00", "B", "5.3", "2.4"), ("2026-12-08 11:00:00", "B", "5.3", "2.4"),
         ("2026-12-05 15:00:00", "C", "5.2", "2.3"), ("2026-11-20 10:00:00", "D", "5.2", "2.3"),
         ("2026-11-30 10:00:00", "E", "5.1", "2.3"),
         ("2026-12-01 12:00:00", "F", "5.2", "2.3"),  # exactly 7 days old: quiet
         ("2026-12-01 12:00:01", "G", "5.2", "2.3"),  # a second younger: active
         ("2026-12-08 09:00:00", "", "5.3", "2.4"),  # no unit: counted per day only
         ("2026-12-08 13:00:00", "H", "5.3", "2.4"),  # after the report's moment
         ("2026-12-08 10:00:00", "I", "5.10", "2.5"), ("yesterday", "J", "5.3", "2.4"),
         ("2026-12-07 18:00:00", "L", "=1+1", "\x1b[2J"),
         ("2026-11-25 10:00:00", HOSTILE, "5.2", "2.3")]


def iso(moment):
    """A moment of the tables here as the store keeps it (UTC, ISO 8601)."""
    return moment.replace(" ", "T") + "Z" if re.fullmatch(r"[\d-]+ [\d:]+", moment) else moment


def make_store(path, rows):
    rows = [(iso(at), *rest) for at, *rest in rows]
    db = sqlite3.connect(path)
    db.execute("create table reports(at text, peer text, query text, versao text, ip text,"
               " unid text, user text, fone text, email text, ex text, versao_exe text)")
    db.executemany("insert into reports(at, peer, query, unid, versao, versao_exe, user, fone,"
                   " email) values (?, '10.0.0.1', 'User=Jo%E3o', ?, ?, ?, 'Jo\xe3o',"
                   " '5555-0101', 'joao@escritorio.com.br')", rows)
    db.commit()
    db.close()


def month_of_reports(path):
    """240 offices over two months; release 5.3 arrives through the last four weeks."""
    rng = random.Random(7)
    now = datetime.datetime(2026, 12, 8, 12)
    rows = []
    for unit in range(1000, 1240):
        adopted = now - datetime.timedelta(days=rng.uniform(-3, 26))
        gone_quiet = rng.random() < 0.08
        at = now - datetime.timedelta(days=60)
        while True:
            at += datetime.timedelta(hours=rng.uniform(12, 60))
            if at > now or (gone_quiet and at > now - datetime.timedelta(days=35)):
                break
            release = "5.3" if at > adopted else "5.2"
            rows.append((at.strftime(adoption.TIME_FORMAT), str(unit), release,
                         "2.4.0.0" if release == "5.3" else "2.3.1.0"))
    make_store(path, rows)


def run_report(db, *extra):
    return subprocess.run([sys.executable, SERVER, "report", "--db", db, "--now", NOW, *extra],
                          capture_output=True, text=True)


def known_figures(work):
    db = os.path.join(work, "known.sqlite")
    make_store(db, KNOWN)
    html_path, csv_path = os.path.join(work, "known.html"), os.path.join(work, "known.csv")
    done = run_report(db, "--days", "7", "--html", html_path, "--csv", csv_path)
    check("report runs", done.returncode == 0, done.stderr)
    with open(csv_path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))[1:]
    active = [(r[1], r[2], r[5]) for r in rows if r[0] == "active"]
    check("active units per release and launcher, newest release first, 5.10 above 5.3",
          active == [("5.10", "2.5", "1"), ("5.3", "2.4", "2"), ("5.2", "2.3", "2"),
                     ("'=1+1", "\x1b[2J", "1")], active)
    quiet = [(r[3], r[7], r[1]) for r in rows if r[0] == "quiet"]
    check("quiet units with their last contact, the longest quiet first",
          quiet == [("D", iso("2026-11-20 10:00:00"), "5.2"),
                    (HOSTILE, iso("2026-11-25 10:00:00"), "5.2"),
                    ("E", iso("2026-11-30 10:00:00"), "5.1"),
                    ("F", iso("2026-12-01 12:00:00"), "5.2")], quiet)
    per_day = [(r[4], r[6], r[5]) for r in rows if r[0] == "per_day"]
    check("reports and units per day over the 7 days",
          per_day == [("2026-12-02", "0", "0"), ("2026-12-03", "0", "0"),
                      ("2026-12-04", "0", "0"), ("2026-12-05", "1", "1"),
                      ("2026-12-06", "1", "1"), ("2026-12-07", "2", "2"),
                      ("2026-12-08", "3", "2")], per_day)
    text = done.stdout
    check("text: the headline figures, and the time zone they are in",
          "2026-12-08 12:00 UTC: 6 active units, 4 quiet" in text, text[:200])
    check("text: no control character from a launcher reaches the terminal",
          "\x1b" not in text and "?[2J" in text)
    a = adoption.Adoption(db, 7, datetime.datetime(2026, 12, 8, 12))
    series = a.releases_by_day()
    first = {r: v[0] for r, v in series.items() if v[0]}
    last = {r: v[-1] for r, v in series.items() if v[-1]}
    check("chart: the first day counts the units active then",
          first == {"5.2": 3, "5.1": 1}, first)
    check("chart: the last day agrees with the table",
          last == {"5.10": 1, "5.3": 2, "5.2": 2, "=1+1": 1}, last)
    with open(html_path, encoding="utf-8") as f:
        page = f.read()
    check("page: launcher text is escaped", HOSTILE not in page
          and "&lt;img src=x onerror=alert(1)&gt;" in page)
    check("page: one self-contained file (no script, nothing fetched)",
          "<script" not in page and "src=" not in page.replace("&lt;img src=x", "")
          and "@import" not in page and "url(" not in page and "<svg" in page)
    empty = os.path.join(work, "empty.sqlite")
    make_store(empty, [])
    done = run_report(empty, "--html", os.path.join(work, "empty.html"))
    check("an empty store gives a report of zeros", done.returncode == 0
          and "0 active units, 0 quiet" in done.stdout, done.stdout + done.stderr)
    done = run_report(os.path.join(work, "missing.sqlite"))
    check("a missing store is a clear error", done.returncode == 1
          and "cannot read" in done.stderr, done.stderr)


def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB or RGBA PNG without interlacing."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, size = zlib.decompress(idat), 3 if colour == 2 else 4
    stride, rows, prev = width * size, [], bytearray(width * size)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - size] if i >= size else 0
            b, c = prev[i], prev[i - size] if i >= size else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(b"".join(line[x:x + 3] for x in range(0, stride, size)))
        prev = line
    return width, height, rows


def rendered_page(work, artifacts):
    db = os.path.join(work, "month.sqlite")
    month_of_reports(db)
    page = os.path.join(work, "adoption.html")
    done = run_report(db, "--html", page)
    check("report of a month runs", done.returncode == 0, done.stderr)
    png = os.path.join(work, "adoption.png")
    # A laptop's width; tall enough for the chart and the first rows of the tables.
    shot = subprocess.run(["chromium-headless-shell", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", "--window-size=1366,1100",
                           f"--screenshot={png}", "file://" + page],
                          capture_output=True, text=True, timeout=120)
    check("Chromium renders the page", shot.returncode == 0 and os.path.exists(png),
          shot.stderr[-500:])
    if not os.path.exists(png):
        return
    os.makedirs(artifacts, exist_ok=True)
    shutil.copy(png, os.path.join(artifacts, "adoption.png"))
    width, height, rows = read_png(png)
    check("PNG is the window's size", (width, height) == (1366, 1100), (width, height))
    pixels = [r[i:i + 3] for r in rows[::4] for i in range(0, len(r), 12)]
    background = max(set(pixels), key=pixels.count)
    inked = sum(p != background for p in pixels) / len(pixels)
    check("PNG is not blank: a real share of it is drawn", 0.15 < inked < 0.9, inked)
    colours = set(pixels)
    check("PNG shows the two releases' lines", bytes.fromhex("1f77b4") in colours
          and bytes.fromhex("d62728") in colours, len(colours))


def store_upkeep(work):
    db = os.path.join(work, "upkeep.sqlite")
    now = datetime.datetime.now().replace(microsecond=0)
    rows = [((now - datetime.timedelta(days=d)).strftime(adoption.TIME_FORMAT), u, r, "2.4")
            for d, u, r in ((45, "A", "5.1"), (31, "A", "5.2"), (29, "B", "5.2"), (1, "C", "5.3"))]
    make_store(db, rows)
    until = now.strftime(adoption.TIME_FORMAT)
    csv_path = os.path.join(work, "upkeep.csv")
    before = run_report(db, "--days", "60", "--csv", csv_path).stdout, read_text(csv_path)
    done = subprocess.run([sys.executable, SERVER, "prune", "--db", db, "--older-than", "30"],
                          capture_output=True, text=True)
    check("prune runs", done.returncode == 0 and "out of 2 reports" in done.stdout,
          done.stdout + done.stderr)
    con = sqlite3.connect(db)
    kept = con.execute("select unid, versao, user, fone, email, query, peer from reports"
                       " order by at").fetchall()
    con.close()
    check("prune: reports over 30 days old keep only what the adoption report reads",
          [k[:2] for k in kept] == [("A", "5.1"), ("A", "5.2"), ("B", "5.2"), ("C", "5.3")]
          and all(k[2:] == ("",) * 5 for k in kept[:2])
          and all(k[2:] == ("Jo\xe3o", "5555-0101", "joao@escritorio.com.br", "User=Jo%E3o",
                            "10.0.0.1") for k in kept[2:]), kept)
    after = run_report(db, "--days", "60", "--csv", csv_path).stdout, read_text(csv_path)
    check("prune: the adoption report is as it was", after == before, (before, after))
    # A backup while reports arrive, as the service writes them (WAL, one row a transaction).
    con = sqlite3.connect(db)
    con.execute("pragma journal_mode=wal")
    con.close()
    stop = [False]

    def writer():
        con = sqlite3.connect(db, timeout=30)
        while not stop[0]:
            with con:
                con.execute("insert into reports(at, unid, versao) values (?, 'W', '5.3')",
                            (until,))
        con.close()

    thread = threading.Thread(target=writer)
    thread.start()
    copies = os.path.join(work, "backups")

    def backup(source=db):
        return subprocess.run([sys.executable, SERVER, "backup", "--db", source, "--to", copies,
                               "--keep", "3"], capture_output=True, text=True, timeout=60)

    try:
        done = backup()
    finally:
        stop[0] = True
        thread.join()
    check("backup runs while reports are written", done.returncode == 0, done.stderr)
    made = sorted(os.listdir(copies))
    check("backup: a dated copy in the folder", len(made) == 1
          and re.fullmatch(r"reports-\d{8}-\d{6}\.sqlite", made[0]), made)
    for _ in range(4):
        backup()
    kept = sorted(os.listdir(copies))
    check("backup: keeps the newest --keep copies", len(kept) == 3 and made[0] not in kept, kept)
    damaged = os.path.join(work, "damaged.sqlite")
    shutil.copyfile(db, damaged)
    with open(damaged, "r+b") as f:  # the table's pages, past the file's header page
        f.seek(4096)
        f.write(os.urandom(2 * 4096))
    done = backup(damaged)
    check("backup: a damaged store fails, and the good copies stay",
          done.returncode == 1 and sorted(os.listdir(copies)) == kept, (done.stderr, kept))
    if kept:
        copy = os.path.join(copies, kept[-1])
        con = sqlite3.connect(copy)
        whole = con.execute("pragma integrity_check").fetchone()[0]
        count = con.execute("select count(*) from reports where unid != 'W'").fetchone()[0]
        con.close()
        check("backup: a whole store, for its owner only",
              whole == "ok" and count == 4 and os.stat(copy).st_mode & 0o777 == 0o600,
              (whole, count, oct(os.stat(copy).st_mode)))


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def main():
    artifacts = sys.argv[1] if len(sys.argv) > 1 else tempfile.gettempdir()
    work = tempfile.mkdtemp(prefix="qvb-adoption-")
    try:
        known_figures(work)
        store_upkeep(work)
        rendered_page(work, artifacts)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("adoption report")


if __name__ == "__main__":
    sys.exit(main())
