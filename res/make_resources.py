#!/usr/bin/python3
"""Writes the updater's embedded resources: the three XML skins, the PNG
images and the application icon (raw RT_ICON / RT_GROUP_ICON data).

Usage: make_resources.py [--out DIR]     (default: the folder of this script)

The output is deterministic: the same inputs give byte-identical files, so
the committed files can be compared with a fresh run.
Needs Debian's python3-pil and fonts-wqy-microhei.
"""
import argparse
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_PATH = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
CAPTION_PX = 13

# ---------------------------------------------------------------- colours
WHITE = (255, 255, 255)
BORDER = (209, 208, 208)        # one-pixel frame of the light (white) states
WINDOW_BG = (248, 248, 248)     # skin background the buttons sit on
DARK_GREY_TEXT = (85, 85, 85)
DARK_TEXT = (51, 51, 51)
GREY_TEXT = (102, 102, 102)
NEAR_BLACK_TEXT = (34, 34, 34)
PALE_TEXT = (255, 236, 210)
PALE_CROSS = (255, 240, 224)

# ---------------------------------------------------------------- images
# id: (width, height, mode, fill, caption, caption colour)
# A white fill marks a light state: it gets the grey frame.
BUTTONS = {
    130: (72, 24, "RGBA", (255, 155, 0), "取消", WHITE),
    131: (72, 24, "RGBA", WHITE, "取消", DARK_GREY_TEXT),
    132: (72, 24, "RGBA", (206, 125, 0), "取消", PALE_TEXT),
    136: (72, 24, "RGBA", (255, 155, 0), "确定", WHITE),
    137: (72, 24, "RGBA", WHITE, "确定", DARK_TEXT),
    138: (72, 24, "RGBA", (206, 125, 0), "确定", PALE_TEXT),
    139: (71, 26, "RGBA", (255, 154, 0), "立即安装", WHITE),
    140: (71, 26, "RGBA", WHITE, "立即安装", GREY_TEXT),
    141: (71, 26, "RGBA", (202, 124, 0), "立即安装", PALE_TEXT),
    149: (71, 26, "RGBA", WHITE, "打开助手", NEAR_BLACK_TEXT),
    150: (71, 26, "RGBA", (255, 170, 0), "打开助手", WHITE),
    151: (71, 26, "RGBA", (219, 132, 0), "打开助手", PALE_TEXT),
    152: (71, 26, "RGBA", WHITE, "下次再说", NEAR_BLACK_TEXT),
    153: (71, 26, "RGB", (255, 169, 0), "下次再说", WHITE),
    154: (71, 26, "RGB", (219, 131, 0), "下次再说", PALE_TEXT),
    155: (71, 26, "RGB", (255, 169, 0), None, None),
    156: (71, 26, "RGBA", WHITE, None, None),
    157: (71, 26, "RGB", (219, 131, 0), None, None),
}

# id: (mode, ground colour or None for transparent, cross colour)
CROSSES = {
    133: ("RGB", (255, 188, 88), PALE_CROSS),
    134: ("RGBA", None, WHITE),
    135: ("RGB", (200, 148, 70), PALE_CROSS),
}

# id: (width, height, colour); progress track and fill, RGB
BARS = {
    144: (40, 2, (225, 225, 225)),
    145: (40, 2, (255, 153, 0)),
}

# ---------------------------------------------------------------- skins
# Rows in document order: (enclosing row number or 0, element, attributes).
# Row numbers are 1-based positions in the list.
FONTS_3 = [
    (1, "Font", [("name", "微软雅黑"), ("size", "13"), ("bold", "false"), ("italic", "false")]),
    (1, "Font", [("name", "微软雅黑"), ("size", "13"), ("bold", "true"), ("italic", "false")]),
    (1, "Font", [("name", "微软雅黑"), ("size", "14"), ("bold", "false"), ("italic", "false")]),
]


def close_button(*extra):
    return [("name", "closeButton"), ("tooltip", "关闭")] + list(extra) + [
        ("padding", "6,0,0,0"), ("width", "14"), ("height", "14"),
        ("normalimage", "res='134' restype='png'"),
        ("hotimage", "res='133' restype='png'"),
        ("pushedimage", "res='135' restype='png'")]


def state_images(normal, hot, pushed):
    return [("normalimage", "res='%d' restype='png'" % normal),
            ("hotimage", "res='%d' restype='png'" % hot),
            ("pushedimage", "res='%d' restype='png'" % pushed)]


SKINS = {
    142: [
        (0, "Window", [("caption", "0,0,0,20"), ("size", "310,100"), ("visible", "false")]),
        *FONTS_3,
        (1, "VerticalLayout", []),
        (5, "HorizontalLayout", [("height", "30"), ("bkcolor", "#FFFF9A00")]),
        (6, "HorizontalLayout", [("padding", "10,0,0,0"), ("width", "200")]),
        (7, "Label", [("name", "titleLabel"), ("text", "Veltaro更新"), ("font", "2"),
                      ("textcolor", "#FFFFFFFF")]),
        (6, "HorizontalLayout", []),
        (6, "HorizontalLayout", [("width", "20"), ("inset", "0,8,0,0")]),
        (10, "Button", close_button(("visible", "false"))),
        (5, "VerticalLayout", [("bkcolor", "#FFF8F8F8")]),
        (12, "HorizontalLayout", [("height", "30"), ("padding", "10,0,0,0")]),
        (13, "Label", [("name", "tipsLabel"), ("text", ""), ("font", "2"),
                       ("textcolor", "#FF333333")]),
        (12, "HorizontalLayout", [("padding", "10,0,0,0")]),
        (15, "HorizontalLayout", [("name", "buttonLayout"), ("visible", "false")]),
        (16, "HorizontalLayout", []),
        (16, "HorizontalLayout", [("width", "71")]),
        (18, "Button", [("name", "installButton"), ("width", "71"), ("height", "26"),
                        ("padding", "0,4,0,0")] + state_images(140, 139, 141)),
        (15, "HorizontalLayout", [("name", "progressLayout")]),
        (20, "Progress", [("name", "downloadProgress"), ("height", "3"), ("padding", "0,14,0,0"),
                          ("bkimage", "res='144' restype='png'"),
                          ("foreimage", "res='145' restype='png'"),
                          ("min", "0"), ("max", "100"), ("value", "0")]),
        (20, "Button", [("name", "skipButton"), ("width", "71"), ("height", "26"),
                        ("padding", "9,2,0,0")] + state_images(152, 153, 154)),
        (15, "HorizontalLayout", [("width", "10")]),
    ],
    143: [
        (0, "Window", [("caption", "0,0,0,20"), ("size", "310,100")]),
        *FONTS_3,
        (1, "Font", [("name", "微软雅黑"), ("size", "15"), ("bold", "false"), ("italic", "false")]),
        (1, "VerticalLayout", []),
        (6, "HorizontalLayout", [("height", "30"), ("bkcolor", "#FFFF9A00")]),
        (7, "HorizontalLayout", [("padding", "10,0,0,0"), ("width", "274")]),
        (8, "Label", [("name", "titleLabel"), ("text", "提示"), ("font", "2"),
                      ("textcolor", "#FFFFFFFF")]),
        (7, "HorizontalLayout", [("width", "20"), ("inset", "0,8,0,0")]),
        (10, "Button", close_button()),
        (6, "VerticalLayout", [("bkcolor", "#FFF8F8F8")]),
        (12, "VerticalLayout", []),
        (12, "HorizontalLayout", [("height", "30"), ("padding", "18,0,0,0")]),
        (14, "Label", [("name", "tipsLabel"),
                       ("text", "新版本将在下次启动时更新，您也可以立即安装！"),
                       ("font", "3"), ("textcolor", "#FF333333")]),
        (12, "VerticalLayout", []),
        (12, "HorizontalLayout", [("padding", "0,5,0,0"), ("height", "36")]),
        (17, "HorizontalLayout", []),
        (17, "HorizontalLayout", [("width", "80")]),
        (19, "Button", [("name", "cancelButton"), ("width", "72"), ("height", "24"),
                        ("padding", "4,4,0,0")] + state_images(131, 130, 132)),
        (17, "HorizontalLayout", [("width", "90")]),
        (21, "Button", [("name", "confirmButton"), ("width", "72"), ("height", "24"),
                        ("padding", "4,4,0,0")] + state_images(156, 155, 157)),
    ],
    146: [
        (0, "Window", [("caption", "0,0,0,32"), ("size", "420,210"), ("visible", "false")]),
        *FONTS_3,
        (1, "VerticalLayout", []),
        (5, "HorizontalLayout", [("height", "32"), ("bkcolor", "#FF4A4D55")]),
        (6, "HorizontalLayout", [("padding", "10,0,0,0"), ("width", "274")]),
        (7, "Label", [("name", "titleLabel"), ("text", "KelvoraVeltaro-升级"), ("font", "2"),
                      ("textcolor", "#FFFFFFFF")]),
        (6, "HorizontalLayout", [("width", "20"), ("inset", "0,8,0,0")]),
        (9, "Button", close_button()),
        (5, "VerticalLayout", [("bkcolor", "#FFF8F8F8")]),
        (11, "HorizontalLayout", [("height", "30"), ("align", "center")]),
        (12, "Label", [("name", "tipsLabel"), ("text", "升级完成，重新打开助手上课吧！"),
                       ("font", "2"), ("textcolor", "#FF333333")]),
        (11, "HorizontalLayout", [("align", "center")]),
        (14, "Button", [("name", "launchButton"), ("width", "80"), ("height", "36")]
         + state_images(149, 150, 151)),
    ],
}

# ---------------------------------------------------------------- icon
ICON_SIZE = 64
ICON_IDS = (1, 2)
GROUP_ICONS = {107: 1, 108: 2}      # group icon id -> the icon id it names
ICON_FILL = (255, 154, 0)


# ================================================================ images
def blend(a, b, t):
    """Colour a mixed with colour b by weight t (0..1), rounded."""
    return tuple(int(round(x * (1 - t) + y * t)) for x, y in zip(a, b))


def caption_mask(width, height, text, font):
    """Anti-aliased coverage of a centred caption, as an L image."""
    mask = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(mask)
    left, top, right, bottom = draw.textbbox((0, 0), text, font=font)
    x = (width - (right - left)) // 2 - left
    y = (height - (bottom - top)) // 2 - top
    draw.text((x, y), text, fill=255, font=font)
    return mask


def make_button(width, height, mode, fill, caption, caption_colour, font):
    rgb = Image.new("RGB", (width, height), fill)
    light = fill == WHITE
    if light:
        ImageDraw.Draw(rgb).rectangle((0, 0, width - 1, height - 1), outline=BORDER)
    if caption:
        mask = caption_mask(width, height, caption, font)
        rgb = Image.composite(Image.new("RGB", (width, height), caption_colour), rgb, mask)
    corners = ((0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1))
    edge = BORDER if light else fill
    if mode == "RGBA":
        # Half-transparent corners round the button off against any ground.
        img = rgb.convert("RGBA")
        for c in corners:
            img.putpixel(c, edge + (128,))
        return img
    # Without alpha the corners are mixed with the window background instead.
    for c in corners:
        rgb.putpixel(c, blend(edge, WINDOW_BG, 0.5))
    return rgb


def cross_mask(size=14, half_width=0.75, lo=3.5, hi=10.5, samples=8):
    """Coverage of two diagonal strokes with round ends, sampled on a regular
    grid inside each pixel; computed directly so it is exactly symmetric."""
    def dist(px, py, ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
        return ((px - ax - t * dx) ** 2 + (py - ay - t * dy) ** 2) ** 0.5

    mask = Image.new("L", (size, size), 0)
    n = samples * samples
    for y in range(size):
        for x in range(size):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    px, py = x + (sx + 0.5) / samples, y + (sy + 0.5) / samples
                    if min(dist(px, py, lo, lo, hi, hi), dist(px, py, lo, hi, hi, lo)) <= half_width:
                        hits += 1
            mask.putpixel((x, y), (hits * 255 + n // 2) // n)
    return mask


def make_cross(mode, ground, colour):
    mask = cross_mask()
    size = mask.size
    if ground is None:
        img = Image.new("RGBA", size, colour + (0,))
        img.putalpha(mask)
        return img
    img = Image.new("RGB", size, ground)
    return Image.composite(Image.new("RGB", size, colour), img, mask)


def make_images():
    font = ImageFont.truetype(FONT_PATH, CAPTION_PX, index=0)
    images = {}
    for rid, (w, h, mode, fill, cap, cap_colour) in BUTTONS.items():
        images[rid] = make_button(w, h, mode, fill, cap, cap_colour, font)
    for rid, (mode, ground, colour) in CROSSES.items():
        images[rid] = make_cross(mode, ground, colour)
    for rid, (w, h, colour) in BARS.items():
        images[rid] = Image.new("RGB", (w, h), colour)
    return dict(sorted(images.items()))


# ================================================================ skins
def xml_escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;")
            .replace(">", "&gt;").replace('"', "&quot;"))


def skin_text(rows):
    """Nests the rows by their enclosing row number and writes the document."""
    children = {i: [] for i in range(len(rows) + 1)}
    for no, (parent, _, _) in enumerate(rows, 1):
        if parent >= no:
            raise ValueError("row %d encloses itself or a later row" % no)
        children[parent].append(no)
    if children[0] != [1]:
        raise ValueError("a skin has exactly one root, the first row")

    lines = ['<?xml version="1.0" encoding="utf-8" standalone="yes"?>']

    def emit(no, depth):
        _, name, attrs = rows[no - 1]
        head = "    " * depth + "<" + name + "".join(
            ' %s="%s"' % (k, xml_escape(v)) for k, v in attrs)
        if not children[no]:
            lines.append(head + " />")
            return
        lines.append(head + ">")
        for child in children[no]:
            emit(child, depth + 1)
        lines.append("    " * depth + "</" + name + ">")

    emit(1, 0)
    return ("\n".join(lines) + "\n").encode("utf-8")


# ================================================================ icon
def icon_art():
    """64x64 RGBA: an orange rounded square with a white upward arrow."""
    s = 4                                   # supersampling factor
    big = Image.new("RGBA", (ICON_SIZE * s, ICON_SIZE * s), (0, 0, 0, 0))
    draw = ImageDraw.Draw(big)
    draw.rounded_rectangle((3 * s, 3 * s, 61 * s - 1, 61 * s - 1), radius=13 * s,
                           fill=ICON_FILL + (255,))
    arrow = [(32, 12), (50, 31), (39, 31), (39, 52), (25, 52), (25, 31), (14, 31)]
    draw.polygon([(x * s, y * s) for x, y in arrow], fill=WHITE + (255,))
    return big.resize((ICON_SIZE, ICON_SIZE), Image.BOX)


def icon_dib(img):
    """Icon image as stored in an RT_ICON resource: BITMAPINFOHEADER with the
    doubled height, 32-bit BGRA rows bottom-up, then the 1-bit AND mask."""
    w, h = img.size
    xor = bytearray()
    mask = bytearray()
    row_bytes = ((w + 31) // 32) * 4
    for y in range(h - 1, -1, -1):
        bits = bytearray(row_bytes)
        for x in range(w):
            r, g, b, a = img.getpixel((x, y))
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def group_icon(icon_id, dib_size):
    """RT_GROUP_ICON data: GRPICONDIR with one GRPICONDIRENTRY naming icon_id."""
    return struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHIH", ICON_SIZE, ICON_SIZE, 0, 0, 1, 32, dib_size, icon_id)


# ================================================================ output
def outputs():
    """Every output file: relative path -> bytes (images as PIL images)."""
    files = {}
    for rid, img in make_images().items():
        files["png/%d.png" % rid] = img
    for rid, rows in SKINS.items():
        files["skin%d.xml" % rid] = skin_text(rows)
    dib = icon_dib(icon_art())
    files["icon/appicon.bin"] = dib
    for gid, iid in GROUP_ICONS.items():
        files["icon/group%d.bin" % gid] = group_icon(iid, len(dib))
    return files


def write_all(out_dir):
    for rel, content in outputs().items():
        path = os.path.join(out_dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, Image.Image):
            content.save(path, format="PNG", optimize=False)
        else:
            with open(path, "wb") as f:
                f.write(content)
        print("wrote", path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)),
                        help="output folder (default: the script's folder)")
    args = parser.parse_args(argv)
    if not os.path.isfile(FONT_PATH):
        print("error: font not found: %s (install fonts-wqy-microhei)" % FONT_PATH,
              file=sys.stderr)
        return 1
    write_all(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
