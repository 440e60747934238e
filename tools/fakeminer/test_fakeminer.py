"""Tests of the simulated mining daemon, read the way the agent reads it."""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
import fakeminer  # noqa: E402

INTS = ["Elapsed", "temp_max", "miner_count", "fan_num", "fan1", "fan2"]
CHAIN_INTS = ["chain_acn%d", "temp%d", "temp2_%d", "chain_hw%d", "voltage%d"]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.02)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, command="stats", timeout=5):
    """One request as the agent makes it: send, then read until the daemon closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(json.dumps({"command": command}).encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        return data


def repair(raw):
    """The agent's two repairs of the daemon's text."""
    return raw.decode("utf-8", "replace").split("\0")[0].replace("}{", "},{").replace(":inf", ":0")


def stats_of(raw):
    reply = json.loads(repair(raw))
    assert len(reply["STATS"]) == 2
    return reply["STATS"][1]


def hashrate(stats):
    """The agent's recent hash rate in GH/s, spike rule included."""
    recent, avg = float(stats["GHS 5s"]) / 1000, stats["GHS av"] / 1000
    return avg if recent > 2 * avg else recent


def refuses(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


@pytest.fixture
def miner(tmp_path):
    started = []

    def start(**kwargs):
        options = dict(port=0, root=str(tmp_path), seed=1, warmup=0, slow_secs=2)
        options.update(kwargs)
        started.append(fakeminer.FakeMiner(**options).start())
        return started[-1]

    yield start
    for m in started:
        m.stop()


def test_stats_reply_has_the_defects_and_every_member(miner):
    raw = exchange(miner().port)
    assert b"}{" in raw and b":inf" in raw
    with pytest.raises(ValueError):
        json.loads(raw)
    reply = json.loads(repair(raw))
    assert reply["STATUS"][0]["STATUS"] == "S"
    s = stats_of(raw)
    for name in INTS + [f % n for f in CHAIN_INTS for n in range(1, 5)]:
        assert type(s[name]) is int, name
    assert type(s["GHS av"]) is float and type(s["state"]) is str
    assert s["miner_count"] == 4 and s["fan_num"] == 2
    for n in range(1, 5):
        assert type(s[f"freq_avg{n}"]) is float and s[f"freq_avg{n}"] == 384.0
        assert type(s[f"consumption{n}"]) in (int, float)
        assert s[f"chain_acn{n}"] == 72 and 40 <= s[f"temp{n}"] <= 75
        blocks = s[f"chain_acs{n}"].split(" ")
        assert [len(b) for b in blocks] == [8] * 9 and set("".join(blocks)) <= set("ox-")
    rates = [float(s[f"chain_rate{n}"]) for n in range(1, 5)]
    assert sum(rates) == pytest.approx(float(s["GHS 5s"]), abs=0.05)
    assert 450 < float(s["GHS 5s"]) < 560  # MH/s, an L3+
    assert 4000 <= s["fan1"] <= 6000 and 4000 <= s["fan2"] <= 6000


def test_pools_reply(miner):
    pools = json.loads(exchange(miner().port, "pools"))["POOLS"]
    for p in pools:
        assert {type(p[k]) for k in ("URL", "Status", "Diff")} == {str}
        assert {type(p[k]) for k in ("Priority", "Accepted", "Rejected", "Stale")} == {int}
        assert type(p["Stratum Active"]) is bool and p["Status"] in ("Alive", "Dead")
    user, fee = pools[:3], pools[3:]
    assert [p["Priority"] for p in user] == [0, 1, 2]
    assert [p["Stratum Active"] for p in user] == [True, False, False]
    assert [p["Status"] for p in user] == ["Alive", "Alive", "Dead"]
    assert len(fee) == 1 and fee[0]["Priority"] >= 900 and fee[0]["URL"].startswith("DevFee")

    later = json.loads(fakeminer.Sim(seed=1, warmup=0).pools(600))["POOLS"]
    main, fee = later[0], later[3]
    assert main["Accepted"] > 100 and main["Rejected"] + main["Stale"] < main["Accepted"] / 20
    assert 0 < fee["Accepted"] < main["Accepted"] / 10


def test_warmup_reads_initializing_then_mining(miner):
    m = miner(warmup=0.5)
    s = stats_of(exchange(m.port))
    assert s["Elapsed"] == 0 and s["state"] == "initializing"
    assert hashrate(s) == 0 and all(float(s[f"chain_rate{n}"]) == 0 for n in range(1, 5))

    def mining():
        s = stats_of(exchange(m.port))
        return s if hashrate(s) > 0 else None

    assert wait_until(mining, 5, "a hash rate after the warm-up")["state"] == "mining"


def test_picture_is_repeatable_per_seed_and_varies_slowly():
    def series(seed):
        sim = fakeminer.Sim(seed=seed, warmup=5)
        return [stats_of(sim.stats(t).encode()) for t in range(0, 3600, 5)]

    a, b = series(7), series(7)
    assert a == b and a != series(8)
    for t, (before, s) in enumerate(zip(a, a[1:]), 1):
        assert s["Elapsed"] == 5 * t
        for n in range(1, 5):
            for name in (f"temp{n}", f"temp2_{n}"):
                assert 40 <= s[name] <= 75 and abs(s[name] - before[name]) <= 4, (t, name)
            assert s[f"chain_hw{n}"] >= before[f"chain_hw{n}"]
        if s["Elapsed"] >= 20:  # the average has caught up: no spike cut, about 0.5 GH/s
            assert hashrate(s) == float(s["GHS 5s"]) / 1000
            assert 0.48 < hashrate(s) < 0.53
    assert 0 < sum(a[-1][f"chain_hw{n}"] for n in range(1, 5)) < 200


def test_chip_rates_follow_the_configuration(tmp_path):
    def grades(freqs):
        path = tmp_path / "chip_hr.json"
        fakeminer.write_chip_hr(path, freqs)
        chiphr = json.loads(path.read_text())["chiphr"]
        assert [sorted(c) for c in chiphr] == [[f"Asic{n:02d}" for n in range(72)]] * 4
        found = {}
        for pos, chain in enumerate(chiphr):  # the agent's grading of a chip
            for n in range(72):
                rate = float(chain[f"Asic{n:02d}"])
                r = rate / (freqs[pos][n] / 222.0)
                grade = ("unknown" if rate == 0 else "fast" if 0.85 <= r < 2.5
                         else "slow" if 0.5 <= r < 0.85 else "unstable")
                if grade != "fast":
                    found[(pos + 1, n + 1)] = grade
        return found, sum(float(v) for v in chiphr[0].values())

    odd = {(2, 17): "slow", (2, 50): "slow", (3, 5): "unstable", (3, 40): "unknown",
           (4, 72): "unstable"}
    found, chain1 = grades(fakeminer.load_settings(None)[0])
    assert found == odd and chain1 == pytest.approx(126, abs=1.5)

    chips = ["300"] + ["0"] * 287
    (tmp_path / "config").mkdir()
    (tmp_path / "config/cgminer.conf").write_text(json.dumps({
        "bitmain-freq": "450", "bitmain-freq2": "500", "bitmain-voltage": "9",
        "bitmain-voltage3": "10", "bitmain-chip-freq": ":".join(chips)}))
    settings = fakeminer.load_settings(str(tmp_path))
    assert grades(settings.freqs)[0] == odd and settings.volts == [9, 9, 10, 9]
    s = stats_of(fakeminer.Sim(1, 0, settings).stats(60).encode())
    assert s["freq_avg1"] == round((71 * 450 + 300) / 72, 2) and s["freq_avg2"] == 500.0
    assert s["voltage3"] == 10 and float(s["chain_rate2"]) > 126 * 500 / 384 * 0.97


@pytest.mark.parametrize("scenario", ["garbage", "cutoff", "empty"])
def test_broken_replies_do_not_parse(miner, scenario):
    raw = exchange(miner(scenario=scenario).port)
    assert (raw == b"") == (scenario == "empty")
    with pytest.raises(ValueError):
        json.loads(repair(raw))


def test_down_refuses_until_the_scenario_changes(miner, tmp_path):
    m = miner(scenario="down")
    assert refuses(m.port)
    m.set_scenario("normal")
    wait_until(lambda: not refuses(m.port), 5, "the daemon to listen again")
    assert stats_of(exchange(m.port))["miner_count"] == 4
    (tmp_path / "var/run/fakeminer.scenario").write_text("down\n")
    wait_until(lambda: refuses(m.port), 5, "the daemon to stop listening")


def test_chain_missing_fans_stopped_and_huge(miner):
    m = miner(scenario="chain_missing")
    s = stats_of(exchange(m.port))
    assert (s["chain_acn3"], s["chain_rate3"], s["temp2_3"]) == (0, "0.00", 0)
    assert "chain_acs3" not in s and s["chain_acn4"] == 72
    assert 360 < float(s["GHS 5s"]) < 400
    m.set_scenario("fans_stopped")
    s = stats_of(exchange(m.port))
    assert (s["fan_num"], s["fan1"], s["fan2"]) == (2, 0, 0) and s["chain_acn3"] == 72
    m.set_scenario("huge")
    raw = exchange(m.port)
    assert len(raw) > 100_000 and stats_of(raw)["miner_count"] == 4


def test_slow_and_hung_clients_do_not_block_others(miner):
    m = miner(scenario="slow", slow_secs=2)
    hung = socket.create_connection(("127.0.0.1", m.port))  # never sends its request
    slow = {}
    thread = threading.Thread(target=lambda: slow.update(raw=exchange(m.port, timeout=10)))
    thread.start()
    wait_until(lambda: m.holding == 1, 5, "the slow request to be held")
    m.set_scenario("normal")
    assert stats_of(exchange(m.port, timeout=1.5))["miner_count"] == 4
    assert thread.is_alive(), "the slow reply came before the quick one"
    thread.join(10)
    assert stats_of(slow["raw"])["miner_count"] == 4
    hung.close()


def test_silent_closes_when_the_scenario_changes(miner):
    m = miner(scenario="silent")
    with socket.create_connection(("127.0.0.1", m.port), timeout=5) as s:
        s.sendall(b'{"command": "stats"}')
        wait_until(lambda: m.holding == 1, 5, "the request to be held")
        m.set_scenario("normal")
        assert s.recv(1) == b""
    assert m.holding == 0


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def test_init_script_starts_restarts_and_stops_the_daemon(tmp_path):
    root, port = tmp_path / "root", free_port()
    subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", str(port)], check=True,
                   stdout=subprocess.DEVNULL)
    (root / "etc/fakeminer.args").write_text("--warmup 0 --seed 1\n")
    pidfile, env = root / "var/run/cgminer.pid", dict(os.environ, PATH=f"{root}/bin:/usr/bin:/bin")
    conffile, fee = root / "config/cgminer.conf", (fakeminer.FEE_POOL, "farm.l3plus")

    def starts():
        """(pid, settings) of each start on record; each line carries its time."""
        lines = [json.loads(line) for line in
                 (root / "var/log/fakeminer-starts.log").read_text().splitlines()]
        assert all(type(line["time"]) is float for line in lines)
        assert [line["time"] for line in lines] == sorted(line["time"] for line in lines)
        return [(line["pid"], line["settings"]) for line in lines]

    def pools():
        return [(p["URL"], p["User"]) for p in json.loads(exchange(port, "pools"))["POOLS"]]

    def run(*command):
        return subprocess.run([str(root / command[0].lstrip("/")), *command[1:]], timeout=20,
                              capture_output=True, text=True, env=env)

    def pidof():
        done = subprocess.run(["pidof", "-s", "cgminer"], capture_output=True, text=True, env=env)
        return done.stdout.strip() if done.returncode == 0 else None

    try:
        assert pidof() is None and refuses(port)
        run("/etc/init.d/cgminer.sh", "start")
        first = pidfile.read_text().strip()
        assert pidof() == first and stats_of(exchange(port))["miner_count"] == 4
        conf = json.loads(conffile.read_text())
        assert (conf["bitmain-fan-ctrl"], starts()) == (False, [(int(first), conf)])
        assert pools() == [(p["url"], p["user"]) for p in conf["pools"]] + [fee]
        run("/etc/init.d/cgminer.sh", "start")  # already running: the same daemon
        assert pidfile.read_text().strip() == first and len(starts()) == 1

        # The daemon runs what the file held at its start: a new file counts from the restart.
        conf.update({"bitmain-fan-ctrl": True, "bitmain-fan-pwm": "70",
                     "pools": [{"url": "stratum+tcp://new.example:3333", "user": "w.1",
                                "pass": "x"}, {"url": "", "user": "", "pass": ""}]})
        conffile.write_text(json.dumps(conf))
        assert pools()[0][0] == "stratum+tcp://ltc.pool-one.example:3333"
        run("/etc/init.d/cgminer.sh", "restart")
        second = pidfile.read_text().strip()
        assert second != first and not alive(first) and pidof() == second
        s = stats_of(exchange(port))
        assert s["Elapsed"] == 0 and abs(s["fan1"] - 4200) < 60 and abs(s["fan2"] - 4200) < 60
        assert starts()[1:] == [(int(second), conf)]
        assert pools() == [("stratum+tcp://new.example:3333", "w.1"), ("", ""), fee]

        run("/www/pages/cgi-bin/stop_cgminer.cgi")
        assert not pidfile.exists() and pidof() is None and not alive(second) and refuses(port)

        conffile.write_text('{"pools": [')  # unreadable: the defaults, and null on record
        run("/etc/init.d/cgminer.sh", "start")  # the daemon cleans up after itself on SIGTERM
        third = int(pidfile.read_text())
        assert starts()[2:] == [(third, None)]
        assert pools() == list(fakeminer.DEFAULT_POOLS) + [fee]
        assert 4000 <= stats_of(exchange(port))["fan1"] <= 6000
        os.kill(third, signal.SIGTERM)
        wait_until(lambda: not pidfile.exists(), 5, "the daemon to remove its pid file")
        wait_until(lambda: not alive(third), 5, "the daemon to exit")
        calls = [line.split(" ", 1)[1]
                 for line in (root / "var/log/calls.log").read_text().splitlines()]
        assert [c for c in calls if "pidof" not in c] == [
            "cgminer.sh start", "cgminer.sh start", "cgminer.sh restart", "stop_cgminer.cgi ",
            "cgminer.sh start"]
        assert "listening on 127.0.0.1:%d" % port in (root / "var/log/fakeminer.log").read_text()
    finally:
        run("/etc/init.d/cgminer.sh", "stop")
