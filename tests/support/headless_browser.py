#!/usr/bin/python3
"""Drives Debian's chromium, headless, for the tests of the client's browser view.

Reads one JSON command a line on standard input and answers each with one JSON line on standard
output: {"ok": true, ...} or {"ok": false, "error": "..."}.  The first line it writes tells
whether the browser started: {"ok": true} or {"ok": false, "skip": "why"}; a test skips then.

Commands ("command" names one):
  open {address}            opens the address in a new tab, which becomes the current one
  state {timeout}           waits until the page has settled (loaded, neither loading nor
                            connecting) and answers its <html> classes ("classes"; noVNC puts
                            noVNC_connected there once the desktop is shown)
  canvas {colour}           the size of noVNC's canvas and how many of its pixels have the colour
                            ("#rrggbb", give or take what an encoding shifts): "width", "height",
                            "matching"
  type {x, y, text}         moves the pointer to x, y of the canvas, clicks and types the text
                            ("\\n" is Return)
  setClipboard {text}       puts the text into noVNC's clipboard panel, as a user does
  clipboard                 the text of noVNC's clipboard panel ("text")
  closeTab                  closes the current tab; the one opened before becomes current
"""

import json
import os
import shutil
import sys
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW_SIZE = "1000,700"

CANVAS = "#noVNC_container canvas"


def answer(**values):
    print(json.dumps(values), flush=True)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as error:
        return None, f"python3-selenium is not installed: {error}"
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return None, f"{path} is not installed (packages chromium, chromium-driver)"
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--no-first-run",
                     f"--window-size={WINDOW_SIZE}", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    try:
        return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options), None
    except Exception as error:      # the driver's own errors: chromium cannot start here
        return None, f"chromium cannot start: {str(error).strip().splitlines()[0]}"


class Page:
    def __init__(self, driver):
        self.driver = driver
        self.tabs = [driver.current_window_handle]

    def open(self, command):
        self.driver.switch_to.new_window("tab")
        self.tabs.append(self.driver.current_window_handle)
        try:
            self.driver.get(command["address"])
        except Exception:
            pass                    # an address that cannot be reached shows the browser's error page
        return {}

    def classes(self):
        return self.driver.execute_script(
            "return document.readyState === 'complete' ? document.documentElement.className : null")

    def state(self, command):
        deadline = time.monotonic() + command.get("timeout", 30)
        classes = self.classes()
        while (classes is None or "noVNC_loading" in classes or "noVNC_connecting" in classes) \
                and time.monotonic() < deadline:
            time.sleep(0.1)
            classes = self.classes()
        return {"classes": classes or ""}

    def canvas(self, command):
        colour = command["colour"].lstrip("#")
        red, green, blue = (int(colour[index:index + 2], 16) for index in (0, 2, 4))
        return self.driver.execute_script("""
            const canvas = document.querySelector(arguments[0]);
            if (!canvas) return {width: 0, height: 0, matching: 0};
            const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            const near = (value, wanted) => Math.abs(value - wanted) <= 8;
            let matching = 0;
            for (let index = 0; index < pixels.length; index += 4) {
                if (near(pixels[index], arguments[1]) && near(pixels[index + 1], arguments[2])
                        && near(pixels[index + 2], arguments[3])) ++matching;
            }
            return {width: canvas.width, height: canvas.height, matching: matching};
            """, CANVAS, red, green, blue)

    def type(self, command):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By
        canvas = self.driver.find_element(By.CSS_SELECTOR, CANVAS)
        # Selenium's offsets count from the element's centre.
        ActionChains(self.driver) \
            .move_to_element_with_offset(canvas, command["x"] - canvas.size["width"] // 2,
                                         command["y"] - canvas.size["height"] // 2) \
            .click().send_keys(command["text"]).perform()
        return {}

    def clipboard_text(self):
        from selenium.webdriver.common.by import By
        return self.driver.find_element(By.ID, "noVNC_clipboard_text")

    def open_clipboard_panel(self):
        from selenium.webdriver.common.by import By
        # The panel's button sits in the control bar, which noVNC may have slid away.
        self.driver.execute_script("document.getElementById('noVNC_control_bar').classList.add('noVNC_open')")
        if "noVNC_open" not in self.driver.find_element(By.ID, "noVNC_clipboard").get_attribute("class"):
            # Clicked by script: while the bar still slides in, a pointer's click misses the button.
            self.driver.execute_script("arguments[0].click()",
                                       self.driver.find_element(By.ID, "noVNC_clipboard_button"))

    def set_clipboard(self, command):
        self.open_clipboard_panel()
        # noVNC sends the panel's text on its "change" event, as when a user edits it and leaves it;
        # set by script, so that a panel that still slides in cannot swallow the keys.
        self.driver.execute_script(
            "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('change'))",
            self.clipboard_text(), command["text"])
        return {}

    def clipboard(self, command):
        self.open_clipboard_panel()
        return {"text": self.clipboard_text().get_attribute("value")}

    def close_tab(self, command):
        if len(self.tabs) < 2:
            raise RuntimeError("no tab is open")
        self.driver.close()
        self.tabs.pop()
        self.driver.switch_to.window(self.tabs[-1])
        return {}


def main():
    profile = tempfile.mkdtemp(prefix="chromium-")
    driver, problem = start_browser(profile)
    if driver is None:
        shutil.rmtree(profile, ignore_errors=True)
        answer(ok=False, skip=problem)
        return 0
    page = Page(driver)
    handlers = {"open": page.open, "state": page.state, "canvas": page.canvas, "type": page.type,
                "setClipboard": page.set_clipboard, "clipboard": page.clipboard, "closeTab": page.close_tab}
    answer(ok=True)
    try:
        for line in sys.stdin:
            try:
                command = json.loads(line)
                result = handlers[command["command"]](command)
                answer(ok=True, **result)
            except Exception as error:
                answer(ok=False, error=f"{type(error).__name__}: {str(error).strip()[:500]}")
    finally:
        try:
            driver.quit()
        finally:
            shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
