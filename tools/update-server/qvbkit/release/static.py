"""The published area laid out for a static web server: every answer the launcher asks for is a
file, named by the bytes that arrive in the request.

The launcher puts a listed name into its request target byte for byte (spaces, code page 1252
letters), with its backslashes turned into slashes. The reference server reads those bytes as
Latin-1 and opens the name it was published under. A static server cannot do that mapping, so
the tree carries each file under the request's own bytes instead:

  static/files/Contrib/<wire name>          the file (a hard link into the area)
  static/md5/files/Contrib/<query name>     "OK" + MD5 digits + "OK", the digest answer
  static/notfound.bin, static/nodigest.bin  the answers for a name that is not there

The wire name is the published name in Latin-1, as Versao.txt carries it, with slashes between
folders; the query name is what nginx's $args holds for it once the front (nginx/front.js) has
escaped the bytes nginx refuses. `static` is a symbolic link switched in one rename, so a
server never sees a tree half written.
"""

import hashlib
import os
import re
import shutil
import time

from qvbkit.files import PUBLIC_FILE, public_folders
from qvbkit.release.contents import read_version_file
from qvbkit.wire import AREA, CONFIG_NAME, NO_DIGEST, NOT_FOUND, VERSION_FILE

LINK = "static"
TREE = re.compile(r"static\.(\d+)$")
RETIRED = ".retired"  # in a tree no longer served: since when
PREVIOUS = "static.previous"  # a link to the tree served before
GRACE_SECONDS = 24 * 3600  # the tree served before stays this long (switch back with one ln)


def escape(data, percent=True):
    """The front's escaping, shared so that file names and requests agree: the bytes nginx
    will not take raw in a request line become %XX, and so does '%' where a name stands."""
    out = bytearray()
    for b in data:
        if b < 0x21 or b in (0x23, 0x7F) or (b == 0x25 and percent):
            out += b"%%%02X" % b
        else:
            out.append(b)
    return bytes(out)


def front_form(request_line):
    """A request line as nginx's HTTP server gets it from the front (nginx/front.js)."""
    method, _, rest = request_line.partition(b" ")
    target, _, version = rest.rpartition(b" ")
    path, mark, query = target.partition(b"?")
    # The report's query keeps its '%': the launcher has encoded it already.
    out = escape(path) + mark + escape(query, percent=path == b"/md5.php")
    return method + b" " + out + b" " + version


def wire_name(name):
    return name.replace("\\", "/").encode("latin-1")


def query_name(name):
    return escape(wire_name(name))


def md5_answer(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return b"OK" + digest.hexdigest().upper().encode() + b"OK"


def area_names(area):
    """Every file of the area as the launcher names it (backslashes between folders)."""
    names = []
    for dirpath, _, filenames in os.walk(area):
        for filename in filenames:
            if filename.endswith(".publishing"):  # a publish that was cut short
                continue
            rel = os.path.relpath(os.path.join(dirpath, filename), area)
            names.append(rel.replace(os.sep, "\\"))
    return sorted(names)


def _link_or_copy(source, target):
    try:
        os.link(source, target)
    except OSError:  # another file system, or links not allowed
        shutil.copyfile(source, target)


def build(root):
    """Writes a fresh static tree for root's area and switches root/static to it. Returns the
    number of files."""
    tree, count = prepare(root)
    switch(root, tree)
    retire(root)
    return count


def prepare(root):
    """Writes a fresh static tree for root's area beside the one served, and returns (its
    name, the number of files). Names Latin-1 cannot carry are refused by publish before this
    runs."""
    root = os.path.abspath(root)
    area = os.path.join(root, AREA)
    names = area_names(area) if os.path.isdir(area) else []
    serial = 1 + max([int(TREE.match(d).group(1)) for d in os.listdir(root) if TREE.match(d)]
                     or [0])
    tree = os.path.join(root, f"{LINK}.{serial}")
    files = os.path.join(os.fsencode(tree), AREA.encode())
    digests = os.path.join(os.fsencode(tree), b"md5", AREA.encode())
    for name in names:
        source = os.path.join(area, name.replace("\\", os.sep))
        target = os.path.join(files, wire_name(name))
        digest = os.path.join(digests, query_name(name))
        for folder in (os.path.dirname(target), os.path.dirname(digest)):
            public_folders(tree, folder)
        _link_or_copy(source, target)
        os.chmod(target, PUBLIC_FILE)  # a link: the area's file too, as publish leaves it
        with open(digest, "wb") as f:
            f.write(md5_answer(source))
        os.chmod(digest, PUBLIC_FILE)
    for answer, body in (("notfound.bin", NOT_FOUND), ("nodigest.bin", NO_DIGEST)):
        with open(os.path.join(tree, answer), "wb") as f:
            f.write(body)
        os.chmod(os.path.join(tree, answer), PUBLIC_FILE)
    public_folders(root, files)
    public_folders(root, digests)
    return os.path.basename(tree), len(names)


def switch(root, tree):
    """Serves tree from now on (one rename), and marks the tree served before as retired."""
    link = os.path.join(root, LINK)
    before = os.readlink(link) if os.path.islink(link) else None
    fresh = link + ".new"
    if os.path.lexists(fresh):
        os.remove(fresh)
    os.symlink(tree, fresh)
    os.replace(fresh, link)
    if before and before != tree and os.path.isdir(os.path.join(root, before)):
        open(os.path.join(root, before, RETIRED), "w").close()
        os.symlink(before, fresh)
        os.replace(fresh, os.path.join(root, PREVIOUS))


def retire(root):
    """Removes every tree but the one served and the one served before it (for GRACE_SECONDS
    after the switch): older ones, and those a publish staged but never switched to."""
    def target(name):
        path = os.path.join(root, name)
        return os.readlink(path) if os.path.islink(path) else None

    current, previous = target(LINK), target(PREVIOUS)
    mark = os.path.join(root, previous or "-", RETIRED)
    if previous and not (os.path.exists(mark)
                         and time.time() - os.path.getmtime(mark) < GRACE_SECONDS):
        previous = None
    for entry in os.listdir(root):
        if TREE.match(entry) and entry not in (current, previous):
            shutil.rmtree(os.path.join(root, entry), ignore_errors=True)


def incomplete(root):
    """What is missing from the tree root serves (a problem in words), or None when every file
    Versao.txt lists is there with its digest answer."""
    tree = os.path.join(root, LINK)
    files = os.path.join(os.fsencode(tree), AREA.encode())
    try:
        with open(os.path.join(files, VERSION_FILE.encode()), "rb") as f:
            _, entries = read_version_file(f.read())
    except OSError as error:
        return f"no {VERSION_FILE}: {error}"
    names = [CONFIG_NAME] + [name for name, _ in entries]
    for answer in ("notfound.bin", "nodigest.bin"):
        if not os.path.isfile(os.path.join(tree, answer)):
            return f"no {answer}"
    digests = os.path.join(os.fsencode(tree), b"md5", AREA.encode())
    for name in names:
        if not os.path.isfile(os.path.join(files, wire_name(name))):
            return f"no {name}"
        if not os.path.isfile(os.path.join(digests, query_name(name))):
            return f"no digest answer for {name}"
    return None
