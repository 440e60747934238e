"""Every configuration command in the sandbox: reply, file effect, daemon restart only after a
change while the daemon runs (the daemon always ends up running the last settings), reconnect
after a changing network command, no upload of the agent's own writes, rewritten files that
keep their owner, a burst that costs neither replies nor the session, and a stop that stays a
stop."""
import hashlib
import json
import os
import shutil

from conftest import REPO, reply_to, wait_until

POOLS = {"main": {"stratum_url": "stratum+tcp://new.example:3333", "worker": "farm.rig9"}}
CHAIN = {"id": "2", "use_global_freq": False, "use_global_volt": True, "freq": 410, "volt": 0,
         "chips": [{"id": "3", "freq": 420}]}
AUTOTUNER = {"stage1": True, "stage2": False, "stage3": True, "stage3_interval": 12,
             "downclock_step": 4, "min_freq": 300, "hashrate_deviation": 70, "test_time": 5,
             "down_freq_hw": 2}
NETWORK = {"type": "config_network", "mode": "dhcp", "hostname": "antminer"}
# (command, accepted, daemon configuration changed, restarts asked for); the chain's chip
# settings are read back after the first six, before the perf profile resets them.
COMMANDS = [
    ({"type": "config_pools", **POOLS}, True, True, 1),
    ({"type": "config_pools", **POOLS}, True, False, 0),
    ({"type": "config_fans", "mode": "manual", "speed": 70}, True, True, 1),
    ({"type": "config_fans", "speed": 70}, False, False, 0),
    ({"type": "config_chain", **CHAIN}, True, True, 1),
    ({"type": "config_chain", **CHAIN, "id": "7"}, False, False, 0),
    ({"type": "config_watchdog", "min_hr": "350"}, True, True, 1),
    ({"type": "config_autotuner", **AUTOTUNER}, True, True, 1),
    ({"type": "config_perf", "perf": {"profile": "4", "freq": 400, "volt": 9}}, True, True, 1),
    ({"type": "config_web_access", "new_password": "s3cret"}, True, False, 0),
    (NETWORK, True, False, 0),  # unchanged: the connection stays
    ({**NETWORK, "hostname": "bad;name"}, False, False, 0),
]


def firmware_init_script(sandbox, delay):
    """The daemon's init script as some firmware ships it: no "#!" line, and slow."""
    script = sandbox.path("/etc/init.d/cgminer.sh")
    lines = [line for line in script.read_text().splitlines()
             if not line.startswith(("#!", "sleep "))]
    script.write_text("\n".join(lines[:1] + [f"sleep {delay}"] + lines[1:]) + "\n")


def last_start_settings(sandbox):
    """The settings the simulated daemon read at its latest start."""
    starts = sandbox.path("/var/log/fakeminer-starts.log").read_text().splitlines()
    return json.loads(starts[-1])["settings"]


def test_configuration_commands(sandbox, server):
    shutil.copy(REPO / "tests/unit/miner/data/l3plus.conf", sandbox.path("/config/cgminer.conf"))
    sandbox.path("/config/lighttpd-htdigest.user").write_text("root:antMiner Configuration:0")
    # Files of another user (the web server's): each rewrite keeps the owner.
    owned = ["/config/cgminer.conf", "/config/network.conf", "/config/lighttpd-htdigest.user"]
    as_root = os.geteuid() == 0
    for path in owned if as_root else []:
        os.chown(sandbox.path(path), 1234, 1235)
    firmware_init_script(sandbox, 0)
    sandbox.daemon("start")
    try:
        sandbox.connect(server)
        sandbox.authenticated(server)
        # A new process cannot show that the server holds these files: one upload.
        server.wait_message("update_config", timeout=10)
        conf = sandbox.path("/config/cgminer.conf")

        def restarts():
            return sandbox.calls().count("cgminer.sh restart")

        def requested():
            """Restarts the agent asked for; logged before the command's reply is queued."""
            return sandbox.log().count("Miner configuration changed, restarting the miner")

        def settled():
            wait_until(lambda: sandbox.log().count("Miner restarted") >= restarts(), 20,
                       "restart to finish")

        def command(message, reply=True, running=True):
            """Sends one command; returns its reply and whether the file and daemon changed."""
            before, restarted, asked = conf.read_bytes(), restarts(), requested()
            since = len(server.received)
            server.send(message)
            answer = server.wait_message(message["type"], timeout=15, since=since) if reply \
                else sandbox.wait_log("Request config failed") if message.get("ok") is False \
                else None
            changed = conf.read_bytes() != before
            if changed and running:
                wait_until(lambda: restarts() > restarted, 20, "daemon restart")
                settled()
            return answer, changed, requested() - asked

        since = len(server.received)
        for message, accepted, changed, asked in COMMANDS[:6]:
            assert command(message) == ({"type": message["type"], "ok": accepted}, changed,
                                        asked), message
        report = command({"type": "chip_metrics", "request_id": "r7", "chain_id": "2"})[0]
        assert (report["chain_id"], report["request_id"], report["ok"]) == ("2", "r7", True)
        assert [c["id"] for c in report["chips"]] == [str(n) for n in range(1, 73)]
        assert report["chips"][2]["freq"] == 420 and report["chips"][2]["custom_freq"] is True
        assert "custom_freq" not in report["chips"][0]
        assert command({"type": "chip_metrics", "request_id": "r8", "chain_id": "9"})[0] == {
            "type": "chip_metrics", "ok": False}
        for message, accepted, changed, asked in COMMANDS[6:]:
            assert command(message) == ({"type": message["type"], "ok": accepted}, changed,
                                        asked), message
        assert server.connections == 1
        ha1 = hashlib.md5(b"root:antMiner Configuration:s3cret").hexdigest()
        assert sandbox.path("/config/lighttpd-htdigest.user").read_text() == \
            f"root:antMiner Configuration:{ha1}"
        notice = server.wait_message("update_config", timeout=10, since=since)
        assert [c["id"] for c in notice["chains"]] == ["1", "2", "3", "4"]
        assert '"bitmain-freq2" : "0"' in conf.read_text()

        # The multi-section message is never answered; a refused one changes nothing.
        assert command({"type": "config", "ok": False, "message": "no", "pools": {}},
                       reply=False)[1:] == (False, 0)
        server.send({"type": "config", "watchdog": {"max_temp": "88"}})
        wait_until(lambda: '"bitmain-tempoff" : "88"' in conf.read_text(), 10, "config applied")
        wait_until(lambda: restarts() == 7, 20, "restart after config")
        settled()

        # Back to back, the second change while the first restart still runs: the daemon ends
        # up having read the last one.
        firmware_init_script(sandbox, 1.5)
        server.send({"type": "config_fans", "mode": "manual", "speed": 80})
        server.send({"type": "config_fans", "mode": "manual", "speed": 71})
        wait_until(lambda: len(server.messages("config_fans")) == 4, 15, "both replies")
        wait_until(lambda: restarts() == 9, 20, "the restart after the running one")
        settled()
        assert last_start_settings(sandbox)["bitmain-fan-pwm"] == "71"
        firmware_init_script(sandbox, 0)

        # The daemon does not run: the change is written, nothing is restarted.
        sandbox.daemon("stop")
        assert command({"type": "config_watchdog", "min_hr": "300"}, running=False)[1:] == (True, 0)
        sandbox.daemon("start")

        # New network settings restart networking; the agent reconnects after the reply.
        assert command({**NETWORK, "hostname": "rig-9"})[0] == {"type": "config_network",
                                                                "ok": True}
        server.wait_connections(2, timeout=30)
        assert sandbox.path("/config/network.conf").read_text() == "hostname=rig-9\ndhcp=true\n"
        assert "network.sh restart" in sandbox.calls()

        # The watcher runs throughout: an outside edit, as the web interface makes, is
        # uploaded, and besides it only the perf notice went out as "update_config".
        sandbox.web_edit("bitmain-fan-pwm=55")
        wait_until(lambda: len(server.messages("update_config")) >= 2, 20, "upload of the edit")
        wait_until(lambda: len(server.messages("update_config")) >= 3, 20, "upload of the edit")
        assert [m.get("fans", {}).get("speed") for m in server.messages("update_config")] == [
            80, None, 55]
        # One restart per change while the daemon ran, none after a request that changed
        # nothing.
        settled()
        assert restarts() == requested() == 9
        assert sandbox.proc.poll() is None
        for path in owned if as_root else []:
            assert (sandbox.path(path).stat().st_uid, sandbox.path(path).stat().st_gid) == (
                1234, 1235), path

        # A burst, as a fleet's server pushes settings: every reply, in order, on the same
        # session, and the file and the daemon end up with the last.
        since = len(server.received)
        for n in range(40):
            server.send({"type": "config_watchdog", "min_hr": str(301 + n)})
        def replies():
            return [r.json for r in server.received[since:] if r.json["type"] == "config_watchdog"]
        wait_until(lambda: len(replies()) == 40, 60, "40 replies")
        assert replies() == [{"type": "config_watchdog", "ok": True}] * 40
        assert server.connections == 2
        wait_until(lambda: last_start_settings(sandbox).get("bitmain-minhr") == "340", 30,
                   "the daemon running the last")

        # A stop while a slow restart runs and another waits behind it: the waiting one never
        # runs, the daemon stays stopped, and a start brings it back with the last settings.
        firmware_init_script(sandbox, 1.5)
        settled()
        before = restarts()
        for speed in (81, 82):
            server.send({"type": "config_fans", "mode": "manual", "speed": speed})
        wait_until(lambda: restarts() > before, 20, "the first restart")
        assert reply_to(server, {"type": "stop_mining"}) == {"type": "stop_mining", "ok": True}
        wait_until(lambda: sandbox.path("/tmp/stoptrigger").exists(), 20, "the stop")
        settled()
        assert restarts() == before + 1
        assert not sandbox.path("/var/run/cgminer.pid").exists()
        firmware_init_script(sandbox, 0)
        assert reply_to(server, {"type": "start_mining"}) == {"type": "start_mining", "ok": True}
        wait_until(lambda: sandbox.path("/var/run/cgminer.pid").exists(), 20, "the start")
        assert last_start_settings(sandbox)["bitmain-fan-pwm"] == "82"
        assert restarts() == before + 1
    finally:
        sandbox.daemon("stop")
