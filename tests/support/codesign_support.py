"""Code signing for the tests: a code-signing CA with publishers under it, a time-stamp
authority on loopback (openssl ts behind a small HTTP handler), and Authenticode signatures
made and checked with osslsigncode.

    pki = Pki(dir)                      # ca.pem; pki.publisher("name") -> (chain.pem, key.pem)
    with TimeStampAuthority(pki) as tsa:
        sign(file, *pki.publisher("a"), tsa.url)
    verify(file, pki.ca) -> (ok, osslsigncode's output)
"""

import http.server
import os
import subprocess
import tempfile
import threading

TSA_CONFIG = """\
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {dir}/tsa-serial
signer_digest = sha256
digests = sha256
default_policy = 1.2.3.4.1
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def openssl(*args, cwd=None):
    subprocess.run(["openssl", *args], check=True, cwd=cwd, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class Pki:
    """A CA in dir, and publishers (code-signing leaves) made under it on demand; the
    time-stamp authority's certificate comes from the same CA. What dir already holds is
    kept."""

    def __init__(self, dir, ca=None):
        """ca: (certificate, key) of an existing CA to issue from; else one is made."""
        self.dir = dir
        os.makedirs(dir, exist_ok=True)
        if ca:
            self.ca, self.ca_key = ca
        else:
            self.ca, self.ca_key = os.path.join(dir, "ca.pem"), os.path.join(dir, "ca.key")
        if not os.path.exists(self.ca):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.ca_key,
                    "-out", self.ca, "-days", "3650", "-subj", "/CN=Code signing test CA",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self.tsa_cert, self.tsa_key = self._leaf("tsa", "extendedKeyUsage=critical,timeStamping")

    def _leaf(self, name, usage):
        cert, key = os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, name + ".key")
        if os.path.exists(cert):
            return cert, key
        csr = os.path.join(self.dir, name + ".csr")
        ext = os.path.join(self.dir, name + ".ext")
        with open(ext, "w") as f:
            f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n{usage}\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                "-subj", f"/O={name}/CN={name}")
        openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.ca_key,
                "-CAcreateserial", "-out", cert, "-days", "3650", "-extfile", ext)
        return cert, key

    def publisher(self, name):
        """(chain, key): the leaf first, then the CA, as a signer ships them."""
        cert, key = self._leaf(name, "extendedKeyUsage=codeSigning")
        chain = os.path.join(self.dir, name + ".chain.pem")
        with open(chain, "wb") as out:
            for part in (cert, self.ca):
                with open(part, "rb") as f:
                    out.write(f.read())
        return chain, key


class TimeStampAuthority:
    """RFC 3161 over HTTP on 127.0.0.1: each POSTed request gets openssl ts -reply's answer.
    A context manager; url is what a signer is given."""

    def __init__(self, pki):
        self.pki = pki
        self.work = tempfile.mkdtemp(prefix="tsa-", dir=pki.dir)
        self.config = os.path.join(self.work, "tsa.cnf")
        with open(self.config, "w") as f:
            f.write(TSA_CONFIG.format(dir=self.work))
        with open(os.path.join(self.work, "tsa-serial"), "w") as f:
            f.write("01\n")
        self.requests = 0
        self.lock = threading.Lock()

    def reply(self, query):
        with self.lock:
            self.requests += 1
            q, r = os.path.join(self.work, "q.tsq"), os.path.join(self.work, "r.tsr")
            with open(q, "wb") as f:
                f.write(query)
            openssl("ts", "-reply", "-config", self.config, "-section", "tsa_config",
                    "-queryfile", q, "-signer", self.pki.tsa_cert, "-inkey", self.pki.tsa_key,
                    "-chain", self.pki.ca, "-out", r)
            with open(r, "rb") as f:
                return f.read()

    def __enter__(self):
        tsa = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                try:
                    body, status = tsa.reply(query), 200
                except subprocess.CalledProcessError:
                    body, status = b"", 500
                self.send_response(status)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def sign(path, chain, key, tsa_url, name="QV/Brelmox", url="https://www.qvbrelmox.com.br/"):
    """Signs path in place the way the build does (SHA-256, name and URL, RFC 3161)."""
    out = path + ".signing"
    subprocess.run(["osslsigncode", "sign", "-certs", chain, "-key", key, "-h", "sha256",
                    "-n", name, "-i", url, "-ts", tsa_url, "-in", path, "-out", out],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.replace(out, path)


def verify(path, ca):
    """(passed, output) of osslsigncode verify against ca, for the signature and its
    time-stamp."""
    proc = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca,
                           "-in", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return proc.returncode == 0, proc.stdout.decode("latin-1")


def tiny_program(marker=b""):
    """A minimal PE32 file (headers and one section holding marker) that signers accept: for
    tests that need programs but no compiler for Windows."""
    import struct
    dos = b"MZ" + bytes(58) + struct.pack("<I", 0x40)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 2, 0, 0x200, 0, 0, 0x1000,
                           0x1000, 0x1000, 0x400000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0, 0x2000,
                           0x200, 0, 2, 0x0140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += bytes(16 * 8)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0,
                          0x60000020)
    headers = dos + coff + optional + section
    body = (marker + bytes(0x200))[:0x200]
    return headers + bytes(0x200 - len(headers)) + body
