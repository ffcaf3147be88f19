"""Copies a published release to another host's root, so that every host behind the vendor's
name serves it.

  replicate --root ROOT --to DEST [--rsh CMD]

DEST is a local folder or host:path (rsync over ssh, or over --rsh). The area (files/) goes
first, then the static tree as a fresh static.N beside the one DEST serves (its unchanged files
hard-linked from that one), and only then is DEST's static link switched to it in one rename:
no host ever serves half a release. The trees before it go last. Nothing else in DEST (its
nginx folder, a store) is touched. Run deploy once on a host before its nginx serves DEST.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys

import static_release

TREE = re.compile(r"static\.(\d+)$")
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
        static_release.public_folders(self.path, self.path)
        link = os.path.join(self.path, static_release.LINK)
        current = os.readlink(link) if os.path.islink(link) else None
        return current, os.listdir(self.path)

    def switch(self, tree):
        fresh = os.path.join(self.path, static_release.LINK + ".new")
        if os.path.lexists(fresh):
            os.remove(fresh)
        os.symlink(tree, fresh)
        os.replace(fresh, os.path.join(self.path, static_release.LINK))

    def remove(self, trees):
        for tree in trees:
            shutil.rmtree(os.path.join(self.path, tree), ignore_errors=True)


class Remote:
    def __init__(self, dest, rsh):
        self.host, _, path = dest.partition(":")
        self.path, self.rsh = path or ".", rsh
        self.rsync_path = f"{self.host}:{self.path}"

    def shell(self, script):
        done = subprocess.run(shlex.split(self.rsh) + [self.host, script], capture_output=True,
                              text=True, timeout=RSYNC_SECONDS)
        if done.returncode != 0:
            raise RuntimeError(f"{self.host}: {script}: {done.stderr.strip()}")
        return done.stdout

    def state(self):
        q = shlex.quote(self.path)
        out = self.shell(f"mkdir -p {q} && chmod 755 {q} && cd {q} && "
                         f"{{ readlink {static_release.LINK} || true; }} && echo /// && ls -A")
        current, _, names = out.partition("///\n")
        return current.strip() or None, names.split()

    def switch(self, tree):
        q = shlex.quote(self.path)
        link, fresh = static_release.LINK, static_release.LINK + ".new"
        self.shell(f"cd {q} && rm -f {fresh} && ln -s {shlex.quote(tree)} {fresh} && "
                   f"mv -T {fresh} {link}")

    def remove(self, trees):
        if trees:
            self.shell(f"cd {shlex.quote(self.path)} && rm -rf "
                       + " ".join(shlex.quote(t) for t in trees))


def rsync(args, source, target, *extra):
    command = ["rsync", "-a", "--delete", "--exclude=*.publishing", *extra]
    if args.rsh != "ssh":
        command += ["-e", args.rsh]
    done = subprocess.run(command + [source, target], capture_output=True, text=True,
                          timeout=RSYNC_SECONDS)
    if done.returncode != 0:
        raise RuntimeError(f"rsync to {target}: {done.stderr.strip()}")


def replicate(args):
    root = os.path.abspath(args.root)
    link = os.path.join(root, static_release.LINK)
    source = os.readlink(link) if os.path.islink(link) else ""
    if not TREE.fullmatch(source) or not os.path.isdir(os.path.join(root, static_release.AREA)):
        print(f"replicate: nothing published in {root} (run publish first)", file=sys.stderr)
        return 1
    if not shutil.which("rsync"):
        print("replicate: needs rsync (apt-get install rsync)", file=sys.stderr)
        return 1
    dest = Remote(args.to, args.rsh) if is_remote(args.to) else Local(args.to)
    if isinstance(dest, Local) and os.path.realpath(dest.path) == os.path.realpath(root):
        print("replicate: --to names the root itself", file=sys.stderr)
        return 1
    try:
        current, names = dest.state()
        trees = [n for n in names if TREE.fullmatch(n)]
        # A fresh name on DEST, never the tree it serves now.
        serial = 1 + max([int(TREE.fullmatch(n).group(1)) for n in trees + [source]])
        tree = f"{static_release.LINK}.{serial}"
        rsync(args, os.path.join(root, "files") + "/", dest.rsync_path + "/files/")
        basis = ["--link-dest=../" + current] if current in trees else []
        rsync(args, os.path.join(root, source) + "/", f"{dest.rsync_path}/{tree}/", *basis)
        dest.switch(tree)
        dest.remove([t for t in trees if t != tree])
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
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "update_server.py")
    return ([sys.executable, script, "replicate", "--root", os.path.abspath(root), "--to", dest]
            + (["--rsh", rsh] if rsh != "ssh" else []))


def add_arguments(parser):
    parser.add_argument("--root", required=True, help="the root publish wrote")
    parser.add_argument("--to", required=True, metavar="DEST",
                        help="another host's root: a local folder, or host:path")
    parser.add_argument("--rsh", default="ssh",
                        help="the remote shell for host:path (rsync -e), default ssh")
