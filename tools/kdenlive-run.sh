#!/usr/bin/env bash
# The filter inside the real Kdenlive (22.12, Debian's), under Xvfb with a private HOME: the effect
# description installed in the user's effects folder, a clip added to the project and the timeline,
# "Security Camera (Q_Watchcam)" applied from its id as the effect list applies it, a screenshot of the
# window, and the project saved by Kdenlive itself (File > Save As).
#
#   tools/kdenlive-run.sh [BUILD [SCREENSHOT [PROJECT]]]
#
# BUILD is the build tree (default build: its frei0r/watchcam.so is used), SCREENSHOT the PNG to write
# (default docs/kdenlive.png), PROJECT where Kdenlive saves the project (default: none kept). The clip
# is 1920x1080 at 25 fps, Kdenlive's default project size, so the project holds it unscaled.
# Needs kdenlive, xvfb, xdotool, imagemagick (import), dbus (dbus-run-session, gdbus) and ffmpeg.
# Kdenlive is driven through its D-Bus interface (addProjectClip, addTimelineClip, addEffect, exitApp)
# and, for the save dialog, keys.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shot=$(realpath -m "${2:-$root/docs/kdenlive.png}")
project=${3:+$(realpath -m "$3")}
for tool in kdenlive Xvfb xdotool import dbus-run-session gdbus ffmpeg; do
  command -v $tool >/dev/null || { echo "kdenlive-run: $tool is not installed" >&2; exit 1; }
done
[ -f "$build/frei0r/watchcam.so" ] || { echo "kdenlive-run: no $build/frei0r/watchcam.so" >&2; exit 1; }

work=$(mktemp -d)
xvfb=""
cleanup() {
  local rc=$?
  [ $rc -ne 0 ] && [ -f "$work/kdenlive.log" ] && { echo "kdenlive-run: Kdenlive's last lines:" >&2; tail -15 "$work/kdenlive.log" >&2; }
  [ -f "$work/kdenlive.pid" ] && kill "$(cat "$work/kdenlive.pid")" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display nobody uses.
n=90
while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
Xvfb :$n -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=:$n HOME=$work/home XDG_RUNTIME_DIR=$work/run FREI0R_PATH=$build/frei0r SDL_AUDIODRIVER=dummy
mkdir -p "$HOME/.local/share/kdenlive/effects" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$root/frei0r/kdenlive/frei0r_watchcam.xml" "$HOME/.local/share/kdenlive/effects/"
# No sound notifications: on a machine without a sound card their player crashes Kdenlive.
mkdir -p "$HOME/.config"
for event in RenderFinished RenderStarted FrameCaptured ReadyToCapture ErrorMessage; do
  printf '[Event/%s]\nAction=\n\n' $event
done >"$HOME/.config/kdenlive.notifyrc"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25" -frames:v 12 -c:v ffv1 -pix_fmt bgr0 \
  -y "$work/clip.mkv"
for i in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done

# Kdenlive on a session bus of its own; the bus address and its process id come back through files.
cat >"$work/session.sh" <<EOF
#!/usr/bin/env bash
echo "\$DBUS_SESSION_BUS_ADDRESS" >"$work/bus"
kdenlive >"$work/kdenlive.log" 2>&1 &
echo \$! >"$work/kdenlive.pid"
wait
EOF
chmod +x "$work/session.sh"
dbus-run-session -- "$work/session.sh" &
for i in $(seq 100); do [ -s "$work/kdenlive.pid" ] && [ -s "$work/bus" ] && break; sleep 0.2; done
export DBUS_SESSION_BUS_ADDRESS=$(cat "$work/bus")
names() { gdbus call --session --dest org.freedesktop.DBus --object-path / --method org.freedesktop.DBus.ListNames; }
for i in $(seq 120); do names | grep -q 'org.kde.kdenlive-' && break; sleep 0.5; done
name=$(names | grep -o 'org.kde.kdenlive-[0-9]*' | head -1)
call() { gdbus call --session --dest "$name" --object-path /kdenlive/MainWindow_1 --method "org.kde.kdenlive.MainWindow.$1" "${@:2}" >/dev/null; }
up() { gdbus introspect --session --dest "$name" --object-path /kdenlive/MainWindow_1 2>/dev/null | grep -q addEffect; }
for i in $(seq 60); do up && break; sleep 0.5; done
# A fresh HOME may meet "Kdenlive crashed on last startup. Do you want to reset the configuration
# files?": Reset (the default button).
up || { xdotool key Return; for i in $(seq 60); do up && break; sleep 0.5; done; }
up || { echo "kdenlive-run: Kdenlive's main window did not come up" >&2; exit 1; }
sleep 5  # the main window finishes its layout
call addProjectClip "$work/clip.mkv"
sleep 4
call addTimelineClip "$work/clip.mkv"
sleep 3
call addEffect frei0r.watchcam
sleep 5
mkdir -p "$(dirname "$shot")"
# The window, at whatever size its layout took.
window=$(xdotool search --onlyvisible --name 'Kdenlive' | head -1)
import -window "$window" "$shot"
echo "kdenlive-run: $shot"
if [ -n "$project" ]; then
  xdotool mousemove 400 150 click 1
  xdotool key ctrl+shift+s
  sleep 3
  xdotool type --delay 20 "$work/saved.kdenlive"
  xdotool key Return
  for i in $(seq 40); do [ -s "$work/saved.kdenlive" ] && break; sleep 0.25; done
  sleep 1
  cp "$work/saved.kdenlive" "$project"
  echo "kdenlive-run: $project"
fi
call exitApp || true
for i in $(seq 40); do kill -0 "$(cat "$work/kdenlive.pid")" 2>/dev/null || break; sleep 0.25; done
