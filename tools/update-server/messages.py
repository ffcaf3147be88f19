"""The message queue's commands, and the drop folder of one host.

  message add --db DB --unit N FILE...   queues each file for unit N, oldest first out
  message add --db DB FOLDER             imports a queue folder: FOLDER/<unit>/<file>
  message list --db DB [--unit N]        what is queued, in flight (offered to a launcher, not
                                         yet known to have reached it) and delivered, when, to
                                         whom

The queue lives in the report store (see store.py), so that a message reaches its unit from
whichever host it asks. A folder of queued files (serve --messages) still works on one host:
before a unit's report takes a message, the files in its folder are imported into the store,
each moved to FOLDER/imported/<unit>/ so that nothing is lost or queued twice.
"""

import os
import re
import stat
import sys
import time

import store
from static_release import safe_name

MESSAGE_NAME = 30  # the launcher reads the file's name from the answer's first 30 bytes
MESSAGE_LIMIT = (1 << 20) - MESSAGE_NAME  # the launcher refuses an answer over 1 MiB
IMPORTED = "imported"  # beside the units' folders: the files now in the store
DELIVERED = "delivered"  # the archive of the folder queue before the store; never a unit


def message_fits(name, size):
    """True when the launcher would store the file under this name, whole."""
    try:
        raw = name.encode("latin-1")
    except UnicodeEncodeError:
        return False
    # The launcher trims the name's field of bytes up to the space, and keeps no folder.
    return (0 < len(raw) <= MESSAGE_NAME and raw[0] > 0x20 and raw[-1] > 0x20
            and safe_name(name) and not any(c in name for c in "/\\")
            and 0 < size <= MESSAGE_LIMIT)


def valid_unit(unit):
    """A unit a message may be queued for, as the store keeps a report's: a report with an
    empty Unid takes nothing."""
    return 0 < len(unit) <= store.FIELD_CHARS and not store.CONTROL.search(unit)


def unit_folder(folder, unit):
    """The drop folder of unit, or None for a name that could reach any other folder."""
    if not folder or not unit or unit.startswith(".") or unit in (DELIVERED, IMPORTED) \
            or any(c in unit for c in "/\\\0"):
        return None
    return os.path.join(folder, unit)


def import_unit(db, folder, unit):
    """Moves the files the launcher can store from folder/<unit>/ into the store, in name
    order; returns their names. A file is claimed by one rename first, so two reports of a
    unit never import it twice; if the store refuses it, it goes back."""
    queue = unit_folder(folder, unit)
    if queue is None or not os.path.isdir(queue):
        return []
    done = []
    for name in sorted(os.listdir(queue)):
        path = os.path.join(queue, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if not stat.S_ISREG(info.st_mode) or not message_fits(name, info.st_size):
            continue  # it stays, for the operator to see
        archive = os.path.join(folder, IMPORTED, unit)
        claimed = os.path.join(archive, time.strftime("%Y%m%d-%H%M%S ") + name)
        try:
            os.makedirs(archive, exist_ok=True)
            os.rename(path, claimed)
        except OSError:
            continue  # another report claimed it first
        try:
            with open(claimed, "rb") as f:
                content = f.read(MESSAGE_LIMIT + 1)
            if not 0 < len(content) <= MESSAGE_LIMIT:
                raise ValueError(name)
            db.add_message(unit, name, content)
        except BaseException:
            os.rename(claimed, path)
            raise
        done.append(name)
    return done


def add(args):
    try:
        db = store.open_store(args.db)
    except store.errors() as error:
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
        db = store.open_store(args.db)
        rows = db.messages(args.unit or "")
    except store.errors() as error:
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
