#!/usr/bin/env bash
# The filter in a Kdenlive project: default.kdenlive is the project Kdenlive 22.12.3 saved with a clip on
# the timeline and "Security Camera (Q_Watchcam)" applied from the effect list (tools/kdenlive-run.sh
# drives that run), kept as saved but for the folder its clip lies in. melt renders it as Kdenlive's
# export does, and the frames must be watchcam's for the same clip and settings:
#   default     the stored values, the description's defaults: watchcam's default look
#   keyframes   two sliders keyframed as Kdenlive stores keys ("time=value;time=value") and the same keys
#               given to watchcam render --set
#
#   kdenlive.sh DIR
#
# Environment: WATCHCAM (the renderer), FREI0R_PATH (the folder of the built watchcam.so).
# The clip is 1920x1080 at 25 fps, the project's profile, so nothing is scaled; 8 frames are compared.
set -euo pipefail
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
N=8
frame_bytes=$((1920 * 1080 * 4))
for tool in ffmpeg melt; do
  command -v $tool >/dev/null || { echo "$tool is not installed (tools/bootstrap installs it)" >&2; exit 1; }
done
raw() { ffmpeg -nostdin -v error -i "$1" -frames:v $N -f rawvideo -pix_fmt rgba -y "$2"; }
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

mkdir -p "$dir"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25" -frames:v $N -c:v ffv1 -pix_fmt bgr0 -y "$dir/clip.mkv"
# The saved project's clip is clip.mkv beside it.
sed "s|root=\"/tmp/kd\"|root=\"$dir\"|" "$here/default.kdenlive" >"$dir/default.kdenlive"
grep -q "root=\"$dir\"" "$dir/default.kdenlive" || { echo "the project has no root to move" >&2; exit 1; }
[ "$(grep -c '<property name="mlt_service">frei0r.watchcam</property>' "$dir/default.kdenlive")" = 2 ] ||
  { echo "the project does not hold the effect on its clip and the timeline's copy" >&2; exit 1; }
# Every value Kdenlive stored is the description's default, as applying the effect (or "Reset effect")
# hands it: the filter's own value, divided by the slider's factor.
described=$(sed -n 's|.*<parameter type="[a-z]*" name="\([^"]*\)" default="\([^"]*\)".*|\1 \2|p' \
  "$here/../../frei0r/kdenlive/frei0r_watchcam.xml")
[ "$(echo "$described" | wc -l)" -ge 30 ] || { echo "the description's parameters were not found" >&2; exit 1; }
while read -r name value; do
  grep -q "<property name=\"$name\">\(00:00:00.000=\)\?$value</property>" "$dir/default.kdenlive" ||
    { echo "the project stores $name other than the description's default $value" >&2; exit 1; }
done <<<"$described"
# Shash Max 0 -> 55 over frames 0..11 and Contrast 15 -> 40 over frames 0..5, in both forms Kdenlive
# stores keys: times on the clip's own filter, frames on the timeline's copy (the one rendered).
sed -e 's|<property name="shashMax">00:00:00.000=0</property>|<property name="shashMax">00:00:00.000=0;00:00:00.440=0.55</property>|' \
  -e 's|<property name="contrast">00:00:00.000=0.15</property>|<property name="contrast">00:00:00.000=0.15;00:00:00.200=0.4</property>|' \
  -e 's|<property name="shashMax">0=0</property>|<property name="shashMax">0=0;11=0.55</property>|' \
  -e 's|<property name="contrast">0=0.15</property>|<property name="contrast">0=0.15;5=0.4</property>|' \
  "$dir/default.kdenlive" >"$dir/keyframes.kdenlive"
[ "$(grep -c '=0.15;\|=0;' "$dir/keyframes.kdenlive")" = 4 ] ||
  { echo "the project's stored values are not the defaults this test keys" >&2; exit 1; }

"$WATCHCAM" render "$dir/clip.mkv" "$dir/wc-default.mkv" --depth 8 --overwrite --quiet
"$WATCHCAM" render "$dir/clip.mkv" "$dir/wc-keyframes.mkv" --depth 8 --overwrite --quiet \
  --set shashMax=0:0,11:55 --set contrast=0:15,5:40
for look in default keyframes; do
  raw "$dir/wc-$look.mkv" "$dir/wc-$look.raw"
  # The timeline ends at 20 minutes of black: the first frames only.
  melt -silent "$dir/$look.kdenlive" in=0 out=$((N - 1)) \
    -consumer "avformat:$dir/kdenlive-$look.mkv" vcodec=ffv1 pix_fmt=bgra an=1 >"$dir/melt.log" 2>&1 ||
    { cat "$dir/melt.log" >&2; exit 1; }
  raw "$dir/kdenlive-$look.mkv" "$dir/kdenlive-$look.raw"
  same "$dir/kdenlive-$look.raw" "$dir/wc-$look.raw" "Kdenlive project, $look"
done
