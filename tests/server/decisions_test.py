#!/usr/bin/env python3
"""The operator kit's decisions, each a table, without a server: when the automatic halt fires,
the share of offices a candidate is due for, the next signed sequence, what a version file and
a manifest hold (read by key, whatever the order), whether a candidate is stale against the
stable release, a report's query, when an offered message goes out again (the clock passed
in), /health's verdict and how long it is kept, the path guard; and that the package imports
only downward."""

import ast
import datetime
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools", "update-server")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, TOOLS)
from e2e_support import check, summary  # noqa: E402
from qvbkit.release import signing  # noqa: E402
from qvbkit.release.candidate import Candidate, due_share, is_stale  # noqa: E402
from qvbkit.release.contents import (manifest_text, read_manifest, read_version_file,  # noqa: E402
                                     version_file)
from qvbkit.release.rollout import should_halt  # noqa: E402
from qvbkit.serve.handler import area_path  # noqa: E402
from qvbkit.serve.health import HealthCheck, verdict  # noqa: E402
from qvbkit.serve.intake import message_answer, report_fields, waited_too_long  # noqa: E402
from qvbkit.store.engines import open_store  # noqa: E402
from qvbkit.store.errors import Unavailable  # noqa: E402


def halting():
    # (what, {code: reports}, min reports, max failures, halts)
    for what, counts, least, share, halts in [
            ("no reports", {}, 50, 0.05, False),
            ("49 reports, all failed", {"digest": 49}, 50, 0.05, False),
            ("100 reports, 5 % exactly failed", {"ok": 95, "prazo": 5}, 50, 0.05, False),
            ("50 reports, 6 % failed", {"ok": 47, "digest": 3}, 50, 0.05, True),
            ("reports without a code count as failures", {"": 50}, 50, 0.05, True),
            ("all fine", {"ok": 5000}, 50, 0.0, False),
            ("one failure with no share allowed", {"ok": 59, "gravacao": 1}, 50, 0.0, True),
            ("minimum of 1", {"aplicativo": 1}, 1, 0.5, True)]:
        check(f"halt: {what}", should_halt(counts, least, share) == halts)


def due():
    start = datetime.datetime(2026, 12, 1, 12)
    hour = datetime.timedelta(hours=1)
    # (what, started, hours, now, share)
    for what, started, hours, now, share in [
            ("before the start", start, 10, start - hour, 0.0),
            ("at the start", start, 10, start, 0.0),
            ("an hour of ten", start, 10, start + hour, 0.1),
            ("half way", start, 48, start + 24 * hour, 0.5),
            ("at the end", start, 10, start + 10 * hour, 1.0),
            ("long after", start, 10, start + 1000 * hour, 1.0),
            ("no hours", start, 0, start + hour, 0.0),
            ("no start", None, 10, start, 0.0)]:
        got = due_share(started, hours, now)
        check(f"due share: {what}", abs(got - share) < 1e-9, got)
    c = Candidate("/", b"Release=6.0\r\nSequence=2\r\nArea=Contrib\r\nPasta=candidato-2\r\n"
                  b"Inicio=2026-12-01T12:00:00Z\r\nHoras=10\r\n", False)
    check("due share: a candidate's own start and hours", abs(c.due(start + hour) - 0.1) < 1e-9)


def sequences():
    top = signing.SEQUENCE_MAX
    jump = signing.SEQUENCE_JUMP_MAX
    # (last, asked, jump allowed, sequence or None, what the refusal says)
    for last, asked, allowed, want, says in [
            (0, None, False, 1, ""), (41, None, False, 42, ""), (41, 50, False, 50, ""),
            (41, 41, False, None, "does not grow"), (41, 7, False, None, "does not grow"),
            (41, 41 + jump, False, 41 + jump, ""),
            (41, 42 + jump, False, None, "--allow-jump"), (41, 42 + jump, True, 42 + jump, ""),
            (top, None, False, None, "does not grow"), (0, top + 1, True, None, "does not grow")]:
        got, problem = signing.choose_sequence(last, asked, allowed, "K.sequence")
        check(f"sequence after {last}, asked {asked}, jump {allowed}: {want}",
              got == want and (says in (problem or "")) and (want is None) == bool(problem),
              (got, problem))
    _, problem = signing.choose_sequence(5, 5, False, "K.sequence")
    check("sequence: the refusal names the state", problem.endswith("(the last one was 5, in"
                                                                    " K.sequence)"), problem)


def contents():
    made = version_file("5.3", "01/12/2026",
                        [("app.exe", "c0123456789ab"), ("Dados\\t.dat", "7")])
    check("version file: the launcher's lines, CR LF", made ==
          b"Start.Ok=1\r\n:VersaoAtual=5.3\r\n:DataVersaoAtual=01/12/2026\r\n"
          b"app.exe=c0123456789ab\r\nDados\\t.dat=7\r\nEnd.Ok=1\r\n", made)
    check("version file: read back", read_version_file(made) ==
          ({"VersaoAtual": "5.3", "DataVersaoAtual": "01/12/2026"},
           [("app.exe", "c0123456789ab"), ("Dados\\t.dat", "7")]))
    check("version file: Latin-1 names, lines without '=' skipped",
          read_version_file(b"Start.Ok=1\r\njunk\r\ncora\xe7\xe3o.txt=2\r\nEnd.Ok=1\r\n")
          == ({}, [("cora\u00e7\u00e3o.txt", "2")]))
    sha, other = "a" * 64, "b" * 64
    files = [f"QVBrelmox2.ini=12 {sha}", f"app.exe=3000 {other}"]
    patch = f"Patch:app.exe={sha} 40 {other} app.exe.{sha[:16]}-{other[:16]}.vcdiff"
    text = manifest_text("6.0", 2, "Contrib",
                         ["Pasta=candidato-2", "Inicio=2026-12-01T12:00:00Z", "Horas=10",
                          *files, patch])
    check("manifest: the head lines in order", text.startswith(
        b"Release=6.0\r\nSequence=2\r\nArea=Contrib\r\nPasta=candidato-2\r\n"), text[:60])
    # The same lines in another order read the same: the parser goes by key.
    lines = text.decode().splitlines()
    shuffled = "\r\n".join([lines[4], patch, lines[6], lines[1], lines[3], lines[7], lines[0],
                            lines[5], lines[2]]).encode()
    for what, data in (("in order", text), ("shuffled", shuffled)):
        fields, listed = read_manifest(data)
        c = Candidate("/", data, True, "why")
        check(f"manifest {what}: by key, files and no patch", listed ==
              [("QVBrelmox2.ini", 12, sha), ("app.exe", 3000, other)]
              and fields["Sequence"] == "2" and (c.release, c.sequence, c.folder, c.hours,
                                                 c.start) ==
              ("6.0", "2", "candidato-2", 10, "2026-12-01T12:00:00Z")
              and sorted(c.files()) == sorted(listed), (fields, listed))
    c = Candidate("/", b"Release=6.0\r\nHoras=ten\r\n", False)
    check("candidate: hours that are no number: nothing due", c.hours == 0 and c.due() == 0.0)


def staleness():
    # (candidate's sequence, stable sequence or None, stale)
    for seq, stable, stale in [("10", 9, False), ("9", 9, True), ("7", 9, True),
                               ("", 9, True), ("x7", 9, True), ("7", None, False),
                               ("", None, False), ("100000000000", 99999999999, False)]:
        check(f"stale: candidate {seq!r} against stable {stable}: {stale}",
              is_stale(seq, stable) == stale)


def intake():
    # (query, fields)
    for query, fields in [
            ("Versao=5.2&Unid=7&User=Jo%E3o", {"Versao": "5.2", "Unid": "7", "User": "Jo\u00e3o"}),
            ("Unid=1&Unid=2", {"Unid": "1"}),
            ("Email=a+b%40c&Ex", {"Email": "a+b@c", "Ex": ""}),
            ("Atualizacao=6.0%3Bdigest&Fone=%ZZ", {"Atualizacao": "6.0;digest", "Fone": "%ZZ"}),
            ("", {"": ""})]:
        got = report_fields(query)
        check(f"report query {query!r}", got == fields, got)
    # (nginx's $msec, now, waited too long)
    for started, now, late in [(None, 1e9, False), ("1000.5", 1015.5, False),
                               ("1000.5", 1015.6, True), ("soon", 1e9, False)]:
        check(f"waited too long: {started} at {now}", waited_too_long(started, now) == late)
    root = os.path.join(os.sep, "srv", "q")
    area = os.path.join(root, "files", "Contrib")
    # (name asked for, file served or None)
    for name, path in [("app.exe", os.path.join(area, "app.exe")),
                       ("Dados\\t.dat", os.path.join(area, "Dados", "t.dat")),
                       ("Dados/../app.exe", os.path.join(area, "app.exe")),
                       ("../reports.sqlite", None), ("Dados\\..\\..\\x", None),
                       ("/etc/passwd", None), ("", None), ("../Contrib2/x", None)]:
        check(f"path guard: {name!r}", area_path(root, name) == path, area_path(root, name))
    check("message answer: the name padded to 30 bytes, then the content",
          message_answer("aviso.txt", b"hi") == b"aviso.txt" + b" " * 21 + b"hi"
          and message_answer("x" * 40, b"") == b"x" * 30)


def offers(work):
    """A message offered and not confirmed goes out again only once its lease is over."""
    clock = [1_800_000_000.0]
    s = open_store(os.path.join(work, "queue.sqlite"))
    s.clock = lambda: clock[0]
    s.add_message("u1", "a.txt", b"A")
    s.add_message("u1", "b.txt", b"B")
    lease = 600
    # (seconds since the first offer, what the unit's next report takes: name or None, again)
    steps = [(0, "a.txt", False), (1, "b.txt", False), (2, None, None),
             (lease, None, None), (lease + 1, "a.txt", True), (lease + 1, None, None),
             (lease + 2, "b.txt", True)]
    first = clock[0]
    for n, (after, name, again) in enumerate(steps):
        clock[0] = first + after
        taken = s.take_message("u1", "10.0.0.1", f"{n:032x}", lease)
        got = None if taken is None else (taken[0][0], taken[1])
        check(f"offer at +{after} s: {name or 'nothing'}", got == (None if name is None
                                                                   else (name, again)), got)
    s.confirm(f"{4:032x}", True)  # the second offer of a.txt arrived whole
    clock[0] = first + 3 * lease
    taken = s.take_message("u1", "10.0.0.1", "f" * 32, lease)
    check("offer: a delivered message never goes out again", taken is not None
          and taken[0][0] == "b.txt", taken)
    s.confirm("f" * 32, False)  # cut: queued again at once
    taken = s.take_message("u1", "10.0.0.1", "e" * 32, lease)
    check("offer: an answer that did not go out whole is offered again at once",
          taken is not None and taken[0][0] == "b.txt" and taken[1], taken)
    s.close()


def health():
    trouble = Unavailable("down")
    # (store error, tree problem, status, body)
    for error, problem, status, body in [
            (None, None, 200, b"ok"), (trouble, None, 503, b"the report store is unavailable"),
            (None, "no Versao.txt", 503, b"the release tree is incomplete"),
            (trouble, "no Versao.txt", 503, b"the report store is unavailable")]:
        check(f"health: store {error}, tree {problem}: {status}",
              verdict(error, problem) == (status, body))

    class Store:
        pings, down = 0, False

        def ping(self):
            self.pings += 1
            if self.down:
                raise Unavailable("down")

    store, told, now = Store(), [], [100.0]
    check_ = HealthCheck(store, None, lambda e, report: told.append(report), lambda: now[0])
    # (seconds, store down, status, pings so far)
    for at, down, status, pings in [(100.0, False, 200, 1), (100.9, True, 200, 1),
                                    (101.0, True, 200, 1), (101.1, True, 503, 2),
                                    (101.5, False, 503, 2), (102.2, False, 200, 3)]:
        now[0], store.down = at, down
        got = check_.answer()[0]
        check(f"health at {at}: {status} after {pings} looks", (got, store.pings) ==
              (status, pings), (got, store.pings))
    check("health: a store that does not answer is told as no report's failure", told == [False])


RANKS = {"cli": 0, "serve": 1, "ops": 1, "release": 2, "store": 3, "wire": 4, "files": 4}


def layering():
    """Every import inside the kit goes to a lower room, or stays in its own."""
    kit = os.path.join(TOOLS, "qvbkit")
    wrong = []
    for folder, _, names in os.walk(kit):
        for name in names:
            if not name.endswith(".py") or name == "__init__.py":
                continue
            path = os.path.join(folder, name)
            room = os.path.relpath(path, kit).split(os.sep)[0].removesuffix(".py")
            with open(path) as f:
                tree = ast.parse(f.read())
            for node in ast.walk(tree):
                targets = [node.module or ""] if isinstance(node, ast.ImportFrom) else \
                    [a.name for a in node.names] if isinstance(node, ast.Import) else []
                for target in targets:
                    parts = target.split(".")
                    if parts[0] != "qvbkit" or len(parts) < 2:
                        continue
                    other = parts[1]
                    if other != room and RANKS[other] <= RANKS[room]:
                        wrong.append(f"{room}/{name} imports {target}")
    check("layering: imports go only downward", not wrong, wrong)


def main():
    with tempfile.TemporaryDirectory(prefix="qvb-decisions-") as work:
        halting()
        due()
        sequences()
        contents()
        staleness()
        intake()
        offers(work)
        health()
        layering()
    return summary("decisions")


if __name__ == "__main__":
    sys.exit(main())
