"""The report store: the usage reports and the message queue, in SQLite for one host (a file
path, the embedded default) or in PostgreSQL for several hosts (a postgresql:// URL), through
one small interface. Both engines hold the same tables and columns; the schema is made and
migrated when a store is opened, and its version kept in schema_version.

A message is queued, then in flight once a report's answer offers it (under the offer's
name, nginx's request id), then delivered once nginx says it sent that answer whole. An offer
that did not go out whole is queued again at once; one nobody confirms (nginx died, or the
service) goes out again after OFFER_SECONDS. A unit's next report may thus get a message once
more, which is harmless: the launcher overwrites it. PostgreSQL takes a unit's oldest waiting
message with FOR UPDATE SKIP LOCKED, so two hosts never offer it at once.

A store that fails costs a report STORE_SECONDS at most: PostgreSQL's connections carry TCP
keepalives, tcp_user_timeout and a statement_timeout, and a watchdog here ends a statement that
outlives them all (a frozen server on a Unix socket answers nothing and no TCP timer runs).
Once the store has failed, reports fail at once while one request at a time probes it.
"""

import contextlib
import os
import re
import socket
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

# Every moment is UTC: timestamptz in PostgreSQL, ISO 8601 text in SQLite (which sorts as
# time does), so that hosts in other time zones, or a change of daylight saving time, never
# reorder a unit's reports. Stores from before held the host's local time; they are migrated.
TIME_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
LOCAL_FORMAT = "%Y-%m-%d %H:%M:%S"  # the local times of before
FIRST_COLUMNS = ("at", "peer", "query", "versao", "ip", "unid", '"user"', "fone", "email",
                 "ex", "versao_exe")
# The previous check's outcome (a signed build's Atualizacao=<release>;<code>), in two.
REPORT_COLUMNS = FIRST_COLUMNS + ("atualizacao", "codigo")
# The launcher's report fields, in the order of the columns after peer and query.
REPORT_FIELDS = ("Versao", "IP", "Unid", "User", "Fone", "Email", "Ex", "VersaoExe")
OUTCOME_FIELD = "Atualizacao"

POOL_SIZE = 8  # PostgreSQL connections a report service holds at most
POOL_WAIT_SECONDS = 2  # for a free connection: longer means the store is not answering
CONNECT_SECONDS = 5  # to reach PostgreSQL
STORE_SECONDS = 3  # a statement (or SQLite's lock) before the report fails; a report is one
KEEPALIVE_SECONDS = 2  # TCP keepalive idle time and interval, 3 probes
OPEN_BUSY_SECONDS = 30  # SQLite, for the commands: another process's transaction to end
MIGRATION_LOCK = 0x51564272  # PostgreSQL advisory lock: one host migrates at a time
MIGRATION_SECONDS = 3600  # a migration of a large store, at most
OFFER_SECONDS = 600  # an offer nobody confirmed goes out again after this: longer than any
                     # answer nginx still sends (a 1 MiB message to a slow line)
FIELD_CHARS = 256  # a report field kept at most (the launcher's are a name, a phone, ...)
QUERY_CHARS = 2048  # the whole query kept at most
CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def is_url(db):
    return db.startswith(("postgresql://", "postgres://"))


class Unavailable(Exception):
    """The store cannot be reached or written; the report is answered with a server error."""


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
    return time.strftime(TIME_FORMAT, time.gmtime())


def clean(text, limit=FIELD_CHARS):
    """A report's text as the store keeps it: without NUL and control characters (PostgreSQL
    refuses a NUL), and cut to a length."""
    return CONTROL.sub("", text)[:limit]


def outcome(value):
    """(release, code) of an Atualizacao field, each kept as a field is; a release may hold a
    ';' of its own, the code never does."""
    release, mark, code = value.rpartition(";")
    return (clean(release), clean(code)) if mark else (clean(value), "")


def report_row(peer, query, fields):
    return (now(), clean(peer), clean(query, QUERY_CHARS),
            *(clean(fields.get(k, "")) for k in REPORT_FIELDS),
            *outcome(fields.get(OUTCOME_FIELD, "")))


def since(seconds):
    return time.strftime(TIME_FORMAT, time.gmtime(time.time() - seconds))


INSERT_REPORT = ("insert into reports(" + ", ".join(REPORT_COLUMNS) + ") values ("
                 + ", ".join("?" * len(REPORT_COLUMNS)) + ")")
INSERT_MESSAGE = ("insert into messages(unid, name, content, queued_at) values (?, ?, ?, ?)")
WAITING = "select exists(select 1 from messages where unid = ? and delivered_at is null)"
LIST_MESSAGES = ("select id, unid, name, length(content), queued_at, offered_at, delivered_at,"
                 " delivered_to, offer from messages where (? = '' or unid = ?) order by id")
# A unit's oldest message not delivered and not in flight (or in flight too long).
NEXT_MESSAGE = ("select id from messages where unid = ? and delivered_at is null and"
                " (offer is null or offered_at < ?) order by id limit 1")
OFFER = ("update messages set offer = ?, offered_at = ?, delivered_to = ?, offers = offers + 1"
         " where id = ?")
DELIVERED = "update messages set delivered_at = ? where offer = ? and delivered_at is null"
RELEASED = ("update messages set offer = null, offered_at = null where offer = ? and"
            " delivered_at is null")


class Refused(Exception):
    """The store refused one statement but is well: that report fails, no outage."""


class Breaker:
    """Once the store has failed, every call fails at once but one at a time, which probes it;
    the first that succeeds closes the breaker. A hung store thus holds one thread, not all."""

    def __init__(self):
        self.open, self.reason, self.probing = False, "", threading.Lock()

    @contextlib.contextmanager
    def guard(self):
        probe = self.open
        if probe and not self.probing.acquire(blocking=False):
            raise Unavailable(f"{self.reason} (not retried while another request probes)")
        try:
            yield probe
        except Unavailable as error:
            self.open, self.reason = True, str(error)
            raise
        finally:
            if probe:
                self.probing.release()
        self.open = False


class SqliteStore:
    """One connection in WAL mode, one writer at a time: readers (the adoption report) never
    block the service. A report waits STORE_SECONDS at most, for this process's lock and for
    another process's transaction."""

    engine = "sqlite"

    def __init__(self, path, busy=OPEN_BUSY_SECONDS):
        self.lock, self.breaker, self.waits, self.waited = threading.Lock(), Breaker(), 0, 0.0
        self.busy = busy
        try:
            self.db = sqlite3.connect(path, check_same_thread=False, timeout=busy,
                                      isolation_level=None)
            self.db.create_function("qvb_local_to_utc", 1, local_to_utc, deterministic=True)
            self.db.execute("pragma journal_mode=wal")
            # A commit survives the service crashing; only a power cut may take the last ones.
            self.db.execute("pragma synchronous=normal")
            with self.transaction() as execute:
                _migrate(self.db, self.engine, execute)
        except sqlite3.Error as error:
            raise Unavailable(f"{path}: {error}") from error

    @contextlib.contextmanager
    def locked(self):
        with self.breaker.guard():
            if not self.lock.acquire(blocking=False):
                start = time.monotonic()
                if not self.lock.acquire(timeout=self.busy):
                    raise Unavailable(f"the store's lock was held for {self.busy} s")
                self.waits, self.waited = self.waits + 1, self.waited + time.monotonic() - start
            try:
                yield self.db.execute
            except sqlite3.Error as error:
                raise Unavailable(str(error)) from error
            finally:
                self.lock.release()

    @contextlib.contextmanager
    def transaction(self):
        """A write transaction; a BEGIN that fails is a failure like any other."""
        with self.locked() as execute:
            execute("begin immediate")
            try:
                yield execute
            except BaseException:
                with contextlib.suppress(sqlite3.Error):
                    execute("rollback")
                raise
            execute("commit")

    def add_report(self, peer, query, fields):
        """Stores the report; true when a message waits for its unit."""
        with self.locked() as execute:
            execute(INSERT_REPORT, report_row(peer, query, fields))
            return bool(execute(WAITING, (clean(fields.get("Unid", "")),)).fetchone()[0])

    def add_message(self, unit, name, content):
        with self.transaction() as execute:
            return execute(INSERT_MESSAGE, (unit, name, content, now())).lastrowid

    def messages(self, unit=""):
        with self.locked() as execute:
            return execute(LIST_MESSAGES, (unit, unit)).fetchall()

    def take_message(self, unit, peer, offer, lease=OFFER_SECONDS):
        """The oldest message of unit that is neither delivered nor in flight (for less than
        lease seconds), now in flight under offer: ((name, content), offered before), or
        None."""
        with self.transaction() as execute:
            row = execute(NEXT_MESSAGE, (unit, since(lease))).fetchone()
            if row is None:
                return None
            execute(OFFER, (offer, now(), peer, row[0]))
            name, content, offers = execute("select name, content, offers from messages"
                                            " where id = ?", (row[0],)).fetchone()
            return (name, bytes(content)), offers > 1

    def confirm(self, offer, complete):
        """Ends an offer: delivered when its answer went out whole, queued again otherwise.
        The number of messages it ended."""
        with self.transaction() as execute:
            if complete:
                return execute(DELIVERED, (now(), offer)).rowcount
            return execute(RELEASED, (offer,)).rowcount

    def ping(self):
        with self.locked() as execute:
            execute("select 1 from schema_version").fetchone()

    def close(self):
        self.db.close()


class Watchdog:
    """Ends a statement that outlives its deadline by shutting its connection's socket: libpq
    then fails it at once, whatever the server does. One thread for every connection."""

    TICK_SECONDS = 0.25

    def __init__(self):
        self.lock, self.deadlines, self.thread = threading.Lock(), {}, None

    @contextlib.contextmanager
    def watch(self, conn, seconds):
        with self.lock:
            self.deadlines[id(conn)] = (conn, time.monotonic() + seconds)
            if self.thread is None:
                self.thread = threading.Thread(target=self.run, daemon=True)
                self.thread.start()
        try:
            yield
        finally:
            with self.lock:
                self.deadlines.pop(id(conn), None)

    def run(self):
        while True:
            time.sleep(self.TICK_SECONDS)
            now = time.monotonic()
            with self.lock:
                late = [c for c, deadline in self.deadlines.values() if deadline < now]
            for conn in late:
                with contextlib.suppress(Exception):
                    s = socket.socket(fileno=os.dup(conn.pgconn.socket))
                    with s:
                        s.shutdown(socket.SHUT_RDWR)


WATCHDOG = Watchdog()


class Pool:
    """At most POOL_SIZE connections to PostgreSQL, kept between reports. Only a broken
    connection is dropped; a statement the server refused leaves its connection in the pool.
    After an outage the idle connections are dropped too (a restarted database ended them),
    and the probe connects afresh: the service recovers with the database."""

    def __init__(self, url):
        if psycopg is None:
            raise Unavailable("PostgreSQL needs python3-psycopg")
        self.url, self.idle, self.lock = url, [], threading.Lock()
        self.slots = threading.BoundedSemaphore(POOL_SIZE)
        self.breaker, self.waits, self.waited = Breaker(), 0, 0.0

    @contextlib.contextmanager
    def connection(self, seconds=STORE_SECONDS):
        """A connection, committed when the block ends, rolled back when it raises;
        Unavailable when the database cannot be reached or does not answer within seconds,
        Refused when it refuses the statement."""
        with self.breaker.guard() as probe:
            conn = self.get(fresh=probe)
            try:
                with WATCHDOG.watch(conn, seconds):
                    yield conn
                    conn.commit()
            except BaseException as error:
                broken = conn.broken or conn.closed
                if not broken:
                    with contextlib.suppress(Exception):
                        conn.rollback()
                self.put(conn, broken=broken)
                if psycopg and isinstance(error, psycopg.Error):
                    if broken or isinstance(error, psycopg.OperationalError):
                        raise Unavailable(str(error).strip()) from error
                    raise Refused(str(error).strip()) from error
                raise
            self.put(conn)

    def get(self, fresh=False):
        if not self.slots.acquire(blocking=False):
            start = time.monotonic()
            if not self.slots.acquire(timeout=POOL_WAIT_SECONDS):
                raise Unavailable(f"all {POOL_SIZE} connections busy for {POOL_WAIT_SECONDS} s")
            self.waits, self.waited = self.waits + 1, self.waited + time.monotonic() - start
        with self.lock:
            if fresh:
                stale, self.idle = self.idle, []
            elif self.idle:
                return self.idle.pop()
            else:
                stale = []
        for c in stale:
            with contextlib.suppress(Exception):
                c.close()
        try:
            # Each statement its own transaction, unless one is begun: a report is one
            # round trip. The times are UTC on every host.
            return psycopg.connect(
                self.url, connect_timeout=CONNECT_SECONDS, application_name="qvbrelmox",
                autocommit=True, keepalives=1, keepalives_idle=KEEPALIVE_SECONDS,
                keepalives_interval=KEEPALIVE_SECONDS, keepalives_count=3,
                tcp_user_timeout=STORE_SECONDS * 1000,
                options=f"-c TimeZone=UTC -c statement_timeout={STORE_SECONDS * 1000}"
                        f" -c idle_in_transaction_session_timeout={STORE_SECONDS * 1000}")
        except psycopg.Error as error:
            self.slots.release()
            raise Unavailable(str(error).strip()) from error

    def put(self, conn, broken=False):
        try:
            if broken:
                with contextlib.suppress(Exception):
                    conn.close()
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
        self.breaker = self.pool.breaker
        try:
            self.migrate()
        except Unavailable:
            if not wait:
                raise

    @property
    def waits(self):
        return self.pool.waits

    @property
    def waited(self):
        return self.pool.waited

    def migrate(self):
        if self.ready:
            return
        # Converting a large table takes a while: the limits of a report do not hold here.
        with self.pool.connection(MIGRATION_SECONDS) as conn, conn.transaction():
            conn.execute(f"set local statement_timeout = {MIGRATION_SECONDS * 1000}")
            conn.execute("select pg_advisory_xact_lock(%s)", (MIGRATION_LOCK,))
            _migrate(conn, self.engine, conn.execute)
        self.ready = True

    def add_report(self, peer, query, fields):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(f"with stored as ({INSERT_REPORT}) {WAITING}"),
                                (*report_row(peer, query, fields),
                                 clean(fields.get("Unid", "")))).fetchone()[0]

    def add_message(self, unit, name, content):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(INSERT_MESSAGE) + " returning id",
                                (unit, name, content, now())).fetchone()[0]

    def messages(self, unit=""):
        with self.pool.connection() as conn:
            return conn.execute(pg(LIST_MESSAGES), (unit, unit)).fetchall()

    def take_message(self, unit, peer, offer, lease=OFFER_SECONDS):
        self.migrate()
        with self.pool.connection() as conn:
            row = conn.execute(
                "update messages set offer = %s, offered_at = %s, delivered_to = %s,"
                " offers = offers + 1 where id = (" + pg(NEXT_MESSAGE) + " for update skip"
                " locked) returning name, content, offers",
                (offer, now(), peer, unit, since(lease))).fetchone()
        return None if row is None else ((row[0], bytes(row[1])), row[2] > 1)

    def confirm(self, offer, complete):
        with self.pool.connection() as conn:
            if complete:
                return conn.execute(pg(DELIVERED), (now(), offer)).rowcount
            return conn.execute(pg(RELEASED), (offer,)).rowcount

    def ping(self):
        self.migrate()
        with self.pool.connection() as conn:
            conn.execute("select 1").fetchone()

    def close(self):
        self.pool.close()


def open_store(db, wait=False):
    """The store at db (a SQLite path or a postgresql:// URL), its schema brought up to date;
    raises Unavailable. wait (the report service): a PostgreSQL store that cannot be reached
    yet is opened anyway, and SQLite waits STORE_SECONDS at most for another writer."""
    if is_url(db):
        return PostgresStore(db, wait)
    return SqliteStore(db, STORE_SECONDS if wait else OPEN_BUSY_SECONDS)


def connect_reader(db):
    """(engine, connection) for reading a store with SQL, for the report and its upkeep. The
    connection's execute takes '?' placeholders on both engines."""
    if is_url(db):
        if psycopg is None:
            raise Unavailable("PostgreSQL needs python3-psycopg")
        try:
            return "postgresql", PgReader(psycopg.connect(db, connect_timeout=CONNECT_SECONDS,
                                                          options="-c TimeZone=UTC"))
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
    return (sqlite3.Error, Unavailable, Refused) + ((psycopg.Error,) if psycopg else ())
