"""The page's HTTP side: files, guards, commands to an agent (the event stream is
exercised by the browser tests in browser/)."""

import asyncio
import http.client
import json
import ssl
import threading
import urllib.request

import pytest
import websockets

import refserver
from dashboard import Dashboard
from fleet import Fleet
from test_refserver import AUTH, run_cli

CA = ssl.create_default_context(cafile=refserver.CERT)


@pytest.fixture
def board():
    fleet = Fleet()
    srv = refserver.RefServer(on_event=fleet.fold, ping_interval=None).start()
    b = Dashboard(srv, fleet).start()
    yield b
    b.stop()
    srv.stop()


def request(board, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", board.port, timeout=10)
    head = {"Host": f"127.0.0.1:{board.port}"}
    if body is not None:
        head["Content-Type"] = "application/json"
    head.update(headers or {})
    conn.request(method, path, body if body is None or isinstance(body, bytes)
                 else json.dumps(body).encode(), head)
    reply = conn.getresponse()
    data = reply.read()
    conn.close()
    return reply.status, data


def test_files_and_guards(board):
    ours = f"http://127.0.0.1:{board.port}"
    cases = [  # (method, path, body, extra headers, status)
        ("GET", "/", None, {}, 200),
        ("GET", "/uPlot.js", None, {}, 200),
        ("GET", "/app.js?v=1", None, {}, 200),
        ("GET", "/../refserver.py", None, {}, 404),
        ("GET", "/page/index.html", None, {}, 404),
        ("GET", "/", None, {"Host": f"evil.example:{board.port}"}, 403),
        ("GET", "/api/state", None, {"Host": "127.0.0.1"}, 403),
        ("GET", "/api/state", None, {"Host": f"localhost:{board.port}"}, 200),
        ("POST", "/api/command", {"agent": "x", "message": {"type": "reboot"}},
         {"Origin": "http://evil.example"}, 403),
        ("POST", "/api/command", {"agent": "x", "message": {"type": "reboot"}},
         {"Content-Type": "text/plain"}, 400),
        ("POST", "/api/command", b"[1]", {}, 400),
        ("POST", "/api/command", b"{}", {"Content-Length": "2x"}, 400),
        ("POST", "/api/command", b"{", {}, 400),
        ("POST", "/api/command", {"agent": "x", "message": "reboot"}, {"Origin": ours}, 400),
        ("POST", "/api/command", {"agent": "x", "message": {"type": 1}}, {}, 400),
        ("POST", "/api/command", {"agent": ["x"], "message": {"type": "reboot"}}, {}, 409),
        ("POST", "/api/command", {"agent": "nobody", "message": {"type": "reboot"}}, {}, 409),
        ("POST", "/api/reload", {"agent": "nobody"}, {}, 409),
        ("POST", "/api/other", {}, {}, 404),
    ]
    got = [request(board, m, p, b, h)[0] for m, p, b, h, _ in cases]
    assert got == [c[-1] for c in cases]
    assert board._http.server_address[0] == "127.0.0.1"


async def agent(srv):
    """A client in the agent's place, authenticated; returns it and the server's auth reply."""
    ws = await websockets.connect(f"wss://127.0.0.1:{srv.port}{refserver.PATH}", ssl=CA,
                                  subprotocols=["corvane-agent"])
    await ws.send(json.dumps(AUTH))
    return ws, json.loads(await ws.recv())


def test_command_and_reload_reach_the_agent(board):
    async def body():
        ws, _ = await agent(board.srv)
        status, data = await asyncio.to_thread(request, board, "POST", "/api/command",
                                               {"agent": "d", "message": {"type": "logs"}})
        sent = json.loads(data)["sent"]
        assert status == 200 and sent["request_id"]  # added: the logs report must echo one
        assert json.loads(await ws.recv()) == sent

        # Reload: the connection is closed, and only the next auth asks for registration.
        status, _ = await asyncio.to_thread(request, board, "POST", "/api/reload", {"agent": "d"})
        assert status == 200
        await ws.wait_closed()
        assert ws.close_code == 1000
        replies = []
        for _ in range(2):
            ws, reply = await agent(board.srv)
            replies.append(reply.get("registration"))
            await ws.close()
        assert replies == [True, None]
    asyncio.run(body())


def test_cli_serves_the_page():
    proc, _ = run_cli("--http-port", "0")
    deadline = threading.Timer(10, proc.kill)  # a missing line then reads as end of file
    deadline.start()
    try:
        line = proc.stdout.readline()
        assert line.startswith("live page on http://127.0.0.1:"), line
        with urllib.request.urlopen(line.split()[-1], timeout=10) as reply:
            assert b"<title>cvagent reference server</title>" in reply.read()
        proc.stdin.write("quit\n")
        proc.stdin.flush()
        assert proc.wait(10) == 0
    finally:
        deadline.cancel()
        proc.kill()
        proc.communicate()
