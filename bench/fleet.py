#!/usr/bin/python3
"""A farm on one machine: N sandboxed agents against one reference server, with the costs of
a server restart, a configuration push and a network outage measured.

    /usr/bin/python3 bench/fleet.py --agents N [--build DIR] [--minutes M]
        [--scenario steady server-restart push outage] [--out DIR] [--outage-secs S]
        [--start-rate R] [--page PORT]

Each agent runs the static x86_64 release sandbox binary (build-release-x86_64, made by
scripts/release.sh x86_64; --build DIR for any other build) in its own sandbox root, copied
from one template made by sandbox/make-root.sh --fleet. One "fakeminer.py --fleet" process
serves every root's simulated daemon. The reference server runs in this process, behind a TCP
relay on 127.0.0.1 that counts the bytes on the wire and can stop forwarding without closing
anything. Each scenario prints its figures and writes a PNG under the output folder; the run
fails when an agent does not report again after a scenario. Everything it started is ended
and its roots removed on exit, Ctrl+C and errors included.
"""
import argparse
import asyncio
import collections
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import matplotlib
matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools" / "refserver"))
from dashboard import Dashboard  # noqa: E402
from fleet import Fleet  # noqa: E402
from refserver import RefServer  # noqa: E402

SCENARIOS = ("steady", "server-restart", "push", "outage")
TICK = os.sysconf("SC_CLK_TCK")
REPORTS = ("status", "metrics")
RESTART_SECS = 10
# The daemons' ports: below the kernel's range for outgoing connections (32768 and up), so
# that no agent's connection takes a port whose daemon is restarting.
DAEMON_PORTS = range(20000, 32768)
# How long every agent has to come back after a scenario: the reconnect schedule ends at one
# attempt a minute, so a few of those for a server still busy with the storm.
WAIT_SECS = 300


class Relay:
    """TCP relay 127.0.0.1:port -> 127.0.0.1:target on its own event loop. While paused it
    forwards nothing, in either direction, and opens nothing upstream; no connection is closed
    for it. Counts the bytes forwarded and the connections tried per second since t0."""

    def __init__(self, target, t0):
        self.target, self.t0, self.bytes = target, t0, 0
        self.tries = collections.Counter()
        self._loop = asyncio.new_event_loop()
        self._flowing = asyncio.Event()
        self._flowing.set()
        self._server = self._loop.run_until_complete(
            asyncio.start_server(self._client, "127.0.0.1", 0, backlog=4096))
        self.port = self._server.sockets[0].getsockname()[1]
        self._thread = threading.Thread(target=self._loop.run_forever, name="relay", daemon=True)
        self._thread.start()

    def flowing(self, on):
        self._loop.call_soon_threadsafe(self._flowing.set if on else self._flowing.clear)

    async def _pump(self, reader, writer):
        try:
            while True:
                data = await reader.read(65536)
                await self._flowing.wait()
                if not data:
                    break
                self.bytes += len(data)
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        finally:
            writer.close()

    async def _client(self, reader, writer):
        self.tries[int(time.monotonic() - self.t0)] += 1
        await self._flowing.wait()
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.target)
        except OSError:  # the server is down: the agent sees its connection refused
            writer.close()
            return
        await asyncio.gather(self._pump(reader, up_writer), self._pump(up_reader, writer))

    def stop(self):
        async def close():
            self._server.close()
            for task in asyncio.all_tasks():
                if task is not asyncio.current_task():
                    task.cancel()
        asyncio.run_coroutine_threadsafe(close(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()


class Counters:
    """What the server saw, folded from its events (RefServer's on_event, server thread)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.messages = self.bytes = 0
        self.per_second = collections.Counter()  # second since t0 -> messages received
        self.opens = collections.Counter()       # second since t0 -> connections accepted
        self.device = {}     # connection -> device id
        self.live = {}       # device id -> its live, authenticated connection
        self.state = {}      # device id -> miner state of the last status
        # "auth" (accepted), "report" (status or metrics), "reply" (to config_pools): device
        # id -> time of its first one since the watch began
        self.first = {"auth": {}, "report": {}, "reply": {}}
        self.watching = float("inf")

    def watch(self, since):
        """Notes each device's first authentication, report and reply from `since` on."""
        with self.lock:
            self.first = {kind: {} for kind in self.first}
            self.watching = since

    def firsts(self, kind):
        with self.lock:
            return dict(self.first[kind])

    def _note(self, kind, device, t):
        if t >= self.watching:
            self.first[kind].setdefault(device, t)

    def fold(self, kind, item):
        with self.lock:
            second = int(item.time - self.t0)
            if kind == "open":
                self.opens[second] += 1
                return
            device = self.device.get(item.conn)
            if kind == "close":
                if device and self.live.get(device) == item.conn:
                    del self.live[device]
                return
            msg = item.json if isinstance(item.json, dict) else {}
            if kind == "sent":
                if msg.get("type") == "auth" and msg.get("ok") and device:
                    self.live[device] = item.conn
                    self._note("auth", device, item.time)
                return
            self.messages += 1
            self.bytes += len(item.text)
            self.per_second[second] += 1
            kind = msg.get("type")
            if kind == "auth" and isinstance(msg.get("device_id"), str):
                self.device[item.conn] = msg["device_id"]
            elif device and kind in REPORTS:
                self._note("report", device, item.time)
                if kind == "status":
                    self.state[device] = (msg.get("state") or {}).get("name")
            elif device and kind == "config_pools":
                self._note("reply", device, item.time)


class Farm:
    def __init__(self, args, tmp):
        self.args, self.tmp = args, tmp
        self.agents, self.roots, self.devices = [], [], []
        self.daemons = self.server = self.relay = self.board = None
        self.page = Fleet() if args.page is not None else None
        self.counters = Counters()

    # ---- setting up ------------------------------------------------------

    def make_roots(self, n):
        """One root from make-root.sh, copied n times with its own path, port and device."""
        fifo = self.tmp / "roots.fifo"
        template = self.tmp / "template"
        subprocess.run([str(REPO / "sandbox/make-root.sh"), "--fleet", str(fifo), str(template),
                        "lo", "1"], check=True, stdout=subprocess.DEVNULL)
        old = str(template).encode()
        ports = free_ports(n)
        for i in range(n):
            root = self.tmp / f"agent{i:04d}"
            for path in sorted(template.rglob("*")):
                dest = root / path.relative_to(template)
                if path.is_symlink():
                    dest.symlink_to(os.readlink(path))
                elif path.is_dir():
                    dest.mkdir(parents=True)
                else:
                    dest.write_bytes(path.read_bytes().replace(old, str(root).encode()))
                    dest.chmod(path.stat().st_mode)
            device = f"{0:08X}{0:08X}-{i + 1:012X}"
            (root / "config/corvane.json").write_text(
                '{"api_key": "sandbox-0123456789abcdef0123456789", "dev_id": "%s"}\n' % device)
            (root / "etc/fakeminer.port").write_text(f"{ports[i]}\n")
            (root / "etc/fakeminer.args").write_text(f"--seed {i} --warmup 5\n")
            self.roots.append(root)
            self.devices.append(device)
        shutil.rmtree(template)
        (self.tmp / "roots").write_text("".join(f"{r}\n" for r in self.roots))
        return fifo

    def start(self):
        n = self.args.agents
        fifo = self.make_roots(n)
        with open(self.tmp / "fakeminer.log", "w") as log:
            self.daemons = subprocess.Popen(
                ["/usr/bin/python3", str(REPO / "tools/fakeminer/fakeminer.py"),
                 "--fleet", str(self.tmp / "roots")], start_new_session=True,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        wait_until(fifo.exists, 30 + n / 20, "the daemons to start", self.daemons)
        self.start_server(0)
        self.relay = Relay(self.server.port, self.counters.t0)
        if self.page:
            self.board = Dashboard(self.server, self.page, self.args.page).start()
            print(f"live page on {self.board.url}", flush=True)
        url = f"wss://localhost:{self.relay.port}/api/v1/ws"
        began = time.monotonic()
        for i, root in enumerate(self.roots):
            port = (root / "etc/fakeminer.port").read_text().strip()
            self.agents.append(subprocess.Popen(
                [str(self.args.binary), "--root", str(root), "--iface", "lo", "--api-port", port,
                 "-c", str(root / "config/corvane.json"), "-s", url],
                start_new_session=True, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            progress(i + 1, n, "authenticated", len(self.counters.live))
            # At most --start-rate a second: the start is not the storm being measured.
            time.sleep(max(0.0, began + (i + 1) / self.args.start_rate - time.monotonic()))
        deadline = time.monotonic() + 120 + n / 5
        while len(self.mining()) < n and time.monotonic() < deadline:
            progress(n, n, "mining", len(self.mining()))
            self.check_alive()
            time.sleep(0.5)
        progress(n, n, "mining", len(self.mining()))
        print(flush=True)
        if len(self.mining()) < n:
            raise Failure(f"{n - len(self.mining())} agent(s) never reported mining")
        print(f"{n} agents mining {time.monotonic() - began:.0f} s after the first start",
              flush=True)

    def start_server(self, port):
        def on_event(kind, item):
            self.counters.fold(kind, item)
            if self.page:
                self.page.fold(kind, item)
        # A restarted server numbers its connections on from the last one's.
        self.server = RefServer(port, auth_mode="accept", ack_update_config=True, keep=False,
                                on_event=on_event,
                                conn_base=self.server.connections if self.server else 0)
        self.server.start()
        if self.board:
            self.board.srv = self.server

    def mining(self):
        with self.counters.lock:
            return [d for d, s in self.counters.state.items() if s == "mining"]

    def check_alive(self):
        dead = [i for i, a in enumerate(self.agents) if a.poll() is not None]
        if dead or self.daemons.poll() is not None:
            daemons = self.daemons.poll()
            raise Failure(f"{len(dead)} agent(s) exited (e.g. numbers {dead[:10]})"
                          + ("" if daemons is None else f"; the daemons' process, {daemons}"))

    # ---- measuring -------------------------------------------------------

    def usage(self):
        """(kB resident, kB proportional: shared pages divided among their users, CPU seconds)
        per agent."""
        out = []
        for agent in self.agents:
            memory = {line.split(":")[0]: int(line.split()[1]) for line in
                      Path(f"/proc/{agent.pid}/smaps_rollup").read_text().splitlines()[1:]}
            stat = Path(f"/proc/{agent.pid}/stat").read_text().rsplit(")", 1)[1].split()
            out.append((memory["Rss"], memory["Pss"], (int(stat[11]) + int(stat[12])) / TICK))
        return out

    def all_again(self, kind, what):
        """Waits (bounded) for every agent's first `kind` since the watch began; their times."""
        deadline = time.monotonic() + WAIT_SECS
        while len(first := self.counters.firsts(kind)) < len(self.devices):
            if time.monotonic() > deadline:
                lost = sorted(set(self.devices) - set(first))
                raise Failure(f"{what}: {len(lost)} agent(s) without {kind} again, "
                              f"e.g. {lost[:5]}")
            self.check_alive()
            time.sleep(0.1)
        return first

    def steady(self):
        minutes = self.args.minutes
        c = self.counters
        c.watch(time.monotonic())
        u0, b0, m0, t0 = self.usage(), self.relay.bytes, (c.messages, c.bytes), time.monotonic()
        time.sleep(minutes * 60)
        u1, b1, m1, t1 = self.usage(), self.relay.bytes, (c.messages, c.bytes), time.monotonic()
        self.check_alive()
        mins, n = (t1 - t0) / 60, len(self.agents)
        rss, pss = [u[0] for u in u1], [u[1] for u in u1]
        cpu = sum(b[2] - a[2] for a, b in zip(u0, u1)) / mins
        figures = {
            "RSS per agent, kB (mean / max)": f"{sum(rss) / n:.0f} / {max(rss)}",
            "PSS per agent, kB (mean)": f"{sum(pss) / n:.0f}",
            "CPU s/min, all agents (per agent)": f"{cpu:.2f} ({cpu / n:.4f})",
            "bytes on the wire per agent per minute": f"{(b1 - b0) / n / mins:.0f}",
            "message text received per agent per minute, bytes":
                f"{(m1[1] - m0[1]) / n / mins:.0f}",
            "server messages/s": f"{(m1[0] - m0[0]) / (t1 - t0):.2f}",
        }
        self.all_again("report", "steady")
        window = range(int(t0 - c.t0), int(t1 - c.t0))
        plot(self.args.out / "steady.png", f"Steady state, {n} agents", "messages received / s",
             [w - window[0] for w in window], [c.per_second[w] for w in window])
        return figures

    def server_restart(self):
        c = self.counters
        t0 = time.monotonic()
        port = self.server.port
        self.server.stop()
        time.sleep(RESTART_SECS)
        back = time.monotonic()
        c.watch(back)
        self.start_server(port)
        auth = sorted(v - back for v in self.all_again("auth", "server-restart").values())
        n = len(auth)
        self.all_again("report", "server-restart")
        window = range(int(t0 - c.t0) - 2, int(back - c.t0 + auth[-1]) + 3)
        peak = max(c.opens[w] for w in window)
        xs = [w - int(t0 - c.t0) for w in window]
        plot(self.args.out / "server-restart.png",
             f"Server restart ({RESTART_SECS} s down), {n} agents", "connections / s", xs,
             [c.opens[w] for w in window], bars=True,
             second=(xs, [self.relay.tries[w] for w in window]),
             labels=("TLS connections accepted", "TCP connections tried"))
        return {f"re-authenticated, {p} %, s after the server is back":
                f"{auth[min(n - 1, -(-n * p // 100) - 1)]:.1f}" for p in (50, 99, 100)} | {
                "peak of new TLS connections/s": str(peak)}

    def push(self):
        c = self.counters
        with c.lock:
            live = dict(c.live)
        if len(live) < len(self.devices):
            raise Failure(f"push: {len(self.devices) - len(live)} agent(s) not connected")
        t0, wall0 = time.monotonic(), time.time()
        c.watch(t0)
        for n, conn in enumerate(live.values()):
            try:
                self.server.send({"type": "config_pools", "main": {
                    "stratum_url": f"stratum+tcp://push{int(wall0)}.example:3333",
                    "worker": f"farm.rig{n}"}}, conn)
            except (RuntimeError, TimeoutError) as e:
                raise Failure(f"push: connection #{conn}: {e}")
        sent = time.monotonic() - t0
        deadline = t0 + WAIT_SECS
        restarted = {}
        while time.monotonic() < deadline:
            for root in self.roots:
                if root not in restarted:
                    last = started_at(root)
                    if last > wall0:
                        restarted[root] = last - wall0
            replies = c.firsts("reply")
            if len(replies) == len(live) and len(restarted) == len(self.roots):
                break
            self.check_alive()
            time.sleep(0.5)
        else:
            raise Failure(f"push: {len(replies)} replies, {len(restarted)} daemon restarts "
                          f"of {len(self.roots)}")
        replied = sorted(v - t0 for v in replies.values())
        c.watch(time.monotonic())
        self.all_again("report", "push")
        restarts = sorted(restarted.values())
        plot(self.args.out / "push.png", f"Configuration push, {len(replied)} agents",
             "done (count)", replied, range(1, len(replied) + 1),
             second=(restarts, range(1, len(restarts) + 1)),
             labels=("replies", "daemon restarts"))
        return {"all commands sent, s": f"{sent:.1f}",
                "last reply, s after the push": f"{replied[-1]:.1f}",
                "last daemon restart, s after the push": f"{restarts[-1]:.1f}"}

    def outage(self):
        c = self.counters
        t0 = time.monotonic()
        self.relay.flowing(False)
        time.sleep(self.args.outage_secs)
        back = time.monotonic()
        c.watch(back)
        self.relay.flowing(True)
        last = max(self.all_again("report", "outage").values()) - back
        reconnected = sum(n for s, n in c.opens.items() if s >= int(back - c.t0))
        window = range(int(t0 - c.t0) - 5, int(back - c.t0 + last) + 5)
        plot(self.args.out / "outage.png", f"Network outage of {self.args.outage_secs:g} s",
             "messages received / s", [w - int(t0 - c.t0) for w in window],
             [c.per_second[w] for w in window])
        return {"every agent reported again, s after the network is back": f"{last:.1f}",
                "connections opened since": str(reconnected)}

    # ---- ending ----------------------------------------------------------

    def stop(self):
        for agent in self.agents:
            if agent.poll() is None:
                agent.terminate()
        deadline = time.monotonic() + 20
        for agent in self.agents:
            try:
                agent.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                agent.kill()
                agent.wait()
        if self.daemons:
            self.daemons.terminate()
            try:
                self.daemons.wait(20)
            except subprocess.TimeoutExpired:
                self.daemons.kill()
                self.daemons.wait()
        if self.board:
            self.board.stop()
        if self.relay:
            self.relay.stop()
        if self.server:
            self.server.stop()


class Failure(Exception):
    pass


def started_at(root):
    """Time of the daemon's last start in this root (its start log's last line), or 0."""
    try:
        lines = (root / "var/log/fakeminer-starts.log").read_text().splitlines()
        return float(json.loads(lines[-1])["time"])
    except (OSError, IndexError, KeyError, ValueError):
        return 0.0


def free_ports(n):
    """n ports of DAEMON_PORTS that nobody listens on now."""
    ports = []
    for port in DAEMON_PORTS:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        ports.append(port)
        if len(ports) == n:
            return ports
    raise Failure(f"fewer than {n} free ports in {DAEMON_PORTS}")


def wait_until(predicate, secs, what, process):
    deadline = time.monotonic() + secs
    while not predicate():
        if time.monotonic() > deadline or process.poll() is not None:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.1)


def progress(done, total, what, count):
    width = 40
    filled = width * done // max(1, total)
    print(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} started, "
          f"{count} {what}   ", end="", flush=True)


def plot(path, title, ylabel, xs, ys, bars=False, second=None, labels=None):
    """One series as bars or steps, and a second one as steps, per second from the event."""
    fig, ax = plt.subplots(figsize=(8, 4))
    if bars:
        ax.bar(list(xs), list(ys), width=1.0, align="edge", label=labels[0] if labels else None)
    else:
        ax.step(list(xs), list(ys), where="post", label=labels[0] if labels else None)
    if second:
        ax.step(list(second[0]), list(second[1]), where="post", label=labels[1], color="tab:orange")
        ax.legend()
    ax.set(title=title, xlabel="s from the event", ylabel=ylabel)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--agents", type=int, required=True)
    ap.add_argument("--build", type=Path, default=REPO / "build-release-x86_64",
                    help="build directory holding cvagent-sandbox")
    ap.add_argument("--minutes", type=float, default=5, help="steady state (default 5)")
    ap.add_argument("--scenario", nargs="+", choices=SCENARIOS, default=list(SCENARIOS))
    ap.add_argument("--out", type=Path, default=Path("fleet-out"))
    ap.add_argument("--outage-secs", type=float, default=60)
    ap.add_argument("--start-rate", type=float, default=50, help="agents started per second")
    ap.add_argument("--page", type=int, metavar="PORT",
                    help="serve the server's live page on 127.0.0.1:PORT too (0: a free port)")
    args = ap.parse_args()
    args.binary = (args.build / "cvagent-sandbox").resolve()
    if not args.binary.exists():
        sys.exit(f"{args.binary} missing: build it (scripts/release.sh x86_64) or give --build")
    args.out.mkdir(parents=True, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still runs the clean-up below

    tmp = Path(tempfile.mkdtemp(prefix="cvagent-fleet-"))
    farm = Farm(args, tmp)
    status = 0
    try:
        farm.start()
        for name in args.scenario:
            print(f"== {name}", flush=True)
            figures = getattr(farm, name.replace("-", "_"))()
            for key, value in figures.items():
                print(f"   {key}: {value}", flush=True)
            print(f"   every agent reported again; plot {args.out / (name + '.png')}", flush=True)
    except Failure as e:
        print(f"\nfleet: {e}", file=sys.stderr)
        status = 1
    except KeyboardInterrupt:
        print("\nfleet: interrupted", file=sys.stderr)
        status = 130
    finally:
        farm.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
