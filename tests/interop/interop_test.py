#!/usr/bin/env python3
"""Runs httpget (the launcher's HTTP client) against real servers on loopback that nobody here
wrote: Python's http.server, nginx and PHP's built-in server. Each server is started and stopped
here. Usage: interop_test.py HTTPGET [EMULATOR...]"""

import hashlib
import http.server
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HTTPGET = sys.argv[1]
EMULATOR = sys.argv[2:]
failures = []
passed = 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc=None, limit=10.0):
    deadline = time.time() + limit
    while time.time() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("server exited early")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


def httpget(*args):
    done = subprocess.run(EMULATOR + [HTTPGET, *args], capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode("latin-1")


def check(name, condition, detail=""):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(f"{name}: {detail}")
        print(f"FAILED {name}: {detail}", flush=True)


def expect_body(name, url, body, *options):
    rc, out, err = httpget(*options, url)
    check(name, rc == 0 and out == body,
          f"exit {rc}, {len(out)} bytes (want {len(body)}), stderr {err[:300]!r}")


def expect_error(name, url, code, first_line=None, *options):
    rc, out, err = httpget(*options, url)
    lines = err.splitlines()
    ok = rc == 1 and f"ResponseCode: {code}" in lines
    if first_line is not None:
        ok = ok and first_line in lines
    check(name, ok, f"exit {rc}, stderr {err[:300]!r}")


def make_docroot():
    root = tempfile.mkdtemp(prefix="qvb-interop-")
    os.chmod(root, 0o755)  # nginx's workers run as another user
    data = random.Random(7).randbytes(1 << 20)
    with open(os.path.join(root, "file.bin"), "wb") as f:
        f.write(data)
    os.mkdir(os.path.join(root, "dir"))
    with open(os.path.join(root, "dir", "index.html"), "wb") as f:
        f.write(b"<p>index of dir</p>\n")
    with open(os.path.join(root, "chunked.php"), "w") as f:
        f.write('<?php header("Transfer-Encoding: chunked");\n'
                'echo "5\\r\\nhello\\r\\n6 ;ext=1\\r\\n world\\r\\n0\\r\\n\\r\\n";\n')
    with open(os.path.join(root, "status.php"), "w") as f:
        f.write('<?php http_response_code((int)($_GET["code"] ?? 418)); echo "status body";\n')
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            os.chmod(os.path.join(dirpath, name), 0o755)
    return root, data


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/until-close":
            # An HTTP/1.0 answer without a length: the body ends when the server closes.
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            self.wfile.write(b"x" * 100000 + b"end")
            return
        super().do_GET()


def python_server(root, data):
    handler = lambda *a, **k: Handler(*a, directory=root, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    try:
        expect_body("python file", base + "/file.bin", data)
        expect_body("python until close", base + "/until-close", b"x" * 100000 + b"end")
        expect_error("python 404", base + "/missing", 404,
                     "EIdHTTPProtocolException: HTTP/1.0 404 File not found")
        rc, out, err = httpget("-v", "--progress", base + "/dir/index.html")
        check("python verbose and progress",
              rc == 0 and "HTTP/1.0 200 OK" in err and "begin read 20" in err
              and "end read" in err, err[:300])
    finally:
        server.shutdown()
        server.server_close()


def nginx_server(root, data):
    port = free_port()
    tmp = tempfile.mkdtemp(prefix="qvb-nginx-")
    conf = os.path.join(tmp, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {tmp}/body;
  proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  keepalive_timeout 5;
  server {{ listen 127.0.0.1:{port}; root {root}; }}
}}
""")
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", tmp], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    base = f"http://127.0.0.1:{port}"
    try:
        wait_listening(port, proc)
        expect_body("nginx file", base + "/file.bin", data)
        expect_body("nginx file over HTTP/1.0 keep-alive", base + "/file.bin", data, "--http1.0")
        expect_error("nginx 301 from a directory", base + "/dir", 301,
                     "EIdHTTPProtocolException: HTTP/1.1 301 Moved Permanently")
        expect_body("nginx 301 followed", base + "/dir", b"<p>index of dir</p>\n", "--redirects")
        expect_error("nginx 404", base + "/missing", 404,
                     "EIdHTTPProtocolException: HTTP/1.1 404 Not Found")
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)


def php_server(root):
    port = free_port()
    proc = subprocess.Popen(["php", "-S", f"127.0.0.1:{port}", "-t", root],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = f"http://127.0.0.1:{port}"
    try:
        wait_listening(port, proc)
        expect_body("php chunked", base + "/chunked.php", b"hello world")
        expect_body("php 201", base + "/status.php?code=201", b"status body")
        rc, out, err = httpget(base + "/status.php")
        check("php 418", rc == 1 and err.startswith("EIdHTTPProtocolException: HTTP/1.1 418 ")
              and "ResponseCode: 418" in err.splitlines(), err[:300])
        expect_error("php 503", base + "/status.php?code=503", 503)
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def main():
    root, data = make_docroot()
    try:
        python_server(root, data)
        nginx_server(root, data)
        php_server(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"interop: {passed} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
