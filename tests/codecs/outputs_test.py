"""The case files of tests/data/cases through kelvara-batch, and what programs
not ours make of the outputs: Pillow reads each BMP and PNG, Python's zlib
each XYZ, to the size, digest and opacity of the manifest; PNGs have the
chunks they should, pass pngcheck and are filtered as asked; level 0 stores,
higher levels compress. The BMP layout is compared with a golden file.

"""
import glob
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

from kelvara_test import Image, decode, need, run

DATA = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data"))
# file read probe bmp png xyz size digest alpha min pillow made
ROWS = [line.rstrip("\n").split("\t") for line in open(os.path.join(DATA, "cases", "manifest.tsv"))
        if not line.startswith("#")]
COLUMN = {"bmp": 3, "png": 4, "xyz": 5}
FILTERS = ["none", "sub", "up", "average", "paeth", "all"]


def chunks(png):
    at = 8
    while at < len(png):
        n = int.from_bytes(png[at:at + 4], "big")
        yield png[at + 4:at + 8].decode(), png[at + 8:at + 8 + n]
        at += 12 + n


def stored(stream):
    """What a zlib stream of stored blocks only holds; None for any other."""
    at, out = 2, b""
    while stream[at] in (0, 1):
        n = int.from_bytes(stream[at + 1:at + 3], "little")
        out, at = out + stream[at + 5:at + 5 + n], at + 5 + n
        if stream[at - 5 - n] == 1:
            return out
    return None


class Outputs(unittest.TestCase):
    def convert(self, to, *options):
        """Every row that can be written, converted: each status as the manifest
        says, each output decoded to its size, digest and (PNG only) opacity.
        Returns {file: output bytes} of the successes."""
        need(self, Image, "Pillow")
        outputs = {}
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "list"), "w") as f:
                f.writelines(os.path.join(DATA, "cases", r[0]) + "\n" for r in ROWS
                             if r[3] != "-")
            lines, err = run(root, ["--to", to, "--out", "o", "--flat", "--files-from", "list"]
                             + list(options))[1:]
            self.assertEqual(err, "")
            got = {os.path.basename(line.split(" ")[1]): line.split(" ")[::2] for line in lines}
            for r in ROWS:
                if r[3] != "-":
                    self.assertEqual(got[r[0]][0], r[COLUMN[to]], r[0])
                if r[COLUMN[to]] == "success":
                    path = os.path.join(root, got[r[0]][1])
                    w, h, palette, indices, alpha = decode(path)
                    self.assertEqual(("%dx%d" % (w, h), "%08x" % zlib.crc32(palette + indices),
                                      alpha.hex() or "-"),
                                     (r[6], r[7], r[8] if to == "png" else "-"), r[0])
                    with open(path, "rb") as f:
                        outputs[r[0]] = f.read()
            if to == "png":
                need(self, shutil.which("pngcheck"), "pngcheck")
                check = subprocess.run(["pngcheck", "-q"] + glob.glob(os.path.join(root, "o", "*")),
                                       capture_output=True)
                self.assertEqual(check.returncode, 0, check.stdout)
        return outputs

    def test_png_chunks_filters_and_levels(self):
        used, sizes = set(), {}
        for level, name in [(6, f) for f in FILTERS] + [(level, "all") for level in range(10)]:
            outputs = self.convert("png", "--png-level", str(level), "--png-filter", name)
            for file, png in outputs.items():
                kinds, data = [k for k, _ in chunks(png)], dict(chunks(png))
                self.assertEqual(kinds, ["IHDR", "PLTE"] + ["tRNS"] * ("tRNS" in data)
                                 + ["IDAT"] * kinds.count("IDAT") + ["IEND"], file)
                self.assertEqual((data["IHDR"][8:], len(data["PLTE"])),
                                 (bytes([8, 3, 0, 0, 0]), 768), file)
                stream = b"".join(d for k, d in chunks(png) if k == "IDAT")
                rows = zlib.decompress(stream)
                w, h = struct.unpack(">II", data["IHDR"][:8])
                filters = set(rows[::w + 1])
                if name == "all":
                    used |= filters
                    sizes[level] = sizes.get(level, 0) + len(png)
                elif w > 1 and h > 1:  # libpng leaves out filters a single row or column cannot use
                    self.assertEqual(filters, {FILTERS.index(name)}, file)
                self.assertEqual(stored(stream) if level == 0 else rows, rows, file)
        self.assertGreater(len(used), 1, "all filters: the same on every row")
        for level in range(1, 10):
            self.assertLess(sizes[level], sizes[0], level)

    def test_png_stream_over_several_idat_chunks(self):
        """Noise does not compress: its stream is split over IDAT chunks, each with its CRC."""
        need(self, Image, "Pillow")
        need(self, shutil.which("pngcheck"), "pngcheck")
        with tempfile.TemporaryDirectory() as root:
            rng = random.Random(11)
            im = Image.frombytes("P", (1200, 1000), rng.randbytes(1200 * 1000))
            im.putpalette(rng.randbytes(768))
            im.save(os.path.join(root, "noise.bmp"))
            self.assertEqual(run(root, ["--to", "png", "--beside", "noise.bmp"])[0], 0)
            path = os.path.join(root, "noise.png")
            with open(path, "rb") as f:
                self.assertGreater([k for k, _ in chunks(f.read())].count("IDAT"), 1)
            self.assertEqual(subprocess.run(["pngcheck", "-q", path], capture_output=True).returncode, 0)
            self.assertEqual(decode(path)[3], im.tobytes())

    def test_xyz_levels_and_pillow_on_the_cases(self):
        sizes = []
        for level in (0, 6, 9):
            outputs = self.convert("xyz", "--xyz-level", str(level))
            for r in ROWS:
                if r[0] not in outputs:
                    continue
                data, stream = outputs[r[0]][8:], zlib.decompressobj()
                payload = stream.decompress(data)
                self.assertTrue(stream.eof and not stream.unused_data, r[0])  # one stream only
                self.assertEqual(stored(data) if level == 0 else payload, payload, r[0])
                if r[10] == "same":  # Pillow reads the case to the same indices and entries
                    im = Image.open(os.path.join(DATA, "cases", r[0]))
                    im.load()
                    palette = bytes(im.getpalette() if im.mode == "P"
                                    else [g for g in range(256) for _ in "rgb"])
                    self.assertEqual((payload[:len(palette)], payload[768:]),
                                     (palette, im.tobytes()), r[0])
            sizes.append(sum(map(len, outputs.values())))
        self.assertLess(sizes[2], sizes[0] * 3 // 4)

    def test_bmp_layout(self):
        with open(os.path.join(DATA, "golden", "bmp-plain-5x3.bmp"), "rb") as f:
            self.assertEqual(self.convert("bmp")["bmp-plain-5x3.bmp"], f.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
