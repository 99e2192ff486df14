"""kelvara-batch --shard: four shards run at once with GNU parallel give the
lines and the tree of one run, over trees with in-place rewrites, same-name
outputs, conflicts and copies."""
import os
import shutil
import subprocess
import tempfile
import unittest

from kelvara_test import BATCH, build, need, run, snapshot

TREE = {"src/a.bmp": "sunset.bmp", "src/a.png": "rings.png", "src/b.xyz": "plasma.xyz",
        "src/d1/x.bmp": "tiles.bmp", "src/d2/x.bmp": "sunset.bmp", "src/d2/x.png": "noise.png",
        "src/notes.txt": "text:notes", "src/24.bmp": "photo-24bit.bmp", "src/c.png": "rings.png"}
TREE.update({f"src/many/m{i:02}.bmp": "tiles.bmp" for i in range(24)})
ROWS = [  # options; with outputs beside the sources the list is fixed first
    ["--to", "png", "--out", "out", "--flat", "--others", "copy", "src"],
    ["--to", "png", "--beside", "--others", "copy", "--files-from", "list"],
    ["--to", "bmp", "--out", "src/out", "--keep-tree", "src"],
]


class Shards(unittest.TestCase):
    def test_four_shards_at_once_give_one_runs_lines_and_tree(self):
        need(self, shutil.which("parallel"), "GNU parallel")
        for args in ROWS:
            with self.subTest(" ".join(args)):
                results = []
                for shards in (0, 4):
                    with tempfile.TemporaryDirectory() as root:
                        build(root, TREE)
                        with open(os.path.join(root, "list"), "w") as f:
                            f.write("\n".join(sorted(p for p in TREE)) + "\n")
                        if shards == 0:
                            status, lines = run(root, args)[:2]
                            statuses = [min(status, 1)]
                        else:
                            open(os.path.join(root, "empty.ini"), "w").close()
                            command = f"{BATCH} --config empty.ini {' '.join(args)} --shard {{}}/4 > shard{{}}.txt; echo $?"
                            p = subprocess.run(["parallel", "-j4", command], input=b"1\n2\n3\n4\n", cwd=root,
                                               capture_output=True)
                            statuses = [max(min(int(s), 1) for s in p.stdout.split())]  # any failure: 1
                            lines = []
                            for k in range(1, 5):
                                with open(os.path.join(root, f"shard{k}.txt"), "rb") as f:
                                    lines += [" ".join(x or "-" for x in l.split("\t")).replace(root + "/", "")
                                              for l in f.read().decode().splitlines()]
                                os.remove(os.path.join(root, f"shard{k}.txt"))
                        results.append((statuses, sorted(lines), snapshot(root)))
                self.assertEqual(results[0][:2], results[1][:2])
                self.assertEqual(results[0][2], results[1][2])

    def test_beside_the_sources_a_shard_takes_files_not_folders(self):
        with tempfile.TemporaryDirectory() as root:
            build(root, {"src/a.bmp": "sunset.bmp"})
            self.assertEqual(run(root, ["--to", "png", "--beside", "--shard", "1/2", "src"])[:2], (2, []))
            self.assertEqual(run(root, ["--to", "png", "--shard", "3/2", "src/a.bmp"])[:2], (2, []))


if __name__ == "__main__":
    unittest.main(verbosity=2)
