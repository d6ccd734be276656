#!/usr/bin/env python3
"""Writes the sample update used by the end-to-end tests and the demo: client files in nested
folders, one of them large enough that a throttled download takes a few seconds.

    make_package.py PACKAGE.zip     the sample as a package (the end-to-end tests)
    make_package.py --tree FOLDER   the sample as a release folder, FOLDER/Veltaro/... (the demo
                                    packs it with zpvpack, as a publisher would)
"""
import os
import random
import sys
import zipfile


def sample():
    rnd = random.Random(7)
    return {
        "Veltaro/version.txt": b"2.0.0\n",
        "Veltaro/res/readme.txt": b"new client resources\n" * 200,
        "Veltaro/res/empty.dat": b"",
        "Veltaro/bin/data.bin": bytes(rnd.getrandbits(8) for _ in range(1536 * 1024)),
        "Veltaro/res/\u6559\u5ba4.txt": b"classroom\n",
    }


if sys.argv[1] == "--tree":
    for name, data in sample().items():
        path = os.path.join(sys.argv[2], name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
else:
    with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in sample().items():
            z.writestr(name, data)
