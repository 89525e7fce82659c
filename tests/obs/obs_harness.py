"""OBS Studio under Xvfb with a private configuration, driven through obs-websocket 5.

Used by the OBS filter's test, its benchmark and the README picture. `ObsSession` starts Xvfb and OBS,
each by process id, and stops both (by those ids) when the `with` block ends, whatever way it ends;
an atexit hook and SIGTERM/SIGINT handlers do the same if the interpreter is stopped from outside, and
the kernel sends both SIGTERM should the interpreter itself be killed (a test timeout).
"""
import atexit
import base64
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import websocket  # python3-websocket

PORT = 4461
MODULE = "watchcam-obs"


def _write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class ObsError(RuntimeError):
    pass


def _die_with_parent():
    # PR_SET_PDEATHSIG: SIGTERM when the process that started this one ends, however it ends.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)


def _port_in_use(port):
    import socket
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def _start_xvfb(screen):
    """An Xvfb on a free display (it picks one and writes its number to a pipe): (process, ":N")."""
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", screen, "-nolisten", "tcp"],
                            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=_die_with_parent)
    os.close(write_fd)
    with os.fdopen(read_fd) as r:
        number = r.readline().strip()
    if not number:
        xvfb.terminate()
        xvfb.wait()
        raise ObsError("Xvfb did not start")
    return xvfb, ":" + number


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Xvfb:
    """`with Xvfb() as display:` an X server of its own, stopped by its process id when the block ends."""

    def __init__(self, screen="1280x720x24"):
        self.screen = screen
        self.proc = None

    def __enter__(self):
        atexit.register(self.stop)
        self.proc, display = _start_xvfb(self.screen)
        return display

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        if self.proc is not None:
            _stop(self.proc)
            self.proc = None


class ObsSession:
    """`with ObsSession(module, data_dir) as obs:` OBS running, `obs.call(...)` a request."""

    def __init__(self, module, data_dir, width=1280, height=720, fps=30, screen="1920x1080x24"):
        self.module = module
        self.data_dir = data_dir
        self.width, self.height, self.fps = width, height, fps
        self.screen = screen
        self.procs = []
        self.home = None
        self.ws = None
        self.display = None
        self._id = 0

    # ---- start and stop --------------------------------------------------------------------------

    def __enter__(self):
        atexit.register(self.stop)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, self._on_signal)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _on_signal(self, signum, frame):
        self.stop()
        sys.exit(128 + signum)

    def _start(self):
        if _port_in_use(PORT):
            raise ObsError("port %d is in use: another OBS (or program) would answer instead" % PORT)
        self.home = tempfile.mkdtemp(prefix="kiln-obs-")
        self._configure()
        xvfb, self.display = _start_xvfb(self.screen)
        self.procs.append(xvfb)
        env = dict(os.environ, HOME=self.home, DISPLAY=self.display, LIBGL_ALWAYS_SOFTWARE="1",
                   XDG_CONFIG_HOME=os.path.join(self.home, ".config"), QT_QPA_PLATFORM="xcb")
        env.pop("WAYLAND_DISPLAY", None)
        self.log_path = os.path.join(self.home, "obs-stdout.log")
        log = open(self.log_path, "w")
        obs = subprocess.Popen(["obs", "--multi", "--disable-missing-files-check", "--collection", "Test",
                                "--profile", "Test", "--scene", "Scene"],
                               cwd=self.home, env=env, stdout=log, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self.procs.append(obs)
        self._connect(obs)

    def _configure(self):
        cfg = os.path.join(self.home, ".config", "obs-studio")
        _write(os.path.join(cfg, "global.ini"),
               "[General]\nFirstRun=false\nLastVersion=486539266\nEnableAutoUpdates=false\n"
               "WarnBeforeStartingStream=false\nWarnBeforeStoppingStream=false\n"
               "[Basic]\nProfile=Test\nProfileDir=Test\nSceneCollection=Test\nSceneCollectionFile=Test\n"
               "ConfigOnNewProfile=false\n"
               "[OBSWebSocket]\nFirstLoad=false\nServerEnabled=true\nServerPort=%d\nAuthRequired=false\n"
               "ServerPassword=\nAlertsEnabled=false\n" % PORT)
        _write(os.path.join(cfg, "basic", "profiles", "Test", "basic.ini"),
               "[General]\nName=Test\n[Video]\nBaseCX=%d\nBaseCY=%d\nOutputCX=%d\nOutputCY=%d\nFPSType=2\n"
               "FPSInt=%d\nColorFormat=NV12\nColorSpace=709\nColorRange=Partial\n"
               "[Output]\nMode=Simple\n[SimpleOutput]\nFilePath=%s\n"
               % (self.width, self.height, self.width, self.height, self.fps, self.home))
        _write(os.path.join(cfg, "basic", "scenes", "Test.json"), json.dumps({
            "name": "Test", "current_scene": "Scene", "current_program_scene": "Scene",
            "scene_order": [{"name": "Scene"}],
            "sources": [{"id": "scene", "versioned_id": "scene", "name": "Scene", "settings": {"items": []}}],
        }))
        plugin = os.path.join(cfg, "plugins", MODULE)
        os.makedirs(os.path.join(plugin, "bin", "64bit"))
        shutil.copy(self.module, os.path.join(plugin, "bin", "64bit", MODULE + ".so"))
        shutil.copytree(self.data_dir, os.path.join(plugin, "data"))

    def _connect(self, obs):
        deadline = time.time() + 120
        while time.time() < deadline:
            if obs.poll() is not None:
                raise ObsError("OBS ended while starting (exit %s):\n%s" % (obs.returncode, self.log_tail()))
            try:
                ws = websocket.create_connection("ws://127.0.0.1:%d" % PORT, timeout=5)
            except OSError:
                time.sleep(0.5)
                continue
            hello = json.loads(ws.recv())
            if hello.get("op") != 0:
                raise ObsError("unexpected first message: %r" % hello)
            ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 0}}))
            identified = json.loads(ws.recv())
            if identified.get("op") != 2:
                raise ObsError("not identified: %r" % identified)
            ws.settimeout(60)
            self.ws = ws
            return
        raise ObsError("obs-websocket did not answer on port %d:\n%s" % (PORT, self.log_tail()))

    def stop(self):
        if self.ws is not None:
            try:
                self.ws.close()
            except Exception:
                pass
            self.ws = None
        # OBS first, then Xvfb, each by its own process id.
        for p in reversed(self.procs):
            _stop(p)
        self.procs = []
        if self.home is not None and not os.environ.get("KILN_KEEP_OBS_HOME"):
            shutil.rmtree(self.home, ignore_errors=True)
            self.home = None

    # ---- requests --------------------------------------------------------------------------------

    def call(self, request, data=None, check=True):
        self._id += 1
        rid = str(self._id)
        self.ws.send(json.dumps({"op": 6, "d": {"requestType": request, "requestId": rid, "requestData": data or {}}}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("op") == 7 and msg["d"].get("requestId") == rid:
                break
        status = msg["d"]["requestStatus"]
        if check and not status.get("result"):
            raise ObsError("%s failed: %s" % (request, status))
        return msg["d"].get("responseData", {}) if status.get("result") else status

    def screenshot_png(self, source, width, height):
        """The source after its filters, at width x height, as PNG bytes."""
        data = self.call("GetSourceScreenshot", {"sourceName": source, "imageFormat": "png",
                                                 "imageWidth": width, "imageHeight": height})
        uri = data["imageData"]
        return base64.b64decode(uri.split(",", 1)[1])

    def obs_log(self):
        """OBS's own log of this run (its newest file)."""
        logs = os.path.join(self.home, ".config", "obs-studio", "logs")
        try:
            newest = max((os.path.join(logs, n) for n in os.listdir(logs)), key=os.path.getmtime)
        except (OSError, ValueError):
            return ""
        with open(newest, errors="replace") as f:
            return f.read()

    def log_tail(self, lines=40):
        text = self.obs_log()
        if not text:
            try:
                with open(self.log_path, errors="replace") as f:
                    text = f.read()
            except OSError:
                text = ""
        return "\n".join(text.splitlines()[-lines:])
