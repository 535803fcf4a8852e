"""quarl run --select on a large plan, and what the fingerprints of referenced code cost.

1. One run out of 10,000 partitions: `quarl run proj --select 'a[k=k04321]' --force` in a fresh
   process, against the inspection alone (`python -m quarl.inspect --recursive --compact`, as
   quarl run starts it). The difference is what quarl run adds: planning 10,000 runs, the
   selection, and starting and publishing the one run. Target: at most 0.3 s. The same on a
   project of 1 partition gives what any quarl run of one run costs (interpreter, imports, a
   warm server, the history), and so what the 10,000 partitions add.
2. Planning 5,000 assets in modules of 50 (inspection child, then build_plan), with and without
   the digests of the project code each function refers to: the baseline child makes the same
   compact report but leaves the digests out. Two projects: trivial assets that refer to no
   project code (the report is passed through as it is), and assets that each call a helper of
   a shared module (every record gains a digest). Target: at most 10 % more.

The least of --repeats fresh processes, baseline and ours alternately, in CPU seconds (user and
system, the children's included: a quarl run's inspection, warm servers and worker): a machine
shared with other work disturbs CPU time far less than wall time, and only ever adds to it. Not a test: the targets are
printed, not asserted.

    python bench/bench_select.py [--partitions 10000] [--assets 5000] [--repeats 5]
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402

from quarl.run.plan import build_plan  # noqa: E402
from quarl.run.select import select_runs  # noqa: E402

# The inspection as python -m quarl.inspect --recursive --compact makes it, without the digests.
WITHOUT_DIGESTS = """
import sys
from _quarl import inspect_modules
from quarl.inspect import _with_submodules
report = inspect_modules(_with_submodules(sys.argv[2:]), compact=True)
open(sys.argv[1], "w", encoding="utf-8").write(report + "\\n")
"""


def partitioned(root, name, count):
    package = root / name
    package.mkdir()
    (package / "__init__.py").write_text("")
    keys = [f"k{i:05d}" for i in range(count)]
    (package / "a.py").write_text(f"from quarl import asset, partitions\n\n\n"
                                  f"@asset(partitions={{'k': partitions({keys!r})}})\n"
                                  f"def a(k: str) -> str:\n    return k\n")


def many(root, name, assets, per_module, helper):
    package = root / name
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "helpers.py").write_text("SCALE = 2\n\n\ndef shape(x):\n    return {'x': x * SCALE}\n")
    for start in range(0, assets, per_module):
        body = "".join(
            f"\n\n@asset()\ndef asset_{i:05d}() -> dict:\n"
            f"    return {'helpers.shape(' + str(i) + ')' if helper else '{\"x\": ' + str(i) + '}'}\n"
            for i in range(start, min(start + per_module, assets)))
        (package / f"mod_{start // per_module:04d}.py").write_text(
            f"from quarl import asset\nfrom {name} import helpers\n" + body)


def timed(argv, cwd, env):
    """CPU seconds (user and system) of a child and all it waited for: on a machine shared with
    other work, wall time says more about the others than about us."""
    before = os.times()
    done = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    after = os.times()
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv[:4])} ... exited with {done.returncode}: {done.stderr.decode()[-2000:]}")
    return (after.children_user - before.children_user) + (after.children_system - before.children_system)


def planning(argv, root, env, report_path):
    """CPU seconds of the inspection child and of build_plan on its report."""
    child = timed(argv, root, env)
    start = time.process_time()
    with open(report_path, "rb") as file:
        build_plan(json.loads(file.read())["assets"])
    return child + time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partitions", type=int, default=10_000)
    parser.add_argument("--assets", type=int, default=5000)
    parser.add_argument("--per-module", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder).resolve()
        env = {**os.environ, "PYTHONPATH": str(root)}
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        added = {}
        for name, count in (("wide", options.partitions), ("narrow", 1)):
            partitioned(root, name, count)
            inspect = [sys.executable, "-m", "quarl.inspect", "--recursive", "--compact", "-o",
                       str(root / "report.json"), name]
            run = [sys.executable, "-m", "quarl", "run", name, "--select", f"{name}.a.a[k=k{count // 2:05d}]",
                   "--force", "--out", str(root / f"out-{name}")]
            timed(run, root, env)  # bytecode, and the output folder, made once
            inspections, runs = [], []
            for _ in range(options.repeats):
                inspections.append(timed(inspect, root, env))
                runs.append(timed(run, root, env))
            inspection, whole = min(inspections), min(runs)
            added[name] = whole - inspection
            print(f"one run of {count} partition(s), least of {options.repeats}: inspection "
                  f"{inspection:.2f} s, quarl run --select --force {whole:.2f} s")
        # The same steps in this process, on the report of the 10,000 partitions.
        subprocess.run([sys.executable, "-m", "quarl.inspect", "--recursive", "--compact", "-o",
                        str(root / "report.json"), "wide"], cwd=root, env=env, check=True)
        steps = []
        for _ in range(options.repeats):
            start = time.process_time()
            with open(root / "report.json", "rb") as file:
                plan = build_plan(json.loads(file.read())["assets"])
            planned = time.process_time()
            select_runs(plan, [f"wide.a.a[k=k{options.partitions // 2:05d}]"], True)
            steps.append((planned - start, time.process_time() - planned))
        planned, selected = min(s[0] for s in steps), min(s[1] for s in steps)
        print(f"in this process: reading the report and planning {planned:.3f} s, selecting {selected:.3f} s")
        report(f"planning and selecting one run of {options.partitions} partitions, in process", planned + selected, 0.3)
        report(f"seconds quarl run adds to the inspection, {options.partitions} partitions", added["wide"], 0.3)
        report("the same with 1 partition: a run's own cost (warm server, history)", added["narrow"])
        report(f"what {options.partitions} partitions add to that", added["wide"] - added["narrow"])

        for name, helper in (("trivial", False), ("helpers", True)):
            many(root, name, options.assets, options.per_module, helper)
            out = str(root / f"{name}.json")
            ours = [sys.executable, "-m", "quarl.inspect", "--recursive", "--compact", "-o", out, name]
            base = [sys.executable, "-c", WITHOUT_DIGESTS, out, name]
            timed(base, root, env)  # bytecode
            with_digests, without = [], []
            for _ in range(options.repeats):
                without.append(planning(base, root, env, out))
                with_digests.append(planning(ours, root, env, out))
            ours_s, base_s = min(with_digests), min(without)
            print(f"planning {options.assets} assets ({name}): {base_s:.2f} s without the digests, "
                  f"{ours_s:.2f} s with them")
            report(f"planning with digests / without, {name} assets", ours_s / base_s, 1.10)


if __name__ == "__main__":
    main()
