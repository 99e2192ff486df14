"""What the Python tests share: where the programs and data are, running
kelvara-batch, trees built from the bundled examples, snapshots, and decoding
outputs with tools nobody here wrote (Pillow, Python's zlib)."""
import os
import shutil
import subprocess
import unittest
import zlib

BATCH = os.environ.get("KELVARA_BATCH", "")
EXAMPLES = os.environ.get("KELVARA_EXAMPLES", "")
TESTDATA = os.environ.get("KELVARA_TESTDATA", "")
REQUIRE_ALL = os.environ.get("KELVARA_REQUIRE_ALL", "") not in ("", "0")

try:
    from PIL import Image
except ImportError:  # only Debian's /usr/bin/python3 is sure to have it
    Image = None


def need(test, available, what):
    """Skips test for a missing tool or suite, or fails it where everything is required (CI)."""
    if not available:
        if REQUIRE_ALL:
            test.fail("required but missing: " + what)
        test.skipTest("skipped, missing: " + what)


def build(root, files):
    """files: relative path -> an examples/ file name, "link:TARGET", "text:CONTENT",
    "fifo:" or "dir:"."""
    for rel, what in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path.rstrip("/")), exist_ok=True)
        if what.startswith("link:"):
            os.symlink(what[5:], path)
        elif what.startswith("text:"):
            with open(path, "w") as f:
                f.write(what[5:])
        elif what == "fifo:":
            os.mkfifo(path)
        elif what == "dir:":
            os.makedirs(path, exist_ok=True)
        else:
            shutil.copy(os.path.join(EXAMPLES, what), path)


def snapshot(root):
    """Every file below root by relative path: (mode, bytes), or the target of a link."""
    files = {}
    for folder, dirs, names in os.walk(root):
        for name in names + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                files[rel] = "->" + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    files[rel] = (os.stat(path).st_mode & 0o7777, f.read())
    return files


def run(root, args, config=True, **kw):
    """Runs kelvara-batch in root: (exit status, lines "STATUS SOURCE TARGET" with
    paths relative to root and "-" for an empty field, standard error)."""
    if config:  # an empty settings file: only the options count
        open(os.path.join(root, "empty.ini"), "a").close()
        args = ["--config", os.path.join(root, "empty.ini")] + args
    r = subprocess.run([BATCH] + args, cwd=root, capture_output=True, **kw)
    out = r.stdout.decode("utf-8", "surrogateescape").replace(root + "/", "")
    lines = [" ".join(f or "-" for f in line.split("\t")) for line in out.splitlines()]
    return r.returncode, lines, r.stderr.decode("utf-8", "replace")


def decode(path):
    """(width, height, 768 palette bytes, indices, transparency) as Pillow (BMP, PNG)
    or Python's zlib (XYZ) read the file; None when they cannot."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == b"XYZ1":
        w, h = int.from_bytes(data[4:6], "little"), int.from_bytes(data[6:8], "little")
        try:
            payload = zlib.decompress(data[8:])
        except zlib.error:
            return None
        return (w, h, payload[:768], payload[768:768 + w * h], b"") if len(payload) >= 768 + w * h else None
    if Image is None:
        return None
    try:
        im = Image.open(path)
        im.load()
    except Exception:
        return None
    if im.mode not in ("P", "L"):
        return None
    pal = bytes(im.getpalette() or []) if im.mode == "P" else bytes(v for g in range(256) for v in (g, g, g))
    t = im.info.get("transparency", b"") if im.mode == "P" else b""
    t = t if isinstance(t, bytes) else bytes([255] * t + [0])
    return im.size[0], im.size[1], (pal + bytes(768))[:768], im.tobytes(), t


class TestCase(unittest.TestCase):
    maxDiff = None
