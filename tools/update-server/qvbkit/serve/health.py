"""The report service's health: the outage lines in the journal, and the /health answer a
load balancer asks for."""

import sys
import threading
import time

from qvbkit.release import static
from qvbkit.store.errors import Refused, Unavailable

HEALTH_SECONDS = 1  # a load balancer's checks share one look at the store and the tree
STORE_DOWN = b"the report store is unavailable"
TREE_INCOMPLETE = b"the release tree is incomplete"


def verdict(store_error, tree_problem):
    """(status, body) of /health: 200 while the store answers (store_error None) and the
    release tree is whole (tree_problem None), else 503 with the first thing wrong."""
    if store_error is not None:
        return 503, STORE_DOWN
    if tree_problem:
        return 503, TREE_INCOMPLETE
    return 200, b"ok"


class HealthCheck:
    """/health's answer, looked up at most once every HEALTH_SECONDS. failed(error) hears of a
    store that did not answer."""

    def __init__(self, reports, root, failed, clock=time.monotonic):
        self.reports, self.root, self.failed, self.clock = reports, root, failed, clock
        self.lock, self.seen = threading.Lock(), (None, 0, b"")

    def answer(self):
        with self.lock:
            at, status, body = self.seen
            if at is None or self.clock() - at > HEALTH_SECONDS:
                status, body = verdict(*self.look())
                self.seen = (self.clock(), status, body)
        return status, body

    def look(self):
        try:
            self.reports.ping()
        except (Unavailable, Refused) as error:
            self.failed(error, report=False)
            return error, None
        return None, static.incomplete(self.root) if self.root else None


class Health:
    """Says once on stderr (the journal) when the store stops answering, and once when it is
    back: an outage is two lines, however many reports fail during it. A database going down
    or coming up answers some and fails others for a while: the outage ends only once the
    store has answered for STEADY_SECONDS without a failure."""

    STEADY_SECONDS = 2

    def __init__(self):
        self.lock, self.failing, self.last_failure = threading.Lock(), False, 0.0

    def down(self, error):
        with self.lock:
            self.last_failure = time.monotonic()
            if self.failing:
                return
            self.failing = True
        error = " ".join(str(error).split())  # one line in the journal
        print(f"serve: the report store is unavailable, reports get a server error: {error}",
              file=sys.stderr, flush=True)

    def up(self):
        if not self.failing:
            return
        with self.lock:
            if not self.failing or time.monotonic() - self.last_failure < self.STEADY_SECONDS:
                return
            self.failing = False
        print("serve: the report store answers again", file=sys.stderr, flush=True)

