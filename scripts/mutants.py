#!/usr/bin/env python3
"""Planted faults (make mutants): each fault of tests/mutation/faults.txt is put alone
into a scratch copy of the sources, which is rebuilt; the tests it names must then fail.

The working tree is never touched: the copy lives in build-mutants/src (kept in step
with the tracked files, so rebuilds stay incremental) with its build tree inside it, as
build/ is inside the working tree: the same relative paths, so that the compiler cache
(see the Makefile) serves the copy what the working tree's build already compiled.
  MUTANTS=id1,id2   run only these faults
  MUTANTS_SHARD=K/N run the faults whose position is K modulo N (0 <= K < N)
  MUTANTS_TIMEOUT   seconds a fault's tests may take (default 240): longer counts as a hang
  JOBS              parallel build and test jobs (default: the number of processors)
Exits non-zero when a fault is missed, its text no longer matches exactly once, it
does not build, its tests did not run (a fixture such as the PostgreSQL cluster failed
twice), or the chosen tests fail without any fault.
"""
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS = os.path.join(ROOT, "tests", "mutation", "faults.txt")
WORK = os.path.join(ROOT, "build-mutants")
SRC, LOGS = (os.path.join(WORK, d) for d in ("src", "logs"))
BUILD = os.path.join(SRC, "build")
JOBS = os.environ.get("JOBS") or str(os.cpu_count() or 2)
TIMEOUT = int(os.environ.get("MUTANTS_TIMEOUT", "240"))


def read_faults():
    faults = []
    with open(FAULTS, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            fields = [x.strip() for x in line.rstrip("\n").split(" ||| ")]
            if len(fields) != 6 or not all(fields[i] for i in (0, 1, 2, 3)):
                sys.exit(f"{FAULTS}:{number}: want id ||| tests ||| file ||| original ||| replacement ||| effect")
            faults.append(dict(zip(("id", "tests", "file", "original", "replacement", "effect"), fields)))
    ids = [f["id"] for f in faults]
    if len(set(ids)) != len(ids):
        sys.exit("fault ids must be unique")
    return faults


def choose(faults):
    if os.environ.get("MUTANTS"):
        wanted = os.environ["MUTANTS"].split(",")
        unknown = set(wanted) - {f["id"] for f in faults}
        if unknown:
            sys.exit("unknown fault ids: " + ", ".join(sorted(unknown)))
        faults = [f for f in faults if f["id"] in wanted]
    if os.environ.get("MUTANTS_SHARD"):
        k, n = (int(x) for x in os.environ["MUTANTS_SHARD"].split("/"))
        if not 0 <= k < n:
            sys.exit("MUTANTS_SHARD is K/N with 0 <= K < N")
        faults = [f for i, f in enumerate(faults) if i % n == k]
    return faults


def run(cmd, log, timeout=None, **kw):
    """Runs cmd with its output appended to log; the return code, or None past the time-out."""
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True, **kw)
        try:
            return p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, 9)  # the whole group: ctest and the test programs it started
            p.wait()
            return None


def sync():
    """Brings the scratch copy in step with the tracked (and new, unignored) files."""
    files = subprocess.run(["git", "ls-files", "-z", "-c", "-o", "--exclude-standard"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, files):
        src, dst = os.path.join(ROOT, rel), os.path.join(SRC, rel)
        if not os.path.isfile(src) or rel.startswith("build-mutants/"):
            continue
        with open(src, "rb") as a:
            data = a.read()
        if os.path.isfile(dst):
            with open(dst, "rb") as b:
                if b.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(src, dst)  # a new time stamp, so that make rebuilds what depends on it
        shutil.copymode(src, dst)


def tests_of(regex):
    out = subprocess.run(["ctest", "-N", "-R", regex], cwd=BUILD, capture_output=True, text=True).stdout
    return re.findall(r"Test +#\d+: (\S+)", out)


FIXTURES = ("postgresql_start", "postgresql_stop")  # ctest fixtures of the journal tests, not programs


def targets_of(tests):
    # A test program is the target of its name; the Python tests need the package and the sandbox.
    targets = set()
    for t in tests:
        if t in FIXTURES:
            continue
        targets.update(["orvalis-python", "orvalis-sandbox"] if t == "python_tests" else [t])
    return sorted(targets)


def check(regex, log, tries=2):
    """The names of the failed test programs (all of them on a hang), [] when all passed; None when a
    fixture failed twice (the PostgreSQL cluster did not start, its tests did not run): such a run says
    nothing of the fault, and must not count as its catch."""
    names = tests_of(regex)
    rc = run(["ctest", "-R", regex, "-j", JOBS, "--output-on-failure"], log, timeout=TIMEOUT, cwd=BUILD)
    if rc is None:
        return [n + " (hang)" for n in names]
    if rc == 0:
        return []
    with open(log) as f:
        text = f.read()
    listed = text.rsplit("The following tests FAILED:", 1)[-1]
    failed = re.findall(r"\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)",
                        listed)
    if "postgresql_start" in failed or "(Not Run)" in listed:
        return check(regex, log, tries - 1) if tries > 1 else None
    programs = [n for n in failed if n not in FIXTURES]  # a cluster's stop failing catches nothing
    return programs if programs or failed else ["ctest exit %d" % rc]


def main():
    faults = choose(read_faults())
    if not faults:
        sys.exit("no fault chosen")
    os.makedirs(SRC, exist_ok=True)
    os.makedirs(LOGS, exist_ok=True)
    sync()
    setup = os.path.join(LOGS, "setup.log")
    open(setup, "w").close()
    if not os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")):
        if run(["cmake", "-S", SRC, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DORVALIS_BUILD_BENCH=OFF",
                "-DORVALIS_BUILD_EXAMPLES=OFF"], setup) != 0:
            sys.exit("configuring the scratch copy failed: see " + setup)
    # One pattern of names: ctest's regular expressions allow only so many groups.
    regex = "^(%s)$" % "|".join(sorted({re.escape(t) for f in faults for t in tests_of(f["tests"])}))
    if run(["cmake", "--build", BUILD, "-j", JOBS, "--target"] + targets_of(tests_of(regex)), setup) != 0:
        sys.exit("building the scratch copy failed: see " + setup)
    started = time.monotonic()
    failing = check(regex, setup)
    if failing is None:
        sys.exit("a test fixture failed twice without any fault (see %s)" % setup)
    if failing:
        sys.exit("without any fault these tests fail already: %s (see %s)" % (", ".join(failing), setup))
    print("baseline: %d test programs pass without faults (%.0f s)" % (len(tests_of(regex)),
                                                                          time.monotonic() - started), flush=True)

    rows, bad = [], 0
    print("%-28s %-8s %6s  %s" % ("fault", "result", "time", "caught by"), flush=True)
    for f in faults:
        begin = time.monotonic()
        path = os.path.join(SRC, f["file"])
        log = os.path.join(LOGS, f["id"] + ".log")
        open(log, "w").close()
        with open(path, encoding="utf-8", newline="") as src:
            original = src.read()
        count = original.count(f["original"])
        if count != 1 or "\n" in f["original"]:
            result, caught = ("MOVED", "original text found %d times: re-target it" % count)
        else:
            try:
                with open(path, "w", encoding="utf-8", newline="") as out:
                    out.write(original.replace(f["original"], f["replacement"]))
                tests = tests_of(f["tests"])
                if not tests:
                    result, caught = "NOTESTS", "no test matches " + f["tests"]
                elif run(["cmake", "--build", BUILD, "-j", JOBS, "--target"] + targets_of(tests), log) != 0:
                    result, caught = "BROKEN", "does not build: see " + log
                else:
                    failed = check(f["tests"], log)
                    if failed is None:
                        result, caught = "SETUP", "a test fixture failed twice, its tests did not run: see " + log
                    else:
                        result, caught = ("caught", ", ".join(failed)) if failed else ("MISSED", f["effect"])
            finally:
                with open(path, "w", encoding="utf-8", newline="") as out:
                    out.write(original)
        bad += result != "caught"
        rows.append((f["id"], result, time.monotonic() - begin, caught))
        print("%-28s %-8s %5.0fs  %s" % rows[-1], flush=True)

    total = time.monotonic() - started
    print("\n%d faults, %d caught, %d not (missed, moved, broken, setup); %.0f s in all" %
          (len(rows), len(rows) - bad, bad, total))
    for row in rows:
        if row[1] != "caught":
            print("  %s %s: %s" % (row[1], row[0], row[3]))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
