"""The report store: the usage reports and the message queue, in SQLite for one host (a file
path, the embedded default) or in PostgreSQL for several hosts (a postgresql:// URL), through
one small interface. Both engines hold the same tables and columns; the schema is made and
migrated when a store is opened, and its version kept in schema_version.

A message is taken in a transaction that stays open while the answer is sent: commit() once
the answer is out, rollback() (or the service dying, which ends the connection) puts the
message back in the queue. PostgreSQL takes the oldest waiting message of a unit with FOR
UPDATE SKIP LOCKED, so report services on every host deliver it once.
"""

import contextlib
import sqlite3
import sys
import threading
import time

try:
    import psycopg
except ImportError:  # Debian's python3-psycopg, under a Python of one's own
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import psycopg
    except ImportError:
        psycopg = None

TIME_FORMAT = "%Y-%m-%d %H:%M:%S"
REPORT_COLUMNS = ("at", "peer", "query", "versao", "ip", "unid", '"user"', "fone", "email",
                  "ex", "versao_exe")
# The launcher's report fields, in the order of the columns after peer and query.
REPORT_FIELDS = ("Versao", "IP", "Unid", "User", "Fone", "Email", "Ex", "VersaoExe")

POOL_SIZE = 8  # PostgreSQL connections a report service holds at most
POOL_WAIT_SECONDS = 10  # for a free connection, before the report is answered with an error
CONNECT_SECONDS = 5  # to reach PostgreSQL
BUSY_SECONDS = 30  # SQLite: for another process's transaction to end
MIGRATION_LOCK = 0x51564272  # PostgreSQL advisory lock: one host migrates at a time


def is_url(db):
    return db.startswith(("postgresql://", "postgres://"))


class Unavailable(Exception):
    """The store cannot be reached or written; the report is answered with a server error."""


# Each step takes the schema one version further; (SQLite, PostgreSQL) for each statement.
# Step 1 is the table and indexes of the stores made before the schema had a version, so it
# runs on them as a no-op. PostgreSQL compares text byte by byte, as SQLite does, so that the
# adoption report orders and groups the same on both.
_TEXT = {"sqlite": "text", "postgresql": 'text collate "C"'}
MIGRATIONS = [
    [lambda e: "create table if not exists reports(" + ", ".join(
        f"{c} {_TEXT[e]}" for c in REPORT_COLUMNS) + ")",
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
]
VERSION = len(MIGRATIONS)


def _migrate(db, engine, execute):
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


def now():
    return time.strftime(TIME_FORMAT)


def report_row(peer, query, fields):
    return (now(), peer, query, *(fields.get(k, "") for k in REPORT_FIELDS))


INSERT_REPORT = ("insert into reports(" + ", ".join(REPORT_COLUMNS) + ") values ("
                 + ", ".join("?" * len(REPORT_COLUMNS)) + ")")
INSERT_MESSAGE = ("insert into messages(unid, name, content, queued_at) values (?, ?, ?, ?)")
WAITING = "select exists(select 1 from messages where unid = ? and delivered_at is null)"
LIST_MESSAGES = ("select id, unid, name, length(content), queued_at, delivered_at, delivered_to"
                 " from messages where (? = '' or unid = ?) order by id")


class SqliteStore:
    """One connection in WAL mode, one writer at a time: readers (the adoption report) never
    block the service."""

    engine = "sqlite"

    def __init__(self, path):
        self.lock = threading.Lock()
        self.db = sqlite3.connect(path, check_same_thread=False, timeout=BUSY_SECONDS,
                                  isolation_level=None)
        try:
            self.db.execute("pragma journal_mode=wal")
            # A commit survives the service crashing; only a power cut may take the last ones.
            self.db.execute("pragma synchronous=normal")
            with self.transaction() as execute:
                _migrate(self.db, self.engine, execute)
        except sqlite3.Error as error:
            raise Unavailable(f"{path}: {error}") from error

    @contextlib.contextmanager
    def transaction(self):
        with self.lock:
            self.db.execute("begin immediate")
            try:
                yield self.db.execute
            except BaseException:
                self.db.execute("rollback")
                raise
            self.db.execute("commit")

    def add_report(self, peer, query, fields):
        """Stores the report; true when a message waits for its unit."""
        try:
            with self.lock:
                self.db.execute(INSERT_REPORT, report_row(peer, query, fields))
                return bool(self.db.execute(WAITING, (fields.get("Unid", ""),)).fetchone()[0])
        except sqlite3.Error as error:
            raise Unavailable(str(error)) from error

    def add_message(self, unit, name, content):
        try:
            with self.transaction() as execute:
                return execute(INSERT_MESSAGE, (unit, name, content, now())).lastrowid
        except sqlite3.Error as error:
            raise Unavailable(str(error)) from error

    def messages(self, unit=""):
        with self.lock:
            return self.db.execute(LIST_MESSAGES, (unit, unit)).fetchall()

    def take_message(self, unit, peer):
        """A Taken: the oldest waiting message of unit, held in an open transaction that
        keeps every other writer out until it ends (the answer to nginx is on loopback)."""
        self.lock.acquire()
        try:
            self.db.execute("begin immediate")
            row = self.db.execute("select id, name, content from messages where unid = ? and"
                                  " delivered_at is null order by id limit 1", (unit,)).fetchone()
            if row:
                self.db.execute("update messages set delivered_at = ?, delivered_to = ?"
                                " where id = ?", (now(), peer, row[0]))
        except sqlite3.Error as error:
            self._end("rollback")
            raise Unavailable(str(error)) from error
        if row is None:
            self._end("rollback")
            return Taken(None, None)
        return Taken((row[1], bytes(row[2])), self._end)

    def _end(self, how):
        try:
            self.db.execute(how)
        finally:
            self.lock.release()

    def close(self):
        self.db.close()


class Taken:
    """A message taken in a transaction still open (message is (name, content) or None):
    end it with commit() once the answer is sent, or rollback() to put the message back."""

    def __init__(self, message, end):
        self.message, self._end = message, end

    def commit(self):
        end, self._end = self._end, None
        if end:
            end("commit")

    def rollback(self):
        end, self._end = self._end, None
        if end:
            end("rollback")


class Pool:
    """At most POOL_SIZE connections to PostgreSQL, kept between reports. A connection that
    failed is dropped with every idle one (after a restart of the database they are all dead),
    and the next report connects afresh: the service recovers with the database."""

    def __init__(self, url):
        if psycopg is None:
            raise Unavailable("PostgreSQL needs python3-psycopg")
        self.url, self.idle, self.lock = url, [], threading.Lock()
        self.slots = threading.BoundedSemaphore(POOL_SIZE)

    @contextlib.contextmanager
    def connection(self):
        """A connection in a transaction, committed when the block ends, rolled back when it
        raises; Unavailable when the database cannot be reached."""
        conn = self.get()
        try:
            yield conn
            conn.commit()
        except BaseException as error:
            self.put(conn, broken=True)
            if psycopg and isinstance(error, psycopg.Error):
                raise Unavailable(str(error).strip()) from error
            raise
        self.put(conn)

    def get(self):
        if not self.slots.acquire(timeout=POOL_WAIT_SECONDS):
            raise Unavailable(f"all {POOL_SIZE} connections busy for {POOL_WAIT_SECONDS} s")
        with self.lock:
            if self.idle:
                return self.idle.pop()
        try:
            # Each statement its own transaction, unless one is begun: a report is one
            # round trip.
            return psycopg.connect(self.url, connect_timeout=CONNECT_SECONDS,
                                   application_name="qvbrelmox", autocommit=True)
        except psycopg.Error as error:
            self.slots.release()
            raise Unavailable(str(error).strip()) from error

    def put(self, conn, broken=False):
        try:
            if broken:
                stale = [conn]
                with self.lock:
                    stale += self.idle
                    self.idle = []
                for c in stale:
                    with contextlib.suppress(Exception):
                        c.close()
            else:
                with self.lock:
                    self.idle.append(conn)
        finally:
            self.slots.release()

    def close(self):
        with self.lock:
            for c in self.idle:
                c.close()
            self.idle = []


def pg(sql):
    return sql.replace("?", "%s")


class PostgresStore:
    engine = "postgresql"

    def __init__(self, url, wait=False):
        """wait: a report service starts while the database is down, and makes the schema
        once it can; the other commands need the database now."""
        self.pool, self.ready = Pool(url), False
        try:
            self.migrate()
        except Unavailable:
            if not wait:
                raise

    def migrate(self):
        if self.ready:
            return
        with self.pool.connection() as conn, conn.transaction():
            conn.execute("select pg_advisory_xact_lock(%s)", (MIGRATION_LOCK,))
            _migrate(conn, self.engine, conn.execute)
        self.ready = True

    def add_report(self, peer, query, fields):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(f"with stored as ({INSERT_REPORT}) {WAITING}"),
                                (*report_row(peer, query, fields), fields.get("Unid", ""))
                                ).fetchone()[0]

    def add_message(self, unit, name, content):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(INSERT_MESSAGE) + " returning id",
                                (unit, name, content, now())).fetchone()[0]

    def messages(self, unit=""):
        with self.pool.connection() as conn:
            return conn.execute(pg(LIST_MESSAGES), (unit, unit)).fetchall()

    def take_message(self, unit, peer):
        self.migrate()
        conn = self.pool.get()
        try:
            conn.execute("begin")
            row = conn.execute(
                "update messages set delivered_at = %s, delivered_to = %s where id = ("
                " select id from messages where unid = %s and delivered_at is null"
                " order by id limit 1 for update skip locked) returning name, content",
                (now(), peer, unit)).fetchone()
            if row is None:
                conn.rollback()
        except psycopg.Error as error:
            self.pool.put(conn, broken=True)
            raise Unavailable(str(error).strip()) from error
        if row is None:
            self.pool.put(conn)
            return Taken(None, None)

        def end(how):
            try:
                conn.commit() if how == "commit" else conn.rollback()
            except psycopg.Error as error:
                self.pool.put(conn, broken=True)
                raise Unavailable(str(error).strip()) from error
            self.pool.put(conn)
        return Taken((row[0], bytes(row[1])), end)

    def close(self):
        self.pool.close()


def open_store(db, wait=False):
    """The store at db (a SQLite path or a postgresql:// URL), its schema brought up to date;
    raises Unavailable. wait: a PostgreSQL store that cannot be reached yet is opened anyway."""
    return PostgresStore(db, wait) if is_url(db) else SqliteStore(db)


def connect_reader(db):
    """(engine, connection) for reading a store with SQL, for the report and its upkeep. The
    connection's execute takes '?' placeholders on both engines."""
    if is_url(db):
        if psycopg is None:
            raise Unavailable("PostgreSQL needs python3-psycopg")
        try:
            return "postgresql", PgReader(psycopg.connect(db, connect_timeout=CONNECT_SECONDS))
        except psycopg.Error as error:
            raise Unavailable(str(error).strip()) from error
    return "sqlite", None


class PgReader:
    """A psycopg connection whose execute takes SQLite's '?' placeholders."""

    def __init__(self, conn):
        self.conn = conn

    def execute(self, sql, params=()):
        return self.conn.execute(pg(sql), params)

    def commit(self):
        self.conn.commit()

    def close(self):
        self.conn.close()


def errors():
    """The exceptions a store's engines raise."""
    return (sqlite3.Error, Unavailable) + ((psycopg.Error,) if psycopg else ())
