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
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from e2e_support import SERVER_SCRIPT, ReferenceServer as Server  # noqa: E402
from e2e_support import check, publish, read, summary  # noqa: E402
from tls_support import RecordingProxy, make_certificates  # noqa: E402

SIGNED, UNSIGNED, BUILT_KEYS = sys.argv[1:4]
KEYS = None  # a copy in the test's own folder, so that the signing state beside each key is its own
EMULATOR = sys.argv[4:]
AREA = os.path.join("files", "Contrib")
REFUSED = "box: N\xe3o foi poss\xedvel verificar a autenticidade da atualiza\xe7\xe3o."
UNVERIFIED_SERVER = "box: N\xe3o foi poss\xedvel verificar a identidade do servidor de atualiza\xe7\xe3o."


def copy_tree(source, target):
    # The static tree's link stays a link, so that the next publish can switch it.
    shutil.copytree(source, target, symlinks=True)


def program_path(path):
    return "Z:" + path.replace("/", "\\") if EMULATOR else path


def run(program, inst, server, env=None):
    done = subprocess.run(EMULATOR + [program, "--dir", program_path(inst), "--server",
                                      server.address], capture_output=True, timeout=120,
                          env=env)
    return done.returncode, done.stdout.decode("latin-1") + done.stderr.decode("latin-1")


def key(name):
    return os.path.join(KEYS, f"{name}.pem")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def ini(inst):
    return read(os.path.join(inst, "QVBrelmox.ini")).decode("latin-1")


def openssl_sign(area, lines, key_file, name="Manifesto"):
    """A manifest made and signed by hand, the way the README shows with openssl alone."""
    text = ("\r\n".join(lines) + "\r\n").encode("latin-1")
    write(os.path.join(area, name + ".txt"), text)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_file,
                          os.path.join(area, name + ".txt")], capture_output=True,
                         check=True).stdout
    write(os.path.join(area, name + ".sig"), base64.b64encode(der))


def entry(area, name):
    body = read(os.path.join(area, name.replace("\\", os.sep)))
    return f"{name}={len(body)} {hashlib.sha256(body).hexdigest()}"


def rollback_and_areas(work, inst):
    """Anti-rollback when a release breaks half-way, the area a manifest is bound to, a listed
    file without end, and where publish keeps its signing state."""
    src, root = os.path.join(work, "src8"), os.path.join(work, "root8")
    area = os.path.join(root, AREA)
    inst = os.path.join(work, "inst8")
    write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=8\r\n")
    write(os.path.join(src, "Tabela.dat"), b"tabela da release 6")
    publish(src, root, "6.0", "--sign", key("a"), "--sequence", "6")
    release6 = os.path.join(work, "release6")
    copy_tree(root, release6)
    write(os.path.join(src, "Tabela.dat"), b"tabela da release 8")
    write(os.path.join(src, "Outra.dat"), b"outra da release 8")
    publish(src, root, "8.0", "--sign", key("a"))  # 7: the state's last plus one
    publish(src, root, "8.0", "--sign", key("a"))  # 8
    check("publish: the signing state beside the key",
          read(key("a") + ".sequence").strip() == b"8", read(key("a") + ".sequence"))
    write(os.path.join(area, "Outra.dat"), b"quebrada")  # release 8 breaks half-way
    with Server(root) as server:
        rc, out = run(SIGNED, inst, server)
    check("release 8 half-way: its table in place, the broken file refused",
          read(os.path.join(inst, "Tabela.dat")) == b"tabela da release 8"
          and "box: N\xe3o consegui buscar Outra.dat no servidor..." in out, out)
    check("release 8 half-way: the floor is 8", "Sequencia=8" in ini(inst), ini(inst))

    def refused(label, server_root, *faults):
        before = ini(inst)
        with Server(server_root, *faults) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        check(f"{label}: refused with one box", rc == 0 and out.count("box:") == 1
              and REFUSED in out and len(log) == 4, out + "\n".join(log))
        check(f"{label}: release 8's table stays",
              read(os.path.join(inst, "Tabela.dat")) == b"tabela da release 8")
        check(f"{label}: the floor stays, the refusal is the outcome",
              ini(inst).split("Sequencia=")[1].split("\r\n")[0]
              == before.split("Sequencia=")[1].split("\r\n")[0]
              and ";assinatura" in ini(inst), ini(inst))

    refused("release 6 after a broken release 8", release6)
    beta = os.path.join(work, "beta")
    copy_tree(root, beta)
    names = ["QVBrelmox2.ini", "Versao.txt", "Outra.dat", "Tabela.dat"]
    openssl_sign(os.path.join(beta, AREA), ["Release=9.0", "Sequence=9", "Area=Beta"] +
                 [entry(os.path.join(beta, AREA), n) for n in names], key("a"))
    refused("a manifest signed for another area", beta)

    # A listed file without end: reading stops at its signed size, nothing is left behind.
    os.remove(os.path.join(inst, "Tabela.dat"))
    with Server(root, "--endless", "/files/Contrib/Tabela.dat") as server:
        start = time.time()
        rc, out = run(SIGNED, inst, server)
        took, streamed = time.time() - start, server.streamed()
    check("endless signed file: refused in time", rc == 0 and took < 45 and
          "box: N\xe3o consegui buscar Tabela.dat no servidor..." in out, f"{took:.1f} s {out}")
    check("endless signed file: read stops at the signed size",
          streamed and streamed[0] < 32 << 20, streamed)
    left = [n for n in os.listdir(inst) if ".qvb-" in n or (n.startswith("qvb") and
                                                             n.endswith(".tmp"))]
    check("endless signed file: nothing left behind", not left and
          not os.path.exists(os.path.join(inst, "Tabela.dat")), os.listdir(inst))

    # publish signs from the signing side: a served tree that was tampered with steers nothing.
    write(os.path.join(area, "Manifesto.txt"), b"Release=x\r\nSequence=9007199254740992\r\n")
    write(os.path.join(area, "QVBrelmox2.ini"), b"[QVBrelmox]\r\nevil=1\r\n")
    def publish_signed(*extra):
        return subprocess.run([sys.executable, SERVER_SCRIPT, "publish", src, "--root", root,
                               "--version", "9.0", "--sign", key("a"), *extra],
                              capture_output=True, text=True)
    done = publish_signed()
    check("publish: a served configuration is never signed",
          done.returncode == 1 and "--config" in done.stderr, done.stderr)
    good = os.path.join(work, "good.ini")
    write(good, b"[QVBrelmox]\r\nok=1\r\n")
    done = publish_signed("--config", good, "--sequence", "100000")
    check("publish: a sequence that jumps far is refused",
          done.returncode == 1 and "--allow-jump" in done.stderr, done.stderr)
    done = publish_signed("--config", good)
    manifest = read(os.path.join(area, "Manifesto.txt")).decode("latin-1")
    check("publish: the next sequence comes from the state, the hashes from the source",
          done.returncode == 0 and "Sequence=9\r\nArea=Contrib\r\n" in manifest
          and entry(work, "good.ini").replace("good.ini", "QVBrelmox2.ini") in manifest,
          done.stderr + manifest)
    done = publish_signed("--config", good, "--sequence", "100000", "--allow-jump")
    check("publish: --allow-jump lets it jump", done.returncode == 0, done.stderr)


def patched_releases(work):
    """A changed file arrives as a patch from the installed one, and every way a patch can fail
    falls back to the whole file without a box."""
    import random
    rnd = random.Random(25)
    src, root = os.path.join(work, "psrc"), os.path.join(work, "proot")
    area, state = os.path.join(root, AREA), os.path.join(work, "patches.sequence")
    table = bytearray(rnd.randbytes(300_000))
    inst = os.path.join(work, "pinst")
    write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")

    def release(version):
        at = rnd.randrange(len(table) - 64)
        table[at:at + 64] = rnd.randbytes(64)
        write(os.path.join(src, "tabela.dat"), bytes(table))
        publish(src, root, version, "--sign", key("a"), "--state", state)
        return [n for n in os.listdir(area) if n.endswith(".vcdiff")]

    release("1.0")
    with Server(root) as server:
        run(SIGNED, inst, server)
    for version, label, spoil, patched in (
            ("2.0", "a patch", None, True),
            ("3.0", "a missing patch", os.remove, False),
            ("4.0", "a garbled patch", lambda p: write(p, b"\xd6\xc3\xc4\x00 garbled"), False),
            ("5.0", "a patch changed on the server", lambda p: write(p, read(p)[:-1] + b"!"),
             False)):
        names = release(version)
        for name in names if spoil else []:
            spoil(os.path.join(area, name))
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        wire = [line for line in log if "tabela.dat" in line]
        whole = "GET /files/Contrib/tabela.dat HTTP/1.1" in wire
        check(f"{label}: the new file, no box", rc == 0 and "box:" not in out
              and read(os.path.join(inst, "tabela.dat")) == bytes(table), out)
        asked = [line for line in wire if line.startswith("GET /files/") and ".vcdiff" in line]
        check(f"{label}: " + ("the patch alone" if patched else "then the whole file"),
              (not whole if patched else whole) and len(asked) == 1
              and asked[0].split()[1].rpartition("/")[2] in names, wire)
        check(f"{label}: nothing left beside it", sorted(os.listdir(inst)) == [
            "Local", "QVBrelmox.ini", "QVBrelmox2.ini", "tabela.dat"], os.listdir(inst))


def staged_releases(work):
    """A candidate beside the stable release: installed when due for the installation's group,
    not before; withdrawn, the stable files come back although their versions are the same;
    an older candidate and one for another area are refused without a box; the next report
    tells how the last check ended."""
    src, root = os.path.join(work, "csrc"), os.path.join(work, "croot")
    area, state = os.path.join(root, AREA), os.path.join(work, "staged.sequence")
    inst = os.path.join(work, "cinst")
    write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")

    def publish_release(body, *extra):
        write(os.path.join(src, "tabela.dat"), body)
        # The same listed version for both: only the bytes tell the releases apart.
        publish(src, root, "5.0", "--sign", key("a"), "--state", state,
                "--file-version", "tabela.dat=5", *extra)

    def check_once():
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            return rc, out, server.requests()

    publish_release(b"stable table")
    check_once()
    publish_release(b"candidate table", "--candidate", "--hours", "1", "--start",
                    "2020-01-01T00:00:00Z")
    due_candidate = {n: read(os.path.join(area, n)) for n in ("Candidato.txt", "Candidato.sig")}
    rc, out, log = check_once()
    check("candidate due: installed from its folder, no box", "box:" not in out
          and read(os.path.join(inst, "tabela.dat")) == b"candidate table"
          and "GET /files/Contrib/candidato-2/tabela.dat HTTP/1.1" in log
          and "GET /md5.php?files/Contrib/candidato-2/tabela.dat HTTP/1.1" in log, (out, log))
    check("candidate due: the group drawn once, the candidate's floor kept",
          "Grupo=" in ini(inst) and "SequenciaCandidato=2" in ini(inst), ini(inst))
    group = ini(inst).split("Grupo=")[1].split("\r\n")[0]
    rc, out, log = check_once()
    check("the next report tells the outcome", any(
        "&Atualizacao=5.0;ok HTTP" in line for line in log), log)
    check("the group stays", ini(inst).split("Grupo=")[1].split("\r\n")[0] == group)

    for name in due_candidate:  # withdrawn: halted
        os.remove(os.path.join(area, name))
    rc, out, log = check_once()
    check("candidate withdrawn: the stable file back, though its version is the same",
          read(os.path.join(inst, "tabela.dat")) == b"stable table" and "box:" not in out
          and "GET /files/Contrib/tabela.dat HTTP/1.1" in log, (out, log))

    publish_release(b"later table", "--candidate", "--hours", "1", "--start", "2999-01-01T00:00:00Z")
    rc, out, log = check_once()
    check("candidate not yet due: the stable release stays, nothing of it requested",
          read(os.path.join(inst, "tabela.dat")) == b"stable table"
          and not any("candidato-" in line for line in log), log)

    # Refused candidates: older than one already taken, or signed for another area.
    for name, body in due_candidate.items():
        write(os.path.join(area, name), body)
    publish_release(b"newer table", "--candidate", "--hours", "1", "--start", "2020-01-01T00:00:00Z")
    check_once()
    newer = read(os.path.join(inst, "tabela.dat"))
    for label, change in (
            ("an older candidate", lambda: [write(os.path.join(area, n), b)
                                            for n, b in due_candidate.items()]),
            ("a candidate for another area", lambda: openssl_sign(
                area, read(os.path.join(area, "Candidato.txt")).decode("latin-1")
                .replace("Area=Contrib", "Area=Beta").split("\r\n")[:-1], key("a"),
                "Candidato"))):
        change()
        rc, out, log = check_once()
        check(f"{label}: refused without a box, the stable release installed", "box:" not in out
              and read(os.path.join(inst, "tabela.dat")) == b"stable table"
              and newer == b"newer table", (out, log))

    # A newer stable release ends every older candidate: one replayed (a stale mirror, or
    # someone in the middle) is refused by an installation that never took a candidate, whose
    # own floor is still 0.
    fresh = os.path.join(work, "cfresh")
    write(os.path.join(fresh, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")
    publish_release(b"stable table 2")
    for name, body in due_candidate.items():
        write(os.path.join(area, name), body)
    # (The first keeps its stable file: the listed version did not change.)
    for label, target, table in (("an installation that took candidates", inst, b"stable table"),
                                 ("an installation that never did", fresh, b"stable table 2")):
        with Server(root) as server:
            rc, out = run(SIGNED, target, server)
            log = server.requests()
        check(f"a candidate older than the stable release, {label}: refused, no box",
              "box:" not in out and read(os.path.join(target, "tabela.dat")) == table
              and not any("candidato-" in line for line in log), (out, log, ini(target)))


def halted_mid_switch(work):
    """A candidate whose first file installed and whose second failed, then halted: the next
    check brings back every stable file, though the versions match and no check completed."""
    src, root = os.path.join(work, "hsrc"), os.path.join(work, "hroot")
    area, state = os.path.join(root, AREA), os.path.join(work, "halted.sequence")
    inst = os.path.join(work, "hinst")
    write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")

    def publish_release(tag, *extra):
        for name in ("a.dat", "b.dat"):
            write(os.path.join(src, name), tag + b" " + name.encode())
        publish(src, root, "5.0", "--sign", key("a"), "--state", state, "--file-version",
                "a.dat=5", "--file-version", "b.dat=5", *extra)

    def check_once():
        with Server(root) as server:
            return run(SIGNED, inst, server)[1]

    publish_release(b"stable")
    check_once()
    publish_release(b"candidate", "--candidate", "--hours", "1", "--start", "2020-01-01T00:00:00Z")
    folder = next(d for d in os.listdir(area) if d.startswith("candidato-"))
    write(os.path.join(area, folder, "b.dat"), b"not what was signed")
    out = check_once()
    check("half a candidate: its first file in, its second refused",
          read(os.path.join(inst, "a.dat")) == b"candidate a.dat"
          and read(os.path.join(inst, "b.dat")) == b"stable b.dat"
          and "box: N\xe3o consegui buscar b.dat no servidor..." in out
          and "Troca=1" in ini(inst), (out, ini(inst)))
    for name in ("Candidato.txt", "Candidato.sig"):
        os.remove(os.path.join(area, name))
    out = check_once()
    check("halted half-way: every stable file back, the switch ended", "box:" not in out
          and read(os.path.join(inst, "a.dat")) == b"stable a.dat"
          and read(os.path.join(inst, "b.dat")) == b"stable b.dat"
          and "Troca=" not in ini(inst), (out, ini(inst)))


def over_tls(work):
    """The same signed release over https: installed through a recording proxy that sees none of
    the user's data; every certificate that must be refused gives one box and no request; the
    build without roots trusts only the platform's store, which does not hold the test CA."""
    certs = make_certificates(os.path.join(work, "tls"), os.path.join(BUILT_KEYS, "tls-ca.pem"),
                              os.path.join(BUILT_KEYS, "tls-ca.key"))
    src, root = os.path.join(work, "tls-src"), os.path.join(work, "tls-root")
    write(os.path.join(src, "Tabela.dat"), b"tabela por https")
    publish(src, root, "1.0", "--sign", key("a"), "--state", os.path.join(work, "tls.sequence"))
    inst = os.path.join(work, "tls-inst")
    user = b"[Unidade]\r\nUnidade=31\r\nUsuario=Maria Sigilo\r\nTelefone=5551234\r\n" \
           b"Email=maria@sigilo.example\r\n"
    write(os.path.join(inst, "QVBrelmox.ini"), user)

    def run_tls(program, name, port=None):
        with Server(root, "--tls-cert", certs[name][0], "--tls-key", certs[name][1]) as server:
            with RecordingProxy(port or server.port) as proxy:
                done = subprocess.run(EMULATOR + [program, "--dir", program_path(inst),
                                                  "--server", f"https://127.0.0.1:{proxy.port}"],
                                      capture_output=True, timeout=120)
                time.sleep(0.2)
                seen = bytes(proxy.seen)
            return (done.returncode, (done.stdout + done.stderr).decode("latin-1"),
                    server.requests(), seen)

    rc, out, log, seen = run_tls(SIGNED, "valid")
    check("https: the signed release installs", rc == 0 and "box:" not in out
          and read(os.path.join(inst, "Tabela.dat")) == b"tabela por https", out)
    check("https: the same requests in the same order",
          [line.split("?")[0] if "QVBrelmoxDLL" in line else line for line in log] == [
              "GET /Ok HTTP/1.1", "GET /cgi-bin/QVBrelmoxDLL.dll",
              "GET /files/Contrib/Manifesto.txt HTTP/1.1", "GET /files/Contrib/Manifesto.sig HTTP/1.1",
              "GET /files/Contrib/Candidato.txt HTTP/1.1",
              "GET /files/Contrib/QVBrelmox2.ini HTTP/1.1",
              "GET /md5.php?files/Contrib/QVBrelmox2.ini HTTP/1.1",
              "GET /files/Contrib/Versao.txt HTTP/1.1", "GET /md5.php?files/Contrib/Versao.txt HTTP/1.1",
              "GET /files/Contrib/Tabela.dat HTTP/1.1", "GET /md5.php?files/Contrib/Tabela.dat HTTP/1.1"]
          and "User=Maria%20Sigilo" in log[1], "\n".join(log))
    check("https: nothing of the user on the wire", seen and not any(
        secret in seen for secret in (b"Maria", b"Sigilo", b"5551234", b"sigilo.example",
                                      b"QVBrelmoxDLL", b"Tabela")), len(seen))
    for name in ("expired", "other-host", "rogue"):
        rc, out, log, _ = run_tls(SIGNED, name)
        check(f"https, {name} certificate: one box, no request", rc == 0 and out.count("box:") == 1
              and UNVERIFIED_SERVER in out and log == [], out + "\n".join(log))
    rc, out, log, _ = run_tls(UNSIGNED, "valid")
    check("https, the platform's store: the test CA is not in it", rc == 0
          and out.count("box:") == 1 and UNVERIFIED_SERVER in out and log == [], out)


def main():
    global KEYS
    work = tempfile.mkdtemp(prefix="qvb-signed-e2e-")
    try:
        KEYS = os.path.join(work, "keys")
        # The keys alone: a signing state another run left beside them is not this test's.
        shutil.copytree(BUILT_KEYS, KEYS, ignore=shutil.ignore_patterns("*.sequence"))
        src, root = os.path.join(work, "src"), os.path.join(work, "root")
        area = os.path.join(root, AREA)
        write(os.path.join(src, "QVBrelmoxApp.exe"), b"MZ app 1")
        write(os.path.join(src, "sub", "tabela.dat"), bytes(range(256)) * 16)
        publish(src, root, "1.0", "--sign", key("a"))
        inst = os.path.join(work, "inst")
        os.makedirs(os.path.join(inst, "sub"))  # the launcher makes no folders for files
        write(os.path.join(inst, "QVBrelmox.ini"), b"[Unidade]\r\nUnidade=9\r\n")

        # A signed release installs, after the manifest and its signature were fetched. On
        # Windows the check runs beside a bcrypt.dll planted in its folder, with the loader
        # told to prefer such a file as Windows does: the system's own must be the one taken.
        program, env = SIGNED, None
        if os.environ.get("QVB_PLANTED_DLL"):
            program = os.path.join(work, "programs", os.path.basename(SIGNED))
            os.makedirs(os.path.dirname(program))
            shutil.copy(SIGNED, program)
            shutil.copy(os.environ["QVB_PLANTED_DLL"], os.path.dirname(program))
            env = dict(os.environ, WINEDLLOVERRIDES="bcrypt=n,b;mscoree,mshtml=")
        with Server(root) as server:
            rc, out = run(program, inst, server, env)
            log = server.requests()
        check("signed release: no message", rc == 0 and "box:" not in out, out)
        check("signed release: manifest and signature right after the report, then the "
              "candidate's manifest (none here, the one new request)",
              log[0] == "GET /Ok HTTP/1.1" and "QVBrelmoxDLL" in log[1] and log[2:6] ==
              ["GET /files/Contrib/Manifesto.txt HTTP/1.1",
               "GET /files/Contrib/Manifesto.sig HTTP/1.1",
               "GET /files/Contrib/Candidato.txt HTTP/1.1",
               "GET /files/Contrib/QVBrelmox2.ini HTTP/1.1"], "\n".join(log))
        check("signed release: files in place",
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1"
              and read(os.path.join(inst, "sub", "tabela.dat")) == bytes(range(256)) * 16)
        check("signed release: sequence kept", "Sequencia=1" in ini(inst), ini(inst))

        patched_releases(work)
        staged_releases(work)
        halted_mid_switch(work)

        # A forged executable whose MD5 the server forged too: refused, nothing written.
        write(os.path.join(src, "QVBrelmoxApp.exe"), b"MZ app 2")
        publish(src, root, "2.0", "--sign", key("a"))
        release2 = os.path.join(work, "release2")
        copy_tree(root, release2)
        write(os.path.join(area, "QVBrelmoxApp.exe"), b"MZ evil")
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
        check("forged file: the digest message",
              "box: N\xe3o consegui buscar QVBrelmoxApp.exe no servidor..." in out, out)
        check("forged file: the installed file stays",
              read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 1")
        check("forged file: the sequence rose when the manifest was accepted",
              "Sequencia=2" in ini(inst), ini(inst))
        # The build without keys takes the same forged file, with exactly today's requests.
        plain = os.path.join(work, "plain")
        copy_tree(inst, plain)
        with Server(root) as server:
            rc, out = run(UNSIGNED, plain, server)
            log = server.requests()
        check("without keys: no manifest requested",
              not any("Manifesto" in line for line in log), "\n".join(log))
        check("without keys: the forged file is taken",
              read(os.path.join(plain, "QVBrelmoxApp.exe")) == b"MZ evil")
        shutil.rmtree(root)
        copy_tree(release2, root)

        # Manifests that must be refused: one box, nothing of the release requested or changed.
        def refused(label, change):
            shutil.rmtree(root)
            copy_tree(release2, root)
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
        copy_tree(release2, root)
        publish(src, root, "2.0", "--sign", key("b"), "--sequence", "7")
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
        check("second key: accepted", "box:" not in out
              and read(os.path.join(inst, "QVBrelmoxApp.exe")) == b"MZ app 2", out)
        check("second key: sequence kept", "Sequencia=7" in ini(inst), ini(inst))

        # A replayed older release (sequence 2 after 7) is refused.
        refused_replay = os.path.join(work, "replay")
        copy_tree(release2, refused_replay)
        write(os.path.join(inst, "QVBrelmoxApp.exe"), b"MZ app 1")
        shutil.rmtree(root)
        copy_tree(refused_replay, root)
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        check("replayed release: refused", REFUSED in out and len(log) == 4, out)

        # Signed with the openssl command line alone; a listed file the manifest leaves out is
        # handled as a digest mismatch, the others install, the sequence does not move.
        write(os.path.join(src, "extra.dat"), b"not in the manifest")
        publish(src, root, "3.0")
        names = ["QVBrelmox2.ini", "Versao.txt", "QVBrelmoxApp.exe", "sub\\tabela.dat"]
        openssl_sign(area, ["Release=3.0", "Sequence=8", "Area=Contrib"] +
                     [entry(area, n) for n in names], key("a"))
        with Server(root) as server:
            rc, out = run(SIGNED, inst, server)
            log = server.requests()
        check("openssl-signed manifest accepted", REFUSED not in out
              and "VersaoAtual=3.0" in ini(inst), out)
        check("unlisted file refused like a digest mismatch",
              "box: N\xe3o consegui buscar extra.dat no servidor..." in out
              and not os.path.exists(os.path.join(inst, "extra.dat")), out)
        check("unlisted file: never requested", not any("extra.dat" in line for line in log),
              "\n".join(log))
        check("unlisted file: the sequence is the accepted one's", "Sequencia=8" in ini(inst),
              ini(inst))

        rollback_and_areas(work, inst)
        over_tls(work)

        # publish refuses a sequence that does not grow and a key that is not P-256.
        for label, extra in (("sequence that does not grow", ["--sign", key("a"), "--sequence",
                                                               "2"]),
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
