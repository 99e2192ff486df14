#!/usr/bin/env bash
# Shards against one run, side by side in one run of this script:
#  - the 640x480 corpus of bench/peers.sh (200 palette pictures), BMP to PNG:
#    one kelvara-batch with the default workers, then 4 shards (--shard K/4,
#    each with one worker) started at once by GNU parallel on this machine.
#    The same total work: the ratio is what the shards add (every shard
#    gathers and plans the whole list, and reads each image's header to
#    weigh it); median of --repeat runs each, alternating.
#  - planning alone as the list grows: a dry run of one shard over 10,000 and
#    100,000 tiny files (gathering, planning, weighing, no conversion).
# Usage: bench/shards.sh [--repeat N]       (default 3)
# KELVARA_PEERS_DIR: where the corpus and the work folders live (default
# build/release/bench/peers-data, as peers.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
repeat=3
[ "${1:-}" = --repeat ] && repeat="$2"
command -v parallel >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq parallel >/dev/null; }

(cd "$root" && { [ -f build/release/CMakeCache.txt ] || cmake --preset release >/dev/null; } &&
    cmake --build --preset release --target kelvara-batch peers_make_corpus >/dev/null)
batch="$root/build/release/src/batch/kelvara-batch"
data="${KELVARA_PEERS_DIR:-$root/build/release/bench/peers-data}"
corpus="$data/shards/bmp"
if [ ! -f "$corpus/img-0199.bmp" ]; then
    mkdir -p "$corpus"
    "$root/build/release/bench/peers_make_corpus" "$corpus" img 200 640 480 1 # the 640x480 set
fi
work="$data/shards/work"
cfg="$data/shards/empty.ini"
: >"$cfg"

# Wall seconds of a command; its output and exit status do not matter here.
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; e=$(date +%s.%N); echo "$e - $s" | bc; }
one() { rm -rf "$work"; "$batch" --config "$cfg" --to png --out "$work" --flat "$corpus" >/dev/null; }
four() {
    rm -rf "$work"
    parallel -j4 "$batch" --config "$cfg" --to png --out "$work" --flat -j1 --shard {}/4 "$corpus" \
        '>/dev/null' ::: 1 2 3 4
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

t_one=(); t_four=()
for ((i = 0; i < repeat; i++)); do
    t_one+=("$(seconds one)")
    t_four+=("$(seconds four)")
done
m_one=$(printf '%s\n' "${t_one[@]}" | median)
m_four=$(printf '%s\n' "${t_four[@]}" | median)
echo "200 x 640x480 BMP to PNG on $(getconf _NPROCESSORS_ONLN) processors, median of $repeat:"
printf '  one run, default workers   %7.2f s\n' "$m_one"
printf '  4 shards with parallel     %7.2f s   ratio %.2f\n' "$m_four" "$(echo "$m_four / $m_one" | bc -l)"

# Planning as the list grows: tiny files, one shard's dry run.
for count in 10000 100000; do
    tree="$data/shards/tree-$count"
    if [ ! -d "$tree" ]; then
        mkdir -p "$tree"
        for ((d = 0; d < count / 1000; d++)); do
            mkdir -p "$tree/d$d"
            (cd "$tree/d$d" && for ((f = 0; f < 1000; f++)); do : >"f$f.bmp"; done)
        done
    fi
    t_all=$(seconds "$batch" --config "$cfg" --to png --out "$work" --dry-run "$tree")
    t_shard=$(seconds "$batch" --config "$cfg" --to png --out "$work" --dry-run --shard 1/4 "$tree")
    printf '  %6d entries: dry run %6.2f s, one shard'\''s dry run %6.2f s\n' "$count" "$t_all" "$t_shard"
done
