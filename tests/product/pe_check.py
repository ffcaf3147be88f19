#!/usr/bin/env python3
"""Checks a shipped Windows program from its file alone, since no 32-bit program may run on
the machines that build it: PE32 (or PE32+ with --pe32plus), GUI subsystem, ASLR and DEP flags,
imports from system DLLs only (and never a DLL named with --not-imported), an asInvoker
manifest, a version resource, and at most --max-size bytes.
Usage: pe_check.py EXE [--gui] [--max-size N] [--not-imported DLL]... [--pe32plus]"""

import argparse
import struct
import sys

SYSTEM_DLLS = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll",
               "version.dll", "ws2_32.dll", "psapi.dll", "shell32.dll", "ole32.dll",
               "comctl32.dll", "bcrypt.dll"}
DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100
RT_VERSION, RT_MANIFEST = 16, 24


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data,
                                                                               pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        plus = self.magic == 0x20B
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        directories = opt + (112 if plus else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(16)]
        self.plus = plus
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, rsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError(f"address {rva:#x} is in no section")

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        rva, size = self.directories[1]
        names = []
        at = self.offset(rva) if size else None
        while at is not None:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunk):
                break
            names.append(self.cstring(name))
            at += 20
        return names

    def resources(self):
        """(type, first bytes of each data entry) for every resource."""
        rva, size = self.directories[2]
        if not size:
            return []
        base = self.offset(rva)
        found = []

        def walk(at, depth, kind):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, at)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                this = kind if depth else ident
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), depth + 1, this)
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found.append((this, self.data[start:start + data_size]))

        walk(base, 0, None)
        return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--max-size", type=int, default=1 << 20)
    parser.add_argument("--not-imported", action="append", default=[])
    parser.add_argument("--pe32plus", action="store_true")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        data = f.read()
    image = Image(data)
    failures = []

    def check(what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
        if not ok:
            failures.append(what)

    check("PE32+" if args.pe32plus else "PE32", image.magic == (0x20B if args.pe32plus else 0x10B),
          hex(image.magic))
    check("GUI subsystem", image.subsystem == 2, image.subsystem)
    check("DYNAMIC_BASE", image.dll_characteristics & DYNAMIC_BASE != 0,
          hex(image.dll_characteristics))
    check("NX_COMPAT", image.dll_characteristics & NX_COMPAT != 0, hex(image.dll_characteristics))
    check("relocations kept for ASLR", image.directories[5][1] > 0)
    imports = [n.lower() for n in image.imports()]
    check("imports from system DLLs only", imports and set(imports) <= SYSTEM_DLLS, imports)
    for dll in args.not_imported:
        check(f"{dll} not imported", dll.lower() not in imports, imports)
    resources = image.resources()
    manifests = [body for kind, body in resources if kind == RT_MANIFEST]
    check("asInvoker manifest", any(b'level="asInvoker"' in m for m in manifests))
    versions = [body for kind, body in resources if kind == RT_VERSION]
    check("version resource", any("FileVersion".encode("utf-16-le") in v for v in versions))
    # What file properties and SmartScreen show of the program.
    named = [k for k in ("CompanyName", "ProductName", "FileDescription")
             if not any(k.encode("utf-16-le") in v for v in versions)]
    check("version resource names company, product and description", not named, named)
    check(f"at most {args.max_size} bytes", len(data) <= args.max_size, len(data))
    print(f"{args.exe}: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
