#!/usr/bin/python3
"""Checks that a power cut at any moment of a save leaves each file the agent keeps whole.

Each save (through powercut_writer) replaces its file under strace, with the old version and a
stale temporary standing. The calls are replayed on a model of storage that promises nothing
without a sync: until the file's fsync a write may reach storage whole, torn (only its first
half) or not at all; until the directory's fsync a creation, rename or removal of a name may or
may not. After every call each state storage may hold must show the old or the new file, and
once the save returned the new one. On a full tmpfs (where one can be mounted) the agent's
start and every save must fail and leave the old file. usage: powercut.py [--build-dir DIR]
"""
import argparse
import itertools
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# Each save and what stands in its file before the first (daemon-config merges into it).
INITIAL = {
    "agent-config": "",
    "network": "",
    "daemon-config": (REPO / "tests/unit/miner/data/l3plus.conf").read_text(),
    "web-password": "admin:antMiner Configuration:" + "0" * 32 + "\n",
}
# The calls the model knows. Others err on the safe side: a sync it misses fails the check,
# and a change of content it misses leaves the replay short of the file on disk, which fails
# it too. fchmod and fchown change no content.
TRACED = "open,openat,write,writev,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,close"
# Each unsynced effect multiplies the states; a save that keeps this many is broken anyway.
MAX_UNSYNCED = 12

CALL = re.compile(r"^(\w+)\((.*)\) += (-?\d+)(?:<([^>]*)>)?")
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
    text = decoded(arg) or arg[:40]
    return os.path.basename(text) if text.isprintable() else f"{len(text)} characters"


def calls(trace):
    """(name, arguments, result, path of a returned descriptor) of each call."""
    for line in trace.splitlines():
        match = CALL.match(line)
        if match:  # with every byte of a text escaped, a comma parts arguments or iovecs
            returned = match.group(4)
            yield (match.group(1), match.group(2).split(", "), int(match.group(3)),
                   returned and os.fsdecode(unhex(returned)))


def put(content, offset, data):
    """`content` with `data` written at `offset`, or just `data` when offset is None."""
    return data if offset is None else (content[:offset].ljust(offset, b"\0") + data +
                                        content[offset + len(data):])


class Disk:
    """One directory as the traced program sees it (content, names) and as storage surely
    holds it (stored, stored_names), with the unsynced effects in between."""

    def __init__(self, directory):
        self.dir = directory
        self.content, self.names, self.open = {}, {}, {}  # open: descriptor -> [file, position]
        self.unsynced = {}  # file number -> [(label, offset or None: emptied, data)]
        self.name_changes = []  # [(label, path removed or None, path added or None, file)]
        for name in sorted(os.listdir(directory)):
            self.create(os.path.join(directory, name), Path(directory, name).read_bytes())
        self.stored, self.stored_names = dict(self.content), dict(self.names)

    def create(self, path, content=b""):
        number = len(self.content)
        self.content[number], self.unsynced[number], self.names[path] = content, [], number
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
            base, paths = self.dir, []  # the working directory is the directory
            for arg in args:  # the *at calls give a directory descriptor before each name
                if FD.fullmatch(arg):
                    base = decoded(arg)
                elif HEX.fullmatch(arg):
                    paths.append(os.path.normpath(os.path.join(base, decoded(arg))))
            if paths[0] not in self.names:
                return False
            self.name_change(label, paths[0], paths[1] if name.startswith("rename") else None)
        elif fd in self.open:
            number, position = self.open[fd]
            if name == "close":
                del self.open[fd]
            elif name in ("fsync", "fdatasync"):
                self.stored[number], self.unsynced[number] = self.content[number], []
            else:  # write, writev: every text after the descriptor
                data = b"".join(unhex(part) for part in HEX.findall(", ".join(args[1:])))[:result]
                self.change(number, label, position, data)
                self.open[fd][1] += result
        elif name in ("fsync", "fdatasync") and decoded(args[0]) == self.dir:
            self.stored_names, self.name_changes = dict(self.names), []
        else:
            return False
        return True

    def crash_states(self, path):
        """Yields (content or None: no file, the effects lost) of each state a cut may leave."""
        for kept_names in itertools.product((True, False), repeat=len(self.name_changes)):
            names = dict(self.stored_names)
            for (_, removed, added, number), keep in zip(self.name_changes, kept_names):
                if keep:
                    names.pop(removed, None)
                    names.update({added: number} if added else {})
            lost = [c[0] for c, keep in zip(self.name_changes, kept_names) if not keep]
            if path not in names:
                yield None, lost
                continue
            effects = self.unsynced[names[path]]
            for chosen in itertools.product(*[("kept", "lost") + ("torn",) * (e[1] is not None)
                                              for e in effects]):
                content = self.stored.get(names[path], b"")
                for (_, offset, data), choice in zip(effects, chosen):
                    if choice != "lost":
                        content = put(content, offset, data if choice == "kept" else
                                      data[:len(data) // 2].ljust(len(data), b"\0"))
                yield content, lost + [f"{e[0]} ({c})" for e, c in zip(effects, chosen)
                                       if c != "kept"]


def writer(build, kind, path, version):
    return [str(build / "tests/powercut_writer"), kind, str(path), version]


def check_save(build, kind, work):
    """Traces one save of `kind` and walks its crash states; returns the failures."""
    directory = work / kind
    directory.mkdir()
    path = directory / kind
    path.write_text(INITIAL[kind])
    subprocess.run(writer(build, kind, path, "a"), check=True)
    old = path.read_bytes()
    (directory / f"{kind}.tmp").write_bytes(b"stale")  # an earlier save cut short
    disk = Disk(str(directory))
    # LeakSanitizer cannot stop the threads of a traced program. Threads of the writer's own
    # are not followed: the replay would then miss calls and fail.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    trace = work / f"{kind}.trace"
    subprocess.run(["strace", "-qq", "-y", "-xx", "-s", "1048576", "-e", "signal=none", "-e",
                    f"trace={TRACED}", "-o", str(trace)] + writer(build, kind, path, "b"),
                   env=env, cwd=directory, check=True, timeout=60)
    new = path.read_bytes()

    def cut(when, allowed):
        if len(disk.name_changes) + sum(map(len, disk.unsynced.values())) > MAX_UNSYNCED:
            return f"{kind}: more than {MAX_UNSYNCED} unsynced effects {when}"
        for content, lost in disk.crash_states(str(path)):
            if content not in allowed:
                left = ("no file" if content is None else "the old file" if content == old
                        else repr(content[:60]))
                return f"{kind}: a cut {when} can leave {left} (lost: {', '.join(lost)})"

    failures = []
    for index, (name, args, result, returned) in enumerate(calls(trace.read_text())):
        label = f"#{index} {name}({', '.join(map(shown, args))})"
        if result >= 0 and disk.replay(name, args, result, returned, label):
            failures.append(cut(f"after {label}", (old, new)))
    failures.append(cut("after the save returned", (new,)))
    if disk.content.get(disk.names.get(str(path))) != new:
        failures.append(f"{kind}: the replayed calls do not end with the file on disk")
    if new == old:
        failures.append(f"{kind}: the save did not change the file")
    return [failure for failure in failures if failure][:1]


def full_disk(build, work):
    """The failures of the full-disk checks; None when no tmpfs can be mounted."""
    disk, root = work / "disk", work / "root"
    disk.mkdir()
    subprocess.run([str(REPO / "sandbox/make-root.sh"), str(root), "lo", "1"], check=True,
                   stdout=subprocess.DEVNULL)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                      stderr=subprocess.DEVNULL).returncode != 0:
        return None
    try:
        config = disk / "corvane.json"
        config.write_text('{"api_key": "powercut-key-0123456789abcdef"}')
        for kind in INITIAL:
            (disk / kind).write_text(INITIAL[kind])
            subprocess.run(writer(build, kind, disk / kind, "a"), check=True)
        olds = {path: path.read_bytes() for path in disk.iterdir()}
        subprocess.run(["dd", "if=/dev/zero", f"of={disk}/filler"], stderr=subprocess.DEVNULL)
        # Without a device id the agent must save one, and fails.
        agent = [str(build / "cvagent-sandbox"), "--root", str(root), "--iface", "lo",
                 "-s", "wss://localhost:1/api/v1/ws", "-c", str(config)]
        failed = [f"{kind} save" for kind in INITIAL
                  if subprocess.run(writer(build, kind, disk / kind, "b")).returncode != 1]
        status = subprocess.run(agent, capture_output=True, timeout=30).returncode
        failed += ["agent start"] * (status != 1 or "Failed to save" not in
                                     (root / "var/log/cvagent.log").read_text())
        failed += [f"{path.name} changed" for path, old in olds.items() if path.read_bytes() != old]
        return failed + ["a temporary left"] * any(disk.glob("*.tmp"))
    finally:
        subprocess.run(["umount", str(disk)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    build = Path(parser.parse_args().build_dir).resolve()
    with tempfile.TemporaryDirectory(prefix="cvagent-powercut-") as work:
        work = Path(work).resolve()  # strace reports resolved paths
        failures = [failure for kind in INITIAL for failure in check_save(build, kind, work)]
        disk = full_disk(build, work)
        failures += [f"full disk: {check}" for check in disk or []]
    print(f"{len(INITIAL)} saves traced; full disk {'skipped' if disk is None else 'checked'}")
    print("".join(f"FAILED {failure}\n" for failure in failures), end="")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
