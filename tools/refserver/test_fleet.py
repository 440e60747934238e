"""The page's model of the agents: records in, views out."""

import json

from fleet import HISTORY_SECS, Fleet, encode
from refserver import Event, Record

AUTH = {"type": "auth", "device_id": "DEV-1", "model": "antminer-l3plus"}
METRICS = {"type": "metrics", "hash_rate": 0.5, "fans": [{"id": "1", "speed": 66}]}


def test_one_entry_per_device_with_its_history_and_differences():
    fleet, wall = Fleet(), [1000]

    def feed(kind, msg=None, conn=2):
        """Folds a record as the server would, a second after the last; returns DEV-1's view."""
        wall[0] += 1
        fleet.fold(kind, Event(0, wall[0], conn, kind, code=1006) if kind in ("open", "close")
                   else Record(0, wall[0], conn, json.dumps(msg), msg))
        views = {v["key"]: v for v in fleet.changes(-1, 0)[1]}
        encode(views)  # whatever came in, the page can parse what goes out
        return views.get("DEV-1")

    for conn in (1, 2):  # the device reconnects before the old connection's close is seen
        feed("open", conn=conn)
        feed("recv", AUTH, conn)
        feed("sent", [{"type": "auth", "ok": True, "registration": True},
                      {"type": "auth", "ok": False, "message": "Invalid API key"}][conn - 1], conn)
        v = feed("recv", dict(METRICS, hash_rate=conn), conn)
    assert (v["conn"], v["auth"], v["model"], v["series"]["hash_rate"]) == (
        2, "rejected: Invalid API key", "antminer-l3plus", [1, 2])
    v = feed("close", conn=1)  # late close of the replaced connection: ignored
    assert list(fleet.agents) == ["DEV-1"] and v["connected"]
    first = v["series"]["time"][0]
    wall[0] = first + HISTORY_SECS - 1  # 30 minutes of history, no more
    last = first + HISTORY_SECS
    assert [feed("recv", METRICS)["series"]["time"] for _ in range(2)] == [
        [first, first + 4, last], [first + 4, last, last + 1]]

    # The last upload against what the running daemon reports (main pool only, fans at 66 %).
    url = {"stratum_url": "stratum+tcp://a.example:3333"}
    steps = [  # (message received, sections that differ)
        ({"type": "update_config", "pools": {"main": url, "reserved": {"stratum_url": ""}},
          "fans": {"mode": "manual", "speed": 65}}, []),  # no status yet: nothing to compare
        ({"type": "status", "state": {"name": "mining"}, "pools": {"main": {}}}, []),
        ({"type": "update_config", "pools": {"main": url, "reserved": url},
          "fans": {"mode": "manual", "speed": 70}}, ["pools", "fans"]),
        (dict(METRICS, fans=[{"id": "1", "speed": 70}, {"id": "2", "speed": 69}]), ["pools"]),
        ({"type": "status", "state": {"name": "restarting"}}, []),
        ({"type": "status", "state": {"name": "mining"}, "pools": {"main": {}}}, ["pools"]),
        ({"type": "update_config", "pools": {"main": url},
          "fans": {"mode": "auto", "speed": 10}}, []),  # automatic: any speed may be right
    ]
    for msg, differs in steps:
        assert feed("recv", msg)["differs"] == differs, msg
    assert feed("close")["differs"] == []  # a closed connection's reports are old
