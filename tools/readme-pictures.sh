#!/usr/bin/env bash
# Renders the README's pictures from the demo clip: a before/after still and contact sheets of the TV
# types, the shash types, lens strengths and blend methods. Needs a build in ./build and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${WATCHCAM:-build/cli/watchcam}
out=docs
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
command -v montage >/dev/null || { echo "readme-pictures: needs ImageMagick (apt-get install imagemagick)" >&2; exit 1; }
mkdir -p "$out"

frame() { # name, then --set options
  local name=$1; shift
  "$W" render --demo "$tmp/$name.png" --demo-size 480x270 --frames 20-20 --overwrite --quiet "$@"
}
sheet() { # output, tile, then label:file pairs
  local target=$1 tile=$2; shift 2
  local args=()
  for pair in "$@"; do args+=(-label "${pair%%:*}" "$tmp/${pair#*:}.png"); done
  montage "${args[@]}" -font DejaVu-Sans -tile "$tile" -geometry 200x112+3+3 -pointsize 12 -background "#202020" -fill white "PNG8:$out/$target"
}

frame before --set blendMethod=Mix --set blendMix=0
frame after
montage -label "source" "$tmp/before.png" -label "Q_Watchcam defaults" "$tmp/after.png" -font DejaVu-Sans -tile 2x1 \
  -geometry 480x270+4+4 -pointsize 14 -background "#202020" -fill white "PNG8:$out/before-after.png"

for t in Colour "B and W" Tint; do frame "tv-$t" --set "TV Type=$t" --set lensEffect=off; done
sheet tv-types.png 3x1 "Colour:tv-Colour" "B and W:tv-B and W" "Tint:tv-Tint"

for n in 1 2 3 4 5; do frame "shash-$n" --set "shashType=Type $n" --set shashMax=60 --set lensEffect=off; done
sheet shash-types.png 5x1 "Type 1:shash-1" "Type 2:shash-2" "Type 3:shash-3" "Type 4:shash-4" "Type 5:shash-5"

for s in -150 -40 10 40 150; do frame "lens$s" --set lensStrength=$s --set lensRadius=250; done
sheet lens-strengths.png 5x1 "-150:lens-150" "-40:lens-40" "10 (off):lens10" "40:lens40" "150:lens150"

methods=("Mix" "Add" "Difference" "Subtract Source" "Subtract Effect" "Darken" "Lighten" "Colour" "Luminosity"
  "Hue" "Saturation" "Screen" "Multiply" "Overlay" "Exclusion" "ColourBurn" "ColourDodge" "HardLight"
  "LinearBurn" "LinearDodge" "LinearLight" "SoftLight" "Composite Effect" "Composite Source")
pairs=()
for i in "${!methods[@]}"; do
  m=${methods[$i]}
  frame "blend$i" --set "Method=$m" --set "TV Type=Tint" --set lensEffect=off
  pairs+=("$m:blend$i")
done
sheet blend-methods.png 6x4 "${pairs[@]}"
echo "readme-pictures: wrote $out/*.png"
