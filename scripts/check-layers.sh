#!/usr/bin/env bash
# Fails when a file under src/ includes a header of a higher layer, or when
# one of the two programs includes the other. The layers, bottom to top:
#   image  io  codecs  settings  convert  filelist  run  | batch  desktop
# A layer may include its own headers and those of every layer below it;
# batch and desktop sit on top, side by side, and never include each other.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([image]=0 [io]=1 [codecs]=2 [settings]=3 [convert]=4 [filelist]=5 [run]=6
                 [batch]=7 [desktop]=7)
status=0
while IFS= read -r line; do
  file=${line%%:*}
  rest=${line#*:}
  rest=${rest#*:}
  included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$rest")
  from=$(cut -d/ -f2 <<<"$file")
  to=${included%%/*}
  [ "$to" = "$included" ] && continue           # a generated or same-folder header
  [ -n "${rank[$to]+x}" ] || continue             # not one of ours (a library)
  if [ -z "${rank[$from]+x}" ]; then
    echo "check-layers: $file is in no layer" >&2
    status=1
  elif ((rank[$to] > rank[$from])) || { [ "$from" != "$to" ] && ((rank[$to] == rank[$from])); }; then
    echo "check-layers: $file (layer $from) includes $included (layer $to)" >&2
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' src --include='*.h' --include='*.cpp' --include='*.ui' || true)
if ((status == 0)); then
  echo "check-layers: every include of src/ goes to its own layer or one below"
fi
exit $status
