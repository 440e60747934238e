"""The agent's session with the reference server: authentication, dispatch, replies, faults."""
import time

from conftest import reply_to, wait_until


def test_auth_request_and_control_commands(agent, server):
    auth = server.wait_message("auth", timeout=20)
    assert list(auth) == ["type", "api_key", "device_id", "model", "firmware_id", "firmware_ver"]
    assert auth == {"type": "auth", "api_key": "k" * 30, "device_id": "DEV-E2E",
                    "model": "antminer-l3plus", "firmware_id": "quarn-antminer-l3plus",
                    "firmware_ver": "3.9.1"}
    agent.wait_log("Agent successfully authenticated")
    # A new process cannot show that the server holds its files: one upload, whenever it leaves.
    server.wait_message("update_config", timeout=10)

    # Commands without a reply, then one with: the first reply after them is the reboot's.
    since = len(server.received)
    # The server's text cannot forge a log line of its own.
    for command in ({"type": "status"}, {"type": "update_firmware"},
                    {"type": "no_such\nINFO forged"},
                    {"ok": False, "message": "quota %s exceeded\r\x1b[2J"}):
        server.send(command)
    assert reply_to(server, {"type": "reboot", "mode": "soft"}) == {"type": "reboot",
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
        assert reply_to(server, {"type": kind}) == {"type": kind, "ok": False}
    assert reply_to(server, {"type": "chip_metrics", "request_id": "r"}) == {
        "type": "chip_metrics", "ok": False}

    # The kernel log: the script's output, also more than 4096 bytes with lines longer than
    # the 256-byte line buffer, or nothing.
    reply = reply_to(server, {"type": "logs", "request_id": "r1"})
    assert reply["request_id"] == "r1"
    assert "simulated kernel log" in reply["logs"]

    script = agent.path("/www/pages/cgi-bin/get_kernel_log.cgi")
    script.write_text("#!/bin/sh\nfor i in $(seq 1 40); do printf 'line %03d %0300d\\n' $i 0; done\n")
    reply = reply_to(server, {"type": "logs", "request_id": "r2"})
    assert reply["logs"] == "".join(f"line {i:03d} {0:0300d}\n" for i in range(1, 41))

    script.write_text("#!/bin/sh\nexit 0\n")
    assert reply_to(server, {"type": "logs", "request_id": "r3"})["logs"] == ""
    # The request is logged as it came, yet no line of it can pass for one of the agent's.
    assert reply_to(server, {"type": "logs", "note": "\u009b[2J\x7f"}) == {"type": "logs",
                                                                          "ok": False}
    assert ('Failed to parse get logs request:\n    {\n      "type": "logs",\n'
            '      "note": "\\xc2\\x9b[2J\\x7f"\n    }\n') in agent.log()

    # The message size limit: 16383 bytes whole or in fragments; a longer message is dropped.
    since = len(server.received)
    server.send_text(padded_reboot(16383))
    server.wait_message("reboot", timeout=10, since=since)

    since = len(server.received)
    server.send_fragments([padded_reboot(16384)[:9000], padded_reboot(16384)[9000:]])
    text = padded_reboot(16383)
    server.send_fragments([text[i:i + 1000] for i in range(0, len(text), 1000)])
    server.wait_message("reboot", timeout=10, since=since)
    assert len(server.messages("reboot")) == 3  # with the soft one; the oversized one was dropped
    assert "Unable to compose the incomming message, buffer too small" in agent.log()
    assert server.connections == 1

    # A stop while connected closes the session normally.
    assert agent.stop() == 0
    assert server.wait_closed(1, timeout=10).code == 1000
    assert "Stopping agent" in agent.log()


def test_rejected_unanswered_and_late_authentication_then_one_upload(sandbox, server):
    # The reason of a rejection cannot forge a log line.
    server.auth_mode = "silent"
    sandbox.connect(server, "-u")
    server.wait_message("auth", timeout=20, conn=1)
    server.send({"type": "auth", "ok": False,
                 "message": "Invalid API key\nINFO Agent successfully authenticated\u009b"}, conn=1)
    server.wait_closed(1, timeout=20)
    sandbox.wait_log("Authentication failed: \n    Invalid API key\n"
                     "    INFO Agent successfully authenticated\\xc2\\x9b\n")
    sandbox.wait_log("Trying agent reconnect 1")
    # An unanswered request is given up after a minute.
    server.wait_message("auth", timeout=20, conn=2)
    start = time.monotonic()
    server.wait_closed(2, timeout=90)
    assert time.monotonic() - start > 55
    sandbox.wait_log("Aborting agent connection on timeout")

    # Messages during a late authentication are handled (their log script ran), yet no reply
    # leaves before it; then all follow in order.
    server.wait_message("auth", timeout=20, conn=3)
    for n in range(5):
        server.send({"type": "logs", "request_id": str(n)}, conn=3)
    wait_until(lambda: sandbox.calls().count("get_kernel_log.cgi") == 5, 10, "five log collections")
    assert server.messages("logs") == []
    server.send({"type": "auth", "ok": True}, conn=3)
    wait_until(lambda: len(server.messages("logs")) == 5, 10, "five logs replies")
    assert [m["request_id"] for m in server.messages("logs")] == ["0", "1", "2", "3", "4"]
    assert "Conn abort timer can't be stopped, no active connections" in sandbox.log()

    # The option -u uploads the configuration after the first authentication, and only then.
    assert server.wait_message("update_config", timeout=20)["network"] == {
        "mode": "dhcp", "hostname": "antminer"}
    server.auth_mode = "accept"
    server.close(conn=3)
    sandbox.authenticated(server, conn=4)
    server.send({"type": "reboot"}, conn=4)
    server.wait_message("reboot", timeout=10)
    assert len(server.messages("update_config")) == 1


def test_bad_messages_close_the_connection(agent, server):
    agent.authenticated(server)
    # Each of these fails the message: the connection closes and the agent comes back.
    for conn, bad in enumerate((b'{"no_type": 1}', b"[1, 2]", b"not json", b'{"type": 5}',
                                b'{"a": ' * 2500, b'{"type": "status", "n": 1' + b"0" * 400 + b"}",
                                b'{"type": "\xff\xfe"}'), 1):
        server.send_bytes_as_text(bad, conn=conn)
        server.wait_closed(conn, timeout=20)
        server.wait_connections(conn + 1, timeout=20)
        server.wait_message("auth", timeout=20, conn=conn + 1)
    log = agent.log()
    assert "Malformed message received: {\"no_type\": 1}" in log
    assert "Root element must be an object" in log
    assert "Failed to decode msg - " in log


def padded_reboot(size):
    """A reboot command of exactly `size` bytes."""
    head = '{"type": "reboot", "pad": "'
    return head + "x" * (size - len(head) - 2) + '"}'
