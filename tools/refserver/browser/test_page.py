"""The live page in headless Chromium, fed by the sandbox agent and the simulated miner; one
session serves every test of this file, in order; a screenshot lands in BUILD_DIR/refserver-page."""

import asyncio
import json
import ssl
import subprocess
import sys
from pathlib import Path

import pytest
import websockets

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[2]
sys.path[:0] = [str(HERE.parent), str(HERE)]

import refserver  # noqa: E402
from cdp import Browser, wait_until  # noqa: E402

DEVICE = "DEV-PAGE"
ROW = f'#agents tr[data-key="{DEVICE}"]'
AGENT = f"dashboard.agents[{json.dumps(DEVICE)}]"


@pytest.fixture(scope="module")
def rig(request, tmp_path_factory):
    """(server port, browser, server log): the agent registered, the page open on it."""
    build = Path(request.config.getoption("--build-dir")).resolve()
    (out := build / "refserver-page").mkdir(parents=True, exist_ok=True)
    root, api_port = tmp_path_factory.mktemp("page") / "root", str(refserver.free_port())
    subprocess.run([REPO / "sandbox/make-root.sh", root, "lo", api_port], check=True,
                   stdout=subprocess.DEVNULL)
    (root / "etc/fakeminer.args").write_text("--warmup 1 --seed 2")
    (root / "config/corvane.json").write_text(json.dumps({"api_key": "k" * 30, "dev_id": DEVICE}))
    ctl, log, port = root / "usr/lib/fakeminer/ctl.sh", out / "refserver.log", refserver.free_port()
    script = root / "tmp/refserver.script"
    script.write_text('wait auth 60\nlogs\n{"type": "logs", "request_id": "typed"}\n')
    # As the demo runs it: registration at every connection, so the agent uploads its snapshot.
    with open(log, "w") as f:
        server = subprocess.Popen([sys.executable, refserver.__file__, "--port", str(port),
                                   "--auth", "accept_register", "--http-port", "0",
                                   "--script", script], stdin=subprocess.DEVNULL, stdout=f)
    subprocess.run([ctl, "start"], check=True)
    agent = subprocess.Popen([build / "cvagent-sandbox", "--root", root, "--iface", "lo",
                              "--api-port", api_port, "-c", root / "config/corvane.json",
                              "-s", f"wss://localhost:{port}/api/v1/ws"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    browser = None
    try:
        page = wait_until(lambda: "live page on " in log.read_text() and log.read_text(), 10,
                          "the page's address").split("live page on ")[1].split()[0]
        browser = Browser(page, out)
        yield port, browser, log
        browser.screenshot(out / "page-end.png")
        assert browser.errors == [], "the page's scripts threw"
    finally:
        if browser:
            browser.close()
        for process in (agent, server):
            process.kill()
            process.wait()
        subprocess.run([ctl, "stop"])


def text_of(selector):
    return f"document.querySelector({json.dumps(selector)})?.textContent"


def latest_reply(browser, expected):
    """Waits for the page's replies table to read "command | state | reply" in its top row."""
    browser.wait(f"[...document.querySelector('#exchanges tbody tr')?.cells || []].slice(1)"
                 f".map(c => c.textContent).join(' | ') === {json.dumps(expected)}", 20, expected)


def submit(browser, kind, values):
    for name, value in values.items():
        prop = "checked" if isinstance(value, bool) else "value"
        browser.evaluate(f"document.querySelector('#form-{kind}').elements[{json.dumps(name)}]"
                         f".{prop} = {json.dumps(value)}")
    browser.click(f"#btn-{kind}")


def test_agent_listed_mining_with_charts_snapshot_and_scripted_log(rig):
    _, browser, log = rig
    browser.wait(f"{text_of(ROW)}?.includes('authenticated')", 30, "the agent's row")
    row = browser.evaluate(f"[...document.querySelectorAll('{ROW} td')].map(td => td.textContent)")
    assert row[:5] == [DEVICE, "antminer-l3plus", "quarn-antminer-l3plus 3.9.1", "connected",
                       "authenticated"]
    browser.wait(f"{text_of('#agent-state')} === 'mining'", 30, "state mining")
    # uPlot's own data: every chain's hash rate, and a total near the simulated miner's
    # 0.5 GH/s (after its ramp-up), have arrived.
    hash_rates = browser.wait("""(() => { const d = dashboard.charts.hash.data;
        return [3, 4, 5, 6].every(i => d[i].some(v => v > 0)) && d[1].some(v => v > 0.3)
            && d.slice(1); })()""", 60, "hash rates in the chart")
    assert max(hash_rates[0]) < 0.8
    temps = browser.evaluate("dashboard.charts.temp.data.slice(1)")
    assert all(any(isinstance(v, (int, float)) and v > 20 for v in series) for series in temps)
    # The uploaded snapshot is shown in the server's vocabulary.
    browser.wait(f"{text_of('#config')}?.includes('mode')", 20, "the network settings")
    # The server's script asked for the kernel log, by name and in a line of JSON sent as typed.
    browser.wait(f"{text_of('#kernel-log')}.includes('sandbox: simulated kernel log')", 20,
                 "the kernel log")
    assert log.read_text().count('-> {\n  "type": "logs",\n  "request_id": ') == 2


def test_malformed_messages_keep_page_updating(rig):
    port, browser, _ = rig
    junk = ['not json', '[1, 2]', '{"type": 7}', '{"type": "surprise"}',
            '{"type": "logs", "logs": 7}', '{"type": "metrics", "hash_rate": "fast", "fans": 5,'
            ' "chains": [{"id": "1", "hash_rate": NaN}, 5, {"id": ["2"]}]}',
            '{"type": "status", "state": "mining", "pools": [], "network": 5, "uptime": -Infinity}',
            '{"type": "update_config", "chains": "x", "fans": {"speed": Infinity}, "pools": []}']

    async def odd_agent():
        async with websockets.connect(f"wss://localhost:{port}/api/v1/ws", subprotocols=[
                "corvane-agent"], ssl=ssl.create_default_context(cafile=refserver.CERT)) as ws:
            for text in [json.dumps({"type": "auth", "device_id": "DEV-ODD", "model": 3})] + junk:
                await ws.send(text)
            replies = [json.loads(await ws.recv())["type"] for _ in range(2)]
            assert replies == ["auth", "update_config"]  # acknowledged: the server read them all
    asyncio.run(odd_agent())
    odd = '#agents tr[data-key="DEV-ODD"]'
    browser.wait(f"{text_of(odd)}?.includes('closed')", 10, "the odd agent, closed")
    browser.click(odd)
    browser.wait("document.querySelectorAll('#oddities tbody tr').length === 5", 10,
                 "five unexpected messages listed")
    browser.click(ROW)  # the real agent's reports still reach the page
    seen = browser.evaluate(f"{AGENT}.received")
    browser.wait(f"{AGENT}.received > {seen}", 20, "a further report of the agent")
    assert browser.evaluate(text_of("#agent-key")) == DEVICE


def test_commands_round_trip_and_replies_show(rig):
    _, browser, _ = rig
    submit(browser, "chip_metrics", {"chain_id": "2"})
    latest_reply(browser, "chip_metrics | answered | 72 chips of chain 2")
    # The grid of 72: the simulated miner's chain 2 has two slow chips (17 and 50).
    chips = "[...document.querySelectorAll('#chip-grid .chip')]"
    assert browser.evaluate(f"[{chips}.length, {chips}.filter(e => e.matches('.slow'))"
                            ".map(e => e.textContent)]") == [72, ["17", "50"]]

    submit(browser, "config_fans", {"mode": "manual", "speed": "77", "silent_start": True})
    latest_reply(browser, "config_fans | answered | ok: true")
    browser.click("#btn-reload")
    fans = "document.querySelector('#config [data-section=fans]')?.textContent"
    browser.wait(f"{fans}?.includes('speed77') && {fans}.includes('modemanual')", 30,
                 "the new fan settings in the snapshot")
    # The agent restarted the daemon with them: file and daemon agree.
    browser.wait(f"{AGENT}.state === 'mining' && {text_of(ROW + ' td.differs')} === ''", 30,
                 "no difference marker")

    browser.click("#btn-stop_mining")
    latest_reply(browser, "stop_mining | answered | ok: true")
    browser.wait(f"{text_of('#agent-state')} === 'pause'", 30, "state pause")
    assert browser.evaluate(text_of(ROW + " td.state")) == "pause"
