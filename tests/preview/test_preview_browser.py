#!/usr/bin/python3
"""`watchcam preview` in a real browser: headless Chromium driven through chromedriver.

One server (port 8731) and one browser serve every case; both are started here and ended by process id
(the browser with its whole process group) on every way out, a ctest timeout's SIGTERM included.

    test_preview_browser.py WATCHCAM_EXE
Exit 77 (skipped) when Chromium, chromedriver or Selenium is missing.
"""
import atexit
import base64
import http.client
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

PORT = 8731
WATCHCAM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "watchcam"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
# The demo clip, small and short: every case renders whole frames on the command line beside the page.
DEMO = ["--demo", "--demo-size", "320x180", "--demo-frames", "30"]


class Processes:
    """The server and the browser, ended once whatever way the test goes."""

    def __init__(self):
        self.server = None
        self.driver = None
        self.driver_pid = None

    def stop(self):
        if self.driver is not None:
            try:
                self.driver.quit()
            except Exception:
                pass
            self.driver = None
        if self.driver_pid is not None:
            try:
                os.killpg(self.driver_pid, signal.SIGKILL)  # chromedriver and the browser it started
            except ProcessLookupError:
                pass
            self.driver_pid = None
        if self.server is not None and self.server.poll() is None:
            self.server.send_signal(signal.SIGINT)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        self.server = None


procs = Processes()
atexit.register(procs.stop)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def decoded(png_path_or_bytes):
    """RGBA bytes of a picture, decoded by FFmpeg (independent of the server's encoder)."""
    data = png_path_or_bytes if isinstance(png_path_or_bytes, bytes) else contents(png_path_or_bytes)
    return subprocess.run(["ffmpeg", "-v", "error", "-f", "png_pipe", "-i", "-", "-f", "rawvideo", "-pix_fmt",
                           "rgba", "-"], input=data, capture_output=True, check=True).stdout


class PreviewInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("chromium") or not os.path.exists(CHROMEDRIVER):
            raise unittest.SkipTest("chromium or chromedriver is not installed")
        cls.dir = tempfile.mkdtemp(prefix="watchcam-preview-")
        procs.server = subprocess.Popen([WATCHCAM, "preview", *DEMO, "out.%03d.png", "--port", str(PORT)],
                                        cwd=cls.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = procs.server.stdout.readline()
        match = re.search(r"(http://\S+)", line)
        if not match:
            raise RuntimeError("no address printed: " + line + procs.server.stderr.read())
        cls.url = match.group(1)
        cls.token = cls.url.split("token=")[1]
        options = webdriver.ChromeOptions()
        for a in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + os.path.join(cls.dir, "profile"), "--window-size=1400,1000"]:
            options.add_argument(a)
        service = Service(CHROMEDRIVER, popen_kw={"start_new_session": True})
        procs.driver = webdriver.Chrome(service=service, options=options)
        procs.driver_pid = service.process.pid
        cls.driver = procs.driver
        cls.driver.get(cls.url)
        cls.wait = WebDriverWait(cls.driver, 60)
        cls.wait.until(lambda d: d.find_element(By.ID, "status").get_attribute("data-ready") == "1")

    @classmethod
    def tearDownClass(cls):
        procs.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    # ---- helpers ------------------------------------------------------------------------------------------
    def status(self, name):
        return self.driver.find_element(By.ID, "status").get_attribute("data-" + name)

    def reset_all(self):
        self.driver.find_element(By.ID, "resetAll").click()
        self.settled()

    def go_to(self, frame):
        field = self.driver.find_element(By.ID, "frameNumber")
        self.driver.execute_script("arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('change'))",
                                   field, frame)
        self.wait.until(lambda d: self.status("values-frame") == str(frame))

    def settled(self):
        """Waits until the frame shown was rendered with the settings the server holds now."""
        time.sleep(0.2)
        self.wait.until(lambda d: self.status("revision") == self.server_status()["revision"].__str__()
                        and self.status("frame-revision") == self.status("revision")
                        and self.status("frame") == self.status("wanted-frame")
                        and self.status("values-revision") == self.status("revision"))

    def control(self, script):
        return self.driver.find_element(By.CSS_SELECTOR, f".control[data-script='{script}']")

    def move_slider(self, script, value):
        slider = self.control(script).find_element(By.CSS_SELECTOR, "input.slider")
        self.driver.execute_script("arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'))",
                                   slider, value)

    def choose(self, script, item):
        Select(self.control(script).find_element(By.CSS_SELECTOR, "select")).select_by_visible_text(item)

    def shown_frame(self):
        """The PNG the page shows, fetched from the page itself."""
        data = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch(document.getElementById('effectImage').src).then(r => r.arrayBuffer()).then(b => {
              let s = ''; const u = new Uint8Array(b);
              for (let i = 0; i < u.length; i += 0x8000) s += String.fromCharCode.apply(null, u.subarray(i, i + 0x8000));
              done(btoa(s));
            }).catch(e => done('error: ' + e));""")
        self.assertFalse(data.startswith("error"), data)
        return base64.b64decode(data)

    def request(self, method, path, body=None, host=None, cookie=True, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
        h = {"Host": host or f"127.0.0.1:{PORT}"}
        if cookie:
            h["Cookie"] = "watchcam_token=" + self.token
        if body is not None:
            h["Content-Type"] = "application/json"
        h.update(headers or {})
        conn.request(method, path, body=json.dumps(body) if isinstance(body, dict) else body, headers=h)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        return r.status, data

    def server_status(self):
        status, data = self.request("GET", "/api/status")
        self.assertEqual(status, 200)
        return json.loads(data)

    def render_cli(self, output, *args):
        subprocess.run([WATCHCAM, "render", *DEMO, output, "--quiet", *args], cwd=self.dir, check=True)
        return os.path.join(self.dir, output)

    # ---- cases --------------------------------------------------------------------------------------------
    def test_1_lists_exactly_the_controls_of_watchcam_controls(self):
        table = subprocess.run([WATCHCAM, "controls"], capture_output=True, text=True, check=True).stdout
        lines = table.splitlines()
        header = lines[0]
        label_at, script_at, type_at = header.index("Label"), header.index("Script name"), header.index("Type")
        values, groups = [], []
        for row in lines[1:]:
            number = int(row[:label_at])
            label = row[label_at:script_at].strip()
            kind = row[type_at:].split()[0]
            if kind == "group":
                groups.append((number, label))
            elif kind not in ("layer", "none"):
                values.append((number, label))
        page_values = [(int(e.get_attribute("data-index")), e.get_attribute("data-label"))
                       for e in self.driver.find_elements(By.CSS_SELECTOR, ".control")]
        page_groups = [(int(e.get_attribute("data-index")), e.get_attribute("data-label"))
                       for e in self.driver.find_elements(By.CSS_SELECTOR, "section.group[data-label]")]
        self.assertEqual(page_values, values)
        self.assertEqual(page_groups, groups)
        self.assertGreater(len(values), 20)
        # Each shows the module's one-line description.
        self.assertEqual(self.control("contrast").find_element(By.CSS_SELECTOR, ".about").text,
                         "Contrast of the monitor's tone curve")

    def test_2_slider_and_tint_change_the_frame_as_render_makes_it(self):
        self.reset_all()
        self.go_to(12)
        self.settled()
        before = self.shown_frame()
        self.move_slider("contrast", 40)
        self.settled()
        self.choose("TVType", "Tint")
        self.settled()
        after = self.shown_frame()
        self.assertNotEqual(decoded(before), decoded(after))
        ref = self.render_cli("ref-tint.png", "--frames", "12", "--set", "contrast=40", "--set", "TV Type=Tint")
        self.assertEqual(decoded(after), decoded(ref))
        # The same frame at half the preview scale is the render at --scale 0.5.
        Select(self.driver.find_element(By.ID, "previewScale")).select_by_value("2")
        self.wait.until(lambda d: self.status("scale") == "2")
        self.settled()
        half = self.render_cli("ref-half.png", "--frames", "12", "--scale", "0.5", "--set", "contrast=40",
                               "--set", "TV Type=Tint")
        self.assertEqual(decoded(self.shown_frame()), decoded(half))
        Select(self.driver.find_element(By.ID, "previewScale")).select_by_value("1")
        self.wait.until(lambda d: self.status("scale") == "1")

    def test_3_keyframes_set_in_the_page_render_as_set_on_the_command_line(self):
        self.reset_all()
        self.go_to(5)
        self.control("contrast").find_element(By.CSS_SELECTOR, "button.key").click()
        self.settled()
        self.move_slider("contrast", 30)
        self.settled()
        self.go_to(20)
        self.move_slider("contrast", 80)
        self.settled()
        # Play Speed keys: the module asks the host for other frames than the one rendered.
        self.go_to(2)
        self.control("playSpeed").find_element(By.CSS_SELECTOR, "button.key").click()
        self.settled()
        self.go_to(25)
        self.move_slider("playSpeed", -50)
        self.settled()
        sets = self.server_status()["sets"]
        self.assertEqual(sets, ["contrast=5:30,20:80", "playSpeed=2:100,25:-50"])
        for frame in (27, 3, 12, 20):  # out of order, as scrubbing goes
            self.go_to(frame)
            self.settled()
            ref = self.render_cli(f"ref-key-{frame}.png", "--frames", str(frame), "--set", "contrast=5:30,20:80",
                                  "--set", "playSpeed=2:100,25:-50")
            self.assertEqual(decoded(self.shown_frame()), decoded(ref), f"frame {frame}")
        # The value shown between the keys is the host's interpolation.
        number = self.control("contrast").find_element(By.CSS_SELECTOR, "input.number")
        self.go_to(12)
        self.assertAlmostEqual(float(number.get_attribute("value")), 30 + 50 * 7 / 15, places=1)

    def test_4_preset_saved_from_the_page_is_write_presets(self):
        self.reset_all()
        self.choose("TVType", "Tint")
        self.settled()
        self.go_to(0)
        self.control("shashMax").find_element(By.CSS_SELECTOR, "button.key").click()
        self.settled()
        self.go_to(10)
        self.move_slider("shashMax", 35)
        self.settled()
        sets = self.server_status()["sets"]
        path = self.driver.find_element(By.ID, "presetPath")
        path.clear()
        path.send_keys("page.xml")
        self.driver.find_element(By.ID, "presetSave").click()
        page = os.path.join(self.dir, "page.xml")
        self.wait.until(lambda d: os.path.exists(page))
        args = [a for s in sets for a in ("--set", s)]
        subprocess.run([WATCHCAM, "controls", *args, "--write-preset", "cli.xml"], cwd=self.dir, check=True)
        self.assertEqual(contents(page), contents(os.path.join(self.dir, "cli.xml")))
        # Opened again after a reset, it gives the same settings.
        self.reset_all()
        self.driver.find_element(By.ID, "presetOpen").click()
        self.wait.until(lambda d: self.server_status()["sets"] == sets)

    def test_5_render_from_the_page_is_the_command_lines(self):
        self.reset_all()
        self.move_slider("contrast", 55)
        self.settled()
        self.choose("TVType", "Colour")
        self.settled()
        command = self.driver.find_element(By.ID, "command").get_attribute("value")
        self.driver.find_element(By.ID, "renderStart").click()
        progress = self.driver.find_element(By.ID, "renderProgress")
        WebDriverWait(self.driver, 120).until(lambda d: progress.get_attribute("data-state") in ("done", "failed"))
        self.assertEqual(progress.get_attribute("data-state"), "done", progress.text)
        self.assertEqual(progress.get_attribute("data-percent"), "100")
        words = shlex.split(command)
        self.assertEqual(words[:4], ["watchcam", "render", "--demo", "out.%03d.png"])
        subprocess.run([WATCHCAM, "render", "--demo", "cli.%03d.png", *words[4:], "--quiet"], cwd=self.dir,
                       check=True)
        for n in range(30):
            page = os.path.join(self.dir, f"out.{n:03d}.png")
            cli = os.path.join(self.dir, f"cli.{n:03d}.png")
            self.assertEqual(decoded(page), decoded(cli), f"frame {n}")
        self.assertEqual([f for f in os.listdir(self.dir) if f.startswith(".out")], [])

    def test_6_refuses_requests_without_token_from_other_hosts_or_outside_the_folders(self):
        self.assertEqual(self.request("GET", "/api/status")[0], 200)
        self.assertEqual(self.request("GET", "/api/status", cookie=False)[0], 403)
        self.assertEqual(self.request("GET", "/", cookie=False)[0], 403)
        self.assertEqual(self.request("GET", "/?token=" + "0" * 32, cookie=False)[0], 403)
        self.assertEqual(self.request("GET", "/api/frame?frame=1", host=f"evil.example:{PORT}")[0], 421)
        self.assertEqual(self.request("GET", "/api/status", host="127.0.0.1:80")[0], 421)
        self.assertEqual(self.request("GET", "/api/status", headers={"Origin": "http://evil.example"})[0], 403)
        self.assertEqual(self.request("GET", "/api/status", headers={"Sec-Fetch-Site": "cross-site"})[0], 403)
        self.assertEqual(self.request("POST", "/api/set", body="x" * (2 << 20))[0], 413)
        for path in ("/etc/passwd", "../outside.xml", "/tmp/x.xml", ".hidden.xml", "sub/x.xml"):
            status, body = self.request("POST", "/api/preset/open", {"path": path})
            self.assertEqual(status, 403, f"open {path}: {body}")
            status, body = self.request("POST", "/api/preset/save", {"path": path, "overwrite": True})
            self.assertEqual(status, 403, f"save {path}: {body}")
            status, body = self.request("POST", "/api/render", {"path": path.replace(".xml", ".png")})
            self.assertEqual(status, 403, f"render {path}: {body}")
        os.symlink("/etc/hostname", os.path.join(self.dir, "link.xml"))
        self.assertEqual(self.request("POST", "/api/preset/open", {"path": "link.xml"})[0], 403)
        self.assertFalse(os.path.exists("/tmp/x.xml"))


    def test_7_several_tabs_see_the_same_settings(self):
        self.reset_all()
        first = self.driver.current_window_handle
        self.driver.switch_to.new_window("tab")
        self.driver.get(f"http://127.0.0.1:{PORT}/")  # the cookie of the first load is enough
        self.wait.until(lambda d: self.status("ready") == "1")
        self.choose("TVType", "Tint")
        self.settled()
        second = self.driver.current_window_handle
        self.driver.switch_to.window(first)
        select = Select(self.control("TVType").find_element(By.CSS_SELECTOR, "select"))
        self.wait.until(lambda d: select.first_selected_option.text == "Tint")
        self.settled()
        self.assertIn("--set TVType=Tint", self.driver.find_element(By.ID, "command").get_attribute("value"))
        self.driver.switch_to.window(second)
        self.driver.close()
        self.driver.switch_to.window(first)

    def test_8_cancel_and_ctrl_c_leave_nothing_behind(self):
        def leftovers(stem):
            return sorted(f for f in os.listdir(self.dir) if stem in f)

        status, body = self.request("POST", "/api/render", {"path": "cancelled.%03d.png"})
        self.assertEqual(status, 200, body)
        self.request("POST", "/api/render/cancel", {})
        # The server's own word: the page may still show the render of an earlier case.
        WebDriverWait(self.driver, 120).until(
            lambda d: self.server_status()["render"]["state"] in ("cancelled", "done"))
        files = leftovers("cancelled")
        # Either it ended before the cancel came (every frame there) or nothing of it is left.
        self.assertIn(len(files), (0, 30), files)
        self.assertFalse([f for f in files if f.startswith(".")], files)

        status, body = self.request("POST", "/api/render", {"path": "interrupted.%03d.png"})
        self.assertEqual(status, 200, body)
        procs.server.send_signal(signal.SIGINT)
        self.assertEqual(procs.server.wait(30), 130)
        files = leftovers("interrupted")
        self.assertIn(len(files), (0, 30), files)
        self.assertFalse([f for f in files if f.startswith(".")], files)


if __name__ == "__main__":
    unittest.main(verbosity=2)
