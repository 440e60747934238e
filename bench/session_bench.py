#!/usr/bin/python3
"""Session benchmark: cvagent-sandbox against the reference server over loopback.

Measures
  (a) the round trip of a command to its reply (server's send to the reply's arrival),
      sequentially, for each command given, and for a "chip_metrics" report of one chain;
  (c) a "config_fans" that changes the daemon's configuration each time: its round trip, and
      how long it blocks the service loop (store, sync, the watcher's settle wait): the arrival
      of a cheap command sent right behind it, less that command's own round trip;
  (b) the drain of a full outgoing queue: with the "auth" request left unanswered, the server
      sends 1023 "logs" requests whose replies queue up; then it answers "auth" and times the
      arrival of all 1023 replies, which must come in request order;
  (d) bursts of changing "config_watchdog" commands sent back to back, as a fleet's server
      pushes settings: for each size, whether every reply came, in order, on the same session,
      and the time per command; it stops at the first size that fails.

Builds nothing: run it on an existing build, e.g.
    /usr/bin/python3 bench/session_bench.py --build-dir build
"""
import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools" / "refserver"))

from refserver import RefServer  # noqa: E402

QUEUE_CAPACITY = 1023  # messages that can wait in one connection's outgoing queue


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"bench: timed out after {timeout}s waiting for {what}")
        time.sleep(0.01)


class Agent:
    """cvagent-sandbox in a fresh sandbox root, logging to its file only."""

    def __init__(self, build_dir: Path, server_port: int):
        self.dir = Path(tempfile.mkdtemp(prefix="cvagent-bench-"))
        self.root = self.dir / "root"
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(self.root), "lo"], check=True,
                       stdout=subprocess.DEVNULL)
        (self.root / "config/corvane.json").write_text(
            json.dumps({"api_key": "k" * 30, "dev_id": "DEV-BENCH"}))
        # The drain's requests each run this script while the queue fills (untimed); the
        # stub's call record would only slow that down.
        (self.root / "www/pages/cgi-bin/get_kernel_log.cgi").write_text(
            "#!/bin/sh\necho '[    0.000000] bench: simulated kernel log'\n")
        self.log_file = self.root / "var/log/cvagent.log"
        (self.root / "opt/corvane/etc/log.conf").write_text(
            "log4cplus.logger.agent=INFO, file\n"
            "log4cplus.appender.file=log4cplus::FileAppender\n"
            f"log4cplus.appender.file.File={self.log_file}\n"
            "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
            "log4cplus.appender.file.layout.ConversionPattern=%-5p %m%n\n")
        binary = build_dir / "cvagent-sandbox"
        if not binary.exists():
            raise SystemExit(f"bench: {binary} not found (build first)")
        self.proc = subprocess.Popen(
            [str(binary), "--root", str(self.root), "--iface", "lo",
             "-c", str(self.root / "config/corvane.json"),
             "-s", f"wss://localhost:{server_port}/api/v1/ws"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def log(self):
        return self.log_file.read_text(errors="replace") if self.log_file.exists() else ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def sent_time(server, since):
    """Time of the first message the server sent at or after index `since`."""
    server.wait_for(lambda: len(server.sent) > since, 10, "sent record")
    return server.sent[since].time


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def round_trip(server, message, since_received=None):
    """Sends `message`; returns its reply record and the seconds from send to arrival."""
    since_sent = len(server.sent)
    since_received = len(server.received) if since_received is None else since_received
    server.send(message)
    reply = server.wait_record(message["type"], timeout=10, since=since_received)
    return reply, reply.time - sent_time(server, since_sent)


def round_trips(server, message, rounds, ok=None):
    """Seconds from each command's send to its reply's arrival, one command at a time."""
    times = []
    for n in range(rounds):
        reply, seconds = round_trip(server, message)
        times.append(seconds)
        if n == 0 and not isinstance(reply.json.get("ok"), bool) or \
                ok is not None and reply.json.get("ok") is not ok:
            raise SystemExit(f"bench: {message['type']!r} got an unexpected reply: {reply.json}")
    return times


# Refused at once without touching a file or the daemon: a probe of the service loop.
PROBE = {"type": "chip_metrics", "request_id": "probe", "chain_id": "0"}


def changing_fans(server, rounds):
    """Round trips of a config_fans that changes the file each time, and the service loop's
    blocked time behind each of them."""
    replies, blocked = [], []
    for n in range(rounds):
        _, alone = round_trip(server, PROBE)
        since_sent, since_received = len(server.sent), len(server.received)
        fans = {"type": "config_fans", "mode": "manual", "speed": 50 + 10 * (n % 2)}
        server.send(fans)
        server.send(PROBE)
        reply = server.wait_record("config_fans", timeout=10, since=since_received)
        probe = server.wait_record("chip_metrics", timeout=10, since=since_received)
        if reply.json != {"type": "config_fans", "ok": True}:
            raise SystemExit(f"bench: config_fans failed: {reply.json}")
        replies.append(reply.time - sent_time(server, since_sent))
        blocked.append(probe.time - sent_time(server, since_sent + 1) - alone)
    return replies, blocked


def drain(server, agent, conn):
    """Fills the queue during authentication, then times its drain. Returns seconds."""
    server.wait_message("auth", timeout=30, conn=conn)
    for n in range(QUEUE_CAPACITY):
        server.send({"type": "logs", "request_id": str(n)}, conn=conn)
    # Messages are handled in order: once this one is logged, every reply is queued.
    marker = f"bench-queued-{conn}"
    server.send({"type": marker}, conn=conn)
    wait_until(lambda: f"Unknown message received: {marker}" in agent.log(), 120,
               "the agent to handle every request")
    if server.messages("logs", conn=conn):
        raise SystemExit("bench: replies left before authentication")
    since_sent = len(server.sent)
    server.send({"type": "auth", "ok": True}, conn=conn)
    start = sent_time(server, since_sent)
    server.wait_for(lambda: len(server.messages("logs", conn=conn)) >= QUEUE_CAPACITY, 120,
                    f"{QUEUE_CAPACITY} replies")
    last = [r for r in server.received if r.conn == conn and isinstance(r.json, dict)
            and r.json.get("type") == "logs"][QUEUE_CAPACITY - 1]
    order = [m.get("request_id") for m in server.messages("logs", conn=conn)]
    if order != [str(n) for n in range(QUEUE_CAPACITY)]:
        raise SystemExit("bench: replies out of order or missing")
    if "Dropping message" in agent.log():
        raise SystemExit("bench: the agent dropped replies")
    return last.time - start


def burst(server, size, first_min_hr):
    """Sends `size` changing commands at once; returns seconds per command, or None when a
    reply is missing or out of order, or the session ended."""
    conn, since = server.connections, len(server.received)
    values = [str(first_min_hr + n) for n in range(size)]
    start = time.monotonic()
    for value in values:
        server.send({"type": "config_watchdog", "min_hr": value}, conn=conn)

    def replies():
        return [r for r in server.received[since:] if isinstance(r.json, dict)
                and r.json.get("type") == "config_watchdog"]
    try:
        server.wait_for(lambda: len(replies()) >= size or server.connections != conn,
                        max(60, 2 * size), f"{size} replies")
    except AssertionError:
        return None
    got = replies()
    if len(got) != size or any(r.json.get("ok") is not True or r.conn != conn for r in got) \
            or server.connections != conn:
        return None
    return (got[-1].time - start) / size


def ms(seconds):
    return f"{seconds * 1000:8.3f} ms"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", default=str(REPO / "build"), type=Path)
    ap.add_argument("--rounds", type=int, default=1000, help="round trips per command")
    ap.add_argument("--command", action="append", dest="commands",
                    help="command to time (repeatable; default: reboot and config_pools)")
    ap.add_argument("--drains", type=int, default=5, help="queue drains to time")
    ap.add_argument("--fans-rounds", type=int, default=20,
                    help="changing config_fans round trips (each stores the file)")
    ap.add_argument("--bursts", default="10,20,25,30,40,60,100",
                    help="sizes of the bursts of changing commands, in order")
    args = ap.parse_args()
    commands = args.commands or ["reboot", "config_pools"]

    server = RefServer().start()
    agent = Agent(args.build_dir.resolve(), server.port)
    try:
        server.wait_message("auth", timeout=30, conn=1)
        wait_until(lambda: "Agent successfully authenticated" in agent.log(), 30,
                   "authentication")
        results = {c: round_trips(server, {"type": c}, args.rounds) for c in commands}
        results["chip_metrics"] = round_trips(
            server, {"type": "chip_metrics", "request_id": "r", "chain_id": "1"}, args.rounds,
            ok=True)
        fans, blocked = changing_fans(server, args.fans_rounds)
        bursts = []
        for n, size in enumerate(int(s) for s in args.bursts.split(",") if s):
            per_command = burst(server, size, 1000 * (n + 1))
            bursts.append((size, per_command))
            if per_command is None:
                break

        drains = []
        server.auth_mode = "silent"
        for _ in range(args.drains):
            conn = server.connections
            server.close(conn=conn)  # authenticated before, so it reconnects at once
            server.wait_connections(conn + 1, timeout=30)
            drains.append(drain(server, agent, conn + 1))
    finally:
        agent.stop()
        server.stop()

    print(f"cvagent session benchmark ({args.build_dir}), loopback TLS WebSocket")
    print(f"(a) command round trip, {args.rounds} sequential rounds each")
    for command, times in results.items():
        print(f"    {command:<14} median {ms(statistics.median(times))}   "
              f"p90 {ms(percentile(times, 0.9))}   min {ms(min(times))}   "
              f"max {ms(max(times))}")
    median = statistics.median(drains) if drains else 0
    if drains:
        print(f"(b) drain of {QUEUE_CAPACITY} queued replies after authentication, "
              f"{len(drains)} runs, in order")
        print(f"    median {ms(median)}   min {ms(min(drains))}   max {ms(max(drains))}   "
              f"({QUEUE_CAPACITY / median:,.0f} messages/s at the median)")
    print(f"(c) changing config_fans, {args.fans_rounds} rounds")
    for label, times in (("round trip", fans), ("loop blocked", blocked)):
        print(f"    {label:<14} median {ms(statistics.median(times))}   "
              f"p90 {ms(percentile(times, 0.9))}   min {ms(min(times))}   "
              f"max {ms(max(times))}")
    print("(d) bursts of changing config_watchdog commands sent back to back")
    for size, per_command in bursts:
        print(f"    {size:>4} commands: " + ("FAILED (a reply missing or the session lost)"
                                            if per_command is None
                                            else f"every reply in order, {ms(per_command)} each"))

if __name__ == "__main__":
    main()
