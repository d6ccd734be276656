"""Writes small seed archives for the archive reader's fuzz target into the given folder."""
import io
import os
import sys
import zipfile
import zlib

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def save(name, build):
    path = os.path.join(out, name)
    if os.path.exists(path):
        return
    buf = io.BytesIO()
    build(buf)
    with open(path, 'wb') as f:
        f.write(buf.getvalue())


def plain(buf):
    with zipfile.ZipFile(buf, 'w') as z:
        z.writestr('a.txt', 'stored text')
        z.writestr('d/', '')
        z.writestr('d/b.txt', 'deflated ' * 20, compress_type=zipfile.ZIP_DEFLATED)


def names(buf):
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('\u4e2d\u6587/\u5347\u7ea7.txt', 'utf-8 name')
        z.writestr('..x/CON_/a b.txt', 'odd but fine')


def zip64(buf):
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        with z.open('z64.txt', 'w', force_zip64=True) as f:
            f.write(b'zip64 ' * 30)


class Unseekable(io.RawIOBase):
    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)


def descriptor(buf):
    with zipfile.ZipFile(Unseekable(buf), 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('s.txt', 'streamed ' * 30)


save('plain.zip', plain)
save('names.zip', names)
save('zip64.zip', zip64)
save('descriptor.zip', descriptor)


def journal(buf):
    # A commit journal as the extractor writes it (the same target reads both kinds of input).
    body = ('D\tres/new\n' 'N\tres/new/a.txt\n' 'R\t0\tbin/b.dll\tBIN/b.dll\n').encode()
    buf.write(b'ZPVJ 1 P\n' + body + b'E\t3\t%08x\n' % zlib.crc32(body))


save('journal.txt', journal)
