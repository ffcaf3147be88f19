"""The report store in PostgreSQL, shared by several hosts. PostgreSQL takes a unit's oldest
waiting message with FOR UPDATE SKIP LOCKED, so two hosts never offer it at once. A statement
that outlives its limits is ended by a watchdog here (a frozen server on a Unix socket answers
nothing and no TCP timer runs)."""

import contextlib
import os
import socket
import threading
import time

from qvbkit.store import queue, schema
from qvbkit.store.errors import Breaker, Refused, Unavailable, psycopg
from qvbkit.store.queue import (INSERT_MESSAGE, LIST_MESSAGES, MARK_DELIVERED, MARK_RELEASED,
                                NEXT_MESSAGE, OFFER_SECONDS, WAITING)
from qvbkit.store.schema import (CONNECT_SECONDS, INSERT_REPORT, KEEPALIVE_SECONDS,
                                 MIGRATION_LOCK, MIGRATION_SECONDS, POOL_SIZE,
                                 POOL_WAIT_SECONDS, STORE_SECONDS, clean, report_row, stamp)


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

    def __init__(self, url, wait=False, clock=time.time):
        """wait: a report service starts while the database is down, and makes the schema
        once it can; the other commands need the database now. clock: seconds since the
        epoch, for every moment the store writes or compares."""
        self.clock = clock
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
            schema.migrate(conn.execute, self.engine)
        self.ready = True

    def add_report(self, peer, query, fields):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(f"with stored as ({INSERT_REPORT}) {WAITING}"),
                                (*report_row(peer, query, fields, stamp(self.clock())),
                                 clean(fields.get("Unid", "")))).fetchone()[0]

    def add_message(self, unit, name, content):
        self.migrate()
        with self.pool.connection() as conn:
            return conn.execute(pg(INSERT_MESSAGE) + " returning id",
                                (unit, name, content, stamp(self.clock()))).fetchone()[0]

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
                (offer, stamp(self.clock()), peer, unit,
                 queue.reoffer_cutoff(self.clock(), lease))).fetchone()
        return None if row is None else ((row[0], bytes(row[1])), row[2] > 1)

    def confirm(self, offer, complete):
        with self.pool.connection() as conn:
            if complete:
                return conn.execute(pg(MARK_DELIVERED), (stamp(self.clock()), offer)).rowcount
            return conn.execute(pg(MARK_RELEASED), (offer,)).rowcount

    def ping(self):
        self.migrate()
        with self.pool.connection() as conn:
            conn.execute("select 1").fetchone()

    def close(self):
        self.pool.close()


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

