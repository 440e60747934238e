#!/usr/bin/python3
"""Checks that a power cut at any moment of a save leaves each file the agent keeps whole.

Each save function (agent-config, network, daemon-config, web-password, through
powercut_writer) replaces its file once under strace, with the old version and a stale
temporary standing. The recorded calls are replayed on a model of the controller's file
systems that promises nothing without a sync: until the file's fsync, each write may reach
storage whole, torn (its length, but only its first half of bytes) or not at all; until the
directory's fsync, each creation, rename and removal of a name may or may not. After every
call, every state the storage may hold must show the old or the new file at the path, and
once the save has returned, the new one. Then the tool fills the disk (a small tmpfs mounted
in the work directory, when permitted) and checks that a save fails with the old file intact.

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
# The calls the model knows. Others err on the safe side: a sync it misses fails the check,
# and a change of content it misses leaves the replay short of the file on disk, which fails
# it too. fchmod and fchown change no content.
TRACED = "open,openat,write,writev,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,close"
# Each unsynced effect multiplies the states; a save that keeps this many is broken anyway.
MAX_UNSYNCED = 12

CALL = re.compile(r"^\d+ +(\w+)\((.*)\) += (-?\d+)(?:<([^>]*)>)?")
HEX = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')
FD = re.compile(r"^(\d+|AT_FDCWD)<((?:\\x[0-9a-f]{2})*)>$")


def unhex(text):
    return bytes.fromhex(text.replace("\\x", ""))


def decoded(arg):
    """The text of a string argument, or the path strace gives for a descriptor; else None."""
    match = HEX.fullmatch(arg) or FD.fullmatch(arg)
    return os.fsdecode(unhex(match.group(match.lastindex))) if match else None


def shown(arg):
    """An argument as a reader wants it in a message: names instead of hexadecimal."""
    text = decoded(arg)
    if text is None or arg.startswith("AT_FDCWD"):
        return arg.split("<")[0][:40]
    return os.path.basename(text) if text.isprintable() else f"{len(os.fsencode(text))} bytes"


def calls(trace):
    """(name, arguments, result, path of a returned descriptor) of each call, joining the
    halves strace splits when another thread interrupts a call."""
    started = {}
    for line in trace.splitlines():
        pid, rest = line.split(" ", 1)
        if line.endswith(" <unfinished ...>"):
            started[pid] = line[:-len(" <unfinished ...>")]
            continue
        if rest.lstrip().startswith("<... "):
            line = started.pop(pid, "") + rest.split(" resumed>", 1)[1]
        match = CALL.match(line)
        if match:
            # Split on the commas outside arrays and structures.
            args, depth, start = [], 0, 0
            for i, char in enumerate(match.group(2) + ","):
                depth += (char in "[{") - (char in "]}")
                if char == "," and depth == 0:
                    args.append(match.group(2)[start:i].strip())
                    start = i + 1
            returned = match.group(4)
            yield (match.group(1), args, int(match.group(3)),
                   returned and os.fsdecode(unhex(returned)))


class Disk:
    """One directory as the traced program sees it and as storage surely holds it, with the
    unsynced effects in between that a power cut may keep or lose."""

    def __init__(self, directory):
        self.dir = directory
        self.content = {}   # file number -> bytes as the program sees them
        self.stored = {}    # file number -> bytes surely on storage
        # file number -> [(label, offset, data)] since its fsync; offset None: emptied
        self.unsynced = {}
        self.names = {}     # path -> file number as the program sees them
        # [(label, path removed or None, path added or None, file number)] since the
        # directory's fsync
        self.name_changes = []
        self.open = {}      # descriptor -> [file number, position]
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
        self.content[number] = put(self.content[number], offset, data)

    def name_change(self, label, removed, added):
        number = self.names.pop(removed) if removed else self.create(added)
        if added:
            self.names[added] = number
        self.name_changes.append((label, removed, added, number))

    def replay(self, name, args, result, returned, label):
        """Applies one successful call; True when it concerned the directory."""
        fd = args[0].split("<")[0]
        if name in ("open", "openat") and os.path.dirname(returned) == self.dir:
            if returned not in self.names:
                self.name_change(label, None, returned)
            elif "O_TRUNC" in args[2 if name == "openat" else 1]:
                self.change(self.names[returned], label, None, b"")
            self.open[str(result)] = [self.names[returned], 0]
        elif name.startswith(("rename", "unlink")):
            # rename(old, new) and unlink(path) from the working directory, the directory;
            # the others with a directory descriptor before each name.
            paths = ([os.path.join(self.dir, decoded(arg)) for arg in args]
                     if name in ("rename", "unlink") else
                     [os.path.join(decoded(args[i]), decoded(args[i + 1]))
                      for i in range(0, len(args) - 1, 2)])
            paths = [os.path.normpath(path) for path in paths]
            if paths[0] not in self.names:
                return False
            self.name_change(label, paths[0], paths[1] if name.startswith("rename") else None)
        elif fd in self.open:
            number, position = self.open[fd]
            if name == "close":
                del self.open[fd]
            elif name in ("fsync", "fdatasync"):
                self.stored[number], self.unsynced[number] = self.content[number], []
            else:  # write, writev
                data = b"".join(unhex(part) for part in HEX.findall(args[1]))[:result]
                self.change(number, label, position, data)
                self.open[fd][1] += result
        elif name in ("fsync", "fdatasync") and decoded(args[0]) == self.dir:
            self.stored_names, self.name_changes = dict(self.names), []
        else:
            return False
        return True

    def crash_states(self, path):
        """Yields (content, or None when the path is missing, what was kept, what was lost)
        for every state a power cut may leave now."""
        for kept_names in itertools.product((True, False), repeat=len(self.name_changes)):
            names = dict(self.stored_names)
            for (_, removed, added, number), keep in zip(self.name_changes, kept_names):
                if keep:
                    names.pop(removed, None)
                    names.update({added: number} if added else {})
            kept = [c[0] for c, keep in zip(self.name_changes, kept_names) if keep]
            lost = [c[0] for c, keep in zip(self.name_changes, kept_names) if not keep]
            if path not in names:
                yield None, kept, lost
                continue
            effects = self.unsynced[names[path]]
            choices = [("kept", "lost") + ("torn",) * (offset is not None)
                       for _, offset, _ in effects]
            for chosen in itertools.product(*choices):
                content = self.stored[names[path]]
                for (_, offset, data), choice in zip(effects, chosen):
                    half = len(data) // 2
                    if choice != "lost":
                        content = put(content, offset, data if choice == "kept" else
                                      data[:half] + b"\0" * (len(data) - half))
                yield (content, kept + [e[0] for e, c in zip(effects, chosen) if c == "kept"],
                       lost + [e[0] + " (torn)" * (c == "torn")
                               for e, c in zip(effects, chosen) if c != "kept"])


def put(content, offset, data):
    """`content` with `data` written at `offset`, or just `data` when offset is None."""
    if offset is None:
        return data
    return content[:offset].ljust(offset, b"\0") + data + content[offset + len(data):]


def describe(content, old):
    if content is None or content == old:
        return "no file" if content is None else "the old file"
    return repr(content[:60]) if content else "an empty file"


def writer(build, kind, path, version):
    return [str(build / "tests" / "powercut_writer"), kind, str(path), version]


def trace_save(build, kind, path):
    """The calls of a save of version b under strace; raises ValueError when it failed."""
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
    disk = Disk(str(directory))
    figures = {"calls": 0, "cuts": 0, "states": 0}
    failures = []

    def cut(when, allowed):
        figures["cuts"] += 1
        if len(disk.name_changes) + sum(map(len, disk.unsynced.values())) > MAX_UNSYNCED:
            failures.append(f"{kind}: more than {MAX_UNSYNCED} unsynced effects {when}")
            return
        for content, kept, lost in disk.crash_states(str(path)):
            figures["states"] += 1
            if content not in allowed and not failures:
                failures.append(
                    f"{kind}: a cut {when} can leave {describe(content, old)} "
                    f"(kept {', '.join(kept) or 'nothing'}; lost {', '.join(lost) or 'nothing'})")

    try:
        replayed = trace_save(build, kind, path)
    except ValueError as error:
        return figures, [f"{kind}: {error}"]
    new = path.read_bytes()
    for index, (name, args, result, returned) in enumerate(replayed):
        label = f"#{index} {name}({', '.join(map(shown, args))})"
        if result >= 0 and disk.replay(name, args, result, returned, label):
            figures["calls"] += 1
            cut(f"after {label}", (old, new))
    # Once the save has returned, only the new file may stand.
    cut("after the save returned", (new,))
    if disk.content.get(disk.names.get(str(path))) != new:
        failures.append(f"{kind}: the replayed calls do not end with the file on disk")
    if new == old:
        failures.append(f"{kind}: the save did not change the file")
    return figures, failures


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
