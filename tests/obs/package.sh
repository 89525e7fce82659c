#!/usr/bin/env bash
# The OBS filter's Debian package: its own package, q-watchcam-obs, holding the module and its data where
# OBS finds them and depending on libobs; the main package holds nothing of it and needs no OBS.
#   package.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
obs=$(ls "$work"/q-watchcam-obs_*.deb)
main=$(ls "$work"/q-watchcam_*.deb)
files=$(dpkg-deb -c "$obs" | awk '$1 !~ /^d/ {print $NF}' | sort)
want=$(printf '%s\n' ./usr/lib/x86_64-linux-gnu/obs-plugins/watchcam-obs.so \
  ./usr/share/obs/obs-plugins/watchcam-obs/locale/en-US.ini | sort)
if [ "$files" != "$want" ]; then
  echo "the OBS package holds:" >&2; echo "$files" >&2; echo "expected:" >&2; echo "$want" >&2; exit 1
fi
dpkg-deb -f "$obs" Depends | grep -q libobs0 || { echo "the OBS package does not depend on libobs" >&2; exit 1; }
if dpkg-deb -c "$main" | grep -q obs-plugins || dpkg-deb -f "$main" Depends | grep -q libobs; then
  echo "the main package holds or needs OBS" >&2; exit 1
fi
# The packed module is the filter: it names its source kind and its locale key.
dpkg-deb -x "$obs" "$work/root"
grep -q watchcam_filter "$work/root/usr/lib/x86_64-linux-gnu/obs-plugins/watchcam-obs.so"
grep -qx 'SecurityCamera="Security Camera"' "$work/root/usr/share/obs/obs-plugins/watchcam-obs/locale/en-US.ini"
echo "package: q-watchcam-obs and q-watchcam as expected"
