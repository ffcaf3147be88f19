"""The release adoption report, read from the report store: which releases and launcher versions
the units run, which units have gone quiet, and how many reports arrive a day.

A unit counts under the release of its latest report; it is active while that report is less
than N days old, quiet after. Reports without a unit count only in the reports per day. Times
and days are UTC, as the store keeps them, and the report says so. The figures, and their
text and CSV forms; the command and the HTML page are in adoption_report.py.
"""

import csv
import datetime
import os
import re

from qvbkit.release.candidate import candidate_of
from qvbkit.store.outcomes import DAY, LATEST, SPAN_TIME, has_outcomes, open_reader
from qvbkit.wire import OUTCOME_CODES, TIME_FORMAT

SHOWN_FORMAT = "%Y-%m-%d %H:%M:%S"  # a moment in the report, and --now
ZONE = "UTC"


def parse_time(value):
    """The moment of a stored report (UTC, without its zone), or None for a row written by
    hand without one. PostgreSQL gives a datetime, SQLite text."""
    if isinstance(value, datetime.datetime):
        return value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    try:
        return datetime.datetime.strptime(value, TIME_FORMAT)
    except (TypeError, ValueError):
        return None


def version_key(text):
    """Releases in numeric order (5.10 after 5.9); a part that is not a number sorts below."""
    return [(1, int(p), "") if p.isdigit() else (0, 0, p) for p in re.split(r"[.\-]", text)]


def printable(value):
    # Units and releases come from the launchers: no control characters reach a terminal.
    return re.sub(r"[\x00-\x1f\x7f-\x9f]", "?", str(value))


CODES = OUTCOME_CODES


class Adoption:
    """The report's figures, aggregated by the store's engine from its indexes: memory grows
    with the units and the releases, never with the reports."""

    CACHE_KIB = 32 << 10  # SQLite's page cache for the report; what is larger goes to disk

    def __init__(self, db_path, days, now, root=None):
        self.days, self.now = days, now
        # The candidate published in root (live or halted), as its manifest tells.
        self.candidate = candidate_of(os.path.abspath(root)) if root else None
        self.since = now - datetime.timedelta(days=days)
        self.first_day = (now - datetime.timedelta(days=days - 1)).date()
        self.day_list = [self.first_day + datetime.timedelta(days=i) for i in range(days)]
        self.engine, db = open_reader(db_path, self.CACHE_KIB)
        try:
            self._read(db)
        finally:
            db.close()

    def _read(self, db):
        until, since = self.now.strftime(TIME_FORMAT), self.since.strftime(TIME_FORMAT)
        outcomes = has_outcomes(db)
        db.execute(LATEST[self.engine].format(outcome="atualizacao" if outcomes else "''"),
                   (until,))
        self._active = [(r or "", l or "", n) for r, l, n in db.execute(
            "select versao, versao_exe, count(*) from latest where at > ? group by 1, 2",
            (since,))]
        self._active.sort(key=lambda x: (version_key(x[0]), version_key(x[1])), reverse=True)
        self._quiet = []
        for unit, at, release, launcher in db.execute(
                "select unid, at, versao, versao_exe from latest where at <= ?"
                " order by at, unid", (since,)):
            moment = parse_time(at)
            if moment:
                self._quiet.append((unit, moment, release or "", launcher or ""))
        first = datetime.datetime.combine(self.first_day, datetime.time()).strftime(TIME_FORMAT)
        day = DAY[self.engine].format
        counts = {day: (n, units) for day, n, units in db.execute(
            f"select {day('at')}, count(*), count(distinct nullif(unid, '')) from reports"
            " where at >= ? and at <= ? group by 1", (first, until))}
        self._per_day = [(d, *counts.get(d.isoformat(), (0, 0))) for d in self.day_list]
        self._series = self._releases_by_day(db, until)
        self._outcomes = {}
        for release, units in db.execute("select atualizacao, count(*) from latest where at > ?"
                                         " and atualizacao != '' group by 1", (since,)):
            self._outcomes[release] = [units, {}]
        if outcomes:
            for release, code, n in db.execute(
                    # "> ''" (and SQLite's "+at") reads the outcome index alone, never the rows.
                    "select atualizacao, coalesce(codigo, ''), count(*) from reports where"
                    f" atualizacao > '' and {SPAN_TIME[self.engine]} > ? and"
                    f" {SPAN_TIME[self.engine]} <= ? group by 1, 2", (since, until)):
                self._outcomes.setdefault(release, [0, {}])[1][code] = n
        c, self._took = self.candidate, 0
        if c and c.release in self._outcomes:
            self._took = self._outcomes[c.release][0]

    def _releases_by_day(self, db, until):
        # A unit's last report of a day stands until its next report's day, and counts while
        # it is less than the window old: from its day to days - 1 days later. So the units
        # per release and day come from (release, day, next day) with a count each. The chart
        # looks back one window before its first day; the last day is the table's own figure.
        reach = datetime.datetime.combine(self.first_day, datetime.time()) - \
            datetime.timedelta(days=self.days)
        at, day = SPAN_TIME[self.engine], DAY[self.engine].format
        spans = db.execute(
            f"select versao, {day('at')}, {day('next')}, count(*) from ("
            "  select versao, at, lead(at) over (partition by unid order by at) as next"
            f"  from reports where {at} > ? and {at} <= ? and unid != '') as units"
            f" where next is null or {day('next')} != {day('at')} group by 1, 2, 3",
            (reach.strftime(TIME_FORMAT), until))
        last = len(self.day_list) - 1
        first = self.first_day.toordinal()
        series = {}
        for release, day, following, units in spans:
            try:
                start = datetime.date.fromisoformat(day).toordinal() - first
                stop = (datetime.date.fromisoformat(following).toordinal() - first
                        if following else last)
            except (TypeError, ValueError):
                continue  # a row written by hand without a moment
            values = None
            for i in range(max(start, 0), min(stop, start + self.days, last)):
                values = values or series.setdefault(release or "", [0] * len(self.day_list))
                values[i] += units
        for release, _, units in self._active:
            series.setdefault(release, [0] * len(self.day_list))[last] += units
        return dict(sorted(series.items(), key=lambda kv: version_key(kv[0]), reverse=True))

    def active(self):
        """[(release, launcher version, units)], newest release first."""
        return self._active

    def quiet(self):
        """[(unit, last contact, release, launcher version)], the longest quiet first."""
        return self._quiet

    def per_day(self):
        """[(day, reports, distinct units)] for each day of the window."""
        return self._per_day

    def outcomes(self):
        """[(release, units whose latest report names it, {code: reports in the window})],
        newest release first."""
        return sorted(((r, u, codes) for r, (u, codes) in self._outcomes.items()),
                      key=lambda x: version_key(x[0]), reverse=True)

    def candidate_view(self):
        """(candidate, share due now, share that took it, units that took it), or None."""
        if not self.candidate:
            return None
        total = sum(n for _, _, n in self._active)
        return (self.candidate, self.candidate.due(self.now),
                self._took / total if total else 0.0, self._took)

    def releases_by_day(self):
        """{release: [active units at the end of each day]}: the adoption curve."""
        return self._series


def text_report(a, out):
    def table(title, head, rows):
        out.write(f"\n{title}\n")
        rows = [[printable(c) for c in r] for r in rows] or [["(none)"] + [""] * (len(head) - 1)]
        widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
        out.write("  ".join(h.ljust(w) for h, w in zip(head, widths)).rstrip() + "\n")
        out.write("  ".join("-" * w for w in widths) + "\n")
        for r in rows:
            out.write("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() + "\n")

    active = a.active()
    total = sum(n for _, _, n in active)
    out.write(f"Release adoption, the {a.days} days to {a.now:%Y-%m-%d %H:%M} {ZONE}: "
              f"{total} active units, {len(a.quiet())} quiet\n")
    table(f"Active units by release and launcher version (reported in the last {a.days} days)",
          ["release", "launcher", "units", "share"],
          [(r, l, n, f"{100.0 * n / total:.1f}%") for r, l, n in active])
    table(f"Quiet units (no report for {a.days} days)",
          ["unit", "last contact", "release", "launcher"],
          [(u, m.strftime(SHOWN_FORMAT), r, l) for u, m, r, l in a.quiet()])
    table("Reports per day", ["day", "reports", "units"],
          [(d.isoformat(), n, u) for d, n, u in a.per_day()])
    table(f"Outcomes of the previous check by release (units: latest report; reports in the"
          f" last {a.days} days)", ["release", "units", *CODES, "other"], outcome_rows(a))
    out.write("\n" + candidate_line(a) + "\n")


def outcome_rows(a):
    return [(r, u, *(codes.get(c, 0) for c in CODES),
             sum(n for c, n in codes.items() if c not in CODES)) for r, u, codes in a.outcomes()]


def candidate_line(a):
    view = a.candidate_view()
    if not view:
        return "Candidate: none"
    c, due, took, units = view
    return (f"Candidate {c.release} (sequence {c.sequence}, {c.folder}), from {c.start} over"
            f" {c.hours} hours: due for {100 * due:.1f}% of the offices, taken by"
            f" {100 * took:.1f}% ({units} units); "
            + (f"HALTED {c.reason}" if c.halted else "live"))


def cell(value):
    # A spreadsheet would run a cell that starts with these as a formula.
    text = str(value)
    return "'" + text if text[:1] in ("=", "+", "-", "@", "\t", "\r") else text


def csv_report(a, path):
    rows = [["table", "release", "launcher", "unit", "day", "units", "reports", "last_contact"]]
    rows += [["active", r, l, "", "", n, "", ""] for r, l, n in a.active()]
    rows += [["quiet", r, l, u, "", "", "", m.strftime(TIME_FORMAT)]
             for u, m, r, l in a.quiet()]
    rows += [["per_day", "", "", "", d.isoformat(), u, n, ""] for d, n, u in a.per_day()]
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([cell(c) for c in row] for row in rows)
