#!/usr/bin/python3
"""The "Security Camera" filter inside OBS Studio 29, against `watchcam render --depth 8`.

One OBS start (under Xvfb, software OpenGL, a private HOME, obs-websocket on 127.0.0.1:4461 without
authentication) serves every case, in order:
  still      an image source with the filter at the default look but EM Interference 0 (time then does
             not matter), and again at a second set of settings changed while it runs: each screenshot
             equals watchcam's render of the image, byte for byte
  time       with snow on, the picture moves with OBS's frame times
  bad        values OBS can store but that mean nothing: clamped or refused with one line in OBS's log
             each, the picture then as watchcam renders the clamped and kept values
  resize     the image source switched to a picture of another size mid-stream
  media      a media source (async frames, decoded and converted to RGB by OBS): equal to watchcam's
             render of OBS's own unfiltered picture; against the original picture, within the rounding
             of the 4:2:0 YUV the clip is stored as (printed); a moving clip keeps moving through the
             filter
  remove     the filters removed while frames are in flight; OBS keeps running and shows the sources
Exits 0 when every case passed; prints what differs otherwise.
"""
import argparse
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import obs_harness  # noqa: E402

W, H = 320, 240

# The default look with EM Interference off: nothing in it moves with time.
STILL = {"EMInterference": 0.0}
# Every kind of setting away from its default, a crop and a blend included.
SECOND = {"EMInterference": 0.0, "TVType": "Tint", "tintColour": 0xFF2060C0, "contrast": 40.0,
          "brightness": 10.0, "quantise": True, "quantiseLevels": 4, "lensRadius": 300.0,
          "lensStrength": -60.0, "blur": 3.0, "scanlineWidth": 4, "filtered": "Low", "blendMethod": "Mix",
          "blendMix": 30.0, "SourceLeft": 10.0, "SourceXMethod": "Colour", "SourceEdgeColour": 0xFF00FF00,
          "framesPerSec": 12.0}
# As watchcam takes them (colours #rrggbb).
SECOND_SET = ["EMInterference=0", "TVType=Tint", "tintColour=#C06020", "contrast=40", "brightness=10",
              "quantise=on", "quantiseLevels=4", "lensRadius=300", "lensStrength=-60", "blur=3",
              "scanlineWidth=4", "filtered=Low", "blendMethod=Mix", "blendMix=30", "SourceLeft=10",
              "SourceXMethod=Colour", "SourceEdgeColour=#00FF00", "framesPerSec=12"]

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw)


def rgba(png_bytes):
    return run(["convert", "png:-", "-depth", "8", "rgba:-"], input=png_bytes).stdout


def differences(a, b):
    """Largest and mean absolute channel difference, and the share of differing bytes."""
    if len(a) != len(b):
        return None
    d = [abs(x - y) for x, y in zip(a, b)]
    return max(d), sum(d) / len(d), sum(1 for x in d if x) / len(d)


class Case:
    def __init__(self, args, obs):
        self.args, self.obs, self.work = args, obs, args.work

    def path(self, name):
        return os.path.join(self.work, name)

    def watchcam(self, png_in, sets, name):
        out = self.path(name)
        cmd = [self.args.watchcam, "render", png_in, out, "--depth", "8", "--overwrite", "--quiet"]
        for s in sets:
            cmd += ["--set", s]
        run(cmd)
        with open(out, "rb") as f:
            return rgba(f.read())

    def shot(self, source, w=W, h=H, name=None):
        png = self.obs.screenshot_png(source, w, h)
        if name:
            with open(self.path(name), "wb") as f:
                f.write(png)
        return rgba(png)

    def settle(self, seconds=0.6):
        # Several OBS frames: the new settings reach the worker and its frame is shown.
        time.sleep(seconds)


def make_inputs(work):
    os.makedirs(work, exist_ok=True)
    still = os.path.join(work, "still.png")
    run(["convert", "-size", "%dx%d" % (W, H), "-define", "gradient:angle=45", "gradient:#ff8000-#0040ff",
         "-fill", "white", "-draw", "circle 160,120 160,60", "-fill", "black", "-draw", "rectangle 20,20 80,200",
         "-fill", "#20c040", "-draw", "rectangle 200,150 300,230", "PNG24:" + still])
    small = os.path.join(work, "small.png")
    run(["convert", "-size", "200x150", "gradient:#102030-#f0e0a0", "-fill", "#c02020", "-draw",
         "circle 100,75 100,30", "PNG24:" + small])
    # Two seconds of the still picture as a 25 fps clip stored as 4:2:0 YUV, as cameras and most media are.
    clip = os.path.join(work, "clip.mkv")
    run(["ffmpeg", "-v", "error", "-y", "-loop", "1", "-framerate", "25", "-i", still, "-t", "2",
         "-pix_fmt", "yuv420p", "-c:v", "ffv1", clip])
    # A moving 25 fps clip: its frames come between OBS's 30 fps frames.
    moving = os.path.join(work, "moving.mkv")
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-t", "4",
         "-pix_fmt", "yuv420p", "-c:v", "ffv1", moving])
    return still, small, clip, moving


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--watchcam", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    still, small, clip, moving = make_inputs(args.work)
    started = time.time()

    with obs_harness.ObsSession(args.module, args.data, width=1280, height=720, fps=30) as obs:
        c = Case(args, obs)
        print("OBS up in %.1f s" % (time.time() - started), flush=True)
        obs.call("CreateInput", {"sceneName": "Scene", "inputName": "still", "inputKind": "image_source",
                                 "inputSettings": {"file": still}})
        c.settle(0.3)
        with open(still, "rb") as f:
            check(c.shot("still") == rgba(f.read()), "still: the image source without the filter is the picture")

        # ---- still: exact at two sets of settings
        obs.call("CreateSourceFilter", {"sourceName": "still", "filterName": "camera", "filterKind": "watchcam_filter",
                                        "filterSettings": STILL})
        c.settle()
        got, want = c.shot("still", name="still-obs.png"), c.watchcam(still, ["EMInterference=0"], "still-watchcam.png")
        check(got == want, "still: default look (EM 0) equals watchcam %s" % (differences(got, want),))
        obs.call("SetSourceFilterSettings", {"sourceName": "still", "filterName": "camera", "filterSettings": SECOND})
        c.settle()
        got, want = c.shot("still", name="second-obs.png"), c.watchcam(still, SECOND_SET, "second-watchcam.png")
        check(got == want, "still: second settings, changed while running, equal watchcam %s" % (differences(got, want),))

        # ---- time: the snow moves with OBS's frame times (a new pattern every frame)
        obs.call("SetSourceFilterSettings", {"sourceName": "still", "filterName": "camera", "overlay": False,
                                             "filterSettings": dict(STILL, shashMax=50.0, shashPeriod=1)})
        c.settle()
        first = c.shot("still")
        time.sleep(0.4)
        check(c.shot("still") != first, "time: the snow changes from frame to frame")

        # ---- bad values: clamped or refused, one log line each, never a crash
        obs.call("SetSourceFilterSettings", {"sourceName": "still", "filterName": "camera", "overlay": False,
                                             "filterSettings": dict(STILL, contrast=9000.0, TVType="Sepia",
                                                                    blur="soft", lensRadius=-5.0,
                                                                    shashType=17)})
        c.settle()
        log = obs.obs_log()
        for line in ['"Contrast": 9000 is beyond 0..5000; using 5000',
                     '"TV Type": unknown choice "Sepia" refused; keeping "B and W"',
                     '"Blur": a value of the wrong type refused',
                     '"Lens Radius": -5 is beyond 0..5000; using 0',
                     '"Shash Type": a value of the wrong type refused']:
            check(log.count(line) == 1, "bad: OBS's log says once: " + line)
        # Contrast clamped, lens radius clamped, the rest kept (TV type and blur at their defaults, as the
        # earlier overlay=False reset them).
        got = c.shot("still")
        want = c.watchcam(still, ["EMInterference=0", "contrast=5000", "lensRadius=0"], "bad-watchcam.png")
        check(got == want, "bad: the picture follows the clamped and kept values %s" % (differences(got, want),))

        # ---- resize: the source changes size mid-stream
        obs.call("SetSourceFilterSettings", {"sourceName": "still", "filterName": "camera", "overlay": False,
                                             "filterSettings": STILL})
        obs.call("SetInputSettings", {"inputName": "still", "inputSettings": {"file": small}})
        c.settle()
        got, want = c.shot("still", 200, 150), c.watchcam(small, ["EMInterference=0"], "small-watchcam.png")
        check(got == want, "resize: 200x150 after 320x240 equals watchcam %s" % (differences(got, want),))

        # ---- media: async frames
        obs.call("CreateInput", {"sceneName": "Scene", "inputName": "media", "inputKind": "ffmpeg_source",
                                 "inputSettings": {"local_file": clip, "looping": True, "is_local_file": True}})
        c.settle(1.0)
        decoded_path = c.path("media-plain.png")
        with open(decoded_path, "wb") as f:
            f.write(obs.screenshot_png("media", W, H))
        obs.call("CreateSourceFilter", {"sourceName": "media", "filterName": "camera", "filterKind": "watchcam_filter",
                                        "filterSettings": STILL})
        c.settle(1.0)
        got = c.shot("media", name="media-obs.png")
        want = c.watchcam(decoded_path, ["EMInterference=0"], "media-watchcam.png")
        check(got == want, "media: equals watchcam of OBS's own decoded picture %s" % (differences(got, want),))
        original = c.watchcam(still, ["EMInterference=0"], "media-original-watchcam.png")
        d = differences(got, original)
        print("      media against watchcam of the original picture (max, mean, share): %s" % (d,))
        check(d is not None and d[1] < 4.0, "media: within the rounding of 4:2:0 YUV of the original")

        obs.call("CreateInput", {"sceneName": "Scene", "inputName": "moving", "inputKind": "ffmpeg_source",
                                 "inputSettings": {"local_file": moving, "looping": True, "is_local_file": True}})
        obs.call("CreateSourceFilter", {"sourceName": "moving", "filterName": "camera",
                                        "filterKind": "watchcam_filter", "filterSettings": dict(STILL, framesPerSec=0.0)})
        c.settle(1.0)
        shots = []
        for _ in range(6):
            shots.append(c.shot("moving", 160, 120))
            time.sleep(0.25)
        check(len(set(shots)) == len(shots), "media: a moving clip keeps moving through the filter (%d of %d "
              "screenshots differ)" % (len(set(shots)), len(shots)))

        # ---- remove: filters removed while frames are in flight
        stats = obs.call("GetStats")
        obs.call("RemoveSourceFilter", {"sourceName": "media", "filterName": "camera"})
        obs.call("RemoveSourceFilter", {"sourceName": "moving", "filterName": "camera"})
        obs.call("RemoveSourceFilter", {"sourceName": "still", "filterName": "camera"})
        c.settle(0.3)
        with open(small, "rb") as f:
            check(c.shot("still", 200, 150) == rgba(f.read()), "remove: the image source shows its picture again")
        check(obs.call("GetVersion").get("obsVersion", "").startswith("29"), "remove: OBS still answers")
        print("      OBS statistics at 1280x720 30 fps with both filters on: %s" %
              {k: stats[k] for k in ("averageFrameRenderTime", "renderSkippedFrames", "renderTotalFrames", "cpuUsage")})
        if failures:
            print(obs.log_tail(30))

    print("%d failed; %.1f s in all" % (len(failures), time.time() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
