"""Signing a release for launchers built with release keys: Manifesto.txt lists the size and
SHA-256 of every file the launcher may download, Manifesto.sig is the ECDSA P-256 signature of
its SHA-256 (DER in base64, made with the openssl command line).

The signing state, the last sequence signed, lives on the signing side, in a file beside the
key (KEY.pem.sequence) unless --state names another: whoever can write the served tree must
never steer what the next signature covers. For the same reason the manifest hashes the bytes
publish takes from the release's source, never what already lies in the served tree."""

import base64
import hashlib
import os
import subprocess

from qvbkit.release.contents import entry
SEQUENCE_MAX = 1 << 53
# How far an explicit --sequence may jump past the last one without --allow-jump: a typo or a
# tampered command must not use up the sequence space that every launcher's floor climbs.
SEQUENCE_JUMP_MAX = 1000


def state_path(args):
    return args.state or args.sign + ".sequence"


def key_problem(key):
    """Why the key cannot sign releases, or None for an ECDSA P-256 private key."""
    done = subprocess.run(["openssl", "pkey", "-in", key, "-noout", "-text"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return f"{key} is not a private key openssl can read"
    if "prime256v1" not in done.stdout and "P-256" not in done.stdout:
        return f"{key} is not an ECDSA P-256 key"
    return None


def last_sequence(path):
    """The last sequence signed, 0 before the first; None when the state file is unreadable."""
    if not os.path.exists(path):
        return 0
    with open(path, "rb") as f:
        text = f.read().strip()
    return int(text) if text.isdigit() and int(text) <= SEQUENCE_MAX else None


def choose_sequence(last, asked, allow_jump, state=""):
    """(sequence, None) for a release signed after last, asked for explicitly or not (None), or
    (None, why not); state names where last was kept."""
    sequence = asked if asked is not None else last + 1
    if not last < sequence <= SEQUENCE_MAX:
        where = f", in {state}" if state else ""
        return None, f"sequence {sequence} does not grow (the last one was {last}{where})"
    if sequence - last > SEQUENCE_JUMP_MAX and not allow_jump:
        return None, (f"sequence {sequence} jumps more than {SEQUENCE_JUMP_MAX} past the last "
                      f"one ({last}); add --allow-jump if that is meant")
    return sequence, None


def next_sequence(args):
    """(sequence, None) for this publication, or (None, why it cannot be signed)."""
    problem = key_problem(args.sign)
    if problem:
        return None, problem
    path = state_path(args)
    last = last_sequence(path)
    if last is None:
        return None, f"the signing state {path} does not hold a sequence"
    return choose_sequence(last, args.sequence, args.allow_jump, path)


def entry_of_bytes(name, body):
    return entry(name, len(body), hashlib.sha256(body).hexdigest())


def file_digest(path):
    """(size, SHA-256 hex) of a file, read in blocks."""
    digest, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def sign(text, key):
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=text,
                         capture_output=True, check=True).stdout
    return base64.b64encode(der) + b"\r\n"


def record(args, sequence, write_atomically):
    write_atomically(state_path(args), b"%d\n" % sequence)
