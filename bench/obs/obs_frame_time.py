#!/usr/bin/python3
"""OBS's frame render time with and without the "Security Camera" filter, in one OBS run.

    bench/obs/obs_frame_time.py [--build build] [--seconds 10] [--rounds 3]

Starts OBS Studio under Xvfb (software OpenGL) with the filter module of the build, on a scene of a
picture filling the canvas and a moving 640x360 media clip in a corner, and the filter on the whole scene:
  1920x1080 30 fps   OBS's average frame render time (obs-websocket GetStats, OBS's average over its last
                     second, sampled once a second) with the filter disabled and enabled, in turn, `rounds`
                     times (the machine's load moves both alike)
  1280x720 30 fps    frames OBS skipped (rendering lagged) over the seconds, with the filter and without, in
                     turn
The filter's own count (frames it filtered, and new frames that found its worker still busy) comes from
OBS's log when the filter is removed. Speed depends on the machine's load: run it on a quiet machine and
say the load beside the numbers.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "obs"))
import obs_harness  # noqa: E402


def make_scene_media(work):
    picture = os.path.join(work, "picture.png")
    subprocess.run(["convert", "-size", "1920x1080", "-define", "gradient:angle=30", "gradient:#203860-#e0a040",
                    "-fill", "white", "-draw", "circle 960,540 960,240", "-fill", "#102010",
                    "-draw", "rectangle 100,100 500,900", "PNG24:" + picture], check=True)
    clip = os.path.join(work, "clip.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
                    "-t", "4", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", clip], check=True)
    return picture, clip


def sample(obs, seconds):
    """OBS's per-second average frame render time (ms), and the skipped and total frames counted."""
    first = obs.call("GetStats")
    times = []
    for _ in range(int(seconds)):
        time.sleep(1.0)
        times.append(obs.call("GetStats")["averageFrameRenderTime"])
    last = obs.call("GetStats")
    return {"avg_ms": sum(times) / len(times), "min_ms": min(times), "max_ms": max(times),
            "skipped": last["renderSkippedFrames"] - first["renderSkippedFrames"],
            "frames": last["renderTotalFrames"] - first["renderTotalFrames"]}


def video(obs, w, h, fps):
    obs.call("SetVideoSettings", {"baseWidth": w, "baseHeight": h, "outputWidth": w, "outputHeight": h,
                                  "fpsNumerator": fps, "fpsDenominator": 1})
    time.sleep(2.0)


def filter_counts(obs):
    found = re.findall(r"\[Security Camera\] 'camera': (.*)", obs.obs_log())
    return found[-1] if found else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    module = os.path.join(args.build, "obs", "watchcam-obs.so")
    data = os.path.join(HERE, "..", "..", "obs", "data")
    with tempfile.TemporaryDirectory(prefix="kiln-obs-bench-") as work:
        bench(args, module, data, work)


def bench(args, module, data, work):
    picture, clip = make_scene_media(work)
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    with obs_harness.ObsSession(module, data, width=1920, height=1080, fps=30) as obs:
        obs.call("CreateInput", {"sceneName": "Scene", "inputName": "picture", "inputKind": "image_source",
                                 "inputSettings": {"file": picture}})
        obs.call("CreateInput", {"sceneName": "Scene", "inputName": "clip", "inputKind": "ffmpeg_source",
                                 "inputSettings": {"local_file": clip, "looping": True}})
        obs.call("CreateSourceFilter", {"sourceName": "Scene", "filterName": "camera",
                                        "filterKind": "watchcam_filter", "filterSettings": {}})

        def run(label, w, h, enabled):
            obs.call("SetSourceFilterEnabled", {"sourceName": "Scene", "filterName": "camera", "filterEnabled": enabled})
            time.sleep(2.0)
            r = sample(obs, args.seconds)
            print("%-28s avg frame render %6.2f ms (per-second averages %.2f..%.2f), skipped %d of %d frames" %
                  (label, r["avg_ms"], r["min_ms"], r["max_ms"], r["skipped"], r["frames"]), flush=True)
            return r

        video(obs, 1920, 1080, 30)
        added = []
        for _ in range(args.rounds):
            off = run("1920x1080 30 fps, filter off", 1920, 1080, False)
            on = run("1920x1080 30 fps, filter on", 1920, 1080, True)
            added.append(on["avg_ms"] - off["avg_ms"])
        print("filter adds %s ms to OBS's average frame render time at 1920x1080 (each round)"
              % ", ".join("%.2f" % a for a in added))
        video(obs, 1280, 720, 30)
        for _ in range(args.rounds):
            run("1280x720 30 fps, filter on", 1280, 720, True)
            run("1280x720 30 fps, filter off", 1280, 720, False)
        obs.call("SetSourceFilterEnabled", {"sourceName": "Scene", "filterName": "camera", "filterEnabled": True})
        obs.call("RemoveSourceFilter", {"sourceName": "Scene", "filterName": "camera"})
        time.sleep(0.5)
        counts = filter_counts(obs)
        if counts:
            print("the filter over the whole run (its line in OBS's log): " + counts)
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
