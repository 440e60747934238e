#!/usr/bin/python3
"""Simulated Antminer L3+ mining daemon (cgminer API) on 127.0.0.1, for the sandbox.

One JSON request per TCP connection ({"command": "stats"} or {"command": "pools"}); the
reply is written and the connection closed. "stats" replies carry the two defects of the
real daemon's output that the agent repairs: the objects of "STATS" written back to back
("}{") and a member printed as the bare word inf.

    /usr/bin/python3 tools/fakeminer/fakeminer.py --root DIR --port PORT [--scenario S]
        [--seed N] [--warmup SECS] [--slow-secs SECS]
    /usr/bin/python3 tools/fakeminer/fakeminer.py [--root DIR] --write-chip-hr FILE
    /usr/bin/python3 tools/fakeminer/fakeminer.py --fleet FILE   (see Fleet below)

With --root, the process reads DIR/config/cgminer.conf once at start, as the real daemon does:
its replies show that file's pools, fan settings and chain and chip frequencies (without a
readable file, the defaults below). Each start appends one line to
DIR/var/log/fakeminer-starts.log, {"time": unix seconds, "pid": pid, "settings": the parsed file
or null}, before the API answers; then DIR/var/run/cgminer.pid is written, and kept while the
process runs. The scenario comes from DIR/var/run/fakeminer.scenario whenever that file holds a
name. Hash rates are in MH/s, as the L3+ daemon reports them (the agent divides them by 1000).
"""

import argparse
import asyncio
import json
import math
import os
import random
import resource
import select
import shutil
import signal
import socket
import sys
import threading
import time
from typing import NamedTuple

SCENARIOS = ("normal", "down", "slow", "silent", "garbage", "cutoff", "empty",
             "chain_missing", "fans_stopped", "huge")
CHAINS = (1, 2, 3, 4)
CHIPS = 72
DEFAULT_FREQ = 384     # MHz, the firmware's default "bitmain-freq"
DEFAULT_VOLTAGE = 8    # the firmware's default "bitmain-voltage" setting
CHIP_MHS_PER_MHZ = 1.75 / DEFAULT_FREQ  # a healthy chip: 1.75 MH/s at 384 MHz, 504 MH/s in all
FULL_RPM = 6000        # a fan at 100 %
# The user pools (URL, worker) of a machine without a readable cgminer.conf.
DEFAULT_POOLS = (("stratum+tcp://ltc-eu.pool.example:3333", "farm.l3plus"),
                 ("stratum+tcp://ltc-us.pool.example:3333", "farm.l3plus"),
                 ("stratum+tcp://ltc-asia.pool.example:3333", "farm.l3plus"))
FEE_POOL = "DevFee stratum+tcp://fee.pool.example:8888"
INF = "\x00inf\x00"    # placeholder for the bare word inf in the serialised text

# Chips that are not healthy, as (chain, chip) -> quality (1.0 healthy). The agent grades a
# chip by r = rate / (freq / 222): 0.7 reads slow, 0.3 and 2.8 unstable, 0 unknown.
ODD_CHIPS = {(2, 17): 0.7, (2, 50): 0.7, (3, 5): 0.3, (3, 40): 0.0, (4, 72): 2.8}


def log(text):
    print(time.strftime("%Y-%m-%d %H:%M:%S"), "fakeminer:", text, file=sys.stderr, flush=True)


def chip_quality(chain, chip):
    # A fixed spread of about +-3 %, so that chips differ a little but the picture never changes.
    return ODD_CHIPS.get((chain, chip), 1.0 + 0.03 * math.sin(chain * 7.3 + chip * 1.7))


class Settings(NamedTuple):
    freqs: list             # MHz per chip, [chain][chip]
    volts: list             # per chain
    pools: tuple            # (URL, worker) per user pool, in the file's order
    fan_pwm: object = None  # percent both fans run at, or None for automatic control


def read_conf(root):
    """DIR/config/cgminer.conf as a parsed object, or None when absent or unreadable."""
    if not root:
        return None

    def refuse(word):  # the daemon's JSON parser knows no NaN or Infinity
        raise ValueError(word)

    try:
        with open(os.path.join(root, "config/cgminer.conf")) as f:
            conf = json.load(f, parse_constant=refuse)
    except (OSError, ValueError):
        return None
    return conf if isinstance(conf, dict) else None


def settings_of(conf):
    """What the daemon runs with, from a parsed cgminer.conf (None: the defaults)."""
    readable = conf is not None
    conf = conf or {}

    def setting(key, default):
        try:
            value = int(str(conf.get(key, default)))
        except ValueError:
            return default
        return value if value >= 1 else default  # 0 means "use the wider setting"

    freq, volt = setting("bitmain-freq", DEFAULT_FREQ), setting("bitmain-voltage", DEFAULT_VOLTAGE)
    listed = str(conf.get("bitmain-chip-freq", "")).split(":")
    freqs, volts = [], []
    for pos, chain in enumerate(CHAINS):
        chain_freq = setting(f"bitmain-freq{chain}", freq)
        volts.append(setting(f"bitmain-voltage{chain}", volt))
        chips = []
        for n in range(CHIPS):
            text = listed[pos * CHIPS + n] if pos * CHIPS + n < len(listed) else ""
            chips.append(int(text) if text.isdigit() and int(text) > 0 else chain_freq)
        freqs.append(chips)
    pools = DEFAULT_POOLS
    if readable:
        listed_pools = conf.get("pools") if isinstance(conf.get("pools"), list) else []
        pools = tuple((str(p.get("url", "")), str(p.get("user", "")))
                      for p in listed_pools if isinstance(p, dict))
    fan_pwm = None
    if conf.get("bitmain-fan-ctrl") is True:
        try:
            fan_pwm = min(100, max(0, int(str(conf.get("bitmain-fan-pwm")))))
        except ValueError:
            pass  # no usable duty cycle: the daemon keeps automatic control
    return Settings(freqs, volts, pools, fan_pwm)


def load_settings(root):
    return settings_of(read_conf(root))


def chip_rates(freqs):
    return [[chip_quality(chain, n + 1) * freqs[pos][n] * CHIP_MHS_PER_MHZ for n in range(CHIPS)]
            for pos, chain in enumerate(CHAINS)]


def write_chip_hr(path, freqs):
    """The firmware's chip hash-rate file: "chiphr", one object per chain, "AsicNN" texts."""
    chiphr = [{f"Asic{n:02d}": f"{rate:.2f}" for n, rate in enumerate(chain)}
              for chain in chip_rates(freqs)]
    with open(path, "w") as f:
        json.dump({"chiphr": chiphr}, f, indent=1)


def dumps(value):
    # Compact separators matter: the agent repairs ":inf", not ": inf".
    return json.dumps(value, separators=(",", ":")).replace(json.dumps(INF), "inf")


class Sim:
    """The machine's slowly varying picture; a pure function of the settings, the seed and the
    elapsed time."""

    def __init__(self, seed=None, warmup=5.0, settings=None):
        self.rng = random.Random(seed)
        self.warmup = warmup
        settings = settings or settings_of(None)
        self.freqs, self.volts = settings.freqs, settings.volts
        self.fan_pwm = settings.fan_pwm
        # The simulated picture: a pool without a URL and any beyond the second are unreachable;
        # the first reachable one gets the work.
        self.user_pools = [(url, user, "Alive" if url and n < 2 else "Dead")
                      for n, (url, user) in enumerate(settings.pools)]
        self.active = next((n for n, p in enumerate(self.user_pools) if p[2] == "Alive"), None)
        self.rates = [sum(chain) for chain in chip_rates(self.freqs)]  # nominal MH/s per chain
        self.targets = [self.rng.uniform(46, 54) for _ in CHAINS]      # board temperature goals
        self.pcb = [40.0] * len(CHAINS)
        self.chip = [40.0] * len(CHAINS)
        self.noise = [1.0] * len(CHAINS)
        self.hw = [0] * len(CHAINS)
        self.fans = [self._fan_rpm(self._fan_goal(n)) for n in range(2)]
        # accepted, rejected, stale: one row per user pool, then the fee pool's
        self.shares = [[0, 0, 0] for _ in range(len(self.user_pools) + 1)]
        self.owed = [0.0, 0.0]  # fractional shares of the active pool and the fee pool
        self.second = 0
        self.lock = threading.Lock()

    def _fan_goal(self, n):
        """Fan n's target rpm: the set duty cycle for both, else following the hottest chip,
        the second fan a few hundred rpm slower (it sits in the warmer air)."""
        if self.fan_pwm is not None:
            return FULL_RPM * self.fan_pwm / 100
        return 4300 + 80 * (max(self.chip) - 55) - 400 * n

    def _fan_rpm(self, value):
        """The rpm a fan reports: automatic control never lets it below 4000."""
        return min(FULL_RPM, max(0 if self.fan_pwm is not None else 4000, round(value)))

    def _step(self):
        """Advances the picture by one second."""
        self.second += 1
        rng, mining = self.rng, self.second > self.warmup
        for i in range(len(CHAINS)):
            pcb_goal = self.targets[i] if mining else 41.0
            self.pcb[i] += 0.05 * (pcb_goal - self.pcb[i]) + rng.gauss(0, 0.2)
            chip_goal = self.pcb[i] + (14 if mining else 3)  # idle chips barely warm
            self.chip[i] += 0.04 * (chip_goal - self.chip[i]) + rng.gauss(0, 0.3)
            self.noise[i] += 0.3 * (1.0 - self.noise[i]) + rng.gauss(0, 0.004)
            if mining and rng.random() < (0.015 if i == 3 else 0.004):  # chain 4 is the worst
                self.hw[i] += 1
        for n in range(len(self.fans)):
            self.fans[n] += 0.2 * (self._fan_goal(n) - self.fans[n]) + rng.gauss(0, 15)
        if mining:
            # Scrypt pool difficulty 1 is 65536 hashes; the fee pool gets about 2.5 % of the work.
            found = sum(self.rates) * 1e6 / (16384 * 65536)
            for k, (slot, part) in enumerate(((self.active, 0.975), (-1, 0.025))):
                if slot is None:
                    continue
                self.owed[k] += found * part * rng.uniform(0.5, 1.5)
                while self.owed[k] >= 1:
                    self.owed[k] -= 1
                    roll = rng.random()
                    self.shares[slot][2 if roll < 0.003 else 1 if roll < 0.013 else 0] += 1

    def _advance(self, t):
        while self.second < int(t):
            self._step()

    def stats(self, t, scenario="normal"):
        """The "stats" reply at t seconds after start, with the daemon's two defects."""
        with self.lock:
            self._advance(t)
            mining = t >= self.warmup
            dead = {3} if scenario == "chain_missing" else set()
            live = [i for i, chain in enumerate(CHAINS) if chain not in dead]
            rates = [self.rates[i] * self.noise[i] if mining and i in live else 0.0
                     for i in range(len(CHAINS))]
            nominal = sum(self.rates[i] for i in live)
            avg = max(0.01, nominal * (t - self.warmup) / t) if mining and t > 0 else 0.0
            pcb = [min(75, max(40, round(v))) for v in self.pcb]
            chip = [min(75, max(40, round(v))) for v in self.chip]
            fans = [0, 0] if scenario == "fans_stopped" else [self._fan_rpm(v) for v in self.fans]
            s = {"STATS": 0, "ID": "L30", "Elapsed": int(t), "Calls": 0, "Wait": 0.0,
                 "Max": 0.0, "Min": INF,  # never set in the fake, so always printed as inf
                 "GHS 5s": f"{sum(rates):.2f}", "GHS av": round(avg, 2),
                 "state": "mining" if mining else "initializing",
                 "miner_count": len(CHAINS),
                 "fan_num": 2, "fan1": fans[0], "fan2": fans[1], "temp_num": len(CHAINS)}
            for i, chain in enumerate(CHAINS):
                freq = sum(self.freqs[i]) / CHIPS
                watts = (200 if mining else 60) * freq / DEFAULT_FREQ * self.noise[i]
                values = {"temp%d": pcb[i], "temp2_%d": chip[i], "chain_acn%d": CHIPS,
                          "chain_hw%d": self.hw[i], "freq_avg%d": round(freq, 2),
                          "voltage%d": self.volts[i], "consumption%d": round(watts, 1)}
                # A dead chain reads all zero, each member keeping its type (0 or 0.0).
                s.update({k % chain: v if i in live else type(v)(0) for k, v in values.items()})
                s[f"chain_rate{chain}"] = f"{rates[i]:.2f}"
                if i in live:  # one character per chip in blocks of 8; 'x' for a failing chip
                    acs = "".join("x" if chip_quality(chain, n) < 0.5 else "o"
                                  for n in range(1, CHIPS + 1))
                    s[f"chain_acs{chain}"] = " ".join(acs[k:k + 8] for k in range(0, CHIPS, 8))
            s["temp_max"] = max(pcb[i] for i in live) if live else 0
            version = {"BMMiner": "fake", "Miner": "fakeminer 1.0", "Type": "Antminer L3+"}
            if scenario == "huge":
                version["Padding"] = "." * 110_000
            status = [{"STATUS": "S", "When": int(time.time()), "Code": 70,
                       "Msg": "CGMiner stats", "Description": "fakeminer 1.0"}]
            return ('{"STATUS":' + dumps(status) + ',"STATS":[' + dumps(version) + dumps(s)
                    + '],"id":1}')

    def pools(self, t):
        """The "pools" reply: the user pools in their configured order, then the service-fee
        pool."""
        with self.lock:
            self._advance(t)
            rows = [(url, user, status, n, n == self.active, "16.4K" if status == "Alive" else "")
                    for n, (url, user, status) in enumerate(self.user_pools)]
            rows.append((FEE_POOL, "farm.l3plus", "Alive", 999, False, "65.5K"))
            pools = [{"POOL": n, "URL": url, "Status": status, "Priority": prio, "Quota": 1,
                      "Getworks": 0, "Accepted": acc, "Rejected": rej, "Discarded": 0,
                      "Stale": stale, "Get Failures": 0, "Remote Failures": 0,
                      "User": user, "Diff": diff, "Stratum Active": active,
                      "Stratum URL": url.split("//")[-1].split(":")[0] if active else ""}
                     for n, ((url, user, status, prio, active, diff), (acc, rej, stale))
                     in enumerate(zip(rows, self.shares))]
            status = [{"STATUS": "S", "When": int(time.time()), "Code": 7,
                       "Msg": f"{len(pools)} Pool(s)", "Description": "fakeminer 1.0"}]
            return dumps({"STATUS": status, "POOLS": pools, "id": 1})


class FakeMiner:
    """The daemon: a listening socket on 127.0.0.1 served by one thread, a thread per client."""

    def __init__(self, port=4028, root=None, scenario="normal", seed=None, warmup=5.0,
                 slow_secs=30.0, write_pid=False, proc_entry=False):
        self.port, self.root, self.base, self.slow_secs = port, root, scenario, slow_secs
        self.write_pid = write_pid and root is not None
        self.proc_entry = proc_entry and root is not None
        self.conf = read_conf(root)  # read once, as the daemon reads its file only at start
        self.sim = Sim(seed, warmup, settings_of(self.conf))
        self.wake = threading.Condition()  # signalled on a scenario change and on stop
        self.current = None          # last scenario the serving thread saw
        self.holding = 0             # clients whose reply is held back; guarded by wake
        self.stopping = threading.Event()
        self.listener = None
        self.thread = None
        self.started = None

    def _path(self, rel):
        return os.path.join(self.root, rel)

    def scenario(self):
        """The control file's name if it holds one, else the start scenario; read afresh."""
        name = ""
        if self.root:
            try:
                with open(self._path("var/run/fakeminer.scenario")) as f:
                    name = f.read().strip()
            except OSError:
                pass
        name = name or self.base
        return name if name in SCENARIOS else "normal"

    def set_scenario(self, name):
        assert name in SCENARIOS, name
        if not self.root:
            self.base = name
            return
        path = self._path("var/run/fakeminer.scenario")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".tmp", "w") as f:  # renamed so that a reader never sees half a name
            f.write(name + "\n")
        os.replace(path + ".tmp", path)

    def elapsed(self):
        return time.monotonic() - self.started

    def start(self):
        self._open()
        self.thread = threading.Thread(target=self._serve, name="fakeminer", daemon=True)
        self.thread.start()
        log(f"listening on 127.0.0.1:{self.port}, scenario {self.current}")
        return self

    def _open(self):
        """Listens, records the start and writes the pid file (the last thing: whoever waits
        for it finds the rest done)."""
        self.started = time.monotonic()
        self.current = self.scenario()
        if self.current != "down":
            self._listen()  # here, so that a port in use fails the start
        if self.root:
            self._record_start()
        if self.proc_entry:  # as ctl.sh makes it for a daemon of its own
            os.makedirs(self._path(f"proc/{os.getpid()}"), exist_ok=True)
            with open(self._path(f"proc/{os.getpid()}/comm"), "w") as f:
                f.write("cgminer\n")
            with open(self._path(f"proc/{os.getpid()}/cmdline"), "w") as f:
                f.write("cgminer\0--api-listen\0")
        if self.write_pid:
            with open(self._path("var/run/cgminer.pid"), "w") as f:
                f.write(f"{os.getpid()}\n")

    def _record_start(self):
        """One line per start with the settings read; written (and closed) before the pid file
        appears, so whoever waits for that file finds the line."""
        path = self._path("var/log/fakeminer-starts.log")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        line = json.dumps({"time": time.time(), "pid": os.getpid(), "settings": self.conf})
        with open(path, "a") as f:
            f.write(line + "\n")

    def stop(self):
        self.stopping.set()
        with self.wake:
            self.wake.notify_all()
        if self.thread:
            self.thread.join()
        self._unlisten()
        if self.proc_entry:
            shutil.rmtree(self._path(f"proc/{os.getpid()}"), ignore_errors=True)
        if self.write_pid:
            try:
                with open(self._path("var/run/cgminer.pid")) as f:
                    ours = f.read().strip() == str(os.getpid())
                if ours:
                    os.unlink(self._path("var/run/cgminer.pid"))
            except OSError:
                pass

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def _listen(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(("127.0.0.1", self.port))
            sock.listen(16)
        except OSError:
            sock.close()
            raise
        self.port = sock.getsockname()[1]
        self.listener = sock

    def _unlisten(self):
        if self.listener:
            self.listener.close()
            self.listener = None

    def _serve(self):
        while not self.stopping.is_set():
            name = self.scenario()
            if name != self.current:
                log(f"scenario {name}")
                with self.wake:
                    self.current = name
                    self.wake.notify_all()
            if name == "down" and self.listener:
                self._unlisten()
            elif name != "down" and not self.listener:
                try:
                    self._listen()
                except OSError as e:
                    log(f"cannot listen on port {self.port}: {e}")
            if not self.listener:
                self.stopping.wait(0.05)
                continue
            if select.select([self.listener], [], [], 0.05)[0]:
                try:
                    conn, _ = self.listener.accept()
                except OSError:  # the client gave up before it was accepted
                    continue
                threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _read_request(self, conn):
        conn.settimeout(10)  # a client that never completes its request only holds its thread
        data = b""
        while len(data) < 65536:
            try:
                return json.loads(data)
            except ValueError:
                pass
            try:
                chunk = conn.recv(4096)
            except OSError:
                return None
            if not chunk:
                return None
            data += chunk
        return None

    def _reply(self, request):
        command = request.get("command") if isinstance(request, dict) else None
        if command == "stats":
            return self.sim.stats(self.elapsed(), self.scenario())
        if command == "pools":
            return self.sim.pools(self.elapsed())
        return dumps({"STATUS": [{"STATUS": "E", "When": int(time.time()), "Code": 14,
                                  "Msg": "Invalid command", "Description": "fakeminer 1.0"}],
                      "id": 1})

    def _hold(self, name):
        """Holds a reply back: "slow" for slow_secs, "silent" until the scenario changes.
        True when the daemon stops meanwhile."""
        if name == "slow":
            return self.stopping.wait(self.slow_secs)
        while self.scenario() == "silent" and not self.stopping.is_set():
            with self.wake:
                self.wake.wait(0.1)
        return self.stopping.is_set()

    def _handle(self, conn):
        with conn:
            request = self._read_request(conn)
            if request is None:  # the agent's liveness probe connects and closes at once
                return
            name = self.scenario()
            log(f"request {json.dumps(request)}, scenario {name}")
            if name in ("silent", "slow"):
                with self.wake:
                    self.holding += 1
                try:
                    stopped = self._hold(name)
                finally:
                    with self.wake:
                        self.holding -= 1
                if stopped or name == "silent":
                    return
            if name == "empty":
                return
            if name == "garbage":
                data = b"\x15\x03\x01\x00\x02\xffSTATUS=S|not json {{ \xfe\xfd"
            else:
                data = self._reply(request).encode()
                if name == "cutoff":
                    data = data[:len(data) // 2]
            try:
                conn.sendall(data)
            except OSError:
                pass


def _parser():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", help="sandbox root (pid file, control file, cgminer.conf)")
    parser.add_argument("--port", type=int, default=4028)
    parser.add_argument("--scenario", choices=SCENARIOS, default="normal")
    parser.add_argument("--seed", type=int, help="makes the simulated picture repeatable")
    parser.add_argument("--warmup", type=float, default=5.0,
                        help="seconds of hash rate 0 after start (default 5)")
    parser.add_argument("--slow-secs", type=float, default=30.0,
                        help="delay of the \"slow\" scenario (default 30)")
    parser.add_argument("--write-chip-hr", metavar="FILE",
                        help="write the chip hash-rate file and exit")
    parser.add_argument("--fleet", metavar="FILE",
                        help="serve the daemon of every sandbox root listed in FILE (one a "
                        "line), controlled through the FIFO FILE.fifo")
    return parser


class Fleet:
    """Many daemons in one process: one FakeMiner per sandbox root, served by asyncio. Each
    starts as its root's ctl.sh would start it (options from DIR/etc/fakeminer.port and
    DIR/etc/fakeminer.args) and writes what that start leaves: the start log line, the
    DIR/proc entry and the pid file (this process's pid). The control FIFO, created once every
    listed daemon has started, takes lines "ACTION ANSWER DIR", ACTION being start, stop or
    restart, and answers "done" on the FIFO ANSWER once the action is (ctl.sh of a root made
    with make-root.sh --fleet writes them; a line is written atomically). Of
    the scenarios it serves those that change the reports (chain_missing, fans_stopped, huge);
    the others are the single daemon's."""

    def __init__(self, roots, fifo):
        self.roots, self.fifo = roots, fifo
        self.miners = {}   # root -> (FakeMiner, asyncio server)

    async def start(self, root):
        if root in self.miners:
            return
        try:
            with open(os.path.join(root, "etc/fakeminer.port")) as f:
                words = ["--root", root, "--port", f.read().strip()]
            if os.path.exists(os.path.join(root, "etc/fakeminer.args")):
                with open(os.path.join(root, "etc/fakeminer.args")) as f:
                    words += f.read().split()
        except OSError as e:
            log(f"{root}: {e}")
            return
        args = _parser().parse_args(words)
        miner = FakeMiner(args.port, root, args.scenario, args.seed, args.warmup,
                          args.slow_secs, write_pid=True, proc_entry=True)
        try:
            miner._open()
        except OSError as e:
            log(f"{root}: cannot listen on 127.0.0.1:{args.port}: {e}")
            return
        server = None
        if miner.listener:
            server = await asyncio.start_server(lambda r, w: self._handle(miner, r, w),
                                                sock=miner.listener)
        self.miners[root] = (miner, server)

    def stop(self, root):
        miner, server = self.miners.pop(root, (None, None))
        if server:
            server.close()
            miner.listener = None  # closed with the server
        if miner:
            miner.stop()

    @staticmethod
    async def _handle(miner, reader, writer):
        data = b""
        try:
            while len(data) < 65536:
                try:
                    request = json.loads(data)
                    break
                except ValueError:
                    pass
                chunk = await asyncio.wait_for(reader.read(4096), 10)
                if not chunk:  # the agent's liveness probe connects and closes at once
                    return
                data += chunk
            else:
                return
            writer.write(miner._reply(request).encode())
            await writer.drain()
        except (OSError, asyncio.TimeoutError):
            pass
        finally:
            writer.close()

    async def run(self):
        # A listening socket per root and one per connection: all the descriptors it may have.
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        loop = asyncio.get_running_loop()
        done = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, done.set)
        for root in self.roots:
            await self.start(root)
        log(f"serving {len(self.miners)} daemons, control FIFO {self.fifo}")
        os.mkfifo(self.fifo)
        # Opened for writing too, so that the FIFO never reads end-of-file between writers.
        fd = os.open(self.fifo, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
        lines = asyncio.Queue()  # handled in order: a root's stop ends before its start
        pending = b""

        def readable():
            nonlocal pending
            try:
                pending += os.read(fd, 65536)
            except BlockingIOError:
                return
            *whole, pending = pending.split(b"\n")
            for line in whole:
                lines.put_nowait(line.decode(errors="replace"))

        async def obey():
            while True:
                words = (await lines.get()).split(" ", 2)
                if len(words) != 3:
                    continue
                action, answer, root = words
                if action in ("stop", "restart"):
                    self.stop(root)
                if action in ("start", "restart"):
                    await self.start(root)
                try:  # the caller may have given up, and its FIFO be gone or unread
                    with os.fdopen(os.open(answer, os.O_WRONLY | os.O_NONBLOCK), "wb") as f:
                        f.write(b"done\n")
                except OSError:
                    pass
        loop.add_reader(fd, readable)
        worker = asyncio.create_task(obey())
        try:
            await done.wait()
        finally:
            worker.cancel()
            loop.remove_reader(fd)
            os.close(fd)
            os.unlink(self.fifo)
            for root in list(self.miners):
                self.stop(root)
        log("stopped")


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.write_chip_hr:
        write_chip_hr(args.write_chip_hr, load_settings(args.root).freqs)
        return 0
    if args.fleet:
        with open(args.fleet) as f:
            roots = [line.strip() for line in f if line.strip()]
        asyncio.run(Fleet(roots, args.fleet + ".fifo").run())
        return 0

    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    miner = FakeMiner(args.port, args.root, args.scenario, args.seed, args.warmup,
                      args.slow_secs, write_pid=True)
    try:
        miner.start()
    except OSError as e:
        log(f"cannot listen on 127.0.0.1:{args.port}: {e}")
        return 1
    while not done.wait(0.5):
        pass
    miner.stop()
    log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
