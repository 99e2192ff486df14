#!/usr/bin/env bash
# Builds the fuzz preset and fuzzes each target for SECONDS.
#   tests/fuzz/run.sh SECONDS [TARGET...]      targets: bmp png xyz ini command_line
#                                              open_file_result path (default: all)
# Environment: FUZZ_JOBS targets at a time (default 2), FUZZ_WORK work folder
# (default build/fuzz-work), FUZZ_TMP scratch folder (default /dev/shm).
# Each target fuzzes a copy of its seed corpus in the work folder, so the
# repository's corpus only gets what is chosen for it; crashes land in
# <work>/<target>/artifacts. One summary line per target.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(bmp png xyz ini command_line open_file_result path)
fi
jobs=${FUZZ_JOBS:-2}
work=${FUZZ_WORK:-build/fuzz-work}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Summary of one finished run: executions, speed and peak memory from the
# final stats, coverage from the last status line, and the crashes, leaks and
# timeouts written as artifacts.
summarize() {
  local name=$1 dir=$work/$1
  local last runs rate rss cov ft artifacts
  stat_of() { sed -n "s/^stat::$1: *\([0-9]*\).*/\1/p" "$dir/log" | tail -n 1; }
  runs=$(stat_of number_of_executed_units)
  rate=$(stat_of average_exec_per_sec)
  rss=$(stat_of peak_rss_mb)
  last=$(grep -E '^#[0-9]+' "$dir/log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  artifacts=$(find "$dir/artifacts" -type f | wc -l)
  printf '%-17s %5ss  execs %-10s exec/s %-6s cov %-5s ft %-6s rss %sMB  artifacts %s\n' \
    "$name" "$seconds" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${rss:-?}" "$artifacts"
}

fuzz_one() {
  local name=$1 dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -r "tests/fuzz/corpus/$name/." "$dir/corpus/"
  # The targets write and replace small files on every input; on tmpfs the
  # flush before a replacement costs nothing.
  local scratch
  scratch=$(mktemp -d "${FUZZ_TMP:-$( [ -w /dev/shm ] && echo /dev/shm || echo "$dir")}/kelvara-fuzz-$name.XXXXXX")
  # A header may declare a 65535 x 65535 image, whose 4 GiB the readers may
  # reserve (pages never touched cost nothing, so resident memory is what is
  # bounded). AddressSanitizer poisons an eighth of such a block when it is
  # freed, which slows a run down to a few inputs a second; blocks above
  # 256 MiB are therefore refused here, and the readers take their
  # out-of-memory path instead. tests/robustness covers the large ones.
  TMPDIR=$scratch \
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=256} \
    "build/fuzz/tests/fuzz/fuzz_$name" "$dir/corpus" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=4200 -timeout=25 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1 || true
  rm -rf "$scratch"
  summarize "$name"
}

mkdir -p "$work"
running=0
for name in "${targets[@]}"; do
  if [ ! -d "tests/fuzz/corpus/$name" ]; then
    echo "no corpus for $name" >&2
    exit 2
  fi
  fuzz_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
