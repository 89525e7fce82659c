#!/usr/bin/env bash
# Takes the README's picture of the OBS filter: OBS Studio under Xvfb with a scene of the demo clip and a
# caption, the "Security Camera" filter on the whole scene, the screen taken with ImageMagick's `import`.
# Needs a build in ./build, OBS Studio, Xvfb, xdotool, ImageMagick and python3-websocket.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${WATCHCAM:-build/cli/watchcam}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for tool in import xdotool Xvfb obs; do
  command -v $tool >/dev/null || { echo "obs-picture: needs $tool (tools/bootstrap installs it)" >&2; exit 1; }
done
# The demo clip itself (Mix at 0 gives the source back).
"$W" render --demo "$tmp/demo.mkv" --demo-size 1280x720 --overwrite --quiet \
  --set blendMethod=Mix --set blendMix=0
/usr/bin/python3 - "$tmp" <<'PY'
import os, subprocess, sys, time
sys.dont_write_bytecode = True
sys.path.insert(0, "tests/obs")
import obs_harness
tmp = sys.argv[1]
with obs_harness.ObsSession("build/obs/watchcam-obs.so", "obs/data", width=1280, height=720, fps=30,
                            screen="1600x900x24") as obs:
    env = dict(os.environ, DISPLAY=obs.display)
    obs.call("CreateInput", {"sceneName": "Scene", "inputName": "Demo clip", "inputKind": "ffmpeg_source",
                             "inputSettings": {"local_file": os.path.join(tmp, "demo.mkv"), "looping": True}})
    obs.call("CreateInput", {"sceneName": "Scene", "inputName": "Caption", "inputKind": "text_ft2_source_v2",
                             "inputSettings": {"text": "CAM 1  LOBBY", "font": {"face": "DejaVu Sans Mono",
                                               "size": 64, "style": "Bold"}}})
    obs.call("CreateSourceFilter", {"sourceName": "Scene", "filterName": "Security Camera",
                                    "filterKind": "watchcam_filter",
                                    "filterSettings": {"shashMax": 12.0, "EMInterference": 30.0}})
    # The main window over the whole screen (Xvfb has no window manager to do it).
    wid = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "OBS"], env=env, capture_output=True,
                         text=True).stdout.split()
    for w in wid:
        subprocess.run(["xdotool", "windowmove", w, "0", "0", "windowsize", w, "1600", "900"], env=env)
    time.sleep(1)
    # A click beside the canvas: no source selected, no selection frame in the picture.
    subprocess.run(["xdotool", "mousemove", "120", "400", "click", "1"], env=env)
    time.sleep(2)
    subprocess.run(["import", "-window", "root", os.path.join(tmp, "screen.png")], env=env, check=True)
PY
convert "$tmp/screen.png" -resize 1200x "PNG8:docs/obs-scene.png"
echo "obs-picture: wrote docs/obs-scene.png"
