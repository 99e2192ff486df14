#!/usr/bin/env bash
# Builds bench_bmp, runs it with 5 repetitions and prints codec/plain ratios
# of the medians, all taken from that one run.
#
# Usage: bench/run_bmp.sh [extra benchmark flags, e.g. --benchmark_filter=Read]
# KELVARA_BENCH_DIR picks the folder for the test files (default: bench-data
# beside the binary); it should be on a real disk, not tmpfs.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ ! -f build/release/CMakeCache.txt ]; then
    cmake --preset release
fi
cmake --build --preset release --target bench_bmp

out="build/release/bench/bench_bmp.json"
build/release/bench/bench_bmp \
    --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" \
    --benchmark_out_format=json \
    "$@"

python3 - "$out" <<'EOF'
import json
import sys

with open(sys.argv[1]) as f:
    report = json.load(f)

context = report.get("context", {})
print()
print(f"files in: {context.get('bench_dir', '?')} ({context.get('bench_fs', '?')})")

medians = {}
for b in report["benchmarks"]:
    if b.get("aggregate_name") == "median":
        # run_name is e.g. "BM_ReadBmp/width:4096/real_time".
        name, width = b["run_name"].split("/")[:2]
        medians[(name, width.split(":")[1])] = b["real_time"]

TARGET = 1.3
rows = [
    # (label, codec, plain, width, has target)
    ("read", "BM_ReadBmp", "BM_PlainRead", "4096", True),
    ("read", "BM_ReadBmp", "BM_PlainRead", "4097", True),
    ("read vs calloc+read", "BM_ReadBmp", "BM_PlainRead_Calloc", "4096", False),
    ("read vs calloc+read", "BM_ReadBmp", "BM_PlainRead_Calloc", "4097", False),
    ("write-new", "BM_WriteBmp_New", "BM_PlainWrite_New", "4096", True),
    ("write-new", "BM_WriteBmp_New", "BM_PlainWrite_New", "4097", True),
    ("write-replace vs write", "BM_WriteBmp_Replace", "BM_PlainWrite_Replace", "4096", False),
    ("write-replace vs write+fdatasync", "BM_WriteBmp_Replace",
     "BM_PlainWrite_Replace_Fdatasync", "4096", False),
    ("write-replace vs temp+rename", "BM_WriteBmp_Replace",
     "BM_PlainWrite_Replace_Rename", "4096", False),
    ("write-replace vs temp+fdatasync+rename", "BM_WriteBmp_Replace",
     "BM_PlainWrite_Replace_Rename_Fdatasync", "4096", False),
]

print(f"{'ratio (codec median / plain median)':<42} {'width':>5} {'ratio':>7}  target")
for label, codec, plain, width, has_target in rows:
    c = medians.get((codec, width))
    p = medians.get((plain, width))
    if c is None or p is None or p == 0:
        print(f"{label:<42} {width:>5} {'n/a':>7}")
        continue
    ratio = c / p
    verdict = ""
    if has_target:
        verdict = f"<= {TARGET}: " + ("met" if ratio <= TARGET else "MISSED")
    print(f"{label:<42} {width:>5} {ratio:7.2f}  {verdict}")
EOF
