#!/usr/bin/env bash
# Builds bench_convert, runs it with 5 repetitions and prints codec/baseline
# ratios of the medians, all taken from that one run; then runs each
# conversion and each baseline once under /usr/bin/time -v and prints their
# peak resident memory.
#
# Usage: bench/run_convert.sh [--main REV] [extra benchmark flags, e.g. --benchmark_filter=Xyz]
#   --main REV  also builds bench_convert of commit REV (git archive, without
#               tests and GUI, into build/release/bench/main-REV) and times
#               the XYZ writer and reader of both builds, alternating, and
#               prints REV's median over this tree's.
# KELVARA_BENCH_DIR picks the folder for the test files (default: bench-data
# beside the binary); it should be on a real disk, not tmpfs.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
main_rev=""
if [ "${1:-}" = --main ]; then
    main_rev="$2"
    shift 2
fi
if [ ! -f build/release/CMakeCache.txt ]; then
    cmake --preset release
fi
cmake --build --preset release --target bench_convert

bin="build/release/bench/bench_convert"
out="build/release/bench/bench_convert.json"
"$bin" \
    --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true \
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
print(f"image: {context.get('image', '?')}; bytes: bmp {context.get('bytes_bmp', '?')}, "
      f"png {context.get('bytes_png', '?')}, xyz {context.get('bytes_xyz', '?')}")
print(f"same bytes as the baseline: png {context.get('same_bytes_png', '?')}, "
      f"xyz {context.get('same_bytes_xyz', '?')}, bmp {context.get('same_bytes_bmp', '?')}")

medians = {}
for b in report["benchmarks"]:
    if b.get("aggregate_name") == "median":
        # run_name is e.g. "BM_ReadXyz/real_time".
        medians[b["run_name"].split("/")[0]] = (b["real_time"], b["cpu_time"])

TARGET = 1.10
rows = [
    ("bmp->png convertImage", "BM_Convert_BmpToPng", "BM_Plain_BmpToPng"),
    ("png->bmp convertImage", "BM_Convert_PngToBmp", "BM_Plain_PngToBmp"),
    ("xyz write (writeXyz)", "BM_WriteXyz", "BM_Plain_CompressWrite"),
    ("xyz read (readXyz)", "BM_ReadXyz", "BM_Plain_ReadDecompress"),
]

# The target is judged on wall time; the CPU-time ratio beside it is less
# moved by other processes competing for the cores.
print(f"{'codec median / baseline median':<26} {'codec':>9} {'base':>9} {'wall':>6} {'cpu':>6}  target (wall)")
for label, codec, plain in rows:
    c = medians.get(codec)
    p = medians.get(plain)
    if c is None or p is None or p[0] == 0 or p[1] == 0:
        print(f"{label:<26} {'n/a':>9} {'n/a':>9} {'n/a':>6} {'n/a':>6}")
        continue
    ratio = c[0] / p[0]
    cpu = c[1] / p[1]
    verdict = f"<= {TARGET:.2f}: " + ("met" if ratio <= TARGET else "MISSED")
    if abs(ratio - cpu) > 0.05:
        verdict += " (wall and cpu disagree: disturbed, run again)"
    print(f"{label:<26} {c[0]:7.1f}ms {p[0]:7.1f}ms {ratio:6.2f} {cpu:6.2f}  {verdict}")
EOF

# --- The XYZ codec against another commit's ----------------------------------
if [ -n "$main_rev" ]; then
    commit="$(git rev-parse --verify "$main_rev^{commit}")"
    main_dir="build/release/bench/main-${commit:0:12}"
    if [ ! -x "$main_dir/build/bench/bench_convert" ]; then
        rm -rf "$main_dir"
        mkdir -p "$main_dir/src"
        git archive "$commit" | tar -x -C "$main_dir/src"
        cmake -S "$main_dir/src" -B "$main_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DKELVARA_BUILD_TESTS=OFF -DKELVARA_BUILD_GUI=OFF >/dev/null
        cmake --build "$main_dir/build" --target bench_convert >/dev/null
    fi
    # The same image on both sides; each build writes its own source.xyz
    # (main's through zlib, this tree's through libdeflate) and reads it.
    for round in 1 2 3; do
        for side in main now; do
            b="$bin"
            [ "$side" = main ] && b="$main_dir/build/bench/bench_convert"
            KELVARA_BENCH_DIR="${KELVARA_BENCH_DIR:-$root/build/release/bench/bench-data}-$side" \
                "$b" --benchmark_filter='BM_(WriteXyz|ReadXyz)/' --benchmark_repetitions=5 \
                --benchmark_report_aggregates_only=true \
                --benchmark_out="build/release/bench/xyz-$side-$round.json" --benchmark_out_format=json >/dev/null
        done
    done
    python3 - build/release/bench/xyz-{main,now}-{1,2,3}.json <<'EOF'
import json
import statistics
import sys

times = {}
for path in sys.argv[1:]:
    side = "main" if "/xyz-main-" in path else "now"
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            times.setdefault((side, b["run_name"].split("/")[0]), []).append(b["real_time"])
print()
print("XYZ codec, main's time over this tree's (median of 3 runs of 5 repetitions each), target >= 2:")
for name in ("BM_WriteXyz", "BM_ReadXyz"):
    main, now = statistics.median(times[("main", name)]), statistics.median(times[("now", name)])
    print(f"  {name:<12} main {main:7.1f} ms, now {now:7.1f} ms: {main / now:.2f}x "
          + ("met" if main / now >= 2 else "MISSED"))
EOF
fi

# --- Peak memory: one conversion per process --------------------------------
if [ ! -x /usr/bin/time ]; then
    echo "installing /usr/bin/time (package 'time')"
    apt-get update -qq && apt-get install -y -qq time >/dev/null
fi
declare -A source
while read -r kind path; do
    source[$kind]="$path"
done < <("$bin" --prepare)
dir="$(dirname "${source[bmp]}")"

# op, input kind, output extension
ops=(
    "noop - -"
    "bmp2png bmp png" "plain-bmp2png bmp png"
    "png2bmp png bmp" "plain-png2bmp png bmp"
    "bmp2xyz bmp xyz" "plain-bmp2xyz bmp xyz"
    "xyz2bmp xyz bmp" "plain-xyz2bmp xyz bmp"
)
echo
echo "peak resident memory, one conversion per process (/usr/bin/time -v)"
printf '%-16s %10s %12s\n' "operation" "max RSS" "above noop"
floor=""
for entry in "${ops[@]}"; do
    read -r op kind ext <<<"$entry"
    args=()
    target=""
    if [ "$op" != noop ]; then
        target="$dir/rss-$op.$ext"
        rm -f "$target"
        args=("${source[$kind]}" "$target")
    fi
    log="$(mktemp)"
    if ! /usr/bin/time -v "$bin" --once "$op" "${args[@]}" 2>"$log"; then
        cat "$log" >&2
        rm -f "$log" "$target"
        exit 1
    fi
    kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")"
    rm -f "$log" ${target:+"$target"}
    [ -n "$floor" ] || floor="$kb"
    awk -v op="$op" -v kb="$kb" -v floor="$floor" \
        'BEGIN { printf "%-16s %7.1f MiB %8.1f MiB\n", op, kb / 1024, (kb - floor) / 1024 }'
done
echo "(the image is 16.0 MiB; the XYZ payload 16.0 MiB + 768 bytes)"
