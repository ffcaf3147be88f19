#!/usr/bin/env python3
"""The reference update server of the QVBrelmox launcher (Python 3, standard library only), and
the tools of a production deployment.

  update_server.py serve --root DIR [--bind 127.0.0.1] [--port N] [--log FILE] [--db FILE]
                         [--messages DIR] [--tls-cert CERT.pem --tls-key KEY.pem]
                         [fault options]
  update_server.py serve --reports-only --db STORE [--messages DIR] [--port N] [--threads N]
                         [--root DIR] [--confirm 127.0.0.1:PORT] [--nginx-status URL]
  update_server.py publish SRC --root DIR --version X [--date DD/MM/YYYY] [--config FILE]
                           [--sign KEY.pem [--sequence N [--allow-jump]] [--state FILE]]
                           [--authenticode CA.pem]
                           [--hosts FILE [--replicate] [--rsh CMD]]
  update_server.py replicate --root DIR --to DEST [--rsh CMD]
  update_server.py deploy --root DIR --port N [--bind ADDR] [--reports URL] [--out DIR]
  update_server.py report --db STORE [--days N] [--html OUT.html] [--csv OUT.csv] [--root DIR]
  update_server.py prune --db STORE --older-than DAYS
  update_server.py backup --db STORE --to FOLDER [--keep N]
  update_server.py message add --db STORE (--unit N FILE... | FOLDER)
  update_server.py message list --db STORE [--unit N]
  update_server.py sandbox --db postgresql://... [--out FILE]
  update_server.py rollout status|halt|resume|promote|auto-halt --root DIR [...]

STORE is a SQLite file, or a postgresql:// URL when several hosts share it (see store.py).

publish copies the release into DIR/files/Contrib/, writes Versao.txt, and lays out the static
answers (DIR/static, see static_release.py) that nginx serves; deploy writes nginx's
configuration for them (see deploy.py). serve --reports-only is the report service behind nginx;
prune and backup keep its store (see upkeep.py); message queues files for the units (see
messages.py); replicate copies a published release to another host's root (see replicate.py);
sandbox writes the report unit's drop-in for a PostgreSQL store (see sandbox.py); rollout halts,
resumes and promotes a candidate release (see rollout.py).

publish --sign also writes Manifesto.txt (Release, Sequence, Area, and the size and SHA-256 of
QVBrelmox2.ini, Versao.txt and every listed file) and Manifesto.sig (see signing.py). The
sequence is the last one signed plus 1, kept in KEY.pem.sequence (or --state), unless --sequence
gives a larger one; a key that is not P-256 is refused. For each listed file that changed it
also makes a binary patch (xdelta3) from each of the file's last 3 signed versions, kept beside
the signing state, and lists them in the manifest (see patches.py).

serve answers:
  /Ok                                 "Ok"
  /files/Contrib/<name>               the file, or the not-found text (byte 0xC6) when missing
  /md5.php?files/Contrib/<name>       "OK" + MD5 digits + "OK"
  /cgi-bin/QVBrelmoxDLL.dll?<query>   stores the report; a GET is answered with the unit's
                                      oldest queued message, else "ok"; 500 while the store
                                      cannot be reached
With --reports-only, also (on its loopback listener; nginx passes on /health only):
  /health                             200 "ok" while the store answers and the release tree
                                      (--root) is complete, else 503
  /metrics                            the counters in Prometheus' text format, with nginx's
                                      stub_status (--nginx-status) beside them
The request target is everything between the method and the last word of the request line, so
names with spaces work. Every request line is appended to --log as it arrives. Files in
--messages DIR/<unit>/ are moved into the queue when the unit reports. With --reports-only
only the report is answered, the launcher's address is taken from nginx's X-Real-IP header,
and at most --threads connections are served at once. With --confirm, a message counts as
delivered only once nginx says it sent the answer whole: nginx logs the request id and
$request_completion of each answer with an offer (and of each report that did not end whole)
to that loopback UDP port (syslog; deploy writes the log). Without it (the reference
server), a message is delivered once its answer is handed to the socket.

Fault injection (for tests), each repeatable:
  --close-times PATH:N    close without an answer the first N requests for PATH
  --delay PATH:MS         wait before answering PATH
  --wrong-digest NAME     answer a wrong digest for NAME
  --cut-short PATH:N      announce the full length but send only N body bytes, then close
  --status PATH:CODE      answer PATH with this status (and a short body)
  --chunked PATH          answer PATH with a chunked body (each size line with an extension)
  --endless PREFIX        answer every target that starts with PREFIX with a body that does not
                          end (until close), up to 256 MiB or until the client stops reading
  --endless-chunked PREFIX  the same, chunked
  --interim PATH:MS       answer PATH with "100 Continue" interim answers, one every MS, and
                          never a final one
  --trickle PATH:MS       announce Content-Length 100000 for PATH, then send one byte every MS
  --pace PREFIX:MS        answer every target that starts with PREFIX rightly, but in 6 pieces,
                          one every MS: each wait sees bytes, and each answer ends
The bytes sent for endless answers (the pieces, for the last two) are added up in
--log + ".streamed".
"""

import argparse
import concurrent.futures
import hashlib
import os
import queue
import re
import shlex
import shutil
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse
import uuid

import adoption
import authenticode
import deploy
import messages
import metrics
import patches
import replicate
import rollout
import sandbox
import signing
import static_release
import store
import upkeep
from static_release import AREA, NO_DIGEST, NOT_FOUND, safe_name  # noqa: F401

# The download area's name, which a signed manifest carries.
AREA_NAME = "Contrib"

REPORT_PATH = "/cgi-bin/QVBrelmoxDLL.dll"
# A message goes out only with an answer nginx still waits for: it gives up on the service
# after deploy.REPORT_SECONDS, the launcher after 30 s.
TAKE_SECONDS = deploy.REPORT_SECONDS - 5
HEALTH_SECONDS = 1  # a load balancer's checks share one look at the store and the tree


class Faults:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.close_times = dict(self._pairs(args.close_times, int))
        self.delay = dict(self._pairs(args.delay, int))
        self.wrong_digest = set(args.wrong_digest or [])
        self.cut_short = dict(self._pairs(args.cut_short, int))
        self.status = dict(self._pairs(args.status, int))
        self.chunked = set(args.chunked or [])
        self.endless = [(p, False) for p in args.endless or []]
        self.endless += [(p, True) for p in args.endless_chunked or []]
        self.interim = dict(self._pairs(args.interim, int))
        self.trickle = dict(self._pairs(args.trickle, int))
        self.pace = list(self._pairs(args.pace, int))

    def pace_for(self, target):
        return next((ms for prefix, ms in self.pace if target.startswith(prefix)), None)

    @staticmethod
    def _pairs(values, kind):
        for value in values or []:
            path, _, number = value.rpartition(":")
            yield path, kind(number)

    def take_close(self, path):
        with self.lock:
            left = self.close_times.get(path, 0)
            if left > 0:
                self.close_times[path] = left - 1
                return True
        return False


class RequestReader:
    """Request heads off one connection, in turn; bytes read past a head wait for the next."""

    LIMIT = 1 << 20

    def __init__(self, sock):
        self.sock, self.data = sock, b""

    def next(self):
        """(request line, header lines), or None when the client left first."""
        while True:
            ends = [i for i in (self.data.find(b"\r\n\r\n"), self.data.find(b"\n\n")) if i >= 0]
            if ends:
                end = min(ends)
                head = self.data[:end]
                self.data = self.data[end + (4 if self.data[end:end + 4] == b"\r\n\r\n" else 2):]
                lines = [line.rstrip(b"\r") for line in head.split(b"\n")]
                return lines[0], lines[1:]
            if len(self.data) > self.LIMIT:
                return None
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.data += chunk


def header(lines, name):
    for line in lines:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower():
            return value.strip().decode("latin-1")
    return None


def target_of(request_line):
    # Everything between the method and the last word.
    first = request_line.find(b" ")
    last = request_line.rfind(b" ")
    if first < 0 or last <= first:
        return None
    return request_line[first + 1:last].decode("latin-1")


class Handler(socketserver.BaseRequestHandler):
    HEAD_SECONDS = 10  # nginx sends a request's head at once
    IDLE_SECONDS = 75  # a kept connection nginx no longer uses (nginx lets go after 60 s)

    def handle(self):
        if self.server.tls:
            # The handshake runs here, in the connection's own thread, never in the accepting one.
            try:
                self.request = self.server.tls.wrap_socket(self.request, server_side=True)
            except (OSError, ssl.SSLError):
                return
        reader = RequestReader(self.request)
        if self.server.reports_only:
            self.request.settimeout(self.HEAD_SECONDS)
        try:
            while True:
                head = reader.next()
                if head is None or not self.serve_one(*head):
                    return
                if self.server.reports_only:
                    self.request.settimeout(self.IDLE_SECONDS)
        except socket.timeout:
            return

    def keeps_alive(self, line):
        # Only the report service keeps connections (nginx reuses them); the reference server
        # closes after each answer, as the launcher's tests expect.
        if not self.server.reports_only or not line.endswith(b"HTTP/1.1"):
            return False
        connection = header(self.headers, b"Connection") or ""
        return connection.lower() != "close" and not header(self.headers, b"Content-Length") \
            and not header(self.headers, b"Transfer-Encoding")

    def serve_one(self, line, headers):
        """Answers one request; true when the connection stays open for another."""
        server = self.server
        self.headers, self.offer = headers, None
        self.method = line.split(b" ", 1)[0]
        self.keep = self.keeps_alive(line)
        with server.log_lock:
            if server.log:
                with open(server.log, "ab") as log:
                    log.write(line + b"\n")
        target = self.target = target_of(line)
        if target is None:
            self.keep = False
            return self.send(400, b"bad request")
        try:
            keep = self.serve_target(target)
        except BaseException:
            if self.offer:
                server.end_offer(self.offer, False)  # the message goes back to the queue
            raise
        if self.offer and not server.confirmations:
            server.end_offer(self.offer, True)
        return keep

    def serve_target(self, target):
        server = self.server
        sock = self.request
        faults = server.faults
        if faults.take_close(target):
            return False
        for prefix, chunked in faults.endless:
            if target.startswith(prefix):
                return self.send_endless(chunked)
        if target in faults.interim:
            return self.send_slowly(b"", b"HTTP/1.1 100 Continue\r\n\r\n", faults.interim[target])
        if target in faults.trickle:
            head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % self.TRICKLE_LENGTH
            return self.send_slowly(head, b"x", faults.trickle[target])
        if target in faults.delay:
            time.sleep(faults.delay[target] / 1000.0)
        if target in faults.status:
            return self.send(faults.status[target], b"status from the fault options")
        self.status = 200
        body = self.answer(target)
        if body is None:
            return self.send(404, b"not found")
        if target in faults.cut_short:
            head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
            sock.sendall(head + body[:faults.cut_short[target]])
            return False
        if target in faults.chunked:
            return self.send_chunked(body)
        return self.send(self.status, body)

    def answer(self, target):
        server = self.server
        if target.startswith(REPORT_PATH + "?"):
            # Only the launcher's GET takes a message: a HEAD is never shown anything.
            return self.report(target.split("?", 1)[1], take=self.method == b"GET")
        if server.reports_only:
            if target == "/health":
                return self.health()
            if target == "/metrics":
                return server.metrics.text(server.reports, not server.reports.breaker.open,
                                           server.nginx_status)
            return None
        if target == "/Ok":
            return b"Ok"
        if target.startswith("/" + AREA):
            path = self.area_path(target[len("/" + AREA):])
            if path is None or not os.path.isfile(path):
                return NOT_FOUND
            with open(path, "rb") as f:
                return f.read()
        if target.startswith("/md5.php?" + AREA):
            name = target[len("/md5.php?" + AREA):]
            path = self.area_path(name)
            if path is None or not os.path.isfile(path):
                return NO_DIGEST
            answer = static_release.md5_answer(path)
            if name in server.faults.wrong_digest:
                answer = b"OK" + answer[2:-2][::-1] + b"OK"
            return answer
        return None

    def area_path(self, name):
        root = os.path.realpath(os.path.join(self.server.root, AREA))
        path = os.path.realpath(os.path.join(root, name.replace("\\", "/")))
        return path if path.startswith(root + os.sep) else None

    def peer(self):
        # Behind nginx the connection comes from nginx, which names the launcher's address.
        forwarded = header(self.headers, b"X-Real-IP")
        if self.server.reports_only and forwarded and self.client_address[0] == "127.0.0.1":
            return forwarded
        return self.client_address[0]

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
        server = self.server
        fields = {}
        for piece in query.split("&"):
            key, _, value = piece.partition("=")
            fields.setdefault(key, urllib.parse.unquote(value, encoding="latin-1"))
        unit = fields.get("Unid", "")
        try:
            waiting = server.reports.add_report(self.peer(), query, fields)
            server.health.up()
            server.metrics.add("reports_stored")
        except (store.Unavailable, store.Refused) as error:
            server.failed(error)
            self.status = 500
            return b"the report store is unavailable"
        if not take or not messages.valid_unit(unit) or self.waited_too_long():
            return b"ok"
        try:
            if server.messages and messages.import_unit(server.reports, server.messages, unit):
                waiting = True
            if not waiting:
                return b"ok"
            offer = header(self.headers, b"X-Request-Id") if server.confirmations else None
            if not offer or not OFFER_NAME.fullmatch(offer):
                offer = uuid.uuid4().hex
            taken = server.reports.take_message(unit, self.peer(), offer, server.lease)
        except (store.Unavailable, store.Refused) as error:
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
        if server.fail_after_take:
            os._exit(3)  # a test's service dying between the take and the answer
        return name.encode("latin-1").ljust(messages.MESSAGE_NAME)[:messages.MESSAGE_NAME] \
            + content

    def waited_too_long(self):
        """True when nginx, and the launcher behind it, may have given up on this request."""
        started = header(self.headers, b"X-Request-Start")  # nginx's $msec
        try:
            return started is not None and time.time() - float(started) > TAKE_SECONDS
        except ValueError:
            return False

    def health(self):
        """200 while the store answers and the release tree is whole, 503 otherwise."""
        server = self.server
        with server.health_lock:
            at, status, body = server.health_seen
            if time.monotonic() - at > HEALTH_SECONDS:
                status, body = 200, b"ok"
                try:
                    server.reports.ping()
                except (store.Unavailable, store.Refused) as error:
                    server.failed(error, report=False)
                    status, body = 503, b"the report store is unavailable"
                if status == 200 and server.root:
                    problem = static_release.incomplete(server.root)
                    if problem:
                        status, body = 503, b"the release tree is incomplete"
                server.health_seen = (time.monotonic(), status, body)
        self.status = status
        return body

    def send(self, status, body):
        reason = {200: "OK", 400: "Bad Request", 404: "Not Found",
                  500: "Internal Server Error", 503: "Service Unavailable"}.get(status, "Status")
        # nginx logs the end of an answer that names its offer (and keeps the name from the
        # launcher).
        offer = f"X-Qvbrelmox-Offer: {self.offer}\r\n" if self.offer and \
            self.server.confirmations else ""
        head = ("HTTP/1.1 %d %s\r\nContent-Length: %d\r\n%sConnection: %s\r\n\r\n"
                % (status, reason, len(body), offer, "keep-alive" if self.keep else "close")
                ).encode()
        out = head if self.method == b"HEAD" else head + body
        every = self.server.faults.pace_for(self.target or "")
        if every is None:
            self.request.sendall(out)
            return self.keep
        step = -(-len(out) // self.PACE_PIECES)
        for at in range(0, len(out), step):
            time.sleep(every / 1000.0)
            self.request.sendall(out[at:at + step])
        return self.keep

    PACE_PIECES = 6
    target = None

    def send_chunked(self, body):
        out = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        for at in range(0, len(body), 4096):
            piece = body[at:at + 4096]
            out += b"%X;piece=%d\r\n" % (len(piece), at // 4096) + piece + b"\r\n"
        self.request.sendall(out + b"0\r\n\r\n")

    ENDLESS_CAP = 256 << 20

    def send_endless(self, chunked):
        head = b"HTTP/1.1 200 OK\r\n" + (b"Transfer-Encoding: chunked\r\n" if chunked else b"")
        piece = b"s" * (64 << 10)
        framed = b"%X\r\n" % len(piece) + piece + b"\r\n" if chunked else piece
        sent = 0
        try:
            self.request.sendall(head + b"\r\n")
            while sent < self.ENDLESS_CAP:
                self.request.sendall(framed)
                sent += len(piece)
        except OSError:
            pass  # the client stopped reading
        self.record_streamed(sent)

    TRICKLE_LENGTH = 100000
    SLOW_CAP = 2000  # pieces: a test's server always ends by itself

    def send_slowly(self, head, piece, every_ms):
        """The head, then the piece every so often until the client leaves; the pieces sent are
        added to the streamed record."""
        sent = 0
        try:
            self.request.sendall(head)
            while sent < self.SLOW_CAP:
                self.request.sendall(piece)
                sent += 1
                time.sleep(every_ms / 1000.0)
        except OSError:
            pass  # the client gave up
        self.record_streamed(sent)
        return False

    def record_streamed(self, sent):
        """Adds what an endless or slow answer sent before the client left to the log's record."""
        server = self.server
        if server.log:
            with server.log_lock, open(server.log + ".streamed", "a") as f:
                f.write(f"{sent}\n")


OFFER_NAME = re.compile(r"[0-9a-f]{32}")  # nginx's $request_id, or ours


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256  # the default 5 drops connections under a burst of launchers
    confirmations = None

    def failed(self, error, report=True):
        """A store operation failed: counted, and an outage told once (a statement the store
        refused is no outage)."""
        self.metrics.add("store_errors")
        if report:
            self.metrics.add("reports_failed")
        if isinstance(error, store.Unavailable):
            self.health.down(error)

    def end_offer(self, offer, complete):
        try:
            ended = self.reports.confirm(offer, complete)
        except (store.Unavailable, store.Refused) as error:
            self.failed(error, report=False)  # the offer goes out again once its time is up
            return
        if complete:
            self.metrics.add("messages_delivered", ended)


class Confirmations:
    """nginx's word on a report's answer, a datagram from its access log (syslog over UDP on
    loopback, whose queue holds hundreds where a Unix socket's holds 10): the request id and
    $request_completion, "OK" once the answer went out whole. An offer ends with it:
    delivered, or queued again. A request that nginx ended before the service offered
    anything (the launcher left first) is remembered for a while, so that an offer made after
    that is taken back at once. One thread only takes the datagrams in, so that a burst of
    offers fills no queue; another ends the offers."""

    LINE = re.compile(rb"qvbrelmox-offer ([0-9a-f]{32}) ?(\S*)")  # an empty completion: cut
    ENDED_SECONDS = 120  # longer than nginx waits for the service
    ENDED_MOST = 10000  # requests remembered at most
    BUFFER = 4 << 20  # the socket's receive buffer asked for (the kernel's rmem_max caps it)

    def __init__(self, server, address):
        self.server, self.lock, self.pending, self.ended = server, threading.Lock(), {}, {}
        host, _, port = address.rpartition(":")
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.BUFFER)
        self.sock.bind((host, int(port)))
        self.arrived = queue.SimpleQueue()
        threading.Thread(target=self.receive, daemon=True).start()
        threading.Thread(target=self.run, daemon=True).start()

    def receive(self):
        while True:
            data, sender = self.sock.recvfrom(4096)
            if sender[0].startswith("127."):  # nginx, on this host
                self.arrived.put(data)

    PENDING_MOST = 1000  # offers waiting for nginx's word before the stale ones are let go

    def offered(self, offer):
        with self.lock:
            now = time.monotonic()
            if offer in self.ended:
                taken_back = True
            else:
                taken_back = False
                self.pending[offer] = now
            if len(self.pending) > self.PENDING_MOST:
                # Offers nginx never confirmed (it died): the store offers them again in time.
                for stale in [o for o, at in self.pending.items() if now - at > self.server.lease]:
                    del self.pending[stale]
        if taken_back:
            self.server.end_offer(offer, False)

    def run(self):
        while True:
            found = self.LINE.search(self.arrived.get())
            if not found:
                continue
            offer, complete = found.group(1).decode(), found.group(2) == b"OK"
            with self.lock:
                known = self.pending.pop(offer, None) is not None
                if not known and not complete:
                    self.remember(offer)
            if known:
                self.server.end_offer(offer, complete)

    def remember(self, offer):
        now = time.monotonic()
        self.ended[offer] = now
        if len(self.ended) > self.ENDED_MOST:
            self.ended.pop(next(iter(self.ended)))
        while self.ended:
            first = next(iter(self.ended))
            if now - self.ended[first] < self.ENDED_SECONDS:
                break
            del self.ended[first]


class PooledServer(Server):
    """The report service: at most `threads` connections served at once, the rest waiting to be
    accepted, so that a flood of slow clients cannot start a thread each. nginx keeps fewer
    connections than that (deploy sizes its upstream keepalive from --threads)."""

    def __init__(self, address, handler, threads):
        super().__init__(address, handler)
        self.pool = concurrent.futures.ThreadPoolExecutor(threads)
        self.free = threading.Semaphore(threads)

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


def serve(args):
    if not args.root and not (args.reports_only and args.db):
        print("serve: --root is needed (or --reports-only with --db)", file=sys.stderr)
        return 2
    if args.reports_only:
        server = PooledServer((args.bind, args.port), Handler, args.threads)
    else:  # the reference server, for tests: a thread a connection, as a test may hold some
        server = Server((args.bind, args.port), Handler)
    server.root = os.path.abspath(args.root) if args.root else None
    server.reports_only = args.reports_only
    server.log = args.log
    server.log_lock = threading.Lock()
    server.health = Health()
    server.metrics = metrics.Metrics()
    server.nginx_status = args.nginx_status
    server.lease = args.offer_seconds
    server.health_lock, server.health_seen = threading.Lock(), (-HEALTH_SECONDS - 1, 0, b"")
    try:
        server.reports = store.open_store(args.db or os.path.join(server.root, "reports.sqlite"),
                                          wait=True)
    except store.Unavailable as error:
        print(f"serve: {error}", file=sys.stderr)
        return 1
    server.messages = args.messages
    if args.confirm:
        server.confirmations = Confirmations(server, args.confirm)
    server.fail_after_take = args.fail_after_take
    server.faults = Faults(args)
    server.tls = None
    if args.tls_cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.minimum_version = ssl.TLSVersion.TLSv1_2
        server.tls.load_cert_chain(args.tls_cert, args.tls_key)
    if args.log:
        open(args.log, "ab").close()
    what = "reports" if args.reports_only else server.root
    print(f"serving {what} on {args.bind}:{server.server_address[1]}", flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


DEFAULT_CONFIG = b"[QVBrelmox]\r\n"


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_atomically(path, data):
    # A server answering while a release is published must never read half a file; the old
    # file also stays whole for the static tree's hard links.
    temp = f"{path}.publishing"
    with open(temp, "wb") as f:
        f.write(data)
    os.chmod(temp, static_release.PUBLIC_FILE)
    os.replace(temp, path)


def copy_atomically(source, target):
    temp = f"{target}.publishing"
    shutil.copyfile(source, temp)
    os.chmod(temp, static_release.PUBLIC_FILE)
    os.replace(temp, target)


def content_version(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return "c" + digest.hexdigest()[:12]


CANDIDATE_PREFIX = "candidato-"
CANDIDATE_MANIFEST, CANDIDATE_SIGNATURE = "Candidato.txt", "Candidato.sig"
CANDIDATE_HOURS_MAX = 2160


def candidate_folders(area):
    return [d for d in os.listdir(area) if d.startswith(CANDIDATE_PREFIX)
            and os.path.isdir(os.path.join(area, d))] if os.path.isdir(area) else []


def publish(args):
    if args.authenticode and not authenticode.release_signed(args.src, args.authenticode):
        return 1
    src = os.path.abspath(args.src)
    stable_area = os.path.join(os.path.abspath(args.root), AREA)
    area = stable_area
    if args.candidate and (not args.sign or not 1 <= (args.hours or 0) <= CANDIDATE_HOURS_MAX):
        print(f"publish: a candidate is signed (--sign) and reaches every office in --hours, "
              f"1 to {CANDIDATE_HOURS_MAX}", file=sys.stderr)
        return 1
    config = os.path.join(area, "QVBrelmox2.ini")
    if args.sign:
        sequence, problem = signing.next_sequence(args)
        # The configuration is signed from the signing side too: a served copy that is not the
        # default one must come again with --config.
        if (not problem and not args.config and os.path.exists(config)
                and read_file(config) != DEFAULT_CONFIG):
            problem = ("a signed release takes QVBrelmox2.ini from --config, not from the "
                       "served tree")
        if problem:
            print(f"publish: {problem}", file=sys.stderr)
            return 1
        if args.candidate:
            # Beside the stable release, in a folder of its own: offices outside the rollout,
            # and fresh installations, keep getting the stable one.
            folder = f"{CANDIDATE_PREFIX}{sequence}"
            area = os.path.join(stable_area, folder)
            config = os.path.join(area, "QVBrelmox2.ini")
    names = []
    for dirpath, _, filenames in os.walk(src):
        for filename in sorted(filenames):
            rel = os.path.relpath(os.path.join(dirpath, filename), src).replace(os.sep, "\\")
            names.append(rel)
    names.sort()
    bad = [n for n in names if not safe_name(n)]
    if bad:
        print("publish: these names would be refused or misread by the launcher: "
              + ", ".join(bad), file=sys.stderr)
        return 1
    if args.sign:
        # Hashed and patched before anything reaches the served tree: a missing xdelta3 or a
        # failed patch publishes nothing.
        files = [(n, path, *signing.file_digest(path))
                 for n, path in ((n, os.path.join(src, n.replace("\\", os.sep))) for n in names)]
        plan = patches.Plan(signing.state_path(args))
        problem = plan.make(files)
        if problem:
            print(f"publish: {problem}; nothing was published", file=sys.stderr)
            return 1
    versions = {}
    for pair in args.file_version or []:
        name, _, version = pair.partition("=")
        versions[name] = version
    static_release.public_folders(args.root, stable_area)
    static_release.public_folders(stable_area, area)
    lines = ["Start.Ok=1", ":VersaoAtual=" + args.version,
             ":DataVersaoAtual=" + (args.date or time.strftime("%d/%m/%Y"))]
    for name in names:
        source = os.path.join(src, name.replace("\\", os.sep))
        target = os.path.join(area, name.replace("\\", os.sep))
        static_release.public_folders(area, os.path.dirname(target))
        copy_atomically(source, target)
        lines.append(f"{name}={versions.get(name) or content_version(source)}")
    lines.append("End.Ok=1")
    version_file = ("\r\n".join(lines) + "\r\n").encode("latin-1")
    write_atomically(os.path.join(area, "Versao.txt"), version_file)
    config_text = read_file(args.config) if args.config else DEFAULT_CONFIG
    if args.config or args.sign or not os.path.exists(config):
        write_atomically(config, config_text)
    if args.sign:
        entries = [signing.entry_of_bytes("QVBrelmox2.ini", config_text),
                   signing.entry_of_bytes("Versao.txt", version_file)]
        entries += [signing.entry_of_digest(n, size, sha) for n, _, size, sha in files]
        rollout = []
        if args.candidate:
            start = args.start or time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
            rollout = [f"Pasta={folder}", f"Inicio={start}", f"Horas={args.hours}"]
        text = signing.manifest_text(args.version, sequence, AREA_NAME,
                                     rollout + entries + plan.entries())
        signature = signing.sign(text, args.sign)
        for name, _, _, _, pname, made in plan.made:
            target = os.path.join(area, pname.replace("\\", os.sep))
            copy_atomically(made, target)
        plan.discard()
        if args.candidate:
            write_atomically(os.path.join(stable_area, CANDIDATE_MANIFEST), text)
            write_atomically(os.path.join(stable_area, CANDIDATE_SIGNATURE), signature)
            for old in candidate_folders(stable_area):
                if old != folder:
                    shutil.rmtree(os.path.join(stable_area, old), ignore_errors=True)
        else:
            write_atomically(os.path.join(area, signing.MANIFEST), text)
            write_atomically(os.path.join(area, signing.SIGNATURE), signature)
        signing.record(args, sequence, write_atomically)
        plan.record(files, write_atomically)
        patches.remove_stale(area, plan.names() | set(names),
                             skip=() if args.candidate else candidate_folders(stable_area))
    together = bool(args.hosts and args.replicate)
    try:
        # With the other hosts, this one switches with them, once every copy checked out.
        if together:
            tree, static = static_release.prepare(args.root)
            served = os.path.join(os.fsencode(os.path.join(args.root, tree)),
                                  os.fsencode(os.path.relpath(area, args.root)))
            wrong = [n for n in names
                     if signing.file_digest(os.path.join(served, static_release.wire_name(n)))
                     != signing.file_digest(os.path.join(src, n.replace("\\", os.sep)))]
            if wrong:
                static_release.retire(args.root)
                print("publish: this host's copy differs from the release in "
                      + ", ".join(wrong[:3]) + "; no host switched", file=sys.stderr)
                return 1
        else:
            static = static_release.build(args.root)
    except OSError as error:  # a name too long once escaped, a full disk
        print(f"publish: the release is in place, but not its static answers: {error}",
              file=sys.stderr)
        return 1
    print(f"published {len(names)} files as version {args.version} in {area}"
          + (f", signed as sequence {sequence} with {len(plan.made)} patches" if args.sign
             else "")
          + f"; static answers for {static} files in {os.path.join(args.root, 'static')}")
    return to_hosts(args, tree if together else None) if args.hosts else 0


def to_hosts(args, tree):
    """Prints the replicate command for each host of the hosts file, or stages tree on them
    all and switches every host once each copy checked out."""
    try:
        hosts = replicate.hosts_of(args.hosts)
    except OSError as error:
        print(f"publish: the release is in place here, but {error}", file=sys.stderr)
        if tree:
            static_release.retire(args.root)
        return 1
    if tree:
        if not shutil.which("rsync"):
            print("publish: --replicate needs rsync (apt-get install rsync)", file=sys.stderr)
            return 1
        return replicate.to_all(args, os.path.abspath(args.root), tree, hosts)
    for dest in hosts:
        command = replicate.command_for(args.root, dest, args.rsh)
        print("replicate with: " + " ".join(shlex.quote(c) for c in command))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="The reference update server.")
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--root")
    s.add_argument("--reports-only", action="store_true",
                   help="answer only the usage report (behind nginx); needs --db")
    s.add_argument("--bind", default="127.0.0.1")
    s.add_argument("--port", type=int, default=0)
    s.add_argument("--port-file", help="write the port chosen here once listening")
    s.add_argument("--threads", type=int, default=deploy.REPORT_THREADS,
                   help="with --reports-only: connections served at once")
    s.add_argument("--log")
    s.add_argument("--tls-cert", metavar="CERT.pem", help="serve over TLS with this certificate")
    s.add_argument("--tls-key", metavar="KEY.pem", help="the private key of --tls-cert")
    s.add_argument("--db")
    s.add_argument("--messages", help="a drop folder of queued files, DIR/<unit>/<file>,"
                   " imported into the store as the unit reports")
    s.add_argument("--confirm", metavar="127.0.0.1:PORT", help="with --reports-only: where"
                   " nginx logs the completion of answers with a message (deploy --confirm)")
    s.add_argument("--offer-seconds", type=int, default=store.OFFER_SECONDS,
                   help="a message offered and never confirmed goes out again after this")
    s.add_argument("--nginx-status", metavar="URL", help="nginx's stub_status, shown in"
                   " /metrics (deploy --status-port)")
    s.add_argument("--fail-after-take", action="store_true", help=argparse.SUPPRESS)
    s.add_argument("--close-times", action="append")
    s.add_argument("--delay", action="append")
    s.add_argument("--wrong-digest", action="append")
    s.add_argument("--cut-short", action="append")
    s.add_argument("--status", action="append")
    s.add_argument("--chunked", action="append")
    s.add_argument("--endless", action="append")
    s.add_argument("--endless-chunked", action="append")
    s.add_argument("--interim", action="append")
    s.add_argument("--trickle", action="append")
    s.add_argument("--pace", action="append")
    p = sub.add_parser("publish")
    p.add_argument("src")
    p.add_argument("--root", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--date")
    p.add_argument("--config")
    p.add_argument("--file-version", action="append", help="NAME=VERSION for one file")
    p.add_argument("--sign", metavar="KEY.pem", help="sign the release with this P-256 key")
    authenticode.add_argument(p)
    p.add_argument("--sequence", type=int, help="the signed release's sequence number")
    p.add_argument("--candidate", action="store_true",
                   help="with --sign: publish a candidate beside the stable release "
                        "(files/Contrib/candidato-SEQUENCE/, Candidato.txt and .sig)")
    p.add_argument("--hours", type=int, help="with --candidate: hours until every office has it")
    p.add_argument("--start", help="with --candidate: its start, yyyy-mm-ddThh:mm:ssZ (now)")
    p.add_argument("--allow-jump", action="store_true",
                   help=f"let --sequence jump more than {signing.SEQUENCE_JUMP_MAX} past the last")
    p.add_argument("--state", metavar="FILE",
                   help="the signing state (the last sequence); default KEY.pem.sequence")
    p.add_argument("--hosts", metavar="FILE", help="the other hosts' roots, one a line"
                   " (a folder or host:path): print the replicate command for each")
    p.add_argument("--replicate", action="store_true", help="with --hosts: copy the release"
                   " to every host, then switch them all together")
    p.add_argument("--rsh", default="ssh", help="with --hosts: replicate's remote shell")
    deploy.add_arguments(sub.add_parser("deploy", help="write an nginx configuration"))
    adoption.add_arguments(sub.add_parser("report", help="the release adoption report"))
    upkeep.add_prune_arguments(sub.add_parser(
        "prune", help="take the personal data out of old reports"))
    upkeep.add_backup_arguments(sub.add_parser(
        "backup", help="copy the report store while the service writes"))
    messages.add_arguments(sub.add_parser("message", help="the message queue"))
    replicate.add_arguments(sub.add_parser(
        "replicate", help="copy the published release to another host's root"))
    sandbox.add_arguments(sub.add_parser(
        "sandbox", help="the report unit's drop-in for a PostgreSQL store"))
    rollout.add_arguments(sub.add_parser(
        "rollout", help="the candidate's status, halt, resume and promotion"), publish)
    args = parser.parse_args(argv)
    commands = {"serve": serve, "publish": publish, "deploy": deploy.deploy,
                "report": adoption.report, "prune": upkeep.prune, "backup": upkeep.backup,
                "message": messages.message, "replicate": replicate.replicate,
                "sandbox": sandbox.sandbox, "rollout": rollout.rollout}
    return commands[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
