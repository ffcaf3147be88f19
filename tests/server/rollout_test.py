#!/usr/bin/env python3
"""A candidate release's life on the reference server with a store: a simulated fleet
(bench/server_load.py with outcomes) fires the automatic halt at its threshold and not below
it; the halt withdraws the candidate from the area and the served tree, resume brings it back
byte for byte, promote makes its files the signed stable release; the adoption report shows
each step. Also a store from before the outcomes gains them, and systemd takes the timer."""

import base64
import datetime
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
TOOLS = os.path.join(TOP, "tools", "update-server")
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
sys.path.insert(0, TOOLS)
from e2e_support import Postgres, ReferenceServer, check, query, read, summary  # noqa: E402
import store  # noqa: E402

SERVER = os.path.join(TOOLS, "update_server.py")
LOAD = os.path.join(TOP, "bench", "server_load.py")
CANDIDATE = "6.0"
HOURS = 10
# (what, reports, share failed, their release, halts): the defaults are at least 50 reports
# on the candidate and more than 5 % of them failures.
FLEETS = [("49 reports, all failed", 49, 1.0, CANDIDATE, False),
          ("100 reports, 5 % exactly failed", 100, 0.05, CANDIDATE, False),
          ("60 failures about another release", 60, 1.0, "5.0", False),
          ("50 reports, 6 % failed", 50, 0.06, CANDIDATE, True)]


def run(*args, ok=True):
    done = subprocess.run([sys.executable, SERVER, *args], capture_output=True, text=True)
    if ok and done.returncode != 0:
        raise RuntimeError(f"{args[0]} {args[1]}: {done.stderr}")
    return done


def fleet(ref, db, reports, failures, release):
    done = subprocess.run([sys.executable, LOAD, "--targets", ref.address, "--db", db,
                           "--launchers", "8", "--checks", str(reports), "--outcome",
                           f"{release};ok", "--failures", str(failures)],
                          capture_output=True, text=True, timeout=60)
    check(f"fleet of {reports}: every answer right and every report stored",
          done.returncode == 0, done.stdout + done.stderr)


def fetch(ref, name):
    try:
        with urllib.request.urlopen(f"http://{ref.address}/files/Contrib/{name}") as answer:
            return answer.read()
    except OSError:
        return None


def adoption(db, root):
    return run("report", "--db", db, "--root", root, "--days", "7").stdout


def served(root, name):
    path = os.path.join(root, "static", "files", "Contrib", name)
    return read(path) if os.path.exists(path) else None


def old_store_gains_outcomes(db, engine, make):
    """A store the previous version made (make: a connection to it) keeps its reports and
    takes outcomes."""
    conn = make()
    for steps in store.MIGRATIONS[:-1]:
        for step in steps:
            conn.execute(step(engine))
    conn.execute("create table schema_version(version integer not null)")
    conn.execute("insert into schema_version values (%d)" % (len(store.MIGRATIONS) - 1))
    conn.execute("insert into reports(at, unid, versao) values ('2026-12-01T10:00:00Z', 'U',"
                 " '5.0')")
    conn.commit()
    conn.close()
    s = store.open_store(db)
    s.add_report("10.0.0.1", "", {"Unid": "V", "Atualizacao": "6.0;x;gravacao\x01" + "z" * 300})
    s.close()
    rows = query(db, "select unid, atualizacao, codigo from reports order by unid")
    check(f"migration, {engine}: the old report stays, without an outcome",
          rows[0] == ("U", None, None), rows)
    check(f"migration, {engine}: a new report's outcome is split at its last ';', cleaned and"
          " cut", rows[1] == ("V", "6.0;x", "gravacao" + "z" * (store.FIELD_CHARS - 8)),
          rows[1][:2])


def sqlite_with_utc(path):
    db = sqlite3.connect(path)
    db.create_function("qvb_local_to_utc", 1, store.local_to_utc)
    return db


def on_postgresql(root):
    """The other engine: an older store migrates, and the rollout and the report read the
    outcomes from it; 50 reports with 3 failures halt the candidate, resume undoes it."""
    with Postgres() as pg:
        old_store_gains_outcomes(pg.url, "postgresql",
                                 lambda: store.psycopg.connect(pg.url, autocommit=False))
        s = store.open_store(pg.url)
        for n in range(50):
            s.add_report("10.0.0.1", "", {"Unid": f"P{n}", "Versao": CANDIDATE,
                                          "Atualizacao": f"{CANDIDATE};"
                                          + ("aplicativo" if n % 17 == 0 else "ok")})
        s.close()
        status = run("rollout", "status", "--root", root, "--db", pg.url).stdout
        check("postgresql: status counts the outcomes", "reports 50: aplicativo 3, ok 47"
              in status, status)
        page = adoption(pg.url, root)
        check("postgresql: the report's outcomes",
              any(line.split()[:3] == [CANDIDATE, "50", "47"] and line.split()[7] == "3"
                  for line in page.splitlines()), page[-600:])
        done = run("rollout", "auto-halt", "--root", root, "--db", pg.url)
        check("postgresql: auto-halt halts", "automatic: 3 of 50" in done.stderr, done.stderr)
        run("rollout", "resume", "--root", root)


def main():
    work = tempfile.mkdtemp(prefix="qvb-rollout-")
    try:
        old = os.path.join(work, "old.sqlite")
        old_store_gains_outcomes(old, "sqlite", lambda: sqlite_with_utc(old))
        key, root = os.path.join(work, "release.pem"), os.path.join(work, "root")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", key], check=True)
        subprocess.run(["openssl", "ec", "-in", key, "-pubout", "-out", key + ".pub"],
                       check=True, capture_output=True)
        config = os.path.join(work, "QVBrelmox2.ini")
        with open(config, "wb") as f:
            f.write(b"[QVBrelmox]\r\nServidor=1\r\n")
        for version, files in (("5.0", {"app.exe": b"old" * 1000}),
                               (CANDIDATE, {"app.exe": b"new" * 1000, "Dados\\t.dat": b"t"})):
            src = os.path.join(work, version)
            for name, body in files.items():
                os.makedirs(os.path.dirname(os.path.join(src, name.replace("\\", "/"))),
                            exist_ok=True)
                with open(os.path.join(src, name.replace("\\", "/")), "wb") as f:
                    f.write(body)
            # The candidate started an hour ago: due for a tenth of the offices.
            start = (datetime.datetime.utcnow() - datetime.timedelta(hours=1)).strftime(
                store.TIME_FORMAT)
            extra = ("--candidate", "--hours", str(HOURS), "--start", start) \
                if version == CANDIDATE else ()
            run("publish", src, "--root", root, "--version", version, "--sign", key,
                "--config", config, "--date", "01/12/2026", *extra)
        area = os.path.join(root, "files", "Contrib")
        # A second host, switched with this one by every step.
        other, hosts = os.path.join(work, "other"), os.path.join(work, "hosts")
        with open(hosts, "w") as f:
            f.write(other + "\n")
        run("replicate", "--root", root, "--to", other)
        together = ("--hosts", hosts, "--replicate")
        original = {n: read(os.path.join(area, n)) for n in ("Candidato.txt", "Candidato.sig")}
        status = run("rollout", "status", "--root", root).stdout
        check("status: the candidate, its start and hours, a tenth due, live",
              f"candidate {CANDIDATE}, sequence 2, folder candidato-2" in status
              and f"{HOURS} hours; due now for 10.0%" in status and "live" in status, status)

        with ReferenceServer(root) as ref:
            db = os.path.join(ref.dir, "reports.sqlite")
            check("report: the candidate live, due for a tenth, taken by none yet",
                  "due for 10.0% of the offices, taken by 0.0% (0 units); live"
                  in adoption(db, root))
            for what, reports, failures, release, halts in FLEETS:
                with sqlite3.connect(db) as con:  # each fleet is judged alone
                    con.execute("delete from reports")
                fleet(ref, db, reports, failures, release)
                done = run("rollout", "auto-halt", "--root", root, "--db", db, *together)
                halted = not os.path.exists(os.path.join(area, "Candidato.txt"))
                check(f"auto-halt: {what}: {'halts' if halts else 'does not halt'}",
                      halted == halts and done.returncode == 0, done.stderr)
            check("auto-halt: logs one clear line",
                  done.stderr.strip().splitlines()[-1] == "rollout: halted candidate 6.0"
                  " (sequence 2, candidato-2): automatic: 3 of 50 reports on 6.0 failed (6.0%,"
                  " more than 5%)", done.stderr)
            check("halt: the candidate is served no more, on either host",
                  all(served(r, n) is None for r in (root, other)
                      for n in ("Candidato.txt", "Candidato.sig"))
                  and fetch(ref, "Candidato.txt") != original["Candidato.txt"])
            check("halt: the stable release is served as before",
                  served(root, "Manifesto.txt") == read(os.path.join(area, "Manifesto.txt")))
            again = run("rollout", "auto-halt", "--root", root, "--db", db)
            check("auto-halt: a halted candidate is left alone",
                  again.returncode == 0 and again.stderr == "", again.stderr)
            page = adoption(db, root)
            check("report: the outcomes of the candidate's release by code",
                  any(line.split()[:4] == [CANDIDATE, "50", "47", "0"]
                      and line.split()[4] == "3" for line in page.splitlines()), page)
            check("report: the candidate halted, with why, due 10 %, taken by all 50 units",
                  f"Candidate {CANDIDATE} (sequence 2, candidato-2)" in page
                  and "due for 10.0% of the offices, taken by 100.0% (50 units)" in page
                  and "HALTED" in page and "automatic: 3 of 50" in page, page[-400:])

            run("rollout", "resume", "--root", root, *together)
            check("resume: the candidate is back byte for byte, in the area and served by both",
                  all(read(os.path.join(area, n)) == body and served(root, n) == body
                      and served(other, n) == body
                      for n, body in original.items())
                  and fetch(ref, "Candidato.txt") == original["Candidato.txt"])
            check("report: the candidate is live again", "; live" in adoption(db, root))
            status = run("rollout", "status", "--root", root, "--db", db).stdout
            check("status: the outcome counts", "reports 50: digest 3, ok 47" in status, status)

            on_postgresql(root)
            check("postgresql: resumed, the candidate is served again",
                  served(root, "Candidato.txt") == original["Candidato.txt"])

            candidate_files = {n: read(os.path.join(area, "candidato-2", n))
                               for n in ("app.exe", os.path.join("Dados", "t.dat"),
                                         "Versao.txt")}
            run("rollout", "promote", "--root", root, "--sign", key, *together)
            manifest = read(os.path.join(area, "Manifesto.txt"))
            check("promote: the stable manifest is the candidate's release, next sequence,"
                  " no rollout lines", manifest.startswith(
                      f"Release={CANDIDATE}\r\nSequence=3\r\nArea=Contrib\r\nQVBrelmox2.ini="
                      .encode()) and b"Pasta=" not in manifest, manifest[:80])
            with open(os.path.join(work, "sig.der"), "wb") as f:
                f.write(base64.b64decode(read(os.path.join(area, "Manifesto.sig"))))
            verify = subprocess.run(["openssl", "dgst", "-sha256", "-verify", key + ".pub",
                                     "-signature", os.path.join(work, "sig.der"),
                                     os.path.join(area, "Manifesto.txt")], capture_output=True)
            check("promote: the manifest is signed", verify.returncode == 0, verify.stderr)
            check("promote: the candidate's files, Versao.txt too, are the stable ones",
                  all(read(os.path.join(area, n)) == body and served(root, n.replace(os.sep, "/"))
                      == body for n, body in candidate_files.items()))
            check("promote: Candidato.* and the candidate's folder are gone",
                  not any(n.startswith(("Candidato", "candidato-")) for n in os.listdir(area))
                  and served(root, "Candidato.txt") is None and served(other, "Candidato.txt")
                  is None and served(other, "Manifesto.txt") == manifest
                  and not os.path.exists(os.path.join(root, "rollout")))
            check("report: no candidate after the promotion",
                  "Candidate: none" in adoption(db, root))

            # A stable release published over a live candidate ends it, as a halt would; the
            # candidate is then older than the stable release and resume refuses it.
            src = os.path.join(work, CANDIDATE)
            run("publish", src, "--root", root, "--version", "7.0", "--sign", key, "--config",
                config, "--candidate", "--hours", "1")
            live = {n: read(os.path.join(area, n)) for n in ("Candidato.txt", "Candidato.sig")}
            done = run("publish", src, "--root", root, "--version", "7.1", "--sign", key,
                       "--config", config)
            check("publish: a stable release withdraws the live candidate, says so in one line",
                  [line for line in done.stdout.splitlines() if "candidate" in line]
                  == ["publish: candidate 7.0 (sequence 4) withdrawn by the stable release 7.1"
                      f" (sequence 5); kept in {os.path.join(root, 'rollout')}"], done.stdout)
            check("publish: the withdrawn candidate is kept byte for byte, served nowhere",
                  all(read(os.path.join(root, "rollout", n)) == body
                      and not os.path.exists(os.path.join(area, n)) and served(root, n) is None
                      for n, body in live.items())
                  and fetch(ref, "Candidato.txt") != live["Candidato.txt"])
            done = run("rollout", "resume", "--root", root, ok=False)
            check("resume: refuses a candidate older than the stable release",
                  done.returncode != 0 and "not newer than the stable release (sequence 5)"
                  in done.stderr and not os.path.exists(os.path.join(area, "Candidato.txt")),
                  done.stderr)

        units = [os.path.join(TOOLS, "systemd", n)
                 for n in ("qvbrelmox-rollout.service", "qvbrelmox-rollout.timer")]
        done = subprocess.run(["systemd-analyze", "verify", *units], capture_output=True,
                              text=True)
        check("units: systemd-analyze verify takes the service and its timer",
              done.returncode == 0 and done.stdout + done.stderr == "", done.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("rollout")


if __name__ == "__main__":
    sys.exit(main())
