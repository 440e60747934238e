"""The page's model of the agents: records in, views out, whatever the agents send."""

import json

import pytest

from fleet import HISTORY_SECS, MAX_AGENTS, Fleet, encode
from refserver import Event, Record, _decode

AUTH = {"type": "auth", "api_key": "k", "device_id": "DEV-1", "model": "antminer-l3plus",
        "firmware_id": "quarn-antminer-l3plus", "firmware_ver": "3.9.1"}
METRICS = {"type": "metrics", "timestamp": 1, "hash_rate": 0.5, "hashrate_avg": 0.4,
           "freq": 384.0, "temp": 45, "watt": 800.0, "hw_errors": 2,
           "fans": [{"id": "1", "speed": 66, "rpm": 4000}],
           "chains": [{"id": str(n), "num_chips": 72, "hash_rate": 0.12, "freq": 384.0,
                       "volt": 8.0, "watt": 200.0, "hw_errors": 0, "chip_temp": 40 + n,
                       "pcb_temp": 30 + n} for n in (1, 2, 3, 4)]}


class Feed:
    """Plays records into a Fleet as the server would; wall time advances 1 s a record."""

    def __init__(self):
        self.fleet, self.wall = Fleet(), 1000.0

    def _tick(self):
        self.wall += 1
        return self.wall

    def open(self, conn=1):
        self.fleet.fold("open", Event(0, self._tick(), conn, "open"))

    def close(self, conn=1, code=1006):
        self.fleet.fold("close", Event(0, self._tick(), conn, "close", code=code))

    def recv(self, msg, conn=1):
        text = msg if isinstance(msg, str) else json.dumps(msg)
        self.fleet.fold("recv", Record(0, self._tick(), conn, text, _decode(text)))

    def sent(self, msg, conn=1):
        self.fleet.fold("sent", Record(0, self._tick(), conn, json.dumps(msg), msg))

    def view(self, key="DEV-1"):
        views = {v["key"]: v for v in self.fleet.changes(-1, 0)[1]}
        encode(views)  # whatever came in, the page can parse what goes out
        return views[key]


@pytest.fixture
def feed():
    f = Feed()
    f.open()
    f.recv(AUTH)
    f.sent({"type": "auth", "ok": True})
    return f


def test_identity_and_reconnect_keep_one_entry():
    f = Feed()
    f.open(1)
    assert f.view("connection #1")["auth"] == "no auth sent"
    f.recv(AUTH, 1)
    f.sent({"type": "auth", "ok": True, "registration": True}, 1)
    assert f.view()["auth"] == "registering"
    f.sent({"type": "update_config", "ok": True}, 1)
    f.recv(METRICS, 1)
    f.open(2)  # the device reconnects before the old connection's close is seen
    f.recv(AUTH, 2)
    f.sent({"type": "auth", "ok": False, "message": "Invalid API key"}, 2)
    f.close(1)  # late close of the replaced connection: ignored
    v = f.view()
    assert list(f.fleet.agents) == ["DEV-1"]
    assert (v["conn"], v["connected"], v["auth"]) == (2, True, "rejected: Invalid API key")
    assert (v["model"], v["firmware"]) == ("antminer-l3plus", "quarn-antminer-l3plus 3.9.1")
    assert v["series"]["hash_rate"] == [0.5]  # history survives the reconnect
    f.close(2, 1000)
    assert (f.view()["connected"], f.view()["close_code"]) == (False, 1000)


def test_reports_fill_view_and_history_is_cut_at_30_minutes(feed):
    feed.recv(METRICS)
    first = feed.wall
    feed.recv({"type": "status", "uptime": 77, "state": {"name": "mining"},
               "network": {"ip": "10.0.0.2", "dnsservers": ["1.1.1.1", 5]},
               "pools": {"main": {"boost": False, "difficulty": "16K", "accepted": 3,
                                  "rejected": 0, "stale": 0, "status": "active"},
                         "service_fee": [{"status": "alive"}]}})
    feed.recv({"type": "update_config", "fans": {"speed": 60}, "chains": [{"id": "1"}]})
    feed.recv({"type": "update_config", "chains": []})  # a partial upload replaces its part
    v = feed.view()
    assert (v["state"], v["uptime"], v["network_live"]["ip"]) == ("mining", 77, "10.0.0.2")
    assert v["network_live"]["dnsservers"] == ["1.1.1.1"]
    assert [(p["slot"], p["status"]) for p in v["pools"]] == [("main", "active"),
                                                              ("service fee 1", "alive")]
    assert v["config"] == {"fans": {"speed": 60}, "chains": []}
    assert v["series"]["chip_temp"] == [[41], [42], [43], [44]]
    assert v["metrics"]["fans"] == [{"id": "1", "speed": 66, "rpm": 4000}]
    feed.wall = first + HISTORY_SECS - 1
    feed.recv(METRICS)  # 30 minutes after the first
    assert feed.view()["series"]["time"] == [first, first + HISTORY_SECS]
    feed.recv(METRICS)
    assert feed.view()["series"]["time"] == [first + HISTORY_SECS, first + HISTORY_SECS + 1]

    # The last upload against what the running daemon reports (main pool only, fans at 66 %).
    url = {"stratum_url": "stratum+tcp://a.example:3333"}
    two = {"main": {"status": "active"}, "reserved": {"status": "dead"}, "service_fee": []}
    steps = [  # (message received, sections that differ)
        ({"type": "update_config", "pools": {"main": url, "reserved": {"stratum_url": ""}},
          "fans": {"mode": "manual", "speed": 65}}, []),
        ({"type": "update_config", "pools": {"main": url, "reserved": url},
          "fans": {"mode": "manual", "speed": 70}}, ["pools", "fans"]),
        (dict(METRICS, fans=[{"id": "1", "speed": 70}, {"id": "2", "speed": 69}]), ["pools"]),
        ({"type": "status", "state": {"name": "restarting"}}, []),  # nothing current to compare
        ({"type": "status", "state": {"name": "mining"}}, []),
        ({"type": "status", "state": {"name": "mining"}, "pools": two}, []),
        ({"type": "update_config", "pools": {"main": 5, "reserved": {"stratum_url": 7}},
          "fans": {"mode": "manual", "speed": "fast"}}, ["pools"]),
        ({"type": "update_config", "pools": {"main": url, "reserved": url},
          "fans": {"mode": "auto", "speed": 10}}, []),  # automatic: any speed may be right
    ]
    for msg, differs in steps:
        feed.recv(msg)
        assert feed.view()["differs"] == differs, msg
    feed.recv({"type": "update_config", "fans": {"mode": "manual", "speed": 90}})
    assert feed.view()["differs"] == ["fans"]
    feed.close()  # the reports of a closed connection are not current either
    assert feed.view()["differs"] == []


def compact(value):
    """The value without its None members, to compare what a view holds."""
    if isinstance(value, dict):
        return {k: compact(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [compact(v) for v in value]
    return value


def summary(v):
    return {"odd": [o["what"] for o in v["oddities"]], "state": v["state"],
            "uptime": v["uptime"], "metrics": compact(v["metrics"]), "pools": v["pools"],
            "net": compact(v["network_live"]), "config": v["config"], "model": v["model"]}


# Messages an agent should not send, and what the view then holds.
MALFORMED = [
    ("not json", {"odd": ["not a JSON object"]}),
    ("[1, 2]", {"odd": ["not a JSON object"]}),
    ('{"no": "type"}', {"odd": ['no text "type"']}),
    ('{"type": ["status"]}', {"odd": ['no text "type"']}),
    ('{"type": "surprise"}', {"odd": ['unexpected "surprise"']}),
    ('{"type": "stop_mining", "ok": true}', {"odd": ['unexpected "stop_mining"']}),
    ('{"type": "metrics", "hash_rate": NaN, "chains": [{"id": "2", "num_chips": 72,'
     ' "chip_temp": Infinity}, {"id": "9"}, 7, {"id": 1}], "fans": "x"}',
     {"odd": [], "metrics": {"fans": [], "chains": [{"id": "1"}, {"id": "2", "num_chips": 72},
                                                    {"id": "3"}, {"id": "4"}]}}),
    ('{"type": "metrics", "chains": {"id": "1"}, "watt": true, "temp": "hot", "fans": [3]}',
     {"metrics": {"fans": [{}], "chains": [{"id": i} for i in "1234"]}}),
    ('{"type": "status", "state": "mining", "uptime": -Infinity, "network": [],'
     ' "pools": {"main": 5, "service_fee": {"a": 1}}}',
     {"odd": [], "state": None, "uptime": None, "pools": [], "net": {"dnsservers": []}}),
    ('{"type": "status", "state": {"name": 5}, "uptime": 1e400}', {"state": None, "uptime": None}),
    ('{"type": "update_config", "fans": {"speed": NaN}, "x": [[[]]]}',
     {"odd": [], "config": {"fans": {"speed": None}, "x": [[[]]]}}),
    ('{"type": "update_config", "a":' + "[" * 100 + "]" * 100 + "}",
     {"config": {"a": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[None]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}}),
    ('{"type": "auth", "device_id": ["DEV-2"], "model": 3}', {"odd": [], "model": None}),
]


@pytest.mark.parametrize("text,expected", MALFORMED)
def test_malformed_messages_show_what_they_can(feed, text, expected):
    feed.recv(text)
    v = feed.view()
    assert (v["key"], v["received"], v["last_msg"]) == ("DEV-1", 2, feed.wall)
    got = summary(v)
    assert {k: got[k] for k in expected} == expected


def test_replies_attach_to_their_commands(feed):
    cases = [  # (command sent, message received, state, reply kept)
        ({"type": "stop_mining"}, {"type": "stop_mining", "ok": True}, "answered", True),
        ({"type": "config_fans", "mode": "x"}, {"type": "config_fans", "ok": False}, "failed",
         True),
        ({"type": "logs", "request_id": "r1"},
         {"type": "get_logs", "request_id": "r1", "ok": False, "message": "m"}, "failed", True),
        ({"type": "logs", "request_id": "r2"}, {"type": "logs", "request_id": "other"},
         "pending", False),
        ({"type": "chip_metrics", "request_id": "c", "chain_id": "2"},
         {"type": "chip_metrics", "request_id": "c", "ok": True, "chain_id": "2",
          "chips": [{"id": "1", "hr": 1.5, "freq": 384, "state": "fast", "custom_freq": True},
                    {"id": 2, "state": None}]}, "answered", True),
        ({"type": "config", "pools": {}}, {"type": "config", "ok": True}, "sent, no reply expected",
         False),
    ]
    for sent, received, _, _ in cases:
        feed.sent(sent)
        feed.recv(received)
    v = feed.view()
    assert [(x["type"], x["state"], x["reply"] == c[1]) for x, c in zip(v["exchanges"], cases)] \
        == [(c[0]["type"], c[2], c[3]) for c in cases]
    assert [o["what"] for o in v["oddities"]] == ['unexpected "logs"', 'unexpected "config"']
    assert v["chips"]["chain_id"] == "2"
    assert v["chips"]["chips"] == [
        {"id": "1", "hr": 1.5, "freq": 384, "state": "fast", "custom_freq": True},
        {"id": None, "hr": None, "freq": None, "state": None, "custom_freq": False}]
    feed.close()
    assert feed.view()["exchanges"][3]["state"] == "no reply: connection closed"


def test_changes_report_only_changed_agents_and_end_on_close():
    f = Feed()
    f.open(1)
    version, views, keys = f.fleet.changes(-1, 0)
    f.open(2)
    assert [v["key"] for v in f.fleet.changes(version, 0)[1]] == ["connection #2"]
    latest = f.fleet.changes(-1, 0)[0]
    assert f.fleet.changes(latest, 0.01) == (latest, [], ["connection #1", "connection #2"])
    for conn in range(3, 3 + MAX_AGENTS):  # connections that never authenticate
        f.open(conn)
        f.close(conn)
    keys = f.fleet.changes(-1, 0)[2]
    # The live ones stay; the two closed longest ago go.
    assert len(keys) == MAX_AGENTS and keys[:3] == [f"connection #{n}" for n in (1, 2, 5)]
    f.fleet.close()
    assert f.fleet.changes(latest, 5) is None
