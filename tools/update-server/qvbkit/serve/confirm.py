"""nginx's word on the answers that carried a message."""

import queue
import re
import socket
import threading
import time


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
                lease = self.server.config.lease
                for stale in [o for o, at in self.pending.items() if now - at > lease]:
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

