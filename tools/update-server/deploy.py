"""Writes the nginx configuration that serves a published root in production.

nginx listens on the public port with a small stream front (front.js) that escapes the bytes
nginx's HTTP parser refuses, and hands each connection, with the PROXY protocol naming the
launcher's address, to an HTTP server on a Unix socket. That server answers everything from the
static tree (see static_release) and passes the usage report to the report service.
"""

import os
import shutil
import subprocess
import urllib.parse

import static_release

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = "/usr/lib/nginx/modules"

CONFIG = """# Written by update_server.py deploy; run it again after changing its options.
load_module {modules}/ngx_stream_module.so;
load_module {modules}/ngx_stream_js_module.so;

worker_processes {workers};
pid {out}/nginx.pid;
error_log {out}/logs/error.log;

events {{
    worker_connections 4096;
}}

stream {{
    js_import front from {out}/front.js;
    server {{
        listen {bind}:{port} backlog=4096;
        js_filter front.filter;
        proxy_protocol on;
        proxy_pass unix:{out}/http.sock;
    }}
}}

http {{
    log_format launcher '$proxy_protocol_addr [$time_local] "$request" $status $body_bytes_sent';
    access_log {out}/logs/access.log launcher;
    client_body_temp_path {out}/tmp/body;
    proxy_temp_path {out}/tmp/proxy;
    fastcgi_temp_path {out}/tmp/fastcgi;
    uwsgi_temp_path {out}/tmp/uwsgi;
    scgi_temp_path {out}/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    server_tokens off;
    keepalive_requests 1000;

    # Kept connections: a report costs the service no new connection and no new thread.
    upstream reports {{
        server {reports};
        keepalive 16;
    }}

    server {{
        listen unix:{out}/http.sock proxy_protocol;
        root {root}/static;

        location = /Ok {{
            default_type text/plain;
            return 200 "Ok";
        }}

        # A name that is not there gets the not-found text, as from the reference server.
        location /files/Contrib/ {{
            try_files $uri /notfound.bin;
        }}

        # $args stays as it came: a name below the digest folder, never a path out of it.
        location = /md5.php {{
            if ($args !~ "^files/Contrib/") {{
                return 404;
            }}
            if ($args ~ "(^|/)\.\.(/|$)|//") {{
                rewrite ^ /nodigest.bin last;
            }}
            try_files /md5/$args /nodigest.bin;
        }}

        location ~ ^/(notfound|nodigest)\\.bin$ {{
            internal;
        }}

        location = /cgi-bin/QVBrelmoxDLL.dll {{
            proxy_pass http://reports;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header X-Real-IP $proxy_protocol_addr;
            proxy_set_header Host $host;
        }}

        location / {{
            return 404;
        }}
    }}
}}
"""


def deploy(args):
    root = os.path.abspath(args.root)
    out = os.path.abspath(args.out or os.path.join(root, "nginx"))
    if not os.path.isdir(os.path.join(root, static_release.AREA)):
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
    count = static_release.build(root)
    for sub in ("logs", "tmp"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    shutil.copyfile(os.path.join(HERE, "nginx", "front.js"), os.path.join(out, "front.js"))
    conf = os.path.join(out, "nginx.conf")
    with open(conf + ".new", "w") as f:
        bind = f"[{args.bind}]" if ":" in args.bind else args.bind  # an IPv6 address
        f.write(CONFIG.format(modules=args.modules, workers=args.workers, out=out, bind=bind,
                              port=args.port, root=root, reports=reports.netloc))
    os.replace(conf + ".new", conf)
    os.chmod(out, 0o755)
    print(f"nginx configuration for {root} ({count} files) in {conf}")
    if shutil.which("nginx"):
        test = subprocess.run(["nginx", "-t", "-q", "-c", conf, "-p", out],
                              capture_output=True, text=True)
        if test.returncode != 0:
            print("deploy: nginx refuses the configuration:\n" + test.stderr)
            return 1
    print(f"start it with: nginx -c {conf} -p {out}   (reload: nginx -s reload -c {conf} -p {out})")
    return 0


def add_arguments(parser):
    parser.add_argument("--root", required=True, help="the root publish wrote")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--reports", default="http://127.0.0.1:8081",
                        help="URL of the report service (serve --reports-only)")
    parser.add_argument("--out", help="folder for the configuration (default ROOT/nginx)")
    parser.add_argument("--workers", default="auto")
    parser.add_argument("--modules", default=MODULES, help="nginx's dynamic module folder")
