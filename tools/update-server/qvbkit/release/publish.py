"""publish: a release from a source folder into ROOT/files/Contrib/ and its static answers.

  publish SRC --root DIR --version X [--date DD/MM/YYYY] [--config FILE]
              [--sign KEY.pem [--sequence N [--allow-jump]] [--state FILE]]
              [--candidate --hours N [--start T]] [--hosts FILE [--replicate] [--rsh CMD]]

The pipeline, one step a function, each returning a problem in words or None; nothing reaches
the served tree before every check has passed:
  check_options   the options that go together
  read_source     the release's names, each one the launcher can ask for
  prepare_signing the sequence, the configuration's origin, the candidate's folder
  hash_and_patch  the SHA-256 of every file and the binary patches (signing side)
  place_files     the files, Versao.txt and QVBrelmox2.ini into the area
  sign_release    the manifest and its signature, the patches; a stable release withdraws a
                  live candidate
  serve_release   the static tree, switched here or on every host together
"""

import hashlib
import os
import shlex
import shutil
import sys
import time

from qvbkit.files import copy_atomically, public_folders, read_file, write_atomically
from qvbkit.release import authenticode, candidate, patches, replicate, signing, static
from qvbkit.release.contents import entry, manifest_text, schedule_lines, version_file
from qvbkit.wire import (AREA, AREA_NAME, CANDIDATE_HOURS_MAX, CANDIDATE_MANIFEST,
                         CANDIDATE_PREFIX, CANDIDATE_SIGNATURE, CONFIG_NAME, DEFAULT_CONFIG,
                         HELD, MANIFEST, SIGNATURE, TIME_FORMAT, VERSION_FILE, safe_name)


class Publication:
    """What one publish run has learnt so far."""

    def __init__(self, args):
        self.args = args
        self.src = os.path.abspath(args.src)
        self.root = os.path.abspath(args.root)
        self.stable_area = os.path.join(self.root, AREA)
        self.area = self.stable_area  # a candidate's folder, for a candidate
        self.folder = None
        self.sequence = None
        self.names = []
        self.files = []  # signed: [(name, source path, size, sha256)]
        self.plan = None
        self.version_file = self.config_text = None  # the bytes placed, which signing lists
        self.tree = None  # with --hosts --replicate: the tree staged for every host
        self.static_files = 0

    def source(self, name):
        return os.path.join(self.src, name.replace("\\", os.sep))

    def config(self):
        return os.path.join(self.area, CONFIG_NAME)


def content_version(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return "c" + digest.hexdigest()[:12]


def check_options(p):
    args = p.args
    if args.candidate and (not args.sign or not 1 <= (args.hours or 0) <= CANDIDATE_HOURS_MAX):
        return (f"a candidate is signed (--sign) and reaches every office in --hours, "
                f"1 to {CANDIDATE_HOURS_MAX}")
    return None


def prepare_signing(p):
    args = p.args
    if not args.sign:
        return None
    p.sequence, problem = signing.next_sequence(args)
    config = p.config()
    # The configuration is signed from the signing side too: a served copy that is not the
    # default one must come again with --config.
    if (not problem and not args.config and os.path.exists(config)
            and read_file(config) != DEFAULT_CONFIG):
        problem = (f"a signed release takes {CONFIG_NAME} from --config, not from the "
                   "served tree")
    if problem:
        return problem
    if args.candidate:
        # Beside the stable release, in a folder of its own: offices outside the rollout,
        # and fresh installations, keep getting the stable one.
        p.folder = f"{CANDIDATE_PREFIX}{p.sequence}"
        p.area = os.path.join(p.stable_area, p.folder)
    return None


def read_source(p):
    for dirpath, _, filenames in os.walk(p.src):
        for filename in sorted(filenames):
            rel = os.path.relpath(os.path.join(dirpath, filename), p.src).replace(os.sep, "\\")
            p.names.append(rel)
    p.names.sort()
    bad = [n for n in p.names if not safe_name(n)]
    if bad:
        return "these names would be refused or misread by the launcher: " + ", ".join(bad)
    return None


def hash_and_patch(p):
    # Hashed and patched before anything reaches the served tree: a missing xdelta3 or a
    # failed patch publishes nothing.
    if not p.args.sign:
        return None
    p.files = [(n, p.source(n), *signing.file_digest(p.source(n))) for n in p.names]
    p.plan = patches.Plan(signing.state_path(p.args))
    problem = p.plan.make(p.files)
    return f"{problem}; nothing was published" if problem else None


def place_files(p):
    args = p.args
    versions = dict(pair.partition("=")[::2] for pair in args.file_version or [])
    public_folders(args.root, p.stable_area)
    public_folders(p.stable_area, p.area)
    entries = []
    for name in p.names:
        target = os.path.join(p.area, name.replace("\\", os.sep))
        public_folders(p.area, os.path.dirname(target))
        copy_atomically(p.source(name), target)
        entries.append((name, versions.get(name) or content_version(p.source(name))))
    p.version_file = version_file(args.version, args.date or time.strftime("%d/%m/%Y"),
                                  entries)
    write_atomically(os.path.join(p.area, VERSION_FILE), p.version_file)
    p.config_text = read_file(args.config) if args.config else DEFAULT_CONFIG
    if args.config or args.sign or not os.path.exists(p.config()):
        write_atomically(p.config(), p.config_text)
    return None


def sign_release(p):
    args = p.args
    if not args.sign:
        return None
    entries = [signing.entry_of_bytes(CONFIG_NAME, p.config_text),
               signing.entry_of_bytes(VERSION_FILE, p.version_file)]
    entries += [entry(n, size, sha) for n, _, size, sha in p.files]
    schedule = []
    if args.candidate:
        start = args.start or time.strftime(TIME_FORMAT, time.gmtime())
        schedule = schedule_lines(p.folder, start, args.hours)
    text = manifest_text(args.version, p.sequence, AREA_NAME,
                         schedule + entries + p.plan.entries())
    signature = signing.sign(text, args.sign)
    for _, _, _, _, pname, made in p.plan.made:
        copy_atomically(made, os.path.join(p.area, pname.replace("\\", os.sep)))
    p.plan.discard()
    if args.candidate:
        write_atomically(os.path.join(p.stable_area, CANDIDATE_MANIFEST), text)
        write_atomically(os.path.join(p.stable_area, CANDIDATE_SIGNATURE), signature)
        for old in candidate.folders(p.stable_area):
            if old != p.folder:
                shutil.rmtree(os.path.join(p.stable_area, old), ignore_errors=True)
    else:
        write_atomically(os.path.join(p.area, MANIFEST), text)
        write_atomically(os.path.join(p.area, SIGNATURE), signature)
        withdraw_older_candidate(p)
    signing.record(args, p.sequence, write_atomically)
    p.plan.record(p.files, write_atomically)
    patches.remove_stale(p.area, p.plan.names() | set(p.names),
                         skip=() if args.candidate else candidate.folders(p.stable_area))
    return None


def withdraw_older_candidate(p):
    live = candidate.candidate_of(p.root)
    if live is None or live.halted:
        return
    # Older than this release, it is refused everywhere from now on: withdrawn as a halt
    # does, so that the switch that follows no longer serves it.
    why = f"withdrawn by the stable release {p.args.version} (sequence {p.sequence})"
    candidate.withdraw(p.root, why)
    print(f"publish: candidate {live.release} (sequence {live.sequence}) {why};"
          f" kept in {os.path.join(p.args.root, HELD)}")


def serve_release(p):
    args = p.args
    try:
        # With the other hosts, this one switches with them, once every copy checked out.
        if args.hosts and args.replicate:
            p.tree, p.static_files = static.prepare(args.root)
            served = os.path.join(os.fsencode(os.path.join(args.root, p.tree)),
                                  os.fsencode(os.path.relpath(p.area, args.root)))
            wrong = [n for n in p.names
                     if signing.file_digest(os.path.join(served, static.wire_name(n)))
                     != signing.file_digest(p.source(n))]
            if wrong:
                static.retire(args.root)
                return ("this host's copy differs from the release in "
                        + ", ".join(wrong[:3]) + "; no host switched")
        else:
            p.static_files = static.build(args.root)
    except OSError as error:  # a name too long once escaped, a full disk
        return f"the release is in place, but not its static answers: {error}"
    return None


STEPS = (check_options, prepare_signing, read_source, hash_and_patch, place_files,
         sign_release, serve_release)


def publish(args):
    if args.authenticode and not authenticode.release_signed(args.src, args.authenticode):
        return 1
    p = Publication(args)
    for step in STEPS:
        problem = step(p)
        if problem:
            print(f"publish: {problem}", file=sys.stderr)
            return 1
    print(f"published {len(p.names)} files as version {args.version} in {p.area}"
          + (f", signed as sequence {p.sequence} with {len(p.plan.made)} patches" if args.sign
             else "")
          + f"; static answers for {p.static_files} files in"
            f" {os.path.join(args.root, 'static')}")
    return to_hosts(args, p.tree) if args.hosts else 0


def to_hosts(args, tree):
    """Prints the replicate command for each host of the hosts file, or stages tree on them
    all and switches every host once each copy checked out."""
    try:
        hosts = replicate.hosts_of(args.hosts)
    except OSError as error:
        print(f"publish: the release is in place here, but {error}", file=sys.stderr)
        if tree:
            static.retire(args.root)
        return 1
    if tree:
        if not shutil.which("rsync"):
            print("publish: --replicate needs rsync (apt-get install rsync)", file=sys.stderr)
            return 1
        return replicate.to_all(args, os.path.abspath(args.root), tree, hosts)
    for dest in hosts:
        command = replicate.command_for(args.root, dest, args.rsh)
        print("replicate with: " + " ".join(shlex.quote(c) for c in command))
    return 0


def add_arguments(p):
    p.add_argument("src")
    p.add_argument("--root", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--date")
    p.add_argument("--config")
    p.add_argument("--file-version", action="append", help="NAME=VERSION for one file")
    p.add_argument("--sign", metavar="KEY.pem", help="sign the release with this P-256 key")
    authenticode.add_argument(p)
    p.add_argument("--sequence", type=int, help="the signed release's sequence number")
    p.add_argument("--candidate", action="store_true",
                   help="with --sign: publish a candidate beside the stable release "
                        "(files/Contrib/candidato-SEQUENCE/, Candidato.txt and .sig)")
    p.add_argument("--hours", type=int, help="with --candidate: hours until every office has it")
    p.add_argument("--start", help="with --candidate: its start, yyyy-mm-ddThh:mm:ssZ (now)")
    p.add_argument("--allow-jump", action="store_true",
                   help=f"let --sequence jump more than {signing.SEQUENCE_JUMP_MAX} past the last")
    p.add_argument("--state", metavar="FILE",
                   help="the signing state (the last sequence); default KEY.pem.sequence")
    p.add_argument("--hosts", metavar="FILE", help="the other hosts' roots, one a line"
                   " (a folder or host:path): print the replicate command for each")
    p.add_argument("--replicate", action="store_true", help="with --hosts: copy the release"
                   " to every host, then switch them all together")
    p.add_argument("--rsh", default="ssh", help="with --hosts: replicate's remote shell")
