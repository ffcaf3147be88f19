"""The message queue's rules, the same on both engines. A message is queued, then in flight
once a report's answer offers it (under the offer's name, nginx's request id), then delivered
once nginx says it sent that answer whole. An offer that did not go out whole is queued again
at once; one nobody confirms (nginx died, or the service) goes out again after OFFER_SECONDS.
A unit's next report may thus get a message once more, which is harmless: the launcher
overwrites it.

On one host a folder of queued files (serve --messages DIR/<unit>/<file>) still works: before
a unit's report takes a message, the files in its folder are imported into the store, each
moved to DIR/imported/<unit>/ so that nothing is lost or queued twice."""

import os
import stat
import time

from qvbkit.wire import MESSAGE_LIMIT, MESSAGE_NAME, safe_name
from qvbkit.store.schema import CONTROL, FIELD_CHARS, stamp

OFFER_SECONDS = 600  # an offer nobody confirmed goes out again after this: longer than any
                     # answer nginx still sends (a 1 MiB message to a slow line)
IMPORTED = "imported"  # beside the units' folders: the files now in the store
DELIVERED = "delivered"  # the archive of the folder queue before the store; never a unit

INSERT_MESSAGE = "insert into messages(unid, name, content, queued_at) values (?, ?, ?, ?)"
WAITING = "select exists(select 1 from messages where unid = ? and delivered_at is null)"
LIST_MESSAGES = ("select id, unid, name, length(content), queued_at, offered_at, delivered_at,"
                 " delivered_to, offer from messages where (? = '' or unid = ?) order by id")
# A unit's oldest message not delivered and not in flight (or in flight since before the
# cutoff).
NEXT_MESSAGE = ("select id from messages where unid = ? and delivered_at is null and"
                " (offer is null or offered_at < ?) order by id limit 1")
OFFER = ("update messages set offer = ?, offered_at = ?, delivered_to = ?, offers = offers + 1"
         " where id = ?")
MARK_DELIVERED = "update messages set delivered_at = ? where offer = ? and delivered_at is null"
MARK_RELEASED = ("update messages set offer = null, offered_at = null where offer = ? and"
                 " delivered_at is null")


def reoffer_cutoff(now, lease=OFFER_SECONDS):
    """The moment (stored text) before which an offer nobody confirmed goes out again, at now
    (seconds since the epoch)."""
    return stamp(now - lease)


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
    return 0 < len(unit) <= FIELD_CHARS and not CONTROL.search(unit)


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
