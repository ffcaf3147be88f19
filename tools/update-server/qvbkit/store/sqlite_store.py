"""The report store in one SQLite file, for one host."""

import contextlib
import sqlite3
import threading
import time

from qvbkit.store import queue, schema
from qvbkit.store.errors import Breaker, Unavailable
from qvbkit.store.queue import (INSERT_MESSAGE, LIST_MESSAGES, MARK_DELIVERED, MARK_RELEASED,
                                NEXT_MESSAGE, OFFER, OFFER_SECONDS, WAITING)
from qvbkit.store.schema import INSERT_REPORT, OPEN_BUSY_SECONDS, clean, report_row, stamp


class SqliteStore:
    """One connection in WAL mode, one writer at a time: readers (the adoption report) never
    block the service. A report waits STORE_SECONDS at most, for this process's lock and for
    another process's transaction."""

    engine = "sqlite"

    def __init__(self, path, busy=OPEN_BUSY_SECONDS, clock=time.time):
        """clock: seconds since the epoch, for every moment the store writes or compares."""
        self.clock = clock
        self.lock, self.breaker, self.waits, self.waited = threading.Lock(), Breaker(), 0, 0.0
        self.busy = busy
        try:
            self.db = sqlite3.connect(path, check_same_thread=False, timeout=busy,
                                      isolation_level=None)
            self.db.create_function("qvb_local_to_utc", 1, schema.local_to_utc,
                                 deterministic=True)
            self.db.execute("pragma journal_mode=wal")
            # A commit survives the service crashing; only a power cut may take the last ones.
            self.db.execute("pragma synchronous=normal")
            with self.transaction() as execute:
                schema.migrate(execute, self.engine)
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
            execute(INSERT_REPORT, report_row(peer, query, fields, stamp(self.clock())))
            return bool(execute(WAITING, (clean(fields.get("Unid", "")),)).fetchone()[0])

    def add_message(self, unit, name, content):
        with self.transaction() as execute:
            return execute(INSERT_MESSAGE, (unit, name, content, stamp(self.clock()))).lastrowid

    def messages(self, unit=""):
        with self.locked() as execute:
            return execute(LIST_MESSAGES, (unit, unit)).fetchall()

    def take_message(self, unit, peer, offer, lease=OFFER_SECONDS):
        """The oldest message of unit that is neither delivered nor in flight (for less than
        lease seconds), now in flight under offer: ((name, content), offered before), or
        None."""
        with self.transaction() as execute:
            cutoff = queue.reoffer_cutoff(self.clock(), lease)
            row = execute(NEXT_MESSAGE, (unit, cutoff)).fetchone()
            if row is None:
                return None
            execute(OFFER, (offer, stamp(self.clock()), peer, row[0]))
            name, content, offers = execute("select name, content, offers from messages"
                                            " where id = ?", (row[0],)).fetchone()
            return (name, bytes(content)), offers > 1

    def confirm(self, offer, complete):
        """Ends an offer: delivered when its answer went out whole, queued again otherwise.
        The number of messages it ended."""
        with self.transaction() as execute:
            if complete:
                return execute(MARK_DELIVERED, (stamp(self.clock()), offer)).rowcount
            return execute(MARK_RELEASED, (offer,)).rowcount

    def ping(self):
        with self.locked() as execute:
            execute("select 1 from schema_version").fetchone()

    def close(self):
        self.db.close()

