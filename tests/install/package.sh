#!/usr/bin/env bash
# The Debian package of a built tree: each file where its host finds it by default, and the frei0r
# filter loadable from the unpacked package by FFmpeg's default search folder layout.
#   package.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/q-watchcam_*.deb)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
want=$(printf '%s\n' ./usr/bin/watchcam ./usr/lib/Q_Watchcam.so ./usr/lib/watchcam_images.so ./usr/lib/frei0r-1/watchcam.so \
  ./usr/share/kdenlive/effects/frei0r_watchcam.xml | sort)
if [ "$files" != "$want" ]; then
  echo "the package holds:" >&2; echo "$files" >&2; echo "expected:" >&2; echo "$want" >&2; exit 1
fi
dpkg-deb -f "$deb" Depends | grep -q libexpat1 || { echo "no library dependencies in the package" >&2; exit 1; }

# Unpacked, the filter works with nothing of the build tree around it.
dpkg-deb -x "$deb" "$work/root"
FREI0R_PATH=$work/root/usr/lib/frei0r-1 ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=64x36:r=25 -frames:v 2 \
  -vf frei0r=watchcam -f null -
# And the renderer loads the modules beside it (../lib), not those in the build tree.
LD_DEBUG=files WATCHCAM_MODULE= "$work/root/usr/bin/watchcam" render --demo "$work/demo.png" --frames 0-0 --quiet \
  2>"$work/loads.log"
[ -s "$work/demo.png" ] || { echo "the unpacked watchcam rendered nothing" >&2; exit 1; }
grep -q "file=$work/root/usr/lib/Q_Watchcam.so" "$work/loads.log" ||
  { grep Q_Watchcam "$work/loads.log" >&2; echo "watchcam did not load the packed module" >&2; exit 1; }
grep -Eq "file=$work/root/usr/(bin/\.\./)?lib/watchcam_images.so" "$work/loads.log" ||
  { grep watchcam_images "$work/loads.log" >&2; echo "watchcam did not load the packed image file module" >&2; exit 1; }
