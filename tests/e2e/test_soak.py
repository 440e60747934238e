"""Reconnect soak: many short sessions must leave no descriptors or memory behind, and an
agent without a reachable server, or with one that never completes the TLS handshake, must
wait rather than spin."""
import os
import subprocess

from conftest import REPO, Sandbox, wait_until
from refserver import SilentTcpServer

CYCLES = 100
BASELINE_CYCLE = 10
RSS_SLACK_KB = 1024
CPU_BUDGET_S = 1.0


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError(f"no VmRSS for {pid}")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        # The command name may hold spaces; the fields after it are fixed.
        fields = stat.read().rsplit(")", 1)[1].split()
    utime, stime = int(fields[11]), int(fields[12])
    return (utime + stime) / os.sysconf("SC_CLK_TCK")


def under_sanitizer(binary):
    """ASan keeps freed memory in quarantine and TSan keeps its history of every access, so
    there RSS says nothing about the agent; ASan's leak check at exit stands in."""
    data = binary.read_bytes()
    return b"__asan_init" in data or b"__tsan_init" in data


def start_logging_to_file_only(box, server_port, dev_id):
    """Starts the agent logging to its file alone (unrotated): nobody reads its console pipe
    during the soak, and a full pipe would block it."""
    box.path("/opt/corvane/etc/log.conf").write_text(
        "log4cplus.logger.agent=INFO, file\n"
        "log4cplus.appender.file=log4cplus::FileAppender\n"
        f"log4cplus.appender.file.File={box.path('/var/log/cvagent.log')}\n"
        "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
        "log4cplus.appender.file.layout.ConversionPattern=%-5p %m%n\n")
    box.server_url = f"wss://localhost:{server_port}/api/v1/ws"
    box.write_config({"api_key": "k" * 30, "dev_id": dev_id})
    box.start()
    return box


def test_reconnect_soak_and_waiting_without_a_server(sandbox, server, tmp_path):
    agent = start_logging_to_file_only(sandbox, server.port, "DEV-SOAK")
    # A handshake that never completes is given up only after the library's 60 s timeout, so
    # that agent runs alongside the soak instead of after it.
    with SilentTcpServer() as silent:
        hung_root = tmp_path / "hung-root"
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(hung_root), "lo"], check=True,
                       stdout=subprocess.DEVNULL)
        hung = start_logging_to_file_only(
            Sandbox(hung_root, agent.binary, agent.emulator, agent.launcher), silent.port,
            "DEV-HUNG")
        try:
            silent.wait_accepted(1, timeout=20)
            hung_cpu_start = cpu_seconds(hung.proc.pid)

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


def serve_one_command(server, n):
    """Waits for connection n to authenticate and answer one command."""
    server.wait_connections(n, timeout=20)
    server.wait_message("auth", timeout=20, conn=n)
    # A reply proves a writable pass while authenticated, which resets the backoff.
    server.send({"type": "logs", "request_id": str(n)}, conn=n)
    reply = server.wait_message("logs", timeout=20, conn=n)
    assert reply["request_id"] == str(n)


def soak_reconnects(agent, server):
    """Each cycle: authenticate, answer one command, then the server closes or drops."""
    pid = agent.proc.pid
    check_rss = not under_sanitizer(agent.binary)
    baseline = None
    for n in range(1, CYCLES + 1):
        serve_one_command(server, n)
        if n == BASELINE_CYCLE:
            baseline = (open_fds(pid), rss_kb(pid))
        if n == CYCLES:
            fds, rss = open_fds(pid), rss_kb(pid)
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
