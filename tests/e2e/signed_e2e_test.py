#!/usr/bin/env python3
"""Signed releases end to end: update-check built with the test keys a and b (made when the
build tree was configured) against the reference server, with releases signed by publish
--sign and by the plain openssl command line; and the same check built without keys.
Usage: signed_e2e_test.py UPDATE_CHECK_SIGNED UPDATE_CHECK KEY_DIR [EMULATOR...]"""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_support import SERVER_SCRIPT, ReferenceServer as Server  # noqa: E402
from e2e_support import check, publish, read, summary  # noqa: E402

SIGNED, UNSIGNED, KEYS = sys.argv[1:4]
EMULATOR = sys.argv[4:]
AREA = os.path.join("files", "Contrib")
REFUSED = "box: N\xe3o foi poss\xedvel verificar a autenticidade da atualiza\xe7\xe3o."


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def run(program, inst, server):
    done = subprocess.run(EMULATOR + [program, "--dir", program_path(inst), "--server",
                                      server.address], capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("latin-1") + done.stderr.decode("latin-1")


def key(name):
    return os.path.join(KEYS, f"{name}.pem")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def ini(inst):
    return read(os.path.join(inst, "QVBrelmox.ini")).decode("latin-1")


def openssl_sign(area, lines, key_file):
    """A manifest made and signed by hand, the way the README shows with openssl alone."""
    text = ("\r\n".join(lines) + "\r\n").encode("latin-1")
    write(os.path.join(area, "Manifesto.txt"), text)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_file,
                          os.path.join(area, "Manifesto.txt")], capture_output=True,
                         check=True).stdout
    write(os.path.join(area, "Manifesto.sig"), base64.b64encode(der))


def entry(area, name):
    body = read(os.path.join(area, name.replace("\\", os.sep)))
    return f"{name}={len(body)} {hashlib.sha256(body).hexdigest()}"


def main():
    work = tempfile.mkdtemp(prefix="qvb-signed-e2e-")
    try:
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        area = os.path.join(root, AREA)
        write(os.path.join(src, "QVBrelmoxApp.exe"), b"MZ app 1")
        write(os.path.join(src, "sub", "tabela.dat"), bytes(range(256)) * 16)
        publish(src, root, "1.0", "--sign", key("a"))
        inst = os.path.join(work, "inst")
        os.makedirs(os.path.join(inst, "sub"))  # the launcher makes no folders for files
        write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")

        # A signed release installs, after the manifest and its signature were fetched.
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        check("signed release: no message", rc == 0 and "box:" not in out, out)
        check("signed release: manifest and signature right after the report",
              log[0] == "GET /Ok HTTP/1.1" and "QVBrelmoxDLL" in log[1] and log[2:5] ==
              ["GET /files/Contrib/Manifesto.txt HTTP/1.1",
               "GET /files/Contrib/Manifesto.sig HTTP/1.1",
               "GET /files/Contrib/QVBrelmox2.ini HTTP/1.1"], "\n".join(log))
        check("signed release: files in place",
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1"
              and read(os.path.join(inst, "sub", "tabela.dat")) == bytes(range(256)) * 16)
        check("signed release: sequence kept", "Sequencia=1" in ini(inst), ini(inst))

        # A forged executable whose MD5 the server forged too: refused, nothing written.
        write(os.path.join(src, "QVBrelmoxApp.exe"), b"MZ app 2")
        publish(src, root, "2.0", "--sign", key("a"))
        release2 = os.path.join(work, "release2")
        shutil.copytree(root, release2)
        write(os.path.join(area, "QVBrelmoxApp.exe"), b"MZ evil")
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
        check("forged file: the digest message",
              "box: N\xe3o consegui buscar QVBrelmoxApp.exe no servidor..." in out, out)
        check("forged file: the installed file stays",
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1")
        check("forged file: the sequence stays", "Sequencia=1" in ini(inst), ini(inst))
        # The build without keys takes the same forged file, with exactly today's requests.
        plain = os.path.join(work, "plain")
        shutil.copytree(inst, plain)
        with Server(root) as server:
            rc, out = run(UNSIGNED, plain, server)
            log = server.requests()
        check("without keys: no manifest requested",
              not any("Manifesto" in line for line in log), "\n".join(log))
        check("without keys: the forged file is taken",
              read(os.path.join(plain, "QVBrelmoxApp.exe")) == b"MZ evil")
        shutil.rmtree(root)
        shutil.copytree(release2, root)

        # Manifests that must be refused: one box, nothing of the release requested or changed.
        def refused(label, change):
            shutil.rmtree(root)
            shutil.copytree(release2, root)
            change()
            before = ini(inst)
            with Server(root) as server:
                rc, out = run(SIGNED, inst, server)
                log = server.requests()
            check(f"{label}: refused with one box", rc == 0 and out.count("box:") == 1
                  and REFUSED in out, out)
            check(f"{label}: nothing of the release requested", len(log) == 4, "\n".join(log))
            check(f"{label}: nothing changed", ini(inst).replace("\r\n", "\n").split("Last=")[0]
                  == before.replace("\r\n", "\n").split("Last=")[0])
            check(f"{label}: the old file stays",
                  read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1")

        sig = os.path.join(area, "Manifesto.sig")
        refused("missing signature", lambda: os.remove(sig))
        refused("garbled signature", lambda: write(sig, b"MEUCIQ garbled\r\n"))
        refused("flipped bit", lambda: write(sig, base64.b64encode(bytes(
            b ^ (1 if i == 40 else 0) for i, b in enumerate(base64.b64decode(read(sig)))))))
        refused("edited manifest", lambda: write(os.path.join(area, "Manifesto.txt"), read(
            os.path.join(area, "Manifesto.txt")).replace(b"Release=2.0", b"Release=2.1")))
        refused("another key", lambda: subprocess.run(
            [sys.executable, SERVER_SCRIPT, "publish", src, "--root", root, "--version", "2.0",
             "--sign", key("c")], check=True, stdout=subprocess.DEVNULL))

        # Key rotation: a release signed with the second built-in key installs.
        shutil.rmtree(root)
        shutil.copytree(release2, root)
        publish(src, root, "2.0", "--sign", key("b"), "--sequence", "7")
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
        check("second key: accepted", "box:" not in out
              and read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 2", out)
        check("second key: sequence kept", "Sequencia=7" in ini(inst), ini(inst))

        # A replayed older release (sequence 2 after 7) is refused.
        refused_replay = os.path.join(work, "replay")
        shutil.copytree(release2, refused_replay)
        write(os.path.join(inst, "QVBrelmoxApp.exe"), b"MZ app 1")
        shutil.rmtree(root)
        shutil.copytree(refused_replay, root)
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        check("replayed release: refused", REFUSED in out and len(log) == 4, out)

        # Signed with the openssl command line alone; a listed file the manifest leaves out is
        # handled as a digest mismatch, the others install, the sequence does not move.
        write(os.path.join(src, "extra.dat"), b"not in the manifest")
        publish(src, root, "3.0")
        names = ["QVBrelmox2.ini", "Versao.txt", "QVBrelmoxApp.exe", "sub\\tabela.dat"]
        openssl_sign(area, ["Release=3.0", "Sequence=8"] + [entry(area, n) for n in names],
                     key("a"))
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
        check("openssl-signed manifest accepted", REFUSED not in out
              and "VersaoAtual=3.0" in ini(inst), out)
        check("unlisted file refused like a digest mismatch",
              "box: N\xe3o consegui buscar extra.dat no servidor..." in out
              and not os.path.exists(os.path.join(inst, "extra.dat")), out)
        check("unlisted file: the sequence does not move", "Sequencia=7" in ini(inst), ini(inst))

        # publish refuses a sequence that does not grow and a key that is not P-256.
        for label, extra in (("sequence that does not grow", ["--sign", key("a"), "--sequence",
                                                               "8"]),
                             ("key that is not P-256", ["--sign", os.path.join(work, "p384.pem")])):
            if "p384" in extra[-1]:
                subprocess.run(["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout",
                                "-out", extra[-1]], check=True)
            done = subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src, "--root", root,
                                   "--version", "4.0", *extra], capture_output=True, text=True)
            check(f"publish refuses a {label}", done.returncode == 1 and "publish:" in done.stderr,
                  done.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("signed e2e")


if __name__ == "__main__":
    sys.exit(main())
