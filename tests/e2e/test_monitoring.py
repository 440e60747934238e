"""Status and metrics reports of the simulated miner, and start/stop mining through the agent."""
import json
import socket

from conftest import reply_to, wait_until


def scenario(sandbox, name):
    sandbox.path("/var/run/fakeminer.scenario").write_text(name)


def stats(sandbox):
    """The daemon's own "stats" figures, repaired as the agent repairs them."""
    with socket.create_connection(("127.0.0.1", sandbox.api_port), timeout=5) as conn:
        conn.sendall(b'{"command": "stats"}')
        text = b"".join(iter(lambda: conn.recv(65536), b"")).decode()
    return json.loads(text.replace("}{", "},{").replace(":inf", ":0"))["STATS"][1]


def received(server, kind, since=0):
    return [r for r in server.received[since:] if r.json and r.json["type"] == kind]


def states(server, since=0):
    return [m["state"]["name"] for m in server.messages("status")[since:]]


def next_state(server, name, timeout=20):
    return wait_until(lambda: name in states(server), timeout, f"status {name!r}")


def test_initializing_mining_pause_and_back_with_metrics(sandbox, server):
    # The daemon runs before the agent starts: a daemon that appears later, while its API is
    # still down, is first reported by the 30-second rule.
    sandbox.daemon("start", "--warmup", "0", "--scenario", "down", "--seed", "1")
    try:
        sandbox.connect(server)
        next_state(server, "initializing")
        status = [m for m in server.messages("status") if m["state"]["name"] == "initializing"][0]
        assert list(status) == ["type", "firmware_id", "firmware_ver", "uptime", "state",
                                "network"]
        assert status["network"] == {"ip": "127.0.0.1", "netmask": "255.0.0.0",
                                     "gateway": "127.0.0.1",
                                     "dnsservers": ["127.0.0.53", "1.1.1.1"],
                                     "mac": "00:00:00:00:00:00"}
        assert "pools" not in status

        # The API answers with a hash rate: a metrics message, then "mining".
        since = len(server.received)
        scenario(sandbox, "normal")
        next_state(server, "mining")
        # The metrics message goes out just before the first "mining" status.
        kinds = [(r.json["type"], r.json.get("state")) for r in server.received[since:]]
        assert kinds[kinds.index(("status", {"name": "mining"})) - 1][0] == "metrics"
        status = [m for m in server.messages("status") if m["state"]["name"] == "mining"][0]
        pools = status["pools"]
        assert pools["main"]["status"] == "active"
        assert pools["reserved"]["status"] == "alive"
        assert pools["reserved2"] == {"boost": False, "difficulty": "0", "accepted": 0,
                                      "rejected": 0, "stale": 0, "status": "dead"}
        assert len(pools["service_fee"]) == 1

        # Metrics match the daemon's figures after the agent's conversions.
        metrics = server.wait_message("metrics", timeout=15, since=since)
        figures = stats(sandbox)
        assert [c["id"] for c in metrics["chains"]] == ["1", "2", "3", "4"]
        for n, chain in enumerate(metrics["chains"], 1):
            assert chain["num_chips"] == figures[f"chain_acn{n}"]
            assert chain["freq"] == figures[f"freq_avg{n}"]
            assert abs(chain["hash_rate"] - float(figures[f"chain_rate{n}"]) / 1000) < 0.02
        assert [f["id"] for f in metrics["fans"]] == ["1", "2"]
        assert all(0 < f["speed"] <= 100 and f["rpm"] > 0 for f in metrics["fans"])
        assert metrics["temp"] >= max(figures[f"temp2_{n}"] for n in range(1, 5)) - 4
        assert abs(metrics["hash_rate"] - float(figures["GHS 5s"]) / 1000) < 0.05

        # Stop and start mining through the daemon's scripts.
        assert reply_to(server, {"type": "stop_mining"}) == {"type": "stop_mining", "ok": True}
        next_state(server, "pause")
        assert reply_to(server, {"type": "start_mining"}) == {"type": "start_mining", "ok": True}
        count = len(server.messages("status"))
        wait_until(lambda: "mining" in states(server, count), 30, "mining again")
        calls = [line.split()[1:] for line in sandbox.calls().splitlines()]
        assert ["stop_cgminer.cgi"] in calls and ["cgminer.sh", "start"] in calls
        assert not sandbox.path("/tmp/stoptrigger").exists()

        # While mining, a metrics message every 10 s (the first may follow the mining one).
        since = len(server.received)
        wait_until(lambda: len(received(server, "metrics", since)) >= 3, 40, "three metrics")
        metrics = received(server, "metrics", since)
        gaps = [b.time - a.time for a, b in zip(metrics, metrics[1:])]
        assert all(8 < gap < 14 for gap in gaps[1:]), gaps
        assert all(r.json["hash_rate"] > 0 for r in metrics)
        # Meanwhile the state stays "mining": a status report only by the 30-second rule.
        assert len(received(server, "status", since)) <= 2

        # A slow daemon holding an exchange of the agent's does not delay commands.
        scenario(sandbox, "slow")
        wait_until(lambda: ", scenario slow" in sandbox.path("/var/log/fakeminer.log").read_text(),
                   20, "an exchange held by the daemon")
        for _ in range(3):
            assert reply_to(server, {"type": "reboot"})["ok"] is True

        # A daemon that does not answer gives no metrics message at all: wait for enough
        # failed exchanges to span a metrics cycle.
        count = len(server.messages("status"))
        sandbox.daemon("stop")
        wait_until(lambda: "restarting" in states(server, count), 20, "status restarting")
        count = len(server.messages("metrics"))
        failures = api_failures(sandbox)
        wait_until(lambda: api_failures(sandbox) >= failures + 6, 30, "failed daemon exchanges")
        assert len(server.messages("metrics")) == count
    finally:
        sandbox.daemon("stop")


def api_failures(sandbox):
    return sandbox.log().count("Connection failed to API")
