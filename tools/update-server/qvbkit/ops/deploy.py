"""Writes the nginx configuration that serves a published root in production.

nginx listens on the public port with a small stream front (front.js) that escapes the bytes
nginx's HTTP parser refuses, and hands each connection, with the PROXY protocol naming the
launcher's address, to an HTTP server on a Unix socket. That server answers everything from the
static tree (see release/static.py) and passes the usage report to the report service. The
configuration's text is nginx_conf.py; the limits it is filled with are here (and, shared with
the report service, in wire.py).
"""

import grp
import os
import pwd
import re
import shutil
import subprocess
import urllib.parse

from qvbkit.files import KIT_DIR, PUBLIC_DIR, PUBLIC_FILE
from qvbkit.ops.nginx_conf import CONFIG, LOGROTATE, TLS_CIPHERS, TLS_SERVER
from qvbkit.release import static
from qvbkit.wire import AREA, REPORT_SECONDS, REPORT_THREADS
MODULES = "/usr/lib/nginx/modules"

# Limits, so that one client is one client; the README lists them. A launcher makes about
# eight requests a start, each on a connection of its own, and thousands of offices may share
# one address (carrier-grade NAT): on release day that address carries 500 complete checks a
# second and their downloads. The unit, which no NAT shares, is what limits a report.
CONNECTIONS_PER_ADDRESS = 4096  # at once, on the front and on the HTTP side
REQUESTS_PER_SECOND = 5000  # per address, on average: 500 checks of six requests, and room
BURST_SECONDS = 10  # requests above that rate served at once: this many seconds' worth
REPORTS_PER_UNIT_MINUTE = 6  # a unit's reports, on average (a start reports once)
UNIT_BURST = 6  # a unit's reports above that rate served at once
WORKER_CONNECTIONS = 16384  # per worker; each launcher's connection counts twice (the front)
WORKER_FILES = 65536  # open files per worker (the unit's LimitNOFILE)
HEALTH_WAIT_SECONDS = 5  # for the service's answer to a health check
CONFIRM = "127.0.0.1:8083"  # the report service's UDP port for nginx's word (serve --confirm)
STATUS_PORT = 8082  # nginx's stub_status, on loopback only
HEADER_SECONDS = 10  # to send a request's head (nginx refuses bodies: client_max_body_size)
IDLE_SECONDS = 15  # a kept connection without a request
QUIET_SECONDS = 60  # the front closes a connection silent both ways this long (a launcher
                    # waits 30 s for a read)
REPORT_KEEPALIVE = 8  # kept connections to the report service, per worker: together, fewer
                      # than its threads, or a waiting connection would get none

LOG_MODE = 0o640  # the logs name the launchers' addresses: not for every local user
LOG_GROUP = "adm"  # Debian's group for reading logs
LOGS = ("access.log", "error.log")

LOG_DAYS = 14


def log_group():
    try:
        return grp.getgrnam(LOG_GROUP).gr_name
    except KeyError:
        return "root"


def worker_account(name):
    """(user, group) nginx's workers run as, or None when there is no such user."""
    try:
        account = pwd.getpwnam(name)
        return name, grp.getgrgid(account.pw_gid).gr_name
    except KeyError:
        return None


def blocked_folder(path, user):
    """The first folder on the way to path (path included) that user may not pass, or None."""
    account = pwd.getpwnam(user)
    if account.pw_uid == 0:
        return None
    groups = {account.pw_gid} | {g.gr_gid for g in grp.getgrall() if user in g.gr_mem}
    folder = "/"
    for part in [p for p in os.path.realpath(path).split(os.sep) if p]:
        folder = os.path.join(folder, part)
        info = os.stat(folder)
        bit = 0o100 if info.st_uid == account.pw_uid else \
            0o010 if info.st_gid in groups else 0o001
        if not info.st_mode & bit:
            return folder
    return None


def deploy(args):
    root = os.path.abspath(args.root)
    out = os.path.abspath(args.out or os.path.join(root, "nginx"))
    if not os.path.isdir(os.path.join(root, AREA)):
        print(f"deploy: nothing published in {root} (run publish first)")
        return 1
    if not 1 <= args.port <= 65535:
        print(f"deploy: port {args.port} is not from 1 to 65535")
        return 1
    reports = urllib.parse.urlsplit(args.reports)
    if reports.scheme != "http" or not reports.netloc or reports.path not in ("", "/") \
            or reports.query:
        print(f"deploy: --reports must read http://HOST:PORT, not {args.reports}")
        return 1
    if not 1 <= args.connections_per_address <= 65535 or args.requests_per_second < 1 \
            or args.report_threads < 1 or args.reports_per_unit < 1 \
            or not 1 <= args.status_port <= 65535:
        print("deploy: --connections-per-address and --status-port are from 1 to 65535,"
              " --requests-per-second, --reports-per-unit and --report-threads 1 or more")
        return 1
    if not re.fullmatch(r"127\.\d{1,3}\.\d{1,3}\.\d{1,3}:\d{1,5}", args.confirm):
        print(f"deploy: --confirm is 127.x.y.z:PORT on loopback, not {args.confirm}")
        return 1
    if bool(args.tls_cert) != bool(args.tls_key) or not 1 <= args.tls_port <= 65535:
        print("deploy: --tls-cert and --tls-key go together, and --tls-port is from 1 to 65535")
        return 1
    for path in filter(None, (args.tls_cert, args.tls_key)):
        if not os.path.isfile(path):
            print(f"deploy: {path} is not a file")
            return 1
    if args.workers != "auto" and not args.workers.isdigit():
        print(f"deploy: --workers is a number or auto, not {args.workers}")
        return 1
    account = worker_account(args.user)
    if account is None:
        print(f"deploy: there is no user {args.user} for nginx's workers; make it with\n"
              f"  useradd --system --no-create-home --shell /usr/sbin/nologin {args.user}")
        return 1
    count = static.build(root)
    os.makedirs(out, exist_ok=True)
    os.chmod(out, PUBLIC_DIR)
    for sub in ("logs", "tmp"):  # the workers open logs again after a rotation
        os.makedirs(os.path.join(out, sub), exist_ok=True)
        os.chmod(os.path.join(out, sub), PUBLIC_DIR)
    for log in LOGS:  # nginx would make them as its umask says
        path = os.path.join(out, "logs", log)
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, LOG_MODE))
        os.chmod(path, LOG_MODE)
    for folder in (os.path.join(root, static.LINK), out):
        blocked = blocked_folder(folder, args.user)
        if blocked:
            print(f"deploy: nginx's workers (user {args.user}) cannot reach {folder}: "
                  f"{blocked} is closed to them (chmod o+x {blocked})")
            return 1
    shutil.copyfile(os.path.join(KIT_DIR, "nginx", "front.js"), os.path.join(out, "front.js"))
    os.chmod(os.path.join(out, "front.js"), PUBLIC_FILE)
    workers = max(1, os.cpu_count() if args.workers == "auto" else int(args.workers))
    conf = os.path.join(out, "nginx.conf")
    bind = f"[{args.bind}]" if ":" in args.bind else args.bind  # an IPv6 address
    tls = TLS_SERVER.format(
        ciphers=TLS_CIPHERS, bind=bind, tls_port=args.tls_port,
        cert=os.path.abspath(args.tls_cert or ""), key=os.path.abspath(args.tls_key or ""),
        header=HEADER_SECONDS, connections=args.connections_per_address, quiet=QUIET_SECONDS,
        out=out) if args.tls_cert else ""
    text = CONFIG.format(tls=tls,
        modules=args.modules, user=account[0], group=account[1], workers=args.workers, out=out,
        bind=bind, port=args.port, root=root, reports=reports.netloc,
        connections=args.connections_per_address, rate=args.requests_per_second,
        burst=args.requests_per_second * BURST_SECONDS, header=HEADER_SECONDS,
        idle=IDLE_SECONDS, quiet=QUIET_SECONDS, files=WORKER_FILES,
        worker_connections=WORKER_CONNECTIONS, unit_rate=args.reports_per_unit,
        unit_burst=max(UNIT_BURST, args.reports_per_unit // 10), report_seconds=REPORT_SECONDS,
        health_seconds=HEALTH_WAIT_SECONDS, confirm=args.confirm,
        status_port=args.status_port,
        keepalive=max(1, min(REPORT_KEEPALIVE, args.report_threads // (2 * workers))))
    write_public(conf, text)
    write_public(os.path.join(out, "logrotate.conf"),
                 LOGROTATE.format(out=out, days=LOG_DAYS, mode=LOG_MODE, group=log_group()))
    print(f"nginx configuration for {root} ({count} files) in {conf}")
    if shutil.which("nginx"):
        test = subprocess.run(["nginx", "-t", "-q", "-c", conf, "-p", out],
                              capture_output=True, text=True)
        if test.returncode != 0:
            print("deploy: nginx refuses the configuration:\n" + test.stderr)
            return 1
    print(f"start it with: nginx -c {conf} -p {out}   (reload: nginx -s reload -c {conf} -p {out})")
    return 0


def write_public(path, text):
    with open(path + ".new", "w") as f:
        f.write(text)
    os.chmod(path + ".new", PUBLIC_FILE)
    os.replace(path + ".new", path)


def add_arguments(parser):
    parser.add_argument("--root", required=True, help="the root publish wrote")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--reports", default="http://127.0.0.1:8081",
                        help="URL of the report service (serve --reports-only)")
    parser.add_argument("--out", help="folder for the configuration (default ROOT/nginx)")
    parser.add_argument("--workers", default="auto")
    parser.add_argument("--tls-cert", help="PEM certificate chain: also serve https")
    parser.add_argument("--tls-key", help="the private key of --tls-cert")
    parser.add_argument("--tls-port", type=int, default=443, help="the https port")
    parser.add_argument("--user", default="qvbrelmox-web",
                        help="the user nginx's workers run as (made by the README's steps)")
    parser.add_argument("--connections-per-address", type=int, default=CONNECTIONS_PER_ADDRESS)
    parser.add_argument("--requests-per-second", type=int, default=REQUESTS_PER_SECOND,
                        help=f"per address; {BURST_SECONDS} seconds' worth may come at once")
    parser.add_argument("--reports-per-unit", type=int, default=REPORTS_PER_UNIT_MINUTE,
                        help="a unit's reports a minute, on average")
    parser.add_argument("--confirm", default=CONFIRM, metavar="127.0.0.1:PORT",
                        help="the report service's --confirm port")
    parser.add_argument("--status-port", type=int, default=STATUS_PORT,
                        help="nginx's stub_status on 127.0.0.1, for the service's /metrics")
    parser.add_argument("--report-threads", type=int, default=REPORT_THREADS,
                        help="the report service's --threads, to size nginx's kept connections")
    parser.add_argument("--modules", default=MODULES, help="nginx's dynamic module folder")
