"""Converts every file of a folder with Pillow, in this one process.

Usage: /usr/bin/python3 bench/peers_pillow.py IN_DIR OUT_DIR png|bmp

bench/peers.sh times this as the Pillow peer. Palette images stay in mode
P, so both PNG (colour type 3) and BMP (8 bits) come out 8-bit with their
palette. PNG at zlib level 6; Pillow picks its own row filters (it offers
no setting for them).
"""

import os
import sys

from PIL import Image


def main() -> int:
    source, target, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    fmt, ext = ("PNG", ".png") if kind == "png" else ("BMP", ".bmp")
    options = {"compress_level": 6} if fmt == "PNG" else {}
    failed = 0
    for name in sorted(os.listdir(source)):
        stem = name.rpartition(".")[0]
        with Image.open(os.path.join(source, name)) as image:
            if image.mode != "P":
                # A conversion to P would quantise: not the same job.
                print(f"{name}: mode {image.mode}, not P", file=sys.stderr)
                failed += 1
                continue
            image.save(os.path.join(target, stem + ext), fmt, **options)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
