#!/usr/bin/env bash
# Builds bench_memory and prints the peak resident memory of a conversion run
# over 1,000 and 10,000 small entries (or the counts given), each in a fresh
# process. "run adds KiB" is what the run needs beyond the gathered list; it
# must stay flat as the count grows.
#
# Usage: bench/run_memory.sh [COUNT...]
# KELVARA_BENCH_DIR picks the folder for the generated files.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ ! -f build/release/CMakeCache.txt ]; then
    cmake --preset release
fi
cmake --build --preset release --target bench_memory
build/release/bench/bench_memory "$@"
