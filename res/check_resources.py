#!/usr/bin/python3
"""Checks the updater's embedded resources against the resource tables:
PNG headers and pixels, skin documents, icon data, and the resource section
of compiled executables.

Usage: check_resources.py [--pe FILE.exe]... [unittest options]
Without --pe, the resource script is compiled with every mingw windres found
into small dummy executables, which are then inspected.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pe_file  # noqa: E402

PE_FILES = []

BORDER = (209, 208, 208)
WHITE = (255, 255, 255)

# id: (width, height, mode, fill, caption glyph count or 0); a white fill is a
# light state and carries the grey frame.
BUTTONS = {
    130: (72, 24, "RGBA", (255, 155, 0), 2), 131: (72, 24, "RGBA", WHITE, 2),
    132: (72, 24, "RGBA", (206, 125, 0), 2), 136: (72, 24, "RGBA", (255, 155, 0), 2),
    137: (72, 24, "RGBA", WHITE, 2), 138: (72, 24, "RGBA", (206, 125, 0), 2),
    139: (71, 26, "RGBA", (255, 154, 0), 4), 140: (71, 26, "RGBA", WHITE, 4),
    141: (71, 26, "RGBA", (202, 124, 0), 4), 149: (71, 26, "RGBA", WHITE, 4),
    150: (71, 26, "RGBA", (255, 170, 0), 4), 151: (71, 26, "RGBA", (219, 132, 0), 4),
    152: (71, 26, "RGBA", WHITE, 4), 153: (71, 26, "RGB", (255, 169, 0), 4),
    154: (71, 26, "RGB", (219, 131, 0), 4), 155: (71, 26, "RGB", (255, 169, 0), 0),
    156: (71, 26, "RGBA", WHITE, 0), 157: (71, 26, "RGB", (219, 131, 0), 0),
}
CROSSES = {133: ("RGB", (255, 188, 88)), 134: ("RGBA", None), 135: ("RGB", (200, 148, 70))}
BARS = {144: (225, 225, 225), 145: (255, 153, 0)}
PNG_IDS = sorted(list(BUTTONS) + list(CROSSES) + list(BARS))

# The skin tables: "row enclosing-row Element attr="value" ...".
SKIN_ROWS = {142: """
1 - Window caption="0,0,0,20" size="310,100" visible="false"
2 1 Font name="微软雅黑" size="13" bold="false" italic="false"
3 1 Font name="微软雅黑" size="13" bold="true" italic="false"
4 1 Font name="微软雅黑" size="14" bold="false" italic="false"
5 1 VerticalLayout
6 5 HorizontalLayout height="30" bkcolor="#FFFF9A00"
7 6 HorizontalLayout padding="10,0,0,0" width="200"
8 7 Label name="titleLabel" text="Veltaro更新" font="2" textcolor="#FFFFFFFF"
9 6 HorizontalLayout
10 6 HorizontalLayout width="20" inset="0,8,0,0"
11 10 Button name="closeButton" tooltip="关闭" visible="false" padding="6,0,0,0" width="14" height="14" normalimage="res='134' restype='png'" hotimage="res='133' restype='png'" pushedimage="res='135' restype='png'"
12 5 VerticalLayout bkcolor="#FFF8F8F8"
13 12 HorizontalLayout height="30" padding="10,0,0,0"
14 13 Label name="tipsLabel" text="" font="2" textcolor="#FF333333"
15 12 HorizontalLayout padding="10,0,0,0"
16 15 HorizontalLayout name="buttonLayout" visible="false"
17 16 HorizontalLayout
18 16 HorizontalLayout width="71"
19 18 Button name="installButton" width="71" height="26" padding="0,4,0,0" normalimage="res='140' restype='png'" hotimage="res='139' restype='png'" pushedimage="res='141' restype='png'"
20 15 HorizontalLayout name="progressLayout"
21 20 Progress name="downloadProgress" height="3" padding="0,14,0,0" bkimage="res='144' restype='png'" foreimage="res='145' restype='png'" min="0" max="100" value="0"
22 20 Button name="skipButton" width="71" height="26" padding="9,2,0,0" normalimage="res='152' restype='png'" hotimage="res='153' restype='png'" pushedimage="res='154' restype='png'"
23 15 HorizontalLayout width="10"
""", 143: """
1 - Window caption="0,0,0,20" size="310,100"
2 1 Font name="微软雅黑" size="13" bold="false" italic="false"
3 1 Font name="微软雅黑" size="13" bold="true" italic="false"
4 1 Font name="微软雅黑" size="14" bold="false" italic="false"
5 1 Font name="微软雅黑" size="15" bold="false" italic="false"
6 1 VerticalLayout
7 6 HorizontalLayout height="30" bkcolor="#FFFF9A00"
8 7 HorizontalLayout padding="10,0,0,0" width="274"
9 8 Label name="titleLabel" text="提示" font="2" textcolor="#FFFFFFFF"
10 7 HorizontalLayout width="20" inset="0,8,0,0"
11 10 Button name="closeButton" tooltip="关闭" padding="6,0,0,0" width="14" height="14" normalimage="res='134' restype='png'" hotimage="res='133' restype='png'" pushedimage="res='135' restype='png'"
12 6 VerticalLayout bkcolor="#FFF8F8F8"
13 12 VerticalLayout
14 12 HorizontalLayout height="30" padding="18,0,0,0"
15 14 Label name="tipsLabel" text="新版本将在下次启动时更新，您也可以立即安装！" font="3" textcolor="#FF333333"
16 12 VerticalLayout
17 12 HorizontalLayout padding="0,5,0,0" height="36"
18 17 HorizontalLayout
19 17 HorizontalLayout width="80"
20 19 Button name="cancelButton" width="72" height="24" padding="4,4,0,0" normalimage="res='131' restype='png'" hotimage="res='130' restype='png'" pushedimage="res='132' restype='png'"
21 17 HorizontalLayout width="90"
22 21 Button name="confirmButton" width="72" height="24" padding="4,4,0,0" normalimage="res='156' restype='png'" hotimage="res='155' restype='png'" pushedimage="res='157' restype='png'"
""", 146: """
1 - Window caption="0,0,0,32" size="420,210" visible="false"
2 1 Font name="微软雅黑" size="13" bold="false" italic="false"
3 1 Font name="微软雅黑" size="13" bold="true" italic="false"
4 1 Font name="微软雅黑" size="14" bold="false" italic="false"
5 1 VerticalLayout
6 5 HorizontalLayout height="32" bkcolor="#FF4A4D55"
7 6 HorizontalLayout padding="10,0,0,0" width="274"
8 7 Label name="titleLabel" text="KelvoraVeltaro-升级" font="2" textcolor="#FFFFFFFF"
9 6 HorizontalLayout width="20" inset="0,8,0,0"
10 9 Button name="closeButton" tooltip="关闭" padding="6,0,0,0" width="14" height="14" normalimage="res='134' restype='png'" hotimage="res='133' restype='png'" pushedimage="res='135' restype='png'"
11 5 VerticalLayout bkcolor="#FFF8F8F8"
12 11 HorizontalLayout height="30" align="center"
13 12 Label name="tipsLabel" text="升级完成，重新打开助手上课吧！" font="2" textcolor="#FF333333"
14 11 HorizontalLayout align="center"
15 14 Button name="launchButton" width="80" height="36" normalimage="res='149' restype='png'" hotimage="res='150' restype='png'" pushedimage="res='151' restype='png'"
"""}

ICON_BYTES = 40 + 64 * 64 * 4 + 64 * 64 // 8        # 16,936
LANG_EN_US, LANG_ZH_CN = 1033, 2052


def expected_rows(skin_id):
    rows = []
    for line in SKIN_ROWS[skin_id].strip().splitlines():
        no, parent, name, rest = (line.split(" ", 3) + [""])[:4]
        assert int(no) == len(rows) + 1
        rows.append((0 if parent == "-" else int(parent), name,
                     re.findall(r'(\w+)="([^"]*)"', rest)))
    return rows


def read_png(path):
    """Minimal decoder for 8-bit, non-interlaced RGB/RGBA PNG files:
    returns (IHDR fields, chunk names, rows of pixel tuples)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    pos, chunks, idat = 8, [], b""
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack_from(">I", data, pos + 8 + length)[0]
        assert zlib.crc32(kind + body) == crc, "bad CRC in %r" % kind
        chunks.append(kind.decode())
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, ctype = ihdr[:4]
    assert depth == 8 and ctype in (2, 6) and ihdr[6] == 0, "unsupported PNG layout"
    bpp = 4 if ctype == 6 else 3
    raw, stride = zlib.decompress(idat), width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        ftype, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 255
            elif ftype == 2:
                line[i] = (line[i] + b) & 255
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * bpp:(x + 1) * bpp]) for x in range(width)])
        prev = line
    return ihdr, chunks, rows


def png_path(rid):
    return os.path.join(HERE, "png", "%d.png" % rid)


class PngImages(unittest.TestCase):
    def load(self, rid, width, height, mode):
        ihdr, chunks, rows = read_png(png_path(rid))
        self.assertEqual(ihdr[:2], (width, height), "size of %d" % rid)
        self.assertEqual(ihdr[2], 8, "bit depth of %d" % rid)
        self.assertEqual(ihdr[3], 6 if mode == "RGBA" else 2, "colour type of %d" % rid)
        self.assertEqual(ihdr[6], 0, "%d is interlaced" % rid)
        self.assertEqual(chunks[0], "IHDR")
        self.assertEqual(chunks[-1], "IEND")
        return rows

    def test_exactly_the_listed_images_exist(self):
        found = sorted(int(n[:-4]) for n in os.listdir(os.path.join(HERE, "png")) if n.endswith(".png"))
        self.assertEqual(found, PNG_IDS)

    def test_buttons(self):
        for rid, (w, h, mode, fill, glyphs) in BUTTONS.items():
            with self.subTest(image=rid):
                rows = self.load(rid, w, h, mode)
                rgb = lambda x, y: rows[y][x][:3]
                light = fill == WHITE
                # fill beside the caption and near the far corner
                self.assertEqual(rgb(3, h // 2), fill)
                self.assertEqual(rgb(w - 4, 2), fill)
                # frame only on light states
                edge = BORDER if light else fill
                for x, y in ((0, h // 2), (w - 1, h // 2), (w // 2, 0), (w // 2, h - 1)):
                    self.assertEqual(rgb(x, y), edge, "edge pixel %d,%d" % (x, y))
                corners = {(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)}
                if mode == "RGBA":
                    for y in range(h):
                        for x in range(w):
                            a = rows[y][x][3]
                            if (x, y) in corners:
                                self.assertTrue(64 <= a <= 192, "corner alpha %d" % a)
                            else:
                                self.assertEqual(a, 255, "alpha at %d,%d" % (x, y))
                # caption: ink inside the frame, centred, about glyphs*13 wide
                ink = [(x, y) for y in range(1, h - 1) for x in range(1, w - 1)
                       if sum(abs(p - q) for p, q in zip(rgb(x, y), fill)) > 90]
                if not glyphs:
                    self.assertEqual(ink, [])
                    continue
                self.assertGreater(len(ink), 20 * glyphs)
                xs, ys = [p[0] for p in ink], [p[1] for p in ink]
                self.assertTrue(9 * glyphs <= max(xs) - min(xs) + 1 <= 14 * glyphs)
                self.assertLessEqual(abs((min(xs) + max(xs)) - (w - 1)), 3, "not centred")
                self.assertLessEqual(abs((min(ys) + max(ys)) - (h - 1)), 3, "not centred")
                # white captions on orange, dark ones on white
                lum = [sum(rgb(x, y)) for x, y in ink]
                if light:
                    self.assertLess(min(lum), 3 * 130)
                else:
                    self.assertGreater(max(lum), 3 * 230)

    def test_crosses(self):
        for rid, (mode, ground) in CROSSES.items():
            with self.subTest(image=rid):
                rows = self.load(rid, 14, 14, mode)
                for x, y in ((0, 0), (13, 0), (0, 13), (13, 13), (6, 1), (1, 6)):
                    px = rows[y][x]
                    if ground is None:
                        self.assertEqual(px[3], 0, "ground must be transparent")
                    else:
                        self.assertEqual(px, ground)
                centre = rows[6][6]
                self.assertGreater(sum(centre[:3]), 3 * 235, "cross must be pale")
                if ground is None:
                    self.assertGreater(centre[3], 200)
                    self.assertTrue(all(p[:3] == WHITE for r in rows for p in r if p[3]))
                for y in range(14):      # both diagonals: mirror-symmetric
                    self.assertEqual(rows[y], rows[y][::-1])

    def test_progress_bars(self):
        for rid, colour in BARS.items():
            with self.subTest(image=rid):
                rows = self.load(rid, 40, 2, "RGB")
                self.assertEqual({p for r in rows for p in r}, {colour})


class Skins(unittest.TestCase):
    def test_skins_match_tables(self):
        decl = b'<?xml version="1.0" encoding="utf-8" standalone="yes"?>'
        for sid in SKIN_ROWS:
            with self.subTest(skin=sid):
                with open(os.path.join(HERE, "skin%d.xml" % sid), "rb") as f:
                    data = f.read()
                self.assertTrue(data.startswith(decl), "declaration (and no BOM)")
                data.decode("utf-8")        # strict UTF-8
                root = ET.fromstring(data)
                got, index = [], {}

                def walk(el, parent):
                    got.append((parent, el.tag, list(el.attrib.items())))
                    index[id(el)] = len(got)
                    for child in el:
                        walk(child, index[id(el)])
                walk(root, 0)
                want = expected_rows(sid)
                self.assertEqual(len(got), len(want))
                for no, (g, w) in enumerate(zip(got, want), 1):
                    self.assertEqual(g, w, "row %d" % no)

    def test_image_references_exist(self):
        for sid in SKIN_ROWS:
            for _, _, attrs in expected_rows(sid):
                for _, v in attrs:
                    m = re.fullmatch(r"res='(\d+)' restype='png'", v)
                    if m:
                        self.assertIn(int(m.group(1)), PNG_IDS)


def check_icon_blob(test, dib):
    test.assertEqual(len(dib), ICON_BYTES)
    hdr = struct.unpack_from("<IiiHHI", dib)
    test.assertEqual(hdr, (40, 64, 128, 1, 32, 0))
    # the AND mask marks exactly the fully transparent pixels
    for row in range(64):
        bits = dib[40 + 64 * 64 * 4 + row * 8:40 + 64 * 64 * 4 + row * 8 + 8]
        for x in range(64):
            alpha = dib[40 + (row * 64 + x) * 4 + 3]
            test.assertEqual(bool(bits[x // 8] & (0x80 >> (x % 8))), alpha == 0)
    alphas = [dib[40 + i * 4 + 3] for i in range(64 * 64)]
    test.assertTrue(0 < alphas.count(0) < 64 * 64 // 2, "icon is blank or fully transparent")


def check_group_blob(test, blob, icon_id):
    test.assertEqual(len(blob), 20)
    test.assertEqual(struct.unpack("<HHHBBBBHHIH", blob), (0, 1, 1, 64, 64, 0, 0, 1, 32, ICON_BYTES, icon_id))


class IconData(unittest.TestCase):
    def test_icon_and_groups(self):
        with open(os.path.join(HERE, "icon", "appicon.bin"), "rb") as f:
            check_icon_blob(self, f.read())
        for gid, iid in ((107, 1), (108, 2)):
            with open(os.path.join(HERE, "icon", "group%d.bin" % gid), "rb") as f:
                check_group_blob(self, f.read(), iid)


def generator_python():
    """An interpreter that has PIL (the Debian one when the default lacks it)."""
    for exe in (sys.executable, "/usr/bin/python3"):
        if exe and subprocess.run([exe, "-c", "import PIL"], capture_output=True).returncode == 0:
            return exe
    return None


class Generator(unittest.TestCase):
    def test_committed_files_match_a_fresh_run(self):
        exe = generator_python()
        self.assertIsNotNone(exe, "no python3 with PIL (install python3-pil)")
        with tempfile.TemporaryDirectory() as out:
            run = subprocess.run([exe, os.path.join(HERE, "make_resources.py"), "--out", out],
                                 capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            made = sorted(os.path.relpath(os.path.join(d, n), out)
                          for d, _, names in os.walk(out) for n in names)
            self.assertEqual(len(made), len(PNG_IDS) + 3 + 3)
            for rel in made:
                with open(os.path.join(out, rel), "rb") as a, open(os.path.join(HERE, rel), "rb") as b:
                    self.assertTrue(a.read() == b.read(),
                                    "%s differs from a fresh run: rerun make_resources.py" % rel)


def build_dummy_executables(folder):
    """Compiles the resource script into a tiny program per mingw target found."""
    exes = []
    main_c = os.path.join(folder, "main.c")
    with open(main_c, "w") as f:
        f.write("int main(void) { return 0; }\n")
    for triple in ("i686-w64-mingw32", "x86_64-w64-mingw32"):
        windres, cc = shutil.which(triple + "-windres"), shutil.which(triple + "-gcc")
        if not (windres and cc):
            continue
        obj = os.path.join(folder, triple + "-res.o")
        exe = os.path.join(folder, triple + ".exe")
        subprocess.run([windres, "-O", "coff", os.path.join(HERE, "ZPVUpdate.rc"), obj],
                       check=True, cwd=folder)
        subprocess.run([cc, main_c, obj, "-o", exe], check=True, cwd=folder)
        exes.append(exe)
    return exes


class CompiledResources(unittest.TestCase):
    def check_pe(self, path):
        _, res = pe_file.read_resources(path)
        want_keys = {("XML", i, LANG_ZH_CN) for i in SKIN_ROWS}
        want_keys |= {("PNG", i, LANG_ZH_CN) for i in PNG_IDS}
        want_keys |= {(3, 1, LANG_EN_US), (3, 2, LANG_EN_US), (14, 107, LANG_EN_US),
                      (14, 108, LANG_EN_US), (24, 1, LANG_EN_US)}
        self.assertEqual(set(res), want_keys)
        for sid in SKIN_ROWS:
            with open(os.path.join(HERE, "skin%d.xml" % sid), "rb") as f:
                self.assertEqual(res[("XML", sid, LANG_ZH_CN)], f.read())
        for rid in PNG_IDS:
            with open(png_path(rid), "rb") as f:
                self.assertEqual(res[("PNG", rid, LANG_ZH_CN)], f.read())
        icon1, icon2 = res[(3, 1, LANG_EN_US)], res[(3, 2, LANG_EN_US)]
        check_icon_blob(self, icon1)
        self.assertEqual(icon1, icon2)
        check_group_blob(self, res[(14, 107, LANG_EN_US)], 1)
        check_group_blob(self, res[(14, 108, LANG_EN_US)], 2)
        manifest = res[(24, 1, LANG_EN_US)].decode("utf-8")
        for text in ('level="asInvoker"', 'uiAccess="false"', 'name="Microsoft.Windows.Common-Controls"',
                     'version="6.0.0.0"', 'processorArchitecture="x86"'):
            self.assertIn(text, manifest)

    def test_resource_sections(self):
        with tempfile.TemporaryDirectory() as folder:
            files = PE_FILES or build_dummy_executables(folder)
            self.assertTrue(files, "no executable given and no mingw windres/gcc found")
            for path in files:
                with self.subTest(pe=os.path.basename(path)):
                    self.check_pe(path)

    def test_walker_rejects_non_pe(self):
        with tempfile.NamedTemporaryFile(suffix=".exe") as f:
            f.write(b"MZ" + b"\0" * 100)
            f.flush()
            with self.assertRaises(pe_file.PEError):
                pe_file.read_resources(f.name)


if __name__ == "__main__":
    args = sys.argv[:1]
    it = iter(sys.argv[1:])
    for a in it:
        if a == "--pe":
            PE_FILES.append(os.path.abspath(next(it)))
        else:
            args.append(a)
    unittest.main(argv=args, verbosity=2)
