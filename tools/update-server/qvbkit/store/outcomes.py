"""Reading a store with SQL for the reports and the rollout: the outcome queries, and the few
queries where the engines differ, side by side (SQLite, PostgreSQL)."""

import os
import pathlib
import sqlite3

from qvbkit.store.engines import connect_reader

# Each unit's latest report; SQLite takes the other columns from the row of max(at).
LATEST = {
    "sqlite": "create temp table latest as select unid, max(at) as at, versao, versao_exe,"
              " {outcome} as atualizacao from reports where at <= ? and unid != '' group by unid",
    "postgresql": "create temp table latest as select distinct on (unid) unid, at, versao,"
                  " versao_exe, {outcome} as atualizacao from reports where at <= ? and"
                  " unid != '' order by unid, at desc",
}
# "+at" keeps SQLite on the (unit, time) index, where the time index would make it sort
# millions of rows; PostgreSQL plans that by itself.
SPAN_TIME = {"sqlite": "+at", "postgresql": "at"}
# A moment's day, as text (PostgreSQL's sessions here run in UTC).
DAY = {"sqlite": "substr({}, 1, 10)", "postgresql": "to_char({}, 'YYYY-MM-DD')"}


def open_reader(db, cache_kib=None):
    """(engine, connection) that only reads the store db; a SQLite page cache of cache_kib,
    the rest going to disk."""
    engine, conn = connect_reader(db)
    if conn is not None:
        return engine, conn
    conn = sqlite3.connect(pathlib.Path(os.path.abspath(db)).as_uri() + "?mode=ro", uri=True)
    if cache_kib:
        conn.execute(f"pragma cache_size=-{cache_kib}")
        conn.execute("pragma temp_store=file")
    return engine, conn


def has_outcomes(db):
    """Whether the store keeps outcomes (a store the report service has not opened since
    they came may not)."""
    return "atualizacao" in [d[0] for d in db.execute("select * from reports limit 0").description]


def outcome_counts(db, release, since):
    """{code: reports} of the reports at or after since (UTC text) whose outcome names
    release, from the outcome index; db is a store's name."""
    _, conn = open_reader(db)
    try:
        return dict(conn.execute("select coalesce(codigo, ''), count(*) from reports where"
                                 " atualizacao = ? and at >= ? group by 1", (release, since)))
    finally:
        conn.close()
