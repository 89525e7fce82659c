#!/usr/bin/env bash
# Renders the README's picture of the frei0r filter: frame 20 of the demo clip through FFmpeg's frei0r
# filter, at the defaults and with a tint and snow. Needs a build in ./build and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${WATCHCAM:-build/cli/watchcam}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
command -v montage >/dev/null || { echo "frei0r-picture: needs ImageMagick (apt-get install imagemagick)" >&2; exit 1; }

# The demo clip itself (Mix at 0 gives the source back), frames 0..20 so the filter sees them in order.
"$W" render --demo "$tmp/demo.mkv" --demo-size 480x270 --frames 0-20 --overwrite --quiet \
  --set blendMethod=Mix --set blendMix=0
through() { # name, frei0r parameters
  FREI0R_PATH=build/frei0r ffmpeg -nostdin -v error -i "$tmp/demo.mkv" \
    -vf "frei0r=watchcam${2:+:$2},select=eq(n\\,20)" -frames:v 1 -y "$tmp/$1.png"
}
ffmpeg -nostdin -v error -i "$tmp/demo.mkv" -vf "select=eq(n\,20)" -frames:v 1 -y "$tmp/source.png"
through defaults ""
through tint "0.25|RGB|Tint|#3fa54c|0.3|0.25|n|0.555556|0.1667|y|0.45|0.54|Random|0.25|0.15|0.35"
montage -label "source" "$tmp/source.png" -label "frei0r=watchcam" "$tmp/defaults.png" \
  -label "frei0r=watchcam:0.25|RGB|Tint|...|0.35 (tint and shash)" "$tmp/tint.png" -tile 3x1 -geometry 480x270+4+4 \
  -font DejaVu-Sans -pointsize 14 -background "#202020" -fill white "PNG8:docs/frei0r-ffmpeg.png"
echo "frei0r-picture: wrote docs/frei0r-ffmpeg.png"
