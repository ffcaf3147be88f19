"""The reference server's faults, for the launcher's tests only (serve's fault options): what
each answers instead of the right answer. The report service never has any."""

import threading
import time


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
        self.trickle_head = dict(self._pairs(args.trickle_head, int))
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


    def __bool__(self):
        return bool(self.close_times or self.delay or self.wrong_digest or self.cut_short
                    or self.status or self.chunked or self.endless or self.interim
                    or self.trickle or self.trickle_head or self.pace)


class FaultAnswers:
    """The faulty answers, for a request handler with request (the socket), server (with
    faults and the log) and send(status, body)."""

    PACE_PIECES = 6
    ENDLESS_CAP = 256 << 20
    TRICKLE_LENGTH = 100000
    SLOW_CAP = 2000  # pieces: a test's server always ends by itself
    RANGE_REFUSED = b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n"

    def fault_before(self, target):
        """The faults that answer instead of the right answer: None when none does, else
        whether the connection stays open."""
        faults = self.server.faults
        if faults.take_close(target):
            return False
        for prefix, chunked in faults.endless:
            if target.startswith(prefix):
                self.send_endless(chunked)
                return False
        if target in faults.interim:
            return self.send_slowly(b"", b"HTTP/1.1 100 Continue\r\n\r\n", faults.interim[target])
        if target in faults.trickle:
            head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % self.TRICKLE_LENGTH
            return self.send_slowly(head, b"x", faults.trickle[target])
        if target in faults.trickle_head:
            return self.send_head_slowly(self.RANGE_REFUSED, faults.trickle_head[target])
        if target in faults.delay:
            time.sleep(faults.delay[target] / 1000.0)
        if target in faults.status:
            return self.send(faults.status[target], b"status from the fault options")
        return None

    def fault_body(self, target, body):
        """The faults that send the right body wrongly: None when none does, else whether the
        connection stays open."""
        faults = self.server.faults
        if target in faults.cut_short:
            head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
            self.request.sendall(head + body[:faults.cut_short[target]])
            return False
        if target in faults.chunked:
            self.send_chunked(body)
            return False
        return None

    def send_paced(self, out, every):
        step = -(-len(out) // self.PACE_PIECES)
        for at in range(0, len(out), step):
            time.sleep(every / 1000.0)
            self.request.sendall(out[at:at + step])

    def send_chunked(self, body):
        out = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
        for at in range(0, len(body), 4096):
            piece = body[at:at + 4096]
            out += b"%X;piece=%d\r\n" % (len(piece), at // 4096) + piece + b"\r\n"
        self.request.sendall(out + b"0\r\n\r\n")

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

    def send_head_slowly(self, head, every_ms):
        """The status line at once, then the rest of the head one byte every so often, until it
        ends or the client leaves."""
        status, _, rest = head.partition(b"\r\n")
        try:
            self.request.sendall(status + b"\r\n")
            for byte in rest:
                self.request.sendall(bytes([byte]))
                time.sleep(every_ms / 1000.0)
        except OSError:
            pass  # the client gave up
        return False

    def record_streamed(self, sent):
        """Adds what an endless or slow answer sent before the client left to the log's record."""
        server = self.server
        if server.config.log:
            with server.log_lock, open(server.config.log + ".streamed", "a") as f:
                f.write(f"{sent}\n")
