"""Binary patches for signed releases: for each listed file that changed, an RFC 3284 (VCDIFF)
patch from each of the last versions of it that were published, made with Debian's xdelta3
without secondary compression, so that the launcher's own decoder reads it. The manifest lists
each one after the file lines:

  Patch:<name>=<source sha256> <patch size> <patch sha256> <patch name>

The launcher applies a patch only to an installed file with that SHA-256, and keeps the result
only when it has the size and SHA-256 of <name>'s own line; otherwise it takes the whole file.

The versions patches are made from are kept on the signing side, beside the signing state
(STATE.history/), never in the served tree: whoever can write the served tree must not choose
what a signed patch starts from. The folder holds one copy of each version, named by its
SHA-256, and an index of the last SOURCES_MAX versions of each listed file, newest first."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from qvbkit.release.signing import file_digest

# Versions of a file a release carries patches from: each costs the vendor's disk and a patch
# in the served tree; an installation older than these takes the whole file.
SOURCES_MAX = 3
INDEX = "index"
# -A must come right before another option, or it takes the next word as the header's text.
XDELTA3 = ["xdelta3", "-e", "-f", "-A", "-S", "none"]
PREFIX_DIGITS = 16
SUFFIX = ".vcdiff"
SCRATCH = "patches-"
# What publish names its patches: the way stale ones of earlier releases are found again.
PATCH_NAME = re.compile(r"\.[0-9a-f]{%d}-[0-9a-f]{%d}%s$"
                        % (PREFIX_DIGITS, PREFIX_DIGITS, re.escape(SUFFIX)))


def history_path(state):
    return state + ".history"


def patch_name(name, source_sha, target_sha):
    # Both ends in the name: one name always holds the same bytes, whatever a cache kept.
    return f"{name}.{source_sha[:PREFIX_DIGITS]}-{target_sha[:PREFIX_DIGITS]}{SUFFIX}"


def read_index(folder):
    """{name: [sha256, ...] newest first}; empty before the first signed release."""
    index = {}
    try:
        with open(os.path.join(folder, INDEX), "rb") as f:
            lines = f.read().decode("latin-1").splitlines()
    except FileNotFoundError:
        return index
    for line in lines:
        name, _, shas = line.rpartition("=")
        if name:
            index[name] = shas.split()
    return index


class Plan:
    """The patches of one publication, made in a scratch folder on the signing side before
    anything is written to the served tree."""

    def __init__(self, state):
        self.folder = history_path(state)
        self.index = read_index(self.folder)
        self.scratch = None
        self.made = []  # (name, source sha, patch size, patch sha, patch name, scratch path)

    def wanted(self, name, target_sha):
        """The earlier versions a file gets patches from: also when it did not change in this
        release, since an office that skipped the one that changed it still has an old one."""
        return [sha for sha in self.index.get(name, []) if sha != target_sha]

    def make(self, files):
        """files: [(name, source path, size, sha256)]. Returns None, or why it cannot."""
        jobs = [(f, sha) for f in files for sha in self.wanted(f[0], f[3])]
        if not jobs:
            return None
        if shutil.which("xdelta3") is None:
            return ("xdelta3 is missing: a signed release makes binary patches with it "
                    "(apt-get install xdelta3)")
        listed = {f[0] for f in files}
        os.makedirs(self.folder, exist_ok=True)
        self.scratch = tempfile.mkdtemp(prefix=SCRATCH, dir=self.folder)
        for (name, path, size, sha), source_sha in jobs:
            source = os.path.join(self.folder, source_sha)
            if not os.path.isfile(source) or file_digest(source)[1] != source_sha:
                print(f"publish: no patch for {name} from {source_sha[:PREFIX_DIGITS]}: the kept "
                      f"version in {self.folder} is missing or damaged", file=sys.stderr)
                continue
            pname = patch_name(name, source_sha, sha)
            if pname in listed:
                continue  # a release file of that name: the file wins
            out = os.path.join(self.scratch, f"{len(self.made)}{SUFFIX}")
            try:
                done = subprocess.run(XDELTA3 + ["-s", source, path, out], capture_output=True)
            except OSError as error:
                self.discard()
                return f"xdelta3 could not run: {error}"
            if done.returncode != 0:
                self.discard()
                return (f"xdelta3 failed on {name}: "
                        + done.stderr.decode("latin-1", "replace").strip())
            patch_size, patch_sha = file_digest(out)
            if patch_size >= size:
                continue  # the whole file is no larger
            self.made.append((name, source_sha, patch_size, patch_sha, pname, out))
        return None

    def entries(self):
        return [f"Patch:{name}={source} {size} {sha} {pname}"
                for name, source, size, sha, pname, _ in self.made]

    def names(self):
        return {made[4] for made in self.made}

    def discard(self):
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None

    def record(self, files, write_atomically):
        """After the signed manifest is in place: each file's version becomes the newest of its
        history, and copies no index line names any more are removed."""
        os.makedirs(self.folder, exist_ok=True)
        index = {}
        for name, path, _, sha in files:
            index[name] = list(dict.fromkeys([sha] + self.index.get(name, [])))[:SOURCES_MAX]
            kept = os.path.join(self.folder, sha)
            if not os.path.isfile(kept):
                shutil.copyfile(path, kept + ".part")
                os.replace(kept + ".part", kept)
        text = "".join(f"{name}={' '.join(shas)}\r\n" for name, shas in sorted(index.items()))
        write_atomically(os.path.join(self.folder, INDEX), text.encode("latin-1"))
        needed = {sha for shas in index.values() for sha in shas}
        for entry in os.listdir(self.folder):
            path = os.path.join(self.folder, entry)
            if re.fullmatch(r"[0-9a-f]{64}(\.part)?", entry) and entry not in needed:
                os.remove(path)
            elif entry.startswith(SCRATCH) and path != self.scratch:  # a publish cut short
                shutil.rmtree(path, ignore_errors=True)
        self.index = index


def remove_stale(area, keep, skip=()):
    """Removes the patches of earlier releases from the area: files named as publish names its
    patches that neither the new manifest lists nor the release itself carries. Folders named
    in skip (a candidate's, beside the stable release) are left as they are."""
    removed = 0
    for dirpath, dirnames, filenames in os.walk(area):
        if dirpath == area:
            dirnames[:] = [d for d in dirnames if d not in skip]
        for filename in filenames:
            rel = os.path.relpath(os.path.join(dirpath, filename), area).replace(os.sep, "\\")
            if PATCH_NAME.search(filename) and rel not in keep:
                os.remove(os.path.join(dirpath, filename))
                removed += 1
    return removed
