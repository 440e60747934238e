"""Start-up of the sandbox agent: options, configuration file, device id, exit statuses, and
the end the hang rule makes when no server is reachable."""
import json
import os
import re

from conftest import wait_until

KEY = "k" * 25
STARTED = "Press Ctrl+C to stop agent"


def start_and_stop(sandbox, *args, **kwargs):
    """Runs the agent through start-up, then stops it; returns its exit status. The log
    holds this run only."""
    sandbox.path("/var/log/cvagent.log").unlink(missing_ok=True)
    sandbox.start(*args, **kwargs)
    sandbox.wait_log(STARTED)
    return sandbox.stop()


def test_device_id_is_made_once_and_the_identity_logged(sandbox):
    # A missing device id comes from the interface's MAC and is written back.
    sandbox.write_config({"api_key": KEY, "other": 1})
    assert start_and_stop(sandbox) == 0
    mac_id = "0000000000000000-000000000000"
    assert sandbox.config.read_text() == '{\n  "api_key": "%s",\n  "dev_id": "%s"\n}' % (KEY,
                                                                                         mac_id)
    assert f"Device Id: {mac_id}" in sandbox.log()

    # Unknown options are ignored; a file that has its device id is never rewritten.
    sandbox.write_config({"api_key": KEY, "dev_id": "DEV-1"})
    text = sandbox.config.read_text()
    assert start_and_stop(sandbox, "--bogus", "-x", "stray", "-s",
                          "wss://localhost:9/api/v1/ws") == 0
    for line in ("Agent version: 2.0.0", f"API key: {KEY}", "Device Id: DEV-1",
                 "Server URL: wss://localhost:9/api/v1/ws"):
        assert line in sandbox.log()
    assert sandbox.config.read_text() == text

    # Without the interface: a pseudo id, which the next start reuses.
    sandbox.write_config({"api_key": KEY})
    assert start_and_stop(sandbox, iface="nosuch0") == 0
    dev_id = json.loads(sandbox.config.read_text())["dev_id"]
    assert re.fullmatch("[0-9A-F]{32}", dev_id)
    assert "Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)" in sandbox.log()

    # The next start reuses it. Standard output is a pipe, as under an init system: lines must
    # come as they are logged.
    sandbox.path("/var/log/cvagent.log").unlink()
    proc = sandbox.start()
    os.set_blocking(proc.stdout.fileno(), False)
    seen = []

    def console_has(line):
        try:
            seen.append(os.read(proc.stdout.fileno(), 65536))
        except BlockingIOError:
            pass
        return line in b"".join(seen)
    wait_until(lambda: console_has(STARTED.encode()), 10, "the console line")
    assert f"Device Id: {dev_id}" in sandbox.log()

    # No server: the hang rule ends the agent. Status and metrics threads still run, and the
    # end must neither abort nor wedge.
    sandbox.wait_log("Trying agent reconnect 2")
    sandbox.move_clock(601)
    wait_until(lambda: proc.poll() is not None, 30, "the hang rule to end the agent")
    err = proc.stderr.read()
    assert proc.returncode == 1, err
    assert "terminate called" not in err
    assert re.search(r"ERROR agent\.cpp:\d+: Agent connection hands, restarting\n$", sandbox.log())


def test_help_and_start_up_failures(sandbox):
    # Help is printed before the configuration is read.
    sandbox.config.unlink()
    assert sandbox.run("-h")[:2] == (0, "Corvane agent v2.0.0\n\n"
                                        "USAGE: cvagent [OPTIONS]\n"
                                        "    -c,--config <file>        Set agent config file\n"
                                        "    -u,--upload               Force upload miner config\n"
                                        "    -h                        Display this message\n")
    assert sandbox.run("--help")[0] == 0

    log = sandbox.path("/var/log/cvagent.log")
    valid = json.dumps({"api_key": KEY, "dev_id": "D"})
    cases = [  # (configuration file, None: absent; options; what the log must show)
        (json.dumps({"api_key": "k" * 24}), (), "API key length is to short"),
        (json.dumps({"api_key": KEY, "dev_id": 5}), (), "Failed to parse config file"),
        ('{"api_key": "', (), "Failed to load"),
        ("\x00\x01binary", (), "Failed to load"),
        (None, (), r"ERROR config\.cpp:\d+: (.*\n)*.*"
                   r"ERROR agent\.cpp:\d+: Failed to load .*corvane\.json file"),
        (valid, ("-s", "localhost/api/v1/ws"), "Failed to parse server url: localhost/api/v1/ws"),
        (valid, ("-s", "://localhost/api/v1/ws"), "Failed to parse server url: ://localhost/"),
    ]
    for text, args, expected in cases:
        log.unlink(missing_ok=True)
        if text is None:
            sandbox.config.unlink()
        else:
            sandbox.config.write_text(text)
        assert sandbox.run(*args)[0] == 1, (text, args)
        assert re.search(expected, sandbox.log()), (text, args)

    # Without its logging configuration the agent ends silently.
    log_conf = sandbox.path("/opt/corvane/etc/log.conf")
    log_conf.rename(log_conf.with_suffix(".off"))
    assert sandbox.run() == (1, "", "")
    log_conf.with_suffix(".off").rename(log_conf)

    # The sandbox refuses to start without its stubs, or without its root.
    log.unlink(missing_ok=True)
    sandbox.path("/bin/reboot").unlink()
    status, _, err = sandbox.run()
    assert status == 1 and "bin/reboot" in err
    assert sandbox.log() == ""
    status, _, err = sandbox.run(root_args=[])
    assert status == 1 and "--root" in err
