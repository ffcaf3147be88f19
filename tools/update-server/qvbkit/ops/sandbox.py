"""Writes the drop-in that lets the sandboxed report service reach its PostgreSQL.

  sandbox --db URL [--out FILE] [--resolv-conf FILE]

The shipped unit lets the service talk to localhost only (IPAddressAllow=localhost). A store
on other hosts needs their addresses allowed, and, when the URL names them (db1.internal),
the resolvers too: on a host whose resolver is not on localhost a name would otherwise never
resolve from inside the sandbox. The drop-in allows the database hosts' addresses (resolved
now) and every resolver /etc/resolv.conf names off localhost, and runs the unit's own command
with --db URL. Names that must not depend on DNS go in /etc/hosts, or the URL gives addresses.
"""

import argparse
import ipaddress
import os
import re
import socket
import sys
import urllib.parse

from qvbkit.files import KIT_DIR

UNIT = os.path.join(KIT_DIR, "systemd", "qvbrelmox-reports.service")
RESOLV_CONF = "/etc/resolv.conf"
POSTGRESQL_PORT = 5432

DROP_IN = """# Written by update_server.py sandbox: the report service's way to its PostgreSQL.
# Install: /etc/systemd/system/qvbrelmox-reports.service.d/database.conf, then
#   systemctl daemon-reload && systemctl restart qvbrelmox-reports
# Write it again when the database's addresses or the resolvers change.
[Service]
# The database hosts: {hosts}
IPAddressAllow={addresses}
{resolvers}ExecStart=
ExecStart={command}
"""


def database_hosts(url):
    """The host names or addresses of a postgresql:// URL (several, comma-separated, and
    ?host=), leaving out Unix socket folders."""
    parts = urllib.parse.urlsplit(url)
    netloc = parts.netloc.rpartition("@")[2]
    hosts = []
    for item in filter(None, netloc.split(",")):
        host = item[1:].partition("]")[0] if item.startswith("[") else item.rpartition(":")[0] \
            if re.search(r":\d+$", item) else item
        hosts.append(urllib.parse.unquote(host))
    for value in urllib.parse.parse_qs(parts.query).get("host", []):
        hosts += value.split(",")
    return [h for h in hosts if h and not h.startswith("/")]


def addresses_of(host):
    try:
        return [str(ipaddress.ip_address(host))]
    except ValueError:
        pass
    found = socket.getaddrinfo(host, POSTGRESQL_PORT, proto=socket.IPPROTO_TCP)
    return sorted({info[4][0] for info in found})


def resolvers(path):
    """The name servers path lists that are not on localhost (those the unit allows)."""
    out = []
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                words = line.split()
                if len(words) >= 2 and words[0] == "nameserver":
                    address = ipaddress.ip_address(words[1].partition("%")[0])
                    if not address.is_loopback and str(address) not in out:
                        out.append(str(address))
    except (OSError, ValueError):
        pass
    return out


def unit_command(url):
    """The unit's ExecStart with --db URL, escaped for systemd (% and quotes)."""
    with open(UNIT, encoding="utf-8") as f:
        text = f.read().replace("\\\n", " ")
    command = re.search(r"^ExecStart=(.*)$", text, re.M).group(1)
    db = '"' + url.replace("%", "%%").replace("\\", "\\\\").replace('"', '\\"') + '"'
    return " ".join(re.sub(r"--db \S+", lambda _: "--db " + db, command).split())


def sandbox(args):
    if not args.db.startswith(("postgresql://", "postgres://")):
        print("sandbox: --db is a postgresql:// URL (SQLite needs no drop-in)", file=sys.stderr)
        return 2
    hosts = database_hosts(args.db)
    found, named = [], []
    for host in hosts:
        try:
            addresses = addresses_of(host)
        except OSError as error:
            print(f"sandbox: {host} does not resolve here ({error}); give its address in the"
                  " URL, or name it in /etc/hosts", file=sys.stderr)
            return 1
        named.append(host if addresses == [host] else f"{host} ({', '.join(addresses)})")
        found += [a for a in addresses if a not in found]
    servers = resolvers(args.resolv_conf)
    by_name = any(h not in found for h in hosts)
    lines = ""
    if by_name and servers:
        lines = ("# The resolvers of " + args.resolv_conf + ", so that those names resolve"
                 " inside the sandbox\nIPAddressAllow=" + " ".join(servers) + "\n")
    text = DROP_IN.format(hosts=", ".join(named) or "on this host (a Unix socket)",
                          addresses=" ".join(found) or "localhost", resolvers=lines,
                          command=unit_command(args.db))
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
        print(f"sandbox: the drop-in is in {args.out}")
    else:
        sys.stdout.write(text)
    return 0


def add_arguments(parser):
    parser.add_argument("--db", required=True, help="the store's postgresql:// URL")
    parser.add_argument("--out", help="write the drop-in here (default: print it)")
    parser.add_argument("--resolv-conf", default=RESOLV_CONF, help=argparse.SUPPRESS)
