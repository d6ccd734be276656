#!/usr/bin/env python3
"""Writes the sample update package used by the end-to-end tests and the demo: client files in
nested folders, one of them large enough that a throttled download takes a few seconds."""
import random
import sys
import zipfile

out = sys.argv[1]
rnd = random.Random(7)
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Veltaro/version.txt", "2.0.0\n")
    z.writestr("Veltaro/res/readme.txt", "new client resources\n" * 200)
    z.writestr("Veltaro/res/empty.dat", b"")
    z.writestr("Veltaro/bin/data.bin", bytes(rnd.getrandbits(8) for _ in range(1536 * 1024)))
    z.writestr("Veltaro/res/\u6559\u5ba4.txt", "classroom\n")
