#!/usr/bin/env bash
# The frei0r filter inside the real hosts, frame by frame against `watchcam render --depth 8`.
#
#   hosts.sh setup DIR         one short clip (64x36, 12 frames, every frame and alpha different), a 37x23
#                              crop of it, and watchcam's renders of them
#   hosts.sh CHECK DIR         one check: ffmpeg-default, ffmpeg-neutral, ffmpeg-settings, melt, gstreamer,
#                              bad-values
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
    melt -silent "$dir/clip.mkv" -filter frei0r.watchcam contrast=1e300 TVType=purple blur=-7 \
      -consumer "avformat:$dir/melt-bad.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt-bad.log" 2>&1 ||
      { cat "$dir/melt-bad.log" >&2; exit 1; }
    [ -s "$dir/melt-bad.mkv" ] || { echo "melt wrote nothing" >&2; exit 1; }
    ;;
  *) echo "usage: $0 setup|ffmpeg-default|ffmpeg-neutral|ffmpeg-settings|melt|gstreamer|bad-values DIR" >&2; exit 2 ;;
esac
