"""Keep-alive pings: a ping of the server that crosses the agent's own must be answered with
its own payload, or a strict server drops the session."""
import asyncio
import time

from websockets.frames import OP_TEXT

PAYLOAD = b"server-ping-0123"


def test_server_ping_crossing_the_agents_own_ping(agent, server):
    agent.wait_log("Agent successfully authenticated")
    opened = next(e.time for e in server.events if e.kind == "open")
    # The agent pings on its own 20 s after the session was established. A slow command
    # right behind the server's ping holds it past that moment with the pong still owed.
    script = agent.path("/www/pages/cgi-bin/get_kernel_log.cgi")
    script.write_text("#!/bin/sh\nsleep 22\necho slow\n")

    async def ping_then_command(conn, ws):
        assert time.monotonic() - opened < 15, "too late to cross the agent's first ping"
        # Both frames go out in one write, so the agent reads them at once.
        transport = ws.transport
        held = []
        transport.write = held.append
        try:
            pong = await ws.ping(PAYLOAD)
            ws.write_frame_sync(True, OP_TEXT, b'{"type": "logs", "request_id": "slow"}')
        finally:
            del transport.write
        transport.write(b"".join(held))
        await asyncio.wait_for(pong, 40)

    server._call(ping_then_command, None, timeout=45)

    assert server.wait_message("logs", timeout=10)["logs"] == "slow\n"
    assert server.connections == 1
    assert not [e for e in server.events if e.kind == "close"]
