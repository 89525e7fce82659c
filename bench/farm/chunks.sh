#!/usr/bin/env bash
# A farm job's overhead on one machine: the same clip rendered once and as chunks (the chunks' renders as
# a one-node queue runs them, TASKS at a time, then the join), runs of the two interleaved so that the
# machine's noise falls on both alike. Prints the median wall and CPU seconds (user + system) of each,
# the farm's as ratios to the single render's, and the load average before and after: on a shared
# machine the CPU seconds are the steadier measure of the farm's own work.
#
#   The clip: 1920x1080 H.264 mp4 (a key frame every KEYINT frames, B-frames) with an AAC track, FRAMES
#   frames; a chunk that does not start on a key frame decodes the pictures from the one before. Output
#   mp4 (libx264 crf 18), the default look, CHUNKS chunks. The single render uses THREADS threads; each
#   chunk THREADS / TASKS, as a task given its share of the node's CPUs does.
#
# Usage: chunks.sh   (env WATCHCAM=build/cli/watchcam, RUNS=3, THREADS=2, TASKS=1, FRAMES=100, CHUNKS=4,
#                     KEYINT=250 (x264's default: one key frame in 100 frames; 25 = one a second, as
#                     cameras and streams write), WORK=/tmp/farm_chunks, OUT=mp4|mkv|mov)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
W=${WATCHCAM:-$root/build/cli/watchcam}
runs=${RUNS:-3}; threads=${THREADS:-2}; tasks=${TASKS:-1}; frames=${FRAMES:-100}; chunks=${CHUNKS:-4}
out=${OUT:-mp4}
work=${WORK:-/tmp/farm_chunks}
mkdir -p "$work"
chunk=$(( (frames + chunks - 1) / chunks ))
taskThreads=$(( threads / tasks > 0 ? threads / tasks : 1 ))

keyint=${KEYINT:-250}
clip=$work/clip1080-$frames-g$keyint.mp4
[ -s "$clip" ] || ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -frames:v "$frames" -c:v libx264 -g "$keyint" -pix_fmt yuv420p -c:a aac -shortest "$clip"

now() { date +%s.%N; }
# Runs a command, its CPU seconds (user + system) into the file $1.
run() {
  local cpuFile=$1; shift
  /usr/bin/time -f "%U %S" -o "$cpuFile" "$@" >/dev/null 2>>"$work/run.err" ||
    { echo "FAILED: $* ($(tail -n 2 "$work/run.err"))" >&2; exit 1; }
}
cpuOf() { awk '{ s += $1 + $2 } END { print s }' "$@"; }

single() {
  rm -f "$work"/cpu.*
  run "$work/cpu.single" "$W" render "$clip" "$work/single.$out" --overwrite --quiet --threads "$threads"
  cpuOf "$work"/cpu.*
}
farm() {
  rm -rf "$work/farm.$out" "$work/.farm.$out.farm" "$work"/cpu.*
  local plain n=0
  plain=$("$W" farm "$clip" "$work/farm.$out" --chunk "$chunk" --threads "$taskThreads" --plain 2>"$work/plain.err")
  while IFS= read -r line; do
    n=$((n + 1))
    eval "run $work/cpu.$n $line" &
    if [ $((n % tasks)) -eq 0 ]; then wait; fi
  done <<<"$plain"
  wait
  eval "run $work/cpu.join $(sed -n 's/^  //p' "$work/plain.err" | tail -n 1)"
  cpuOf "$work"/cpu.*
}
timed() { # label function -> "label wall cpu"
  local a b cpu
  a=$(now); cpu=$("$2"); b=$(now)
  echo "$1 $(echo "$b - $a" | bc) $cpu"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "$runs"); do
  timed single single
  timed farm farm
done | awk -v runs="$runs" -v keyint="$keyint" -v chunks="$chunks" -v frames="$frames" -v out="$out" -v tasks="$tasks" \
  -v threads="$threads" -v taskThreads="$taskThreads" '
  function median(label, col,   i, j, k, v, tmp) {
    k = 0; for (i = 1; i <= n[label]; i++) v[++k] = x[label, i, col]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { tmp = v[i]; v[i] = v[j]; v[j] = tmp }
    return v[int((k + 1) / 2)]
  }
  { n[$1]++; x[$1, n[$1], 1] = $2; x[$1, n[$1], 2] = $3 }
  END {
    sw = median("single", 1); sc = median("single", 2); fw = median("farm", 1); fc = median("farm", 2)
    printf "%d frames 1080p mp4 (a key frame every %d) -> %s; single render at %d threads; %d chunks, %d at a time at %d threads each, then the join; median of %d runs:\n", frames, keyint, out, threads, chunks, tasks, taskThreads, runs
    printf "  %-22s %8s %8s\n", "", "wall s", "CPU s"
    printf "  %-22s %8.2f %8.2f\n", "single render", sw, sc
    printf "  %-22s %8.2f %8.2f\n", "farm (chunks + join)", fw, fc
    printf "  %-22s %7.2fx %7.2fx\n", "farm / single", fw / sw, fc / sc
  }'
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
