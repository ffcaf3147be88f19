"""The report store's upkeep, safe while the report service writes.

prune takes the personal data (the user's name, phone and e-mail, the addresses, the query they
came in) out of the reports older than N days, and keeps what the adoption report reads: the
moment, the unit, the release, the launcher's version. It blanks the contents of the messages
delivered before then too, and the addresses they went to.

backup writes a dated copy into a folder and checks it before it counts: SQLite's online
backup (one consistent snapshot while the service goes on writing, WAL mode) passing PRAGMA
integrity_check, or pg_dump's archive that pg_restore reads whole. A copy that fails is
removed and the command fails, so a damaged store never replaces a good copy; the newest
BACKUPS_KEPT copies (--keep) stay, older ones go.
"""

import datetime
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import time

from qvbkit.store.engines import connect_reader, is_url
from qvbkit.store.errors import errors
from qvbkit.wire import TIME_FORMAT

BACKUPS_KEPT = 14
BACKUP_NAME = re.compile(r"reports-(\d{8}-\d{6})(?:-(\d+))?\.(?:sqlite|dump)$")
DUMP_SECONDS = 3600  # pg_dump of a large store, at most
PERSONAL = ("peer", "query", "ip", '"user"', "fone", "email")
PRUNE_BATCH = 5000  # rows a transaction: the service's inserts never wait long behind one
BUSY_SECONDS = 30  # for the service's own transaction to end


def prune(args):
    if args.older_than < 1:
        print("prune: --older-than must be 1 or more days", file=sys.stderr)
        return 2
    cutoff = (datetime.datetime.utcnow() - datetime.timedelta(days=args.older_than)).strftime(
        TIME_FORMAT)
    if is_url(args.db):
        return prune_postgresql(args.db, cutoff)
    try:
        db = sqlite3.connect(args.db, timeout=BUSY_SECONDS)
        # The pruned bytes are overwritten in the file, not only let go.
        db.execute("pragma secure_delete=on")
        first, last = db.execute("select min(rowid), max(rowid) from reports").fetchone()
        blank = ", ".join(f"{c} = ''" for c in PERSONAL)
        held = " or ".join(f"{c} != ''" for c in PERSONAL)
        pruned = 0
        # Through the table once, in slices of rowids, each its own short transaction.
        for low in range(first or 0, (last or 0) + 1, PRUNE_BATCH):
            with db:
                pruned += db.execute(f"update reports set {blank} where rowid >= ? and rowid < ?"
                                     f" and at < ? and ({held})",
                                     (low, low + PRUNE_BATCH, cutoff)).rowcount
        blanked = 0
        if db.execute("select 1 from sqlite_master where name = 'messages'").fetchone():
            with db:
                blanked = db.execute(BLANK_MESSAGES, (b"", cutoff)).rowcount
        db.close()
    except sqlite3.Error as error:
        print(f"prune: {args.db}: {error}", file=sys.stderr)
        return 1
    print(f"prune: personal data taken out of {pruned} reports and {blanked} messages from"
          f" before {cutoff}")
    return 0


# The messages are few next to the reports: one statement.
BLANK_MESSAGES = ("update messages set content = ?, delivered_to = '' where delivered_at < ?"
                  " and (length(content) > 0 or delivered_to != '')")


def prune_postgresql(url, cutoff):
    """The same in PostgreSQL: batches of rows in time order (from the time index), each its
    own transaction; the next batch starts at the last one's moment."""
    blank = ", ".join(f"{c} = ''" for c in PERSONAL)
    held = " or ".join(f"{c} != ''" for c in PERSONAL)
    pruned, since = 0, "-infinity"
    try:
        _, db = connect_reader(url)
        while True:
            done = db.execute(
                f"with batch as (select ctid from reports where at >= ? and at < ? and ({held})"
                f" order by at limit {PRUNE_BATCH}) update reports set {blank} from batch"
                " where reports.ctid = batch.ctid returning reports.at", (since, cutoff))
            moments = [row[0] for row in done]
            db.commit()
            if not moments:
                break
            pruned += len(moments)
            since = max(moments)
        blanked = db.execute(BLANK_MESSAGES, (b"", cutoff)).rowcount
        db.commit()
        db.close()
    except errors() as error:
        print(f"prune: {error}", file=sys.stderr)
        return 1
    print(f"prune: personal data taken out of {pruned} reports and {blanked} messages from"
          f" before {cutoff}")
    return 0


def backup(args):
    if args.keep < 1:
        print("backup: --keep must be 1 or more", file=sys.stderr)
        return 2
    if os.path.isfile(args.to):
        print(f"backup: --to names a folder for the dated copies, and {args.to} is a file",
              file=sys.stderr)
        return 2
    os.makedirs(args.to, mode=0o700, exist_ok=True)
    postgresql = is_url(args.db)
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    target = os.path.join(args.to, f"reports-{stamp}.{'dump' if postgresql else 'sqlite'}")
    serial = 1
    while os.path.exists(target):  # two copies in one second
        serial += 1
        target = os.path.join(args.to, f"reports-{stamp}-{serial}."
                              f"{'dump' if postgresql else 'sqlite'}")
    partial = target + ".partial"
    try:
        # Personal data: the copy is for its owner only, whatever the umask.
        os.close(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600))
        os.chmod(partial, 0o600)
        what = dump_postgresql(args.db, partial) if postgresql else copy_sqlite(args.db, partial)
        os.replace(partial, target)
    except (OSError, sqlite3.Error, RuntimeError, subprocess.TimeoutExpired) as error:
        print(f"backup: no copy made, the copies before stay: {error}", file=sys.stderr)
        if os.path.exists(partial):
            os.remove(partial)
        return 1
    def age(name):  # the second copy of a second is "-2"
        found = BACKUP_NAME.match(name)
        return found.group(1), int(found.group(2) or 1)

    copies = sorted((n for n in os.listdir(args.to) if BACKUP_NAME.match(n)), key=age)
    for old in copies[:-args.keep]:
        os.remove(os.path.join(args.to, old))
    print(f"backup: {what} in {target}, checked; {min(len(copies), args.keep)} copies kept")
    return 0


def copy_sqlite(db, partial):
    source = sqlite3.connect(f"file:{os.path.abspath(db)}?mode=ro", uri=True,
                             timeout=BUSY_SECONDS)
    target = sqlite3.connect(partial)
    try:
        source.backup(target)  # in one step: a snapshot, and the service's writes go on
        problems = [row[0] for row in target.execute("pragma integrity_check")]
        if problems != ["ok"]:
            raise RuntimeError("the copy fails integrity_check: " + "; ".join(problems[:3]))
        count = target.execute("select count(*) from reports").fetchone()[0]
    finally:
        target.close()
        source.close()
    return f"{count} reports copied"


def dump_postgresql(url, partial):
    for program in ("pg_dump", "pg_restore"):
        if not shutil.which(program):
            raise RuntimeError(f"needs {program} (apt-get install postgresql-client)")
    done = subprocess.run(["pg_dump", "--format=custom", "--file", partial, "--dbname", url],
                          capture_output=True, text=True, timeout=DUMP_SECONDS)
    if done.returncode != 0:
        raise RuntimeError(f"pg_dump: {done.stderr.strip()}")
    # The archive is whole when pg_restore reads every table's data out of it.
    done = subprocess.run(["pg_restore", "--data-only", "--file", os.devnull, partial],
                          capture_output=True, text=True, timeout=DUMP_SECONDS)
    if done.returncode != 0:
        raise RuntimeError(f"pg_restore cannot read the dump: {done.stderr.strip()}")
    return "the database dumped"


def add_prune_arguments(parser):
    parser.add_argument("--db", required=True, help="the report store: the service's SQLite"
                        " file or a postgresql:// URL")
    parser.add_argument("--older-than", type=int, required=True, metavar="DAYS")


def add_backup_arguments(parser):
    parser.add_argument("--db", required=True, help="the report store: the service's SQLite"
                        " file or a postgresql:// URL")
    parser.add_argument("--to", required=True, metavar="FOLDER",
                        help="the folder of the dated copies")
    parser.add_argument("--keep", type=int, default=BACKUPS_KEPT,
                        help="copies kept, the newest")
