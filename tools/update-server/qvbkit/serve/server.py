"""serve: the reference update server (for tests and the demo) and, with --reports-only, the
report service behind nginx. The wiring: one Config from the command line, and a server that
builds its own parts from it."""

import argparse
import concurrent.futures
import dataclasses
import os
import socketserver
import ssl
import sys
import threading

from qvbkit.serve.confirm import Confirmations
from qvbkit.serve.faults import Faults
from qvbkit.serve.handler import Handler
from qvbkit.serve.health import Health, HealthCheck
from qvbkit.serve.metrics import Metrics
from qvbkit.store.engines import open_store
from qvbkit.store.errors import Refused, Unavailable
from qvbkit.store.queue import OFFER_SECONDS
from qvbkit.wire import REPORT_THREADS


@dataclasses.dataclass
class Config:
    """What serve's options decide, read by every connection and never changed."""

    bind: str = "127.0.0.1"
    port: int = 0
    root: str = None  # the published root; None for a report service without one
    reports_only: bool = False
    threads: int = REPORT_THREADS
    log: str = None  # every request line is appended here
    db: str = None
    messages: str = None  # the drop folder of queued files
    confirm: str = None  # 127.0.0.1:PORT, where nginx logs the end of answers with an offer
    lease: int = OFFER_SECONDS
    nginx_status: str = None
    fail_after_take: bool = False
    tls: ssl.SSLContext = None

    @classmethod
    def from_args(cls, args):
        tls = None
        if args.tls_cert:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.minimum_version = ssl.TLSVersion.TLSv1_2
            tls.load_cert_chain(args.tls_cert, args.tls_key)
        return cls(bind=args.bind, port=args.port,
                   root=os.path.abspath(args.root) if args.root else None,
                   reports_only=args.reports_only, threads=args.threads, log=args.log,
                   db=args.db, messages=args.messages, confirm=args.confirm,
                   lease=args.offer_seconds, nginx_status=args.nginx_status,
                   fail_after_take=args.fail_after_take, tls=tls)


class Server(socketserver.ThreadingTCPServer):
    """The reference server, for tests: a thread a connection, as a test may hold some."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256  # the default 5 drops connections under a burst of launchers

    def __init__(self, config, reports, faults, handler=Handler):
        super().__init__((config.bind, config.port), handler)
        self.config, self.reports, self.faults = config, reports, faults
        self.log_lock = threading.Lock()
        self.health, self.metrics = Health(), Metrics()
        self.health_check = HealthCheck(reports, config.root, self.failed)
        self.confirmations = Confirmations(self, config.confirm) if config.confirm else None

    def failed(self, error, report=True):
        """A store operation failed: counted, and an outage told once (a statement the store
        refused is no outage)."""
        self.metrics.add("store_errors")
        if report:
            self.metrics.add("reports_failed")
        if isinstance(error, Unavailable):
            self.health.down(error)

    def end_offer(self, offer, complete):
        try:
            ended = self.reports.confirm(offer, complete)
        except (Unavailable, Refused) as error:
            self.failed(error, report=False)  # the offer goes out again once its time is up
            return
        if complete:
            self.metrics.add("messages_delivered", ended)


class PooledServer(Server):
    """The report service: at most config.threads connections served at once, the rest waiting
    to be accepted, so that a flood of slow clients cannot start a thread each. nginx keeps
    fewer connections than that (deploy sizes its upstream keepalive from --threads)."""

    def __init__(self, config, reports, faults, handler=Handler):
        super().__init__(config, reports, faults, handler)
        self.pool = concurrent.futures.ThreadPoolExecutor(config.threads)
        self.free = threading.Semaphore(config.threads)

    def process_request(self, request, client_address):
        self.free.acquire()  # all busy: the accept loop waits
        self.pool.submit(self.serve_pooled, request, client_address)

    def serve_pooled(self, request, client_address):
        try:
            self.finish_request(request, client_address)
        except Exception:
            self.handle_error(request, client_address)
        finally:
            self.shutdown_request(request)
            self.free.release()


def serve(args):
    if not args.root and not (args.reports_only and args.db):
        print("serve: --root is needed (or --reports-only with --db)", file=sys.stderr)
        return 2
    config = Config.from_args(args)
    try:
        reports = open_store(config.db or os.path.join(config.root, "reports.sqlite"), wait=True)
    except Unavailable as error:
        print(f"serve: {error}", file=sys.stderr)
        return 1
    kind = PooledServer if config.reports_only else Server
    server = kind(config, reports, Faults(args))
    if config.log:
        open(config.log, "ab").close()
    what = "reports" if config.reports_only else config.root
    print(f"serving {what} on {config.bind}:{server.server_address[1]}", flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


def add_arguments(s):
    s.add_argument("--root")
    s.add_argument("--reports-only", action="store_true",
                   help="answer only the usage report (behind nginx); needs --db")
    s.add_argument("--bind", default="127.0.0.1")
    s.add_argument("--port", type=int, default=0)
    s.add_argument("--port-file", help="write the port chosen here once listening")
    s.add_argument("--threads", type=int, default=REPORT_THREADS,
                   help="with --reports-only: connections served at once")
    s.add_argument("--log")
    s.add_argument("--tls-cert", metavar="CERT.pem", help="serve over TLS with this certificate")
    s.add_argument("--tls-key", metavar="KEY.pem", help="the private key of --tls-cert")
    s.add_argument("--db")
    s.add_argument("--messages", help="a drop folder of queued files, DIR/<unit>/<file>,"
                   " imported into the store as the unit reports")
    s.add_argument("--confirm", metavar="127.0.0.1:PORT", help="with --reports-only: where"
                   " nginx logs the completion of answers with a message (deploy --confirm)")
    s.add_argument("--offer-seconds", type=int, default=OFFER_SECONDS,
                   help="a message offered and never confirmed goes out again after this")
    s.add_argument("--nginx-status", metavar="URL", help="nginx's stub_status, shown in"
                   " /metrics (deploy --status-port)")
    s.add_argument("--fail-after-take", action="store_true", help=argparse.SUPPRESS)
    for fault in ("--close-times", "--delay", "--wrong-digest", "--cut-short", "--status",
                  "--chunked", "--endless", "--endless-chunked", "--interim", "--trickle",
                  "--pace", "--trickle-head"):
        s.add_argument(fault, action="append")
