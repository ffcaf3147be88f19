"""One connection's requests: routing, the release's answers behind the path guard, the report,
/health and /metrics, and the answer's bytes."""

import os
import socket
import socketserver
import ssl

from qvbkit.release import static
from qvbkit.serve.faults import FaultAnswers
from qvbkit.serve.http import RequestReader, answer_head, header, target_of
from qvbkit.serve.intake import ReportIntake
from qvbkit.wire import AREA, NO_DIGEST, NOT_FOUND, REPORT_PATH


def area_path(root, name):
    """The file of the area under root that a request names, or None when the name leaves the
    area."""
    top = os.path.realpath(os.path.join(root, AREA))
    path = os.path.realpath(os.path.join(top, name.replace("\\", "/")))
    return path if path.startswith(top + os.sep) else None


class Handler(FaultAnswers, ReportIntake, socketserver.BaseRequestHandler):
    HEAD_SECONDS = 10  # nginx sends a request's head at once
    IDLE_SECONDS = 75  # a kept connection nginx no longer uses (nginx lets go after 60 s)
    target = None

    def handle(self):
        config = self.server.config
        if config.tls:
            # The handshake runs here, in the connection's own thread, never in the accepting one.
            try:
                self.request = config.tls.wrap_socket(self.request, server_side=True)
            except (OSError, ssl.SSLError):
                return
        reader = RequestReader(self.request)
        if config.reports_only:
            self.request.settimeout(self.HEAD_SECONDS)
        try:
            while True:
                head = reader.next()
                if head is None or not self.serve_one(*head):
                    return
                if config.reports_only:
                    self.request.settimeout(self.IDLE_SECONDS)
        except socket.timeout:
            return

    def keeps_alive(self, line):
        # Only the report service keeps connections (nginx reuses them); the reference server
        # closes after each answer, as the launcher's tests expect.
        if not self.server.config.reports_only or not line.endswith(b"HTTP/1.1"):
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
            if server.config.log:
                with open(server.config.log, "ab") as log:
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
        faulty = bool(self.server.faults)
        if faulty:
            keep = self.fault_before(target)
            if keep is not None:
                return keep
        self.status = 200
        body = self.answer(target)
        if body is None:
            return self.send(404, b"not found")
        if faulty:
            keep = self.fault_body(target, body)
            if keep is not None:
                return keep
        return self.send(self.status, body)

    def answer(self, target):
        server, config = self.server, self.server.config
        if target.startswith(REPORT_PATH + "?"):
            # Only the launcher's GET takes a message: a HEAD is never shown anything.
            return self.report(target.split("?", 1)[1], take=self.method == b"GET")
        if config.reports_only:
            if target == "/health":
                self.status, body = server.health_check.answer()
                return body
            if target == "/metrics":
                return server.metrics.text(server.reports, not server.reports.breaker.open,
                                           config.nginx_status)
            return None
        if target == "/Ok":
            return b"Ok"
        if target.startswith("/" + AREA):
            path = area_path(config.root, target[len("/" + AREA):])
            if path is None or not os.path.isfile(path):
                return NOT_FOUND
            with open(path, "rb") as f:
                return f.read()
        if target.startswith("/md5.php?" + AREA):
            name = target[len("/md5.php?" + AREA):]
            path = area_path(config.root, name)
            if path is None or not os.path.isfile(path):
                return NO_DIGEST
            answer = static.md5_answer(path)
            if name in server.faults.wrong_digest:
                answer = b"OK" + answer[2:-2][::-1] + b"OK"
            return answer
        return None

    def peer(self):
        # Behind nginx the connection comes from nginx, which names the launcher's address.
        forwarded = header(self.headers, b"X-Real-IP")
        if self.server.config.reports_only and forwarded and self.client_address[0] == "127.0.0.1":
            return forwarded
        return self.client_address[0]

    def send(self, status, body):
        # nginx logs the end of an answer that names its offer (and keeps the name from the
        # launcher).
        offer = self.offer if self.offer and self.server.confirmations else None
        head = answer_head(status, len(body), self.keep, offer)
        out = head if self.method == b"HEAD" else head + body
        every = self.server.faults.pace_for(self.target or "") if self.server.faults else None
        if every is None:
            self.request.sendall(out)
        else:
            self.send_paced(out, every)
        return self.keep
