#!/usr/bin/env bash
# Whole jobs side by side on generated 1920x1080 footage: watchcam with the default look, the FFmpeg chain
# nearest to that look, and the plain copy or transcode that bounds any renderer. Runs of the three are
# interleaved so that the machine's noise falls on all alike; prints the median wall seconds and the
# highest peak memory (max RSS) of each, and watchcam's time and memory as ratios to each.
#
#   mp4: H.264 mp4 with an AAC track to mp4, 100 frames; every encode libx264 crf 18 preset medium yuv420p,
#        the audio copied (what watchcam does by default).
#   exr: float OpenEXR sequence to an OpenEXR sequence, 30 frames, written as watchcam writes them
#        (float, ZIP; the input is uncompressed).
#
# Usage: jobs.sh [mp4|exr|all]   (env WATCHCAM=build/cli/watchcam, RUNS=3, THREADS=2 for every program,
#                                 WORK=/tmp/peer_jobs for the footage and outputs, BASE=another watchcam to
#                                 time beside it, e.g. one built before a change)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
which=${1:-all}
W=${WATCHCAM:-$root/build/cli/watchcam}
base=${BASE:-}
runs=${RUNS:-3}; threads=${THREADS:-2}
work=${WORK:-/tmp/peer_jobs}
mkdir -p "$work"
command -v oiiotool >/dev/null || { echo "oiiotool missing (apt-get install openimageio-tools)" >&2; exit 1; }

clip=$work/clip1080.mp4
[ -s "$clip" ] || ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -frames:v 100 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$clip"
seq=$work/exr_in
if [ ! -s "$seq/in.0029.exr" ]; then
  mkdir -p "$seq"
  ffmpeg -v error -i "$clip" -frames:v 30 -pix_fmt gbrpf32le -compression 0 -start_number 0 "$seq/in.%04d.exr"
fi

# The FFmpeg chain nearest to the default look (lens, blur, grey, tone curve, EM gain, scan lines).
chain() { # 8|float
  local planar max out look H=1080 W=1920
  if [ "$1" = float ]; then planar=gbrapf32le; max=1; out=""; else planar=gbrap; max=255; out=",format=rgba"; fi
  local tone=$work/tone.cube
  [ -s "$tone" ] || awk 'BEGIN{n=1024; print "LUT_1D_SIZE " n; for(i=0;i<n;i++){v=i/(n-1); o=(v-0.5)*1.3+0.5+0.04; if(o<0)o=0; if(o>1)o=1; printf "%.6f %.6f %.6f\n",o,o,o}}' > "$tone"
  local gain='(0.85+0.15*(0.6*sin(Y*0.013+T*2.1)+0.4*sin(Y*0.051-T*5.3)))' scan='if(eq(mod(Y\,3)\,2)\,0.65\,1)'
  local lens='lenscorrection=k1=0.3:k2=0.1:i=bilinear' grey='colorchannelmixer=.299:.587:.114:0:.299:.587:.114:0:.299:.587:.114:0'
  if [ "$1" = float ]; then look="format=gbrap16le,$lens,format=gbrapf32le,gblur=sigma=1,$grey,lut1d=file=$tone"  # no float lens
  else look="format=$planar,$lens,gblur=sigma=1,$grey,lut1d=file=$tone"; fi
  echo "nullsrc=s=1x$H:r=25,format=$planar,geq=i=n:r='$max*$gain':g='$max*$gain':b='$max*$gain':a=$max,scale=$W:$H:flags=neighbor[em];nullsrc=s=1x$H:r=25,trim=end_frame=1,format=$planar,geq=i=n:r='$max*$scan':g='$max*$scan':b='$max*$scan':a=$max,scale=$W:$H:flags=neighbor,loop=loop=-1:size=1[sc];[0:v]$look[g];[g][em]blend=all_mode=multiply:shortest=1[e];[e][sc]blend=all_mode=multiply:shortest=1$out"
}

timed() { # label command... -> "label seconds peakKB"
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/$label.err" ||
    { echo "$label FAILED: $(tail -n 2 "$work/$label.err")" >&2; return 1; }
  read -r s kb < "$work/time.txt"; echo "$label $s $kb"
}
# Lines "label seconds kb" of all runs -> per label the median time and the highest memory, and the
# first label's time and memory as ratios to each.
report() {
  sort -k1,1 -k2,2g | awk '
    { n[$1]++; t[$1, n[$1]] = $2; if ($3 > m[$1]) m[$1] = $3 }
    END {
      split("watchcam watchcam-base ffmpeg-chain plain-transcode oiiotool-copy", known, " ")
      for (j = 1; j <= 5; j++) if (known[j] in n) { l = known[j]; order[++k] = l; med[l] = t[l, int((n[l] + 1) / 2)] }
      w = "watchcam"
      printf "  %-16s %8s %9s %12s %12s\n", "", "seconds", "peak MB", "time ratio", "memory ratio"
      for (i = 1; i <= k; i++) { l = order[i]
        printf "  %-16s %8.2f %9.0f %11.2fx %11.2fx\n", l, med[l], m[l] / 1024, med[w] / med[l], m[w] / m[l] }
    }'
}

if [ "$which" = mp4 ] || [ "$which" = all ]; then
  echo "mp4 -> mp4, 100 frames 1080p H.264, $threads threads, $runs runs (ratios: watchcam / each):"
  x264=(-c:v libx264 -crf 18 -preset medium -pix_fmt yuv420p -c:a copy)
  c8=$(chain 8)
  for _ in $(seq "$runs"); do
    timed watchcam "$W" render "$clip" "$work/out_wc.mp4" --overwrite --quiet --threads "$threads"
    [ -z "$base" ] || timed watchcam-base "$base" render "$clip" "$work/out_base.mp4" --overwrite --quiet --threads "$threads"
    timed ffmpeg-chain ffmpeg -nostdin -v error -y -threads "$threads" -filter_threads "$threads" \
      -filter_complex_threads "$threads" -i "$clip" -filter_complex "$c8" "${x264[@]}" -threads "$threads" "$work/out_ff.mp4"
    timed plain-transcode ffmpeg -nostdin -v error -y -threads "$threads" -i "$clip" "${x264[@]}" -threads "$threads" "$work/out_plain.mp4"
  done | report
fi
if [ "$which" = exr ] || [ "$which" = all ]; then
  echo "float EXR sequence -> EXR sequence, 30 frames 1080p, $threads threads, $runs runs (ratios: watchcam / each):"
  cf=$(chain float)
  for _ in $(seq "$runs"); do
    rm -rf "$work"/exr_wc "$work"/exr_base "$work"/exr_ff "$work"/exr_oiio
    mkdir -p "$work"/exr_wc "$work"/exr_base "$work"/exr_ff "$work"/exr_oiio
    timed watchcam "$W" render "$seq/in.%04d.exr" "$work/exr_wc/out.%04d.exr" --overwrite --quiet --threads "$threads"
    [ -z "$base" ] || timed watchcam-base "$base" render "$seq/in.%04d.exr" "$work/exr_base/out.%04d.exr" --overwrite --quiet --threads "$threads"
    timed ffmpeg-chain ffmpeg -nostdin -v error -y -threads "$threads" -filter_threads "$threads" \
      -filter_complex_threads "$threads" -start_number 0 -i "$seq/in.%04d.exr" -filter_complex "$cf" \
      -c:v exr -compression zip16 -pix_fmt gbrapf32le -start_number 0 "$work/exr_ff/out.%04d.exr"
    timed oiiotool-copy oiiotool --threads "$threads" --frames 0-29 "$seq/in.%04d.exr" --compression zip \
      -o "$work/exr_oiio/out.%04d.exr"
  done | report
fi
