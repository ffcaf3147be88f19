#!/usr/bin/env python3
"""The reference update server of the QVBrelmox launcher (Python 3, standard library only), and
the tools of a production deployment.

  update_server.py serve --root DIR [--bind 127.0.0.1] [--port N] [--log FILE] [--db FILE]
                         [--messages DIR] [--tls-cert CERT.pem --tls-key KEY.pem]
                         [fault options]
  update_server.py serve --reports-only --db STORE [--messages DIR] [--port N] [--threads N]
                         [--root DIR] [--confirm 127.0.0.1:PORT] [--nginx-status URL]
  update_server.py publish SRC --root DIR --version X [--date DD/MM/YYYY] [--config FILE]
                           [--sign KEY.pem [--sequence N [--allow-jump]] [--state FILE]]
                           [--authenticode CA.pem]
                           [--hosts FILE [--replicate] [--rsh CMD]]
  update_server.py replicate --root DIR --to DEST [--rsh CMD]
  update_server.py deploy --root DIR --port N [--bind ADDR] [--reports URL] [--out DIR]
  update_server.py report --db STORE [--days N] [--html OUT.html] [--csv OUT.csv] [--root DIR]
  update_server.py prune --db STORE --older-than DAYS
  update_server.py backup --db STORE --to FOLDER [--keep N]
  update_server.py message add --db STORE (--unit N FILE... | FOLDER)
  update_server.py message list --db STORE [--unit N]
  update_server.py sandbox --db postgresql://... [--out FILE]
  update_server.py rollout status|halt|resume|promote|auto-halt --root DIR [...]

STORE is a SQLite file, or a postgresql:// URL when several hosts share it (see
qvbkit/store/).

The kit is the package qvbkit beside this file, one room per capability (see its __init__.py).
publish copies the release into DIR/files/Contrib/, writes Versao.txt, and lays out the static
answers (DIR/static, see release/static.py) that nginx serves; deploy writes nginx's
configuration for them (see ops/deploy.py). serve --reports-only is the report service behind
nginx (see serve/); prune and backup keep its store (see ops/upkeep.py); message queues files
for the units (see ops/messages.py); replicate copies a published release to another host's
root (see release/replicate.py); sandbox writes the report unit's drop-in for a PostgreSQL
store (see ops/sandbox.py); rollout halts, resumes and promotes a candidate release (see
release/rollout.py).

publish --sign also writes Manifesto.txt (Release, Sequence, Area, and the size and SHA-256 of
QVBrelmox2.ini, Versao.txt and every listed file) and Manifesto.sig (see release/signing.py). The
sequence is the last one signed plus 1, kept in KEY.pem.sequence (or --state), unless --sequence
gives a larger one; a key that is not P-256 is refused. For each listed file that changed it
also makes a binary patch (xdelta3) from each of the file's last 3 signed versions, kept beside
the signing state, and lists them in the manifest (see release/patches.py). A stable release
published while a candidate is live withdraws the candidate, as rollout halt does.

serve answers:
  /Ok                                 "Ok"
  /files/Contrib/<name>               the file, or the not-found text (byte 0xC6) when missing
  /md5.php?files/Contrib/<name>       "OK" + MD5 digits + "OK"
  /cgi-bin/QVBrelmoxDLL.dll?<query>   stores the report; a GET is answered with the unit's
                                      oldest queued message, else "ok"; 500 while the store
                                      cannot be reached
With --reports-only, also (on its loopback listener; nginx passes on /health only):
  /health                             200 "ok" while the store answers and the release tree
                                      (--root) is complete, else 503
  /metrics                            the counters in Prometheus' text format, with nginx's
                                      stub_status (--nginx-status) beside them
The request target is everything between the method and the last word of the request line, so
names with spaces work. Every request line is appended to --log as it arrives. Files in
--messages DIR/<unit>/ are moved into the queue when the unit reports. With --reports-only
only the report is answered, the launcher's address is taken from nginx's X-Real-IP header,
and at most --threads connections are served at once. With --confirm, a message counts as
delivered only once nginx says it sent the answer whole: nginx logs the request id and
$request_completion of each answer with an offer (and of each report that did not end whole)
to that loopback UDP port (syslog; deploy writes the log). Without it (the reference
server), a message is delivered once its answer is handed to the socket.

Fault injection (for tests), each repeatable:
  --close-times PATH:N    close without an answer the first N requests for PATH
  --delay PATH:MS         wait before answering PATH
  --wrong-digest NAME     answer a wrong digest for NAME
  --cut-short PATH:N      announce the full length but send only N body bytes, then close
  --status PATH:CODE      answer PATH with this status (and a short body)
  --chunked PATH          answer PATH with a chunked body (each size line with an extension)
  --endless PREFIX        answer every target that starts with PREFIX with a body that does not
                          end (until close), up to 256 MiB or until the client stops reading
  --endless-chunked PREFIX  the same, chunked
  --interim PATH:MS       answer PATH with "100 Continue" interim answers, one every MS, and
                          never a final one
  --trickle PATH:MS       announce Content-Length 100000 for PATH, then send one byte every MS
  --trickle-head PATH:MS  answer PATH with a "416 Range Not Satisfiable" status line, then the
                          rest of its head one byte every MS
  --pace PREFIX:MS        answer every target that starts with PREFIX rightly, but in 6 pieces,
                          one every MS: each wait sees bytes, and each answer ends
The bytes sent for endless answers (the pieces, for the last two) are added up in
--log + ".streamed".
"""

import sys

from qvbkit.cli import main

if __name__ == "__main__":
    sys.exit(main())
