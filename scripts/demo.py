#!/usr/bin/env python3
"""The demo's run (see scripts/demo): BIN_DIR KIND."""

import glob
import hashlib
import os
import shutil
import subprocess
import sys
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from bmp2png import read_bmp, write_png  # noqa: E402
from e2e_support import Deployment, ReferenceServer  # noqa: E402
from proxy_support import (CONNECTIONS, DIRECT, PASSWORD, PROXY, USER, Squid,  # noqa: E402
                           connection_settings)
from tls_support import make_certificates  # noqa: E402
from winenv import WineDesktop, wait_for, windows_path  # noqa: E402

SERVER = os.path.join(TOP, "tools", "update-server", "update_server.py")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def show_folder(label, folder):
    print(f"demo: {label}:")
    for path in sorted(glob.glob(os.path.join(folder, "**"), recursive=True)):
        if os.path.isfile(path):
            print(f"    {os.path.relpath(path, folder)} ({os.path.getsize(path)} bytes)")
    profile = os.path.join(folder, "QVBrelmox.ini")
    if os.path.exists(profile):
        with open(profile, "rb") as f:
            print("    QVBrelmox.ini: " + f.read().decode("latin-1").replace("\r\n", " | "))


def msi_demo(exe, kind, root, demo):
    """--msi: the package installed silently with an office's values into a fresh Wine prefix,
    then the installed launcher's first start against the reference server."""
    out = subprocess.run([sys.executable, os.path.join(TOP, "packaging", "build_msi.py"),
                          "--launcher", exe("QVBrelmox"), "--version", "1.0.0", "--out", demo],
                         check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    office = ["UNIDADE=1001", "USUARIO=Maria Souza", "TELEFONE=11 5555-0100",
              "EMAIL=maria@example.com"]
    print(f"demo: built {os.path.relpath(out, TOP)}; installing it as an office's IT would:")
    print("    msiexec /i QVBrelmox-1.0.0.msi /qn " + " ".join(
        f'{o.split("=")[0]}="{o.split("=")[1]}"' for o in office))
    prefix = os.path.join(TOP, "build", "wine", f"demo-msi-{kind}")
    shutil.rmtree(prefix, ignore_errors=True)  # a machine that never had the launcher
    user = os.environ.get("USER") or "root"
    folder = os.path.join(prefix, "drive_c", "users", user, "AppData", "Local", "QVBrelmox")
    with ReferenceServer(root) as server, WineDesktop(
            os.path.join(TOP, "scripts", "wine-run"), kind, prefix,
            display=os.environ.get("DISPLAY") or None) as desk:
        rc, _ = desk.run(["msiexec", "/i", windows_path(out), "/qn", *office], timeout=300)
        print(f"demo: msiexec ended with {rc}")
        show_folder("installed, before the first start", folder)
        record = os.path.join(demo, "app-started.txt")
        installed = f"C:\\users\\{user}\\AppData\\Local\\QVBrelmox\\QVBrelmox.exe"
        launcher = desk.start([installed],
                              env={"QVBRELMOX_SERVER": server.address,
                                   "STUB_RECORD": windows_path(record),
                                   "STUB_CLOSE_LAUNCHER": "1"})
        launcher.communicate(timeout=180)
        print("demo: requests the server answered:")
        for line in server.requests():
            print("   ", line)
        show_folder("after the launcher's first start", folder)
    started = os.path.exists(record)
    print("demo: the application was " + ("started" if started else "NOT started"))
    return 0 if rc == 0 and started else 1


def main():
    bin_dir, kind = sys.argv[1], sys.argv[2]
    # --signed: the release is signed with a test key, and the launcher built with the test
    # keys verifies it before installing anything.
    signed = "--signed" in sys.argv[3:]
    # --https: the launcher that trusts the test CA talks https to a server holding a certificate
    # made from it; that launcher is also the one with the test keys, so the release is signed.
    https = "--https" in sys.argv[3:]
    signed = signed or https
    # --nginx: the release served the production way (nginx from deploy's configuration, the
    # report service behind it) instead of by the reference server.
    nginx = "--nginx" in sys.argv[3:]
    # --proxy: the office reaches the server only through squid, which signs users on with
    # NTLM; the prefix's settings point at it and the user's credentials are in Credential
    # Manager, so the launcher signs on with no password asked.
    proxy = "--proxy" in sys.argv[3:]
    keys = os.path.join(os.path.dirname(os.path.abspath(bin_dir)), "testkeys")
    exe = lambda name: os.path.join(bin_dir, name + ".exe")
    demo = os.path.join(TOP, "build", "demo")
    shutil.rmtree(demo, ignore_errors=True)
    src, root, inst = (os.path.join(demo, d) for d in ("release", "server-root", "install"))
    for d in (src, inst):
        os.makedirs(d)

    # The release on the server: the application (the stub stands in for it), a data table and
    # a text for the user.
    shutil.copy(exe("stub-app"), os.path.join(src, "QVBrelmoxApp.exe"))
    with open(os.path.join(src, "TabelaIR.dat"), "wb") as f:
        f.write(b"faixa;aliquota\r\n" + b"".join(b"%d;%d\r\n" % (i * 1000, i) for i in range(50)))
    with open(os.path.join(src, "Leia-me.txt"), "wb") as f:
        f.write(b"QV/Brelmox 2026.12: novas tabelas do imposto.\r\n")
    # Each demo signs afresh: its signing state lives with the demo, not beside the test key.
    sign = ["--sign", os.path.join(keys, "a.pem"), "--state",
            os.path.join(demo, "signing.sequence")] if signed else []
    subprocess.run([sys.executable, SERVER, "publish", src, "--root", root, "--version",
                    "2026.12", "--date", "08/12/2026", *sign], check=True,
                   stdout=subprocess.DEVNULL)

    if "--msi" in sys.argv[3:]:
        return msi_demo(exe, kind, root, demo)

    # An installation one release behind: last month's application and table.
    # The launcher built with the test keys is a test artefact: it lives in the tests' tree.
    testkeys_launcher = os.path.join(os.path.dirname(os.path.abspath(bin_dir)), "tests",
                                     "QVBrelmox-testkeys.exe")
    shutil.copy(testkeys_launcher if signed else exe("QVBrelmox"),
                os.path.join(inst, "QVBrelmox.exe"))
    with open(exe("stub-app"), "rb") as f:
        old_app = f.read() + b"\0release 2026.11"
    with open(os.path.join(inst, "QVBrelmoxApp.exe"), "wb") as f:
        f.write(old_app)
    with open(os.path.join(inst, "TabelaIR.dat"), "wb") as f:
        f.write(b"faixa;aliquota\r\n0;0\r\n")
    with open(os.path.join(inst, "QVBrelmox.ini"), "wb") as f:
        f.write(b"[Unidade]\r\nUnidade=1001\r\nUsuario=Maria Souza\r\nTelefone=11 5555-0100\r\n"
                b"Email=maria@example.com\r\n\r\n[Versao]\r\nVersaoAtual=2026.11\r\n"
                b"DataVersaoAtual=10/11/2026\r\nQVBrelmoxApp.exe=2026.11\r\nTabelaIR.dat=2026.11\r\n")
    before = {n: digest(os.path.join(inst, n)) for n in os.listdir(inst)}

    tls = make_certificates(os.path.join(demo, "tls"), os.path.join(keys, "tls-ca.pem"),
                            os.path.join(keys, "tls-ca.key"))["valid"] if https else None
    if nginx:
        server = Deployment(root, tls=tls)
    else:
        server = ReferenceServer(root, *(("--tls-cert", tls[0], "--tls-key", tls[1]) if tls else ()))
    squid = Squid("ntlm") if proxy else None
    with server:
        address = server.address
        if https:
            address = f"https://127.0.0.1:{server.tls_port if nginx else server.port}"
        print(f"demo: update server ({'nginx deployment' if nginx else 'reference server'}) on "
              f"{address}, release 2026.12 published" + (", signed" if signed else ""))
        prefix = os.path.join(TOP, "build", "wine", f"demo-{kind}")
        with WineDesktop(os.path.join(TOP, "scripts", "wine-run"), kind, prefix,
                         display=os.environ.get("DISPLAY") or None) as desk:
            if proxy:
                print(f"demo: squid with NTLM on {squid.address}; the user's settings point at it")
                desk.run([exe("credwrite"), "domain", "127.0.0.1", USER, PASSWORD])
                desk.run(["reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t",
                          "REG_BINARY", "/d",
                          connection_settings(DIRECT | PROXY, squid.address).hex(), "/f"])
            boxes_file, stop = os.path.join(demo, "boxes.txt"), os.path.join(demo, "boxes.stop")
            boxes = desk.start([exe("uiprobe"), "boxes", windows_path(boxes_file),
                                windows_path(stop)])
            shot = os.path.join(demo, "splash.bmp")
            camera = desk.start([exe("uiprobe"), "shot", windows_path(shot), "30000"])
            record = os.path.join(inst, "app-started.txt")
            started = time.time()
            launcher = desk.start(
                [windows_path(os.path.join(inst, "QVBrelmox.exe"))],
                env={"QVBRELMOX_SERVER": address, "STUB_RECORD": windows_path(record),
                     "STUB_CLOSE_LAUNCHER": "1"})
            launcher.communicate(timeout=180)
            elapsed = time.time() - started
            camera.wait(timeout=60)
            open(stop, "w").close()
            boxes.wait(timeout=30)
            if proxy:  # the demo's prefix goes back to direct connections
                desk.run(["reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t",
                          "REG_BINARY", "/d", connection_settings(DIRECT).hex(), "/f"])
        requests = server.requests()
        proxied = squid.log() if proxy else []
        if proxy:
            squid.stop()
        if nginx:
            stored = server.stored_reports()

    print(f"demo: the launcher ran for {elapsed:.1f} s and ended with exit code "
          f"{launcher.returncode}")
    print("demo: requests the server answered:")
    for line in requests:
        print("   ", line)
    if proxy:
        print("demo: squid's log (client port, method, URL, user, status, cache):")
        for entry in proxied:
            print("   ", " ".join(entry))
    if nginx:
        print(f"demo: the report service stored {len(stored)} report(s): "
              + "; ".join(f"unit {unit} from {peer}" for peer, _, unit in stored))
    print("demo: files brought up to date:")
    for name in sorted(os.listdir(inst)):
        path = os.path.join(inst, name)
        if os.path.isfile(path) and before.get(name) != digest(path) and name != "app-started.txt":
            print(f"    {name} ({'changed' if name in before else 'new'}, "
                  f"{os.path.getsize(path)} bytes)")
    if os.path.exists(boxes_file) and os.path.getsize(boxes_file):
        print("demo: message boxes shown:")
        with open(boxes_file, "rb") as f:
            print(f.read().decode("latin-1"))
    if os.path.exists(record):
        with open(record, "rb") as f:
            fields = dict(l.split("=", 1) for l in f.read().decode("latin-1").splitlines())
        print("demo: the application was started with the command line:")
        print("   ", fields.get("cmdline", ""))
        print(f"    in {fields.get('cwd', '')}; it read the status line \"{fields.get('status')}\"")
    else:
        print("demo: the application was NOT started")
    if os.path.exists(shot):
        png = os.path.join(demo, "splash.png")
        write_png(png, *read_bmp(shot))
        print(f"demo: splash screenshot in {os.path.relpath(png, TOP)}")
    return 0 if launcher.returncode == 0 and os.path.exists(record) else 1


if __name__ == "__main__":
    sys.exit(main())
