#!/usr/bin/env python3
"""Builds QVBrelmox-<version>.msi from QVBrelmox.wxs with wixl, then adds with msibuild what
wixl has no element for:
- the office's values (properties UNIDADE, USUARIO, TELEFONE, EMAIL) as entries of
  QVBrelmox.ini's [Unidade] section, where the launcher reads them. An entry is created only
  when the profile lacks it: a later package never overwrites what the profile holds (other
  software of the installation writes the same section);
- at uninstall, the folder with everything in it (the launcher's profile and what it
  fetched);
- the upgrade of an older package after the new one is installed, so the files that both
  install stay and nothing the launcher fetched or wrote is removed by the old one.
Usage: build_msi.py --launcher QVBrelmox.exe --version X.Y.Z --out DIR   (prints the file)"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
COMPONENT = "Launcher"  # the one component of QVBrelmox.wxs
PROFILE = [("UnidadeIni", "Unidade", "[UNIDADE]"), ("UsuarioIni", "Usuario", "[USUARIO]"),
           ("TelefoneIni", "Telefone", "[TELEFONE]"), ("EmailIni", "Email", "[EMAIL]")]
INI_CREATE_LINE = 1  # msidbIniFileActionCreateLine: only where the entry is missing
ON_UNINSTALL = 2  # msidbRemoveFileInstallModeOnRemove
REMOVE_AFTER = 6650  # past InstallFinalize (6600)
# The wildcard rows above are how Windows Installer removes files it did not install, but not
# every implementation expands them; the folder also holds whatever the launcher fetched into
# subfolders of its choosing. So the uninstall also removes the folder's tree, deferred, after
# RemoveFiles: never in an upgrade (the old package's removal), only for a folder named
# QVBrelmox, so that no INSTALLDIR given by mistake can take anything else with it. A failure
# (a file in use) leaves the rest for the user and does not fail the uninstall.
WIPE_TYPE = 34 + 64 + 1024  # a program with a working folder; return ignored; deferred
WIPE_COMMAND = '"[SystemFolder]cmd.exe" /c rd /s /q "[INSTALLDIR]"'
# The launcher's component leaving too: in an upgrade the new package holds it, also where the
# removal of the old one is not told it is part of an upgrade.
WIPE_CONDITION = ('REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE AND $' + COMPONENT + '=2 AND '
                  'INSTALLDIR>>"\\QVBrelmox\\"')


def quote(text):
    return "'" + text.replace("'", "''") + "'"


def queries():
    yield ("CREATE TABLE `IniFile` (`IniFile` CHAR(72) NOT NULL, `FileName` CHAR(255) NOT NULL"
           " LOCALIZABLE, `DirProperty` CHAR(72), `Section` CHAR(96) NOT NULL LOCALIZABLE,"
           " `Key` CHAR(128) NOT NULL LOCALIZABLE, `Value` CHAR(255) NOT NULL LOCALIZABLE,"
           " `Action` SHORT NOT NULL, `Component_` CHAR(72) NOT NULL PRIMARY KEY `IniFile`)")
    for row, key, value in PROFILE:
        yield ("INSERT INTO `IniFile` (`IniFile`, `FileName`, `DirProperty`, `Section`, `Key`,"
               " `Value`, `Action`, `Component_`) VALUES (" + ", ".join(
                   [quote(row), quote("QVBrelmox.ini"), quote("INSTALLDIR"), quote("Unidade"),
                    quote(key), quote(value), str(INI_CREATE_LINE), quote(COMPONENT)]) + ")")
    for row, directory, name in (("CleanMsg", "MSGDIR", "*"), ("CleanLocal", "LOCALDIR", "*"),
                                 ("CleanFolder", "INSTALLDIR", "*"), ("DropMsg", "MSGDIR", None),
                                 ("DropLocal", "LOCALDIR", None),
                                 ("DropFolder", "INSTALLDIR", None)):
        yield ("INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`,"
               " `InstallMode`) VALUES (" + ", ".join(
                   [quote(row), quote(COMPONENT), quote(name) if name else "''",
                    quote(directory), str(ON_UNINSTALL)]) + ")")
    yield ("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ("
           + ", ".join([quote("WipeFolder"), str(WIPE_TYPE), quote("LocalAppDataFolder"),
                        quote(WIPE_COMMAND)]) + ")")
    for action, condition, sequence in (("RemoveIniValues", None, 3100),
                                        ("WriteIniValues", None, 5100),
                                        ("WipeFolder", WIPE_CONDITION, 3550)):
        columns, values = ["`Action`", "`Sequence`"], [quote(action), str(sequence)]
        if condition:
            columns.append("`Condition`")
            values.append(quote(condition))
        yield (f"INSERT INTO `InstallExecuteSequence` ({', '.join(columns)}) VALUES"
               f" ({', '.join(values)})")
    yield (f"UPDATE `InstallExecuteSequence` SET `Sequence` = {REMOVE_AFTER}"
           " WHERE `Action` = 'RemoveExistingProducts'")


def build(launcher, version, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, f"QVBrelmox-{version}.msi")
    building = out + ".building"
    if os.path.exists(building):
        os.remove(building)
    # wixl takes sources relative to where it runs.
    subprocess.run(["wixl", "-D", f"Version={version}", "-D",
                    f"Launcher={os.path.basename(launcher)}", "-o", os.path.abspath(building),
                    os.path.join(HERE, "QVBrelmox.wxs")], check=True,
                   cwd=os.path.dirname(os.path.abspath(launcher)), stderr=subprocess.DEVNULL)
    for query in queries():
        subprocess.run(["msibuild", building, "-q", query], check=True)
    os.replace(building, out)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    print(build(os.path.abspath(args.launcher), args.version, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
