"""The release adoption report, read from the report store: which releases and launcher versions
the units run, which units have gone quiet, and how many reports arrive a day. As text, CSV, and
one self-contained HTML page with a chart drawn here as inline SVG (no network, no scripts).

A unit counts under the release of its latest report; it is active while that report is less
than N days old, quiet after. Reports without a unit count only in the reports per day. Times
and days are UTC, as the store keeps them, and the report says so.
"""

import csv
import datetime
import html
import os
import pathlib
import re
import sqlite3
import sys

import store

PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
           "#17becf", "#7f7f7f", "#bcbd22"]
TIME_FORMAT = store.TIME_FORMAT  # a stored moment, as SQLite keeps it
SHOWN_FORMAT = "%Y-%m-%d %H:%M:%S"  # a moment in the report, and --now
ZONE = "UTC"
QUIET_SHOWN = 40  # on the page; the text and the CSV list every quiet unit


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


# The few queries where the engines differ, side by side (SQLite, PostgreSQL).
LATEST = {
    # Each unit's latest report; SQLite takes the other columns from the row of max(at).
    "sqlite": "create temp table latest as select unid, max(at) as at, versao, versao_exe,"
              " {outcome} as atualizacao from reports where at <= ? and unid != '' group by unid",
    "postgresql": "create temp table latest as select distinct on (unid) unid, at, versao,"
                  " versao_exe, {outcome} as atualizacao from reports where at <= ? and"
                  " unid != '' order by unid, at desc",
}
# The outcome codes of a signed build's report, in the order the tables show them.
CODES = ("ok", "assinatura", "digest", "gravacao", "prazo", "aplicativo")


def has_outcomes(db):
    """Whether the store keeps outcomes (a store the report service has not opened since
    they came may not)."""
    return "atualizacao" in [d[0] for d in db.execute("select * from reports limit 0").description]


def outcome_counts(db, engine, release, since):
    """{code: reports} of the reports at or after since (UTC text) whose outcome names
    release, from the outcome index."""
    return dict(db.execute("select coalesce(codigo, ''), count(*) from reports where"
                           " atualizacao = ? and at >= ? group by 1", (release, since)))
# "+at" keeps SQLite on the (unit, time) index, where the time index would make it sort
# millions of rows; PostgreSQL plans that by itself.
SPAN_TIME = {"sqlite": "+at", "postgresql": "at"}
# A moment's day, as text (PostgreSQL's sessions here run in UTC).
DAY = {"sqlite": "substr({}, 1, 10)", "postgresql": "to_char({}, 'YYYY-MM-DD')"}


class Adoption:
    """The report's figures, aggregated by the store's engine from its indexes: memory grows
    with the units and the releases, never with the reports."""

    CACHE_KIB = 32 << 10  # SQLite's page cache for the report; what is larger goes to disk

    def __init__(self, db_path, days, now, root=None):
        import rollout
        self.days, self.now = days, now
        # The candidate published in root (live or halted), as its manifest tells.
        self.candidate = rollout.candidate(os.path.abspath(root)) if root else None
        self.since = now - datetime.timedelta(days=days)
        self.first_day = (now - datetime.timedelta(days=days - 1)).date()
        self.day_list = [self.first_day + datetime.timedelta(days=i) for i in range(days)]
        self.engine, db = store.connect_reader(db_path)
        if db is None:
            db = sqlite3.connect(pathlib.Path(db_path).absolute().as_uri() + "?mode=ro",
                                 uri=True)
            db.execute(f"pragma cache_size=-{self.CACHE_KIB}")
            db.execute("pragma temp_store=file")
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


def short(text, limit=14):
    return text if len(text) <= limit else text[:limit - 1] + "\u2026"


def svg_chart(a, width=1040, height=340):
    """Active units per release at the end of each day, one line a release."""
    series = a.releases_by_day()
    left, right, top, bottom = 56, 150, 16, 40
    plot_w, plot_h = width - left - right, height - top - bottom
    peak = max([max(v) for v in series.values()] + [1])
    step = 1
    for s in (1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 5000, 10000, 20000,
              50000, 100000):
        step = s
        if peak / s <= 6:
            break
    peak = step * -(-peak // step)
    days = len(a.day_list)
    x = lambda i: left + (plot_w * i / (days - 1) if days > 1 else plot_w / 2)
    y = lambda v: top + plot_h - plot_h * v / peak
    e = lambda t: html.escape(str(t), quote=True)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" '
             f'role="img" aria-label="Active units per release, per day">']
    for v in range(0, peak + 1, step):
        parts.append(f'<line x1="{left}" x2="{left + plot_w}" y1="{y(v):.1f}" y2="{y(v):.1f}" '
                     f'class="grid"/><text x="{left - 8}" y="{y(v) + 4:.1f}" '
                     f'text-anchor="end">{v}</text>')
    every = max(1, -(-days // 10))
    for i, day in enumerate(a.day_list):
        if i % every == 0 or i == days - 1:
            parts.append(f'<text x="{x(i):.1f}" y="{height - bottom + 20}" '
                         f'text-anchor="middle">{day:%d/%m}</text>')
    parts.append(f'<line x1="{left}" x2="{left}" y1="{top}" y2="{top + plot_h}" class="axis"/>'
                 f'<line x1="{left}" x2="{left + plot_w}" y1="{top + plot_h}" '
                 f'y2="{top + plot_h}" class="axis"/>')
    for n, (release, values) in enumerate(series.items()):
        colour = PALETTE[n % len(PALETTE)]
        points = " ".join(f"{x(i):.1f},{y(v):.1f}" for i, v in enumerate(values))
        parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" '
                     f'stroke-width="2.5"><title>{e(release)}</title></polyline>')
        ly = top + 14 + 22 * n
        parts.append(f'<rect x="{width - right + 16}" y="{ly - 10}" width="14" height="14" '
                     f'fill="{colour}"/><text x="{width - right + 36}" y="{ly + 2}">'
                     f'{e(short(release or "(none)"))}</text>')
    parts.append("</svg>")
    return "".join(parts)


STYLE = """
body { font: 15px/1.45 system-ui, "Segoe UI", "DejaVu Sans", sans-serif; color: #222;
       margin: 0; background: #f4f5f7; }
main { max-width: 1100px; margin: 0 auto; padding: 20px 24px 40px; }
h1 { font-size: 24px; margin: 4px 0 2px; } h2 { font-size: 18px; margin: 28px 0 8px; }
.sub { color: #555; margin: 0 0 16px; }
.cards { display: flex; gap: 14px; flex-wrap: wrap; }
.card { background: #fff; border-radius: 8px; padding: 12px 18px; min-width: 160px;
        box-shadow: 0 1px 3px rgba(0,0,0,.12); }
.card b { display: block; font-size: 28px; }
.panel { background: #fff; border-radius: 8px; padding: 12px 16px;
         box-shadow: 0 1px 3px rgba(0,0,0,.12); overflow-x: auto; }
svg { width: 100%; height: auto; display: block; font-size: 13px; fill: #333; }
svg .grid { stroke: #e3e3e3; } svg .axis { stroke: #888; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 5px 10px; border-bottom: 1px solid #eee; }
th { background: #fafafa; font-weight: 600; } td.n { text-align: right; }
.row2 { display: grid; grid-template-columns: 1fr 1fr; gap: 18px; }
@media (max-width: 900px) { .row2 { grid-template-columns: 1fr; } }
"""


def html_report(a, path):
    e = lambda t: html.escape(str(t), quote=True)
    active, quiet, per_day = a.active(), a.quiet(), a.per_day()
    total = sum(n for _, _, n in active)
    newest = active[0][0] if active else ""
    on_newest = sum(n for r, _, n in active if r == newest)

    def table(head, rows, numeric):
        cells = "".join(f"<th>{e(h)}</th>" for h in head)
        body = "".join("<tr>" + "".join(
            f'<td class="n">{e(c)}</td>' if i in numeric else f"<td>{e(c)}</td>"
            for i, c in enumerate(r)) + "</tr>" for r in rows)
        if not rows:
            body = f'<tr><td colspan="{len(head)}">none</td></tr>'
        return f"<table><tr>{cells}</tr>{body}</table>"

    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QVBrelmox release adoption</title><style>{STYLE}</style></head>
<body><main>
<h1>QVBrelmox release adoption</h1>
<p class="sub">The {a.days} days to {a.now:%Y-%m-%d %H:%M} {ZONE} (every time and day here is
{ZONE}). A unit counts under the release of
its latest report; it is quiet when that report is {a.days} days old or more.</p>
<div class="cards">
<div class="card"><b>{total}</b>active units</div>
<div class="card"><b>{e(newest or "none")}</b>newest release</div>
<div class="card"><b>{(100.0 * on_newest / total if total else 0):.0f}%</b>on the newest release</div>
<div class="card"><b>{len(quiet)}</b>quiet units</div>
<div class="card"><b>{sum(n for _, n, _ in per_day)}</b>reports in {a.days} days</div>
</div>
<h2>Active units per release, day by day</h2>
<div class="panel">{svg_chart(a)}</div>
<div class="row2"><div>
<h2>Active units by release and launcher version</h2>
<div class="panel">{table(["Release", "Launcher", "Units", "Share"],
                          [(r, l, n, f"{100.0 * n / total:.1f}%") for r, l, n in active],
                          {2, 3})}</div>
</div><div>
<h2>Quiet units</h2>
<div class="panel">{table(["Unit", "Last contact", "Release", "Launcher"],
                          [(u, m.strftime("%Y-%m-%d %H:%M"), r, l)
                           for u, m, r, l in quiet[:QUIET_SHOWN]], set())}
{f'<p>and {len(quiet) - QUIET_SHOWN} more: the CSV lists them all.</p>'
 if len(quiet) > QUIET_SHOWN else ""}</div>
</div></div>
<h2>Candidate</h2>
<div class="panel"><p>{e(candidate_line(a))}</p></div>
<h2>Outcomes of the previous check by release</h2>
<div class="panel">{table(["Release", "Units", *CODES, "Other"], outcome_rows(a),
                          set(range(1, len(CODES) + 3)))}</div>
<h2>Reports per day</h2>
<div class="panel">{table(["Day", "Reports", "Units"],
                          [(d.isoformat(), n, u) for d, n, u in reversed(per_day)], {1, 2})}</div>
</main></body></html>
"""
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)


def report(args):
    if args.days < 1:
        print("report: --days must be 1 or more", file=sys.stderr)
        return 2
    try:
        now = (datetime.datetime.strptime(args.now.rstrip("Z").replace("T", " "), SHOWN_FORMAT)
               if args.now else datetime.datetime.utcnow().replace(microsecond=0))
        a = Adoption(args.db, args.days, now, args.root)
    except ValueError:
        print(f"report: --now must read YYYY-MM-DD HH:MM:SS, not {args.now!r}", file=sys.stderr)
        return 2
    except store.errors() as error:
        print(f"report: cannot read {args.db}: {error}", file=sys.stderr)
        return 1
    if args.csv:
        csv_report(a, args.csv)
    if args.html:
        html_report(a, args.html)
    try:
        text_report(a, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader (head, less) has had enough
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def add_arguments(parser):
    parser.add_argument("--db", required=True, help="the report store: the service's SQLite"
                        " file or a postgresql:// URL")
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--html", metavar="OUT.html")
    parser.add_argument("--csv", metavar="OUT.csv")
    parser.add_argument("--root", help="the root publish wrote: shows its candidate")
    parser.add_argument("--now", metavar="'YYYY-MM-DD HH:MM:SS'",
                        help="the moment the report is made for, UTC (default: now)")
