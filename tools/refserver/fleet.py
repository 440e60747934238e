"""What the reference server knows about each agent, for the live page.

`Fleet.fold` takes the server's records (RefServer's on_event) and keeps one `Agent` per
device: identity, connection and authentication, the latest status and metrics, 30 minutes
of chart samples, the last configuration upload, the last chip picture and the commands sent
with their replies. The view also names the settings in which the running daemon, as the
agent reports it, contradicts the last upload (`differs`): the daemon reads its file only when
it starts, so an edit shows there until the daemon restarts. Agents send whatever they send:
every value read from a message is checked for its type here, so a malformed message shows
what it can and never raises.
`Fleet.changes` hands the views of changed agents to the page's event stream: every view, or
the selected agent's and the list's rows of the others; `Fleet.summary` counts the fleet.
"""

import itertools
import json
import math
import threading
from collections import Counter, deque
from dataclasses import dataclass, field
from typing import Optional

HISTORY_SECS = 30 * 60
CHAIN_IDS = ("1", "2", "3", "4")
# Server commands; a sent one is tracked until the agent answers it.
COMMANDS = ("reboot", "logs", "start_mining", "stop_mining", "chip_metrics", "update_firmware",
            "config", "config_network", "config_pools", "config_web_access", "config_fans",
            "config_watchdog", "config_perf", "config_autotuner", "config_chain")
NO_REPLY = ("config", "update_firmware")
MAX_AGENTS = 2000  # beyond it, the agents whose connection closed longest ago are forgotten
MAX_EXCHANGES = 30
MAX_ODDITIES = 20
MAX_DEPTH = 32


def num(value):
    """A finite JSON number, else None (bools and NaN/Infinity are not numbers here)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return value if math.isfinite(value) else None


def text(value):
    return value if isinstance(value, str) else None


def obj(value):
    return value if isinstance(value, dict) else {}


def seq(value):
    return value if isinstance(value, list) else []


def clean(value, depth=0):
    """A copy that encodes as strict JSON: non-finite numbers become None, deep nesting is cut."""
    if depth >= MAX_DEPTH:
        return None
    if isinstance(value, dict):
        return {str(k): clean(v, depth + 1) for k, v in value.items()}
    if isinstance(value, list):
        return [clean(v, depth + 1) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def pick(source, fields):
    """{key: checked value} for the (key, checker) pairs of fields, from an object or anything."""
    source = obj(source)
    return {key: check(source.get(key)) for key, check in fields}


FAN = (("id", text), ("speed", num), ("rpm", num))
CHAIN = (("id", text), ("num_chips", num), ("hash_rate", num), ("freq", num), ("volt", num),
         ("watt", num), ("hw_errors", num), ("chip_temp", num), ("pcb_temp", num))
TOTALS = (("hash_rate", num), ("hashrate_avg", num), ("freq", num), ("temp", num),
          ("watt", num), ("hw_errors", num))
POOL = (("boost", lambda v: v if isinstance(v, bool) else None), ("difficulty", text),
        ("accepted", num), ("rejected", num), ("stale", num), ("status", text))
LIVE_NET = (("ip", text), ("netmask", text), ("gateway", text), ("mac", text))
CHIP = (("id", text), ("hr", num), ("freq", num), ("state", text),
        ("custom_freq", lambda v: v is True))
# Chart series per chain: name -> member of the chain object.
PER_CHAIN = {"chain_hr": "hash_rate", "chip_temp": "chip_temp", "pcb_temp": "pcb_temp"}
USER_POOL_SLOTS = ("main", "reserved", "reserved2")
# Daemon states in which its reports are current: it answers and the metrics keep coming.
DAEMON_RUNNING = ("mining", "autotuning")
# What the page's agent list shows of an agent that is not selected.
ROW = ("key", "conn", "connected", "close_code", "model", "firmware", "auth", "state", "uptime",
       "last_msg", "received")
# Fans at one manual duty cycle: the agent reports whole percents of full speed, and two fans
# at the same setting never turn quite alike.
FAN_TOLERANCE = 2


@dataclass
class Agent:
    key: str
    conn: int
    connected: bool = True
    close_code: Optional[int] = None
    device_id: Optional[str] = None
    model: Optional[str] = None
    firmware: Optional[str] = None
    auth: str = "no auth sent"
    state: Optional[str] = None
    uptime: Optional[float] = None
    last_msg: Optional[float] = None
    received: int = 0
    metrics: dict = field(default_factory=dict)
    samples: deque = field(default_factory=deque)  # (wall, {series: value or [4 values]})
    pools: list = field(default_factory=list)
    daemon_slots: Optional[list] = None  # user pool slots of the last status; None: no list
    network_live: dict = field(default_factory=dict)
    config: dict = field(default_factory=dict)
    config_time: Optional[float] = None
    chips: dict = field(default_factory=dict)
    exchanges: deque = field(default_factory=lambda: deque(maxlen=MAX_EXCHANGES))
    oddities: deque = field(default_factory=lambda: deque(maxlen=MAX_ODDITIES))
    version: int = 0


class Fleet:
    def __init__(self):
        self.agents: dict = {}  # key -> Agent
        self._conn_key: dict = {}  # connection number -> agent key
        self._cond = threading.Condition()
        self._version = 0
        self._closed = False
        self._ids = itertools.count(1)

    # ---- folding records (server thread) --------------------------------

    def fold(self, kind, item):
        """RefServer's on_event: kind "open", "close", "recv" or "sent"."""
        with self._cond:
            agent = self._fold(kind, item)
            if agent is not None:
                self._version += 1
                agent.version = self._version
                self._cond.notify_all()

    def _fold(self, kind, item):
        if kind == "open":
            agent = Agent(key=f"connection #{item.conn}", conn=item.conn, last_msg=item.wall)
            self.agents[agent.key] = agent
            self._prune()
            return agent
        agent = self.agents.get(self._conn_key.get(item.conn))
        if agent is None or agent.conn != item.conn:
            return None  # a record of a connection that a newer one of its device replaced
        if kind == "close":
            agent.connected, agent.close_code = False, item.code
            for ex in agent.exchanges:
                if ex["reply"] is None and ex["state"] == "pending":
                    ex["state"] = "no reply: connection closed"
        elif kind == "sent":
            self._sent(agent, item)
        else:
            agent = self._received(agent, item)
        return agent

    def _prune(self):
        closed = sorted((a for a in self.agents.values() if not a.connected),
                        key=lambda a: a.last_msg)
        for agent in closed[:max(0, len(self.agents) - MAX_AGENTS)]:
            del self.agents[agent.key]
        self._conn_key = {a.conn: a.key for a in self.agents.values()}

    def _sent(self, agent, rec):
        msg = obj(rec.json)
        kind = msg.get("type")
        if kind == "auth":
            if msg.get("ok") is not True:
                agent.auth = "rejected: " + str(text(msg.get("message")) or "")
            else:
                agent.auth = "registering" if msg.get("registration") is True else "authenticated"
        elif kind == "update_config" and agent.auth == "registering":
            agent.auth = "authenticated"
        elif kind in COMMANDS:
            agent.exchanges.append({
                "id": next(self._ids), "time": rec.wall, "type": kind, "request": clean(msg),
                "request_id": text(msg.get("request_id")), "reply": None,
                "state": "sent, no reply expected" if kind in NO_REPLY else "pending"})

    def _received(self, agent, rec):
        agent.received += 1
        agent.last_msg = rec.wall
        msg = rec.json
        if not isinstance(msg, dict):
            return self._odd(agent, rec, "not a JSON object")
        kind = msg.get("type")
        if not isinstance(kind, str):
            return self._odd(agent, rec, "no text \"type\"")
        if kind == "auth":
            return self._authenticating(agent, msg)
        if kind == "status":
            self._status(agent, msg)
        elif kind == "metrics":
            self._metrics(agent, msg, rec.wall)
        elif kind == "update_config":
            agent.config.update(clean(msg))  # a partial upload ("chains" only) replaces its part
            agent.config.pop("type", None)
            agent.config_time = rec.wall
        elif not self._reply(agent, kind, msg, rec.wall):
            self._odd(agent, rec, f"unexpected \"{kind}\"")
        return agent

    def _odd(self, agent, rec, what):
        body = rec.text if isinstance(rec.text, str) else repr(rec.text)
        agent.oddities.append({"time": rec.wall, "what": what, "text": body[:300]})
        return agent

    def _authenticating(self, agent, msg):
        agent.auth = "awaiting reply"
        agent.model = text(msg.get("model"))
        agent.firmware = _firmware(msg)
        device = text(msg.get("device_id"))
        if not device or device == agent.key:
            return agent
        # The device is known under its id from now on, across reconnects.
        del self.agents[agent.key]
        known = self.agents.get(device)
        if known is not None:
            known.conn, known.connected, known.close_code = agent.conn, True, None
            known.auth, known.model, known.firmware = agent.auth, agent.model, agent.firmware
            known.received += agent.received
            known.last_msg = agent.last_msg
            known.oddities.extend(agent.oddities)
            agent = known
        agent.key = agent.device_id = device
        self.agents[device] = agent
        self._conn_key[agent.conn] = device
        return agent

    def _status(self, agent, msg):
        agent.state = text(obj(msg.get("state")).get("name"))
        agent.uptime = num(msg.get("uptime"))
        if "firmware_id" in msg or "firmware_ver" in msg:
            agent.firmware = _firmware(msg)
        net = obj(msg.get("network"))
        agent.network_live = pick(net, LIVE_NET)
        agent.network_live["dnsservers"] = [t for t in seq(net.get("dnsservers")) if text(t)]
        pools = obj(msg.get("pools"))
        rows = [(slot, pools.get(slot)) for slot in USER_POOL_SLOTS]
        rows += [(f"service fee {n}", p) for n, p in enumerate(seq(pools.get("service_fee")), 1)]
        agent.pools = [dict(pick(p, POOL), slot=slot) for slot, p in rows if isinstance(p, dict)]
        # Without the daemon's pool list no slot can be compared (not "none configured").
        agent.daemon_slots = sorted(s for s, p in rows if s in USER_POOL_SLOTS
                                    and isinstance(p, dict)) if pools else None

    def _metrics(self, agent, msg, wall):
        chains = {c["id"]: c for c in (pick(c, CHAIN) for c in seq(msg.get("chains")))
                  if c["id"] in CHAIN_IDS}
        agent.metrics = pick(msg, TOTALS)
        agent.metrics["fans"] = [pick(f, FAN) for f in seq(msg.get("fans"))]
        agent.metrics["chains"] = [chains.get(i, {"id": i}) for i in CHAIN_IDS]
        per_chain = {name: [chains.get(i, {}).get(key) for i in CHAIN_IDS]
                     for name, key in PER_CHAIN.items()}
        agent.samples.append((wall, dict(per_chain, hash_rate=agent.metrics["hash_rate"],
                                         hashrate_avg=agent.metrics["hashrate_avg"])))
        while agent.samples and agent.samples[0][0] < wall - HISTORY_SECS:
            agent.samples.popleft()

    def _reply(self, agent, kind, msg, wall):
        """Attaches an answer to the command it answers; False when none is waiting."""
        asked = "logs" if kind == "get_logs" else kind
        if asked not in COMMANDS:
            return False
        rid = text(msg.get("request_id"))
        waiting = [ex for ex in agent.exchanges if ex["type"] == asked and ex["reply"] is None
                   and ex["state"] != "sent, no reply expected"]
        match = next((ex for ex in waiting if rid is not None and ex["request_id"] == rid),
                     waiting[0] if waiting and rid is None else None)
        if match is None:
            return False
        match["reply"], match["reply_time"] = clean(msg), wall
        match["state"] = "failed" if msg.get("ok") is False else "answered"
        if kind == "chip_metrics" and msg.get("ok") is not False:
            agent.chips = {"chain_id": text(msg.get("chain_id")), "time": wall,
                           "chips": [pick(c, CHIP) for c in seq(msg.get("chips"))]}
        return True

    # ---- reading (page threads) -----------------------------------------

    def live_conn(self, key):
        """(connection number, device id) of the agent's live connection, or None."""
        with self._cond:
            agent = self.agents.get(key) if isinstance(key, str) else None
            return (agent.conn, agent.device_id) if agent and agent.connected else None

    def view(self, agent):
        series = {"time": [t for t, _ in agent.samples]}
        for name in ("hash_rate", "hashrate_avg"):
            series[name] = [s[name] for _, s in agent.samples]
        for name in PER_CHAIN:
            series[name] = [[s[name][i] for _, s in agent.samples] for i in range(len(CHAIN_IDS))]
        skip = ("samples", "exchanges", "oddities", "version", "daemon_slots")
        view = {k: v for k, v in vars(agent).items() if k not in skip}
        return dict(view, series=series, exchanges=list(agent.exchanges),
                    oddities=list(agent.oddities), differs=_differs(agent))

    def row(self, agent):
        return dict({k: getattr(agent, k) for k in ROW}, differs=_differs(agent))

    def changes(self, since, timeout, selected=None):
        """(version, [views of agents changed after version `since`], keys); waits up to
        timeout for a change. With `selected` (a key), only that agent's view is whole, the
        others' are their list rows. None once the fleet is closed."""
        with self._cond:
            self._cond.wait_for(lambda: self._closed or self._version > since, timeout)
            if self._closed:
                return None
            changed = [a for a in self.agents.values() if a.version > since]
            return self._version, [self.view(a) if selected is None or a.key == selected
                                   else self.row(a) for a in changed], list(self.agents)

    def summary(self):
        """Agents by connection, by authentication and by miner state; the total hash rate of
        the connected ones."""
        with self._cond:
            live = [a for a in self.agents.values() if a.connected]
            count = lambda values: dict(Counter(str(v) for v in values))  # noqa: E731
            return {"agents": len(self.agents), "connected": len(live),
                    "auth": count(a.auth for a in live),
                    "state": count(a.state for a in live),
                    "hash_rate": sum(num(a.metrics.get("hash_rate")) or 0 for a in live)}

    def close(self):
        with self._cond:
            self._closed = True
            self._cond.notify_all()


def _differs(agent):
    """The sections of the last upload ("pools", "fans") that the daemon's reports contradict.
    Only what the reports carry is compared: the pool slots in use (not their URLs), and the
    fan speeds under a manual setting (automatic control may run at any speed)."""
    if not agent.connected or agent.state not in DAEMON_RUNNING:
        return []
    found = []
    filed = agent.config.get("pools")
    if isinstance(filed, dict) and agent.daemon_slots is not None:
        # The agent leaves out a slot whose URL is too short to be one, as the daemon does.
        slots = sorted(s for s, p in filed.items()
                       if len(text(obj(p).get("stratum_url")) or "") >= 3)
        if slots != agent.daemon_slots:
            found.append("pools")
    fans = obj(agent.config.get("fans"))
    speeds = [f["speed"] for f in agent.metrics.get("fans", []) if f["speed"] is not None]
    speed = num(fans.get("speed"))
    if fans.get("mode") == "manual" and speed is not None and speeds:
        if any(abs(s - speed) > FAN_TOLERANCE for s in speeds):
            found.append("fans")
    return found


def _firmware(msg):
    return " ".join(t for t in (text(msg.get("firmware_id")), text(msg.get("firmware_ver")))
                    if t) or None


def encode(value):
    """Strict JSON for the page (JSON.parse refuses NaN)."""
    return json.dumps(value, allow_nan=False, separators=(",", ":"))
