"""The usage report's intake: the report stored, and the answer "ok" or the unit's oldest queued
message, offered under the request's name until nginx says the answer went out whole."""

import os
import time
import urllib.parse
import uuid

from qvbkit.serve.http import header
from qvbkit.store import queue
from qvbkit.store.errors import Refused, Unavailable
from qvbkit.wire import MESSAGE_NAME, OFFER_NAME, REPORT_SECONDS

# A message goes out only with an answer nginx still waits for: it gives up on the service
# after REPORT_SECONDS, the launcher after 30 s.
TAKE_SECONDS = REPORT_SECONDS - 5
STORE_DOWN = b"the report store is unavailable"


def report_fields(query):
    """{key: value} of a report's query, each value decoded from %XX as Latin-1; the first of
    a repeated key counts."""
    fields = {}
    for piece in query.split("&"):
        key, _, value = piece.partition("=")
        fields.setdefault(key, urllib.parse.unquote(value, encoding="latin-1"))
    return fields


def waited_too_long(started, now):
    """Whether nginx, and the launcher behind it, may have given up on a request nginx started
    at started (its $msec, text, or None when not behind nginx), at now (epoch seconds)."""
    try:
        return started is not None and now - float(started) > TAKE_SECONDS
    except ValueError:
        return False


def message_answer(name, content):
    """A message as the launcher reads it: the file's name in the first MESSAGE_NAME bytes,
    padded with spaces, then the content."""
    return name.encode("latin-1").ljust(MESSAGE_NAME)[:MESSAGE_NAME] + content


class ReportIntake:
    """For a request handler with server, headers, peer() and status, offer."""

    def report(self, query, take):
        start = time.monotonic()
        try:
            return self.report_stored(query, take)
        finally:
            self.server.metrics.observe(time.monotonic() - start)

    def report_stored(self, query, take):
        """The answer to a report, once it is stored: "ok", or a queued message offered under
        this request's name (self.offer) until nginx says the answer went out whole. A store
        that cannot be reached gives a server error: the launcher goes on, as after any failed
        report."""
        server, config = self.server, self.server.config
        fields = report_fields(query)
        unit = fields.get("Unid", "")
        try:
            waiting = server.reports.add_report(self.peer(), query, fields)
            server.health.up()
            server.metrics.add("reports_stored")
        except (Unavailable, Refused) as error:
            server.failed(error)
            self.status = 500
            return STORE_DOWN
        if not take or not queue.valid_unit(unit) or waited_too_long(
                header(self.headers, b"X-Request-Start"), time.time()):
            return b"ok"
        try:
            if config.messages and queue.import_unit(server.reports, config.messages, unit):
                waiting = True
            if not waiting:
                return b"ok"
            offer = header(self.headers, b"X-Request-Id") if server.confirmations else None
            if not offer or not OFFER_NAME.fullmatch(offer):
                offer = uuid.uuid4().hex
            taken = server.reports.take_message(unit, self.peer(), offer, config.lease)
        except (Unavailable, Refused) as error:
            server.failed(error, report=False)
            return b"ok"  # stored; the message waits for the next report
        except (OSError, ValueError):
            return b"ok"  # a drop folder's file that could not be read stays there
        if taken is None:
            return b"ok"
        (name, content), again = taken
        if again:
            server.metrics.add("messages_offered_again")
        self.offer = offer
        if server.confirmations:
            server.confirmations.offered(offer)
        if config.fail_after_take:
            os._exit(3)  # a test's service dying between the take and the answer
        return message_answer(name, content)
