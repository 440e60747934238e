#!/usr/bin/python3
"""Kills the agent with SIGKILL at random moments while it writes its files, then checks that
each file is whole: parseable and exactly the old or the new version. Then fills the disk
(a small tmpfs mounted in the work directory, when permitted) and checks that a save fails
cleanly with the old file intact.

Files and writers:
  agent-config (agent start-up)  the real sandbox agent saving a generated device id
  FILE (save function)           the agent's own save function for FILE (agent-config,
                                 network, daemon-config, web-password), alternating two
                                 versions (powercut_writer)

usage: tests/powercut/powercut.py [--build-dir build] [--runs 1000] [--seed N]
Prints one line of figures per file; exits 1 when any file was found torn.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
KEY = "powercut-key-0123456789abcdef"
WRITER_KINDS = ("agent-config", "network", "daemon-config", "web-password")
# What stands in each file before the writer's first save (daemon-config merges into it).
INITIAL = {
    "agent-config": "",
    "network": "",
    "daemon-config": (REPO / "tests/unit/miner/data/l3plus.conf").read_text(),
    "web-password": "admin:antMiner Configuration:00000000000000000000000000000000\n",
}


def parses(kind, text):
    if kind == "network":
        keys = [line.split("=", 1)[0] for line in text.splitlines()]
        return (text.startswith("hostname=") and text.endswith("\n") and
                set(keys) <= {"hostname", "dhcp", "ipaddress", "netmask", "gateway", "dnsservers"})
    if kind == "web-password":
        return text.endswith("\n") and text.count("\n") == 1 and text.count(":") == 2
    try:
        return isinstance(json.loads(text), dict)
    except ValueError:
        return False


def writer(build, kind, path, version=None):
    return [str(build / "tests" / "powercut_writer"), kind, str(path)] + (
        [version] if version else [])


def writer_versions(build, kind, path):
    """The file as the writer leaves it after saving version a, and after version b."""
    path.write_text(INITIAL[kind])
    versions = []
    for version in ("a", "b"):
        subprocess.run(writer(build, kind, path, version), check=True)
        versions.append(path.read_text())
    return versions


def kill_at_random(command, max_delay, rng):
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(rng.uniform(0, max_delay))
    proc.send_signal(signal.SIGKILL)
    proc.wait()


def tally(counts, kind, text, before, versions):
    """Counts `text` as the version that stood `before` the kill, the other one, or torn."""
    if text == before:
        counts["old"] += 1
    elif text in versions:
        counts["new"] += 1
    else:
        counts["torn"] += 1
        print(f"TORN {kind}: {text!r}", file=sys.stderr)
    if not parses(kind, text):
        counts["unparseable"] += 1


def run_writer(build, kind, path, runs, rng):
    versions = writer_versions(build, kind, path)
    counts = {"old": 0, "new": 0, "torn": 0, "unparseable": 0}
    for _ in range(runs):
        before = path.read_text()
        kill_at_random(writer(build, kind, path), 0.1, rng)
        tally(counts, kind, path.read_text(), before, versions)
    return counts


def make_root(work):
    root = work / "root"
    subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", "1"], check=True,
                   stdout=subprocess.DEVNULL)
    # The file only: nobody reads the console here.
    conf = root / "opt/corvane/etc/log.conf"
    conf.write_text("log4cplus.logger.agent=INFO, file\n"
                    "log4cplus.appender.file=log4cplus::FileAppender\n"
                    f"log4cplus.appender.file.File={root}/var/log/cvagent.log\n"
                    "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
                    "log4cplus.appender.file.layout.ConversionPattern=%-5p %m%n\n")
    return root


def agent_command(build, root):
    return [str(build / "cvagent-sandbox"), "--root", str(root), "--iface", "lo",
            "-s", "wss://localhost:1/api/v1/ws"]


def time_to_save(build, root, config, old):
    """How long the agent takes from its start to a saved device id: the kills spread over
    a little more than that."""
    config.write_text(old)
    start = time.monotonic()
    proc = subprocess.Popen(agent_command(build, root), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    while config.read_text() == old and time.monotonic() - start < 10:
        time.sleep(0.001)
    took = time.monotonic() - start
    proc.kill()
    proc.wait()
    return took


def run_agent_start(build, root, runs, rng):
    config = root / "config/corvane.json"
    old = json.dumps({"api_key": KEY})
    new = '{\n  "api_key": "%s",\n  "dev_id": "0000000000000000-000000000000"\n}' % KEY
    spread = 1.3 * max(time_to_save(build, root, config, old) for _ in range(5))
    counts = {"old": 0, "new": 0, "torn": 0, "unparseable": 0}
    for _ in range(runs):
        config.write_text(old)
        kill_at_random(agent_command(build, root), spread, rng)
        tally(counts, "agent-config", config.read_text(), old, (old, new))
    return counts


def full_disk(build, root, work):
    """Returns figures of the full-disk checks, or None when no tmpfs can be mounted."""
    disk = work / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                      stderr=subprocess.DEVNULL).returncode != 0:
        return None
    try:
        results = {}
        old_config = json.dumps({"api_key": KEY})
        config = disk / "corvane.json"
        config.write_text(old_config)
        olds = {}
        for kind in WRITER_KINDS:
            olds[kind] = writer_versions(build, kind, disk / kind)[0]
            (disk / kind).write_text(olds[kind])
        # Fill what is left.
        filler = os.open(disk / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, b"x" * 1024) > 0:
                pass
        except OSError:
            pass
        os.close(filler)
        status = subprocess.run(agent_command(build, root) + ["-c", str(config)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=30).returncode
        log = (root / "var/log/cvagent.log").read_text()
        results["agent start"] = (status == 1 and config.read_text() == old_config
                                  and "Failed to save" in log)
        for kind in WRITER_KINDS:
            status = subprocess.run(writer(build, kind, disk / kind, "b"), timeout=30).returncode
            results[f"{kind} save"] = status == 1 and (disk / kind).read_text() == olds[kind]
        results["no temporary left"] = not any(p.name.endswith(".tmp") for p in disk.iterdir())
        return results
    finally:
        subprocess.run(["umount", str(disk)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    rng = random.Random(args.seed)
    print(f"seed {args.seed}, {args.runs} kills per file")
    work = Path(tempfile.mkdtemp(prefix="cvagent-powercut-"))
    failed = False
    try:
        root = make_root(work)
        figures = {"agent-config (agent start-up)": run_agent_start(build, root, args.runs, rng)}
        for kind in WRITER_KINDS:
            figures[f"{kind} (save function)"] = run_writer(build, kind, work / kind, args.runs,
                                                            rng)
        for name, counts in figures.items():
            print(f"{name}: {counts['old']} old, {counts['new']} new, {counts['torn']} torn, "
                  f"{counts['unparseable']} unparseable")
            failed |= counts["torn"] > 0 or counts["unparseable"] > 0
        disk = full_disk(build, root, work)
        if disk is None:
            print("full disk: skipped (no tmpfs can be mounted here)")
        else:
            for name, ok in disk.items():
                print(f"full disk, {name}: {'ok' if ok else 'FAILED'}")
                failed |= not ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
