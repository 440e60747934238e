"""Faults of a long-running agent: a stale registration hold, signals while a program runs or
in bursts, descriptors leaking into started programs, a hung kernel log script."""
import os
import random
import re
import signal
import time
from pathlib import Path

from conftest import reply_to, wait_until

LOG_SCRIPT = "/www/pages/cgi-bin/get_kernel_log.cgi"
START_SCRIPT = "/etc/init.d/cgminer.sh"


def held_while(box, name):
    """Shell lines that wait while the file `name` in the root exists (at most 60 s)."""
    return f"i=0; while [ -e '{box.path(name)}' ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done"


def group_ended(group):
    """True once the process group `group` has no process left (nor one its reaper awaits)."""
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return True
    return False


def test_registration_hold_ends_with_a_later_normal_session(sandbox, server):
    server.auth_mode = "accept_register"
    sandbox.connect(server)
    server.wait_message("update_config", timeout=20, conn=1)
    # The session ends before the server answers the upload; the next one is not a registration.
    server.auth_mode = "accept"
    server.drop(conn=1)
    server.wait_message("auth", timeout=20, conn=2)
    server.wait_message("status", timeout=10, conn=2)
    assert "Registration hold of an earlier session ended" in sandbox.log()
    assert not server.messages("status", conn=1)


def test_started_programs_hold_no_descriptor_and_a_hung_log_script_is_bounded(agent, server):
    sandbox = agent
    agent.authenticated(server)

    fds_of_start = sandbox.path("/var/run/start.fds")
    # exec: a redirection of one command would make the shell keep a copy of its stdout.
    sandbox.write_script(START_SCRIPT, f"exec > '{fds_of_start}'\nls -l /proc/$$/fd")
    sandbox.write_script(LOG_SCRIPT, "ls -l /proc/$$/fd")
    server.send({"type": "start_mining"})
    server.send({"type": "logs", "request_id": "fds"})
    listings = {
        "start script": wait_until(lambda: fds_of_start.exists() and fds_of_start.read_text(),
                                   10, "the start script's listing"),
        "log script": server.wait_message("logs", timeout=10)["logs"],
    }
    for program, listing in listings.items():
        held = re.findall(r" (\d+) -> (.*)$", listing, re.M)
        assert held, listing
        # Beyond the standard three only the shell's own handle on its script may be open.
        extra = [(fd, target) for fd, target in held
                 if int(fd) > 2 and not target.endswith((START_SCRIPT, LOG_SCRIPT))]
        assert extra == [], f"{program} inherited {extra}"

    # A script that never ends fails the request once its time is up; the session goes on.
    sandbox.path("/var/run/hold").touch()
    sandbox.write_script(LOG_SCRIPT, held_while(sandbox, "/var/run/hold"))
    server.send({"type": "logs", "request_id": "hung"})
    wait_until(lambda: sandbox.calls().count("get_kernel_log.cgi") == 2, 10,
               "the hung script to start")
    sandbox.move_clock(31)
    assert server.wait_message("get_logs", timeout=10) == {
        "type": "get_logs", "request_id": "hung", "ok": False, "message": "Fetching logs failed"}
    assert "did not finish within 30 s" in sandbox.log()
    sandbox.write_script(LOG_SCRIPT, "echo fine")
    assert reply_to(server, {"type": "logs", "request_id": "after"})["logs"] == "fine\n"

    # A stop during the hung script ends the agent at once, and the script's whole group.
    pid_file = sandbox.path("/var/run/log.pid")
    sandbox.write_script(LOG_SCRIPT,
                         f"echo $$ > '{pid_file}'\n" + held_while(sandbox, "/var/run/hold"))
    server.send({"type": "logs", "request_id": "stopped"})
    group = os.getpgid(int(wait_until(lambda: pid_file.exists() and pid_file.read_text(), 10,
                                      "the hung script to start again")))
    assert sandbox.stop(timeout=5) == 0  # the script alone would hold it for 30 s
    wait_until(lambda: group_ended(group), 5, "the end of the script's process group")


STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def wait_for_stop_handlers(box):
    """Returns as soon as the agent catches the stop signals, early in its start-up."""
    if box.emulator:  # the emulator catches every signal itself; the first line follows them
        return box.wait_log("Agent version")
    mask = sum(1 << (s - 1) for s in STOP_SIGNALS)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        caught = re.search(r"^SigCgt:\s*(\w+)$", Path(f"/proc/{box.proc.pid}/status").read_text(),
                           re.M)
        if int(caught.group(1), 16) & mask == mask:
            return
    raise AssertionError("the agent never installed its stop handlers")


def test_bursts_of_stop_signals_at_random_moments(sandbox, server):
    runs = [  # (what is under way when the bursts come, seed of their signals and gaps, gap)
        ("start-up", 1, 0.02), ("start-up", 2, 0.02), ("session", 3, 0.05), ("session", 4, 0.05),
        ("stop", 5, 0.005), ("stop", 6, 0.005),
    ]
    for moment, seed, longest_gap in runs:
        rng = random.Random(seed)
        for log in ("/var/log/cvagent.log", "/var/log/calls.log"):
            sandbox.path(log).unlink(missing_ok=True)
        proc = sandbox.connect(server)
        if moment == "start-up":
            wait_for_stop_handlers(sandbox)
        else:
            sandbox.wait_log("Agent successfully authenticated")
        if moment == "stop":
            # A slow daemon start keeps a thread (where a handler may run) through the tear-down.
            sandbox.path("/var/run/hold").touch()
            sandbox.write_script(START_SCRIPT, held_while(sandbox, "/var/run/hold"))
            server.send({"type": "start_mining"})
            wait_until(lambda: "cgminer.sh start" in sandbox.calls(), 10, "the slow start")
            proc.send_signal(signal.SIGTERM)
        for _ in range(4):
            for _ in range(rng.randint(1, 4)):
                proc.send_signal(rng.choice(STOP_SIGNALS))  # a no-op once the agent has ended
            time.sleep(rng.uniform(0, longest_gap))
        if moment == "stop":  # the stop is noticed while the start still runs
            sandbox.wait_log("Stopping agent", timeout=5)
        sandbox.path("/var/run/hold").unlink(missing_ok=True)
        status = proc.wait(timeout=20)
        # Each handled signal writes one carriage return (signals that meet a pending one of
        # their kind merge), and each must have its log line.
        handled = proc.stdout.buffer.read().count(b"\r")
        err = proc.stderr.read()
        assert (status, "Sanitizer" in err, "runtime error" in err) == (0, False, False), \
            (moment, seed, err)
        assert sandbox.log().count("Stopping agent") == handled >= 1, (moment, seed)
