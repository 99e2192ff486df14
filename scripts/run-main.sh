#!/usr/bin/env bash
# The main job: sets up the machine and builds (scripts/setup.sh release),
# then converts the bundled sample images in examples/ to PNG with
# kelvara-batch into a fresh build/examples-out/ (folders kept, other files
# copied) and prints its line per file. examples/photo-24bit.bmp is refused
# on purpose (not-8-bit), so the converter's exit status 1 is expected; any
# other failure fails the job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release

out=build/examples-out
rm -rf "$out"
status=0
lines=$(build/release/src/batch/kelvara-batch --to png --out "$out" --keep-tree --others copy examples) ||
  status=$?
printf '%s\n' "$lines"

unexpected=$(printf '%s\n' "$lines" | awk -F'\t' \
  '$1 != "success" && $1 != "skipped" && !($1 == "not-8-bit" && $2 ~ /\/photo-24bit\.bmp$/)')
if ((status > 1)) || [ -n "$unexpected" ]; then
  echo "run-main: kelvara-batch exited with $status; unexpected results:" >&2
  printf '%s\n' "$unexpected" >&2
  exit 1
fi
echo "run-main: $(find "$out" -type f | wc -l) files written into $out (exit status $status: the 24-bit sample is refused)"
