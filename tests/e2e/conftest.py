"""Shared fixtures: a fresh sandbox root per test and a handle on the agent process."""
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "refserver"))

from refserver import RefServer, free_port  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=str(REPO / "build"),
                     help="build directory holding cvagent-sandbox")
    parser.addoption("--emulator", default="", help="program that runs the binary (qemu)")
    parser.addoption("--launcher", default="",
                     help="program that starts the agent (tests/oldkernel: Linux 3.10's calls)")


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


def reply_to(server, message, conn=None, timeout=10):
    """Sends a command and returns the next message of its type."""
    since = len(server.received)
    server.send(message, conn=conn)
    return server.wait_message(message["type"], timeout=timeout, since=since)


class Sandbox:
    def __init__(self, root: Path, binary: Path, emulator: str = "", launcher: str = ""):
        """A root made by make-root.sh for the agent `binary`."""
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", str(free_port())],
                       check=True, stdout=subprocess.DEVNULL)
        self.root, self.binary, self.emulator, self.launcher = root, binary, emulator, launcher
        self.qemu_args, self.proc = [], None
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

    def connect(self, server, *args, dev_id="DEV-E2E"):
        """Starts the agent against `server`."""
        self.server_url = f"wss://localhost:{server.port}/api/v1/ws"
        self.write_config({"api_key": "k" * 30, "dev_id": dev_id})
        return self.start(*args)

    def authenticated(self, server, conn=1):
        server.wait_message("auth", timeout=20, conn=conn)
        self.wait_log("Agent successfully authenticated")

    def daemon(self, action, *args):
        """Starts or stops the simulated daemon without going through the recorded stubs."""
        if args:
            self.path("/etc/fakeminer.args").write_text(" ".join(args))
        subprocess.run([str(self.path("/usr/lib/fakeminer/ctl.sh")), action], check=True)

    def write_script(self, abs_path, body):
        """A fake firmware script that records its call in calls.log, then runs `body`."""
        path, calls = self.path(abs_path), self.path("/var/log/calls.log")
        path.write_text(f"#!/bin/sh\necho \"$(date +%s) $(basename \"$0\") $*\" >> '{calls}'\n{body}\n")
        path.chmod(0o755)

    def web_edit(self, *settings, rename=False):
        """Changes cgminer.conf as the web interface would; returns the time of the edit."""
        subprocess.run([str(REPO / "sandbox/webedit.py"), str(self.root)] +
                       [arg for setting in settings for arg in ("--set", setting)] +
                       ["--rename"] * rename, check=True)
        return time.monotonic()

    def move_clock(self, secs):
        self.path("/var/run/clock.offset").write_text(str(secs))

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


@pytest.fixture(autouse=True)
def protocol_checked():
    """Every reference server of the test checks each message against docs/protocol.yaml;
    one that does not match fails the test that exchanged it."""
    violations = RefServer.violation_sink = []
    yield
    RefServer.violation_sink = None
    if violations:
        pytest.fail("messages that do not match docs/protocol.yaml:\n" + "\n".join(violations),
                    pytrace=False)


@pytest.fixture
def server():
    # No keep-alive pings of the server's own: the soak sends the one that crosses the agent's
    # ping on purpose. The agent's own pings keep the session alive.
    srv = RefServer(ping_interval=None).start()
    yield srv
    srv.stop()


@pytest.fixture
def agent(sandbox, server):
    """The sandbox agent connected to the reference server."""
    sandbox.connect(server)
    return sandbox


@pytest.fixture
def sandbox(tmp_path, request):
    binary = Path(request.config.getoption("--build-dir")).resolve() / "cvagent-sandbox"
    box = Sandbox(tmp_path / "root", binary, request.config.getoption("--emulator"),
                  request.config.getoption("--launcher"))
    yield box
    if box.proc is not None and box.proc.poll() is None:
        box.proc.kill()
        box.proc.communicate()
