"""Drives Debian's headless Chromium through the DevTools protocol, for the
tests that look at the map page in a real browser.

    from chromium import Chromium

    with Chromium() as browser:                 # a fresh, empty profile
        page = browser.open("http://127.0.0.1:1621/")
        browser.wait_for(page, "document.readyState === 'complete'")
        browser.evaluate(page, "document.title")   # -> the value, by value
        browser.screenshot(page, "map.png", 800, 600)

The protocol runs over a pipe (--remote-debugging-pipe: the browser reads
commands on its descriptor 3 and writes answers on 4, each message a JSON
text ended by a NUL byte), so no port is opened and nothing outside the
standard library is needed. The browser is started with the flags of a
quiet test run: no sandbox (the tests may run as root), no GPU, QUIC,
first-run, background networking, component updates or sync.
"""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


class Chromium:
    def __init__(self, binary="chromium", timeout=30):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="kelvorov-chromium-")
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()

        def descriptors():
            # Moved out of the way first, so that placing them on 3 and 4
            # cannot overwrite one with the other.
            high_read = fcntl.fcntl(commands_read, fcntl.F_DUPFD, 10)
            high_write = fcntl.fcntl(answers_write, fcntl.F_DUPFD, 10)
            os.dup2(high_read, 3)
            os.dup2(high_write, 4)

        self.process = subprocess.Popen(
            [binary] + FLAGS + ["--user-data-dir=" + self.profile, "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=descriptors, pass_fds=(3, 4), start_new_session=True)
        os.close(commands_read)
        os.close(answers_write)
        self._next_id = 0
        self._buffer = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise TimeoutError("no answer from the browser")
            chunk = os.read(self._answers, 65536)
            if not chunk:
                raise RuntimeError("the browser has gone")
            self._buffer += chunk
        text, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, params=None, session=None):
        """Sends one command and returns its result; events on the way are
        passed over."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            answer = self._message(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})

    def open(self, url):
        """Opens url in a new tab; the session that drives it."""
        target = self.call("Target.createTarget", {"url": url})["targetId"]
        return self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def evaluate(self, session, expression):
        """The value of a JavaScript expression in the page."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"].get("text")))
        return result["result"].get("value")

    def wait_for(self, session, expression, timeout=10):
        """Evaluates expression until it gives a true value; the last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(session, expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(0.05)

    def screenshot(self, session, path, width, height):
        """Writes a PNG of the page at that viewport size."""
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False}, session)
        data = self.call("Page.captureScreenshot", {"format": "png"}, session)["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        if self.process.poll() is None:
            try:
                self.call("Browser.close")
                self.process.wait(timeout=5)
            except (OSError, RuntimeError, TimeoutError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        for fd in (self._commands, self._answers):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)
