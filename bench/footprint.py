#!/usr/bin/python3
"""Resource footprint of cvagent-sandbox during normal reporting to the reference server.

    /usr/bin/python3 bench/footprint.py [--build-dir build] [--minutes 5]

Starts a sandbox root, the simulated daemon (normal scenario, no warm-up), an in-process
reference server and the agent; lets the agent authenticate and report mining, then samples
its memory, CPU time, descriptors and threads, and counts the processes it starts and the
messages the server receives. Prints a summary; stops everything it started.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools" / "refserver"))
from refserver import RefServer, free_port  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def status_fields(pid):
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()[0] if value.split() else ""
    return fields


def sample(pid):
    st = status_fields(pid)
    # The command name may hold spaces or ")": fields are counted after the last ")".
    stat = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return {"rss": int(st["VmRSS"]), "hwm": int(st["VmHWM"]), "threads": int(st["Threads"]),
            "cpu": (int(stat[11]) + int(stat[12])) / TICK,
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def machine_forks():
    for line in Path("/proc/stat").read_text().splitlines():
        if line.startswith("processes "):
            return int(line.split()[1])


def call_lines(root):
    log = root / "var/log/calls.log"
    return log.read_text().splitlines() if log.exists() else []


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--minutes", type=float, default=5)
    ap.add_argument("--settle", type=float, default=20, help="seconds before sampling starts")
    ap.add_argument("--interval", type=float, default=5, help="seconds between samples")
    args = ap.parse_args()
    build = Path(args.build_dir)
    if not build.is_absolute() and not build.exists():
        build = REPO / build
    binary = (build / "cvagent-sandbox").resolve()
    if not binary.exists():
        sys.exit(f"{binary} missing: build it with scripts/build.sh plain")
    # A SIGTERM to the benchmark still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    tmp = Path(tempfile.mkdtemp(prefix="cvagent-footprint-"))
    root, server, agent = tmp / "root", None, None
    try:
        api_port = free_port()
        subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", str(api_port)],
                       check=True, stdout=subprocess.DEVNULL)
        (root / "etc/fakeminer.args").write_text("--warmup 0")
        ctl = str(root / "usr/lib/fakeminer/ctl.sh")
        subprocess.run([ctl, "start"], check=True)  # not through the recorded stub
        server = RefServer(auth_mode="accept").start()
        agent = subprocess.Popen(
            [str(binary), "--root", str(root), "--iface", "lo", "--api-port", str(api_port),
             "-c", str(root / "config/corvane.json"),
             "-s", f"wss://localhost:{server.port}/api/v1/ws"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started = time.monotonic()
        server.wait_for(lambda: any(m["state"]["name"] == "mining"
                                    for m in server.messages("status")),
                        timeout=90, what='a "mining" status')
        time.sleep(max(0.0, started + args.settle - time.monotonic()))
        print(f"agent pid {agent.pid}, root {root}; mining reported after "
              f"{time.monotonic() - started:.0f} s of settling; sampling every "
              f"{args.interval:g} s for {args.minutes:g} min", flush=True)

        samples, calls0, forks0 = [sample(agent.pid)], len(call_lines(root)), machine_forks()
        t0 = time.monotonic()
        recv0 = len(server.received)
        end = t0 + args.minutes * 60
        while time.monotonic() < end:
            time.sleep(min(args.interval, max(0.0, end - time.monotonic())))
            if agent.poll() is not None:
                sys.exit(f"agent exited with status {agent.returncode} during sampling")
            samples.append(sample(agent.pid))
        forks1, t1 = machine_forks(), time.monotonic()
        calls = call_lines(root)[calls0:]
        window = server.received[recv0:]
        minutes = (t1 - t0) / 60

        def per_min(n):
            return f"{n / minutes:.1f}/min ({n} in {minutes:.2f} min)"

        def kinds(kind):
            return sum(1 for r in window if isinstance(r.json, dict) and r.json.get("type") == kind)

        rss = [s["rss"] for s in samples]
        fds = [s["fds"] for s in samples]
        threads = sorted({s["threads"] for s in samples})
        cpu = samples[-1]["cpu"] - samples[0]["cpu"]
        by_name = {}
        for line in calls:
            name = line.split()[1] if len(line.split()) > 1 else "?"
            by_name[name] = by_name.get(name, 0) + 1
        print(f"""
== cvagent-sandbox footprint over {minutes:.2f} min of normal reporting ({len(samples)} samples)
resident memory   start {rss[0]} kB, end {rss[-1]} kB, max {max(rss)} kB; VmHWM {samples[-1]['hwm']} kB
CPU time          {cpu:.2f} s in all, {cpu / minutes:.3f} s/min ({100 * cpu / (t1 - t0):.2f} % of one core)
file descriptors  min {min(fds)}, max {max(fds)}
threads           {', '.join(map(str, threads))}
server received   status {per_min(kinds('status'))}, metrics {per_min(kinds('metrics'))},
                  all messages {per_min(len(window))}
commands run      {per_min(len(calls))}, so {2 * len(calls) / minutes:.1f} processes/min: {', '.join(f'{k} x{v}' for k, v in sorted(by_name.items())) or 'none'}
machine forks     {per_min(forks1 - forks0)} (upper bound)

How processes are counted: the agent runs programs only through the shell (system/popen),
and in the sandbox each program it runs is a stub that appends one line to
ROOT/var/log/calls.log, so each line is one command, which costs two processes: the
agent's child /bin/sh and the program that shell forks (the stubs' own helpers such as
date and basename stand in for the real program's work and are not counted here). So the
agent's processes per minute are twice the commands per minute. The machine-wide figure is
the growth of the kernel's "processes" counter in /proc/stat: every fork and every thread
created anywhere on the machine, including the stubs' helpers, the simulated daemon's
thread per API connection and anything else running meanwhile, so it only bounds the
agent's share from above.""")
    finally:
        if agent is not None and agent.poll() is None:
            agent.send_signal(signal.SIGTERM)
            try:
                agent.wait(20)
            except subprocess.TimeoutExpired:
                agent.kill()
                agent.wait()
        if agent is not None:
            print(f"agent stopped, exit status {agent.returncode}")
        if (root / "usr/lib/fakeminer/ctl.sh").exists():
            subprocess.run([str(root / "usr/lib/fakeminer/ctl.sh"), "stop"])
        if server is not None:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
