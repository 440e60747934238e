#!/usr/bin/python3
"""Long reconnect soak, run by hand (about 20 minutes): 1,000 sessions of the sandbox agent
against the reference server, each ended another way: the server closes it, drops it,
restarts, refuses connections for a while, or never answers the authentication (the agent's
60 s abort). Descriptors, threads and memory of the agent must stay flat.

usage: tests/soak/reconnect_soak.py [--build-dir build] [--cycles 1000]
Prints the figures at every 10 % of the cycles; exits 1 when they grew.
"""
import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from conftest import Sandbox, wait_until  # noqa: E402
from refserver import RefServer  # noqa: E402
from test_soak import open_fds, rss_kb, start_logging_to_file_only  # noqa: E402

RSS_SLACK_KB = 1024


def threads(pid):
    return len(list(Path(f"/proc/{pid}/task").iterdir()))


def kind_of(n):
    """The way cycle n ends: mostly closes and drops, some restarts and refusals, and one
    authentication time-out in 200 (each costs the agent's 60 s abort timer)."""
    if n % 200 == 0:
        return "auth-timeout"
    if n % 50 == 0:
        return "refuse"
    if n % 10 == 0:
        return "restart"
    return "close" if n % 2 else "drop"


class Soak:
    def __init__(self, binary, work):
        self.server = RefServer(ping_interval=None).start()
        self.port = self.server.port
        root = work / "root"
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo"], check=True,
                       stdout=subprocess.DEVNULL)
        self.agent = start_logging_to_file_only(Sandbox(root, binary), self.port, "DEV-SOAK")
        self.conn = 0  # connections seen by the current server

    def restart_server(self, mode="accept"):
        self.server.stop()
        self.server = RefServer(port=self.port, ping_interval=None, auth_mode=mode).start()
        self.conn = 0

    def next_session(self, timeout=90):
        """Waits for the next authenticated session and one answered command."""
        self.conn += 1
        self.server.wait_message("auth", timeout=timeout, conn=self.conn)
        self.server.send({"type": "logs", "request_id": "soak"}, conn=self.conn)
        self.server.wait_message("logs", timeout=20, conn=self.conn)

    def end_session(self, kind):
        if kind == "close":
            self.server.close(conn=self.conn)
        elif kind == "drop":
            self.server.drop(conn=self.conn)
        elif kind == "restart":
            self.restart_server()
        elif kind == "refuse":
            offset = len(self.agent.log())
            self.server.stop()
            wait_until(lambda: "Trying agent reconnect 2" in self.agent.log()[offset:], 30,
                       "a refused attempt")
            self.restart_server()
        elif kind == "auth-timeout":
            self.restart_server(mode="silent")
            self.server.wait_message("auth", timeout=90, conn=1)
            offset = len(self.agent.log())
            wait_until(lambda: "Aborting agent connection on timeout" in self.agent.log()[offset:],
                       90, "the authentication time-out")
            self.restart_server()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--cycles", type=int, default=1000)
    args = parser.parse_args()
    binary = Path(args.build_dir).resolve() / "cvagent-sandbox"
    with tempfile.TemporaryDirectory(prefix="cvagent-soak-") as work:
        soak = Soak(binary, Path(work))
        pid = soak.agent.proc.pid
        start = time.monotonic()
        baseline = None
        rows = []
        try:
            for n in range(1, args.cycles + 1):
                soak.next_session()
                if n == 20 or n % max(1, args.cycles // 10) == 0:
                    row = (n, open_fds(pid), threads(pid), rss_kb(pid))
                    baseline = baseline or row
                    rows.append(row)
                    print(f"cycle {n:5d}: {row[1]} descriptors, {row[2]} threads, "
                          f"VmRSS {row[3]} kB, {time.monotonic() - start:.0f} s", flush=True)
                soak.end_session(kind_of(n))
            soak.next_session()
            status = soak.agent.stop()
        finally:
            soak.server.stop()
            if soak.agent.proc.poll() is None:
                soak.agent.proc.kill()
        kinds = {}
        for n in range(1, args.cycles + 1):
            kinds[kind_of(n)] = kinds.get(kind_of(n), 0) + 1
        print("cycles by ending:", ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
        last = rows[-1]
        flat = (last[1] == baseline[1] and last[2] == baseline[2]
                and last[3] <= baseline[3] + RSS_SLACK_KB)
        print(f"stop status {status}; {'flat' if flat else 'GREW'} from cycle {baseline[0]} "
              f"to {last[0]}")
        return 0 if flat and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
