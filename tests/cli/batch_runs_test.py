"""kelvara-batch end to end: runs that must not destroy or silently drop a file.

Each row builds a small tree from the bundled examples, runs the real program
at one worker and at four, and checks the status lines, the exit status and
that every file not reported as written is byte for byte what it was.

"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from kelvara_test import BATCH, EXAMPLES, build, run, snapshot

PIC = "sunset.bmp"


# name, files, arguments, expected lines (STATUS SOURCE TARGET, "-" for none), exit status
CONFLICTS = [
    ("bmp beside png, to png", {"pics/a.bmp": PIC, "pics/a.png": "rings.png"},
     ["--to", "png", "--beside", "pics"],
     ["target-conflict pics/a.bmp -", "success pics/a.png pics/a.png"], 1),
    ("png beside xyz, to png", {"p/a.png": "rings.png", "p/a.xyz": "plasma.xyz"},
     ["--to", "png", "--beside", "p"],
     ["success p/a.png p/a.png", "target-conflict p/a.xyz -"], 1),
    ("png beside bmp, to bmp", {"p/a.png": "rings.png", "p/a.bmp": PIC},
     ["--to", "bmp", "p"],
     ["success p/a.bmp p/a.bmp", "target-conflict p/a.png -"], 1),
    ("same names, flat", {"d1/x.bmp": PIC, "d2/x.bmp": "tiles.bmp"},
     ["--to", "png", "--out", "o", "--flat", "d1", "d2"],
     ["success d1/x.bmp o/x.png", "target-conflict d2/x.bmp -"], 1),
    ("flat into the source folder", {"src/a.png": "rings.png", "src/sub/a.bmp": PIC},
     ["--to", "png", "--out", "src", "--flat", "src"],
     ["success src/a.png src/a.png", "target-conflict src/sub/a.bmp -"], 1),
    ("link at the target leads to a source",
     {"src/a.bmp": PIC, "src/b.png": "rings.png", "out/a.png": "link:../src/b.png"},
     ["--to", "png", "--out", "out", "--flat", "src/a.bmp"], ["target-conflict src/a.bmp -"], 1),
    ("link at the target leads out", {"src/a.bmp": PIC, "x.png": "rings.png",
                                      "out/a.png": "link:../x.png"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["target-conflict src/a.bmp -"], 1),
    ("link at the target inside the output folder",
     {"src/a.bmp": PIC, "out/old.png": "rings.png", "out/a.png": "link:old.png"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["success src/a.bmp out/a.png"], 0),
    ("existing target overwritten", {"src/a.bmp": PIC, "out/a.png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "src"], ["success src/a.bmp out/a.png"], 0),
    ("existing target skipped", {"src/a.bmp": PIC, "out/a.png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "--existing", "skip", "src"],
     ["skipped src/a.bmp -"], 0),
    ("in place despite skip", {"p/a.png": "rings.png"},
     ["--to", "png", "--beside", "--existing", "skip", "p"], ["success p/a.png p/a.png"], 0),
    ("existing target renamed around the run's own names",
     {"src/a.bmp": PIC, "src/a (1).bmp": "tiles.bmp", "out/a.png": "text:old",
      "out/a (2).png": "text:old"},
     ["--to", "png", "--out", "out", "--flat", "--existing", "rename", "src"],
     ["success src/a (1).bmp out/a (1).png", "success src/a.bmp out/a (3).png"], 0),
    ("copy beside itself", {"p/notes.txt": "text:hi"},
     ["--to", "png", "--beside", "--others", "copy", "p"], ["skipped p/notes.txt -"], 0),
]

# Paths: name, files, arguments, expected lines, exit status.
PATHS = [
    ("a PATH ending in ..", {"src/inner/a.bmp": PIC},
     ["--to", "png", "--out", "out", "--keep-tree", "src/inner/.."],
     ["success src/inner/a.bmp out/src/inner/a.png"], 0),
    ("a PATH ending in .. to bmp", {"src/inner/a.bmp": PIC},
     ["--to", "bmp", "--out", "out", "--keep-tree", "src/inner/../.."],
     ["skipped empty.ini -", "success src/inner/a.bmp out/ROOT/src/inner/a.bmp"], 0),
    ("paths that give no entry",
     {"gone": "link:nowhere", "pipe": "fifo:", "empty/": "dir:", "src/a.bmp": PIC,
      "src/dead": "link:nowhere"},
     ["--to", "png", "--out", "out", "missing", "gone", "pipe", "empty", "src"],
     ["not-found missing -", "not-found gone -", "not-a-file pipe -", "no-files empty -",
      "not-found src/dead -", "success src/a.bmp out/src/a.png"], 1),
    ("output folder inside the walked folder", {"src/a.bmp": PIC, "src/out/src/b.bmp": PIC},
     ["--to", "png", "--out", "src/out", "src"], ["success src/a.bmp src/out/src/a.png"], 0),
    ("trailing slashes keep the folder name", {"photos/a.bmp": PIC},
     ["--to", "png", "--out", "out", "--keep-tree", "photos//"],
     ["success photos/a.bmp out/photos/a.png"], 0),
]


class BatchRuns(unittest.TestCase):
    def table(self, rows):
        for name, files, args, expected, status in rows:
            with self.subTest(name):
                results = []
                for jobs in ("1", "4"):
                    with tempfile.TemporaryDirectory() as root:
                        root = os.path.realpath(root)
                        build(root, files)
                        before = snapshot(root)
                        got = run(root, args + ["-j", jobs])[:2]
                        lines = [l.replace(os.path.basename(root), "ROOT") for l in got[1]]
                        self.assertEqual((got[0], lines), (status, expected), "-j " + jobs)
                        written = set()
                        for l in got[1]:
                            if l.startswith("success"):  # a link there was written through
                                target = os.path.join(root, l.split(" ", 2)[2])
                                written |= {os.path.relpath(p, root)
                                            for p in (target, os.path.realpath(target))}
                        after = snapshot(root)
                        for rel, data in before.items():
                            if rel not in written:
                                self.assertEqual(after.get(rel), data, rel + " changed")
                        base = os.path.basename(root)
                        results.append((lines, {k.replace(base, "ROOT"): v for k, v in after.items()}))
                self.assertEqual(results[0], results[1], "-j 4 differs from -j 1")

    def test_outputs_never_replace_another_file_of_the_run(self):
        self.table(CONFLICTS)

    def test_paths_are_resolved_and_every_named_path_is_reported(self):
        self.table(PATHS)

    def test_trees_deeper_than_a_path_may_be_long(self):
        with tempfile.TemporaryDirectory() as root:
            fd = os.open(root, os.O_RDONLY)
            for _ in range(300):  # about 5700 bytes of path
                os.mkdir("d" * 18, dir_fd=fd)
                fd, old = os.open("d" * 18, os.O_RDONLY, dir_fd=fd), fd
                os.close(old)
            with open(os.path.join(EXAMPLES, PIC), "rb") as f:
                data = f.read()
            out = os.open("a.bmp", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.write(out, data)
            os.close(out)
            os.close(fd)
            deep = "/".join(["d" * 18] * 300)
            self.assertEqual(run(root, ["--to", "png", "--out", "o", "d" * 18])[:2],
                             (0, ["success %s/a.bmp o/%s/a.png" % (deep, deep)]))

    def test_lists_settings_and_standard_streams(self):
        with tempfile.TemporaryDirectory() as root:
            build(root, {"src/a.bmp": PIC, "src/b.bmp": "tiles.bmp"})
            with open(os.path.join(root, "list"), "wb") as f:
                f.write(b"src/a.bmp\r\nsrc/b.bmp\r\n")
            self.assertEqual(run(root, ["--to", "xyz", "--out", "o", "--files-from", "list"])[:2],
                             (0, ["success src/a.bmp o/a.xyz", "success src/b.bmp o/b.xyz"]))
            # Unreadable or missing settings, and no target format at all: usage errors.
            for args in (["--config", "nope.ini"], ["--config", "src"]):
                self.assertEqual(run(root, args + ["src"], config=False)[:2], (2, []))
            exe = os.path.join(root, "kelvara-batch")  # a copy with no settings file beside it
            shutil.copy(BATCH, exe)
            env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "cfg"))
            r = subprocess.run([exe, "src"], cwd=root, capture_output=True, env=env)
            self.assertEqual(r.returncode, 2)
            self.assertIn(b"--to", r.stderr)
            # Closed standard output: no status line may land in an image.
            before = snapshot(root)
            r = subprocess.run([BATCH, "--config", "empty.ini", "--to", "bmp", "--beside", "-j2",
                                "src"], cwd=root, stdout=subprocess.DEVNULL,
                               preexec_fn=lambda: os.close(1))
            self.assertEqual(r.returncode, 0)
            for rel in ("src/a.bmp", "src/b.bmp"):
                self.assertEqual(snapshot(root)[rel][1][:2], b"BM")
                self.assertEqual(len(snapshot(root)[rel][1]), len(before[rel][1]))
            # A signal while the list is still being read ends with its status.
            for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
                p = subprocess.Popen([BATCH, "--config", "empty.ini", "--to", "png", "--files-from",
                                      "-"], cwd=root, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
                time.sleep(0.3)
                p.send_signal(sig)
                self.assertEqual(p.wait(timeout=20), status)
                p.stdin.close()
                p.stdout.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
