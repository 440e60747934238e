"""The reference server, its page's HTTP side and its model of the agents, with clients in the
agents' place (the page runs in browser/; the end-to-end suite drives the rest of the server)."""

import asyncio
import http.client
import json
import ssl

import pytest
import websockets
from websockets.exceptions import InvalidStatusCode

import refserver
from dashboard import Dashboard
from fleet import HISTORY_SECS, Fleet, encode

CA = ssl.create_default_context(cafile=refserver.CERT)
AUTH = {"type": "auth", "api_key": "k", "device_id": "DEV-1"}
METRICS = {"type": "metrics", "hash_rate": 0.5, "fans": [{"id": "1", "speed": 66}]}


@pytest.fixture
def board():
    fleet = Fleet()
    srv = refserver.RefServer(on_event=fleet.fold, ping_interval=None).start()
    board = Dashboard(srv, fleet).start()
    yield board
    board.stop()
    srv.stop()


def connect(port, path=refserver.PATH, subprotocols=("corvane-agent",)):
    return websockets.connect(f"wss://localhost:{port}{path}", ssl=CA,
                              subprotocols=list(subprotocols) or None)


async def recv(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), 5))


def test_handshake_and_authentication_outcomes(board):
    srv = board.srv
    replies = [("accept", {"ok": True}), ("accept_register", {"ok": True, "registration": True}),
               ("reject", {"ok": False, "message": "Invalid API key"}), ("silent", None)]

    async def body():
        for refused, status in (({"path": "/other"}, 404), ({"subprotocols": ()}, 400)):
            with pytest.raises(InvalidStatusCode) as err:
                await connect(srv.port, **refused)
            assert err.value.status_code == status
        for n, (mode, reply) in enumerate(replies, 1):
            srv.auth_mode = mode
            async with connect(srv.port) as ws:
                for _ in range(2):  # only a connection's first "auth" is answered
                    await ws.send(json.dumps(AUTH))
                srv.wait_for(lambda: len(srv.messages("auth", conn=n)) == 2)
                srv.send({"type": "marker"})  # whatever came before it is the answer
                expected = ([{"type": "auth", **reply}] if reply else []) + [{"type": "marker"}]
                assert [await recv(ws) for _ in expected] == expected, mode
    asyncio.run(body())
    opens = [e for e in srv.events if e.kind == "open"]
    assert [(e.subprotocol, "PerMessageDeflate" in e.extensions) for e in opens] == [
        ("corvane-agent", True)] * 4


def test_one_entry_per_device_with_its_history_and_differences():
    fleet, wall = Fleet(), [1000]

    def feed(kind, msg=None, conn=2):
        """Folds a record as the server would, a second after the last; returns DEV-1's view."""
        wall[0] += 1
        fleet.fold(kind, refserver.Event(0, wall[0], conn, kind, code=1006) if kind in (
            "open", "close") else refserver.Record(0, wall[0], conn, json.dumps(msg), msg))
        views = {v["key"]: v for v in fleet.changes(-1, 0)[1]}
        encode(views)  # whatever came in, the page can parse what goes out
        return views.get("DEV-1")

    for conn in (1, 2):  # the device reconnects before the old connection's close is seen
        feed("open", conn=conn)
        feed("recv", dict(AUTH, model="antminer-l3plus"), conn)
        feed("sent", [{"type": "auth", "ok": True, "registration": True},
                      {"type": "auth", "ok": False, "message": "Invalid API key"}][conn - 1], conn)
        v = feed("recv", dict(METRICS, hash_rate=conn), conn)
    assert (v["conn"], v["auth"], v["model"], v["series"]["hash_rate"]) == (
        2, "rejected: Invalid API key", "antminer-l3plus", [1, 2])
    v = feed("close", conn=1)  # late close of the replaced connection: ignored
    assert list(fleet.agents) == ["DEV-1"] and v["connected"]
    first = v["series"]["time"][0]
    wall[0], last = first + HISTORY_SECS - 1, first + HISTORY_SECS  # 30 minutes, no more
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


def request(board, method, path, body, headers=()):
    conn = http.client.HTTPConnection("127.0.0.1", board.port, timeout=10)
    data = body if isinstance(body, (bytes, type(None))) else json.dumps(body).encode()
    conn.request(method, path, data, {"Host": f"127.0.0.1:{board.port}",
                                      "Content-Type": "application/json", **dict(headers)})
    reply = conn.getresponse()
    return reply.status, json.loads(reply.read())


def test_page_guards_and_commands_reach_their_agent(board):
    srv, port, reboot = board.srv, board.port, {"agent": "DEV-1", "message": {"type": "reboot"}}
    cases = [  # (method, path, body, extra headers, status)
        ("GET", "/../refserver.py", None, {}, 404),
        ("GET", "/", None, {"Host": f"evil.example:{port}"}, 403),  # DNS rebinding
        ("GET", "/api/state", None, {"Host": f"localhost:{port}"}, 200),
        ("POST", "/api/command", reboot, {"Origin": "http://evil.example"}, 403),
        ("POST", "/api/command", reboot, {"Content-Type": "text/plain"}, 400),  # a plain form
        ("POST", "/api/command", b"[1]", {"Origin": f"http://127.0.0.1:{port}"}, 400),
        ("POST", "/api/command", {"agent": "DEV-1", "message": {"type": 1}}, {}, 400),
        ("POST", "/api/reload", {"agent": "DEV-1"}, {}, 409),  # not connected
    ]
    assert [request(board, *c[:4])[0] for c in cases] == [c[-1] for c in cases]

    def view(key):
        return next(v for v in board.fleet.changes(-1, 0)[1] if v["key"] == key)

    async def agent(device):
        ws = await connect(srv.port)
        await ws.send(json.dumps(dict(AUTH, device_id=device)))
        return ws, await recv(ws)

    async def body():
        (one, _), (two, _) = await agent("DEV-1"), await agent("DEV-2")
        sent = [(await asyncio.to_thread(request, board, "POST", "/api/command", {
            "agent": "DEV-1", "message": {"type": k}}))[1]["sent"] for k in ("logs", "reboot")]
        assert [await recv(one) for _ in sent] == sent and sent[0]["request_id"]  # id for report
        await two.send(json.dumps({"type": "logs", "request_id": sent[0]["request_id"]}))
        await one.send(json.dumps({"type": "get_logs", "request_id": sent[0]["request_id"],
                                   "ok": False}))
        srv.wait_for(lambda: len(srv.received) == 4)
        # Reload: the connection is closed, and only the next auth asks for registration.
        assert (await asyncio.to_thread(request, board, "POST", "/api/reload",
                                        {"agent": "DEV-1"}))[0] == 200
        srv.wait_for(lambda: not view("DEV-1")["connected"])
        await one.wait_closed()  # the close frame is read on this loop, which wait_for held
        assert (one.close_code, [x["state"] for x in view("DEV-1")["exchanges"]]) == (
            1000, ["failed", "no reply: connection closed"])
        assert [o["what"] for o in view("DEV-2")["oddities"]] == ['unexpected "logs"']
        for registration in (True, None):
            ws, reply = await agent("DEV-1")
            assert reply.get("registration") is registration
            await ws.close()
        await two.close()
    asyncio.run(body())

