"""The orchestrator: wall time per run of `quarl run`, against process start-up floors measured in
the same run.

1. The project of bench/run_project.py (300 chained assets and one asset of 300 partitions, 600
   runs), `--jobs 2`, with fresh and with warm workers: the time per run against `python -c pass`
   and against one bare `python -m quarl.worker`; then the fully up-to-date second run, beyond
   the time of the inspection alone (target: under 1 s).
2. One asset of 1,000 trivial partitions, `--jobs 2`: fresh workers, warm workers (preloading the
   project, the default, and with --no-preload), and the floor of os.fork() plus waitpid of a
   Python process that exits at once (targets: warm at most 1/10 of fresh, and within 3x the
   fork floor); and, for scale, the work no warm run can do without, done by two bare loops at
   once: fork, materialize into an attempt folder with the logs redirected, read the record,
   write run.json, rename. Then what the durable publication (layout.publish) adds to a run, in
   /dev/shm and on the disk.
3. Planning one module of 5,000 assets (`quarl graph`: inspection and plan, nothing run): time
   beyond importing the module, and peak memory (target: under 2 s and 200 MB).
4. The same 1,000 partitions on the disk (the default temporary folder) beside /dev/shm: per run,
   fresh, warm --no-preload, warm, and --isolation batch, medians of rounds, each command into an
   output folder of its own; warm over fresh on the disk (target at most 0.12); warm on the disk
   over warm in /dev/shm (target at most 1.2); and the syncs (fsync, fdatasync, syncfs) that a
   run costs, counted over a whole warm command by `strace -c -f` (target at most 2; skipped
   where strace is missing).

    python bench/bench_run.py [--quick]

--quick runs a tenth of everything, to try the script. The project and its output folder go to
/dev/shm when there is one: on this machine's ext4 disk, creating the thousands of small files of
a run that follows the deletion of the last one's costs more than all the rest (the allocator
looks through the recently deleted inodes), which would hide what is measured here.
"""

import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402
from run_project import write_project  # noqa: E402

PY = sys.executable


def wall(argv, cwd, repeat=1, **kwargs):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run(argv, cwd=cwd, capture_output=True, **kwargs)
        times.append(time.perf_counter() - start)
        if done.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed:\n{done.stderr.decode()}")
    return statistics.median(times)


def quarl_run(cwd, *options):
    shutil.rmtree(os.path.join(cwd, "quarl-out"), ignore_errors=True)
    return wall([PY, "-m", "quarl", "run", "benchproj", "--jobs", "2", *options], cwd)


def fork_floor(count):
    """os.fork() and waitpid of a child that exits at once, from a Python process that has
    imported quarl's worker."""
    code = ("import os, time, _quarl, quarl.worker\n"
            f"start = time.perf_counter()\nfor _ in range({count}):\n"
            "    pid = os.fork()\n    if pid == 0:\n        os._exit(0)\n    os.waitpid(pid, 0)\n"
            f"print((time.perf_counter() - start) / {count})")
    return float(subprocess.run([PY, "-c", code], capture_output=True, text=True, check=True).stdout)


# The work a warm run cannot do without, and nothing else: two processes that have imported and
# run what a warm server has, each forking a child per run that writes its logs and materializes
# into its attempt folder, then reading the record, writing run.json and renaming the folder.
# No orchestrator, no messages, no history.
_REQUIRED_WORK = """\
import json, os, sys, tempfile, time
from quarl import worker
import benchproj.fanout
runs = int(sys.argv[1])
base = tempfile.mkdtemp(dir=sys.argv[2])
worker.main(["benchproj.fanout", "cell", base + "/warm", '{"n": 0}'])

def loop(first, last):
    for i in range(first, last):
        attempt = f"{base}/a{i}"
        os.mkdir(attempt)
        out = os.open(attempt + "/stdout.log", os.O_WRONLY | os.O_CREAT, 0o644)
        err = os.open(attempt + "/stderr.log", os.O_WRONLY | os.O_CREAT, 0o644)
        pid = os.fork()
        if pid == 0:
            os.dup2(out, 1)
            os.dup2(err, 2)
            os._exit(worker.main(["benchproj.fanout", "cell", attempt, '{"n": %d}' % i]))
        os.close(out)
        os.close(err)
        os.waitpid(pid, 0)
        with open(attempt + "/result.json", "rb") as file:
            record = json.loads(file.read())
        with open(attempt + "/run.json", "w") as file:
            file.write(json.dumps(record))
        os.rename(attempt, f"{base}/p{i}")

start = time.perf_counter()
halves = []
for half in range(2):
    pid = os.fork()
    if pid == 0:
        loop(half * runs // 2, (half + 1) * runs // 2)
        os._exit(0)
    halves.append(pid)
for pid in halves:
    os.waitpid(pid, 0)
print((time.perf_counter() - start) / runs)
"""


def required_work(cwd, runs):
    return float(subprocess.run([PY, "-c", _REQUIRED_WORK, str(runs), cwd], cwd=cwd, capture_output=True,
                                text=True, check=True).stdout)


def floors(cwd):
    python = wall([PY, "-c", "pass"], cwd, repeat=10)
    worker = wall([PY, "-m", "quarl.worker", "benchproj.fanout", "cell", os.path.join(cwd, "w"),
                   '{"n": 1}'], cwd, repeat=10)
    return python, worker


SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None


def project_600(scale):
    with tempfile.TemporaryDirectory(dir=SCRATCH) as cwd:
        runs = write_project(cwd, chain=300 // scale, partitions=300 // scale)
        python, worker = floors(cwd)
        print(f"{runs} runs, --jobs 2; python -c pass {python * 1e3:.1f} ms, "
              f"python -m quarl.worker {worker * 1e3:.1f} ms")
        for isolation in ("fresh", "warm"):
            per_run = quarl_run(cwd, "--isolation", isolation) / runs
            print(f"  {isolation}: {per_run * 1e3:.2f} ms per run")
            report(f"{isolation} workers, per run / python -c pass", per_run / python)
            report(f"{isolation} workers, per run / python -m quarl.worker", per_run / worker)
        inspection = wall([PY, "-m", "quarl.inspect", "--recursive", "--compact", "benchproj"], cwd,
                          repeat=3)
        second = wall([PY, "-m", "quarl", "run", "benchproj", "--jobs", "2"], cwd, repeat=3)
        print(f"  up-to-date second run {second:.3f} s, of which the inspection {inspection:.3f} s")
        report("up-to-date second run beyond the inspection (s)", second - inspection, 1.0)


def _attempt_folder(parent, i):
    """An attempt folder as a trivial run leaves it: five small files."""
    path = os.path.join(parent, f".p{i}.attempt-{i:012x}")
    os.mkdir(path)
    for name, text in (("value.json", "1"), ("result.json", '{"ok":true}'), ("stdout.log", ""),
                       ("stderr.log", ""), ("run.json", "{}")):
        with open(os.path.join(path, name), "w") as file:
            file.write(text)
    return path


def publication(scratch, runs):
    """The publication of one run alone, per run: the bare rename, and layout.publish (the
    attempt's files and folder synced, the rename, the parent folder synced)."""
    from quarl.run import layout

    times = {}
    for name, publish in (("rename", layout.replace_folder), ("synced", layout.publish)):
        with tempfile.TemporaryDirectory(dir=scratch) as parent:
            total = 0.0
            for i in range(runs):
                attempt = _attempt_folder(parent, i)
                start = time.perf_counter()
                publish(attempt, os.path.join(parent, f"p{i}"))
                total += time.perf_counter() - start
        times[name] = total / runs
    return times


def partitions_1000(scale):
    with tempfile.TemporaryDirectory(dir=SCRATCH) as cwd:
        runs = write_project(cwd, chain=0, partitions=1000 // scale)
        floor = fork_floor(runs)
        required = required_work(cwd, runs)
        fresh = quarl_run(cwd, "--isolation", "fresh") / runs
        warm = quarl_run(cwd, "--isolation", "warm", "--no-preload") / runs
        preloaded = quarl_run(cwd, "--isolation", "warm") / runs
        print(f"{runs} partitions, --jobs 2, per run: fresh {fresh * 1e3:.2f} ms, warm --no-preload "
              f"{warm * 1e3:.2f} ms, warm (preloading) {preloaded * 1e3:.2f} ms; fork floor "
              f"{floor * 1e3:.3f} ms; fork, materialize and rename alone, two at once "
              f"{required * 1e3:.3f} ms")
        report("warm --no-preload / fresh", warm / fresh, 0.1)
        report("warm (preloading) / fresh", preloaded / fresh, 0.1)
        report("warm --no-preload / fork floor", warm / floor, 3.0)
        report("warm (preloading) / fork floor", preloaded / floor, 3.0)
        report("fork, materialize and rename alone, two at once / fork floor", required / floor)
        # What the durable publication adds to a run, here and on the disk (the default
        # temporary folder), where every sync waits for the device.
        for where in (SCRATCH, None):
            cost = publication(where, runs // 4)
            added = cost["synced"] - cost["rename"]
            print(f"  publication in {where or tempfile.gettempdir()}: rename {cost['rename'] * 1e3:.3f} ms, "
                  f"synced {cost['synced'] * 1e3:.3f} ms per run")
            report(f"synced publication, added / warm (preloading) per run ({where or 'disk'})",
                   added / preloaded)


def planning_5000(scale):
    count = 5000 // scale
    with tempfile.TemporaryDirectory() as cwd:
        lines = ["from quarl import asset", ""]
        for i in range(count):
            lines += ["", "@asset()", f"def a{i}() -> int:", f"    return {i}", ""]
        pathlib.Path(cwd, "big.py").write_text("\n".join(lines))
        imported = wall([PY, "-c", "import big"], cwd, repeat=3)
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        planned = wall([PY, "-m", "quarl", "graph", "big"], cwd, repeat=3)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        print(f"one module of {count} assets: import {imported:.3f} s, quarl graph {planned:.3f} s, "
              f"peak memory of a process {max(peak, before) / 1024:.0f} MB")
        report("planning beyond the module's import (s)", planned - imported, 2.0)
        report("peak memory of the largest process (MB)", max(peak, before) / 1024, 200)


SYNCS = ("fsync", "fdatasync", "syncfs")


def _syncs(cwd, out, runs):
    """Syncs a run costs: fsync, fdatasync and syncfs calls over a whole warm command, per run."""
    trace = os.path.join(cwd, "strace.txt")
    subprocess.run(["strace", "-c", "-f", "-e", f"trace={','.join(SYNCS)}", "-o", trace, PY, "-m", "quarl", "run",
                    "benchproj.fanout", "--jobs", "2", "--out", out], cwd=cwd, capture_output=True, check=True)
    calls = {}
    for line in pathlib.Path(trace).read_text().splitlines():
        fields = line.split()
        if fields and fields[-1] in SYNCS:
            calls[fields[-1]] = int(fields[3])
    return {name: count / runs for name, count in calls.items()}


def disk_and_memory(scale, rounds=3):
    """Per run on the disk and in /dev/shm, side by side, with the syncs counted per run."""
    where = {"/dev/shm": SCRATCH, f"disk ({tempfile.gettempdir()})": None}
    sides = {"fresh": ["--isolation", "fresh"], "warm --no-preload": ["--no-preload"], "warm": [],
             "--isolation batch": ["--isolation", "batch"]}
    figures = {}
    for label, folder in where.items():
        if label == "/dev/shm" and folder is None:
            continue
        with tempfile.TemporaryDirectory(dir=folder) as cwd:
            runs = write_project(cwd, chain=0, partitions=1000 // scale)
            # A new output folder for every command: on ext4, files made where many were just
            # deleted cost a search of the deleted inodes.
            times = {side: [] for side in sides}
            for round_ in range(rounds):
                for side, options in sides.items():
                    out = os.path.join(cwd, f"out-{round_}-{len(times[side])}-{side.replace(' ', '')}")
                    times[side].append(wall([PY, "-m", "quarl", "run", "benchproj.fanout", "--jobs", "2",
                                             "--out", out, *options], cwd) / runs)
            syncs = _syncs(cwd, os.path.join(cwd, "out-strace"), runs) if shutil.which("strace") else {}
        figures[label] = {side: statistics.median(values) for side, values in times.items()}
        print(f"{runs} partitions, --jobs 2, {label}, medians of {rounds}, per run: " + ", ".join(
            f"{side} {value * 1e3:.2f} ms" for side, value in figures[label].items()) +
            "; syncs a warm run costs: " + (", ".join(f"{n:.2f} {name}" for name, n in syncs.items()) or "-"))
        report(f"warm / fresh ({label})", figures[label]["warm"] / figures[label]["fresh"],
               0.12 if folder is None else None)
        if folder is None and syncs:
            report(f"syncs a warm run costs ({label})", sum(syncs.values()), 2)
        report(f"--isolation batch / fresh ({label})", figures[label]["--isolation batch"] / figures[label]["fresh"])
    if len(figures) == 2:
        memory, disk = figures.values()
        for side in sides:
            report(f"{side}, per run: disk / /dev/shm", disk[side] / memory[side], 1.2 if side == "warm" else None)


def main():
    scale = 10 if "--quick" in sys.argv else 1
    for section in (project_600, partitions_1000, planning_5000, disk_and_memory):
        print()
        section(scale)


if __name__ == "__main__":
    main()
