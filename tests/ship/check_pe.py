#!/usr/bin/env python3
"""Checks a shipped Windows binary: machine, subsystem, imports, and (for the updater) the
embedded manifest. Usage: check_pe.py FILE --machine i386|amd64 [--gui] [--manifest] [--dll]"""
import argparse
import struct
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "mswsock.dll", "comctl32.dll", "msimg32.dll",
    "gdiplus.dll", "shlwapi.dll", "uxtheme.dll", "version.dll", "imm32.dll", "winmm.dll",
    "ucrtbase.dll", "bcrypt.dll", "crypt32.dll", "ntdll.dll", "comdlg32.dll", "rpcrt4.dll",
}
ALLOWED_PRIVATE = {"zlib.dll"}


class PE:
    def __init__(self, data):
        self.d = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsec = struct.unpack_from("<HH", data, pe + 4)
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        self.characteristics = struct.unpack_from("<H", data, pe + 22)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        self.pe32plus = magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (112 if self.pe32plus else 96)
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        sec = opt + opt_size
        self.sections = []
        for i in range(nsec):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %x outside sections" % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.d[o:self.d.index(b"\0", o)].decode("latin-1")

    def imports(self):
        rva, size = self.dirs[1]
        out = []
        if not rva:
            return out
        o = self.off(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from("<IIIII", self.d, o)
            if name == 0:
                break
            out.append(self.cstr(name))
            o += 20
        return out

    def exports(self):
        rva, size = self.dirs[0]
        if not rva:
            return []
        o = self.off(rva)
        nnames, names_rva = struct.unpack_from("<I", self.d, o + 24)[0], struct.unpack_from("<I", self.d, o + 32)[0]
        return [self.cstr(struct.unpack_from("<I", self.d, self.off(names_rva) + 4 * i)[0]) for i in range(nnames)]

    def resources(self):
        """Yields (type, id, language, bytes) for every resource leaf."""
        rva, size = self.dirs[2]
        if not rva:
            return
        base = self.off(rva)

        def entries(o):
            named, ids = struct.unpack_from("<HH", self.d, o + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.d, o + 16 + 8 * i)
                if name & 0x80000000:
                    so = base + (name & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", self.d, so)[0]
                    key = self.d[so + 2:so + 2 + 2 * n].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        for t, t_off in entries(base):
            for n, n_off in entries(base + (t_off & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (n_off & 0x7FFFFFFF)):
                    data_rva, data_size = struct.unpack_from("<II", self.d, base + leaf)
                    o = self.off(data_rva)
                    yield t, n, lang, self.d[o:o + data_size]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--machine", choices=["i386", "amd64"], required=True)
    ap.add_argument("--gui", action="store_true")
    ap.add_argument("--manifest", action="store_true")
    ap.add_argument("--dll", action="store_true")
    ap.add_argument("--export", action="append", default=[])
    a = ap.parse_args()
    pe = PE(open(a.file, "rb").read())
    errors = []
    want = 0x14C if a.machine == "i386" else 0x8664
    if pe.machine != want:
        errors.append("machine is 0x%x, expected 0x%x" % (pe.machine, want))
    if a.gui and pe.subsystem != 2:
        errors.append("subsystem is %d, expected 2 (GUI)" % pe.subsystem)
    if a.dll and not pe.characteristics & 0x2000:
        errors.append("not a DLL")
    for dll in pe.imports():
        if dll.lower() not in SYSTEM_DLLS | ALLOWED_PRIVATE and not dll.lower().startswith("api-ms-win-"):
            errors.append("imports a DLL that is not shipped: " + dll)
    for name in a.export:
        if name not in pe.exports():
            errors.append("missing export %s (has %s)" % (name, pe.exports()))
    if a.manifest:
        manifests = [(n, lang, data) for t, n, lang, data in pe.resources() if t == 24]
        if not manifests:
            errors.append("no manifest resource")
        else:
            n, lang, text = manifests[0]
            text = text.decode("utf-8", "replace")
            for needle in ['level="asInvoker"', 'uiAccess="false"', 'name="Microsoft.Windows.Common-Controls"',
                           'version="6.0.0.0"', 'processorArchitecture="x86"']:
                if needle not in text:
                    errors.append("manifest lacks " + needle)
            if (n, lang) != (1, 1033):
                errors.append("manifest is id %s language %s, expected 1 / 1033" % (n, lang))
    for e in errors:
        print("%s: %s" % (a.file, e))
    print("%s: %s" % (a.file, "ok" if not errors else "FAILED"))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
