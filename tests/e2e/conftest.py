"""Shared fixtures: a fresh sandbox root per test and a handle on the agent process."""
import json
import os
import signal
import subprocess
import time
from pathlib import Path

import sys

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "refserver"))

from refserver import RefServer, free_port  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=str(REPO / "build"),
                     help="build directory holding cvagent-sandbox")
    parser.addoption("--emulator", default="",
                     help="program that runs the binary (qemu-arm-static for an armhf build)")
    parser.addoption("--launcher", default="",
                     help="program that starts the agent (the build's tests/oldkernel: only "
                          "Linux 3.10's system calls)")


def wait_until(predicate, timeout, what):
    """Polls `predicate` until it returns a true value; fails loudly at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)


class Sandbox:
    def __init__(self, root: Path, binary: Path, emulator: str = "", launcher: str = ""):
        self.root = root
        self.binary = binary
        self.emulator = emulator
        self.launcher = launcher
        self.qemu_args = []
        self.proc = None
        # Nobody listens here unless a test starts a server on it.
        self.server_url = f"wss://localhost:{free_port()}/api/v1/ws"
        # The simulated daemon's port (see make-root.sh); nothing listens until it is started.
        self.api_port = int(self.path("/etc/fakeminer.port").read_text())

    def path(self, abs_path: str) -> Path:
        return self.root / abs_path.lstrip("/")

    @property
    def config(self) -> Path:
        return self.path("/config/corvane.json")

    def write_config(self, obj):
        self.config.write_text(json.dumps(obj))

    def log(self) -> str:
        log = self.path("/var/log/cvagent.log")
        return log.read_text(errors="replace") if log.exists() else ""

    def calls(self) -> str:
        calls = self.path("/var/log/calls.log")
        return calls.read_text() if calls.exists() else ""

    def start(self, *args, iface="lo", root_args=None):
        command = [self.launcher] if self.launcher else []
        command += [self.emulator] + self.qemu_args if self.emulator else []
        command += [str(self.binary)]
        command += root_args if root_args is not None else ["--root", str(self.root)]
        command += ["--iface", iface, "--api-port", str(self.api_port), "-c", str(self.config)]
        if "-s" not in args:
            command += ["-s", self.server_url]
        command += args
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        return self.proc

    def run(self, *args, timeout=30, **kwargs):
        """Runs the agent to its end; returns (status, stdout, stderr)."""
        proc = self.start(*args, **kwargs)
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err

    def wait_log(self, text, timeout=20):
        return wait_until(lambda: text in self.log(), timeout, f"log line {text!r}")

    def stop(self, timeout=20):
        """Asks the agent to stop and returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise AssertionError("agent did not stop after SIGTERM")
        return self.proc.returncode


@pytest.fixture
def server():
    # No keep-alive pings from the server: when one crosses the agent's own ping,
    # libwebsockets may answer it with a wrong payload and the server would drop the session,
    # which no test here is about. The agent's own pings keep the session alive.
    srv = RefServer(ping_interval=None).start()
    yield srv
    srv.stop()


@pytest.fixture
def agent(sandbox, server):
    """The sandbox agent connected to the reference server."""
    sandbox.server_url = f"wss://localhost:{server.port}/api/v1/ws"
    sandbox.write_config({"api_key": "k" * 30, "dev_id": "DEV-E2E"})
    sandbox.start()
    return sandbox


@pytest.fixture
def sandbox(tmp_path, request):
    binary = Path(request.config.getoption("--build-dir")).resolve() / "cvagent-sandbox"
    root = tmp_path / "root"
    subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", str(free_port())],
                   check=True, stdout=subprocess.DEVNULL)
    box = Sandbox(root, binary, request.config.getoption("--emulator"),
                  request.config.getoption("--launcher"))
    yield box
    if box.proc is not None and box.proc.poll() is None:
        box.proc.kill()
        box.proc.communicate()
