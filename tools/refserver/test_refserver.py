"""Tests of the reference server itself, driven by a websockets client over TLS."""

import asyncio
import json
import os
import ssl
import subprocess
import sys
import threading
import time

import pytest
import websockets
from websockets.exceptions import ConnectionClosed, ConnectionClosedError, InvalidStatusCode
from websockets.frames import OP_CONT, OP_TEXT

import refserver
from refserver import RefServer, SilentTcpServer, free_port

CA = ssl.create_default_context(cafile=refserver.CERT)
AUTH = {"type": "auth", "api_key": "k", "device_id": "d", "model": "antminer-l3plus",
        "firmware_id": "quarn-antminer-l3plus", "firmware_ver": "3.9.1"}


@pytest.fixture
def srv():
    s = RefServer().start()
    yield s
    s.stop()


def connect(srv, host="127.0.0.1", path=refserver.PATH, subprotocols=("corvane-agent",), **kw):
    return websockets.connect(f"wss://{host}:{srv.port}{path}", ssl=CA,
                              subprotocols=list(subprotocols) or None, **kw)


async def recv_json(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), 5))


def test_auth_modes_switchable_between_connections(srv):
    expected = {
        "accept": [{"type": "auth", "ok": True}],
        "accept_register": [{"type": "auth", "ok": True, "registration": True}],
        "reject": [{"type": "auth", "ok": False, "message": "Invalid API key"}],
        "silent": [],
    }

    async def body():
        for n, mode in enumerate(expected, 1):
            srv.auth_mode = mode
            async with connect(srv) as ws:
                # Only the first "auth" of a connection is answered; the marker
                # sent afterwards proves what (if anything) came before it.
                await ws.send(json.dumps(AUTH))
                await ws.send(json.dumps(AUTH))
                srv.wait_for(lambda: len(srv.messages("auth", conn=n)) == 2)
                srv.send({"type": "marker"})
                replies = []
                while (m := await recv_json(ws))["type"] != "marker":
                    replies.append(m)
                assert replies == expected[mode], mode
            assert srv.wait_closed(n).code == 1000
    asyncio.run(body())

    opens = [e for e in srv.events if e.kind == "open"]
    assert [e.conn for e in opens] == [1, 2, 3, 4]
    assert all(e.subprotocol == "corvane-agent" for e in opens)
    assert all("PerMessageDeflate" in e.extensions for e in opens)


def test_records_messages_per_connection(srv):
    t0, w0 = time.monotonic(), time.time()

    async def body():
        async with connect(srv, host="localhost") as a:
            await a.send(json.dumps({"type": "status", "n": 1}))
            await a.send("not json")
            async with connect(srv) as b:  # a second live connection must not confuse anything
                await b.send(json.dumps({"type": "status", "n": 2}))
                srv.wait_message("status", conn=2)
                srv.send({"type": "to-latest"})
                srv.send({"type": "to-first"}, conn=1)
                assert (await recv_json(b))["type"] == "to-latest"
                assert (await recv_json(a))["type"] == "to-first"
            await a.send(json.dumps([1, 2]))
            srv.wait_for(lambda: len(srv.received) == 4)
    asyncio.run(body())

    got = [(r.conn, r.text, r.json) for r in srv.received]
    assert got == [(1, '{"type": "status", "n": 1}', {"type": "status", "n": 1}),
                   (1, "not json", None),
                   (2, '{"type": "status", "n": 2}', {"type": "status", "n": 2}),
                   (1, "[1, 2]", [1, 2])]
    times = [r.time for r in srv.received]
    assert times == sorted(times) and t0 <= times[0] <= time.monotonic()
    assert all(w0 - 1 <= r.wall <= time.time() + 1 for r in srv.received)
    assert srv.messages("status") == [{"type": "status", "n": 1}, {"type": "status", "n": 2}]
    assert srv.messages(conn=1)[-1] == [1, 2]
    assert [r.json["type"] for r in srv.sent] == ["to-latest", "to-first"]


def test_wait_message_consumes_and_honours_since(srv):
    async def body():
        async with connect(srv) as ws:
            for n in (1, 2):
                await ws.send(json.dumps({"type": "status", "n": n}))
            srv.wait_for(lambda: len(srv.received) == 2)
            mark = len(srv.received)
            await ws.send(json.dumps({"type": "status", "n": 3}))
            assert srv.wait_message("status", since=mark)["n"] == 3
            assert srv.wait_message("status")["n"] == 1
            assert srv.wait_message("status")["n"] == 2
            with pytest.raises(AssertionError):
                srv.wait_message("status", timeout=0.1)
    asyncio.run(body())


def test_wait_for_timeout_dumps_what_was_received(srv):
    async def body():
        async with connect(srv) as ws:
            await ws.send(json.dumps({"type": "status", "hashrate": 504.2}))
            srv.wait_message("status")
            with pytest.raises(AssertionError) as err:
                srv.wait_message("metrics", timeout=0.1)
            return str(err.value)
    text = asyncio.run(body())
    assert "'metrics'" in text and "#1 open" in text
    assert '#1 <- {"type": "status", "hashrate": 504.2}' in text
    assert srv.wait_for(lambda: 42, 0.1) == 42


class FrameLog(websockets.WebSocketClientProtocol):
    """Client that keeps (opcode, fin, payload) of every frame it reads."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.frames = []

    async def read_frame(self, max_size):
        frame = await super().read_frame(max_size)
        self.frames.append((frame.opcode, frame.fin, frame.data))
        return frame


def test_fragments_arrive_as_one_message(srv):
    async def body():
        async with connect(srv, create_protocol=FrameLog) as ws:
            await ws.send("hello")
            srv.wait_connections(1)
            # The "é" is split between two fragments.
            srv.send_fragments(['{"type": "fr', 'ag", "t": "', b"\xc3", b'\xa9"}'])
            assert await ws.recv() == '{"type": "frag", "t": "\u00e9"}'
            srv.send_fragments(['{"type": "one"}'])
            srv.send({"type": "after"})
            assert await ws.recv() == '{"type": "one"}'
            assert (await recv_json(ws))["type"] == "after"
            return [(op, fin) for op, fin, _ in ws.frames]
    frames = asyncio.run(body())
    assert frames == [(OP_TEXT, False), (OP_CONT, False), (OP_CONT, False), (OP_CONT, True),
                      (OP_TEXT, True), (OP_TEXT, True)]
    assert srv.sent[0].json == {"type": "frag", "t": "\u00e9"}


def test_invalid_utf8_text_frame_is_a_protocol_error(srv):
    async def body():
        async with connect(srv) as ws:
            srv.wait_connections(1)
            srv.send_bytes_as_text(b'{"type": "\xff\xfe"}')
            with pytest.raises(ConnectionClosedError) as err:
                await asyncio.wait_for(ws.recv(), 5)
            return err.value
    err = asyncio.run(body())
    assert err.sent.code == 1007  # the client refused the payload
    assert srv.wait_closed(1).code == 1007


def test_close_codes_and_drop_are_recorded(srv):
    async def body():
        async with connect(srv) as ws:
            srv.wait_connections(1)
            await asyncio.to_thread(srv.close, 4001, "bye")
            with pytest.raises(ConnectionClosed) as err:
                await ws.recv()
            assert (err.value.rcvd.code, err.value.rcvd.reason) == (4001, "bye")
        async with connect(srv) as ws:
            srv.wait_connections(2)
            await ws.close(4002)
        async with connect(srv) as ws:
            srv.wait_connections(3)
            srv.drop()
            with pytest.raises(ConnectionClosedError) as err:
                await ws.recv()
            assert err.value.rcvd is None  # no close frame: TCP was cut
    asyncio.run(body())

    assert [srv.wait_closed(n).code for n in (1, 2, 3)] == [4001, 4002, 1006]
    for command in (lambda: srv.send({"type": "x"}), srv.close, srv.drop,
                    lambda: srv.send_fragments(["a"]), lambda: srv.send_bytes_as_text(b"a")):
        with pytest.raises(RuntimeError, match="no live connection"):
            command()


def test_handshake_requires_path_and_subprotocol(srv):
    async def body():
        with pytest.raises(InvalidStatusCode) as err:
            await connect(srv, path="/other")
        assert err.value.status_code == 404
        with pytest.raises(InvalidStatusCode) as err:
            await connect(srv, subprotocols=())
        assert err.value.status_code == 400
    asyncio.run(body())
    assert srv.connections == 0 and srv.events == []


def test_stop_leaves_no_thread_or_socket():
    def fds():
        return len(os.listdir("/proc/self/fd"))
    threads, files = threading.active_count(), fds()

    async def client_sees_going_away(s):
        async with connect(s) as ws:
            s.wait_connections(1)
            await asyncio.to_thread(s.stop)
            with pytest.raises(ConnectionClosed) as err:
                await ws.recv()
            assert err.value.rcvd.code == 1001

    for i in range(4):
        s = RefServer().start()
        if i % 2:
            asyncio.run(client_sees_going_away(s))
        s.stop()
        s.stop()  # idempotent
        with pytest.raises(ConnectionRefusedError):
            asyncio.run(asyncio.open_connection("127.0.0.1", s.port))
    assert threading.active_count() == threads
    assert fds() == files

    with RefServer() as busy:
        taken = RefServer(port=busy.port)
        with pytest.raises(OSError):
            taken.start()
        taken.stop()  # harmless after a failed start
    assert threading.active_count() == threads


def test_silent_server_and_free_port():
    threads = threading.active_count()
    with SilentTcpServer() as silent:
        async def body():
            with pytest.raises(asyncio.TimeoutError):
                await websockets.connect(f"wss://127.0.0.1:{silent.port}/api/v1/ws",
                                         ssl=CA, open_timeout=0.3)
        asyncio.run(body())
        silent.wait_accepted(1)
    assert threading.active_count() == threads

    async def refused():
        with pytest.raises(ConnectionRefusedError):
            await asyncio.open_connection("127.0.0.1", free_port())
    asyncio.run(refused())


def run_cli(*args, stdin=subprocess.PIPE):
    proc = subprocess.Popen([sys.executable, refserver.__file__, "--port", str(free_port()), *args],
                            stdin=stdin, stdout=subprocess.PIPE, text=True)
    banner = proc.stdout.readline()
    assert banner.startswith("listening on wss://127.0.0.1:"), banner
    port = int(banner.split(":")[2].split("/")[0])
    return proc, port


def test_cli_console_commands():
    proc, port = run_cli("--auth", "accept_register")
    try:
        async def body():
            async with websockets.connect(f"wss://localhost:{port}/api/v1/ws", ssl=CA,
                                          subprotocols=["corvane-agent"]) as ws:
                await ws.send(json.dumps(AUTH))
                assert (await recv_json(ws)).get("registration") is True
                await ws.send(json.dumps({"type": "update_config", "pools": []}))
                assert await recv_json(ws) == {"type": "update_config", "ok": True}
                proc.stdin.write('stop_mining\nlogs\n{"type": "custom",  "v": 1}\nquit\n')
                proc.stdin.flush()
                assert await recv_json(ws) == {"type": "stop_mining"}
                logs = await recv_json(ws)
                assert logs["type"] == "logs" and logs["request_id"]
                assert await ws.recv() == '{"type": "custom",  "v": 1}'
                with pytest.raises(ConnectionClosed):  # "quit" stops the server
                    await asyncio.wait_for(ws.recv(), 5)
        asyncio.run(body())
        out, _ = proc.communicate(timeout=10)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0
    assert '#1 <- {\n  "type": "auth",\n  "api_key": "k",' in out
    assert '#1 -> {\n  "type": "stop_mining"\n}' in out
    assert "#1 closed, code" in out


def test_cli_script(tmp_path):
    script = tmp_path / "demo.txt"
    script.write_text("# demo\nwait auth 10\nstop_mining\nsleep 0.01\nstart_mining\nquit\n")
    proc, port = run_cli("--script", str(script), stdin=subprocess.DEVNULL)
    try:
        async def body():
            async with websockets.connect(f"wss://127.0.0.1:{port}/api/v1/ws", ssl=CA,
                                          subprotocols=["corvane-agent"]) as ws:
                await ws.send(json.dumps(AUTH))
                got = [(await recv_json(ws))["type"] for _ in range(3)]
                assert got == ["auth", "stop_mining", "start_mining"]
        asyncio.run(body())
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        proc.stdout.close()
        proc.wait()
