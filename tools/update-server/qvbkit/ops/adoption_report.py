"""The release adoption report as a command: the figures (see adoption.py) as text, as CSV,
and as one self-contained HTML page with a chart drawn here as inline SVG (no network, no
scripts)."""

import datetime
import html
import os
import sys

from qvbkit.ops.adoption import (CODES, SHOWN_FORMAT, ZONE, Adoption, candidate_line,
                                 csv_report, outcome_rows, text_report)
from qvbkit.store.errors import errors

PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
           "#17becf", "#7f7f7f", "#bcbd22"]
QUIET_SHOWN = 40  # on the page; the text and the CSV list every quiet unit


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
    except errors() as error:
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
