"""HTTP/1.1 as the service reads it: request heads off a connection, header fields, the
request target, and the head of an answer."""

REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 500: "Internal Server Error",
           503: "Service Unavailable"}


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



def answer_head(status, length, keep, offer=None):
    """The head of an answer of length bytes; offer names the message it carries for nginx,
    which logs the end of such an answer."""
    named = f"X-Qvbrelmox-Offer: {offer}\r\n" if offer else ""
    return ("HTTP/1.1 %d %s\r\nContent-Length: %d\r\n%sConnection: %s\r\n\r\n"
            % (status, REASONS.get(status, "Status"), length, named,
               "keep-alive" if keep else "close")).encode()
