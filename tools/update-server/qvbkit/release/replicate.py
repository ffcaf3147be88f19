"""Copies a published release to another host's root, so that every host behind the vendor's
name serves it.

  replicate --root ROOT --to DEST [--rsh CMD]

DEST is a local folder or host:path (rsync over ssh, or over --rsh). A release goes to a host
in two steps. stage() copies the area (files/), then the static tree as a fresh static.N beside
the one DEST serves (its unchanged files hard-linked from that one), and checks the SHA-256 of
every file of the copy against the source's; switch() then points DEST's static link at it in
one rename: no host ever serves half a release. publish --hosts --replicate stages the release
on every host first and switches them all only once every copy checked out, one right after
another. The tree served before stays static.GRACE_SECONDS (switch back with one ln);
older ones and those a failed publish staged go. Nothing else in DEST (its nginx folder, a
store) is touched. Run deploy once on a host before its nginx serves DEST.
"""

import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import time

from qvbkit.files import ENTRY, public_folders
from qvbkit.release import static
from qvbkit.wire import AREA

TREE = static.TREE
RSYNC_SECONDS = 3600  # one copy of a release, at most; a hung transfer ends with an error


def is_remote(dest):
    # rsync's own rule: a colon before the first slash names a host.
    head, colon, _ = dest.partition(":")
    return bool(colon) and "/" not in head


class Local:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.rsync_path = self.path

    def state(self):
        """(the tree static points at, or None; every name in the folder)"""
        public_folders(self.path, self.path)
        link = os.path.join(self.path, static.LINK)
        current = os.readlink(link) if os.path.islink(link) else None
        return current, os.listdir(self.path)

    def digests(self, tree):
        return tree_digests(os.path.join(self.path, tree))

    def switch(self, tree):
        static.switch(self.path, tree)

    def retire(self):
        static.retire(self.path)


class Remote:
    def __init__(self, dest, rsh):
        self.host, _, path = dest.partition(":")
        self.path, self.rsh = path or ".", rsh
        self.rsync_path = f"{self.host}:{self.path}"

    def shell(self, script, binary=False):
        done = subprocess.run(shlex.split(self.rsh) + [self.host, script], capture_output=True,
                              timeout=RSYNC_SECONDS)
        if done.returncode != 0:
            raise RuntimeError(f"{self.host}: {script}: "
                               f"{done.stderr.decode(errors='replace').strip()}")
        return done.stdout if binary else done.stdout.decode("utf-8", "surrogateescape")

    def digests(self, tree):
        """{path in the tree: SHA-256} of the copy, by the host's own sha256sum."""
        out = self.shell(f"cd {shlex.quote(self.path)}/{shlex.quote(tree)} && find . -type f"
                         " -print0 | xargs -0 -r sha256sum --zero", binary=True)
        found = {}
        for line in filter(None, out.split(b"\0")):
            digest, _, name = line.partition(b"  ")
            found[os.fsdecode(name[2:] if name.startswith(b"./") else name)] = digest.decode()
        return found

    def state(self):
        q = shlex.quote(self.path)
        out = self.shell(f"mkdir -p {q} && chmod 755 {q} && cd {q} && "
                         f"{{ readlink {static.LINK} || true; }} && echo /// && ls -A")
        current, _, names = out.partition("///\n")
        return current.strip() or None, names.split()

    def switch(self, tree):
        q, t = shlex.quote(self.path), shlex.quote(tree)
        link, fresh = static.LINK, static.LINK + ".new"
        self.shell(f"cd {q} && before=$(readlink {link} || true) && rm -f {fresh} && "
                   f"ln -s {t} {fresh} && mv -T {fresh} {link} && "
                   f'if [ -n "$before" ] && [ "$before" != {t} ] && [ -d "$before" ]; then '
                   f'touch "$before/{static.RETIRED}" && ln -s "$before" {fresh} && '
                   f"mv -T {fresh} {static.PREVIOUS}; fi")

    def retire(self):
        """As static.retire, on the host."""
        minutes = static.GRACE_SECONDS // 60
        mark = static.RETIRED
        self.shell(f"cd {shlex.quote(self.path)} && current=$(readlink {static.LINK}"
                   f" || true) && previous=$(readlink {static.PREVIOUS} || true) && "
                   f'if [ -z "$previous" ] || [ ! -e "$previous/{mark}" ] || '
                   f'[ -n "$(find "$previous/{mark}" -mmin +{minutes})" ]; then previous=; fi;'
                   f" for t in {static.LINK}.*; do"
                   f' case "$t" in *[!0-9a-z.]*|"$current"|"$previous"|*.previous) continue;;'
                   f' esac; rm -rf "$t"; done')


def tree_digests(tree):
    """{path in the tree: SHA-256} of every file below tree."""
    found = {}
    for folder, _, names in os.walk(os.fsencode(tree)):
        for name in names:
            path = os.path.join(folder, name)
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
            found[os.fsdecode(os.path.relpath(path, os.fsencode(tree)))] = digest.hexdigest()
    return found


def rsync(args, source, target, *extra):
    # Times compared to the nanosecond: by default rsync takes a file of the same size and the
    # same second as unchanged, and a release published within a second of the last copy
    # (or a digest answer of a fresh tree, beside --link-dest) would keep the old bytes.
    command = ["rsync", "-a", "--delete", "--modify-window=-1", "--exclude=*.publishing",
               *extra]
    if args.rsh != "ssh":
        command += ["-e", args.rsh]
    done = subprocess.run(command + [source, target], capture_output=True, text=True,
                          timeout=RSYNC_SECONDS)
    if done.returncode != 0:
        raise RuntimeError(f"rsync to {target}: {done.stderr.strip()}")


def destination(to, rsh):
    return Remote(to, rsh) if is_remote(to) else Local(to)


def stage(args, root, source, dest, want):
    """Copies root's area and its tree source to dest as a fresh tree, without switching, and
    checks every file of the copy against want ({path: SHA-256}); returns the copy's name."""
    current, names = dest.state()
    trees = [n for n in names if TREE.fullmatch(n)]
    # A fresh name on DEST, never the tree it serves now.
    serial = 1 + max([int(TREE.fullmatch(n).group(1)) for n in trees + [source]])
    tree = f"{static.LINK}.{serial}"
    rsync(args, os.path.join(root, "files") + "/", dest.rsync_path + "/files/")
    basis = ["--link-dest=../" + current] if current in trees else []
    rsync(args, os.path.join(root, source) + "/", f"{dest.rsync_path}/{tree}/", *basis)
    got = dest.digests(tree)
    wrong = sorted(set(want) ^ set(got) | {n for n in want if got.get(n) != want[n]})
    if wrong:
        raise RuntimeError(f"the copy differs from the release in {len(wrong)} files"
                           f" ({', '.join(wrong[:3])})")
    return tree


def to_all(args, root, source, hosts):
    """Stages root's tree source on every host; once all copies check out, switches root and
    then each host, one right after another. Returns 0, or 1 with nothing switched."""
    want = tree_digests(os.path.join(root, source))
    staged = []
    for to in hosts:
        dest = destination(to, args.rsh)
        if isinstance(dest, Local) and os.path.realpath(dest.path) == os.path.realpath(root):
            print(f"replicate: {to} names the root itself", file=sys.stderr)
            return 1
        try:
            staged.append((to, dest, stage(args, root, source, dest, want)))
        except (OSError, RuntimeError, subprocess.TimeoutExpired) as error:
            print(f"replicate: {to}: {error}; no host switched", file=sys.stderr)
            for _, other, _ in staged:  # the copies made so far go
                with _quietly():
                    other.retire()
            static.retire(root)
            return 1
    start = time.monotonic()
    static.switch(root, source)
    failed = []
    for to, dest, tree in staged:
        try:
            dest.switch(tree)
        except (OSError, RuntimeError, subprocess.TimeoutExpired) as error:
            print(f"replicate: {to}: the switch failed: {error}", file=sys.stderr)
            failed.append(to)
    took = time.monotonic() - start
    for to, dest, tree in staged:
        with _quietly():
            dest.retire()
    static.retire(root)
    print(f"switched {1 + len(staged) - len(failed)} hosts to {source} in {took:.3f} s")
    if failed:
        print("replicate: these hosts still serve the release before: " + ", ".join(failed)
              + "; replicate to them again", file=sys.stderr)
    return 1 if failed else 0


class _quietly:
    """Clearing up after the fact: what fails is left for the next publish."""

    def __enter__(self):
        return self

    def __exit__(self, kind, *_):
        return kind is not None and issubclass(kind, (OSError, RuntimeError,
                                                      subprocess.TimeoutExpired))


def replicate(args):
    root = os.path.abspath(args.root)
    link = os.path.join(root, static.LINK)
    source = os.readlink(link) if os.path.islink(link) else ""
    if not TREE.fullmatch(source) or not os.path.isdir(os.path.join(root, AREA)):
        print(f"replicate: nothing published in {root} (run publish first)", file=sys.stderr)
        return 1
    if not shutil.which("rsync"):
        print("replicate: needs rsync (apt-get install rsync)", file=sys.stderr)
        return 1
    dest = destination(args.to, args.rsh)
    if isinstance(dest, Local) and os.path.realpath(dest.path) == os.path.realpath(root):
        print("replicate: --to names the root itself", file=sys.stderr)
        return 1
    try:
        tree = stage(args, root, source, dest, tree_digests(os.path.join(root, source)))
        dest.switch(tree)
        dest.retire()
    except (OSError, RuntimeError, subprocess.TimeoutExpired) as error:
        print(f"replicate: {args.to}: {error}", file=sys.stderr)
        return 1
    print(f"replicated {root} to {args.to}: it serves {tree}")
    return 0


def hosts_of(path):
    """The destinations a hosts file names: one a line, # for a comment."""
    with open(path, encoding="utf-8") as f:
        lines = [line.split("#", 1)[0].strip() for line in f]
    return [line for line in lines if line]


def command_for(root, dest, rsh="ssh"):
    return ([sys.executable, ENTRY, "replicate", "--root", os.path.abspath(root), "--to", dest]
            + (["--rsh", rsh] if rsh != "ssh" else []))


def add_arguments(parser):
    parser.add_argument("--root", required=True, help="the root publish wrote")
    parser.add_argument("--to", required=True, metavar="DEST",
                        help="another host's root: a local folder, or host:path")
    parser.add_argument("--rsh", default="ssh",
                        help="the remote shell for host:path (rsync -e), default ssh")
