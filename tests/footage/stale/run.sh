#!/usr/bin/env bash
# A copy of watchcam beside an image file module of another build (as a stale build tree has): the
# program passes it over for its own module and writes the picture.
#   run.sh WATCHCAM FOLDER_WITH_THE_STALE_MODULE
set -euo pipefail
watchcam=$1 dir=$2
cp "$watchcam" "$dir/watchcam"
rm -f "$dir/out.0000.png"
"$dir/watchcam" render --demo "$dir/out.%04d.png" --demo-frames 1 --overwrite --quiet
[ -s "$dir/out.0000.png" ] || { echo "no picture written" >&2; exit 1; }
