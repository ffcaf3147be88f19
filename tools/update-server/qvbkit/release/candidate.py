"""The candidate release beside the stable one: its signed manifest (Candidato.txt, read by
key), live in the area or withdrawn to ROOT/rollout/ with why, and the decisions about it."""

import datetime
import os
import time

from qvbkit.files import read_file, write_atomically
from qvbkit.release import static
from qvbkit.release.contents import read_manifest
from qvbkit.wire import (AREA, CANDIDATE_MANIFEST, CANDIDATE_PREFIX, CANDIDATE_SIGNATURE, HELD,
                         HELD_REASON, MANIFEST, TIME_FORMAT)

CANDIDATE_FILES = (CANDIDATE_MANIFEST, CANDIDATE_SIGNATURE)


def due_share(started, hours, now):
    """The share of offices a candidate started at started (None when unknown) over hours is
    due for at now: the groups are uniform over the hours."""
    if started is None or hours < 1:
        return 0.0
    elapsed = (now - started).total_seconds() / 3600
    return min(1.0, max(0.0, elapsed / hours))


def is_stale(candidate_sequence, stable_sequence):
    """Whether a candidate is dead on every office: a launcher takes a candidate only when its
    sequence is above the stable manifest it accepted. A sequence that is no number is stale;
    without a signed stable release (None) nothing is."""
    if stable_sequence is None:
        return False
    return not (candidate_sequence.isdigit() and int(candidate_sequence) > stable_sequence)


class Candidate:
    """The candidate published in root, live or halted (withdrawn, kept in ROOT/rollout/)."""

    def __init__(self, root, text, halted, reason=""):
        self.root, self.halted, self.reason = root, halted, reason
        fields, self._files = read_manifest(text)
        self.release, self.folder = fields.get("Release", ""), fields.get("Pasta", "")
        self.sequence = fields.get("Sequence", "")
        self.start = fields.get("Inicio", "")
        try:
            self.hours = int(fields.get("Horas", ""))
            self.started = datetime.datetime.strptime(self.start, TIME_FORMAT)
        except ValueError:
            self.hours, self.started = 0, None

    def due(self, now=None):
        """The share of offices it is due for now (UTC, default the clock's)."""
        return due_share(self.started, self.hours, now or datetime.datetime.utcnow())

    def files(self):
        """[(name, size, sha256)] the manifest lists, QVBrelmox2.ini and Versao.txt included."""
        return list(self._files)


def area(root):
    return os.path.join(root, AREA)


def held(root):
    return os.path.join(root, HELD)


def candidate_of(root):
    """The candidate of root, or None when none is published."""
    live = os.path.join(area(root), CANDIDATE_MANIFEST)
    if os.path.exists(live):
        return Candidate(root, read_file(live), False)
    kept = os.path.join(held(root), CANDIDATE_MANIFEST)
    if os.path.exists(kept):
        why = os.path.join(held(root), HELD_REASON)
        reason = read_file(why).decode("utf-8", "replace").strip() if os.path.exists(why) else ""
        return Candidate(root, read_file(kept), True, reason)
    return None


def stable_sequence(root):
    """The Sequence of root's signed stable manifest, or None when it has none."""
    path = os.path.join(area(root), MANIFEST)
    if not os.path.exists(path):
        return None
    value = read_manifest(read_file(path))[0].get("Sequence", "")
    return int(value) if value.isdigit() else None


def served(root):
    """Whether the tree served here still carries the candidate's manifest."""
    return os.path.exists(os.path.join(root, static.LINK, AREA, CANDIDATE_MANIFEST))


def withdraw(root, why):
    """Moves the live candidate's manifest and signature from the area to ROOT/rollout/, with
    why and when; the caller switches what is served."""
    os.makedirs(held(root), mode=0o755, exist_ok=True)
    for name in CANDIDATE_FILES:
        source = os.path.join(area(root), name)
        if os.path.exists(source):
            write_atomically(os.path.join(held(root), name), read_file(source))
    moment = time.strftime(TIME_FORMAT, time.gmtime())
    write_atomically(os.path.join(held(root), HELD_REASON), f"{moment} {why}\n".encode())
    for name in CANDIDATE_FILES:
        if os.path.exists(os.path.join(area(root), name)):
            os.remove(os.path.join(area(root), name))


def put_back(root):
    """Puts a withdrawn candidate's manifest and signature back into the area, byte for byte."""
    for name in CANDIDATE_FILES:
        kept = os.path.join(held(root), name)
        if os.path.exists(kept):
            write_atomically(os.path.join(area(root), name), read_file(kept))


def folders(stable_area):
    """The candidate folders in the stable area."""
    if not os.path.isdir(stable_area):
        return []
    return [d for d in os.listdir(stable_area) if d.startswith(CANDIDATE_PREFIX)
            and os.path.isdir(os.path.join(stable_area, d))]
