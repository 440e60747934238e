"""Tests of the simulated mining daemon, read the way the agent reads it."""
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import fakeminer  # noqa: E402


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.02)
    return value


def exchange(port, command="stats", timeout=5):
    """One request as the agent makes it: send, then read until the daemon closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(json.dumps({"command": command}).encode())
        return b"".join(iter(lambda: s.recv(65536), b""))


def stats_of(raw):
    """The second "STATS" object, after the agent's two repairs of the daemon's text."""
    text = raw.decode("utf-8", "replace").split("\0")[0]
    return json.loads(text.replace("}{", "},{").replace(":inf", ":0"))["STATS"][1]


SCENARIOS = [  # (scenario, members of its "stats" reply)
    ("normal", {"chain_acn3": 72, "miner_count": 4, "fan_num": 2}),
    ("chain_missing", {"chain_acn3": 0, "chain_rate3": "0.00", "temp2_3": 0, "chain_acn4": 72}),
    ("fans_stopped", {"fan_num": 2, "fan1": 0, "fan2": 0, "chain_acn3": 72}),
]


def test_replies_as_the_agent_reads_them():
    sim = fakeminer.Sim(seed=7, warmup=5)
    raw = sim.stats(0).encode()
    assert b"}{" in raw and b":inf" in raw
    with pytest.raises(ValueError):
        json.loads(raw)
    picture = [stats_of(raw)] + [stats_of(sim.stats(t).encode()) for t in range(5, 3600, 5)]
    assert (picture[0]["state"], picture[0]["GHS 5s"], picture[1]["state"]) == (
        "initializing", "0.00", "mining")
    assert [stats_of(fakeminer.Sim(seed=n, warmup=5).stats(3595).encode()) == picture[-1]
            for n in (7, 8)] == [True, False]  # repeatable per seed
    ints = ["Elapsed", "temp_max", "miner_count", "fan_num", "fan1", "fan2"] + [
        f + n for f in ("chain_acn", "temp", "temp2_", "chain_hw", "voltage") for n in "1234"]
    for before, s in zip(picture[3:], picture[4:]):  # caught up: about 0.5 GH/s, no spike
        assert 480 < float(s["GHS 5s"]) < 530 and float(s["GHS 5s"]) < 2 * s["GHS av"]
        assert [name for name in ints if type(s[name]) is not int] == []
        assert (type(s["GHS av"]), type(s["freq_avg1"]), s["miner_count"]) == (float, float, 4)
        assert all(40 <= s[f"temp{n}"] <= 75 and s[f"chain_acn{n}"] == 72 for n in range(1, 5))
        assert all(abs(s[f"temp2_{n}"] - before[f"temp2_{n}"]) <= 4 for n in range(1, 5))
        assert [len(b) for b in s["chain_acs1"].split(" ")] == [8] * 9
        assert 4000 <= s["fan1"] <= 6000 and 4000 <= s["fan2"] <= 6000
    assert 0 < sum(picture[-1][f"chain_hw{n}"] for n in range(1, 5)) < 200

    for scenario, expected in SCENARIOS:  # the reply's content under the daemon's faults
        s = stats_of(sim.stats(3600, scenario).encode())
        assert {k: s[k] for k in expected} == expected, scenario
        rates = [float(s[f"chain_rate{n}"]) for n in range(1, 5)]
        assert sum(rates) == pytest.approx(float(s["GHS 5s"]), abs=0.05), scenario
    pools = json.loads(sim.pools(3600))["POOLS"]  # the user pools, then the fee pool's
    assert {(type(p["URL"]), type(p["Diff"]), type(p["Priority"]), type(p["Stale"]))
            for p in pools} == {(str, str, int, int)}
    assert pools[0]["Accepted"] > 10 * pools[3]["Accepted"] > 0


def test_init_script_runs_the_file_read_at_each_start(tmp_path):
    conffile, pidfile = tmp_path / "config/cgminer.conf", tmp_path / "var/run/cgminer.pid"
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    subprocess.run([HERE.parents[1] / "sandbox/make-root.sh", tmp_path, "lo", str(port)],
                   check=True, stdout=subprocess.DEVNULL)
    (tmp_path / "etc/fakeminer.args").write_text("--warmup 0 --seed 1\n")
    init, fee = tmp_path / "etc/init.d/cgminer.sh", (fakeminer.FEE_POOL, "farm.l3plus")

    def start(action):
        """The new daemon's pid, its settings on record, its "stats" and its pools."""
        subprocess.run([init, action], check=True, timeout=20)
        log = (tmp_path / "var/log/fakeminer-starts.log").read_text().splitlines()
        pid, last = int(pidfile.read_text()), json.loads(log[-1])
        assert last["pid"] == pid and last["time"] >= json.loads(log[0])["time"]
        pools = [(p["URL"], p["User"]) for p in json.loads(exchange(port, "pools"))["POOLS"]]
        return pid, last["settings"], stats_of(exchange(port)), pools

    try:
        conf = json.loads(conffile.read_text())  # the sandbox's: chain 2 at its own settings
        first, read, s, pools = start("start")
        assert read == conf and pools == [(p["url"], p["user"]) for p in conf["pools"]] + [fee]
        assert (s["freq_avg1"], s["freq_avg2"], s["voltage1"], s["voltage2"]) == (
            384.0, round((70 * 396 + 400 + 420) / 72, 2), 8, 9)
        # The daemon runs what the file held at its start: a new file counts from the restart.
        conf.update({"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "70",
                     "pools": [{"url": "stratum+tcp://new.example:3333", "user": "w.1",
                                "pass": "x"}, {"url": "", "user": "", "pass": ""}]})
        conffile.write_text(json.dumps(conf))
        assert json.loads(exchange(port, "pools"))["POOLS"][0]["URL"] == pools[0][0]
        second, read, s, pools = start("restart")
        assert second != first and read == conf and s["Elapsed"] == 0
        assert abs(s["fan1"] - 4200) < 60 and abs(s["fan2"] - 4200) < 60  # 70 % of 6000 rpm
        assert pools == [("stratum+tcp://new.example:3333", "w.1"), ("", ""), fee]
        conffile.write_text('{"pools": [')  # unreadable: the defaults, and null on record
        third, read, s, pools = start("restart")
        assert (read, s["freq_avg2"]) == (None, 384.0)
        assert pools == list(fakeminer.DEFAULT_POOLS) + [fee]
        os.kill(third, signal.SIGTERM)
        wait_until(lambda: not pidfile.exists(), 5, "the daemon to remove its pid file")
    finally:
        subprocess.run([init, "stop"])
