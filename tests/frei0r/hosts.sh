#!/usr/bin/env bash
# The frei0r filter inside the real hosts, frame by frame against `watchcam render --depth 8`.
#
#   hosts.sh setup DIR         one short clip (64x36, 12 frames, every frame and alpha different), a 37x23
#                              crop of it, and watchcam's renders of them
#   hosts.sh CHECK DIR         one check: ffmpeg-default, ffmpeg-neutral, ffmpeg-settings, melt, gstreamer,
#                              bad-values, ffmpeg-width, rates, crop-1080, melt-parallel, reuse
#
# Environment: WATCHCAM (the renderer), FREI0R_PATH (the folder of the built watchcam.so).
# Frames travel as lossless RGBA (FFV1 in Matroska, or raw), so every byte must match.
set -euo pipefail
check=$1
dir=$2
# 64 wide: FFmpeg 5.1 hands the filter its frames' times at this width (at some widths it hands none and
# the filter counts frames), so the check covers the time it gets in milliseconds.
W=64 H=36 N=12
frame_bytes=$((W * H * 4))

need() { command -v "$1" >/dev/null || { echo "$1 is not installed (tools/bootstrap installs it)" >&2; exit 1; }; }
raw() { ffmpeg -nostdin -v error -i "$1" -f rawvideo -pix_fmt rgba -y "$2"; }
# Byte-equal raw RGBA, else the first frame that differs.
same() {
  local got=$1 want=$2 what=$3 at
  if at=$(cmp "$got" "$want" 2>&1); then return 0; fi
  if [[ $at =~ byte\ ([0-9]+) ]]; then
    echo "$what: frame $(((BASH_REMATCH[1] - 1) / frame_bytes)) differs from watchcam's" >&2
  else
    echo "$what: $at" >&2
  fi
  exit 1
}

# The same non-default settings in each host's words (neutral time: Frame Rate 0). The default look holds
# frames (Frame Rate 5); the snow of these settings changes with the frame number.
wc_settings=(--set TVType=Tint --set contrast=40 --set quantise=on --set quantiseLevels=4 --set framesPerSec=0
             --set lensStrength=60 --set shashMax=50 --set EMInterference=80 --set blendMethod=Overlay
             --set blendMix=70)
# frei0r order: footageFps, Process, TVType, tintColour, contrast, brightness, quantise, quantiseLevels,
# framesPerSec, lensEffect, lensRadius, lensStrength, shashType, seed, shashPeriod, shashMax,
# EMInterference, whiteDot, scanlineWidth, blur, filtered, blendMethod, blendMix
ff_settings="0.25|RGB|Tint|#3fa54c|0.4|0.25|y|0.333333|0|y|0.45|0.56|Random|0.25|0.15|0.5|0.8|0|0.03|0.05|Global Default|Overlay|0.7"
ff_neutral="0.25|RGB|Colour|#3fa54c|0|0|n|0.555556|0|n|0.45|0.54|Random|0.25|0.15|0|0|0|0.01|0"
melt_settings=(TVType=tint contrast=0.4 quantise=1 quantiseLevels=0.333333 framesPerSec=0 lensStrength=0.56
               shashMax=0.5 EMInterference=0.8 blendMethod=overlay blendMix=0.7 tintColour=0x3fa54cff)
gst_settings=(tvtype=Tint contrast=0.4 quantise=true quantiselevels=0.333333 framespersec=0 lensstrength=0.56
              shashmax=0.5 eminterference=0.8 blendmethod=Overlay blendmix=0.7)

case $check in
  setup)
    need ffmpeg
    mkdir -p "$dir"
    ffmpeg -nostdin -v error -f lavfi \
      -i "testsrc2=s=${W}x${H}:r=25,format=rgba,geq=r='r(X,Y)':g='mod(g(X,Y)+N*37,256)':b='b(X,Y)':a='95+X*3+Y'" \
      -frames:v $N -c:v ffv1 -pix_fmt bgra -y "$dir/clip.mkv"
    raw "$dir/clip.mkv" "$dir/clip.raw"
    "$WATCHCAM" render "$dir/clip.mkv" "$dir/wc-default.mkv" --depth 8 --overwrite --quiet
    "$WATCHCAM" render "$dir/clip.mkv" "$dir/wc-settings.mkv" --depth 8 --overwrite --quiet "${wc_settings[@]}"
    raw "$dir/wc-default.mkv" "$dir/wc-default.raw"
    raw "$dir/wc-settings.mkv" "$dir/wc-settings.raw"
    # An odd size, for the hosts that hand rows without padding.
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf crop=37:23:5:3 -c:v ffv1 -pix_fmt bgra -y "$dir/odd.mkv"
    raw "$dir/odd.mkv" "$dir/odd.raw"
    "$WATCHCAM" render "$dir/odd.mkv" "$dir/wc-odd.mkv" --depth 8 --overwrite --quiet
    raw "$dir/wc-odd.mkv" "$dir/wc-odd.raw"
    if cmp -s "$dir/clip.raw" "$dir/wc-default.raw"; then echo "the default look left the clip unchanged" >&2; exit 1; fi
    ;;
  ffmpeg-default)
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf frei0r=watchcam -f rawvideo -pix_fmt rgba -y "$dir/ff-default.raw"
    same "$dir/ff-default.raw" "$dir/wc-default.raw" "ffmpeg, default look"
    ;;
  ffmpeg-neutral)
    # Every stage off: the clip comes back exactly, alpha included.
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf "frei0r=watchcam:$ff_neutral" -f rawvideo -pix_fmt rgba \
      -y "$dir/ff-neutral.raw"
    same "$dir/ff-neutral.raw" "$dir/clip.raw" "ffmpeg, neutral settings"
    ;;
  ffmpeg-settings)
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf "frei0r=watchcam:$ff_settings" -f rawvideo -pix_fmt rgba \
      -y "$dir/ff-settings.raw"
    same "$dir/ff-settings.raw" "$dir/wc-settings.raw" "ffmpeg, settings"
    ;;
  melt)
    need melt
    for look in default settings; do
      args=()
      [ $look = settings ] && args=("${melt_settings[@]}")
      melt -silent "$dir/clip.mkv" -filter frei0r.watchcam "${args[@]}" \
        -consumer "avformat:$dir/melt-$look.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt.log" 2>&1 ||
        { cat "$dir/melt.log" >&2; exit 1; }
      raw "$dir/melt-$look.mkv" "$dir/melt-$look.raw"
      same "$dir/melt-$look.raw" "$dir/wc-$look.raw" "melt, $look"
    done
    ;;
  gstreamer)
    # Both looks in one pipeline: two instances on two streaming threads (the queues) at once.
    need gst-launch-1.0
    export GST_REGISTRY=$dir/gst-registry.bin
    gst-launch-1.0 -q filesrc location="$dir/clip.raw" \
      ! rawvideoparse format=rgba width=$W height=$H framerate=25/1 ! tee name=t \
      t. ! queue ! frei0r-filter-watchcam ! filesink location="$dir/gst-default.raw" \
      t. ! queue ! frei0r-filter-watchcam "${gst_settings[@]}" ! filesink location="$dir/gst-settings.raw"
    for look in default settings; do same "$dir/gst-$look.raw" "$dir/wc-$look.raw" "gst-launch, $look"; done
    gst-launch-1.0 -q filesrc location="$dir/odd.raw" ! rawvideoparse format=rgba width=37 height=23 framerate=25/1 \
      ! frei0r-filter-watchcam ! filesink location="$dir/gst-odd.raw"
    frame_bytes=$((37 * 23 * 4)) same "$dir/gst-odd.raw" "$dir/wc-odd.raw" "gst-launch, 37x23"
    ;;
  bad-values)
    # NaN, an unknown choice name and a value far out of range: refused or clamped, said once, the
    # frames still filtered (NaN and the unknown name keep the defaults: the default look).
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf "frei0r=watchcam:nan|Purple" -f rawvideo -pix_fmt rgba \
      -y "$dir/ff-bad.raw" 2>"$dir/ff-bad.log"
    grep -q 'footageFps: nan refused' "$dir/ff-bad.log" && grep -q 'postAlphaYesNoNo: "Purple" refused' "$dir/ff-bad.log" ||
      { cat "$dir/ff-bad.log" >&2; echo "no message for the refused values" >&2; exit 1; }
    [ "$(grep -c refused "$dir/ff-bad.log")" = 2 ] || { cat "$dir/ff-bad.log" >&2; exit 1; }
    same "$dir/ff-bad.raw" "$dir/wc-default.raw" "ffmpeg, refused values"
    # 24 typed for 0.24 (24 fps): beyond footageFps's range, clamped and said once.
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf "frei0r=watchcam:24" -f null - 2>"$dir/ff-clamp.log"
    [ "$(grep -c 'footageFps: 24 is beyond 0.01..10 (1..1000); clamped to 10 (1000)' "$dir/ff-clamp.log")" = 1 ] ||
      { cat "$dir/ff-clamp.log" >&2; echo "no single line for the clamped footageFps" >&2; exit 1; }
    melt -silent "$dir/clip.mkv" -filter frei0r.watchcam contrast=1e300 TVType=purple blur=-7 \
      -consumer "avformat:$dir/melt-bad.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt-bad.log" 2>&1 ||
      { cat "$dir/melt-bad.log" >&2; exit 1; }
    [ -s "$dir/melt-bad.mkv" ] || { echo "melt wrote nothing" >&2; exit 1; }
    ;;
  ffmpeg-width)
    # FFmpeg pads the rows of a 37-wide frame: the filter says so once, with the way round it; at 64 wide
    # it says nothing.
    ffmpeg -nostdin -v error -i "$dir/odd.mkv" -vf frei0r=watchcam -f null - 2>"$dir/ff-odd.log"
    [ "$(grep -c 'FFmpeg pads the rows of frames 37 wide' "$dir/ff-odd.log")" = 1 ] &&
      grep -q 'pad=ceil(iw/16)\*16:ih,frei0r=watchcam,crop=37:23:0:0' "$dir/ff-odd.log" ||
      { cat "$dir/ff-odd.log" >&2; echo "no single warning about the padded rows" >&2; exit 1; }
    ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf frei0r=watchcam -f null - 2>"$dir/ff-even.log"
    [ ! -s "$dir/ff-even.log" ] || { cat "$dir/ff-even.log" >&2; exit 1; }
    ;;
  rates)
    # The rates cameras record at, footageFps left at its default: the snow and the Frame Rate hold of the
    # default look follow watchcam's frames (at 24 fps the camera's 5 fps holds 0, 4, 9, not 0, 5, 10).
    # QuickTime keeps exact times; Matroska's milliseconds are the checks above, at 25.
    for rate in 24000/1001 24 25 30000/1001 30 50 60; do
      n=${rate//\//-}
      ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=${W}x${H}:r=$rate,format=rgba" -frames:v 14 -c:v qtrle \
        -pix_fmt argb -y "$dir/rate-$n.mov"
      "$WATCHCAM" render "$dir/rate-$n.mov" "$dir/wc-rate-$n.mkv" --depth 8 --overwrite --quiet
      raw "$dir/wc-rate-$n.mkv" "$dir/wc-rate-$n.raw"
      ffmpeg -nostdin -v error -i "$dir/rate-$n.mov" -vf frei0r=watchcam -f rawvideo -pix_fmt rgba \
        -y "$dir/ff-rate-$n.raw"
      same "$dir/ff-rate-$n.raw" "$dir/wc-rate-$n.raw" "ffmpeg, $rate fps"
      melt -silent "$dir/rate-$n.mov" -filter frei0r.watchcam \
        -consumer "avformat:$dir/melt-rate-$n.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt.log" 2>&1 ||
        { cat "$dir/melt.log" >&2; exit 1; }
      raw "$dir/melt-rate-$n.mkv" "$dir/melt-rate-$n.raw"
      same "$dir/melt-rate-$n.raw" "$dir/wc-rate-$n.raw" "melt, $rate fps"
    done
    ;;
  crop-1080)
    # 1080 rows cropped at Top 55, 80 and 90 (where a percentage taken as a fraction first lands a row
    # lower): a held frame is cut as the frame it is blended with, in watchcam and in the filter.
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=32x1080:r=25,format=rgba" -frames:v 7 -c:v ffv1 \
      -pix_fmt bgra -y "$dir/tall.mkv"
    for top in 55 80 90; do
      "$WATCHCAM" render "$dir/tall.mkv" "$dir/wc-top$top.mkv" --depth 8 --overwrite --quiet \
        --set SourceTop=$top --set SourceYMethod=Colour --set blendMethod=Mix
      raw "$dir/wc-top$top.mkv" "$dir/wc-top$top.raw"
      melt -silent "$dir/tall.mkv" -filter frei0r.watchcam SourceTop=0.$top SourceYMethod=Colour blendMethod=Mix \
        -consumer "avformat:$dir/melt-top$top.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt.log" 2>&1 ||
        { cat "$dir/melt.log" >&2; exit 1; }
      raw "$dir/melt-top$top.mkv" "$dir/melt-top$top.raw"
      frame_bytes=$((32 * 1080 * 4)) same "$dir/melt-top$top.raw" "$dir/wc-top$top.raw" "melt, 1080 rows, Top $top"
    done
    ;;
  melt-parallel)
    # MLT's parallel export (an instance per thread, frames split between them): four runs on two threads
    # give the serial export, which is watchcam's, with the Frame Rate hold on; with choices set (their
    # texts tell the instances of one filter) and without.
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=320x180:r=25,format=rgba" -frames:v 30 -c:v ffv1 \
      -pix_fmt bgra -y "$dir/wide.mkv"
    for look in default tint; do
      args=() wc_args=()
      [ $look = tint ] && args=(TVType=Tint shashType=Type\ 3 shashMax=0.4) &&
        wc_args=(--set TVType=Tint --set "shashType=Type 3" --set shashMax=40)
      "$WATCHCAM" render "$dir/wide.mkv" "$dir/wc-wide-$look.mkv" --depth 8 --overwrite --quiet "${wc_args[@]}"
      raw "$dir/wc-wide-$look.mkv" "$dir/wc-wide-$look.raw"
      for run in serial 1 2 3 4; do
        threads=-2
        [ $run = serial ] && threads=-1
        melt -silent "$dir/wide.mkv" -filter frei0r.watchcam "${args[@]}" \
          -consumer "avformat:$dir/melt-wide.mkv" vcodec=ffv1 pix_fmt=bgra an=1 real_time=$threads \
          >"$dir/melt.log" 2>&1 || { cat "$dir/melt.log" >&2; exit 1; }
        raw "$dir/melt-wide.mkv" "$dir/melt-wide.raw"
        frame_bytes=$((320 * 180 * 4)) same "$dir/melt-wide.raw" "$dir/wc-wide-$look.raw" \
          "melt real_time=$threads, $look look, run $run"
      done
    done
    ;;
  reuse)
    # Held frames computed once (the default Frame Rate holds each source frame for five frames) against
    # every frame computed in full (KILN_NO_REUSE=1): FFmpeg with the default look and with a lens radius
    # and blur animated over held frames (no reuse may happen there), and MLT's parallel export.
    need melt
    keyed="lensRadius=0=0.3;5=0.6;11=0.35 blur=0=0.05;11=0.2"
    for off in 0 1; do
      KILN_NO_REUSE=$off ffmpeg -nostdin -v error -i "$dir/clip.mkv" -vf frei0r=watchcam -f rawvideo \
        -pix_fmt rgba -y "$dir/reuse-ff-$off.raw"
      # shellcheck disable=SC2086
      KILN_NO_REUSE=$off melt -silent "$dir/clip.mkv" -filter frei0r.watchcam $keyed \
        -consumer "avformat:$dir/reuse-keyed-$off.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt.log" 2>&1 ||
        { cat "$dir/melt.log" >&2; exit 1; }
      raw "$dir/reuse-keyed-$off.mkv" "$dir/reuse-keyed-$off.raw"
      for run in 1 2; do
        KILN_NO_REUSE=$off melt -silent "$dir/clip.mkv" -filter frei0r.watchcam \
          -consumer "avformat:$dir/reuse-par-$off-$run.mkv" vcodec=ffv1 pix_fmt=bgra an=1 real_time=-2 \
          >"$dir/melt.log" 2>&1 || { cat "$dir/melt.log" >&2; exit 1; }
        raw "$dir/reuse-par-$off-$run.mkv" "$dir/reuse-par-$off-$run.raw"
      done
    done
    same "$dir/reuse-ff-0.raw" "$dir/reuse-ff-1.raw" "ffmpeg, held frames reused against computed"
    same "$dir/reuse-ff-0.raw" "$dir/wc-default.raw" "ffmpeg, held frames reused"
    same "$dir/reuse-keyed-0.raw" "$dir/reuse-keyed-1.raw" "melt, animated lens radius and blur, reused against computed"
    if cmp -s "$dir/reuse-keyed-0.raw" "$dir/wc-default.raw"; then echo "the animated controls changed nothing" >&2; exit 1; fi
    for run in 1 2; do
      for off in 0 1; do
        same "$dir/reuse-par-$off-$run.raw" "$dir/wc-default.raw" "melt real_time=-2, KILN_NO_REUSE=$off, run $run"
      done
    done
    ;;
  *) echo "usage: $0 setup|ffmpeg-default|ffmpeg-neutral|ffmpeg-settings|melt|gstreamer|bad-values|ffmpeg-width|rates|crop-1080|melt-parallel|reuse DIR" >&2; exit 2 ;;
esac
