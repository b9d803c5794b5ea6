#!/usr/bin/env python3
"""Draws the menu icon of Corvantix for the freedesktop hicolor theme.

    make_icons.py OUTDIR

writes OUTDIR/<n>x<n>/corvantix.png for every size of the program's own
icon (resources/images/make_images.py), drawn by the same code, so the menu
shows the pixels of the icon's 32-bit images.
"""

import os
import sys

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "resources", "images"))
import make_images  # noqa: E402

SIZES = (16, 24, 32, 48, 256)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icons.py OUTDIR\n")
        return 2
    for size in SIZES:
        folder = os.path.join(argv[1], "%dx%d" % (size, size))
        os.makedirs(folder, exist_ok=True)
        rows = make_images.draw_icon(size).rgba_bytes()
        make_images.write(os.path.join(folder, "corvantix.png"),
                          make_images.png(size, size, rows, alpha=True))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
