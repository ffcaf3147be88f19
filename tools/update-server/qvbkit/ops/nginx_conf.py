"""The text of the nginx deployment's configuration and of its logrotate file, filled in by
deploy.py with its limits and paths. Each answer's headers are set in its location here."""

# The same front behind TLS, for launchers built to talk https: nginx ends the session and the
# bytes go on exactly as on the plain port, which keeps serving the launchers already out there.
TLS_SERVER = """
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_ciphers {ciphers};
    ssl_prefer_server_ciphers off;
    ssl_session_cache shared:tls:10m;
    ssl_session_timeout 1d;
    server {{
        listen {bind}:{tls_port} ssl backlog=4096;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_handshake_timeout {header}s;
        limit_conn front {connections};
        proxy_timeout {quiet}s;
        js_filter front.filter;
        proxy_protocol on;
        proxy_pass unix:{out}/http.sock;
    }}"""
# Forward secrecy and authenticated encryption only, for TLS 1.2 (TLS 1.3 has nothing else).
TLS_CIPHERS = ("ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
               "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
               "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305")

CONFIG = """# Written by update_server.py deploy; run it again after changing its options.
load_module {modules}/ngx_stream_module.so;
load_module {modules}/ngx_stream_js_module.so;

user {user} {group};
worker_processes {workers};
worker_rlimit_nofile {files};
pid {out}/nginx.pid;
error_log {out}/logs/error.log;

events {{
    worker_connections {worker_connections};
}}

stream {{
    js_import front from {out}/front.js;
    # A limit zone of 10 MB holds the state of more than 50,000 addresses at once.
    limit_conn_zone $binary_remote_addr zone=front:10m;
    server {{
        listen {bind}:{port} backlog=4096;
        limit_conn front {connections};
        proxy_timeout {quiet}s;
        js_filter front.filter;
        proxy_protocol on;
        proxy_pass unix:{out}/http.sock;
    }}{tls}
}}

http {{
    # A query is logged only where it names a file (the digest script): the report's carries
    # the user's name, phone and e-mail.
    map $request $logged_request {{
        "~^(?<method>\S+ )(?!/md5\.php\?)(?<path>[^? ]*)\?[^ ]*(?<version>.*)$" "$method$path$version";
        default $request;
    }}
    log_format launcher '$proxy_protocol_addr [$time_local] "$logged_request" $status '
                        '$body_bytes_sent';
    access_log {out}/logs/access.log launcher;
    # A report's end, to the report service: a message it offered (its answer names the offer)
    # counts as delivered only once nginx has sent that answer whole ($request_completion
    # "OK"), and goes out again otherwise. Logged there: every answer with an offer, and every
    # report passed to the service that did not end whole (the launcher may have left before
    # the service offered anything); not the many complete ones without an offer.
    log_format confirm 'qvbrelmox-offer $request_id $request_completion';
    map "$upstream_addr|$upstream_http_x_qvbrelmox_offer|$request_completion" $confirmed {{
        "~^\|" 0;
        "~\|\|OK$" 0;
        default 1;
    }}
    access_log syslog:server={confirm},nohostname,tag=qvbrelmox confirm if=$confirmed;
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

    # Per launcher's address, which the front passes on in the PROXY protocol header.
    limit_conn_zone $proxy_protocol_addr zone=conns:10m;
    limit_req_zone $proxy_protocol_addr zone=rate:10m rate={rate}r/s;
    # Per unit, on the report only; a report without a unit is limited by its address alone.
    limit_req_zone $arg_Unid zone=units:10m rate={unit_rate}r/m;
    limit_conn conns {connections};
    limit_req zone=rate burst={burst} nodelay;
    limit_conn_status 429;
    limit_req_status 429;
    client_max_body_size 1k;  # the launcher sends no body; a larger one gets 413
    client_header_timeout {header}s;
    client_body_timeout {header}s;
    keepalive_timeout {idle}s;
    send_timeout {quiet}s;

    # Kept connections: a report costs the service no new connection and no new thread.
    upstream reports {{
        server {reports};
        keepalive {keepalive};
    }}

    server {{
        listen unix:{out}/http.sock proxy_protocol;
        root {root}/static;

        location = /Ok {{
            limit_except GET {{ deny all; }}
            default_type text/plain;
            return 200 "Ok";
        }}

        # A name that is not there gets the not-found text, as from the reference server.
        location /files/Contrib/ {{
            limit_except GET {{ deny all; }}
            try_files $uri /notfound.bin;
        }}

        # $args stays as it came: a name below the digest folder, never a path out of it.
        location = /md5.php {{
            limit_except GET {{ deny all; }}
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

        # Never sent again on another connection: the service may have stored it already.
        # Errors here would log the request line, and with it the report's personal data.
        # The request id names a message's offer; the start lets the service see a request
        # that waited too long for it.
        location = /cgi-bin/QVBrelmoxDLL.dll {{
            limit_except GET {{ deny all; }}
            limit_req zone=rate burst={burst} nodelay;
            limit_req zone=units burst={unit_burst} nodelay;
            error_log {out}/logs/error.log crit;
            proxy_next_upstream off;
            proxy_connect_timeout {report_seconds}s;
            proxy_send_timeout {report_seconds}s;
            proxy_read_timeout {report_seconds}s;
            proxy_pass http://reports;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header X-Real-IP $proxy_protocol_addr;
            proxy_set_header X-Request-Id $request_id;
            proxy_set_header X-Request-Start $msec;
            proxy_set_header Host $host;
            proxy_hide_header X-Qvbrelmox-Offer;
        }}

        # For load balancers: 200 only while the report service reaches its store and the
        # release tree is whole; 503 otherwise, and while the service does not answer.
        location = /health {{
            limit_except GET {{ deny all; }}
            proxy_next_upstream off;
            proxy_connect_timeout {health_seconds}s;
            proxy_read_timeout {health_seconds}s;
            proxy_pass http://reports;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_intercept_errors on;
            error_page 500 502 504 = @unhealthy;
        }}

        location @unhealthy {{
            default_type text/plain;
            return 503 "unavailable";
        }}

        location / {{
            return 404;
        }}
    }}

    # nginx's own counters, on loopback only, for the report service's /metrics.
    server {{
        listen 127.0.0.1:{status_port};
        access_log off;
        location = /stub_status {{
            stub_status;
        }}
        location / {{
            return 404;
        }}
    }}
}}
"""

LOGROTATE = """# Written by update_server.py deploy: the deployment's logs, kept {days} days.
# Install: cp {out}/logrotate.conf /etc/logrotate.d/qvbrelmox-nginx
{out}/logs/*.log {{
    daily
    rotate {days}
    missingok
    notifempty
    compress
    delaycompress
    create {mode:04o} root {group}
    sharedscripts
    postrotate
        [ ! -s {out}/nginx.pid ] || kill -USR1 "$(cat {out}/nginx.pid)"
    endscript
}}
"""
