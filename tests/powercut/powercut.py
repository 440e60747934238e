#!/usr/bin/python3
"""Checks that a power cut at any moment of a save leaves each file the agent keeps whole.

Each save function (agent-config, network, daemon-config, web-password, through
powercut_writer) replaces its file once under strace, with the old version and a stale
temporary standing. The recorded system calls are replayed on a model of the controller's
file systems that promises nothing without a sync:
  - data written to a file may reach storage whole, in part (the length but only part of
    the bytes) or not at all, in any order, until an fsync or fdatasync of that file;
  - creating, renaming and removing names may each reach storage or not until an fsync of
    the directory.
After every call, every state the storage may then hold must show the old file or the new
one at the path, and once the save has returned it must show the new one. Then the tool
fills the disk (a small tmpfs mounted in the work directory, when permitted) and checks that
a save fails cleanly with the old file intact.

usage: tests/powercut/powercut.py [--build-dir build]
Prints one line of figures per file; exits 1 when a crash state or the full disk check fails.
"""
import argparse
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
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
# What the model replays; fchmod, fchown and reads change no file's content.
TRACED = ("open,openat,creat,write,pwrite64,writev,pwritev,lseek,ftruncate,fsync,fdatasync,"
          "sync,syncfs,rename,renameat,renameat2,unlink,unlinkat,close")
# Above this many crash states after one call, the save keeps far too much unsynced.
MAX_STATES = 1 << 16

CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)(?:<([^>]*)>)?")
HEX = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')
FD = re.compile(r"^(-?\d+|AT_FDCWD)<((?:\\x[0-9a-f]{2})*)>$")


def unhex(text):
    return bytes.fromhex(text.replace("\\x", ""))


def calls(trace):
    """(name, arguments, result, path of a returned descriptor) per finished call, joining
    the halves strace splits when another thread interrupts a call."""
    started = {}
    for line in trace.splitlines():
        pid = line.split(" ", 1)[0]
        if line.endswith(" <unfinished ...>"):
            started[pid] = line[:-len(" <unfinished ...>")]
            continue
        resumed = re.match(r"^\d+ +<\.\.\. \w+ resumed>(.*)$", line)
        if resumed:
            line = started.pop(pid, "") + resumed.group(1)
        match = CALL.match(line)
        if not match:
            continue
        args, depth, start = [], 0, 0
        text = match.group(2)
        for i, char in enumerate(text):
            depth += (char in "[{") - (char in "]}")
            if char == "," and depth == 0:
                args.append(text[start:i].strip())
                start = i + 1
        args.append(text[start:].strip())
        returned = match.group(4)
        yield (match.group(1), args, int(match.group(3)),
               None if returned is None else os.fsdecode(unhex(returned)))


def descriptor(arg):
    """(number, or None for AT_FDCWD, and the path strace resolved it to) of an argument."""
    match = FD.match(arg)
    if not match:
        return None, None
    number = None if match.group(1) == "AT_FDCWD" else int(match.group(1))
    return number, os.fsdecode(unhex(match.group(2)))


def string(arg):
    return os.fsdecode(unhex(HEX.fullmatch(arg).group(1)))


def shown(arg):
    """An argument as a reader wants it in a message: names instead of hexadecimal."""
    if FD.match(arg):
        return "AT_FDCWD" if arg.startswith("AT_FDCWD") else os.path.basename(descriptor(arg)[1])
    if HEX.fullmatch(arg):
        text = string(arg)
        return os.path.basename(text) if text.isprintable() else f"{len(unhex(arg[1:-1]))} bytes"
    return arg if len(arg) < 40 else arg[:37] + "..."


def put(content, offset, data):
    return content[:offset].ljust(offset, b"\0") + data + content[offset + len(data):]


def truncated(content, size):
    return content[:size].ljust(size, b"\0")


class Disk:
    """One directory as the traced program sees it (names, contents) and as storage surely
    holds it, with the unsynced effects in between that a power cut may keep or lose."""

    def __init__(self, directory, cwd):
        self.dir = directory
        self.cwd = cwd
        self.content = {}   # file number -> bytes as the program sees them
        self.stored = {}    # file number -> bytes surely on storage
        # file number -> [(label, offset, data) or (label, None, length) of a truncation]
        self.unsynced = {}
        self.names = {}     # path -> file number, as the program sees them
        self.name_changes = []  # [(label, path removed or None, path added or None, number)]
        self.open = {}      # descriptor -> [file number, position, appends]
        for name in sorted(os.listdir(directory)):
            self.create(os.path.join(directory, name), (Path(directory) / name).read_bytes())
        self.stored = dict(self.content)
        self.stored_names = dict(self.names)

    def create(self, path, content=b""):
        number = len(self.content)
        self.content[number], self.stored[number], self.unsynced[number] = content, b"", []
        self.names[path] = number
        return number

    def change(self, number, label, offset, data):
        self.unsynced[number].append((label, offset, data))
        content = self.content[number]
        self.content[number] = (truncated(content, data) if offset is None else
                                put(content, offset, data))

    def name_change(self, label, removed, added):
        number = self.names.pop(removed) if removed else self.create(added)
        if added:
            self.names[added] = number
        self.name_changes.append((label, removed, added, number))

    def sync_file(self, number):
        self.stored[number] = self.content[number]
        self.unsynced[number] = []

    def sync_directory(self):
        self.stored_names = dict(self.names)
        self.name_changes = []

    def path(self, at, arg):
        path = string(arg)
        base = self.cwd if at is None else descriptor(at)[1]
        return os.path.normpath(os.path.join(base, path))

    def replay(self, name, args, result, returned, label):
        """Applies one successful call of the traced program; True when it concerned the
        directory."""
        number, fd_path = descriptor(args[0])
        if name in ("open", "openat", "creat"):
            flags = "O_CREAT|O_TRUNC" if name == "creat" else args[2 if name == "openat" else 1]
            if os.path.dirname(returned) != self.dir:
                return False
            if returned not in self.names:
                self.name_change(label, None, returned)
            elif "O_TRUNC" in flags:
                self.change(self.names[returned], label, None, 0)
            self.open[result] = [self.names[returned], 0, "O_APPEND" in flags]
        elif name in ("sync", "syncfs"):
            for file in self.content:
                self.sync_file(file)
            self.sync_directory()
        elif name in ("rename", "unlink", "renameat", "renameat2", "unlinkat"):
            if name in ("rename", "unlink"):
                paths = [self.path(None, arg) for arg in args]
            else:  # a directory descriptor before each name
                paths = [self.path(args[i], args[i + 1]) for i in range(0, len(args) - 1, 2)]
            if os.path.dirname(paths[0]) != self.dir or paths[0] not in self.names:
                return False
            self.name_change(label, paths[0], paths[1] if name.startswith("rename") else None)
        elif number in self.open:
            file, position, appends = self.open[number]
            if name == "close":
                del self.open[number]
            elif name == "lseek":
                self.open[number][1] = result
            elif name == "ftruncate":
                self.change(file, label, None, int(args[1]))
            elif name in ("fsync", "fdatasync"):
                self.sync_file(file)
            else:  # write, writev, pwrite64, pwritev
                data = b"".join(unhex(s) for s in HEX.findall(args[1]))[:result]
                at = int(args[-1]) if name.startswith("p") else (
                    len(self.content[file]) if appends else position)
                self.change(file, label, at, data)
                if not name.startswith("p"):
                    self.open[number][1] = at + result
        elif name in ("fsync", "fdatasync") and fd_path == self.dir:
            self.sync_directory()
        elif fd_path and os.path.dirname(fd_path) == self.dir and name != "close":
            raise ValueError(f"{label} uses a descriptor opened out of sight of the model")
        else:
            return False
        return True

    def crash_states(self, path):
        """Yields (content, or None when the path is missing, what was kept, what was lost)
        for every state a power cut may leave now."""
        changes = self.name_changes
        for kept_names in itertools.product((False, True), repeat=len(changes)):
            names = dict(self.stored_names)
            for (_, removed, added, number), keep in zip(changes, kept_names):
                if keep and removed:
                    names.pop(removed, None)
                if keep and added:
                    names[added] = number
            kept = [c[0] for c, k in zip(changes, kept_names) if k]
            lost = [c[0] for c, k in zip(changes, kept_names) if not k]
            if path not in names:
                yield None, kept, lost
                continue
            effects = self.unsynced[names[path]]
            # A write may also reach storage torn: its length, but only its first half.
            choices = [("kept", "lost") + (("torn",) if offset is not None else ())
                       for _, offset, _ in effects]
            for chosen in itertools.product(*choices):
                content = self.stored[names[path]]
                for (_, offset, data), choice in zip(effects, chosen):
                    if choice == "lost":
                        continue
                    if offset is None:
                        content = truncated(content, data)
                    else:
                        half = len(data) // 2
                        torn = data[:half] + b"\0" * (len(data) - half)
                        content = put(content, offset, data if choice == "kept" else torn)
                yield (content, kept + [e[0] for e, c in zip(effects, chosen) if c == "kept"],
                       lost + [e[0] + " (torn)" * (c == "torn")
                               for e, c in zip(effects, chosen) if c != "kept"])


def describe(content, old):
    if content is None or content == old:
        return "no file" if content is None else "the old file"
    return "an empty file" if not content else repr(content[:60])


def writer(build, kind, path, version):
    return [str(build / "tests" / "powercut_writer"), kind, str(path), version]


def trace_save(build, kind, path):
    """Runs the save of version b under strace; returns its calls, or raises on failure."""
    trace = path.parent.parent / f"{kind}.trace"
    # LeakSanitizer cannot stop the threads of a traced program.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    run = subprocess.run(["strace", "-f", "-qq", "-y", "-xx", "-s", "1048576", "-e", "signal=none",
                          "-e", f"trace={TRACED}", "-o", str(trace)] +
                         writer(build, kind, path, "b"), env=env, cwd=path.parent,
                         capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        raise ValueError(f"the traced save failed: {run.stdout}{run.stderr}")
    return list(calls(trace.read_text()))


def check_save(build, kind, work):
    """Traces one save of `kind` and walks its crash states. Returns (figures, failures)."""
    directory = work / kind
    directory.mkdir()
    path = directory / kind
    path.write_text(INITIAL[kind])
    subprocess.run(writer(build, kind, path, "a"), check=True)
    old = path.read_bytes()
    # An earlier save cut short.
    (directory / f"{kind}.tmp").write_bytes(b"stale")
    disk = Disk(str(directory), str(directory))
    figures = {"calls": 0, "cuts": 0, "states": 0}
    failures = []

    def cut(label, allowed):
        figures["cuts"] += 1
        for count, (content, kept, lost) in enumerate(disk.crash_states(str(path))):
            if count == MAX_STATES:
                failures.append(f"{kind}: more than {MAX_STATES} crash states {label}")
                return
            figures["states"] += 1
            if content not in allowed and not failures:
                failures.append(
                    f"{kind}: a cut {label} can leave {describe(content, old)} "
                    f"(kept {', '.join(kept) or 'nothing'}; lost {', '.join(lost) or 'nothing'})")

    try:
        replayed = trace_save(build, kind, path)
        new = path.read_bytes()
        for index, (name, args, result, returned) in enumerate(replayed):
            label = f"#{index} {name}({', '.join(map(shown, args))})"
            if result >= 0 and disk.replay(name, args, result, returned, label):
                figures["calls"] += 1
                cut(f"after {label}", (old, new))
        # Once the save has returned, only the new file may stand.
        cut("after the save returned", (new,))
    except ValueError as error:
        return figures, [f"{kind}: {error}"]
    if disk.content.get(disk.names.get(str(path))) != new:
        failures.append(f"{kind}: the replayed calls do not end with the file on disk")
    if new == old or not parses(kind, new.decode()):
        failures.append(f"{kind}: the save did not write a new, parseable version")
    return figures, failures


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
            (disk / kind).write_text(INITIAL[kind])
            subprocess.run(writer(build, kind, disk / kind, "a"), check=True)
            olds[kind] = (disk / kind).read_text()
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
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    # strace reports resolved paths.
    work = Path(tempfile.mkdtemp(prefix="cvagent-powercut-")).resolve()
    failed = False
    try:
        for kind in WRITER_KINDS:
            figures, failures = check_save(build, kind, work)
            if figures:
                print(f"{kind}: {figures['calls']} calls, {figures['cuts']} cut points, "
                      f"{figures['states']} crash states, {len(failures)} bad")
            for failure in failures:
                print(f"FAILED {failure}")
            failed |= bool(failures)
        disk = full_disk(build, make_root(work), work)
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
