"""TLS material and servers for the tests: server certificates made from the build tree's test
CA (one valid for 127.0.0.1 and localhost, one expired, one for another host, one from a CA
nobody trusts, one under a forged copy of the test CA, one for clients only, one that names its
host in the subject alone, one whose DNS name holds a NUL), and a small TLS server on loopback
that plays one answer per connection."""

import os
import socket
import ssl
import subprocess
import threading
import time

CA_CONFIG = """[ca]
default_ca = test
[test]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
"""


def _run(*args):
    subprocess.run(args, check=True, capture_output=True)


def _forge_root(work, ca_pem):
    """A root with the test CA's own name and serial number but a key of its own: what anyone
    who read the pinned root out of the launcher can make."""
    subject = subprocess.run(["openssl", "x509", "-in", ca_pem, "-noout", "-subject", "-nameopt",
                              "RFC2253"], check=True, capture_output=True, text=True).stdout
    serial = subprocess.run(["openssl", "x509", "-in", ca_pem, "-noout", "-serial"], check=True,
                            capture_output=True, text=True).stdout
    name = "/" + "/".join(reversed(subject.strip().split("=", 1)[1].split(",")))
    forged, key = os.path.join(work, "forged-ca.pem"), os.path.join(work, "forged-ca.key")
    _run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", forged, "-days", "30", "-subj", name,
         "-set_serial", "0x" + serial.strip().split("=", 1)[1])
    return forged, key


def _der_item(data, at):
    """(tag, start of the content, its length) of the DER item at `at`."""
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return tag, at, length


def _signature_full_length(cert):
    """Whether the certificate's ECDSA signature has an r and an s of the curve's full 32 bytes.
    Wine 8's crypt32 rejects a signature whose r or s is shorter (about one in a hundred, as
    signing is random), so certificates are signed again until theirs is whole: tests of the
    launcher's checks must not fail on a bug of the platform they run on."""
    der = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"], check=True,
                         capture_output=True).stdout
    _, at, _ = _der_item(der, 0)  # the certificate
    for _ in range(2):  # past the signed part and the algorithm
        _, start, length = _der_item(der, at)
        at = start + length
    _, at, _ = _der_item(der, at)  # the BIT STRING
    _, at, _ = _der_item(der, at + 1)  # its SEQUENCE, past the unused-bits byte
    for _ in range(2):  # r, then s
        _, start, length = _der_item(der, at)
        if len(der[start:start + length].lstrip(b"\0")) != 32:
            return False
        at = start + length
    return True


def make_certificates(work, ca_pem, ca_key):
    """{"valid", "expired", "other-host", "rogue", "forged", "client-only", "cn-only",
    "nul-name"}: (cert, key) paths, and "rogue-ca". "forged" carries its chain up to a root that
    copies the test CA's name and serial; "client-only" is for client authentication alone;
    "cn-only" names localhost in its subject only; "nul-name" names "localhost\0.evil.example",
    which reads as localhost to a check that stops at the NUL."""
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "index.txt"), "w"), open(os.path.join(work, "serial"), "w") as f:
        f.write("1000\n")
    config = os.path.join(work, "ca.cnf")
    with open(config, "w") as f:
        f.write(CA_CONFIG.format(dir=work))
    rogue_ca, rogue_key = os.path.join(work, "rogue-ca.pem"), os.path.join(work, "rogue-ca.key")
    _run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", rogue_key, "-out", rogue_ca, "-days", "30", "-subj", "/CN=Rogue CA")
    forged = _forge_root(work, ca_pem)
    made = {"rogue-ca": rogue_ca}
    both = "IP:127.0.0.1,DNS:localhost"
    # openssl's configuration cannot write a NUL into a name: the extension's DER, a sequence
    # holding one dNSName ([2] IA5String).
    nul_name = b"localhost\0.evil.example"
    nul_der = bytes([0x30, len(nul_name) + 2, 0x82, len(nul_name)]) + nul_name
    for name, names, dates, (ca, key), usage in (
            ("valid", both, ("-days", "30"), (ca_pem, ca_key), "serverAuth"),
            ("expired", both, ("-startdate", "20200101000000Z", "-enddate", "20200201000000Z"),
             (ca_pem, ca_key), "serverAuth"),
            ("other-host", "DNS:other.example", ("-days", "30"), (ca_pem, ca_key), "serverAuth"),
            ("rogue", both, ("-days", "30"), (rogue_ca, rogue_key), "serverAuth"),
            ("forged", both, ("-days", "30"), forged, "serverAuth"),
            ("client-only", both, ("-days", "30"), (ca_pem, ca_key), "clientAuth"),
            ("cn-only", None, ("-days", "30"), (ca_pem, ca_key), "serverAuth"),
            ("nul-name", "DER:" + nul_der.hex(), ("-days", "30"), (ca_pem, ca_key),
             "serverAuth")):
        cert, private = os.path.join(work, name + ".pem"), os.path.join(work, name + ".key")
        request = os.path.join(work, name + ".csr")
        subject = "/CN=localhost" if names is None else f"/CN={name}"
        extensions = ["-addext", f"extendedKeyUsage={usage}"]
        if names:
            extensions += ["-addext", f"subjectAltName={names}"]
        _run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", private, "-out", request, "-subj", subject, *extensions)
        while True:
            _run("openssl", "ca", "-batch", "-config", config, "-cert", ca, "-keyfile", key,
                 "-in", request, "-out", cert, "-notext", *dates)
            if _signature_full_length(cert):
                break
        if ca == forged[0]:
            with open(cert, "ab") as out, open(ca, "rb") as root:
                out.write(root.read())
        made[name] = (cert, private)
    return made


def close_listener(listener):
    """Closes a listening socket so that a thread blocked in its accept wakes up now: closed
    alone, it would go on listening until its next connection, which a later test's client
    might be."""
    try:
        listener.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    listener.close()


class TlsServer:
    """TLS on 127.0.0.1: each connection reads one request head, then play(tls_socket, head)
    answers it. A context manager."""

    def __init__(self, cert, play, versions=None, address="127.0.0.1"):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*cert)
        if versions:
            self.context.minimum_version, self.context.maximum_version = versions
        self.play = play
        self.listener = socket.create_server((address, 0))
        self.port = self.listener.getsockname()[1]
        self.handshakes = 0
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._one, args=(raw,), daemon=True).start()

    def _one(self, raw):
        raw.settimeout(20)
        try:
            tls = self.context.wrap_socket(raw, server_side=True)
            self.handshakes += 1
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = tls.recv(4096)
                if not chunk:
                    return
                head += chunk
            self.play(tls, head)
        except (OSError, ssl.SSLError):
            pass
        finally:
            raw.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        close_listener(self.listener)


class Proxy:
    """Relays the connections it accepts to a port on 127.0.0.1, keeping every byte that crossed
    in either direction in seen: what anyone on the path would see. With slow, the server's bytes
    go on one at a time (so that every record arrives in pieces), and stop for good after
    stall_after of them when given. With rate, the server's bytes go on at that many a second
    (a slow link). With cut (target, after, times), the first `times` answers to a request whose
    line names target end after `after` bytes, as a dropped link would end them."""

    def __init__(self, port, slow=False, stall_after=None, rate=None, cut=None):
        self.target, self.slow, self.stall_after = port, slow, stall_after
        self.rate, self.cut = rate, cut
        self.seen, self.lock = bytearray(), threading.Lock()
        self.connections = 0  # accepted so far
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            server = socket.create_connection(("127.0.0.1", self.target))
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            limit = None
            if self.cut:  # the request line decides, so the head goes first
                head = b""
                while b"\r\n\r\n" not in head and (piece := client.recv(65536)):
                    head += piece
                target, after, _ = self.cut
                with self.lock:
                    if target.encode() in head.split(b"\r\n", 1)[0] and self.cut[2] > 0:
                        self.cut = (target, after, self.cut[2] - 1)
                        limit = after
                    self.seen += head
                server.sendall(head)
            threading.Thread(target=self._pipe, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pipe, args=(server, client, True, limit),
                             daemon=True).start()

    def _pipe(self, source, sink, answers, limit=None):
        """Carries one direction; answers: the server's, which the options shape."""
        slow, rate = answers and self.slow, answers and self.rate
        sent = 0
        try:
            while data := source.recv(4096 if rate else 65536):
                with self.lock:
                    self.seen += data
                if limit is not None and sent + len(data) >= limit:
                    sink.sendall(data[:limit - sent])
                    break
                if rate:
                    time.sleep(len(data) / rate)
                for piece in (data[i:i + 1] for i in range(len(data))) if slow else [data]:
                    if slow and self.stall_after is not None and sent >= self.stall_after:
                        threading.Event().wait(30)
                        return
                    sink.sendall(piece)
                    sent += len(piece)
        except OSError:
            pass
        finally:
            try:
                sink.shutdown(socket.SHUT_WR if limit is None else socket.SHUT_RDWR)
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        close_listener(self.listener)


def SlowProxy(port, stall_after=None):  # noqa: N802 (used as a class)
    return Proxy(port, slow=True, stall_after=stall_after)


RecordingProxy = Proxy
