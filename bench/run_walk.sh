#!/usr/bin/env bash
# Builds bench_walk, runs it with 10 repetitions, interleaved in random order
# so that a change of load on the machine hits every benchmark alike, and
# prints the ratios of the medians against `find DIR -type f`, all taken from
# that one run: wall-clock (the target) and CPU time (find's measured in the
# child), which stays meaningful when other work shares the machine.
#
# Usage: bench/run_walk.sh [extra benchmark flags]
# KELVARA_BENCH_DIR picks the folder of the tree (default: bench-data beside
# the binary). The first run creates 100,000 empty files there.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ ! -f build/release/CMakeCache.txt ]; then
    cmake --preset release
fi
cmake --build --preset release --target bench_walk

out="build/release/bench/bench_walk.json"
build/release/bench/bench_walk \
    --benchmark_repetitions=10 \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" \
    --benchmark_out_format=json \
    "$@"

python3 - "$out" <<'PY'
import json
import sys

with open(sys.argv[1]) as f:
    report = json.load(f)

context = report.get("context", {})
print()
print(f"tree: {context.get('walk_dir', '?')} ({context.get('walk_files', '?')} files)")

medians = {}
cpu = {}
for b in report["benchmarks"]:
    if b.get("aggregate_name") == "median":
        name = b["run_name"].split("/")[0]
        medians[name] = b["real_time"]
        # find runs in a child: its CPU time is the child's, counted apart.
        cpu[name] = b.get("child_cpu_ms", b["cpu_time"])

TARGET = 1.5
print(f"{'ratio (median / find median)':<24} {'wall ms':>8} {'ratio':>6} {'cpu ms':>8} {'ratio':>6}  target (wall)")
for label, name, has_target in [("findFiles / find", "BM_FindFiles", True),
                                ("gatherPath / find", "BM_GatherPath", False)]:
    t, c = medians.get(name), cpu.get(name)
    if t is None or not medians.get("BM_Find") or not cpu.get("BM_Find"):
        print(f"{label:<24} {'n/a':>8}")
        continue
    ratio = t / medians["BM_Find"]
    verdict = f"<= {TARGET}: " + ("met" if ratio <= TARGET else "MISSED") if has_target else ""
    print(f"{label:<24} {t:8.2f} {ratio:6.2f} {c:8.2f} {c / cpu['BM_Find']:6.2f}  {verdict}")
if "BM_Find" in medians:
    print(f"{'find -type f':<24} {medians['BM_Find']:8.2f} {'':>6} {cpu['BM_Find']:8.2f}")
PY
