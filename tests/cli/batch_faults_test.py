"""kelvara-batch under faults (a file-size limit, an unprivileged user, sources changing
under the run, SIGKILL at ten moments, SIGINT, SIGTERM, standard output closed), every
row judged by batch_runs_test.check(): old or whole files, never a partial one; each failed
entry's reason (-v) follows its line after " ~ "."""
import os
import resource
import signal
import unittest

from batch_runs_test import PIC, Image, need, trial, twice


def limited():  # the program ignores SIGXFSZ: writes past the limit fail with EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))


def nobody():  # permissions bind root only as another user
    if os.getuid() == 0:
        os.setgroups([]), os.setgid(65534), os.setuid(65534)


def shake(p, root):  # sources deleted, cut or replaced after the list was gathered
    src = lambda name: os.path.join(root, "src", name)
    for name in ("gone.png", "gone.dat", "fifo.bmp", "folder.xyz"):
        os.unlink(src(name))
    os.mkfifo(src("fifo.bmp"))  # would block a plain open
    os.mkdir(src("folder.xyz"))
    os.truncate(src("empty.xyz"), 0)
    os.truncate(src("half.bmp"), 14 + 40 + 1024 + 20 * 64)  # inside the rows
    os.truncate(src("cut.png"), os.path.getsize(src("cut.png")) // 2)


BIG = "noise:400x400"  # noise does not compress: larger than the limit in every format
PERMS = {"..": "0755@dir:", ".": "0777@dir:", "src/ok.bmp": PIC, "src/secret.bmp": "0000@" + PIC,
         "src/secret.dat": "0000@text:private", "src/notes.txt": "text:notes", "tree/a.bmp": PIC,
         "tree/locked/b.bmp": PIC, "tree/open/c.bmp": PIC, "tree/locked": "0000@dir:",
         "ro": "0555@dir:", "plain": "text:a file where a folder should be"}
CHANGING = {"src/%d.bmp" % i: "noise4:500x500" for i in range(3)}  # slow: the sources change meanwhile
CHANGING.update({"src/cut.png": "noise:64x64", "src/empty.xyz": "noise:8x8", "src/fifo.bmp": "noise:8x8",
                 "src/folder.xyz": "noise:8x8", "src/gone.dat": "text:data", "src/gone.png": "noise:8x8",
                 "src/half.bmp": "noise:64x64", "src/keep.xyz": "noise:20x20"})

LIMITED, NOBODY = {"preexec_fn": limited}, {"preexec_fn": nobody}
FSIZE, NO_FOLDER = "the output would pass the file size limit", "the output folder could not be made"
# name, files, arguments, expected lines, exit status, keywords for the run
FAULTS = [row for t in ("bmp", "png", "xyz") for row in (
    ("file size limit, to " + t,
     {"src/a.png": "noise:48x48", "src/b.xyz": BIG, "src/c.bmp": BIG, "out/c." + t: "noise:40x40",
      "src/d.xyz": "noise:40x40", "out/d." + t: "noise:30x30", "src/e.dat": "text:" + "x" * 200000,
      "src/f.txt": "text:notes"}, ["--to", t, "--out", "out", "--flat", "--others", "copy", "src"],
     ["success src/a.png out/a." + t, "write-error src/b.xyz - ~ " + FSIZE, "write-error src/c.bmp - ~ " + FSIZE,
      "success src/d.xyz out/d." + t, "copy-failed src/e.dat - ~ " + FSIZE, "success src/f.txt out/f.txt"], 1, LIMITED),
    ("file size limit, in place to " + t, {"src/a." + t: BIG, "src/b.png": "noise:48x48"}, ["--to", t, "--beside",
     "src"], ["write-error src/a.%s - ~ %s" % (t, FSIZE), "success src/b.png src/b." + t], 1, LIMITED))] + [
    ("unreadable sources and folder", PERMS,
     ["--to", "png", "--out", "out", "--others", "copy", "src/secret.bmp", "src/secret.dat", "tree"],
     ["unreadable tree/locked -", "unsupported-format src/secret.bmp - ~ permission denied",
      "copy-failed src/secret.dat - ~ permission denied",
      "success tree/a.bmp out/tree/a.png", "success tree/open/c.bmp out/tree/open/c.png"], 1, NOBODY),
    ("read-only output folder", PERMS,
     ["--to", "png", "--out", "ro", "--keep-tree", "--others", "copy", "src/ok.bmp", "src/notes.txt",
      "tree/open"],
     ["write-error src/ok.bmp - ~ permission denied", "copy-failed src/notes.txt - ~ permission denied",
      "write-error tree/open/c.bmp - ~ " + NO_FOLDER], 1, NOBODY),
    ("output folder is a file", PERMS, ["--to", "png", "--out", "plain", "--others", "copy", "src/ok.bmp",
     "src/notes.txt"], ["write-error src/ok.bmp - ~ " + NO_FOLDER, "copy-failed src/notes.txt - ~ " + NO_FOLDER], 1,
     NOBODY),
    ("sources changing under the run", CHANGING,
     ["--to", "xyz", "--xyz-level", "9", "--out", "out", "--others", "copy", "-j", "1", "src"],
     ["success src/%d.bmp out/src/%d.xyz" % (i, i) for i in range(3)] + [
         "unsupported-format src/cut.png - ~ the file ends inside the pixel data",
         "unsupported-format src/empty.xyz - ~ not an XYZ file",
         "unsupported-format src/fifo.bmp - ~ not a regular file",
         "unsupported-format src/folder.xyz - ~ not a regular file", "copy-failed src/gone.dat - ~ the file vanished",
         "unsupported-format src/gone.png - ~ the file vanished",
         "unsupported-format src/half.bmp - ~ the file ends inside the pixel data",
         "success src/keep.xyz out/src/keep.xyz"], 1, {"at": (1, shake)}),
]

# Thirty entries: in place (p), replacing an older output (r), new (n).
KINDS = ("p.png", "r.xyz", "n.bmp")
KILL = {"%02d%s" % (i, KINDS[i % 3]): "noise4:240x160" for i in range(30)}
KILL.update({"%02dr.png" % i: "noise:50x40" for i in range(1, 30, 3)})
KILL["list"] = "text:" + "".join("%02d%s\n" % (i, KINDS[i % 3]) for i in range(30))
KILL_ARGS = ["--to", "png", "--png-level", "9", "--beside", "-j", "2", "--files-from", "list"]

# name, at (k lines out, signal or act), exit status, fewest and most lines, keywords
STOPS = [("SIGKILL after %d" % k, (k, signal.SIGKILL), -9, k, 29, {}) for k in [0, *range(1, 26, 3)]] + [
    ("SIGINT", (2, signal.SIGINT), 130, 3, 29, {}), ("SIGTERM", (2, signal.SIGTERM), 143, 3, 29, {}),
    ("output closed by its reader", (0, lambda p, root: p.stdout.close()), 1, 0, 0, {}),
    ("no standard output at all", None, 0, 0, 0, {"preexec_fn": lambda: os.close(1)})]


class BatchFaults(unittest.TestCase):
    def setUp(self):
        need(self, Image is not None, "Pillow")

    def test_faults_leave_old_or_complete_files(self):
        for name, files, args, expected, status, kw in FAULTS:
            with self.subTest(name):
                self.assertEqual(twice(self, files, args + ["-v"], **kw), (status, expected))

    def test_stopped_runs_leave_old_or_complete_files(self):
        whole = trial(self, KILL, KILL_ARGS)
        self.assertEqual((whole[0], len(whole[1])), (0, 30))
        for name, at, status, fewest, most, kw in STOPS:
            with self.subTest(name):
                # Only a kill or lost lines may leave a file written but not reported.
                got = trial(self, KILL, KILL_ARGS, at, whole[1] * (status not in (130, 143)), **kw)
                self.assertEqual((got[0], fewest <= len(got[1]) <= most, {l[0] for l in got[1]} <= {"success"},
                                  got[3] == whole[3]), (status, True, True, status == 0), got[2])


if __name__ == "__main__":
    unittest.main(verbosity=2)
