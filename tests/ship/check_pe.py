#!/usr/bin/env python3
"""Checks a shipped Windows binary: machine, subsystem, imports, exports and (for the updater)
the embedded manifest.

Usage: check_pe.py FILE --machine i386|amd64 [--gui] [--manifest] [--dll] [--export NAME...]
                   [--allow-imports a.dll,b.dll]
--export names the complete export list; --allow-imports narrows the DLLs it may import."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res"))
from pe_file import PEError, PEFile  # noqa: E402

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "mswsock.dll", "comctl32.dll", "msimg32.dll",
    "gdiplus.dll", "shlwapi.dll", "uxtheme.dll", "version.dll", "imm32.dll", "winmm.dll",
    "ucrtbase.dll", "bcrypt.dll", "crypt32.dll", "secur32.dll", "ntdll.dll", "comdlg32.dll",
    "rpcrt4.dll",
}
SHIPPED_DLLS = {"zlib.dll"}
MANIFEST_TEXTS = ['level="asInvoker"', 'uiAccess="false"', 'name="Microsoft.Windows.Common-Controls"',
                  'version="6.0.0.0"', 'processorArchitecture="x86"']


def check(pe, a):
    errors = []
    want = 0x14C if a.machine == "i386" else 0x8664
    if pe.machine != want:
        errors.append("machine is 0x%x, expected 0x%x" % (pe.machine, want))
    if a.gui and pe.subsystem != 2:
        errors.append("subsystem is %d, expected 2 (GUI)" % pe.subsystem)
    if a.dll and not pe.characteristics & 0x2000:
        errors.append("not a DLL")
    allowed = set(a.allow_imports.lower().split(",")) if a.allow_imports else SYSTEM_DLLS | SHIPPED_DLLS
    for dll in pe.imports():
        if dll.lower() not in allowed and not dll.lower().startswith("api-ms-win-"):
            errors.append("imports a DLL it may not use: " + dll)
    if a.export and sorted(pe.exports()) != sorted(a.export):
        errors.append("exports %s, expected exactly %s" % (pe.exports(), a.export))
    if a.manifest:
        manifests = [(key[1], key[2], blob) for key, blob in pe.resources().items() if key[0] == 24]
        if not manifests:
            errors.append("no manifest resource")
        else:
            name, lang, text = manifests[0]
            text = text.decode("utf-8", "replace")
            errors += ["manifest lacks " + needle for needle in MANIFEST_TEXTS if needle not in text]
            if (name, lang) != (1, 1033):
                errors.append("manifest is id %s language %s, expected 1 / 1033" % (name, lang))
    return errors


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--machine", choices=["i386", "amd64"], required=True)
    ap.add_argument("--gui", action="store_true")
    ap.add_argument("--manifest", action="store_true")
    ap.add_argument("--dll", action="store_true")
    ap.add_argument("--export", action="append", default=[])
    ap.add_argument("--allow-imports", default="")
    a = ap.parse_args()
    try:
        errors = check(PEFile.load(a.file), a)
    except (OSError, PEError) as e:
        errors = [str(e)]
    for e in errors:
        print("%s: %s" % (a.file, e))
    print("%s: %s" % (a.file, "ok" if not errors else "FAILED"))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
