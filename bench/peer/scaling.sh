#!/usr/bin/env bash
# Cost that grows with the pixels and nothing else: the same mp4 -> mp4 job (default look, libx264 crf 18
# preset medium, audio copied) on generated footage at 1920x1080 and 3840x2160 (100 frames each), and at
# 1920x1080 with 100 and 1000 frames. The jobs run in turn, RUNS rounds, so the machine's noise falls on all
# alike; prints the median wall seconds and the highest peak memory (max RSS) of each, and the ratios:
#   2160p / 1080p time (goal at most 4.2x; the pixels are 4x) and peak memory (goal at most 3x);
#   1000 / 100 frames (1000f / 1080p) time (goal at most 10.5x) and peak memory (goal: flat).
# With the sizes, the plain transcode (the same x264 settings, no effect) runs too at both sizes in the same
# rounds: its own 2160p / 1080p ratios are the bound that the codec sets on any job writing these settings.
#
# Usage: scaling.sh [size|length|all]   (env WATCHCAM=build/cli/watchcam, RUNS=3, THREADS=2,
#                                        WORK=/tmp/watchcam_scaling for the footage and outputs)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
which=${1:-all}
W=${WATCHCAM:-$root/build/cli/watchcam}
runs=${RUNS:-3}; threads=${THREADS:-2}
work=${WORK:-/tmp/watchcam_scaling}
mkdir -p "$work"

clip() { # name size frames
  [ -s "$work/$1.mp4" ] || ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$2:rate=25" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -frames:v "$3" -c:v libx264 -pix_fmt yuv420p -c:a aac \
    -shortest "$work/$1.mp4"
}
timed() { # label input
  measured "$1" "$W" render "$work/$2.mp4" "$work/out_$1.mp4" --overwrite --quiet --threads "$threads"
}
plain() { # label input
  measured "$1" ffmpeg -nostdin -v error -y -threads "$threads" -i "$work/$2.mp4" -c:v libx264 -crf 18 \
    -preset medium -pix_fmt yuv420p -threads "$threads" -c:a copy "$work/out_$1.mp4"
}
measured() { # label command...
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/$label.err" ||
    { echo "$label FAILED: $(tail -n 2 "$work/$label.err")" >&2; exit 1; }
  read -r s kb < "$work/time.txt"; echo "$label $s $kb"
}
report() { # lines "label s kb" -> median s and max MB per label, then the ratio of each pair
  awk -v pairs="$1" '{ if (!($1 in n)) order[++k]=$1; t[$1, ++n[$1]]=$2; if ($3>m[$1]) m[$1]=$3 }
       END { for (i=1;i<=k;i++) { l=order[i]; c=n[l]; for (a=1;a<=c;a++) v[a]=t[l,a]
               for (a=1;a<=c;a++) for (b=a+1;b<=c;b++) if (v[b]<v[a]) { x=v[a]; v[a]=v[b]; v[b]=x }
               med[l]=v[int((c+1)/2)]; printf "  %-12s %7.2f s %7.0f MB\n", l, med[l], m[l]/1024 }
             np=split(pairs, p, " ")
             for (i=1;i<np;i+=2) printf "  %s / %s: %.2fx the time, %.2fx the peak memory\n", p[i+1], p[i],
               med[p[i+1]]/med[p[i]], m[p[i+1]]/m[p[i]] }'
}
labels=() pairs=""
if [ "$which" = size ] || [ "$which" = all ]; then clip c1080 1920x1080 100; clip c2160 3840x2160 100; labels+=(c1080 c2160 p1080 p2160); pairs+="1080p 2160p plain1080p plain2160p "; fi
if [ "$which" = length ] || [ "$which" = all ]; then clip c1080 1920x1080 100; clip c1080x1000 1920x1080 1000; labels+=(c1080 c1080x1000); pairs+="1080p 1000f "; fi
echo "mp4 -> mp4 jobs, median of $runs rounds, $threads threads, load average $(cut -d' ' -f1-3 /proc/loadavg):"
for _ in $(seq "$runs"); do
  done_=" "
  for l in "${labels[@]}"; do
    case $done_ in *" $l "*) continue ;; esac
    done_+="$l "
    case $l in c1080) timed 1080p c1080 ;; c2160) timed 2160p c2160 ;; c1080x1000) timed 1000f c1080x1000 ;;
      p1080) plain plain1080p c1080 ;; p2160) plain plain2160p c2160 ;; esac
  done
done | report "$pairs"
