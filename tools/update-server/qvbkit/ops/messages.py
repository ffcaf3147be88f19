"""The message queue's commands, and the drop folder of one host.

  message add --db DB --unit N FILE...   queues each file for unit N, oldest first out
  message add --db DB FOLDER             imports a queue folder: FOLDER/<unit>/<file>
  message list --db DB [--unit N]        what is queued, in flight (offered to a launcher, not
                                         yet known to have reached it) and delivered, when, to
                                         whom

The queue lives in the report store (see store/queue.py), so that a message reaches its unit
from whichever host it asks.
"""

import os
import re
import sys

from qvbkit.store.engines import open_store
from qvbkit.store.errors import errors
from qvbkit.store.queue import IMPORTED, import_unit, message_fits, unit_folder, valid_unit
from qvbkit.wire import MESSAGE_LIMIT, MESSAGE_NAME

def add(args):
    try:
        db = open_store(args.db)
    except errors() as error:
        print(f"message: {args.db}: {error}", file=sys.stderr)
        return 1
    if args.unit is None:
        if len(args.files) != 1 or not os.path.isdir(args.files[0]):
            print("message add: give --unit N with the files, or one queue folder to import",
                  file=sys.stderr)
            return 2
        return import_folder(db, args.files[0])
    if not valid_unit(args.unit):
        print(f"message add: {args.unit!r} is not a unit a report names", file=sys.stderr)
        return 2
    files = []
    for path in args.files:
        name = os.path.basename(path)
        try:
            content = open(path, "rb").read(MESSAGE_LIMIT + 1)
        except OSError as error:
            print(f"message add: {error}", file=sys.stderr)
            return 1
        if not message_fits(name, len(content)):
            print(f"message add: the launcher cannot store {name!r} ({len(content)} bytes):"
                  f" a name of 1 to {MESSAGE_NAME} Latin-1 bytes that Windows takes, without"
                  f" a leading or trailing blank, and 1 to {MESSAGE_LIMIT} bytes",
                  file=sys.stderr)
            return 1
        files.append((name, content))
    for name, content in files:
        number = db.add_message(args.unit, name, content)
        print(f"queued {name} for unit {args.unit} as message {number}")
    return 0


def import_folder(db, folder):
    units = [u for u in sorted(os.listdir(folder)) if unit_folder(folder, u)
             and os.path.isdir(os.path.join(folder, u))]
    total, left = 0, 0
    for unit in units:
        names = import_unit(db, folder, unit)
        total += len(names)
        left += len(os.listdir(os.path.join(folder, unit)))
        for name in names:
            print(f"queued {name} for unit {unit}")
    print(f"imported {total} files from {folder} (now in {os.path.join(folder, IMPORTED)});"
          f" {left} the launcher could not store stay where they were")
    return 0


def printable(value):
    return re.sub(r"[\x00-\x1f\x7f-\x9f]", "?", str(value))


def list_messages(args):
    try:
        db = open_store(args.db)
        rows = db.messages(args.unit or "")
    except errors() as error:
        print(f"message: {args.db}: {error}", file=sys.stderr)
        return 1
    head = ("id", "unit", "name", "bytes", "state", "queued", "offered", "delivered", "to")
    table, count = [head], dict.fromkeys(("queued", "in flight", "delivered"), 0)
    for number, unit, name, size, queued, offered, delivered, to, offer in rows:
        state = "delivered" if delivered else "in flight" if offer else "queued"
        count[state] += 1
        if state == "queued":  # an offer taken back: when and to whom no longer hold
            offered = to = None
        table.append(tuple(printable("" if c is None else c) for c in (
            number, unit, name, size, state, queued, offered, delivered, to)))
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    for r in table:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    print(", ".join(f"{n} {state}" for state, n in count.items()))
    return 0


def add_arguments(parser):
    sub = parser.add_subparsers(dest="action", required=True)
    a = sub.add_parser("add", help="queue files for a unit, or import a queue folder")
    a.add_argument("--db", required=True, help="the report store: a SQLite file or a"
                   " postgresql:// URL")
    a.add_argument("--unit", help="the unit (the report's Unid)")
    a.add_argument("files", nargs="+", metavar="FILE")
    a.set_defaults(run=add)
    l = sub.add_parser("list", help="queued and delivered messages")
    l.add_argument("--db", required=True)
    l.add_argument("--unit")
    l.set_defaults(run=list_messages)


def message(args):
    return args.run(args)
