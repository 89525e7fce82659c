#!/usr/bin/env bash
# Times the FFmpeg filter chain nearest to the default look (lens correction, Gaussian blur, grey,
# brightness/contrast, per-row gain, scan lines) on 100 frames of 1920x1080 RGBA read from /tmp,
# with the cost of just reading the input subtracted. Prints milliseconds per frame (median of RUNS).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=${RUNS:-5}
threads=${THREADS:-2}
in=/tmp/in_rgba.raw
frames=100
if [ ! -s "$in" ]; then
  ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v $frames -pix_fmt rgba -f rawvideo "$in"
fi
time_chain() { # $1 = filter_complex text; prints wall seconds
  local t0 t1
  t0=$(date +%s.%N)
  ffmpeg -hide_banner -nostdin -v error -threads "$threads" -filter_threads "$threads" \
    -filter_complex_threads "$threads" -f rawvideo -pix_fmt rgba -s 1920x1080 -r 25 -i "$in" \
    -filter_complex "$1" -f null - 
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
chain=$(cat "$here/chain.txt")
read_only=$(for _ in $(seq "$runs"); do time_chain "[0:v]null"; done | median)
whole=$(for _ in $(seq "$runs"); do time_chain "$chain"; done | median)
printf 'ffmpeg chain: %.1f ms/frame (input read %.1f ms/frame subtracted), %d threads\n' \
  "$(echo "($whole - $read_only) * 1000 / $frames" | bc -l)" "$(echo "$read_only * 1000 / $frames" | bc -l)" "$threads"
