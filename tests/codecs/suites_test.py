"""Every file of the PngSuite and the BMP Suite through kelvara-batch to each
format: refused with the status tests/data/suites.tsv lists for it, writing
nothing, or converted to three outputs that decode alike (Pillow; zlib for
XYZ) and to what Pillow reads from the file, or to the rendering listed.

"""
import os
import tempfile
import unittest

from kelvara_test import TESTDATA, Image, decode, need, run

LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "suites.tsv")
LISTED = {line.split("\t")[0]: line.rstrip("\n").split("\t")[1:] for line in open(LIST)
          if not line.startswith("#")}
FOLDERS = ["pngsuite/png", "bmpsuite/b", "bmpsuite/g", "bmpsuite/q", "bmpsuite/x"]


def rgb(palette, indices):
    return b"".join(palette[3 * i:3 * i + 3] for i in indices)


class Suites(unittest.TestCase):
    def test_every_file(self):
        need(self, TESTDATA and all(os.path.isdir(os.path.join(TESTDATA, f)) for f in FOLDERS),
             "PngSuite and BMP Suite")
        need(self, Image, "Pillow")
        files = sorted(f + "/" + n for f in FOLDERS for n in os.listdir(os.path.join(TESTDATA, f)))
        self.assertLessEqual(set(LISTED), set(files), "suite files missing")
        for expand in ([], ["--expand-low-depth"]):
            with self.subTest(expand=expand), tempfile.TemporaryDirectory() as root:
                self.check(files, root, expand)

    def check(self, files, root, expand):
        got = {}
        for to in ("bmp", "png", "xyz"):
            lines, err = run(root, ["--to", to, "--out", to, "--keep-tree"] + expand
                             + [os.path.join(TESTDATA, f) for f in FOLDERS])[1:]
            self.assertEqual(err, "")  # nothing said aloud (libpng warnings)
            for line in lines:
                status, source, target = line.split(" ")
                got.setdefault(os.path.relpath(source, TESTDATA), []).append((status, target))
        written = {os.path.relpath(os.path.join(d, n), root) for d, _, names in os.walk(root)
                   for n in names if n != "empty.ini"}
        self.assertEqual(written, {t for r in got.values() for s, t in r if s == "success"})
        for f in files:
            with self.subTest(f):
                status, *reference = LISTED.get(f, ["success"])
                status = status.split("/")[-1 if expand else 0]
                self.assertEqual([s for s, _ in got[f]], [status] * 3)
                if status != "success":
                    continue
                outputs = [decode(os.path.join(root, t))[:4] for _, t in got[f]]
                self.assertEqual(outputs[0], outputs[1])
                self.assertEqual(outputs[0], outputs[2])
                w, h, palette, indices = outputs[0]
                if reference == ["-"]:
                    continue
                if reference:
                    with Image.open(os.path.join(TESTDATA, reference[0])) as im:
                        self.assertEqual(rgb(palette, indices), im.convert("RGB").tobytes())
                    continue
                with Image.open(os.path.join(TESTDATA, f)) as im:
                    im.load()
                    if im.mode not in ("P", "L"):  # Pillow's 1-bit mode: the rendering
                        self.assertEqual(rgb(palette, indices), im.convert("RGB").tobytes())
                        continue
                    expected = bytes(im.getpalette() if im.mode == "P" else
                                     [g for g in range(256) for _ in "rgb"])
                    self.assertEqual((palette[:len(expected)], indices),
                                     (expected, im.tobytes()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
