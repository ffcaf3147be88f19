"""The report store's upkeep, safe while the report service writes.

prune takes the personal data (the user's name, phone and e-mail, the addresses, the query they
came in) out of the reports older than N days, and keeps what the adoption report reads: the
moment, the unit, the release, the launcher's version. backup copies the store with SQLite's
online backup: one consistent snapshot, while the service goes on writing (WAL mode).
"""

import datetime
import os
import sqlite3
import sys

import store

TIME_FORMAT = "%Y-%m-%d %H:%M:%S"
PERSONAL = ("peer", "query", "ip", '"user"', "fone", "email")
PRUNE_BATCH = 5000  # rows a transaction: the service's inserts never wait long behind one
BUSY_SECONDS = 30  # for the service's own transaction to end


def prune(args):
    if args.older_than < 1:
        print("prune: --older-than must be 1 or more days", file=sys.stderr)
        return 2
    cutoff = (datetime.datetime.now() - datetime.timedelta(days=args.older_than)).strftime(
        TIME_FORMAT)
    if store.is_url(args.db):
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
        db.close()
    except sqlite3.Error as error:
        print(f"prune: {args.db}: {error}", file=sys.stderr)
        return 1
    print(f"prune: personal data taken out of {pruned} reports from before {cutoff}")
    return 0


def prune_postgresql(url, cutoff):
    """The same in PostgreSQL: batches of rows in time order (from the time index), each its
    own transaction; the next batch starts at the last one's moment."""
    blank = ", ".join(f"{c} = ''" for c in PERSONAL)
    held = " or ".join(f"{c} != ''" for c in PERSONAL)
    pruned, since = 0, ""
    try:
        _, db = store.connect_reader(url)
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
        db.close()
    except store.errors() as error:
        print(f"prune: {error}", file=sys.stderr)
        return 1
    print(f"prune: personal data taken out of {pruned} reports from before {cutoff}")
    return 0


def backup(args):
    if store.is_url(args.db):
        print("backup: a PostgreSQL store is copied with pg_dump (or by its replica)",
              file=sys.stderr)
        return 2
    partial = args.to + ".partial"
    try:
        # Personal data: the copy is for its owner only, whatever the umask.
        os.close(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600))
        os.chmod(partial, 0o600)
        source = sqlite3.connect(f"file:{os.path.abspath(args.db)}?mode=ro", uri=True,
                                 timeout=BUSY_SECONDS)
        target = sqlite3.connect(partial)
        source.backup(target)  # in one step: a snapshot, and the service's writes go on
        count = target.execute("select count(*) from reports").fetchone()[0]
        target.close()
        source.close()
        os.replace(partial, args.to)
    except (OSError, sqlite3.Error) as error:
        print(f"backup: {error}", file=sys.stderr)
        if os.path.exists(partial):
            os.remove(partial)
        return 1
    print(f"backup: {count} reports copied to {args.to}")
    return 0


def add_prune_arguments(parser):
    parser.add_argument("--db", required=True, help="the report store: the service's SQLite"
                        " file or a postgresql:// URL")
    parser.add_argument("--older-than", type=int, required=True, metavar="DAYS")


def add_backup_arguments(parser):
    parser.add_argument("--db", required=True, help="the report service's SQLite file")
    parser.add_argument("--to", required=True, metavar="FILE", help="the copy to write")
