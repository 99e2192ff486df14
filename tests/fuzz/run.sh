#!/usr/bin/env bash
# Builds the fuzz preset and fuzzes each target for SECONDS.
#   tests/fuzz/run.sh SECONDS [TARGET...]      targets: bmp png xyz ini path (default: all)
# Environment: FUZZ_JOBS targets at a time (default 2), FUZZ_WORK work folder
# (default build/fuzz-work), FUZZ_TMP scratch folder (default /dev/shm: the
# targets replace files on every input, and on tmpfs flushes cost nothing).
# Each target starts from a copy of its seeds (the case files with its
# extension, its crashers); what fails it lands in <work>/<target>/artifacts,
# to be kept in crashers/<target> once fixed. One summary line per target.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("${@:-bmp png xyz ini path}")
work=${FUZZ_WORK:-build/fuzz-work}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

fuzz_one() {
  local dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp tests/data/cases/*."$1" tests/fuzz/crashers/"$1"/* "$dir/corpus/" 2>/dev/null || true
  # A header may declare 4 GiB, which AddressSanitizer would poison page by
  # page: large blocks are refused and the readers take their out-of-memory
  # path instead (the case manifest covers the large ones).
  local tmp
  tmp=$(mktemp -d "${FUZZ_TMP:-/dev/shm}/kelvara-fuzz-$1.XXXXXX")
  TMPDIR=$tmp ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=256} \
    "build/fuzz/tests/fuzz/fuzz_$1" "$dir/corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=25 -entropic_scale_per_exec_time=1 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1 || true
  rm -rf "$tmp"
  printf '%-5s %s execs, %s crash/leak/timeout artifacts\n' "$1" \
    "$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")" \
    "$(ls "$dir/artifacts" | wc -l)"
}

for name in ${targets[*]}; do
  fuzz_one "$name" &
  while [ "$(jobs -rp | wc -l)" -ge "${FUZZ_JOBS:-2}" ]; do wait -n; done
done
wait
