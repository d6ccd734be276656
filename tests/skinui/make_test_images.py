#!/usr/bin/python3
"""Writes the flat-colour test images of the toolkit tests (rerun after changing them)."""
import os
from PIL import Image

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "images")
os.makedirs(here, exist_ok=True)
flat = {
    "normal.png": ((20, 14), (200, 0, 0)),     # button states: red, green, blue
    "hot.png": ((20, 14), (0, 200, 0)),
    "pushed.png": ((20, 14), (0, 0, 200)),
    "track.png": ((40, 2), (225, 225, 225)),   # progress track and fill
    "fill.png": ((40, 2), (255, 153, 0)),
}
for name, (size, rgb) in flat.items():
    Image.new("RGB", size, rgb).save(os.path.join(here, name))
# Half-transparent blue with fully transparent corner pixels.
img = Image.new("RGBA", (10, 10), (0, 0, 255, 128))
for xy in ((0, 0), (9, 0), (0, 9), (9, 9)):
    img.putpixel(xy, (0, 0, 0, 0))
img.save(os.path.join(here, "half.png"))
Image.new("RGBA", (32, 32), (255, 153, 0, 255)).save(os.path.join(here, "test.ico"), sizes=[(32, 32)])
