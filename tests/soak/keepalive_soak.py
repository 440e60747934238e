#!/usr/bin/python3
"""Keep-alive soak, run by hand: the sandbox agent's session with a reference server that
pings every 20 s (and drops a session whose pong does not match), for 10 minutes by default,
with the agent's own keep-alive pings and its status and metrics reports going on. Every
dropped session is counted.

usage: tests/soak/keepalive_soak.py [--build-dir build] [--minutes 10]
Exits 1 when any session was dropped.
"""
import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from conftest import Sandbox  # noqa: E402
from refserver import RefServer  # noqa: E402
from test_soak import start_logging_to_file_only  # noqa: E402

SERVER_PING_SECS = 20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--minutes", type=float, default=10)
    args = parser.parse_args()
    binary = Path(args.build_dir).resolve() / "cvagent-sandbox"
    server = RefServer(ping_interval=SERVER_PING_SECS).start()
    with tempfile.TemporaryDirectory(prefix="cvagent-keepalive-") as work:
        root = Path(work) / "root"
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo"], check=True,
                       stdout=subprocess.DEVNULL)
        agent = start_logging_to_file_only(Sandbox(root, binary), server.port, "DEV-PING")
        start = time.monotonic()
        try:
            server.wait_message("auth", timeout=20)
            end = start + args.minutes * 60
            while time.monotonic() < end:
                time.sleep(1)  # a fixed-length soak: nothing to wait for but the time
            drops = [e for e in server.events if e.kind == "close"]
            elapsed = time.monotonic() - start
        finally:
            if agent.proc.poll() is None:
                agent.stop()
            server.stop()
    messages = len(server.received)
    print(f"{elapsed:.0f} s with server pings every {SERVER_PING_SECS} s "
          f"(about {int(elapsed // SERVER_PING_SECS)} pings): {server.connections} session(s), "
          f"{len(drops)} dropped, {messages} messages received")
    for drop in drops:
        print(f"  dropped after {drop.time - start:.0f} s, close code {drop.code}")
    return 1 if drops else 0


if __name__ == "__main__":
    sys.exit(main())
