#!/usr/bin/env bash
# The default look over 25 consecutive 1920x1080 frames through the substitute host and the module
# (bench_render's consecutive25 cases: the module without and with the held frame) beside the FFmpeg chain
# nearest to the default look, at 8, 16 and float, in one run: ROUNDS rounds, each timing the chain and then
# both renders at every depth in turn, so that the machine's noise falls on all alike. Prints milliseconds
# per frame and the ratios of each round, then their medians.
#
# Usage: consecutive_vs_chain.sh [BUILD_DIR]    (env ROUNDS=3, THREADS=2, MIN_TIME=2 seconds per case,
#                                                CHAIN=the chain's script, default ../shared/peer/ffmpeg-chain.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${ROUNDS:-3}; threads=${THREADS:-2}; min_time=${MIN_TIME:-2}
chain_script=${CHAIN:-$root/../shared/peer/ffmpeg-chain.sh}
bench=$build/bench/effect/bench_render
[ -x "$bench" ] || { echo "no $bench: build bench_render first" >&2; exit 1; }
[ -x "$chain_script" ] || { echo "no chain script $chain_script (set CHAIN)" >&2; exit 1; }

# Milliseconds per frame of one bench_render case.
render_ms() {
  KILN_MAX_PROCESSORS=$threads "$bench" --benchmark_filter="^Render/consecutive25/$1/$2/" \
    --benchmark_min_time="$min_time" --benchmark_format=json 2>/dev/null |
    python3 -c 'import json,sys; b=json.load(sys.stdin)["benchmarks"][0]; print(b["frame"]*1000)'
}
chain_ms() { RUNS=1 THREADS=$threads "$chain_script" "$1" | sed -E 's/^[^:]*: *([0-9.]+) ms.*/\1/'; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
results=$(mktemp)
for round in $(seq "$rounds"); do
  for depth in 8 16 float; do
    c=$(chain_ms "$depth"); b=$(render_ms "$depth" no-reuse); a=$(render_ms "$depth" reuse)
    echo "$depth $c $b $a" >> "$results"
    printf 'round %d %-5s chain %6.1f  before %6.1f (%.2f)  after %6.1f (%.2f)  after/before %.2f  load %s\n' \
      "$round" "$depth" "$c" "$b" "$(echo "$b / $c" | bc -l)" "$a" "$(echo "$a / $c" | bc -l)" \
      "$(echo "$a / $b" | bc -l)" "$(cut -d' ' -f1 /proc/loadavg)"
  done
done
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "medians of $rounds rounds (ms per frame; ratios to the chain of the same round; $threads threads):"
for depth in 8 16 float; do
  rows=$(awk -v d="$depth" '$1 == d' "$results")
  m() { echo "$rows" | awk "{print $1}" | median; }
  printf '%-5s chain %6.1f  before %6.1f (%.2f)  after %6.1f (%.2f)\n' "$depth" "$(m '$2')" "$(m '$3')" \
    "$(m '$3 / $2')" "$(m '$4')" "$(m '$4 / $2')"
done
a8=$(awk '$1 == 8 {print $4}' "$results" | median)
for depth in 16 float; do
  printf 'after, %s against 8-bit: %.2fx\n' "$depth" "$(echo "$(awk -v d="$depth" '$1 == d {print $4}' "$results" | median) / $a8" | bc -l)"
done
rm -f "$results"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
