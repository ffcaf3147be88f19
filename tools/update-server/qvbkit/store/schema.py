"""The report store: the usage reports and the message queue, in SQLite for one host (a file
path, the embedded default) or in PostgreSQL for several hosts (a postgresql:// URL), through
one small interface. Both engines hold the same tables and columns; the schema is made and
migrated when a store is opened, and its version kept in schema_version.

The message queue's rules are in queue.py, the engines in sqlite_store.py and
postgres_store.py, the queries of the reports and the rollout in outcomes.py.

A store that fails costs a report STORE_SECONDS at most: PostgreSQL's connections carry TCP
keepalives, tcp_user_timeout and a statement_timeout, and a watchdog (postgres_store.py) ends a
statement that outlives them all (a frozen server on a Unix socket answers nothing and no TCP
timer runs).
Once the store has failed, reports fail at once while one request at a time probes it.
"""

import contextlib
import os
import re
import time

from qvbkit.wire import OUTCOME_FIELD, TIME_FORMAT
from qvbkit.store.errors import Unavailable

# Every moment is UTC: timestamptz in PostgreSQL, ISO 8601 text in SQLite (which sorts as
# time does), so that hosts in other time zones, or a change of daylight saving time, never
# reorder a unit's reports. Stores from before held the host's local time; they are migrated.
LOCAL_FORMAT = "%Y-%m-%d %H:%M:%S"  # the local times of before
FIRST_COLUMNS = ("at", "peer", "query", "versao", "ip", "unid", '"user"', "fone", "email",
                 "ex", "versao_exe")
# The previous check's outcome (a signed build's Atualizacao=<release>;<code>), in two.
REPORT_COLUMNS = FIRST_COLUMNS + ("atualizacao", "codigo")
# The launcher's report fields, in the order of the columns after peer and query.
REPORT_FIELDS = ("Versao", "IP", "Unid", "User", "Fone", "Email", "Ex", "VersaoExe")

POOL_SIZE = 8  # PostgreSQL connections a report service holds at most
POOL_WAIT_SECONDS = 2  # for a free connection: longer means the store is not answering
CONNECT_SECONDS = 5  # to reach PostgreSQL
STORE_SECONDS = 3  # a statement (or SQLite's lock) before the report fails; a report is one
KEEPALIVE_SECONDS = 2  # TCP keepalive idle time and interval, 3 probes
OPEN_BUSY_SECONDS = 30  # SQLite, for the commands: another process's transaction to end
MIGRATION_LOCK = 0x51564272  # PostgreSQL advisory lock: one host migrates at a time
MIGRATION_SECONDS = 3600  # a migration of a large store, at most
FIELD_CHARS = 256  # a report field kept at most (the launcher's are a name, a phone, ...)
QUERY_CHARS = 2048  # the whole query kept at most
CONTROL = re.compile(r"[\x00-\x1f\x7f]")

# Each step takes the schema one version further; (SQLite, PostgreSQL) for each statement.
# Step 1 is the table and indexes of the stores made before the schema had a version, so it
# runs on them as a no-op. PostgreSQL compares text byte by byte, as SQLite does, so that the
# adoption report orders and groups the same on both.
_TEXT = {"sqlite": "text", "postgresql": 'text collate "C"'}


def _local_zone():
    """The host's time zone as PostgreSQL names it (an IANA name), for the local times of
    before; UTC when it cannot be told."""
    name = os.environ.get("TZ", "").lstrip(":")
    if not name:
        with contextlib.suppress(OSError):
            name = os.readlink("/etc/localtime").partition("zoneinfo/")[2]
    if not name:
        with contextlib.suppress(OSError):
            name = open("/etc/timezone").read().strip()
    return name if re.fullmatch(r"[A-Za-z0-9_/+\-]+", name or "") else "UTC"


def local_to_utc(text):
    """A local time of before as UTC text; anything else stays as it is."""
    try:
        moment = time.mktime(time.strptime(text, LOCAL_FORMAT))
    except (TypeError, ValueError, OverflowError):
        return text
    return time.strftime(TIME_FORMAT, time.gmtime(moment))


def _to_utc(table, column):
    return lambda e: (f"update {table} set {column} = qvb_local_to_utc({column})" if e == "sqlite"
                      else f"alter table {table} alter column {column} type timestamptz using"
                      f" nullif({column}, '')::timestamp at time zone '{_local_zone()}'")


MIGRATIONS = [
    [lambda e: "create table if not exists reports(" + ", ".join(
        f"{c} {_TEXT[e]}" for c in FIRST_COLUMNS) + ")",
     # The adoption report aggregates by time, and each unit's reports in time order (with the
     # columns it reads, so that it never visits the rows).
     lambda e: "create index if not exists reports_at on reports(at)",
     lambda e: "create index if not exists reports_unit_at on reports(unid, at, versao,"
               " versao_exe)"],
    [lambda e: "create table if not exists messages(id "
               + ("integer primary key" if e == "sqlite" else "bigserial primary key")
               + f", unid {_TEXT[e]} not null, name {_TEXT[e]} not null, content "
               + ("blob" if e == "sqlite" else "bytea") + f" not null, queued_at {_TEXT[e]}"
               f" not null, delivered_at {_TEXT[e]}, delivered_to {_TEXT[e]})",
     lambda e: "create index if not exists messages_waiting on messages(unid, id)"
               " where delivered_at is null"],
    # Offers: the request that carries a message, until nginx says it went out whole.
    [lambda e: f"alter table messages add column offer {_TEXT[e]}",
     lambda e: f"alter table messages add column offered_at {_TEXT[e]}",
     lambda e: "alter table messages add column offers integer not null default 0",
     lambda e: "create index messages_offer on messages(offer) where offer is not null"],
    [_to_utc("reports", "at"), _to_utc("messages", "queued_at"),
     _to_utc("messages", "offered_at"), _to_utc("messages", "delivered_at")],
    # Outcomes: the rollout's counts per release come from their own index, and the adoption
    # report's latest outcome of each unit from the (unit, time) index, never from the rows.
    [lambda e: f"alter table reports add column atualizacao {_TEXT[e]}",
     lambda e: f"alter table reports add column codigo {_TEXT[e]}",
     lambda e: "create index if not exists reports_outcome on reports(atualizacao, at, codigo)",
     lambda e: "drop index if exists reports_unit_at",
     lambda e: "create index reports_unit_at on reports(unid, at, versao, versao_exe,"
               " atualizacao, codigo)"],
]
VERSION = len(MIGRATIONS)


def migrate(execute, engine):
    """Brings the schema to VERSION inside the caller's transaction."""
    execute("create table if not exists schema_version(version integer not null)")
    row = execute("select max(version) from schema_version").fetchone()
    have = row[0] or 0
    if have > VERSION:
        raise Unavailable(f"the store's schema is version {have}, newer than this program's"
                          f" {VERSION}")
    for steps in MIGRATIONS[have:]:
        for step in steps:
            execute(step(engine))
    execute("delete from schema_version")
    execute("insert into schema_version(version) values (%d)" % VERSION)


def stamp(seconds):
    """A moment (seconds since the epoch) as the store keeps it."""
    return time.strftime(TIME_FORMAT, time.gmtime(seconds))


def clean(text, limit=FIELD_CHARS):
    """A report's text as the store keeps it: without NUL and control characters (PostgreSQL
    refuses a NUL), and cut to a length."""
    return CONTROL.sub("", text)[:limit]


def outcome(value):
    """(release, code) of an Atualizacao field, each kept as a field is; a release may hold a
    ';' of its own, the code never does."""
    release, mark, code = value.rpartition(";")
    return (clean(release), clean(code)) if mark else (clean(value), "")


def report_row(peer, query, fields, at):
    """The row of a report that arrived at `at` (stored text)."""
    return (at, clean(peer), clean(query, QUERY_CHARS),
            *(clean(fields.get(k, "")) for k in REPORT_FIELDS),
            *outcome(fields.get(OUTCOME_FIELD, "")))


INSERT_REPORT = ("insert into reports(" + ", ".join(REPORT_COLUMNS) + ") values ("
                 + ", ".join("?" * len(REPORT_COLUMNS)) + ")")
