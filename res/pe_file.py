#!/usr/bin/python3
"""Reads the parts of a Windows PE file (32 or 64 bit) that the checks look at: machine,
subsystem, characteristics, imported DLLs, exported names and the resources.

Usage: pe_file.py FILE.exe    prints the machine and type, id, language and size per resource
"""
import struct
import sys

RT_NAMES = {3: "RT_ICON", 14: "RT_GROUP_ICON", 16: "RT_VERSION", 24: "RT_MANIFEST"}


class PEError(Exception):
    pass


class PEFile:
    def __init__(self, data):
        self.data = data
        try:
            self._read_headers()
        except struct.error as e:
            raise PEError("truncated file: %s" % e)

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def _read_headers(self):
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PEError("not an MZ executable")
        pe = self._u32(0x3C)
        if d[pe:pe + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        self.machine, nsect = struct.unpack_from("<HH", d, pe + 4)
        opt_size = self._u16(pe + 20)
        self.characteristics = self._u16(pe + 22)
        opt = pe + 24
        magic = self._u16(opt)
        if magic not in (0x10B, 0x20B):
            raise PEError("unknown optional header magic 0x%x" % magic)
        self.subsystem = self._u16(opt + 68)
        dirs = opt + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        table = opt + opt_size
        self.sections = []
        for i in range(nsect):
            vsize, rva, raw_size, raw_off = struct.unpack_from("<IIII", d, table + 40 * i + 8)
            self.sections.append((rva, max(vsize, raw_size), raw_off, raw_size))

    def _u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def _u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva):
        for start, size, raw_off, raw_size in self.sections:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_off + (rva - start)
        raise PEError("address 0x%x lies in no section" % rva)

    def cstr(self, rva):
        o = self.offset(rva)
        end = self.data.find(b"\0", o)
        if end < 0:
            raise PEError("name runs past the end of the file")
        return self.data[o:end].decode("latin-1")

    def imports(self):
        """Names of the imported DLLs, in table order."""
        rva, _ = self.directories[1]
        out = []
        o = self.offset(rva) if rva else None
        while o is not None:
            name = struct.unpack_from("<IIIII", self.data, o)[3]
            if name == 0:
                break
            out.append(self.cstr(name))
            o += 20
        return out

    def exports(self):
        """Exported names."""
        rva, _ = self.directories[0]
        if not rva:
            return []
        o = self.offset(rva)
        count, names = self._u32(o + 24), self._u32(o + 32)
        return [self.cstr(self._u32(self.offset(names) + 4 * i)) for i in range(count)]

    def resources(self):
        """{(type, name, language): bytes}; type and name are ints for numeric ids and strings
        for named ones."""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        d = self.data
        base = self.offset(rva)

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", d, base + dir_off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", d, base + dir_off + 16 + 8 * i)
                if name & 0x80000000:
                    p = base + (name & 0x7FFFFFFF)
                    key = d[p + 2:p + 2 + 2 * self._u16(p)].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        result = {}
        try:
            for rtype, t in entries(0):
                for rname, n in entries(t & 0x7FFFFFFF):
                    for lang, leaf in entries(n & 0x7FFFFFFF):
                        if leaf & 0x80000000:
                            raise PEError("resource directory nested too deep")
                        data_rva, size = struct.unpack_from("<II", d, base + leaf)
                        off = self.offset(data_rva)
                        blob = d[off:off + size]
                        if len(blob) != size:
                            raise PEError("resource data runs past the end of the file")
                        result[(rtype, rname, lang)] = blob
        except struct.error as e:
            raise PEError("truncated file: %s" % e)
        return result


def read_resources(path):
    """Returns (machine, {(type, name, language): bytes})."""
    try:
        pe = PEFile.load(path)
        return pe.machine, pe.resources()
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
