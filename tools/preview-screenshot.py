#!/usr/bin/python3
"""Takes docs/preview.png for the README: `watchcam preview` on the demo clip in headless Chromium.

    tools/preview-screenshot.py [BUILD]      (BUILD: the build tree, default ./build)

Needs chromium, chromium-driver and python3-selenium (tools/bootstrap installs them). The server and the
browser are started here and ended by process id whatever happens.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build"))
out = os.path.join(root, "docs", "preview.png")


def main():
    work = tempfile.mkdtemp(prefix="watchcam-shot-")
    server = subprocess.Popen(
        [os.path.join(build, "cli", "watchcam"), "preview", "--demo", "look.mp4", "--demo-size", "960x540",
         "--set", "TV Type=Tint", "--set", "shashMax=12", "--set", "scanlineWidth=4",
         "--set", "playSpeed=0:100,40:60"],
        cwd=work, stdout=subprocess.PIPE, text=True)
    driver = service = None
    try:
        line = server.stdout.readline()
        url = re.search(r"http://\S+", line).group(0)
        options = webdriver.ChromeOptions()
        for a in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + os.path.join(work, "profile"), "--window-size=1500,900",
                  "--hide-scrollbars"]:
            options.add_argument(a)
        service = Service("/usr/bin/chromedriver", popen_kw={"start_new_session": True})
        driver = webdriver.Chrome(service=service, options=options)
        driver.get(url)
        wait = WebDriverWait(driver, 30)
        wait.until(lambda d: d.find_element(By.ID, "status").get_attribute("data-ready") == "1")
        timeline = driver.find_element(By.ID, "frameNumber")
        timeline.clear()
        timeline.send_keys("20\n")
        driver.find_element(By.ID, "viewSplit").click()
        driver.execute_script("document.getElementById('wipe').value = 380; "
                              "document.getElementById('wipe').dispatchEvent(new Event('input'))")
        wait.until(lambda d: d.find_element(By.ID, "status").get_attribute("data-frame") == "20")
        time.sleep(1.0)
        driver.save_screenshot(out)
        print("wrote", out)
    finally:
        if driver:
            driver.quit()
        if service and service.process:
            try:
                os.killpg(service.process.pid, signal.SIGKILL)  # chromedriver and the browser it started
            except ProcessLookupError:
                pass
        server.send_signal(signal.SIGINT)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main()
