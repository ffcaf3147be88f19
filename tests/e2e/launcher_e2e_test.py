#!/usr/bin/env python3
"""The real launcher under Wine on a private Xvfb desktop, with the reference update server on
loopback, the stub application in place of the managed application, and uiprobe pressing OK on
every message box (recording caption, icon and text).
Usage: launcher_e2e_test.py QVBRELMOX_EXE STUB_APP_EXE UIPROBE_EXE ARTIFACT_DIR WINE_RUN KIND
                            [SIGNED_QVBRELMOX_EXE KEY_DIR]"""

import os
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bmp2png import read_bmp, write_png  # noqa: E402
from e2e_support import (Deployment, ReferenceServer as Server, check, publish,  # noqa: E402
                         read, refused_address as unreachable_address, summary)
from winenv import WineDesktop, wait_for, windows_path  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "update-server"))
from static_release import front_form  # noqa: E402
from tls_support import RecordingProxy, make_certificates  # noqa: E402

LAUNCHER, STUB, PROBE, ARTIFACTS, WINE_RUN, KIND = sys.argv[1:7]
SIGNED_LAUNCHER, KEYS = (sys.argv[7:9] + [None, None])[:2]
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
HANDLES = r"HKCU\Software\Dravo\Handles"
NOT_FOUND_BOX = "N\xe3o consegui buscar {} no servidor..."


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Boxes:
    """The message boxes uiprobe found, read as they are appended."""

    def __init__(self, desk, work):
        self.path = os.path.join(work, "boxes.txt")
        self.stop_file = os.path.join(work, "boxes.stop")
        open(self.path, "wb").close()
        self.proc = desk.start([PROBE, "boxes", windows_path(self.path),
                                windows_path(self.stop_file)])
        self.seen = 0

    def new(self):
        lines = read(self.path).decode("latin-1").splitlines()
        fresh, self.seen = lines[self.seen:], len(lines)
        boxes = []
        for line in fresh:
            caption, icon, text, above = line.split("\t")
            text = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)),
                          text)
            boxes.append({"caption": caption, "icon": icon, "text": text,
                          "above_splash": above.endswith("1")})
        return boxes

    def count(self):
        return len(read(self.path).splitlines())

    def close(self):
        open(self.stop_file, "w").close()
        self.proc.wait(timeout=30)


class Installation:
    """A launcher folder: the launcher, a profile file with the user's identification, and
    optionally the stub application under a managed application's name."""

    def __init__(self, work, name, app=True):
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        shutil.copy(LAUNCHER, os.path.join(self.dir, "QVBrelmox.exe"))
        if app:
            shutil.copy(STUB, os.path.join(self.dir, "QVBrelmoxApp.exe"))
        write(os.path.join(self.dir, "QVBrelmox.ini"),
              b"[Unidade]\r\nUnidade=42\r\nUsuario=Jo\xe3o\r\n")
        self.record = os.path.join(self.dir, "record.txt")
        self.app_dir = windows_path(self.dir) + "\\"

    def file(self, name):
        return os.path.join(self.dir, name)

    def stub_record(self, path=None):
        path = path or self.record
        if not os.path.exists(path):
            return None
        result = {}
        for line in read(path).decode("latin-1").splitlines():
            key, _, value = line.partition("=")
            result.setdefault(key, value if key != "syscommand" else [])
            if key == "syscommand":
                result[key].append(int(value))
        return result


def launch(desk, inst, server, params=(), stub_env=None, timeout=150):
    """Runs the launcher to its end; the stub application ends it with message 1025."""
    env = {"QVBRELMOX_SERVER": server, "STUB_RECORD": windows_path(inst.record),
           "STUB_CLOSE_LAUNCHER": "1"}
    env.update(stub_env or {})
    start = time.time()
    proc = desk.start([inst.app_dir + "QVBrelmox.exe", *params], env=env)
    proc.communicate(timeout=timeout)
    return proc.returncode, time.time() - start


def expected_line(inst, name, tail):
    return (re.escape(f"{inst.app_dir}{name} //OK //") + r"(-?\d+) //(-?\d+)" +
            re.escape(f' /Contrib /AppDir:"{inst.app_dir}" {tail[0]} {tail[1]} {tail[2]}') + "$")


def check_started(label, inst, name="QVBrelmoxApp", tail=("", "", ""), cwd=None, record=None,
                  sees_status=True):
    rec = inst.stub_record(record)
    check(f"{label}: application started", rec is not None, inst.dir)
    if rec is None:
        return None
    m = re.match(expected_line(inst, name, tail), rec.get("cmdline", ""))
    check(f"{label}: command line", m is not None and m.group(1) != m.group(2),
          rec.get("cmdline"))
    check(f"{label}: current directory", rec.get("cwd") == (cwd or inst.app_dir.rstrip("\\")),
          rec.get("cwd"))
    if sees_status:
        check(f"{label}: status line seen by the application",
              rec.get("status") == "Carregando...", rec.get("status"))
    return rec


def screenshot_checks(bmp):
    if not os.path.exists(bmp):
        check("splash screenshot taken", False)
        return
    width, height, rows = read_bmp(bmp)
    os.makedirs(ARTIFACTS, exist_ok=True)
    png = os.path.join(ARTIFACTS, "splash.png")
    write_png(png, width, height, rows)
    check("splash is 330 x 202", (width, height) == (330, 202), f"{width} x {height}")
    pixel = lambda x, y: tuple(rows[y][3 * x:3 * x + 3])
    colours = {rows[y][3 * x:3 * x + 3] for y in range(height) for x in range(0, width, 3)}
    check("splash is not blank", len(colours) >= 4, f"{len(colours)} colours")
    check("splash background white, title band silver",
          pixel(2, 2) == (255, 255, 255) and pixel(2, 100) == (192, 192, 192),
          f"{pixel(2, 2)} {pixel(2, 100)}")


RELEASE = {"QVBrelmoxApp.exe": None, "tabela.dat": bytes(range(256)) * 64,
           "Leia-me.txt": b"Vers\xe3o nova\r\n"}


def publish_release(work):
    """The release most scenarios serve: the stub application, a table and a text."""
    src, root = os.path.join(work, "rel1"), os.path.join(work, "root1")
    for name, body in RELEASE.items():
        write(os.path.join(src, name), body if body is not None else read(STUB))
    publish(src, root, "5.2", date="08/12/2026")
    return root


def scenario_fresh_installation(desk, work, boxes):
    root = os.path.join(work, "root1")
    files = dict(RELEASE, **{"QVBrelmoxApp.exe": read(STUB)})
    inst = Installation(work, "fresh", app=False)
    shot = os.path.join(work, "splash.bmp")
    with Server(root) as server:
        probe = desk.start([PROBE, "shot", windows_path(shot), "30000"])
        # The application leaves the launcher waiting, so its windows can be looked at.
        proc = desk.start([inst.app_dir + "QVBrelmox.exe"],
                          env={"QVBRELMOX_SERVER": server.address,
                               "STUB_RECORD": windows_path(inst.record)})
        wait_for(lambda: inst.stub_record() is not None, 60)
        windows = desk.run([PROBE, "windows"])[1].splitlines()
        desk.run([PROBE, "close"])  # message 1025 from another process
        proc.communicate(timeout=60)
        rc = proc.returncode
        probe.wait(timeout=60)
        log = server.requests()
    check("fresh: exit code 0", rc == 0, rc)
    check("fresh: hidden application window, tool window style only",
          "application=TApplication|QVBrelmoxStart|exstyle=0x80|visible=0" in windows, windows)
    splash = [w for w in windows if w.startswith("splash=")]
    if splash:
        left, top, right, bottom = map(int, splash[0][7:].split("|")[0].split(","))
        width, height = map(int, splash[0].split("screen=")[1].split("|")[0].split(","))
        check("fresh: splash 330 x 202, centred on the screen",
              (right - left, bottom - top) == (330, 202) and left == (width - 330) // 2
              and top == (height - 202) // 2, splash)
    check("fresh: version and status lines are static windows",
          "child=Static|Vers\xe3o 5.2" in windows and "child=Static|Carregando..." in windows,
          windows)
    wanted = ["GET /Ok HTTP/1.1"]
    for name in ["QVBrelmox2.ini", "Versao.txt"] + sorted(files):
        wanted += [f"GET /files/Contrib/{name} HTTP/1.1",
                   f"GET /md5.php?files/Contrib/{name} HTTP/1.1"]
    check("fresh: requests in order",
          len(log) == len(wanted) + 1 and log[0] == wanted[0] and log[2:] == wanted[1:]
          # no version installed yet: the launcher's own file version stands in
          and log[1].startswith("GET /cgi-bin/QVBrelmoxDLL.dll?Versao=1.0.0.0&IP=")
          and "&Unid=42&User=Jo%E3o&" in log[1], "\n".join(log))
    for name, body in files.items():
        check(f"fresh: {name} in place", os.path.exists(inst.file(name))
              and read(inst.file(name)) == body)
    ini = read(inst.file("QVBrelmox.ini")).decode("latin-1")
    check("fresh: version recorded", "VersaoAtual=5.2" in ini, ini)
    check_started("fresh", inst)
    check("fresh: no message box", boxes.new() == [])
    check("fresh: AppDir in the registry",
          desk.reg_value(HANDLES, "QVBrelmox.AppDir") == inst.app_dir)
    screenshot_checks(shot)
    resources = desk.run([PROBE, "resources", inst.app_dir + "QVBrelmox.exe"])[1]
    check("launcher has an icon and an asInvoker manifest", "icon=1" in resources
          and 'requestedExecutionLevel level="asInvoker"' in resources, resources)


def scenario_nginx_deployment(desk, work, boxes):
    # The production deployment: nginx from deploy's configuration, the report service behind
    # it. Names with spaces, code page 1252 letters and a folder go through it.
    src, root = os.path.join(work, "rel-nginx"), os.path.join(work, "root-nginx")
    files = {"QVBrelmoxApp.exe": read(STUB), "Tabela IR 2026.dat": bytes(range(256)) * 300,
             "Informa\xe7\xf5es.txt": b"Vers\xe3o nova\r\n", "Local\\dados x.bin": b"local"}
    for name, body in files.items():
        write(os.path.join(src, name.replace("\\", "/")), body)
    publish(src, root, "6.0", date="08/12/2026")
    inst = Installation(work, "nginx", app=False)
    os.makedirs(inst.file("Msg"))
    with Deployment(root) as dep:
        write(os.path.join(dep.messages, "42", "aviso.txt"), b"Prazo: 30/04\r\n")
        rc, _ = launch(desk, inst, dep.address)
        seen = dep.requests()
        stored = dep.stored_reports()
    check("nginx: exit code 0", rc == 0, rc)
    for name, body in files.items():
        path = inst.file(name.replace("\\", "/"))
        check(f"nginx: {name} in place", os.path.exists(path) and read(path) == body)
    ini = read(inst.file("QVBrelmox.ini")).decode("latin-1")
    check("nginx: version recorded", "VersaoAtual=6.0" in ini, ini)
    check("nginx: report stored", len(stored) == 1 and stored[0][2] == "42"
          and "&User=Jo%E3o&" in stored[0][1], stored)
    check("nginx: queued message delivered", os.path.exists(inst.file("Msg/aviso.txt"))
          and read(inst.file("Msg/aviso.txt")) == b"Prazo: 30/04\r\n")
    check_started("nginx", inst)
    check("nginx: no message box", boxes.new() == [])
    # The same installation step against the reference server: the same requests, which
    # nginx logs after its front has escaped them.
    inst = Installation(work, "nginx-reference", app=False)
    os.makedirs(inst.file("Msg"))
    with Server(root) as server:
        launch(desk, inst, server.address)
        sent = server.requests()
    check("nginx: the same requests as to the reference server",
          len(sent) == 2 + 2 * (len(files) + 2)
          and [front_form(line.encode("latin-1")).decode("latin-1") for line in sent] == seen,
          "\n".join(sent + ["--"] + seen))


def scenario_unreachable(desk, work, boxes):
    inst = Installation(work, "offline")
    before = read(inst.file("QVBrelmox.ini"))
    rc, elapsed = launch(desk, inst, unreachable_address())
    check("offline: exit code 0", rc == 0)
    check_started("offline", inst)
    check("offline: profile untouched", read(inst.file("QVBrelmox.ini")) == before)
    check("offline: no message box", boxes.new() == [])
    check("offline: ended by message 1025, well before the close timer", elapsed < 40, elapsed)


def scenario_folder_with_a_space(desk, work, boxes):
    # Started through the bare command line, C:\...\Arquivos de Programas\QV\QVBrelmoxApp
    # would run C:\...\Arquivos.exe first: a program dropped there must never run.
    inst = Installation(work, os.path.join("Arquivos de Programas", "QV"))
    shutil.copy(STUB, os.path.join(work, "Arquivos.exe"))
    rc, _ = launch(desk, inst, unreachable_address())
    check("folder with a space: exit code 0", rc == 0)
    rec = check_started("folder with a space", inst)
    check("folder with a space: the application ran, not the decoy",
          rec is not None and rec.get("module") == inst.app_dir + "QVBrelmoxApp.exe",
          rec and rec.get("module"))
    check("folder with a space: no message box", boxes.new() == [])


def scenario_silent_server_and_bad_address(desk, work, boxes):
    # A server that accepts and never answers: the probe gives up after the client's starting
    # time-out, and the application starts well before the close timer.
    inst = Installation(work, "silent")
    before = read(inst.file("QVBrelmox.ini"))
    with Server(os.path.join(work, "root1"), "--delay", "/Ok:120000") as server:
        rc, elapsed = launch(desk, inst, server.address)
        log = server.requests()
    check("silent server: exit code 0", rc == 0)
    check_started("silent server", inst)
    check("silent server: one probe, no report", log == ["GET /Ok HTTP/1.1"], log)
    check("silent server: started within the time-out and the pauses", elapsed < 50, elapsed)
    check("silent server: no message box", boxes.new() == [])

    # An address setting that does not parse: one box naming it, no server, the start goes on.
    inst = Installation(work, "badaddress")
    before = read(inst.file("QVBrelmox.ini"))
    rc, elapsed = launch(desk, inst, "127.0.0.1:70000")
    got = boxes.new()
    check("bad address: one box naming the value",
          len(got) == 1 and 'QVBRELMOX_SERVER: "127.0.0.1:70000"' in got[0]["text"]
          and got[0]["caption"] == "QV/Brelmox" and got[0]["icon"] == "information", got)
    check_started("bad address", inst)
    check("bad address: profile untouched", read(inst.file("QVBrelmox.ini")) == before)


def scenario_hostile_server(desk, work, boxes):
    # Peers that never let a wait run out yet never finish: interim answers without end, a
    # body one byte every 5 s, a version file without end; and servers that answer rightly but
    # slowly: every answer paced just inside each wait, a listed file one byte every 10 s. The
    # application starts each time within 90 s; only the abandoned listed file shows its box.
    root = os.path.join(work, "root1")
    for label, fault, bound in (("interim answers", ["--interim", "/Ok:200"], 90),
                                ("trickled probe", ["--trickle", "/Ok:5000"], 90),
                                ("endless version file",
                                 ["--endless", "/files/Contrib/Versao.txt"], 90),
                                ("paced answers", ["--pace", "/:4500"], 90),
                                ("trickled listed file",
                                 ["--trickle", "/files/Contrib/tabela.dat:10000"], 90),
                                # 416 answers to no range, each head a byte every 10 s: one
                                # allowance per file, never a retry.
                                ("416 heads trickled",
                                 ["--trickle-head", "/files/Contrib/Leia-me.txt:10000",
                                  "--trickle-head", "/files/Contrib/tabela.dat:10000"], 90)):
        inst = Installation(work, "hostile-" + label.split()[0] + "-" + label.split()[-1])
        with Server(root, *fault) as server:
            rc, elapsed = launch(desk, inst, server.address)
            log = server.requests()
        print(f"{label}: the application started after {elapsed:.1f} s")
        check(f"{label}: started within {bound} s", rc == 0 and elapsed < bound,
              f"{elapsed:.1f} s")
        # Paced to the budget's end (or held there by the refused files), the check meets the
        # close timer: the launcher closes right after the start, before the application has
        # looked at its status line.
        late = fault[0] in ("--pace", "--trickle-head")
        if late:
            wait_for(lambda: inst.stub_record() is not None, 30)
        check_started(label, inst, sees_status=not late)
        got = boxes.new()
        if label == "416 heads trickled":
            asked = [line for line in log if "Leia-me.txt" in line or "tabela.dat" in line]
            # The second file fails past the close timer, whose end takes its box along.
            check(f"{label}: the first one's box, each asked once", [b["text"] for b in got][:1]
                  == ["N\xe3o consegui buscar Leia-me.txt no servidor..."] and len(asked) == 2,
                  (got, log))
            continue
        if label == "trickled listed file":
            check(f"{label}: its one box, the rest installed", len(got) == 1
                  and got[0]["text"] == "N\xe3o consegui buscar tabela.dat no servidor..."
                  and any("Leia-me.txt" in line for line in log), (got, log))
            continue
        check(f"{label}: no message box", got == [], got)
        if fault[1].startswith("/Ok"):
            check(f"{label}: one probe, no retry", log == ["GET /Ok HTTP/1.1"], log)
        elif fault[0] == "--pace":
            check(f"{label}: cut by the budget before the listed files",
                  not any("tabela.dat" in line for line in log), log)
        else:
            check(f"{label}: nothing listed requested",
                  log[-1] == "GET /files/Contrib/Versao.txt HTTP/1.1", log)


def scenario_signed_release(desk, work, boxes):
    # The launcher built with the test keys: a signed release installs; a forged file with a
    # forged digest is refused; a manifest that does not verify shows its one box. The
    # application starts every time.
    if not SIGNED_LAUNCHER:
        return
    src, root = os.path.join(work, "signed-src"), os.path.join(work, "signed-root")
    key = os.path.join(work, "signing", "a.pem")  # its signing state stays in this run's folder
    os.makedirs(os.path.dirname(key))
    shutil.copy(os.path.join(KEYS, "a.pem"), key)
    write(os.path.join(src, "QVBrelmoxApp.exe"), read(STUB))
    write(os.path.join(src, "tabela.dat"), b"tabela assinada")
    publish(src, root, "6.0", "--sign", key)
    inst = Installation(work, "signed", app=False)
    shutil.copy(SIGNED_LAUNCHER, inst.file("QVBrelmox.exe"))
    with Server(root) as server:
        rc, _ = launch(desk, inst, server.address)
        log = server.requests()
    check("signed: manifest and signature after the report",
          log[2:4] == ["GET /files/Contrib/Manifesto.txt HTTP/1.1",
                       "GET /files/Contrib/Manifesto.sig HTTP/1.1"], log)
    check("signed: release installed", read(inst.file("tabela.dat")) == b"tabela assinada")
    check("signed: no message box", boxes.new() == [])
    check_started("signed", inst)

    # An application that ends with a failure before the launcher does (here at its close
    # timer) is the release's outcome, which the next start's report tells.
    os.remove(inst.record)
    with Server(root) as server:
        launch(desk, inst, server.address, stub_env={"STUB_CLOSE_LAUNCHER": "", "STUB_EXIT": "3"})
    os.remove(inst.record)
    with Server(root) as server:
        launch(desk, inst, server.address)
        log = server.requests()
    check("signed: the report tells the check's outcome, then the application's failure",
          "Resultado=6.0;" in read(inst.file("QVBrelmox.ini")).decode("latin-1")
          and "&Atualizacao=6.0;aplicativo HTTP/1.1" in log[1], log[1])
    check("signed: no box for it", boxes.new() == [])

    # A candidate due for every group: the launcher installs it from its folder; withdrawn,
    # the stable file comes back.
    write(os.path.join(src, "tabela.dat"), b"tabela candidata")
    publish(src, root, "6.0", "--sign", key, "--candidate", "--hours", "1", "--start",
            "2020-01-01T00:00:00Z", "--file-version", "tabela.dat=6")
    area = os.path.join(root, "files", "Contrib")
    for step in ("due", "withdrawn"):
        if step == "withdrawn":
            for name in ("Candidato.txt", "Candidato.sig"):
                os.remove(os.path.join(area, name))
        os.remove(inst.record)
        with Server(root) as server:
            launch(desk, inst, server.address)
            log = server.requests()
        wanted = b"tabela candidata" if step == "due" else b"tabela assinada"
        check(f"signed, candidate {step}: " + ("installed from its folder" if step == "due"
                                               else "the stable file back"),
              read(inst.file("tabela.dat")) == wanted and boxes.new() == []
              and any("candidato-" in line for line in log) == (step == "due"), log)
        check_started(f"signed, candidate {step}", inst)

    area = os.path.join(root, "files", "Contrib")
    write(os.path.join(area, "tabela.dat"), b"tabela forjada")
    write(os.path.join(src, "tabela.dat"), b"tabela nova")
    publish(src, root, "6.1", "--sign", key)
    write(os.path.join(area, "tabela.dat"), b"tabela forjada")
    os.remove(inst.record)
    with Server(root) as server:
        rc, _ = launch(desk, inst, server.address)
    got = boxes.new()
    check("signed, forged file: the digest message",
          [b["text"] for b in got] == [NOT_FOUND_BOX.format("tabela.dat")], got)
    check("signed, forged file: the old file stays",
          read(inst.file("tabela.dat")) == b"tabela assinada")
    check_started("signed, forged file", inst)

    # A listed file without end: reading stops at its signed size; the start goes on in time.
    os.remove(inst.record)
    with Server(root, "--endless", "/files/Contrib/tabela.dat") as server:
        rc, elapsed = launch(desk, inst, server.address)
    got = boxes.new()
    check("signed, endless file: the digest message, started within 45 s",
          [b["text"] for b in got] == [NOT_FOUND_BOX.format("tabela.dat")] and elapsed < 45,
          f"{elapsed:.1f} s {got}")
    check("signed, endless file: the old file stays, no temporary left",
          read(inst.file("tabela.dat")) == b"tabela assinada" and not [
              n for n in os.listdir(inst.dir) if n.lower().startswith("qvb")
              and n.lower().endswith(".tmp")], os.listdir(inst.dir))
    check_started("signed, endless file", inst)

    os.remove(os.path.join(area, "Manifesto.sig"))
    os.remove(inst.record)
    before = read(inst.file("QVBrelmox.ini"))
    with Server(root) as server:
        rc, _ = launch(desk, inst, server.address)
        log = server.requests()
    got = boxes.new()
    check("signed, no signature: one information box",
          [(b["text"], b["caption"], b["icon"]) for b in got] ==
          [("N\xe3o foi poss\xedvel verificar a autenticidade da atualiza\xe7\xe3o.",
            "QV/Brelmox", "information")], got)
    check("signed, no signature: nothing of the release requested", len(log) == 4, log)
    check("signed, no signature: versions unchanged",
          read(inst.file("QVBrelmox.ini")).split(b"[Versao]")[1].split(b"[")[0]
          == before.split(b"[Versao]")[1].split(b"[")[0])
    check_started("signed, no signature", inst)


def scenario_https(desk, work, boxes):
    # The launcher built with the test CA over https: a release installs with the same requests;
    # a certificate that does not verify gives one box, nothing reaches the server, and the
    # application starts all the same.
    if not SIGNED_LAUNCHER:
        return
    certs = make_certificates(os.path.join(work, "tls"), os.path.join(KEYS, "tls-ca.pem"),
                              os.path.join(KEYS, "tls-ca.key"))
    root = os.path.join(work, "root1")
    for name in ("valid", "expired"):
        inst = Installation(work, "https-" + name)
        shutil.copy(SIGNED_LAUNCHER, inst.file("QVBrelmox.exe"))
        # A release with no manifest: the signed launcher refuses it, but only after the
        # exchange that shows the transport works; an unverified server never gets that far.
        with Server(root, "--tls-cert", certs[name][0], "--tls-key", certs[name][1]) as server:
            rc, elapsed = launch(desk, inst, f"https://127.0.0.1:{server.port}")
            log = server.requests()
        got = [b["text"] for b in boxes.new()]
        if name == "valid":
            check("https: the report and the manifest's request arrive",
                  log[:1] == ["GET /Ok HTTP/1.1"] and "QVBrelmoxDLL" in log[1]
                  and log[2] == "GET /files/Contrib/Manifesto.txt HTTP/1.1", log)
            check("https: the release without a manifest is refused", got == [
                "N\xe3o foi poss\xedvel verificar a autenticidade da atualiza\xe7\xe3o."], got)
        else:
            check("https, expired certificate: one box, nothing requested", log == [] and got == [
                "N\xe3o foi poss\xedvel verificar a identidade do servidor de atualiza\xe7\xe3o."],
                  f"{got} {log}")
        check_started(f"https, {name} certificate", inst)

    # The production deployment with TLS: the same exchange through nginx's https port.
    inst = Installation(work, "https-nginx")
    shutil.copy(SIGNED_LAUNCHER, inst.file("QVBrelmox.exe"))
    # nginx keeps connections open, so the whole check is one TLS connection.
    with Deployment(root, tls=certs["valid"]) as deployment, \
            RecordingProxy(deployment.tls_port) as proxy:
        rc, elapsed = launch(desk, inst, f"https://127.0.0.1:{proxy.port}")
        log = deployment.requests()
    got = [b["text"] for b in boxes.new()]
    check("https through nginx: one connection for the whole check", proxy.connections == 1,
          proxy.connections)
    check("https through nginx: the report and the manifest's request arrive",
          log[:1] == ["GET /Ok HTTP/1.1"] and "QVBrelmoxDLL" in log[1]
          and log[2:] == ["GET /files/Contrib/Manifesto.txt HTTP/1.1",
                          "GET /files/Contrib/Manifesto.sig HTTP/1.1"], log)
    check("https through nginx: only the release's own refusal", got == [
        "N\xe3o foi poss\xedvel verificar a autenticidade da atualiza\xe7\xe3o."], got)
    check_started("https through nginx", inst)


def scenario_faults(desk, work, boxes):
    root = os.path.join(work, "root1")
    # Invalid version file: its digest is right, its markers are missing.
    bad_root = os.path.join(work, "root-bad")
    shutil.copytree(root, bad_root)
    write(os.path.join(bad_root, "files", "Contrib", "Versao.txt"), b"tabela.dat=9\r\n")
    inst = Installation(work, "badversion")
    with Server(bad_root) as server:
        rc, _ = launch(desk, inst, server.address)
    got = boxes.new()
    check("invalid version file: message",
          [b["text"] for b in got] == ["Arquivo de vers\xe3o inv\xe1lido!"], got)
    check("invalid version file: information box above the splash",
          got and got[0]["caption"] == "QV/Brelmox" and got[0]["icon"] == "information"
          and got[0]["above_splash"], got)
    check("invalid version file: nothing downloaded", not os.path.exists(inst.file("tabela.dat")))
    check_started("invalid version file", inst)

    # Digest mismatch: the message, the old file kept, the application still started.
    inst = Installation(work, "digest")
    write(inst.file("tabela.dat"), b"old table")
    with Server(root, "--wrong-digest", "tabela.dat") as server:
        rc, _ = launch(desk, inst, server.address)
    got = boxes.new()
    check("digest mismatch: message",
          [b["text"] for b in got] == [NOT_FOUND_BOX.format("tabela.dat")], got)
    check("digest mismatch: old file kept", read(inst.file("tabela.dat")) == b"old table")
    check_started("digest mismatch", inst)

    # A file that cannot be written: a directory stands where it should go.
    inst = Installation(work, "unwritable")
    os.makedirs(inst.file("tabela.dat"))
    with Server(root) as server:
        rc, _ = launch(desk, inst, server.address)
    got = boxes.new()
    check("unwritable file: message",
          [b["text"] for b in got] == [f"N\xe3o consegui salvar {inst.app_dir}tabela.dat..."],
          got)
    check("unwritable file: no temporary left",
          sorted(os.listdir(inst.dir)) == sorted(
              ["QVBrelmox.exe", "QVBrelmoxApp.exe", "QVBrelmox.ini", "QVBrelmox2.ini",
               "Leia-me.txt", "tabela.dat", "Local", "record.txt"]), os.listdir(inst.dir))
    check_started("unwritable file", inst)


def scenario_self_replacement(desk, work, boxes):
    new_launcher = read(LAUNCHER) + b"\0delivered"
    src, root = os.path.join(work, "rel-new"), os.path.join(work, "root-new")
    write(os.path.join(src, "QVBrelmox.new"), new_launcher)
    publish(src, root, "6.0", date="08/12/2026")
    inst = Installation(work, "swap")
    write(inst.file("QVBrelmox.ant"), b"from an earlier swap")
    with Server(root) as server:
        rc, _ = launch(desk, inst, server.address)
    check("swap: delivered launcher in place", read(inst.file("QVBrelmox.exe")) == new_launcher)
    check("swap: previous launcher kept", read(inst.file("QVBrelmox.ant")) == read(LAUNCHER))
    check("swap: nothing left to swap", not os.path.exists(inst.file("QVBrelmox.new")))
    check_started("swap", inst)
    # The delivered launcher is the one that runs now.
    os.remove(inst.record)
    rc, _ = launch(desk, inst, unreachable_address())
    check("swap: the new launcher runs", rc == 0 and inst.stub_record() is not None)

    # The roll-back: the application keeps QVBrelmox.new open, so it cannot take the place.
    inst = Installation(work, "rollback")
    write(inst.file("QVBrelmox.new"), new_launcher)
    rc, _ = launch(desk, inst, unreachable_address(),
                   stub_env={"STUB_LOCK": inst.app_dir + "QVBrelmox.new", "STUB_LINGER": "8"})
    check("rollback: old launcher back in place", read(inst.file("QVBrelmox.exe"))
          == read(LAUNCHER))
    check("rollback: delivered launcher waits", read(inst.file("QVBrelmox.new")) == new_launcher)
    check("rollback: no previous launcher left", not os.path.exists(inst.file("QVBrelmox.ant")))
    # Once the lock is gone, the next exit swaps.
    wait_for(lambda: False, 8)
    rc, _ = launch(desk, inst, unreachable_address())
    check("rollback: next exit swaps", read(inst.file("QVBrelmox.exe")) == new_launcher)


def scenario_running_application(desk, work, boxes):
    for hidden in (True, False):
        label = "guard (hidden window)" if hidden else "guard (visible window)"
        inst = Installation(work, "guard-hidden" if hidden else "guard-visible")
        holder_record = os.path.join(work, f"holder-{hidden}.txt")
        # The running application, from a file of its own so the update can replace its program.
        shutil.copy(STUB, inst.file("holder.exe"))
        holder = desk.start([inst.app_dir + "holder.exe"],
                            env={"STUB_HOLD": "1", "STUB_HIDDEN": "1" if hidden else "0",
                                 "STUB_LINGER": "30", "STUB_RECORD": windows_path(holder_record)})
        wait_for(lambda: "holding" in (inst.stub_record(holder_record) or {}), 30)
        new_launcher = read(LAUNCHER) + b"\0guard"
        write(inst.file("QVBrelmox.new"), new_launcher)
        with Server(os.path.join(work, "root1")) as server:
            rc, elapsed = launch(desk, inst, server.address)
            got_boxes = boxes.new()
            check(f"{label}: ends at once, silently", rc == 0 and server.requests() == []
                  and inst.stub_record() is None and got_boxes == [],
                  f"{rc} {server.requests()} {inst.stub_record()} {got_boxes}")
            wanted = [0xF020, 0xF120] if hidden else [0xF120]
            wait_for(lambda: inst.stub_record(holder_record).get("syscommand") == wanted, 10)
            got = inst.stub_record(holder_record).get("syscommand")
            check(f"{label}: system commands to the application", got == wanted, got)
            check(f"{label}: swap on the early exit",
                  read(inst.file("QVBrelmox.exe")) == new_launcher)
            if hidden:
                # With a parameter the guard is skipped.
                rc, _ = launch(desk, inst, server.address, params=["x"])
                check("guard with a parameter: start-up goes on", len(server.requests()) > 2
                      and boxes.new() == [], server.requests())
                check_started("guard with a parameter", inst, tail=("x", "", ""))
        holder.kill()
        holder.wait()


def scenario_second_launcher(desk, work, boxes):
    inst = Installation(work, "first")
    with Server(os.path.join(work, "root1"), "--delay", "/files/Contrib/Versao.txt:6000") as a, \
            Server(os.path.join(work, "root1")) as b:
        env = {"QVBRELMOX_SERVER": a.address, "STUB_RECORD": windows_path(inst.record),
               "STUB_CLOSE_LAUNCHER": "1"}
        first = desk.start([inst.app_dir + "QVBrelmox.exe"], env=env)
        wait_for(lambda: any("Versao.txt" in l for l in a.requests()), 60)
        second = Installation(work, "second")
        start = time.time()
        rc, elapsed = launch(desk, second, b.address, params=["x"])
        check("second launcher: ends silently without a request",
              rc == 0 and b.requests() == [] and second.stub_record() is None, b.requests())
        check("second launcher: first still running", first.poll() is None)
        first.communicate(timeout=120)
        check_started("second launcher: first goes on", inst)
        check("second launcher: no message box", boxes.new() == [])


def scenario_local_drive_and_script(desk, work, boxes):
    inst = Installation(work, "local")
    qroot = os.path.join(work, "qdrive")
    work_dir = os.path.join(qroot, inst.dir.lstrip("/"))
    os.makedirs(work_dir)
    desk.map_drive("q", qroot)
    # The script looks at the splash while it runs, takes a moment, and leaves a mark.
    write(os.path.join(work_dir, "QVStart.cmd"),
          b'@echo off\r\n"' + windows_path(PROBE).encode() + b'" windows > splash-seen.txt\r\n'
          b"for /L %%i in (1,1,300) do @rem\r\necho ran> script-ran.txt\r\n")
    rc, _ = launch(desk, inst, unreachable_address(), params=["/Local:q"])
    q_dir = "Q:" + inst.app_dir[2:]
    rec = check_started("local drive", inst, tail=("/Local:q", "", ""), cwd=q_dir.rstrip("\\"))
    seen = os.path.join(work_dir, "splash-seen.txt")
    seen = read(seen).decode("latin-1") if os.path.exists(seen) else ""
    check("status line while the script runs, splash out of the topmost band",
          "child=Static|Executando QVStart.cmd..." in seen and "|topmost=0" in seen, seen)
    marker = os.path.join(work_dir, "script-ran.txt")
    check("start script ran in the work directory", os.path.exists(marker))
    if rec and os.path.exists(marker):
        check("start script ended before the application started",
              os.path.getmtime(marker) * 1000 <= int(rec["started"]) + 50,
              f"{os.path.getmtime(marker)} {rec['started']}")


def scenario_names_and_parameters(desk, work, boxes):
    inst = Installation(work, "names")
    shutil.copy(STUB, inst.file("Dolvin.exe"))
    rc, _ = launch(desk, inst, unreachable_address(),
                   params=["/Dolvin", "a", "b c", "d", "e"])
    check_started("name switch", inst, name="Dolvin", tail=("/Dolvin", "a", "b c"))


def scenario_missing_application(desk, work, boxes):
    inst = Installation(work, "noapp", app=False)
    env = {"QVBRELMOX_SERVER": unreachable_address()}
    start = time.time()
    proc = desk.start([inst.app_dir + "QVBrelmox.exe"], env=env)
    got = []
    wait_for(lambda: got.extend(boxes.new()) or got, 60)
    desk.run([PROBE, "close"])  # message 1025 from another process
    proc.communicate(timeout=60)
    check("missing application: launcher ended by message 1025",
          proc.returncode == 0 and time.time() - start < 55, time.time() - start)
    text = got[0]["text"] if got else ""
    line = f'{inst.app_dir}QVBrelmoxApp //OK //'
    check("missing application: Win32 error message",
          len(got) == 1 and got[0]["caption"] == "QV/Brelmox"
          and text.startswith("Erro Win32. C\xf3digo: 2.\n") and "\n\n" + line in text
          and not text.split("\n\n")[0].endswith((".", " ")), got)


def scenario_check_beyond_close_timer(desk, work, boxes):
    # The server holds its answers, each within the time-out in force for it, for more than
    # 60 s in all: the close timer fires meanwhile, the check and the start still run to their
    # end, and the launcher closes right after the start.
    inst = Installation(work, "slow")
    held = ["/Ok:28000"]
    for name in ("QVBrelmox2.ini", "Versao.txt"):
        held += [f"/files/Contrib/{name}:3500", f"/md5.php?files/Contrib/{name}:3500"]
    held += ["/files/Contrib/tabela.dat:13000", "/md5.php?files/Contrib/tabela.dat:13000"]
    faults = [arg for delay in held for arg in ("--delay", delay)]
    with Server(os.path.join(work, "root1"), *faults) as server:
        start = time.time()
        proc = desk.start([inst.app_dir + "QVBrelmox.exe"],
                          env={"QVBRELMOX_SERVER": server.address,
                               "STUB_RECORD": windows_path(inst.record)})
        wait_for(lambda: inst.stub_record() is not None, 150)
        started = time.time() - start
        proc.communicate(timeout=60)
        ended = time.time() - start
        requests = server.requests()
    check("long check: the update still ran", any("tabela.dat" in r for r in requests), requests)
    # The launcher closes right after the start, so its status line may be gone by the time the
    # application looks.
    check_started("long check", inst, sees_status=False)
    check("long check: the launcher closes right after the start",
          proc.returncode == 0 and started > 60 and ended - started < 10, f"{started} {ended}")


def scenario_escaped_error(desk, work, boxes):
    inst = Installation(work, "readonly")
    os.remove(inst.file("QVBrelmox.ini"))
    os.makedirs(inst.file("QVBrelmox.ini"))  # every write to it is refused
    write(inst.file("QVStart.cmd"), b"@echo ran> script-ran.txt\r\n")
    with Server(os.path.join(work, "root1")) as server:
        rc, elapsed = launch(desk, inst, server.address)
    got = boxes.new()
    check("escaped error: error box captioned with the application title",
          len(got) == 1 and got[0]["caption"] == "QVBrelmoxStart" and got[0]["icon"] == "error"
          and got[0]["text"] == f"Incapaz de escrever para {inst.app_dir}QVBrelmox.ini", got)
    check("escaped error: neither script nor application started",
          inst.stub_record() is None and not os.path.exists(inst.file("script-ran.txt")))
    check("escaped error: the close timer ends the launcher after 60 s",
          rc == 0 and 59 <= elapsed < 100, elapsed)


def main():
    work = tempfile.mkdtemp(prefix="qvb-launcher-e2e-")
    # Two halves of about the same length, each on a desktop and in a prefix of its own, so
    # that a test run can wait out their timers side by side (QVB_E2E_GROUP=1 or 2).
    halves = [[scenario_fresh_installation, scenario_faults, scenario_nginx_deployment,
               scenario_unreachable, scenario_hostile_server,
               scenario_folder_with_a_space, scenario_check_beyond_close_timer,
               scenario_escaped_error],
              [scenario_silent_server_and_bad_address, scenario_signed_release, scenario_https,
               scenario_names_and_parameters, scenario_missing_application,
               scenario_local_drive_and_script, scenario_running_application,
               scenario_second_launcher, scenario_self_replacement]]
    group = os.environ.get("QVB_E2E_GROUP")
    scenarios = halves[int(group) - 1] if group else halves[0] + halves[1]
    prefix = os.path.join(TOP, "build", "wine", f"launcher-{KIND}" + (f"-{group}" if group else ""))
    only = os.environ.get("QVB_E2E_ONLY")
    try:
        with WineDesktop(WINE_RUN, KIND, prefix) as desk:
            boxes = Boxes(desk, work)
            try:
                publish_release(work)
                for scenario in scenarios:
                    if only and only not in scenario.__name__:
                        continue
                    try:
                        scenario(desk, work, boxes)
                    except Exception as e:  # one broken scenario must not hide the others
                        check(scenario.__name__, False, repr(e))
            finally:
                boxes.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("launcher e2e")


if __name__ == "__main__":
    sys.exit(main())
