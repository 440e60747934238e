"""Long-running sessions: a ping of the server that crosses the agent's own keeps the session;
many short sessions leave no descriptors or memory behind; an agent without a reachable
server, or with one that never completes the TLS handshake, waits rather than spins."""
import asyncio
import os
import re
import time
from pathlib import Path

from websockets.frames import OP_TEXT

from conftest import Sandbox, reply_to, wait_until
from refserver import SilentTcpServer

CYCLES = 100
BASELINE_CYCLE = 10
RSS_SLACK_KB = 1024
CPU_BUDGET_S = 1.0


def usage(pid):
    """(open descriptors, resident kB) of a process."""
    status = Path(f"/proc/{pid}/status").read_text()
    return len(os.listdir(f"/proc/{pid}/fd")), int(re.search(r"VmRSS:\s*(\d+)", status)[1])


def cpu_seconds(pid):
    # The command name may hold spaces; the fields after it are fixed.
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_logging_to_file_only(box, server, dev_id):
    """Starts the agent logging to its file alone (unrotated): nobody reads its console pipe
    during the soak, and a full pipe would block it."""
    box.path("/opt/corvane/etc/log.conf").write_text(
        "log4cplus.logger.agent=INFO, file\n"
        "log4cplus.appender.file=log4cplus::FileAppender\n"
        f"log4cplus.appender.file.File={box.path('/var/log/cvagent.log')}\n"
        "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
        "log4cplus.appender.file.layout.ConversionPattern=%-5p %m%n\n")
    box.connect(server, dev_id=dev_id)
    return box


def test_keepalive_reconnect_soak_and_waiting_without_a_server(sandbox, server, tmp_path):
    agent = start_logging_to_file_only(sandbox, server, "DEV-SOAK")
    # A handshake that never completes is given up only after the library's 60 s timeout, so
    # that agent runs alongside the rest instead of after it.
    with SilentTcpServer() as silent:
        hung = start_logging_to_file_only(Sandbox(tmp_path / "hung-root", agent.binary,
                                                  agent.emulator, agent.launcher),
                                          silent, "DEV-HUNG")
        try:
            silent.wait_accepted(1, timeout=20)
            hung_cpu_start = cpu_seconds(hung.proc.pid)

            crossing_pings(agent, server)
            soak_reconnects(agent, server)
            wait_without_server(agent, server)
            # A clean stop; in a sanitizer build this also runs the leak check.
            assert agent.stop() == 0

            # The agent abandons the hung handshake and tries again, idle in between.
            silent.wait_accepted(2, timeout=80)
            hung_cpu = cpu_seconds(hung.proc.pid) - hung_cpu_start
            assert hung_cpu < CPU_BUDGET_S, f"{hung_cpu:.2f}s of CPU during a hung handshake"
            assert "Agent connection error" in hung.log()
            assert hung.proc.poll() is None
        finally:
            if hung.proc.poll() is None:
                hung.stop()


def crossing_pings(agent, server):
    """The server's ping must be answered with its own payload even when the agent's first
    ping, 20 s into the session, goes out while that pong is still owed; a strict server
    drops the session otherwise."""
    agent.wait_log("Agent successfully authenticated")
    opened = next(e.time for e in server.events if e.kind == "open")
    # A slow command right behind the server's ping holds the pong past the agent's ping.
    script = agent.path("/www/pages/cgi-bin/get_kernel_log.cgi")
    quick = script.read_text()
    script.write_text("#!/bin/sh\nsleep 22\necho slow\n")

    async def ping_then_command(conn, ws):
        assert time.monotonic() - opened < 15, "too late to cross the agent's first ping"
        # Both frames go out in one write, so the agent reads them at once.
        transport = ws.transport
        held = []
        transport.write = held.append
        try:
            pong = await ws.ping(b"server-ping-0123")
            ws.write_frame_sync(True, OP_TEXT, b'{"type": "logs", "request_id": "slow"}')
        finally:
            del transport.write
        transport.write(b"".join(held))
        await asyncio.wait_for(pong, 40)

    server._call(ping_then_command, None, timeout=45)
    assert server.wait_message("logs", timeout=10)["logs"] == "slow\n"
    assert server.connections == 1 and not [e for e in server.events if e.kind == "close"]
    script.write_text(quick)


def serve_one_command(server, n):
    """Waits for connection n to authenticate and answer one command."""
    server.wait_connections(n, timeout=20)
    server.wait_message("auth", timeout=20, conn=n)
    # A reply proves a writable pass while authenticated, which resets the backoff.
    assert reply_to(server, {"type": "logs", "request_id": str(n)}, n, 20)["request_id"] == str(n)


def soak_reconnects(agent, server):
    """Each cycle: authenticate, answer one command, then the server closes or drops."""
    pid = agent.proc.pid
    # ASan keeps freed memory in quarantine and TSan its history of every access: there RSS
    # says nothing about the agent, and ASan's leak check at exit stands in.
    data = agent.binary.read_bytes()
    check_rss = b"__asan_init" not in data and b"__tsan_init" not in data
    baseline = None
    for n in range(1, CYCLES + 1):
        serve_one_command(server, n)
        if n == BASELINE_CYCLE:
            baseline = usage(pid)
        if n == CYCLES:
            fds, rss = usage(pid)
            assert fds == baseline[0], f"open descriptors {baseline[0]} -> {fds}"
            assert not check_rss or rss <= baseline[1] + RSS_SLACK_KB, (
                f"VmRSS {baseline[1]} kB -> {rss} kB")
        if n % 2:
            server.close(conn=n)
        else:
            server.drop(conn=n)
        server.wait_closed(n, timeout=20)
    # After an authenticated session the first attempt has no backoff; none needed a second.
    wait_until(lambda: reconnect_lines(agent, 1) == CYCLES, 20, f"{CYCLES} first reconnects")
    assert reconnect_lines(agent, 2) == 0
    assert agent.proc.poll() is None


def reconnect_lines(agent, attempt):
    return sum(line.endswith(f"Trying agent reconnect {attempt}")
               for line in agent.log().splitlines())


def wait_without_server(agent, server):
    """With the server gone the agent backs off 0, 5, 10 s; the 10 s wait must be idle."""
    pid = agent.proc.pid
    # Stopped mid-handshake, the server could leave the agent's connection hanging.
    serve_one_command(server, CYCLES + 1)
    offset = len(agent.log())
    server.stop()
    wait_until(lambda: "Trying agent reconnect 3" in agent.log()[offset:], 20,
               "third reconnect attempt")
    start = cpu_seconds(pid)
    wait_until(lambda: "Trying agent reconnect 4" in agent.log()[offset:], 20,
               "fourth reconnect attempt")
    used = cpu_seconds(pid) - start
    assert used < CPU_BUDGET_S, f"{used:.2f}s of CPU during a 10 s backoff"
    assert agent.proc.poll() is None
