"""File helpers every room shares: what a server reads while a release changes is always a
whole file, readable by nginx's workers whatever the operator's umask."""

import os
import shutil

PUBLIC_FILE, PUBLIC_DIR = 0o644, 0o755
# The kit's own folder (tools/update-server): its nginx/ and systemd/ files, its entry point.
KIT_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTRY = os.path.join(KIT_DIR, "update_server.py")


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def write_atomically(path, data, mode=PUBLIC_FILE):
    # A server answering while a release is published must never read half a file; the old
    # file also stays whole for the static tree's hard links.
    temp = f"{path}.publishing"
    with open(temp, "wb") as f:
        f.write(data)
    os.chmod(temp, mode)
    os.replace(temp, path)


def copy_atomically(source, target):
    temp = f"{target}.publishing"
    shutil.copyfile(source, temp)
    os.chmod(temp, PUBLIC_FILE)
    os.replace(temp, target)


def public_folders(top, folder):
    """Makes folder and every folder from top down to it (top included) readable by all."""
    top, folder = os.path.abspath(os.fsencode(top)), os.path.abspath(os.fsencode(folder))
    os.makedirs(folder, exist_ok=True)
    while True:
        os.chmod(folder, PUBLIC_DIR)
        if folder == top or os.path.dirname(folder) == folder:
            return
        folder = os.path.dirname(folder)
