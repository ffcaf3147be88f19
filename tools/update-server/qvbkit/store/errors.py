"""How a store fails, on either engine: Unavailable (no outage is told for Refused), and the
breaker that lets one request at a time probe a store that has failed."""

import contextlib
import sqlite3
import sys
import threading

try:
    import psycopg
except ImportError:  # Debian's python3-psycopg, under a Python of one's own
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import psycopg
    except ImportError:
        psycopg = None

# Every moment is UTC: timestamptz in PostgreSQL, ISO 8601 text in SQLite (which sorts as


class Unavailable(Exception):
    """The store cannot be reached or written; the report is answered with a server error."""


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


def errors():
    """The exceptions a store's engines raise."""
    return (sqlite3.Error, Unavailable, Refused) + ((psycopg.Error,) if psycopg else ())
