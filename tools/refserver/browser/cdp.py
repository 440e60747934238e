"""Headless Debian Chromium driven through the DevTools protocol, for the page's tests.

The browser runs with a fresh profile and no network services of its own; its DevTools
port is read from the profile's DevToolsActivePort file. Calls are synchronous: an asyncio
loop on a thread of its own owns the WebSocket to the page.
"""

import asyncio
import base64
import itertools
import shutil
import json
import subprocess
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import websockets

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-port=0", "--window-size=1500,2600"]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)


class Browser:
    def __init__(self, url, out_dir: Path, timeout=30):
        self.errors = []   # exceptions thrown by the page's scripts
        self.dialogs = []  # alert/confirm texts (answered at once)
        self._profile = profile = Path(tempfile.mkdtemp(prefix="chromium-"))
        self._log = open(out_dir / "chromium.log", "w")
        self.proc = subprocess.Popen([CHROMIUM, *FLAGS, f"--user-data-dir={profile}", url],
                                     stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT)
        try:
            active = profile / "DevToolsActivePort"
            port = wait_until(lambda: active.exists() and active.read_text().split("\n")[0],
                              timeout, "the DevTools port")
            page = wait_until(lambda: self._page_target(port, url), timeout, "the page target")
            self._ids = itertools.count(1)
            self._pending = {}
            self._loop = asyncio.new_event_loop()
            self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
            self._thread.start()
            self._ws = self._run(self._connect(page))
            self._reader = asyncio.run_coroutine_threadsafe(self._read(), self._loop)
            self.call("Runtime.enable")
            self.call("Page.enable")
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _page_target(port, url):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
                targets = json.load(r)
        except OSError:
            return None
        return next((t["webSocketDebuggerUrl"] for t in targets
                     if t.get("type") == "page" and t.get("url", "").startswith(url)), None)

    @staticmethod
    async def _connect(page):
        return await websockets.connect(page, max_size=None, ping_interval=None)

    def _run(self, coro, timeout=30):
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    async def _read(self):
        try:
            async for text in self._ws:
                msg = json.loads(text)
                if "id" in msg:
                    self._pending.pop(msg["id"]).set_result(msg)
                elif msg.get("method") == "Runtime.exceptionThrown":
                    self.errors.append(msg["params"]["exceptionDetails"])
                elif msg.get("method") == "Page.javascriptDialogOpening":
                    self.dialogs.append(msg["params"]["message"])
                    await self._send("Page.handleJavaScriptDialog", {"accept": True})
        except websockets.exceptions.ConnectionClosedError:
            pass  # the browser went away (or was closed) without a close frame

    async def _send(self, method, params):
        n = next(self._ids)
        fut = self._loop.create_future()
        self._pending[n] = fut
        await self._ws.send(json.dumps({"id": n, "method": method, "params": params}))
        return n, fut

    def call(self, method, **params):
        async def go():
            _, fut = await self._send(method, params)
            return await fut
        reply = self._run(go())
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait(self, expression, timeout=30, what=None):
        return wait_until(lambda: self.evaluate(expression), timeout, what or expression)

    def click(self, selector, timeout=10):
        """A real mouse click in the middle of the element. The page re-renders as reports
        arrive and may move the element between locating it and pressing: the click is
        made only where the element is on top, checked, and tried again if it missed."""
        locate = f"""(() => {{
            const e = document.querySelector({json.dumps(selector)});
            e.scrollIntoView({{block: "center"}});
            const r = e.getBoundingClientRect(), x = r.x + r.width / 2, y = r.y + r.height / 2;
            if (!e.contains(document.elementFromPoint(x, y))) return null;
            window.clicked = false;
            e.addEventListener("click", () => {{ window.clicked = true; }}, {{once: true}});
            return [x, y]; }})()"""

        def attempt():
            x, y = wait_until(lambda: self.evaluate(locate), timeout, f"{selector} in view")
            for kind in ("mousePressed", "mouseReleased"):
                self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                          clickCount=1)
            return self.evaluate("window.clicked")
        wait_until(attempt, timeout, f"a click on {selector}")

    def screenshot(self, path: Path):
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        path.write_bytes(base64.b64decode(shot["data"]))

    def close(self):
        try:
            self._disconnect()
        finally:  # whatever went wrong above, no browser or profile is left behind
            if self.proc.poll() is None:
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            self._log.close()
            # A helper may still be writing its last files into the profile for a moment.
            wait_until(lambda: shutil.rmtree(self._profile, ignore_errors=True)
                       or not self._profile.exists(), 20, "the browser profile removed")

    def _disconnect(self):
        if getattr(self, "_ws", None) is None:
            self.proc.terminate()
        else:
            try:  # a clean shutdown also ends the browser's helper processes
                self._run(self._send("Browser.close", {}))
            except (OSError, websockets.exceptions.ConnectionClosed):
                self.proc.terminate()
            self._run(self._ws.close())
            self._reader.result(10)
            self._ws = None
        if getattr(self, "_thread", None) is not None:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
            self._loop.close()
            self._thread = None
