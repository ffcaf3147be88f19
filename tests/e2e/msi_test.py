#!/usr/bin/env python3
"""The MSI package under Wine's msiexec: its tables read back with msiinfo, its Authenticode
signature; a silent per-user install with the office's values, then the installed launcher's
first start updating from the reference server; an upgrade without values that keeps the
profile and what the launcher fetched; an uninstall that leaves nothing of ours.
Usage: msi_test.py QVBRELMOX_EXE STUB_APP_EXE BUILD_MSI WINE_RUN KIND"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from codesign_support import Pki, TimeStampAuthority, sign, verify  # noqa: E402
from e2e_support import ReferenceServer, check, publish, read, summary  # noqa: E402
from winenv import WineDesktop, wait_for, windows_path  # noqa: E402

LAUNCHER, STUB, BUILD_MSI, WINE_RUN, KIND = sys.argv[1:6]
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
HANDLES = r"HKCU\Software\Dravo\Handles"
OFFICE = {"UNIDADE": "1001", "USUARIO": "Maria Souza", "TELEFONE": "(11) 5555-0100",
          "EMAIL": "maria@escritorio.com.br"}


def msiinfo(package, table):
    out = subprocess.run(["msiinfo", "export", package, table], stdout=subprocess.PIPE,
                         check=True).stdout.decode("latin-1")
    return [line.split("\t") for line in out.splitlines()[3:]]


def build(version, out, pki, tsa):
    package = subprocess.run([sys.executable, BUILD_MSI, "--launcher", LAUNCHER, "--version",
                              version, "--out", out], stdout=subprocess.PIPE, check=True,
                             text=True).stdout.strip()
    sign(package, *pki.publisher("Dravo"), tsa.url)
    return package


def table_checks(package):
    props = dict(r[:2] for r in msiinfo(package, "Property"))
    check("tables: version, manufacturer, upgrade code",
          props.get("ProductVersion") == "1.0.0" and props.get("Manufacturer") == "Dravo"
          and props.get("UpgradeCode", "").startswith("{6f1c2b1e"), props)
    check("tables: per user (no ALLUSERS)", "ALLUSERS" not in props, props)
    dirs = {r[0]: r[1:] for r in msiinfo(package, "Directory")}
    check("tables: under the user's local application data",
          dirs.get("INSTALLDIR") == ["LocalAppDataFolder", "QVBrelmox"], dirs)
    ini = sorted((r[3], r[4], r[5], r[6]) for r in msiinfo(package, "IniFile"))
    check("tables: the office's values into [Unidade], never over the profile's", ini == sorted(
        ("Unidade", k, f"[{p}]", "1") for k, p in (("Unidade", "UNIDADE"), ("Usuario", "USUARIO"),
                                                   ("Telefone", "TELEFONE"), ("Email", "EMAIL"))),
          ini)
    shortcuts = msiinfo(package, "Shortcut")
    check("tables: a Start-menu shortcut to the launcher", len(shortcuts) == 1 and
          shortcuts[0][1] == "ProgramMenuFolder" and
          shortcuts[0][4] == "[INSTALLDIR]QVBrelmox.exe", shortcuts)
    sequence = {r[0]: int(r[2]) for r in msiinfo(package, "InstallExecuteSequence")}
    check("tables: the older package is removed after the new one is in place",
          sequence.get("RemoveExistingProducts", 0) > sequence.get("InstallFinalize", 1e9),
          sequence)
    wipe = [r for r in msiinfo(package, "InstallExecuteSequence") if r[0] == "WipeFolder"]
    check("tables: the folder goes at uninstall, never in an upgrade", wipe and
          "NOT UPGRADINGPRODUCTCODE" in wipe[0][1] and 'REMOVE~="ALL"' in wipe[0][1], wipe)


def main():
    work = tempfile.mkdtemp(prefix="qvb-msi-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        with TimeStampAuthority(pki) as tsa:
            old = build("1.0.0", os.path.join(work, "old"), pki, tsa)
            new = build("1.1.0", os.path.join(work, "new"), pki, tsa)
        check("package named after its version", os.path.basename(old) == "QVBrelmox-1.0.0.msi")
        ok, out = verify(old, pki.ca)
        check("package signed and time-stamped", ok and "timestamp time" in out.lower(), out)
        table_checks(old)

        src, root = os.path.join(work, "rel"), os.path.join(work, "root")
        os.makedirs(src)
        shutil.copy(STUB, os.path.join(src, "QVBrelmoxApp.exe"))
        with open(os.path.join(src, "tabela.dat"), "wb") as f:
            f.write(bytes(range(256)) * 16)
        publish(src, root, "5.2")

        prefix = os.path.join(TOP, "build", "wine", f"msi-{KIND}")
        with WineDesktop(WINE_RUN, KIND, prefix) as desk:
            user = os.environ.get("USER") or "root"
            folder = os.path.join(prefix, "drive_c", "users", user, "AppData", "Local",
                                  "QVBrelmox")
            win_folder = f"C:\\users\\{user}\\AppData\\Local\\QVBrelmox\\"
            shortcuts = os.path.join(prefix, "drive_c", "users", user, "AppData", "Roaming",
                                     "Microsoft", "Windows", "Start Menu", "Programs")

            def msiexec(*args):
                rc, _ = desk.run(["msiexec", *args, "/qn"], timeout=300)
                return rc

            rc = msiexec("/i", windows_path(old), *(f"{k}={v}" for k, v in OFFICE.items()))
            check("install: silent, per user", rc == 0 and
                  os.path.exists(os.path.join(folder, "QVBrelmox.exe")), rc)
            profile = read(os.path.join(folder, "QVBrelmox.ini")) if rc == 0 else b""
            check("install: the office's values as the launcher reads them", profile ==
                  ("[Unidade]\r\nUnidade=1001\r\nUsuario=Maria Souza\r\nTelefone=(11) 5555-0100"
                   "\r\nEmail=maria@escritorio.com.br\r\n").encode(), profile)
            check("install: Start-menu shortcut",
                  os.path.exists(os.path.join(shortcuts, "QV Brelmox.lnk")))
            check("install: the launcher's folder value", desk.reg_value(
                HANDLES, "QVBrelmox.AppDir") == win_folder, desk.reg_value(
                HANDLES, "QVBrelmox.AppDir"))

            with ReferenceServer(root) as server:
                record = os.path.join(work, "record.txt")
                proc = desk.start([win_folder + "QVBrelmox.exe"],
                                  env={"QVBRELMOX_SERVER": server.address,
                                       "STUB_RECORD": windows_path(record),
                                       "STUB_CLOSE_LAUNCHER": "1"})
                proc.communicate(timeout=180)
                reports = [r for r in server.requests() if "QVBrelmoxDLL" in r]
            check("first start: reports the office's values", len(reports) == 1 and
                  "Unid=1001" in reports[0] and "User=Maria%20Souza" in reports[0], reports)
            check("first start: the release fetched and the application started",
                  os.path.exists(record) and read(os.path.join(folder, "tabela.dat"))
                  == bytes(range(256)) * 16)
            fetched = {n: read(os.path.join(folder, n)) for n in
                       ("QVBrelmox.ini", "QVBrelmoxApp.exe", "tabela.dat", "QVBrelmox2.ini")}
            check("first start: the launcher wrote its profile",
                  b"VersaoAtual=5.2" in fetched["QVBrelmox.ini"], fetched["QVBrelmox.ini"])

            rc = msiexec("/i", windows_path(new))
            check("upgrade: silent, without the office's values", rc == 0, rc)
            kept = {n: read(os.path.join(folder, n)) if os.path.exists(os.path.join(folder, n))
                    else None for n in fetched}
            check("upgrade: profile and fetched files kept byte for byte", kept == fetched,
                  {n: kept[n] == fetched[n] for n in fetched})
            rc, out = desk.run(["reg", "query", r"HKCU\Software\Microsoft\Installer\Products",
                                "/s"])
            check("upgrade: one package installed, the new one",
                  out.count("QV/Brelmox") == 1 and "0x1010000" in out.lower(), out)

            rc = msiexec("/x", windows_path(new))
            check("uninstall: silent", rc == 0, rc)
            wait_for(lambda: not os.path.exists(folder), 10)
            check("uninstall: the folder gone, with all the launcher fetched",
                  not os.path.exists(folder), os.listdir(folder) if os.path.exists(folder)
                  else "")
            check("uninstall: the shortcut gone",
                  not glob.glob(os.path.join(shortcuts, "QV*")))
            check("uninstall: the launcher's registry value gone",
                  desk.reg_value(HANDLES, "QVBrelmox.AppDir") is None)
            rc, out = desk.run(["reg", "query", r"HKCU\Software\Microsoft\Installer\Products",
                                "/s"])
            check("uninstall: no package left", "QV/Brelmox" not in out, out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary("msi")


if __name__ == "__main__":
    sys.exit(main())
