#!/usr/bin/python3
"""The controller in a box: the armhf release installed and run on an ARM Linux system under
qemu-system-arm, against the reference server in this process. Run through scripts/box.sh,
which builds the box's kernel and initramfs and passes their paths.

Scenarios (--scenario, default all; "install" always runs first, on a fresh /config disk):
  install   the tarball installed as its INSTALL.txt says, typed into the box's console; the
            agent authenticates and reports the daemon's figures and the box's real eth0
  reboot    the server's "reboot" restarts the box's kernel; the agent comes back by itself
  network   "config_network" static, applied by the box's network script, then DHCP again
  powercut  --cuts N power cuts (qemu killed) at seeded random moments while the server
            streams changing commands, or while the agent writes its device id; after each,
            the /config disk needs no manual repair and each file the agent keeps is exactly
            the old or the new version, never older than the last one acknowledged
  noclock   the box boots with its clock at 1970; the agent accepts the certificate and works
  footprint --minutes M of steady reporting: the agent's memory, threads and processes
            started, read from the box's /proc

--planted-nosync runs the power cuts with a copy of the agent whose fsync does nothing (the
installed tarball's binary, patched in a copy); the run passes only if some cut then fails.
Exit status 0 when every scenario passed, 1 otherwise.
"""

import argparse
import io
import json
import os
import random
import re
import select
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools" / "refserver"))

from refserver import RefServer  # noqa: E402

API_KEY = "box-0123456789abcdef0123456789abcdef"
FORWARD = "10.0.2.100"  # the server's address in the box (its /etc/hosts), forwarded to the host
SCENARIOS = ("install", "reboot", "network", "powercut", "noclock", "footprint")
INITIAL_NETWORK = "hostname=antminer\ndhcp=true\n"
STATIC = {"mode": "static", "ip": "10.0.2.20", "netmask": "255.255.255.0",
          "gateway": "10.0.2.2", "dnsservers": ["10.0.2.3"], "hostname": "box-static"}
BOOT_SECS = 300    # an emulated boot on a busy machine, the daemon's interpreter included
AUTH_SECS = 120    # from boot to an authenticated session


class Failure(Exception):
    pass


def relay(port):
    """qemu's guestfwd runs this per connection, on the guest's socket as stdin and stdout."""
    server = socket.create_connection(("127.0.0.1", port))
    open_in = True
    while True:
        ready, _, _ = select.select([0, server] if open_in else [server], [], [])
        if 0 in ready:
            data = os.read(0, 65536)
            if data:
                server.sendall(data)
            else:
                open_in = False
                server.shutdown(socket.SHUT_WR)
        if server in ready:
            data = server.recv(65536)
            if not data:
                return
            os.write(1, data)


class Box:
    """One qemu-system-arm process at a time on the same /config disk; its serial console is
    the harness's keyboard and screen."""

    def __init__(self, args, disk, server_port, log):
        self.args, self.disk, self.server_port, self.log = args, disk, server_port, log
        self.proc = None
        self.text = ""  # everything the console printed since the last boot
        self.cond = threading.Condition()
        self.boots = 0

    def boot(self, rtc=None):
        fwd = (f"guestfwd=tcp:{FORWARD}:443-cmd:/usr/bin/python3 {Path(__file__).resolve()} "
               f"--relay {self.server_port}")
        command = ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-m", "512",
                   "-nodefaults", "-display", "none", "-serial", "stdio", "-monitor", "none",
                   "-kernel", self.args.kernel, "-initrd", self.args.initrd,
                   "-append", "console=ttyAMA0 quiet panic=1",
                   "-drive", f"if=none,file={self.disk},format=raw,id=config",
                   "-device", "virtio-blk-device,drive=config",
                   "-netdev", f"user,id=net,restrict=on,{fwd}",
                   "-device", "virtio-net-device,netdev=net"]
        if rtc:
            command += ["-rtc", f"base={rtc}"]
        with self.cond:
            self.text = ""
        self.boots += 1
        self.log.write(f"\n===== boot {self.boots} {time.strftime('%H:%M:%S')}"
                       f"{' rtc ' + rtc if rtc else ''}\n")
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        threading.Thread(target=self._read, args=(self.proc,), daemon=True).start()
        self.started = time.monotonic()

    def _read(self, proc):
        while True:
            data = proc.stdout.read1(65536)
            if not data:
                return
            text = data.decode(errors="replace").replace("\r", "")
            self.log.write(text)
            self.log.flush()
            with self.cond:
                if proc is self.proc:
                    self.text += text
                self.cond.notify_all()

    def wait(self, pattern, timeout, since=0):
        """The first match of pattern in the console's text from offset since, when it
        appears; Failure at the deadline."""
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                match = regex.search(self.text, since)
                if match:
                    return match
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    tail = self.text[-1500:]
                    raise Failure(f"box: no {pattern!r} on the console within {timeout} s; "
                                  f"last lines:\n{tail}")
                self.cond.wait(min(left, 0.2))

    def offset(self):
        with self.cond:
            return len(self.text)

    def wait_ready(self, since=0, timeout=BOOT_SECS):
        """Waits for the end of the start-up (after offset since) and the shell's prompt."""
        self.wait(r"/ # ", 30, self.wait(r"box: boot done", timeout, since).end())

    def run(self, command, timeout=60):
        """Runs a shell command in the box: (exit status, output)."""
        tag = f"{random.getrandbits(32):08x}"
        since = self.offset()
        # The markers are printed by printf, so the typed line that the console echoes does
        # not contain them.
        line = f"printf '@@<%s>\\n' {tag}; {command}; printf '@@</%s %s>\\n' {tag} $?\n"
        self.proc.stdin.write(line.encode())
        self.proc.stdin.flush()
        match = self.wait(rf"@@<{tag}>\n(.*?)@@</{tag} (\d+)>", timeout, since)
        return int(match.group(2)), match.group(1)

    def check(self, command, timeout=60):
        status, out = self.run(command, timeout)
        if status != 0:
            raise Failure(f"box: {command!r} exited with {status}:\n{out}")
        return out

    def kill(self):
        """The power cut: the box's memory, unwritten pages included, is gone at once."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def halt(self):
        """An orderly end (the /config file system unmounted), then the process ends."""
        if self.proc and self.proc.poll() is None:
            try:
                since = self.offset()
                self.proc.stdin.write(b"poweroff\n")
                self.proc.stdin.flush()
                self.wait(r"box: stopped", 60, since)
                time.sleep(1)
            except (Failure, OSError):
                pass
        self.kill()


class Session:
    """The reference server's view: authentications and the messages after them."""

    def __init__(self, cert, key):
        self.server = RefServer(port=0, cert=(cert, key), ack_update_config=True).start()

    def auth_count(self):
        return len([r for r in self.server.sent
                    if isinstance(r.json, dict) and r.json.get("type") == "auth"
                    and r.json.get("ok")])

    def wait_auth(self, after, timeout=AUTH_SECS):
        """Waits for authentication number after + 1; returns its record of the agent's auth."""
        self.server.wait_for(lambda: self.auth_count() > after, timeout,
                             f"authentication #{after + 1}")
        with self.server._cond:
            ok = [r for r in self.server.sent if isinstance(r.json, dict)
                  and r.json.get("type") == "auth" and r.json.get("ok")][after]
            return next(r for r in self.server.received
                        if r.conn == ok.conn and isinstance(r.json, dict)
                        and r.json.get("type") == "auth")

    def wait_type(self, kind, conn, timeout, predicate=lambda m: True):
        def find():
            return next((r.json for r in self.server.received
                         if r.conn == conn and isinstance(r.json, dict)
                         and r.json.get("type") == kind and predicate(r.json)), None)
        return self.server.wait_for(find, timeout, f'"{kind}" on connection #{conn}')

    def command(self, message, timeout=60):
        """Sends a command to the live connection and returns its reply."""
        since = len(self.server.received)
        self.server.send(message)
        return self.server.wait_message(message["type"], timeout=timeout, since=since)


def disk_files(disk, names):
    """The files as the box will find them after a power cut: a copy of the disk with its
    journal replayed by e2fsck's automatic repair, which must leave nothing for a person to
    repair, then read with debugfs. Returns ({name: bytes or None}, problems)."""
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "config.img")
        shutil.copyfile(disk, copy)
        preen = subprocess.run(["e2fsck", "-p", copy], capture_output=True, text=True)
        # 0: clean, 1: errors corrected automatically (a replayed journal is not one).
        if preen.returncode not in (0, 1):
            problems.append(f"e2fsck -p exited with {preen.returncode}: "
                            f"{preen.stdout}{preen.stderr}")
        elif preen.returncode == 1:
            problems.append(f"e2fsck -p repaired: {preen.stdout.strip()}")
        full = subprocess.run(["e2fsck", "-fn", copy], capture_output=True, text=True)
        if full.returncode != 0:
            problems.append(f"e2fsck -fn after the repair: {full.stdout}{full.stderr}")
        files = {}
        for name in names:
            out = subprocess.run(["debugfs", "-R", f"cat /{name}", copy],
                                 capture_output=True)
            exists = subprocess.run(["debugfs", "-R", f"stat /{name}", copy],
                                    capture_output=True, text=True)
            files[name] = out.stdout if "Inode:" in exists.stdout else None
    return files, problems


def disk_put(disk, name, data):
    """Replaces a file on the (stopped) box's /config disk."""
    with tempfile.NamedTemporaryFile() as f:
        f.write(data)
        f.flush()
        subprocess.run(["debugfs", "-w", "-R", f"rm /{name}", disk], capture_output=True)
        subprocess.run(["debugfs", "-w", "-R", f"write {f.name} /{name}", disk],
                       capture_output=True, check=True)


def make_disk(path, tarball):
    """A fresh /config disk as a controller comes: the daemon's and the network's settings,
    and the tarball an installer copied there."""
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(REPO / "sandbox/cgminer.conf", os.path.join(tmp, "cgminer.conf"))
        Path(tmp, "network.conf").write_text(INITIAL_NETWORK)
        shutil.copy(tarball, os.path.join(tmp, os.path.basename(tarball)))
        if os.path.exists(path):
            os.unlink(path)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-d", tmp, path, "64M"], check=True,
                       stdout=subprocess.DEVNULL)


def install_commands(tarball):
    """The commands INSTALL.txt gives (its lines "    # COMMAND"), with the box's API key."""
    with tarfile.open(tarball) as tar:
        text = tar.extractfile("opt/corvane/INSTALL.txt").read().decode()
    commands = [line[6:] for line in text.splitlines() if line.startswith("    # ")]
    if not commands:
        raise Failure("INSTALL.txt gives no commands")
    return [c.replace("YOUR-API-KEY", API_KEY) for c in commands]


def planted_tarball(tarball, build_dir, out):
    """The tarball with an agent whose fsync returns 0 without syncing: the installed binary's
    unstripped twin from the build directory, patched and stripped, refused unless stripping
    the unpatched twin gives the tarball's binary byte for byte."""
    with tarfile.open(tarball) as tar:
        shipped = tar.extractfile("opt/corvane/bin/cvagent").read()
    built = Path(build_dir, "cvagent")
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, "plain")
        subprocess.run(["arm-linux-gnueabihf-strip", "-o", plain, str(built)], check=True)
        if Path(plain).read_bytes() != shipped:
            raise Failure(f"{built} is not the build of {tarball}")
        symbols = subprocess.run(["arm-linux-gnueabihf-readelf", "-sW", str(built)],
                                 capture_output=True, text=True, check=True).stdout
        address = next((int(f[1], 16) for f in (line.split() for line in symbols.splitlines())
                        if len(f) >= 8 and f[7] == "fsync" and f[3] == "FUNC"), None)
        if address is None:
            raise Failure(f"no fsync in {built}")
        sections = subprocess.run(["arm-linux-gnueabihf-readelf", "-SW", str(built)],
                                  capture_output=True, text=True, check=True).stdout
        offset = None
        for line in sections.splitlines():
            f = line.replace("[ ", "[").split()
            if len(f) > 6 and f[1] == ".text":
                start, file_off, size = int(f[3], 16), int(f[4], 16), int(f[5], 16)
                if start <= (address & ~1) < start + size:
                    offset = (address & ~1) - start + file_off
        if offset is None:
            raise Failure("fsync is not in .text")
        # Thumb-2 (the address's low bit): movs r0, #0; bx lr. ARM: mov r0, #0; bx lr.
        code = (bytes.fromhex("00207047") if address & 1
                else bytes.fromhex("0000a0e31eff2fe1"))
        data = bytearray(built.read_bytes())
        data[offset:offset + len(code)] = code
        patched = os.path.join(tmp, "patched")
        Path(patched).write_bytes(bytes(data))
        subprocess.run(["arm-linux-gnueabihf-strip", patched], check=True)
        binary = Path(patched).read_bytes()
    with tarfile.open(tarball) as src, tarfile.open(out, "w:gz") as dst:
        for member in src.getmembers():
            body = src.extractfile(member) if member.isfile() else None
            if member.name == "opt/corvane/bin/cvagent":
                member.size = len(binary)
                body = io.BytesIO(binary)
            dst.addfile(member, body)


class Run:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.work)
        self.work.mkdir(parents=True, exist_ok=True)
        self.disk = str(self.work / "config.img")
        self.tarball = os.path.abspath(args.tarball)
        self.figures = []
        self.session = Session(args.cert, args.key)
        self.log = open(self.work / "console.log", "w")
        self.box = Box(args, self.disk, self.session.server.port, self.log)
        self.auths = 0
        self.device = None

    def say(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)

    def figure(self, text):
        self.figures.append(text)
        self.say(text)

    def boot(self, rtc=None):
        """Powers the box on; only authentications from then on count as its sessions."""
        self.auths = self.session.auth_count()
        self.box.boot(rtc)

    def next_auth(self, timeout=AUTH_SECS):
        record = self.session.wait_auth(self.auths, timeout)
        self.auths += 1
        return record

    # ---- scenarios ------------------------------------------------------

    def install(self):
        make_disk(self.disk, self.tarball)
        self.boot()
        t0 = time.monotonic()
        self.box.wait_ready()
        self.say(f"install: booted to a shell in {time.monotonic() - t0:.1f} s; "
                 "typing INSTALL.txt's commands")
        for command in install_commands(self.tarball):
            self.box.check(command)
        auth = self.next_auth()
        self.device = auth.json.get("device_id")
        conn = auth.conn
        self.figure(f"install: authenticated {time.monotonic() - t0:.1f} s after power-on "
                    f"(device {self.device})")
        status = self.session.wait_type("status", conn, 120,
                                        lambda m: m["state"]["name"] == "mining")
        metrics = self.session.wait_type("metrics", conn, 60,
                                         lambda m: m.get("hash_rate", 0) > 0)
        net = status["network"]
        if (net.get("ip") != "10.0.2.15" or net.get("gateway") != "10.0.2.2"
                or net.get("mac") != "52:54:00:12:34:56"):
            raise Failure(f"install: the status does not show the box's eth0: {net}")
        chains = metrics["chains"]
        if ([c["id"] for c in chains] != ["1", "2", "3", "4"]
                or any(c["num_chips"] != 72 or c["hash_rate"] <= 0 for c in chains)):
            raise Failure(f"install: metrics without the daemon's four chains: {chains}")
        conf = json.loads((REPO / "sandbox/cgminer.conf").read_text())
        if status["pools"]["main"]["status"] != "active":
            raise Failure(f"install: main pool not active: {status['pools']}")
        stored = json.loads(self.box.check("cat /config/corvane.json"))
        if stored != {"api_key": API_KEY, "dev_id": self.device}:
            raise Failure(f"install: /config/corvane.json holds {stored}")
        self.say(f"install: status \"mining\" with eth0 {net['ip']} ({net['mac']}), metrics "
                 f"of {len(chains)} chains at {metrics['hash_rate']:.3f} GH/s; "
                 f"{len(conf['pools'])} pools in the daemon's file")

    def reboot(self):
        since = self.box.offset()
        t0 = time.monotonic()
        # Its reply goes out after "reboot" returned, if the box is still up to send it.
        self.session.server.send({"type": "reboot"})
        up = self.box.wait(r"box: clock [^,]*, up ([0-9.]+) s", BOOT_SECS, since)
        if float(up.group(1)) > 60:
            raise Failure(f"reboot: the kernel did not restart (up {up.group(1)} s)")
        kernel = time.monotonic() - t0
        auth = self.next_auth(BOOT_SECS)
        if auth.json.get("device_id") != self.device:
            raise Failure(f"reboot: authenticated as {auth.json.get('device_id')}")
        self.figure(f"reboot: kernel restarted, box up again {kernel:.1f} s after the "
                    f"command; new session {time.monotonic() - t0:.1f} s after it")
        self.box.wait_ready(up.start())

    def network(self):
        for payload, ip in ((STATIC, STATIC["ip"]), ({"mode": "dhcp", "hostname": "antminer"},
                                                     "10.0.2.15")):
            t0 = time.monotonic()
            conn = self.session.server.connections
            self.session.server.send({"type": "config_network", **payload})
            auth = self.next_auth()
            self.session.wait_type("status", auth.conn, 60,
                                   lambda m: m.get("network", {}).get("ip") == ip)
            # The reply follows the network's restart on the old connection: when the address
            # changed, that connection is gone and the reply with it.
            replies = [m for m in self.session.server.messages("config_network", conn)]
            if replies and replies != [{"type": "config_network", "ok": True}]:
                raise Failure(f"network: reply {replies}")
            self.figure(f"network: {payload['mode']} {ip}: new session "
                        f"{time.monotonic() - t0:.1f} s after the command (reply "
                        f"{'received' if replies else 'lost with the old address'})")
            shown = self.box.check("ip -4 addr show eth0; ip route; cat /config/network.conf")
            if f"inet {ip}/24" not in shown:
                raise Failure(f"network: eth0 is not {ip}:\n{shown}")
        if self.box.check("cat /config/network.conf") != INITIAL_NETWORK:
            raise Failure("network: network.conf is not DHCP again")

    def noclock(self):
        self.box.halt()
        self.boot(rtc="1970-01-01")
        t0 = time.monotonic()
        clock = self.box.wait(r"box: clock (\S+)", BOOT_SECS)
        if not clock.group(1).startswith("1970-"):
            raise Failure(f"noclock: the box's clock reads {clock.group(1)}")
        auth = self.next_auth()
        self.session.wait_type("metrics", auth.conn, 60)
        status = self.session.wait_type("status", auth.conn, 60)
        self.figure(f"noclock: clock {clock.group(1)} at boot; authenticated "
                    f"{time.monotonic() - t0:.1f} s after power-on; status uptime "
                    f"{status.get('uptime')}, metrics received")
        self.box.wait_ready()
        self.box.halt()
        self.boot()
        self.next_auth(BOOT_SECS)
        self.box.wait_ready()

    def footprint(self):
        minutes = self.args.minutes
        # smaps_rollup walks the page tables (VmRSS may lag); the agent's reaped children show
        # in its cminflt (field 11 of stat after the name): a process it started and waited for
        # adds its page faults. /proc/stat counts every fork and thread of the box, the
        # simulated daemon's thread per API connection included.
        probe = ("p=$(pidof cvagent); grep -E '^Threads' /proc/$p/status; "
                 "grep -E '^(Rss|Pss|Private_Clean|Private_Dirty):' /proc/$p/smaps_rollup; "
                 "echo children: $(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f9); "
                 "grep '^processes' /proc/stat")

        def sample():
            out = self.box.check(probe)
            return {k: int(v) for k, v in re.findall(r"^(\w+):?\s+(\d+)", out, re.M)}

        time.sleep(30)  # past the start-up's reports
        samples = [sample()]
        t0 = time.monotonic()
        while time.monotonic() - t0 < minutes * 60:
            time.sleep(max(0.1, min(30, minutes * 60 - (time.monotonic() - t0))))
            samples.append(sample())
        spent = (time.monotonic() - t0) / 60
        forks = (samples[-1]["processes"] - samples[0]["processes"]) / spent
        rss = [s["Rss"] for s in samples]
        private = [s["Private_Clean"] + s["Private_Dirty"] for s in samples]
        children = samples[-1]["children"] - samples[0]["children"]
        spawned = "none" if children == 0 else f"some (children faulted {children} pages)"
        self.figure(f"footprint ({spent:.1f} min, {len(samples)} samples): resident "
                    f"{sum(rss) // len(rss)} kB (max {max(rss)}), private "
                    f"{sum(private) // len(private)} kB (max {max(private)}), proportional "
                    f"{samples[-1]['Pss']} kB, threads {samples[-1]['Threads']}; processes "
                    f"started by the agent: {spawned}; forks and threads in the whole box "
                    f"{forks:.1f} per minute")

    # ---- power cuts -----------------------------------------------------

    def powercut(self, planted=False):
        args = self.args
        rng = random.Random(args.seed)
        name = os.path.basename(self.tarball)
        if planted:
            variant = str(self.work / "planted.tar.gz")
            planted_tarball(self.tarball, args.build_dir, variant)
            # The box unpacks /config's tarball at each boot: the variant replaces it there.
            self.restart(lambda: disk_put(self.disk, name, Path(variant).read_bytes()))
        # The daemon's file after the agent set the pools of step 0: the template of every
        # step, whose number is the worker's only difference.
        self.session.command(pools(0))
        template = self.box.check("cat /config/cgminer.conf")
        if worker(0) not in template:
            raise Failure("powercut: the daemon's file lacks the worker just set")
        device_template = self.box.check("cat /config/corvane.json")
        texts = {
            "cgminer.conf": lambda k: template.replace(worker(0), worker(k)),
            "network.conf": lambda k: (f"hostname={host(k)}\ndhcp=true\n" if k
                                       else INITIAL_NETWORK),
        }
        # The versions each file may hold now: those of the last check, or (before the
        # first) the ones just written and acknowledged.
        allowed = {"cgminer.conf": {0}, "network.conf": {0}}
        failures, step = [], 0
        for cut in range(1, args.cuts + 1):
            problems = []
            fresh = rng.random() < 1 / 3
            if fresh:
                # The agent writes corvane.json only at its first start: a fresh install's.
                self.box.halt()
                disk_put(self.disk, "corvane.json", INSTALLED.encode())
                self.boot()
                self.box.wait(r"cvagent: started", BOOT_SECS)
                delay = rng.uniform(0, 3)
                time.sleep(delay)
                self.box.kill()
                what = f"{delay:.2f} s after a fresh agent's start"
            else:
                delay = rng.uniform(0.5, 10)
                stream = Stream(self.session, step)
                stream.start()
                time.sleep(delay)
                self.box.kill()
                stream.stop()
                step = stream.step
                acked, pending = stream.versions()
                what = (f"{delay:.2f} s into the commands (step {step} sent, "
                        f"{'none' if acked is None else acked} acknowledged last)")
                for file in allowed:
                    if acked is not None:
                        allowed[file] = {acked}
                    if pending is not None:
                        allowed[file] = allowed[file] | {pending}
            files, problems = disk_files(self.disk, ["cgminer.conf", "network.conf",
                                                     "corvane.json"])
            for file in ("cgminer.conf", "network.conf"):
                got = files[file]
                same = {k for k in allowed[file] if texts[file](k).encode() == got}
                if same:
                    allowed[file] = same
                else:
                    known = ([None] if file == "network.conf" else []) + list(range(step + 1))
                    older = [k for k in known if texts[file](k).encode() == got]
                    shown = (("the version before the commands" if older[0] is None
                              else f"version {older[0]}") if older
                             else repr((got or b"(missing)")[:120].decode(errors="replace")))
                    problems.append(f"{file} is {shown}, not one of "
                                    f"{sorted(allowed[file])}")
            got = files["corvane.json"]
            device = None
            try:
                device = json.loads(got).get("dev_id") if got else None
            except ValueError:
                pass
            if device is not None:
                ok = got == device_template.replace(self.device, device).encode()
                ok = ok and (fresh or device == self.device)
            else:
                ok = fresh and got == INSTALLED.encode()
            if not ok:
                shown = ("the installed one, without the device id" if got == INSTALLED.encode()
                         else repr((got or b"(missing)")[:120]))
                problems.append(f"corvane.json is {shown}")
            # Boots again: the kernel replays the journal, the agent authenticates again.
            self.boot()
            try:
                auth = self.next_auth(BOOT_SECS)
                self.box.wait_ready()
                if device is not None and auth.json.get("device_id") != device:
                    problems.append(f"authenticated as {auth.json.get('device_id')}, "
                                    f"the file says {device}")
                if device is None or device != self.device:
                    stored = self.box.check("cat /config/corvane.json")
                    self.device = json.loads(stored)["dev_id"]
                    device_template = stored
            except (Failure, ValueError, KeyError) as e:
                problems.append(str(e).splitlines()[0])
            verdict = "ok" if not problems else "FAILED: " + "; ".join(problems)
            self.say(f"{'planted ' if planted else ''}cut {cut}/{args.cuts}, {what}: {verdict}")
            if problems:
                failures.append(cut)
                if not planted:
                    raise Failure(f"power cut {cut}: {'; '.join(problems)}")
                # The run goes on from what the disk holds now.
                self.restart(lambda: None)
                step += 1
                self.session.server.send(network(step))
                self.session.command(pools(0))
                allowed = {"cgminer.conf": {0}, "network.conf": {step}}
        if planted:
            if not failures:
                raise Failure("planted fault: no cut failed without fsync; the check is blind")
            self.figure(f"planted fault (fsync a no-op): {len(failures)} of {args.cuts} cuts "
                        "failed, as they must")
            self.restart(lambda: disk_put(self.disk, name, Path(self.tarball).read_bytes()))
        else:
            self.figure(f"powercut: {args.cuts} cuts (seed {args.seed}); each file the old or "
                        "the new version, no repair needed, the agent back each time")

    def restart(self, while_off):
        """An orderly power-off, while_off() on the disk, a boot to a new session."""
        self.box.halt()
        while_off()
        self.boot()
        self.next_auth(BOOT_SECS)
        self.box.wait_ready()


INSTALLED = '{"api_key": "%s"}\n' % API_KEY  # corvane.json as INSTALL.txt has it written


def worker(k):
    return f"box.{k:06d}"


def host(k):
    return f"box-{k:06d}"


def pools(k):
    return {"type": "config_pools",
            "main": {"stratum_url": "stratum+tcp://box.example:3333", "worker": worker(k)}}


def network(k):
    """A "config" whose network section changes only the host name: the file is rewritten
    and networking is not restarted."""
    return {"type": "config", "network": {"mode": "dhcp", "hostname": host(k)}}


class Stream(threading.Thread):
    """Changing commands, one step at a time: a "config" whose network section sets a new host
    name, then the daemon's pools with a new worker. "config" has no reply, but the agent
    handles messages one after another, so the pools' reply acknowledges both."""

    def __init__(self, session, step):
        super().__init__(daemon=True)
        self.server, self.step = session.server, step
        self.lock = threading.Lock()
        self.acked = self.pending = None
        self.stopped = False

    def run(self):
        while True:
            with self.lock:
                if self.stopped:
                    return
                self.step += 1
                k = self.pending = self.step
            since = len(self.server.received)
            try:
                self.server.send(network(k))
                self.server.send(pools(k))
                # Not wait_message: a reply this thread gave up on must stay for others.
                reply = self.server.wait_for(lambda: next(
                    (r.json for r in self.server.received[since:]
                     if isinstance(r.json, dict) and r.json.get("type") == "config_pools"),
                    None) or self.stopped, 120)
            except (AssertionError, RuntimeError, TimeoutError):
                return
            with self.lock:
                # A reply that came at all was sent before the power cut: the writes were done.
                if isinstance(reply, dict) and reply.get("ok") is True:
                    self.acked, self.pending = k, None
                if self.stopped:
                    return

    def stop(self):
        with self.lock:
            self.stopped = True
        self.join(5)

    def versions(self):
        """(last step acknowledged, step sent and not acknowledged), either None."""
        with self.lock:
            return self.acked, self.pending


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--relay":
        relay(int(sys.argv[2]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--tarball", required=True)
    ap.add_argument("--build-dir", default="build-release-armhf",
                    help="the tarball's build (its unstripped cvagent, for --planted-nosync)")
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--work", default="build-box")
    ap.add_argument("--scenario", nargs="+", choices=SCENARIOS, default=list(SCENARIOS))
    ap.add_argument("--cuts", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--planted-nosync", action="store_true",
                    help="also run the cuts with fsync planted out; some must fail")
    ap.add_argument("--minutes", type=float, default=3)
    args = ap.parse_args()
    run = Run(args)
    started = time.monotonic()
    status = 0
    try:
        for scenario in ["install"] + [s for s in args.scenario if s != "install"]:
            run.say(f"== {scenario}")
            getattr(run, scenario)()
        if args.planted_nosync:
            run.say("== powercut, planted fault")
            run.powercut(planted=True)
    except (Failure, AssertionError) as e:
        run.say(f"FAILED: {e}")
        status = 1
    finally:
        run.box.halt()
        run.session.server.stop()
        run.log.close()
    print("\nfigures:")
    for line in run.figures:
        print(f"  {line}")
    print(f"box: {'passed' if status == 0 else 'FAILED'} in {time.monotonic() - started:.0f} s "
          f"(console in {run.work / 'console.log'})")
    return status


if __name__ == "__main__":
    sys.exit(main())
