"""The agent's session with the reference server: authentication, dispatch, replies, faults."""
import json
import signal
import stat
import time

from conftest import wait_until


def authenticated(agent, server, conn=1):
    server.wait_message("auth", timeout=20, conn=conn)
    agent.wait_log("Agent successfully authenticated")


def command_reply(server, command, reply_type=None, conn=None):
    """Sends a command and returns the next message of the reply's type."""
    since = len(server.received)
    server.send(command, conn=conn)
    return server.wait_message(reply_type or command["type"], timeout=10, since=since)


def test_auth_request_and_control_commands(agent, server):
    auth = server.wait_message("auth", timeout=20)
    assert list(auth) == ["type", "api_key", "device_id", "model", "firmware_id", "firmware_ver"]
    assert auth == {"type": "auth", "api_key": "k" * 30, "device_id": "DEV-E2E",
                    "model": "antminer-l3plus", "firmware_id": "quarn-antminer-l3plus",
                    "firmware_ver": "3.9.1"}
    agent.wait_log("Agent successfully authenticated")

    # Commands without a reply, then one with: the first reply after them is the reboot's.
    since = len(server.received)
    # The server's text cannot forge a log line of its own.
    for command in ({"type": "status"}, {"type": "update_firmware"},
                    {"type": "no_such\nINFO forged"},
                    {"ok": False, "message": "quota %s exceeded\r\x1b[2J"}):
        server.send(command)
    assert command_reply(server, {"type": "reboot", "mode": "soft"}) == {"type": "reboot",
                                                                        "ok": True}
    replies = [r.json["type"] for r in server.received[since:]
               if r.json["type"] not in ("status", "metrics")]  # the agent's own reports
    assert replies == ["reboot"]
    log = agent.log()
    assert "Firmware update not supported" in log
    assert "Unknown message received: no_such\\nINFO forged\n" in log
    assert "Error message received - quota %s exceeded\\r\\e[2J\n" in log
    assert "Rebooting asic, mode = hard" in log
    # pidof is the status reporter asking whether the daemon runs.
    calls = [line.split()[1] for line in agent.calls().splitlines()]
    assert [c for c in calls if c != "pidof"] == ["sync", "reboot"]

    # Commands without their required members fail as their own type.
    for kind in ("config_pools", "config_fans", "config_network"):
        assert command_reply(server, {"type": kind}) == {"type": kind, "ok": False}
    assert command_reply(server, {"type": "chip_metrics", "request_id": "r"}) == {
        "type": "chip_metrics", "ok": False}
    assert server.connections == 1


def test_logs_are_answered_with_the_script_output(agent, server):
    authenticated(agent, server)
    reply = command_reply(server, {"type": "logs", "request_id": "r1"})
    assert reply["request_id"] == "r1"
    assert "simulated kernel log" in reply["logs"]

    # More than 4096 bytes, with lines longer than the 256-byte line buffer.
    script = agent.path("/www/pages/cgi-bin/get_kernel_log.cgi")
    script.write_text("#!/bin/sh\nfor i in $(seq 1 40); do printf 'line %03d %0300d\\n' $i 0; done\n")
    reply = command_reply(server, {"type": "logs", "request_id": "r2"})
    assert reply["logs"] == "".join(f"line {i:03d} {0:0300d}\n" for i in range(1, 41))

    script.write_text("#!/bin/sh\nexit 0\n")
    assert command_reply(server, {"type": "logs", "request_id": "r3"})["logs"] == ""
    assert command_reply(server, {"type": "logs"}) == {"type": "logs", "ok": False}
    assert "Failed to parse get logs request" in agent.log()


def test_messages_queued_during_authentication_follow_it_in_order(agent, server):
    server.auth_mode = "silent"
    server.wait_message("auth", timeout=20)
    for n in range(5):
        server.send({"type": "logs", "request_id": str(n)})
    # All five handled (their log script ran), yet no reply may leave before authentication.
    wait_until(lambda: agent.calls().count("get_kernel_log.cgi") == 5, 10, "five log collections")
    assert server.messages("logs") == []
    server.send({"type": "auth", "ok": True})
    wait_until(lambda: len(server.messages("logs")) == 5, 10, "five logs replies")
    assert [m["request_id"] for m in server.messages("logs")] == ["0", "1", "2", "3", "4"]


def test_rejected_auth_closes_and_reconnects(agent, server):
    server.auth_mode = "reject"
    server.wait_closed(1, timeout=20)
    agent.wait_log("Authentication failed: \nInvalid API key")
    agent.wait_log("Trying agent reconnect 1")
    server.auth_mode = "accept"
    server.wait_connections(2, timeout=20)
    authenticated(agent, server, conn=2)
    assert "Conn abort timer can't be stopped, no active connections" in agent.log()


def test_bad_messages_close_or_are_dropped(agent, server):
    authenticated(agent, server)
    conn = 1
    # Each of these fails the message: the connection closes and the agent comes back.
    for bad in ('{"no_type": 1}', "[1, 2]", "not json", '{"type": 5}', '{"a": ' * 2500,
                '{"type": "status", "n": 1' + "0" * 400 + "}"):
        server.send_text(bad, conn=conn)
        server.wait_closed(conn, timeout=20)
        conn += 1
        server.wait_connections(conn, timeout=20)
        server.wait_message("auth", timeout=20, conn=conn)
    server.send_bytes_as_text(b'{"type": "\xff\xfe"}', conn=conn)
    server.wait_closed(conn, timeout=20)
    conn += 1
    server.wait_connections(conn, timeout=20)
    authenticated(agent, server, conn=conn)
    log = agent.log()
    assert "Malformed message received: {\"no_type\": 1}" in log
    assert "Root element must be an object" in log
    assert "Failed to decode msg - " in log


def padded_reboot(size):
    """A reboot command of exactly `size` bytes."""
    head = '{"type": "reboot", "pad": "'
    return head + "x" * (size - len(head) - 2) + '"}'


def test_message_size_limit(agent, server):
    authenticated(agent, server)
    assert command_reply(server, {"type": "reboot"})["ok"] is True
    since = len(server.received)
    server.send_text(padded_reboot(16383))
    server.wait_message("reboot", timeout=10, since=since)

    since = len(server.received)
    server.send_fragments([padded_reboot(16384)[:9000], padded_reboot(16384)[9000:]])
    text = padded_reboot(16383)
    server.send_fragments([text[i:i + 1000] for i in range(0, len(text), 1000)])
    server.wait_message("reboot", timeout=10, since=since)
    assert len(server.messages("reboot")) == 3  # the oversized one was dropped
    assert "Unable to compose the incomming message, buffer too small" in agent.log()
    assert server.connections == 1


def test_sigterm_while_connected_closes_normally(agent, server):
    authenticated(agent, server)
    assert agent.stop() == 0
    assert server.wait_closed(1, timeout=10).code == 1000
    assert "Stopping agent" in agent.log()


def test_sigterm_while_disconnected_stops(sandbox):
    sandbox.write_config({"api_key": "k" * 30, "dev_id": "D"})
    sandbox.start()
    sandbox.wait_log("Trying agent reconnect 2", timeout=30)
    assert sandbox.stop() == 0


def test_unanswered_auth_is_aborted_after_a_minute(agent, server):
    server.auth_mode = "silent"
    server.wait_message("auth", timeout=20)
    start = time.monotonic()
    server.wait_closed(1, timeout=90)
    assert time.monotonic() - start > 55
    agent.wait_log("Aborting agent connection on timeout")
    server.wait_connections(2, timeout=20)


def test_upload_option_sends_the_configuration_after_the_first_authentication(sandbox, server):
    sandbox.server_url = f"wss://localhost:{server.port}/api/v1/ws"
    sandbox.write_config({"api_key": "k" * 30, "dev_id": "D"})
    sandbox.start("-u")
    upload = server.wait_message("update_config", timeout=20)
    assert upload["network"] == {"mode": "dhcp", "hostname": "antminer"}
    # Only once: a later session does not upload again.
    server.close()
    server.wait_connections(2, timeout=20)
    server.wait_message("auth", timeout=20, conn=2)
    sandbox.wait_log("Agent successfully authenticated")
    server.send({"type": "reboot"}, conn=2)
    server.wait_message("reboot", timeout=10)
    assert len(server.messages("update_config")) == 1
