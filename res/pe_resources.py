#!/usr/bin/python3
"""Lists the resources compiled into a Windows PE file (32 or 64 bit).

Usage: pe_resources.py FILE.exe    prints type, id, language and size per resource
"""
import struct
import sys

RT_NAMES = {3: "RT_ICON", 14: "RT_GROUP_ICON", 16: "RT_VERSION", 24: "RT_MANIFEST"}


class PEError(Exception):
    pass


def _u16(data, off):
    return struct.unpack_from("<H", data, off)[0]


def _u32(data, off):
    return struct.unpack_from("<I", data, off)[0]


def _sections(data):
    """(machine, resource directory rva, [(rva, virtual size, raw offset, raw size)])."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PEError("not an MZ executable")
    pe = _u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise PEError("no PE signature")
    machine, nsect = struct.unpack_from("<HH", data, pe + 4)
    opt_size = _u16(data, pe + 20)
    opt = pe + 24
    magic = _u16(data, opt)
    if magic == 0x10B:
        dirs = opt + 96
    elif magic == 0x20B:
        dirs = opt + 112
    else:
        raise PEError("unknown optional header magic 0x%x" % magic)
    rsrc_rva = _u32(data, dirs + 2 * 8)
    table = opt + opt_size
    sections = []
    for i in range(nsect):
        s = table + 40 * i
        vsize, rva, raw_size, raw_off = struct.unpack_from("<IIII", data, s + 8)
        sections.append((rva, max(vsize, raw_size), raw_off, raw_size))
    return machine, rsrc_rva, sections


def _rva_to_offset(sections, rva):
    for start, size, raw_off, raw_size in sections:
        if start <= rva < start + size and rva - start < raw_size:
            return raw_off + (rva - start)
    raise PEError("address 0x%x lies in no section" % rva)


def read_resources(path):
    """Returns (machine, {(type, name, language): bytes}); type and name are
    ints for numeric ids and strings for named ones."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        machine, rsrc_rva, sections = _sections(data)
        if rsrc_rva == 0:
            return machine, {}
        base = _rva_to_offset(sections, rsrc_rva)

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", data, base + dir_off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", data, base + dir_off + 16 + 8 * i)
                if name & 0x80000000:
                    p = base + (name & 0x7FFFFFFF)
                    key = data[p + 2:p + 2 + 2 * _u16(data, p)].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        result = {}
        for rtype, t in entries(0):
            for rname, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PEError("resource directory nested too deep")
                    rva, size = struct.unpack_from("<II", data, base + leaf)
                    off = _rva_to_offset(sections, rva)
                    result[(rtype, rname, lang)] = data[off:off + size]
                    if len(result[(rtype, rname, lang)]) != size:
                        raise PEError("resource data runs past the end of the file")
        return machine, result
    except struct.error as e:
        raise PEError("truncated file: %s" % e)


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        machine, res = read_resources(argv[0])
    except (OSError, PEError) as e:
        print("error: %s: %s" % (argv[0], e), file=sys.stderr)
        return 1
    print("machine 0x%04x, %d resources" % (machine, len(res)))
    for (rtype, rname, lang), blob in sorted(res.items(), key=lambda kv: str(kv[0])):
        print("%-14s %6s  lang %4d  %6d bytes" % (RT_NAMES.get(rtype, rtype), rname, lang, len(blob)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
