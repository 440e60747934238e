#!/usr/bin/python3
"""Mutation testing of the agent's sources: how many small faults in src/ do the tests catch?

Picks single-line mutants in src/ (seeded, spread over the files in proportion to their
executable lines), builds each one incrementally in a private copy of the repository, runs the
unit tests and, when they all pass, the end-to-end tests, and reports what killed each mutant,
the mutants that only one test kills, and the score (killed / built). The end-to-end tests run
only for mutants that every unit test lets through, so "only one test kills" compares a unit
test with the other unit tests, and an end-to-end test with the other end-to-end tests.

    /usr/bin/python3 scripts/mutants.py --list --count 100 --seed 7
    nice -n 15 /usr/bin/python3 scripts/mutants.py --count 100 --seed 7 --jobs 2

Run by hand or in the background, not in CI. The working tree is never changed: the mutants
are applied to BUILD_DIR/src-tree, a copy refreshed from the working tree at every run, which
BUILD_DIR/build is configured from, so each mutant recompiles only its own file.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET
from dataclasses import asdict, dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

# ctest entries that test the tools (the reference server, its page in a browser, the simulated
# daemon) rather than src/.
TOOL_TESTS = ("refserver", "refserver_page", "fakeminer")
E2E_PREFIX = "e2e_"
# Run first: between them they kill nearly every mutant the end-to-end suite kills, and the
# short ones fail fast. Once two tests kill a mutant, no test is its only killer, so the rest
# of the suite need not run (a mutant that breaks the run loop would otherwise sit through
# every test's time-outs).
E2E_FIRST = ("e2e_test_session", "e2e_test_robustness", "e2e_test_startup", "e2e_test_tls")

LOG_CALL = re.compile(r"^\s*LOG_(ERROR|WARN|INFO|DEBUG|TRACE|FATAL)\s*\(")

# --- Finding the candidates -------------------------------------------------------------------


@dataclass
class Mutant:
    id: int
    file: str
    line: int  # 1-based
    operator: str
    original: str
    mutated: str
    outcome: str = "pending"  # killed_unit, killed_e2e, survived, no_build
    killed_by: list = field(default_factory=list)
    flaky: list = field(default_factory=list)  # failed once, passed when run again
    seconds: float = 0.0


def mask_code(lines):
    """Each line with comments, string and character literals blanked out (same length), so
    the operators only ever match code. Comments become spaces; literal contents become '_'."""
    masked = []
    in_block = False
    for text in lines:
        out = []
        i = 0
        quote = None
        while i < len(text):
            c = text[i]
            if in_block:
                if text.startswith("*/", i):
                    in_block = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
            elif quote:
                if c == "\\" and i + 1 < len(text):
                    out.append("__")
                    i += 2
                    continue
                if c == quote:
                    quote = None
                    out.append(c)
                else:
                    out.append("_")
                i += 1
            elif text.startswith("//", i):
                out.append(" " * (len(text) - i))
                break
            elif text.startswith("/*", i):
                in_block = True
                out.append("  ")
                i += 2
            elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
                # A quote after a digit is a digit separator, not a character literal.
                quote = c
                out.append(c)
                i += 1
            else:
                out.append(c)
                i += 1
        masked.append("".join(out))
    return masked


def log_lines(masked):
    """Indexes of lines that belong to a logging call, continuation lines included."""
    skip = set()
    depth = 0
    for index, code in enumerate(masked):
        if depth == 0 and not LOG_CALL.match(code):
            continue
        skip.add(index)
        depth += code.count("(") - code.count(")")
        if depth <= 0:
            depth = 0
    return skip


# (name, pattern, replacement for the matched text). Binary operators are matched with the
# spaces clang-format puts around them, which keeps templates, "->", "<<" and "T&&" out.
SWAPS = [
    ("==", re.compile(r"(?<= )==(?= )"), "!="),
    ("!=", re.compile(r"(?<= )!=(?= )"), "=="),
    ("<", re.compile(r"(?<= )<(?= )"), "<="),
    ("<=", re.compile(r"(?<= )<=(?= )"), "<"),
    (">", re.compile(r"(?<= )>(?= )"), ">="),
    (">=", re.compile(r"(?<= )>=(?= )"), ">"),
    ("&&", re.compile(r"(?<= )&&(?= )"), "||"),
    ("||", re.compile(r"(?<= )\|\|(?= )"), "&&"),
    ("!", re.compile(r"!(?!=)"), ""),
    ("return 0", re.compile(r"\breturn 0(?=;)"), "return -1"),
    ("return -1", re.compile(r"\breturn -1(?=;)"), "return 0"),
    ("return 1", re.compile(r"\breturn 1(?=;)"), "return 0"),
    ("true", re.compile(r"\btrue\b"), "false"),
    ("false", re.compile(r"\bfalse\b"), "true"),
    ("+ 1", re.compile(r"(?<= )\+ 1(?![\w.'])"), "- 1"),
    ("- 1", re.compile(r"(?<= )- 1(?![\w.'])"), "+ 1"),
]

# A whole statement on one line that is a call or an assignment, not a declaration: a
# (qualified) name directly followed by "(" or by an assignment operator; or ++x / --x.
SIMPLE_STATEMENT = re.compile(
    r"^\s*(?:(?:\+\+|--)[A-Za-z_]\w*|[A-Za-z_]\w*(?:(?:\.|->|::)[A-Za-z_]\w*)*"
    r"(?:\[[^\]]*\])?(?:\(| (?:=|\+=|-=|\*=|/=|\|=|&=|<<=|>>=) |\+\+|--))")
# Deleting an assert only removes a check the tests cannot see pass.
NOT_A_STATEMENT = re.compile(
    r"^\s*(?:return|if|for|while|switch|case|else|do|goto|using|alignas|static_assert|assert)\b")


def deletable(code, previous_code):
    """True when `code` is one complete simple statement that can be removed as a whole."""
    stripped = code.strip()
    if not stripped.endswith(";") or stripped.count(";") != 1:
        return False
    if stripped.count("(") != stripped.count(")") or stripped.count("{") != stripped.count("}"):
        return False
    if NOT_A_STATEMENT.match(stripped) or not SIMPLE_STATEMENT.match(stripped):
        return False
    # The line must start a statement, not continue one or be the body of an unbraced if.
    return previous_code.rstrip().endswith((";", "{", "}", ":"))


def candidates_in(path, relative):
    """Every (line, operator, occurrence) mutation of one file, as Mutant objects without id."""
    lines = path.read_text().splitlines(keepends=True)
    masked = mask_code([line.rstrip("\n") for line in lines])
    logging = log_lines(masked)
    found = []
    previous_code = ";"
    for index, (text, code) in enumerate(zip(lines, masked)):
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or index in logging:
            if stripped and not stripped.startswith("#"):
                previous_code = code
            continue
        if re.fullmatch(r"[{}();,\s]*", stripped):
            previous_code = code
            continue
        for name, pattern, replacement in SWAPS:
            for match in pattern.finditer(code):
                mutated = text[:match.start()] + replacement + text[match.end():]
                found.append(Mutant(0, relative, index + 1, name, text.rstrip("\n"),
                                    mutated.rstrip("\n")))
        if deletable(code, previous_code):
            indent = text[:len(text) - len(text.lstrip())]
            found.append(Mutant(0, relative, index + 1, "delete statement", text.rstrip("\n"),
                                indent + "// (statement deleted)"))
        previous_code = code
    return found


def source_files(root):
    return sorted(p for p in (root / "src").rglob("*") if p.suffix in (".cpp", ".h"))


def choose(root, count, seed):
    """`count` mutants, deterministic for a seed and a source tree: each file gets a share in
    proportion to its executable lines (lines with at least one candidate), largest remainders
    first, and its mutants are a seeded sample of its candidates."""
    per_file = {}
    for path in source_files(root):
        relative = str(path.relative_to(root))
        found = candidates_in(path, relative)
        if found:
            per_file[relative] = found
    weights = {f: len({m.line for m in found}) for f, found in per_file.items()}
    total = sum(weights.values())
    count = min(count, sum(len(found) for found in per_file.values()))
    shares = {f: count * w / total for f, w in weights.items()}
    quota = {f: min(int(s), len(per_file[f])) for f, s in shares.items()}
    by_remainder = sorted(shares, key=lambda f: (-(shares[f] - int(shares[f])), f))
    while sum(quota.values()) < count:
        for f in by_remainder:
            if sum(quota.values()) < count and quota[f] < len(per_file[f]):
                quota[f] += 1
    rng = random.Random(seed)
    chosen = []
    for f in sorted(per_file):
        chosen.extend(rng.sample(per_file[f], quota[f]))
    # In file order, so that consecutive mutants mostly recompile the same file.
    chosen.sort(key=lambda m: (m.file, m.line, m.operator, m.mutated))
    for number, mutant in enumerate(chosen, 1):
        mutant.id = number
    return chosen, weights


# --- Running them -----------------------------------------------------------------------------


class Stop(Exception):
    """Ctrl+C, SIGTERM or SIGHUP: every worker ends, restoring its mutated line."""


STOPPING = threading.Event()
LIVE = set()  # process groups being run, killed all at once on a stop
LIVE_LOCK = threading.Lock()


def on_signal(signum, _frame):
    raise Stop(signal.Signals(signum).name)


def kill_live():
    STOPPING.set()
    with LIVE_LOCK:
        for pid in LIVE:
            try:
                os.killpg(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass


def run(command, log):
    """Runs `command` in its own process group with output appended to `log`. Returns the exit
    status; raises Stop when the run was ended by a stop."""
    if STOPPING.is_set():
        raise Stop()
    with open(log, "a") as out:
        out.write(f"$ {' '.join(map(str, command))}\n")
        out.flush()
        with LIVE_LOCK:
            proc = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            LIVE.add(proc.pid)
        try:
            status = proc.wait()
        except BaseException:  # Ctrl+C while the main thread runs it
            kill_live()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
            raise
        finally:
            with LIVE_LOCK:
                LIVE.discard(proc.pid)
    if STOPPING.is_set():
        raise Stop()
    return status


def sync_tree(tree):
    """Makes `tree` a copy of the working tree's files (tracked and untracked, not ignored),
    rewriting only files that differ so that the build stays incremental; also undoes a
    mutant left behind by a run that was killed outright."""
    listing = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others",
                              "--exclude-standard"], check=True, capture_output=True).stdout
    wanted = set()
    for name in filter(None, listing.decode().split("\0")):
        source = REPO / name
        if not source.is_file():
            continue
        wanted.add(name)
        target = tree / name
        if target.is_file() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
    for path in sorted(tree.rglob("*"), reverse=True):
        relative = str(path.relative_to(tree))
        if relative == ".deps" or relative.startswith(".deps/"):
            continue
        if path.is_file() and relative not in wanted:
            path.unlink()
    # The development build's libwebsockets, linked by scripts/setup.sh.
    deps = tree / ".deps" / "dev"
    if not deps.exists():
        deps.parent.mkdir(exist_ok=True)
        os.symlink((REPO / ".deps" / "dev").resolve(), deps)


def ctest_failures(build, log, names, jobs, timeout):
    """Runs the named ctest entries (all of them, not stopping at a failure); returns the names
    that failed. A test that runs out of time counts as failed."""
    if not names:
        return []
    junit = build / "mutants-ctest.xml"
    junit.unlink(missing_ok=True)
    regex = "^(" + "|".join(re.escape(n) for n in sorted(names)) + ")$"
    run(["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout", str(timeout),
         "--output-junit", str(junit), "--output-on-failure", "-R", regex], log)
    if not junit.exists():
        raise RuntimeError(f"ctest wrote no results; see {log}")
    failed = []
    for case in ET.parse(junit).getroot().iter("testcase"):
        if case.get("status") not in ("run", "disabled", "notrun"):
            failed.append(case.get("name"))
    return sorted(failed)


def killers(build, log, names, jobs, timeout, recheck):
    """The tests among `names` that fail, and those that failed once but passed when run again
    (on a shared machine a timing-sensitive test may fail for no fault of the mutant). Only a
    lone failure or a pair is run again: that is where a flake could make a test look like the
    only killer, and a mutant that fails many tests, often by their time-outs, would cost twice."""
    failed = ctest_failures(build, log, names, jobs, timeout)
    if not failed or not recheck or len(failed) > 2:
        return failed, []
    again = ctest_failures(build, log, failed, jobs, timeout)
    return again, sorted(set(failed) - set(again))


def e2e_killers(build, log, names, jobs, timeout, recheck):
    """Like killers(), but stops after the first group when two of its tests kill the mutant:
    `killed_by` then names the killers found so far, which is enough to know that no test
    kills it alone."""
    first = sorted(n for n in names if n in E2E_FIRST)
    failed, flaky = killers(build, log, first, jobs, timeout, recheck)
    if len(failed) >= 2:
        return failed, flaky
    more, more_flaky = killers(build, log, set(names) - set(first), jobs, timeout, recheck)
    return sorted(failed + more), flaky + more_flaky


def build(build_dir, log, jobs):
    """Returns None when the build succeeded, else a short reason."""
    status = run(["cmake", "--build", str(build_dir), "-j", str(jobs)], log)
    if status == 0:
        return None
    # A mutant that breaks the unit test binary's start-up fails test discovery, not the
    # compiler: that is the unit tests catching it.
    if "Error running test executable" in log.read_text(errors="replace")[-20000:]:
        return "discovery"
    return "compile"


def apply(tree, mutant, original):
    lines = original.splitlines(keepends=True)
    assert lines[mutant.line - 1].rstrip("\n") == mutant.original, mutant
    lines[mutant.line - 1] = mutant.mutated + "\n"
    (tree / mutant.file).write_text("".join(lines))


def summarize(mutants, unit_names, e2e_names):
    killed = [m for m in mutants if m.outcome in ("killed_unit", "killed_e2e")]
    built = [m for m in mutants if m.outcome in ("killed_unit", "killed_e2e", "survived")]
    tests = {}
    for name in sorted(unit_names) + sorted(e2e_names):
        tests[name] = {"kills": 0, "only_killer_of": []}
    for m in killed:
        for name in m.killed_by:
            tests.setdefault(name, {"kills": 0, "only_killer_of": []})["kills"] += 1
        if len(m.killed_by) == 1:
            tests[m.killed_by[0]]["only_killer_of"].append(m.id)
    return {
        "score": round(len(killed) / len(built), 4) if built else None,
        "killed": len(killed),
        "built": len(built),
        "counts": {o: sum(1 for m in mutants if m.outcome == o)
                   for o in ("killed_unit", "killed_e2e", "survived", "no_build", "pending")},
        "tests": tests,
    }


def write_report(path, args, mutants, unit_names, e2e_names, baseline, started):
    report = {
        "seed": args.seed,
        "count": args.count,
        "elapsed_seconds": round(time.monotonic() - started, 1),
        "baseline": baseline,
        "summary": summarize(mutants, unit_names, e2e_names),
        "mutants": [asdict(m) for m in mutants],
    }
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_text(json.dumps(report, indent=1) + "\n")
    os.replace(tmp, path)
    return report


def compare(before_path, after_path):
    """Both scores, the mutants whose outcome changed, and for every test the second run no
    longer has, the mutants it killed and what kills them now."""
    before, after = (json.loads(p.read_text()) for p in (before_path, after_path))
    if before["seed"] != after["seed"]:
        sys.exit("the reports come from different seeds")
    for name, report in (("before", before), ("after", after)):
        s = report["summary"]
        print(f"{name}: seed {report['seed']}, score {s['killed']}/{s['built']} = "
              f"{s['score'] or 0:.1%}, {s['counts']}")
    now = {m["id"]: m for m in after["mutants"]}
    print("\noutcome changed:")
    for m in before["mutants"]:
        later = now.get(m["id"])
        done = later and "pending" not in (m["outcome"], later["outcome"])
        if done and later["original"] == m["original"] and later["outcome"] != m["outcome"]:
            print(f"  {m['id']:4} {m['file']}:{m['line']} {m['outcome']} -> {later['outcome']} "
                  f"({' '.join(later['killed_by'][:3]) or 'nothing'})")
    print("\ntests gone, their kills and what kills those mutants now:")
    def killers_now(m):
        later = now[m["id"]]
        return " ".join(later["killed_by"][:3]) or ("(not run yet)" if later["outcome"] == "pending"
                                                    else "NOTHING")

    for name in sorted(set(before["summary"]["tests"]) - set(after["summary"]["tests"])):
        kills = [m for m in before["mutants"] if name in m["killed_by"]]
        print(f"  {name}: " + ("; ".join(f"{m['id']} by {killers_now(m)}" for m in kills)
                               or "no kills"))
    return 0


def guarded(errors, function, *arguments):
    """Runs a worker's job, keeping its failure for the main thread (a stop is not one)."""
    try:
        function(*arguments)
    except Stop:
        pass
    except Exception as error:  # noqa: BLE001 - reported by the main thread
        errors.append(error)
        kill_live()


def wait_all(threads):
    """Starts and joins `threads`; Ctrl+C or a stop signal ends every worker's run first."""
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            while thread.is_alive():
                thread.join(0.5)
    except (KeyboardInterrupt, Stop) as stop:
        kill_live()
        for thread in threads:
            thread.join()
        print(f"stopped ({stop or 'Ctrl+C'}); the source copies are restored", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="parallel compile jobs and ctest jobs of each worker")
    parser.add_argument("--workers", type=int, default=1,
                        help="mutants run at once, each in a build directory of its own; the "
                             "tests mostly wait on timers, so a 2-core machine runs 3 well")
    parser.add_argument("--build-dir", default=str(REPO / "build-mutants"),
                        help="holds src-tree/ (the mutated copy) and build/ (default: %(default)s)")
    parser.add_argument("--out", help="JSON report (default: BUILD_DIR/report.json)")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--unit-timeout", type=int, default=60,
                        help="seconds per unit test entry before it counts as failed")
    parser.add_argument("--e2e-timeout", type=int, default=600,
                        help="seconds per end-to-end test file before it counts as failed")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unmutated tree (tests failing there are "
                             "then not excluded)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the outcomes that the report already holds for the same "
                             "mutants (same seed and tree) and run only the others")
    parser.add_argument("--no-recheck", dest="recheck", action="store_false",
                        help="count a failing test as a kill without running it again")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                        help="compare two reports of the same seed (before and after a change "
                             "to the tests) and stop")
    args = parser.parse_args()

    if args.compare:
        return compare(*map(Path, args.compare))

    if args.list:
        mutants, weights = choose(REPO, args.count, args.seed)
        print(f"{len(mutants)} mutants over {len(weights)} files "
              f"({sum(weights.values())} executable lines), seed {args.seed}")
        for m in mutants:
            print(f"{m.id:4} {m.file}:{m.line} [{m.operator}]\n       - {m.original.strip()}\n"
                  f"       + {m.mutated.strip()}")
        return 0

    root = Path(args.build_dir).resolve()
    logs = root / "logs"
    out = Path(args.out).resolve() if args.out else root / "report.json"
    logs.mkdir(parents=True, exist_ok=True)
    # Worker 0 keeps the names of a single-worker run, so that its build is reused.
    workers = [(root / f"src-tree{'-' + str(i) if i else ''}",
                root / f"build{'-' + str(i) if i else ''}") for i in range(args.workers)]
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    started = time.monotonic()

    mutants = None
    for tree, _ in workers:
        tree.mkdir(parents=True, exist_ok=True)
        sync_tree(tree)
        mutants = mutants or choose(tree, args.count, args.seed)[0]
    if args.resume and out.exists():
        done = {(d["id"], d["file"], d["line"], d["original"], d["mutated"]): d
                for d in json.loads(out.read_text())["mutants"] if d["outcome"] != "pending"}
        for m in mutants:
            earlier = done.get((m.id, m.file, m.line, m.original, m.mutated))
            if earlier:
                m.outcome, m.killed_by = earlier["outcome"], earlier["killed_by"]
                m.flaky, m.seconds = earlier["flaky"], earlier["seconds"]
        print(f"resuming: {sum(m.outcome != 'pending' for m in mutants)} outcomes kept", flush=True)

    def prepare(number, tree, build_dir):
        log = logs / f"build-{number}.log"
        log.unlink(missing_ok=True)
        if not (build_dir / "CMakeCache.txt").exists():
            # The plain Debug build of scripts/build.sh.
            run(["cmake", "-S", str(tree), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Debug"], log)
        if build(build_dir, log, args.jobs):
            raise RuntimeError(f"the unmutated tree does not build; see {log}")

    print(f"building the unmutated tree in {len(workers)} build directories ...", flush=True)
    errors = []
    threads = [threading.Thread(target=lambda n=n, w=w: guarded(errors, prepare, n, *w))
               for n, w in enumerate(workers)]
    wait_all(threads)
    if errors:
        sys.exit(str(errors[0]))

    build_dir = workers[0][1]
    listing = subprocess.run(["ctest", "--test-dir", str(build_dir), "-N"], check=True,
                             capture_output=True, text=True).stdout
    all_names = re.findall(r"Test\s+#\d+: (\S+)", listing)
    e2e_names = {n for n in all_names if n.startswith(E2E_PREFIX)}
    unit_names = {n for n in all_names if n not in e2e_names and n not in TOOL_TESTS}
    baseline = {"unit_seconds": None, "e2e_seconds": None, "failing_excluded": []}
    if not args.no_baseline:
        print("running the tests on the unmutated tree ...", flush=True)
        log = logs / "baseline.log"
        log.unlink(missing_ok=True)
        t0 = time.monotonic()
        failed = ctest_failures(build_dir, log, unit_names, args.jobs, args.unit_timeout)
        t1 = time.monotonic()
        failed_e2e = ctest_failures(build_dir, log, e2e_names, args.jobs, args.e2e_timeout)
        t2 = time.monotonic()
        baseline.update(unit_seconds=round(t1 - t0, 1), e2e_seconds=round(t2 - t1, 1),
                        failing_excluded=failed + failed_e2e)
        unit_names -= set(failed)
        e2e_names -= set(failed_e2e)
        print(f"  unit tests {t1 - t0:.0f} s, end-to-end {t2 - t1:.0f} s; failing without a "
              f"mutant (left out): {', '.join(failed + failed_e2e) or 'none'}", flush=True)

    queue = [m for m in mutants if m.outcome == "pending"]
    report_lock = threading.Lock()

    def test_one(m, tree, build_dir):
        log = logs / f"mutant-{m.id:04}.log"
        log.unlink(missing_ok=True)
        original = (tree / m.file).read_text()
        try:
            apply(tree, m, original)
            broken = build(build_dir, log, args.jobs)
            if broken == "compile":
                return "no_build", [], []
            if broken == "discovery":
                return "killed_unit", ["unit_tests (discovery)"], []
            killed_by, flaky = killers(build_dir, log, unit_names, args.jobs,
                                       args.unit_timeout, args.recheck)
            if killed_by:
                return "killed_unit", killed_by, flaky
            killed_by, more = e2e_killers(build_dir, log, e2e_names, args.jobs,
                                          args.e2e_timeout, args.recheck)
            return ("killed_e2e" if killed_by else "survived"), killed_by, flaky + more
        finally:
            (tree / m.file).write_text(original)

    def work(tree, build_dir):
        while not STOPPING.is_set():
            with report_lock:
                if not queue:
                    return
                m = queue.pop(0)
            t0 = time.monotonic()
            outcome = test_one(m, tree, build_dir)
            with report_lock:
                m.outcome, m.killed_by, m.flaky = outcome
                m.seconds = round(time.monotonic() - t0, 1)
                print(f"{m.id:4} {m.outcome:11} {m.seconds:6.0f} s  {m.file}:{m.line} "
                      f"[{m.operator}] {' '.join(m.killed_by[:3])}"
                      f"{' ...' if len(m.killed_by) > 3 else ''}", flush=True)
                write_report(out, args, mutants, unit_names, e2e_names, baseline, started)

    threads = [threading.Thread(target=lambda w=w: guarded(errors, work, *w)) for w in workers]
    wait_all(threads)
    if errors:
        print(f"a worker failed: {errors[0]}", file=sys.stderr)
    report = write_report(out, args, mutants, unit_names, e2e_names, baseline, started)

    summary = report["summary"]
    done = [m for m in mutants if m.outcome != "pending"]
    print("\nsurvived:")
    for m in done:
        if m.outcome == "survived":
            print(f"  {m.id:4} {m.file}:{m.line} [{m.operator}]\n"
                  f"         - {m.original.strip()}\n         + {m.mutated.strip()}")
    print("\nmutants only one test kills:")
    for name, entry in summary["tests"].items():
        if entry["only_killer_of"]:
            print(f"  {name}: {', '.join(map(str, entry['only_killer_of']))}")
    counts = summary["counts"]
    per_mutant = sum(m.seconds for m in done) / len(done) if done else 0
    print(f"\n{len(done)} of {len(mutants)} mutants run: {counts['killed_unit']} killed by unit "
          f"tests, {counts['killed_e2e']} by end-to-end tests, {counts['survived']} survived, "
          f"{counts['no_build']} did not build")
    if summary["score"] is not None:
        print(f"score {summary['killed']}/{summary['built']} = {summary['score']:.0%}")
    print(f"{per_mutant:.0f} s per mutant; report in {out}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Stop) as stopped:
        sys.exit(f"stopped ({stopped or 'Ctrl+C'}) before any mutant was applied")
