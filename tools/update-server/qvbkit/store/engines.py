"""Opening a store by its name: a SQLite file for one host, a postgresql:// URL when several
hosts share it."""

from qvbkit.store.errors import Unavailable, psycopg
from qvbkit.store.postgres_store import PgReader, PostgresStore
from qvbkit.store.schema import CONNECT_SECONDS, OPEN_BUSY_SECONDS, STORE_SECONDS
from qvbkit.store.sqlite_store import SqliteStore


def is_url(db):
    return db.startswith(("postgresql://", "postgres://"))


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
