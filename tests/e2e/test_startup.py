"""Start-up of the sandbox agent: options, configuration file, device id, exit statuses."""
import json
import os
import re

KEY = "k" * 25
STARTED = "Press Ctrl+C to stop agent"


def start_and_stop(sandbox, *args):
    """Runs the agent through start-up, then stops it; returns its exit status."""
    sandbox.start(*args)
    sandbox.wait_log(STARTED)
    return sandbox.stop()


def test_help_prints_usage_before_reading_the_configuration(sandbox):
    sandbox.config.unlink()
    status, out, _ = sandbox.run("-h")
    assert status == 0
    assert out == (
        "Corvane agent v2.0.0\n\n"
        "USAGE: cvagent [OPTIONS]\n"
        "    -c,--config <file>        Set agent config file\n"
        "    -u,--upload               Force upload miner config\n"
        "    -h                        Display this message\n")
    assert sandbox.run("--help")[0] == 0


def test_start_up_logs_identity_and_server(sandbox):
    sandbox.write_config({"api_key": KEY, "dev_id": "DEV-1"})
    assert start_and_stop(sandbox, "--bogus", "-x", "stray", "-s", "wss://localhost:9/api/v1/ws") == 0
    log = sandbox.log()
    for line in ("Agent version: 2.0.0", f"API key: {KEY}", "Device Id: DEV-1",
                 "Server URL: wss://localhost:9/api/v1/ws"):
        assert line in log
    # A file that has its device id is never rewritten.
    assert json.loads(sandbox.config.read_text()) == {"api_key": KEY, "dev_id": "DEV-1"}


def test_missing_device_id_is_generated_from_the_mac_and_kept(sandbox):
    sandbox.write_config({"api_key": KEY, "other": 1})
    assert start_and_stop(sandbox) == 0
    text = sandbox.config.read_text()
    assert text == '{\n  "api_key": "%s",\n  "dev_id": "0000000000000000-000000000000"\n}' % KEY
    assert "Device Id: 0000000000000000-000000000000" in sandbox.log()


def test_pseudo_device_id_without_the_interface(sandbox):
    sandbox.write_config({"api_key": KEY})
    sandbox.start(iface="nosuch0")
    sandbox.wait_log(STARTED)
    assert sandbox.stop() == 0
    dev_id = json.loads(sandbox.config.read_text())["dev_id"]
    assert re.fullmatch("[0-9A-F]{32}", dev_id)
    assert "Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)" in sandbox.log()
    # The next start reuses it.
    sandbox.path("/var/log/cvagent.log").unlink()
    assert start_and_stop(sandbox) == 0
    assert f"Device Id: {dev_id}" in sandbox.log()


def test_bad_configuration_ends_start_up(sandbox):
    cases = {
        json.dumps({"api_key": "k" * 24}): "API key length is to short",
        json.dumps({"api_key": KEY, "dev_id": 5}): "Failed to parse config file",
        '{"api_key": "': "Failed to load",
        "\x00\x01binary": "Failed to load",
    }
    for text, message in cases.items():
        sandbox.config.write_text(text)
        status, _, _ = sandbox.run()
        assert status == 1, text
        assert message in sandbox.log(), text
    sandbox.config.unlink()
    assert sandbox.run()[0] == 1
    assert re.search(r"ERROR config\.cpp:\d+: ", sandbox.log())
    assert re.search(r"ERROR agent\.cpp:\d+: Failed to load .*corvane\.json file", sandbox.log())


def test_unparsable_server_url_ends_start_up(sandbox):
    sandbox.write_config({"api_key": KEY, "dev_id": "D"})
    for url in ("localhost/api/v1/ws", "://localhost/api/v1/ws"):
        status, _, _ = sandbox.run("-s", url)
        assert status == 1
        assert f"Failed to parse server url: {url}" in sandbox.log()


def test_missing_log_configuration_ends_silently(sandbox):
    sandbox.path("/opt/corvane/etc/log.conf").unlink()
    status, out, err = sandbox.run()
    assert (status, out, err) == (1, "", "")


def test_sandbox_refuses_to_start_without_its_stubs(sandbox):
    sandbox.path("/bin/reboot").unlink()
    status, _, err = sandbox.run()
    assert status == 1
    assert "bin/reboot" in err
    assert sandbox.log() == ""
    status, _, err = sandbox.run(root_args=[])
    assert status == 1 and "--root" in err
