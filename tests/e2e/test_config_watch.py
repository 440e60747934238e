"""The configuration upload: at registration, and about 3 s after the machine's web interface
(sandbox/webedit.py) changed the daemon's settings, also while the agent writes them itself or
after "/config" was replaced; never for the agent's own writes alone. A change that no session
could carry (the server down, the authentication unanswered, the session ended with the upload
queued, the agent not running) is uploaded after the next authentication. Status reports wait
for the registration's acknowledgement, then come at least every 30 s."""
import shutil
import time

from conftest import reply_to, wait_until

SECTIONS = ["type", "pools", "fans", "perf", "chains", "autotuner", "watchdog", "network"]


def uploads(server):
    return [r for r in server.received
            if isinstance(r.json, dict) and r.json.get("type") == "update_config"
            and "ok" not in r.json]


def next_upload(server, count, timeout=15):
    return server.wait_for(lambda: len(uploads(server)) >= count and uploads(server)[count - 1],
                           timeout, f"upload number {count}")


def test_registration_and_outside_edits_upload_once_about_3s_later(agent, server):
    server.auth_mode = "accept_register"
    first = next_upload(server, 1, timeout=20).json
    assert list(first) == SECTIONS
    assert first["pools"]["main"] == {"stratum_url": "stratum+tcp://ltc.pool-one.example:3333",
                                      "worker": "farm7.l3p-042", "password": "x"}
    assert first["fans"] == {"mode": "auto", "speed": 60, "silent_start": True, "target_temp": 78}
    assert first["perf"] == {"profile": "4", "freq": 384, "volt": 8}
    chain2 = first["chains"][1]
    assert (chain2["id"], chain2["freq"], chain2["volt"]) == ("2", 396, 9.0)
    assert chain2["chips"] == [{"id": "5", "freq": 400}, {"id": "70", "freq": 420}]
    assert first["watchdog"] == {"min_hr": 450, "max_xchips": 6, "max_temp": 95}
    assert first["network"] == {"mode": "dhcp", "hostname": "antminer"}
    # Status waits for the server's acknowledgement: two status cycles (each fails two daemon
    # exchanges) pass without one.
    failures = agent.log().count("Connection failed to API")
    wait_until(lambda: agent.log().count("Connection failed to API") >= failures + 4, 30,
               "two status cycles")
    assert server.messages("status") == []
    server.send({"type": "update_config", "ok": True})
    agent.wait_log("Successfully update config on the server")
    status = server.wait_record("status", timeout=10)
    assert (status.json["state"], status.json["uptime"]) == ({"name": "restarting"}, 0)

    # One edit in place: one upload, about 3 s later.
    edited = agent.web_edit("bitmain-fan-pwm=80", "bitmain-fan-ctrl=true")
    upload = next_upload(server, 2)
    delay = upload.time - edited
    print(f"edit -> upload: {delay:.2f} s")
    assert 2.5 <= delay <= 6
    assert upload.json["fans"]["mode"] == "manual" and upload.json["fans"]["speed"] == 80

    # Quick edits, in place and by rename: one upload after the last.
    for speed in (70, 71):
        agent.web_edit(f"bitmain-fan-pwm={speed}")
        time.sleep(0.5)  # a person clicking through the page
    edited = agent.web_edit("bitmain-fan-pwm=72", rename=True)
    upload = next_upload(server, 3)
    assert upload.time - edited >= 2.5
    assert upload.json["fans"]["speed"] == 72

    # Someone else's edit around the agent's own writes is not lost: one made while a write has
    # the watcher paused, and taken in by the next write in that pause ...
    assert reply_to(server, {"type": "config_fans", "mode": "manual", "speed": 91,
                             "silent_start": True}) == {"type": "config_fans", "ok": True}
    agent.web_edit("bitmain-fan-pwm=55")
    server.send({"type": "config_watchdog", "min_hr": "444"})
    upload = next_upload(server, 4).json
    assert (upload["fans"]["speed"], upload["watchdog"]["min_hr"]) == (55, 444)
    # ... and one not yet reported when a command stores over it, however the watcher's
    # events are timed: one upload carries both.
    agent.web_edit("bitmain-fan-pwm=56")
    server.send({"type": "config_watchdog", "min_hr": "445"})
    upload = next_upload(server, 5).json
    assert (upload["fans"]["speed"], upload["watchdog"]["min_hr"]) == (56, 445)

    # The agent's own store, and another file of the directory: nothing. Waiting past the
    # settle time also shows that each burst above led to one upload only.
    assert reply_to(server, {"type": "config_fans", "mode": "manual", "speed": 90,
                             "silent_start": True}) == {"type": "config_fans", "ok": True}
    assert '"bitmain-fan-pwm" : "90"' in agent.path("/config/cgminer.conf").read_text()
    agent.path("/config/lighttpd-htdigest.user").write_text("admin:antMiner:0123abcd\n")
    time.sleep(4.5)
    assert len(uploads(server)) == 5

    # A replaced "/config" is watched again: one upload, and later edits are seen.
    config = agent.path("/config")
    shutil.copytree(config, agent.path("/config.new"))
    config.rename(agent.path("/config.old"))
    agent.path("/config.new").rename(config)
    next_upload(server, 6)
    agent.web_edit("bitmain-fan-pwm=57")
    assert next_upload(server, 7).json["fans"]["speed"] == 57
    agent.wait_log("Watching " + str(config) + " again")

    # No daemon, so nothing changes: the next status report comes about 30 s after the first.
    later = server.wait_record("status", timeout=45)
    assert 25 < later.time - status.time < 40 and later.json["state"] == {"name": "restarting"}

    # No session can carry a change: the server is down ...
    server.auth_mode = "accept"
    conn = server.connections
    server.stop()
    agent.web_edit("bitmain-fan-pwm=58")
    agent.wait_log("Configuration upload follows the next authentication")
    server.start()
    server.wait_message("auth", timeout=20, conn=conn + 1)
    assert next_upload(server, 8, timeout=10).json["fans"]["speed"] == 58
    # ... or its authentication goes unanswered, and the session ends with the upload queued.
    server.auth_mode = "silent"
    server.close(conn=conn + 1)
    server.wait_message("auth", timeout=20, conn=conn + 2)
    agent.web_edit("bitmain-fan-pwm=59")
    time.sleep(5)  # past the settle time: the upload waits behind the authentication
    assert len(uploads(server)) == 8
    server.auth_mode = "accept"
    server.close(conn=conn + 2)
    server.wait_message("auth", timeout=20, conn=conn + 3)
    assert next_upload(server, 9, timeout=10).json["fans"]["speed"] == 59

    # A new process uploads after its first authentication when the server's copy is stale,
    # and not when the record it finds shows the server current.
    assert agent.stop() == 0
    agent.web_edit("bitmain-fan-pwm=60")
    agent.start()
    server.wait_message("auth", timeout=20, conn=conn + 4)
    assert next_upload(server, 10, timeout=10).json["fans"]["speed"] == 60
    assert agent.stop() == 0
    agent.start()
    server.wait_record("status", timeout=20, conn=conn + 5)
    assert len(uploads(server)) == 10

    begin = time.monotonic()
    assert agent.stop() == 0
    assert time.monotonic() - begin < 3
