"""The reference server and its page's HTTP side, with clients in the agents' place (the page
itself runs in a browser in browser/; the end-to-end suite drives the rest of the server)."""

import asyncio
import http.client
import json
import ssl
import subprocess
import sys
import urllib.request

import pytest
import websockets
from websockets.exceptions import InvalidStatusCode

import refserver
from dashboard import Dashboard
from fleet import Fleet

CA = ssl.create_default_context(cafile=refserver.CERT)
AUTH = {"type": "auth", "api_key": "k", "device_id": "DEV-1"}


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


def request(board, method, path, body, headers=()):
    conn = http.client.HTTPConnection("127.0.0.1", board.port, timeout=10)
    head = {"Host": f"127.0.0.1:{board.port}", "Content-Type": "application/json", **dict(headers)}
    conn.request(method, path, body if isinstance(body, (bytes, type(None)))
                 else json.dumps(body).encode(), head)
    reply = conn.getresponse()
    return reply.status, json.loads(reply.read() or "null") if path.startswith("/api") else None


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
            "agent": "DEV-1", "message": {"type": kind}}))[1]["sent"] for kind in ("logs", "reboot")]
        assert [await recv(one) for _ in sent] == sent and sent[0]["request_id"]  # to echo
        await two.send(json.dumps({"type": "logs", "request_id": sent[0]["request_id"]}))
        await one.send(json.dumps({"type": "get_logs", "request_id": sent[0]["request_id"],
                                   "ok": False}))
        srv.wait_for(lambda: len(srv.received) == 4)
        srv.send({"type": "marker"}, conn=2)
        assert (await recv(two))["type"] == "marker"  # none of DEV-1's commands came
        # Reload: the connection is closed, and only the next auth asks for registration.
        assert (await asyncio.to_thread(request, board, "POST", "/api/reload",
                                        {"agent": "DEV-1"}))[0] == 200
        srv.wait_for(lambda: not view("DEV-1")["connected"])
        assert (one.close_code, [x["state"] for x in view("DEV-1")["exchanges"]]) == (
            1000, ["failed", "no reply: connection closed"])
        assert [o["what"] for o in view("DEV-2")["oddities"]] == ['unexpected "logs"']
        for registration in (True, None):
            ws, reply = await agent("DEV-1")
            assert reply.get("registration") is registration
            await ws.close()
        await two.close()
    asyncio.run(body())


def test_command_line_plays_a_script_and_serves_the_page(tmp_path):
    script = tmp_path / "demo.txt"
    script.write_text('# demo\nwait auth 10\nstop_mining\nlogs\n{"type": "custom",  "v": 1}\nquit\n')
    proc = subprocess.Popen([sys.executable, refserver.__file__, "--port", str(refserver.free_port()),
                             "--auth", "accept_register", "--script", script, "--http-port", "0"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().split(":")[2].split("/")[0])
        with urllib.request.urlopen(proc.stdout.readline().split()[-1], timeout=10) as page:
            assert b"<title>cvagent reference server</title>" in page.read()

        async def agent():
            async with connect(port) as ws:
                await ws.send(json.dumps(AUTH))
                await ws.send(json.dumps({"type": "update_config", "pools": {}}))
                return [await ws.recv() for _ in range(5)]
        got = asyncio.run(agent())
        out, _ = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == 0
    got.remove('{"type": "update_config", "ok": true}')  # the upload acknowledged
    assert [json.loads(m) for m in got[:2]] == [
        {"type": "auth", "ok": True, "registration": True}, {"type": "stop_mining"}]
    assert json.loads(got[2])["request_id"] and got[3] == '{"type": "custom",  "v": 1}'
    assert '#1 <- {\n  "type": "auth",\n  "api_key": "k",' in out
    assert '#1 -> {\n  "type": "stop_mining"\n}' in out and "#1 closed, code" in out
