"""kelvara-batch end to end: each row runs the real program in a fresh tree (a folder
named ROOT) and is judged by check(), through decoders nobody here wrote, and by twice().
The matrix's lines are in golden/matrix.txt (paths relative to ROOT; a written PNG or XYZ
is followed by its zlib level class z0-z3 and PNG row filter types f...). After a
deliberate change, rewrite it and review the difference:
    KELVARA_UPDATE_GOLDEN=1 ctest --test-dir build/release -R batch_runs
"""
import contextlib
import os
import pty
import random
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import zlib
from pathlib import Path

from kelvara_test import BATCH, EXAMPLES, Image, build, decode, need

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden", "matrix.txt")
PIC = "sunset.bmp"
QUIET = ("success", "skipped", "convert", "copy", "skip")  # the words -q leaves out
EMPTY = tempfile.NamedTemporaryFile(suffix=".ini")  # settings: only the options count
os.chmod(EMPTY.name, 0o644)


def make(root, files):
    """build(), plus "noise:WxH" (seeded by its path; "noise4:" has 4 colours), texts
    of any bytes, and a leading "MODE@" applied at the end."""
    modes = {}
    for rel, what in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if "@" in what[:5]:
            modes[path], what = what.split("@", 1)
        noise = re.fullmatch(r"noise(\d*):(\d+)x(\d+)", what)
        if noise:
            colours, w, h = int(noise[1] or 256), int(noise[2]), int(noise[3])
            rng = random.Random(os.fsencode(rel))
            pal, idx = rng.randbytes(768), rng.randbytes(w * h).translate(bytes(range(colours)) * (256 // colours))
            if path.lower().endswith(".xyz"):
                Path(path).write_bytes(b"XYZ1" + (w | h << 16).to_bytes(4, "little") + zlib.compress(pal + idx))
            else:
                im = Image.frombytes("P", (w, h), idx)
                im.putpalette(pal)
                im.save(path)
        elif what.startswith("text:"):
            Path(path).write_bytes(os.fsencode(what[5:]))
        else:
            build(root, {rel: what})
    for path, mode in modes.items():
        os.chmod(path, int(mode, 8))


def stamp(root):
    """Everything below root: ((mode, bytes) of a file | link | type and mode, time)."""
    tree = {}
    for folder, dirs, names in os.walk(root):
        for path in (os.path.join(folder, name) for name in dirs + names):
            st = os.lstat(path)
            what = "->" + os.readlink(path) if stat.S_ISLNK(st.st_mode) else st.st_mode
            if stat.S_ISREG(st.st_mode) and os.access(path, os.R_OK):
                what = (st.st_mode & 0o7777, Path(path).read_bytes())
            tree[os.path.relpath(path, root)] = (what, 0 if stat.S_ISDIR(st.st_mode) else st.st_mtime_ns)
    return tree


def unescape(field):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "n": "\n"}.get(m[1], m[1]), field)


def launch(root, args, at=None, **kw):
    """Runs kelvara-batch in root: (exit status, lines as tuples of fields, paths relative
    to root, standard error). at = (k, act): once k lines are out, act is sent as a
    signal or called with the process and the root."""
    args = args if "--config" in args else ["--config", EMPTY.name] + args
    with subprocess.Popen([BATCH] + args, cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kw) as p:
        lines = []
        while True:
            if at and len(lines) == at[0]:
                at[1](p, root) if callable(at[1]) else p.send_signal(at[1])
            raw = b"" if p.stdout.closed else p.stdout.readline()
            if not raw:
                break
            text = raw.decode("utf-8", "surrogateescape").rstrip("\n")
            lines.append(tuple(f.replace(root + "/", "") for f in text.split("\t")))
        err = p.stderr.read().decode("utf-8", "replace")
    return p.returncode, lines, err


def check(t, root, before, decoded, lines, may=(), killed=False):
    """Each reported success, and each changed target of may (another run's lines), is whole:
    Pillow or zlib decode it as its source, or it has the source's bytes and mode. All else
    keeps bytes, mode and time; nothing appears but folders on the way (or after a kill, temporaries)."""
    after, done, allowed = stamp(root), {}, {}
    for into, found in ((allowed, may), (done, lines)):
        for f in (f for f in found if f[0] == "success"):  # a link at the name: also its file
            real = os.path.relpath(os.path.realpath(os.path.join(root, unescape(f[2]))), root)
            into[unescape(f[2])] = into[real] = unescape(f[1])
    allowed.update(done)
    for rel in set(before) | set(after) | set(done):
        if rel not in done and (after.get(rel) == before.get(rel) or rel not in before and isinstance(
                after.get(rel, "?")[0], int) and any(a.startswith(rel + "/") for a in allowed)):
            continue
        if os.path.basename(rel).startswith(".kelvara-") and (killed or rel not in after):
            continue  # left by a kill, or seen while the run went on
        src = allowed.get(rel)
        t.assertTrue(src in decoded, rel + ": changed, but no entry wrote it")
        got = not isinstance(after.get(rel, (0,))[0], int) and (  # a file, or a link to one
            decode(os.path.join(root, rel)) if decoded[src] else after[rel][0])
        t.assertTrue(got == (decoded[src] or before[src][0]), rel + ": not the whole of " + src)


def zinfo(path):
    """The zlib level class of an XYZ's or PNG's data, and a PNG's row filter types."""
    d = Path(path).read_bytes()
    if d[1:4] != b"PNG":
        return " z%d" % (d[9] >> 6) if d[:4] == b"XYZ1" else ""
    idat, pos = b"", 8
    while pos < len(d):
        n = int.from_bytes(d[pos:pos + 4], "big")
        idat += d[pos + 8:pos + 8 + n] if d[pos + 4:pos + 8] == b"IDAT" else b""
        pos += 12 + n
    raw, row = zlib.decompress(idat), int.from_bytes(d[16:20], "big") + 1
    return " z%d f%s" % (idat[1] >> 6, "".join(sorted({str(raw[y]) for y in range(0, len(raw), row)})))


def trial(t, files, args, at=None, may=(), note=False, **kw):
    """One run on a fresh tree, then check(): (exit status, lines, lines shown, tree,
    standard error). An act that changes the tree sets what must be kept."""
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(os.path.realpath(tmp), "ROOT")
        os.mkdir(root)
        make(root, files)
        before = stamp(root)
        decoded = {r: isinstance(v[0], tuple) and decode(os.path.join(root, r)) for r, v in before.items()}
        if at and callable(at[1]):
            hook = at[1]
            at = (at[0], lambda p, r: (hook(p, r), before.clear(), before.update(stamp(r))))
        status, lines, err = launch(root, args, at, **kw)
        check(t, root, before, decoded, lines, may, status == -signal.SIGKILL)
        shown = [" ".join(f or "-" for f in l) + (zinfo(os.path.join(root, unescape(l[2])))
                                                  if note and l[0] == "success" else "") for l in lines]
        return status, lines, shown, {r: v[0] for r, v in stamp(root).items()}, err.replace(root + "/", "")


def twice(t, files, args, **kw):
    """The row at -j 1 and, unless it names its workers, at --jobs 4 --quiet: the same failures,
    the same tree, and nothing on standard error (not a terminal) but, with -v, the reasons,
    which then end the lines of failed entries after " ~ "."""
    one = trial(t, files, args + ["-j", "1"] * ("-j" not in args), **kw)
    verbose = "-v" in args
    if "-j" not in args:
        four = trial(t, files, args + ["--jobs", "4", "--quiet"], may=one[1], **kw)
        failed = [s for s, l in zip(one[2], one[1]) if l[0] not in QUIET]
        t.assertEqual((four[0], four[2], four[4]), (one[0], failed, one[4] * verbose), "--jobs 4 --quiet differs")
        t.assertEqual({r for r in {**one[3], **four[3]} if one[3].get(r) != four[3].get(r)}, set())
    why = dict(line.split(": ", 2)[1:] for line in one[4].splitlines())  # kelvara-batch: SOURCE: why
    entries = [l[1] for l in one[1] if l[0] not in QUIET + ("not-found", "not-a-file", "unreadable", "no-files")]
    t.assertEqual(sorted(why), sorted(entries) if verbose else [])
    return one[0], [s + (" ~ " + why[l[1]] if l[1] in why else "") for s, l in zip(one[2], one[1])]


# One tree for the matrix: the examples, odd widths in each format, a 24-bit
# file, a text with unusual mode bits, case variants, a name clash under
# --flat, spaces and non-UTF-8 bytes in names, and a settings file.
TREE = {"src/sunset.bmp": PIC, "src/A.BMP": "tiles.bmp", "src/b.Png": "rings.png",
        "src/with space.xyz": "stripes.xyz", "src/sub/sunset.xyz": "plasma.xyz",
        "src/sub/\udcff\udcfe.png": "noise.png", "src/odd/w33.XYZ": "noise:33x7",
        "src/odd/w31.bmp": "noise:31x5", "src/odd/w30.png": "noise:30x3",
        "src/photo 24.bmp": "photo-24bit.bmp", "src/notes.txt": "0741@text:notes\n", "src/broken.png": "text:x",
        "src/docs/read me.txt": "text:only file of its folder",
        "cfg.ini": "text:[Convert]\nSaveMode=1\nSaveDirFlag=1\nSaveDir=cfg\nReproduceDir=0\n"
                   "UnKnownFlag=1\n[Png]\nCompLv=0\nFilter=0\n[Xyz]\nCompLv=0\n"}
PLACES = (["--beside"], ["--out", "out", "--keep-tree"], ["--out", "out/", "--flat"])
MATRIX = [["--to", to] + place + ["--others", others, "src"]
          for to in ("bmp", "png", "xyz") for place in PLACES for others in ("skip", "copy")] + [
    ["--dry-run", "--to", "png", "--out", "out", "--keep-tree", "--others", "copy", "src"],
    ["--dry-run", "--to", "bmp", "--beside", "src"],
    ["--config", "cfg.ini", "src"],  # the settings file alone, then parts of it overridden
    ["--config", "cfg.ini", "--to", "xyz", "--keep-tree", "--others", "skip", "--xyz-level", "9", "src"],
    ["--config", "cfg.ini", "--png-level", "9", "--png-filter", "SUB", "--out", "o", "src/odd"]]

# name, files, arguments, expected lines (STATUS SOURCE TARGET, "-" for none), exit status
CONFLICTS = [
    ("bmp beside png, to png", {"p/a.bmp": PIC, "p/a.png": "rings.png"}, ["--to", "png", "--beside", "p"],
     ["target-conflict p/a.bmp -", "success p/a.png p/a.png"], 1),
    ("png beside xyz, to png", {"p/a.png": "rings.png", "p/a.xyz": "plasma.xyz"}, ["--to", "png", "--beside",
                                                                                    "p"],
     ["success p/a.png p/a.png", "target-conflict p/a.xyz -"], 1),
    ("png beside bmp, to bmp", {"p/a.png": "rings.png", "p/a.bmp": PIC}, ["--to", "bmp", "p"],
     ["success p/a.bmp p/a.bmp", "target-conflict p/a.png -"], 1),
    ("a source spelled through a link", {"p/a.xyz": "plasma.xyz", "p/a.bmp": PIC, "q": "link:p"},
     ["--to", "xyz", "--beside", "p/a.xyz", "q/./a.bmp"], ["success p/a.xyz p/a.xyz", "target-conflict q/a.bmp -"], 1),
    ("flat into the source folder", {"src/a.png": "rings.png", "src/sub/a.bmp": PIC},
     ["--to", "png", "--out", "src", "--flat", "src"],
     ["success src/a.png src/a.png", "target-conflict src/sub/a.bmp -"], 1),
    ("link at the target leads to a source",
     {"src/a.bmp": PIC, "src/b.png": "rings.png", "out/a.png": "link:../src/b.png"},
     ["--to", "png", "--out", "out", "--flat", "src/a.bmp"], ["target-conflict src/a.bmp -"], 1),
    ("link at the target leads out", {"src/a.bmp": PIC, "x.png": "rings.png", "out/a.png": "link:../x.png"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["target-conflict src/a.bmp -"], 1),
    ("link at the target inside the output folder",
     {"src/a.bmp": PIC, "out/old.png": "rings.png", "out/a.png": "link:old.png"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["success src/a.bmp out/a.png"], 0),
    ("existing target overwritten", {"src/a.bmp": PIC, "out/a.png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["success src/a.bmp out/a.png"], 0),
    ("existing target skipped", {"src/a.bmp": PIC, "out/a.png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "--existing", "skip", "src"], ["skipped src/a.bmp -"], 0),
    ("in place despite skip", {"p/a.png": "rings.png"},
     ["--to", "png", "--beside", "--existing", "skip", "p"], ["success p/a.png p/a.png"], 0),
    ("existing target renamed around the run's own names",
     {"src/a.bmp": PIC, "src/a (1).bmp": "tiles.bmp", "out/a.png": "text:old", "out/a (2).png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "--existing", "rename", "src"],
     ["success src/a (1).bmp out/a (1).png", "success src/a.bmp out/a (3).png"], 0),
    ("copy beside itself", {"p/notes.txt": "text:hi"},
     ["--to", "png", "--beside", "--others", "copy", "p"], ["skipped p/notes.txt -"], 0),
    # Paths: ".." and trailing slashes resolved, every named path reported.
    ("a PATH ending in ..", {"src/inner/a.bmp": PIC},
     ["--to", "png", "--out", "out", "--keep-tree", "src/inner/.."],
     ["success src/inner/a.bmp out/src/inner/a.png"], 0),
    ("a PATH ending in .. to bmp", {"src/inner/a.bmp": PIC, "notes.txt": "text:hi"},
     ["--to", "bmp", "--out", "out", "--keep-tree", "src/inner/../.."],
     ["skipped notes.txt -", "success src/inner/a.bmp out/ROOT/src/inner/a.bmp"], 0),
    ("paths that give no entry",
     {"gone": "link:nowhere", "pipe": "fifo:", "empty/": "dir:", "src/a.bmp": PIC, "src/dead": "link:nowhere"},
     ["--to", "png", "--out", "out", "missing", "gone", "pipe", "empty", "src"],
     ["not-found missing -", "not-found gone -", "not-a-file pipe -", "no-files empty -",
      "not-found src/dead -", "success src/a.bmp out/src/a.png"], 1),
    ("output folder inside the walked folder, a file named twice", {"src/a.bmp": PIC, "src/out/src/b.bmp": PIC},
     ["--to", "png", "--out", "src/out", "src", "src/a.bmp"], ["success src/a.bmp src/out/src/a.png"], 0),
    ("trailing slashes keep the folder name", {"photos/a.bmp": PIC},
     ["--to", "png", "--out", "out", "--keep-tree", "photos//"], ["success photos/a.bmp out/photos/a.png"], 0),
    ("a file where a later entry needs a folder", {"x/sub.bmp": "noise4:300x300", "y/sub.png/a.bmp": PIC},
     ["--to", "png", "--png-level", "9", "--out", "out", "--keep-tree", "x/sub.bmp", "y/sub.png"],
     ["success x/sub.bmp out/sub.png", "write-error y/sub.png/a.bmp -"], 1),
]

USAGE = [[], ["--to", "gif"], ["--png-level", "10"], ["--xyz-level", "-1"], ["--png-filter", "best"],
         ["--others", "keep"], ["--existing", "keep"], ["-j", "0"], ["--jobs", "many"], ["--out", ""],
         ["--out", "o", "--beside"], ["--flat", "--keep-tree"], ["-0"], ["--files-from", "missing"],
         ["--config", "missing.ini"], ["--config", "src"], ["--bogus"]]


class BatchRuns(unittest.TestCase):
    def setUp(self):
        need(self, Image is not None, "Pillow")

    def test_matrix_of_targets_placements_and_other_files(self):
        update = os.environ.get("KELVARA_UPDATE_GOLDEN", "") not in ("", "0")
        golden, blocks = {}, []
        if not update:
            with open(GOLDEN, encoding="utf-8", errors="surrogateescape") as f:
                golden = {b.split("\n", 1)[0]: b for b in f.read().rstrip("\n").split("\n\n")}
        for args in MATRIX:
            key = "$ kelvara-batch " + " ".join(args)
            with self.subTest(key):
                status, shown = twice(self, TREE, args, note=True)
                blocks.append("\n".join([key, "exit %d" % status] + shown))
                if not update:
                    self.assertEqual(blocks[-1], golden.get(key))
        if update:
            with open(GOLDEN, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write("\n\n".join(blocks) + "\n")

    def test_outputs_never_replace_another_file_of_the_run(self):
        for name, files, args, expected, status in CONFLICTS:
            with self.subTest(name):
                self.assertEqual(twice(self, files, args), (status, expected))

    def test_usage_errors_touch_nothing(self):
        for args in USAGE:
            with self.subTest(" ".join(args)):
                status, lines, _, _, err = trial(self, {"src/a.bmp": PIC}, args + ["src"] * bool(args))
                self.assertEqual((status, lines), (2, []))
                self.assertRegex(err, r"\Akelvara-batch: [^\n]+\nTry 'kelvara-batch --help'\.\n\Z")
        for args, want in ((["--help"], rb"\n  --files-from FILE "),
                           (["--version"], rb"\nzlib %s\nlibpng \d+\.\d+\.\d+\nlibdeflate \d+\.\d+\n" % zlib.ZLIB_VERSION.encode())):
            r = subprocess.run([BATCH] + args, capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertRegex(r.stdout, want)

    def test_files_from_lists_odd_names_escaped(self):
        names = ["src/with space.bmp", "src/new\nline.png", "src/bad\udcff\udcfe.xyz", "src/tab\there.bmp",
                 "src/back\\slash.bmp"]
        esc = lambda s: s.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
        listed = os.fsencode("\0".join(names[:2] + [""] + names[2:]))  # -0, from standard input
        feed = lambda p, root: (p.stdin.write(listed), p.stdin.close())
        files = {**{n: "noise:9x5" for n in names}, "list": "text:" + "\r\n".join([names[0], "", names[3], ""])}
        piped = {"at": (0, feed), "stdin": subprocess.PIPE}
        for args, order, kw in ((["-0", "--files-from", "-"], names, piped),
                                (["--files-from", "list", names[4]], names[4:] + names[0:4:3], {})):
            with self.subTest(args[0]):
                got = twice(self, files, ["--to", "png", "--out", "o", "--flat"] + args, **kw)
                self.assertEqual(got, (0, ["success %s o/%s.png" % (esc(n), esc(n[4:-4])) for n in order]))

    def test_settings_beside_the_program_or_none(self):
        with tempfile.TemporaryDirectory() as root:
            root = os.path.realpath(root)
            make(root, {"a.bmp": PIC})
            exe = os.path.join(root, "kelvara-batch")  # a copy, with no settings file beside it
            shutil.copy(BATCH, exe)
            r = subprocess.run([exe, "a.bmp"], cwd=root, capture_output=True)
            self.assertEqual((r.returncode, r.stdout), (2, b""))
            self.assertIn(b"--to", r.stderr)
            make(root, {"kelvara.ini": "text:[Convert]\nSaveMode=2\n"})
            r = subprocess.run([exe, "--beside", "a.bmp"], cwd=root, capture_output=True)
            self.assertEqual(r.stdout, b"success\t%s/a.bmp\t%s/a.xyz\n" % (root.encode(), root.encode()))
            self.assertEqual(sorted(os.listdir(root)), ["a.bmp", "a.xyz", "kelvara-batch", "kelvara.ini"])

    def test_signal_while_the_list_is_read(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            act = lambda p, root, sig=sig: (time.sleep(0.3), p.send_signal(sig))
            self.assertEqual(launch(tempfile.gettempdir(), ["--to", "png", "--files-from", "-"], (0, act),
                                    stdin=subprocess.PIPE)[:2], (status, []))

    def test_progress_and_summary_on_a_terminal_only(self):
        with tempfile.TemporaryDirectory() as root:
            make(root, {**{"src/%02d.bmp" % i: PIC for i in range(30)}, "src/broken.png": "text:x"})
            master, slave = pty.openpty()
            r = subprocess.run([BATCH, "--config", EMPTY.name, "--to", "xyz", "--beside", "src"], cwd=root,
                               stdout=subprocess.DEVNULL, stderr=slave)
            os.close(slave)
            err = b""
            with contextlib.suppress(OSError):  # the terminal is gone once all was read
                while chunk := os.read(master, 4096):
                    err += chunk
            self.assertEqual((r.returncode, err[:1]), (1, b"\r"))
            self.assertIn(b"/31  ", err)
            self.assertIn(b"30 success, 1 unsupported-format in ", err)

    def test_trees_deeper_than_a_path_may_be_long(self):
        with tempfile.TemporaryDirectory() as root:
            here = os.getcwd()
            os.chdir(root)
            for _ in range(300):  # about 5700 bytes of path
                os.mkdir("d" * 18)
                os.chdir("d" * 18)
            shutil.copy(os.path.join(EXAMPLES, PIC), "a.bmp")
            os.chdir(here)
            deep = "/".join(["d" * 18] * 300)
            self.assertEqual(launch(root, ["--to", "png", "--out", "o", "d" * 18])[:2],
                             (0, [("success", deep + "/a.bmp", "o/%s/a.png" % deep)]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
