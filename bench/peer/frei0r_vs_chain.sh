#!/usr/bin/env bash
# The frei0r filter inside FFmpeg beside the FFmpeg chain nearest to the default look, in one run: the
# same 100 frames of 1920x1080 RGBA read as raw video, the same number of threads, the runs of the two
# interleaved so that the machine's noise falls on both alike, and the cost of reading the input (the
# median of plain reads) subtracted from each. Prints milliseconds per frame and their ratio, the filter
# with its held frame and without (KILN_NO_REUSE=1: every frame computed in full).
#
# Usage: frei0r_vs_chain.sh [BUILD_DIR]     (env RUNS=5, THREADS=2,
#                                             CHAIN=the chain's script, default ../shared/peer/ffmpeg-chain.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${RUNS:-5}; threads=${THREADS:-2}
chain_script=${CHAIN:-$root/../shared/peer/ffmpeg-chain.sh}
W=1920; H=1080; N=100
in=/tmp/peer_in_rgba.raw
[ -s "$build/frei0r/watchcam.so" ] || { echo "no $build/frei0r/watchcam.so: build first" >&2; exit 1; }
if [ -x "$chain_script" ]; then chain=$("$chain_script" 8 --print); else chain=$(cat "$here/chain.txt"); fi
[ -s "$in" ] || ffmpeg -v error -f lavfi -i "testsrc2=size=${W}x${H}:rate=25" -frames:v $N -pix_fmt rgba -f rawvideo "$in"

run() { local t0 t1; t0=$(date +%s.%N)
  KILN_NO_REUSE=${NO_REUSE:-0} FREI0R_PATH=$build/frei0r KILN_MAX_PROCESSORS=$threads ffmpeg -hide_banner -nostdin -v error -threads "$threads" \
    -filter_threads "$threads" -filter_complex_threads "$threads" -f rawvideo -pix_fmt rgba -s ${W}x$H -r 25 -i "$in" \
    -filter_complex "$1" -f null -
  t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

read_t=(); chain_t=(); frei0r_t=(); full_t=()
for _ in $(seq "$runs"); do
  read_t+=("$(run "[0:v]null")")
  chain_t+=("$(run "$chain")")
  frei0r_t+=("$(run "[0:v]frei0r=watchcam")")
  full_t+=("$(NO_REUSE=1 run "[0:v]frei0r=watchcam")")
done
r=$(printf '%s\n' "${read_t[@]}" | median)
c=$(printf '%s\n' "${chain_t[@]}" | median)
f=$(printf '%s\n' "${frei0r_t[@]}" | median)
u=$(printf '%s\n' "${full_t[@]}" | median)
ms() { echo "($1 - $r) * 1000 / $N" | bc -l; }
printf 'ffmpeg chain 8:           %6.1f ms/frame\n' "$(ms "$c")"
printf 'frei0r watchcam, default: %6.1f ms/frame\n' "$(ms "$f")"
printf 'frei0r, no held frame:    %6.1f ms/frame (%.2f of the chain)\n' "$(ms "$u")" "$(echo "($u - $r) / ($c - $r)" | bc -l)"
printf 'ratio frei0r / chain:     %6.2f   (input read %.1f ms/frame subtracted, %d threads, median of %d)\n' \
  "$(echo "($f - $r) / ($c - $r)" | bc -l)" "$(echo "$r * 1000 / $N" | bc -l)" "$threads" "$runs"
