"""Headless Debian Chromium with a fresh profile, driven through the DevTools protocol on a
socket that the browser takes as its pipe (fds 3 and 4, NUL-ended JSON); for the page's tests."""

import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "--window-size=1500,2600"]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)
    return value


class Browser:
    def __init__(self, url, out_dir):
        self.errors = []  # the exceptions the page's scripts threw
        self._id, self._buf, self._session = 0, b"", {}  # no session: the browser itself
        self._profile = tempfile.mkdtemp(prefix="chromium-")
        self._sock, theirs = socket.socketpair()
        self._sock.settimeout(30)
        with open(out_dir / "chromium.log", "w") as log, theirs:
            fd = theirs.fileno()
            self.proc = subprocess.Popen(  # the shell puts the socket where chromium looks
                ["/bin/bash", "-c", f'exec "$0" "$@" 3<&{fd} 4>&{fd}', CHROMIUM, *FLAGS,
                 f"--user-data-dir={self._profile}"], stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, pass_fds=(fd,))
        try:  # a page of its own, whose events this session sees from the start
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self._session = {"sessionId": self.call("Target.attachToTarget", targetId=target,
                                                    flatten=True)["sessionId"]}
            self.call("Runtime.enable")
            self.call("Page.navigate", url=url)
        except BaseException:
            self.close()
            raise

    def call(self, method, **params):
        """The method's result; the page's exceptions read meanwhile are kept."""
        self._id += 1
        message = {"id": self._id, "method": method, "params": params, **self._session}
        self._sock.sendall(json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self._buf:
                chunk = self._sock.recv(1 << 16)  # at most 30 s
                if not chunk:
                    raise EOFError(f"{method}: the browser went away")
                self._buf += chunk
            text, _, self._buf = self._buf.partition(b"\0")
            message = json.loads(text)
            if message.get("id") == self._id:
                break
            if message.get("method") == "Runtime.exceptionThrown":
                self.errors.append(message["params"]["exceptionDetails"])
        if "error" in message:
            raise RuntimeError(f"{method}: {message['error']}")
        return message["result"]

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                         awaitPromise=True)["result"].get("value")

    def wait(self, expression, timeout=30, what=None):
        return wait_until(lambda: self.evaluate(expression), timeout, what or expression)

    def click(self, selector, timeout=10):
        """Clicks the element once it is there, as the page's own handlers see a click."""
        find = f"document.querySelector({json.dumps(selector)})"
        self.wait(f"(e => !!e && (e.click(), true))({find})", timeout, f"a click on {selector}")

    def screenshot(self, path):
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        path.write_bytes(base64.b64decode(shot["data"]))

    def close(self):
        self._session = {}
        try:  # a clean shutdown also ends the browser's helper processes
            self.call("Browser.close")
            self.proc.wait(10)
        except Exception:  # no clean shutdown: the process goes all the same
            self.proc.kill()
        self.proc.wait()
        self._sock.close()
        # A helper may still be writing its last files into the profile for a moment.
        wait_until(lambda: shutil.rmtree(self._profile, ignore_errors=True)
                   or not os.path.exists(self._profile), 20, "the browser profile removed")
