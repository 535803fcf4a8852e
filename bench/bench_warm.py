"""Imports paid once: what warm servers that import the project (the default) save, in whole
`quarl run` commands against baselines measured in the same run.

1. A module that imports pandas, one asset of N partitions each building a small DataFrame,
   --jobs 2: per run, the default against --isolation fresh (target at most 1/10) and against the
   same N calls in one plain Python process, its import of pandas included (target within 2x);
   --no-preload against the default (target within 1.5x). The default against one process again
   with runs that each clean a frame of 5,000 rows, the scale at which the issue measured.
2. A DAG of 200 trivial assets (4 lanes of 10 blocks of five: a; b(a); c(a); d(b, c); e(d), each
   block's a fed by the last block's e), cold whole commands: the default against Hamilton's
   in-process driver running the same functions (target at most 1.0x; sf-hamilton is installed
   into this environment when missing).
3. One asset of 50,000 trivial partitions: the fully up-to-date second run, whole command
   (target under 3 s).
4. What a forked child pays when its parent holds pandas: minor page faults of a child that builds
   a DataFrame, forked with and without gc.freeze() before (for the record, no target).

    python bench/bench_warm.py [--quick]

--quick runs a tenth of everything, to try the script.
"""

import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

PY = sys.executable
ENV = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}


def wall(argv, cwd):
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, capture_output=True, env=ENV)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, argv))} failed:\n{done.stderr.decode()}")
    return time.perf_counter() - start


def quarl_run(cwd, target, *options, keep=False):
    if not keep:
        shutil.rmtree(os.path.join(cwd, "quarl-out"), ignore_errors=True)
    return wall([PY, "-m", "quarl", "run", target, "--jobs", "2", *options], cwd)


FRAMES = '''import pandas as pd
from quarl import asset, partitions


def build(k: int) -> int:
    frame = pd.DataFrame({"k": range(200), "v": [k * i for i in range(200)]})
    frame["w"] = frame["v"].rolling(5).mean()
    return int(frame["w"].fillna(0).sum())


@asset(partitions={"k": partitions(list(range(COUNT)))})
def cell(k: int) -> int:
    return build(k)
'''

# The same at the scale the issue measured (one process: 3.8 s for 360 calls, about 10 ms a call
# with the import): each run cleans a frame of 5,000 rows, about 8 ms a call here.
CLEANING = '''import numpy as np
import pandas as pd
from quarl import asset, partitions


def build(k: int) -> int:
    rng = np.random.default_rng(k)
    frame = pd.DataFrame({"city": rng.choice([" Paris", "berlin ", "ROME", None], 5000),
                          "amount": rng.normal(100, 30, 5000).round(2),
                          "at": pd.date_range("2024-01-01", periods=5000, freq="h")})
    frame["city"] = frame["city"].str.strip().str.title()
    frame = frame.dropna(subset=["city"])
    frame = frame[frame["amount"] > 0]
    daily = frame.groupby([frame["at"].dt.date, "city"])["amount"].agg(["sum", "mean", "count"])
    return int(daily["count"].sum())


@asset(partitions={"k": partitions(list(range(COUNT)))})
def cell(k: int) -> int:
    return build(k)
'''


def pandas_runs(scale):
    count = 360 // scale
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as cwd:
        for name, text in (("frames", FRAMES), ("cleaning", CLEANING)):
            pathlib.Path(cwd, f"{name}.py").write_text(text.replace("COUNT", str(count)))
        plain = wall([PY, "-c", f"import frames\nfor k in range({count}):\n    frames.build(k)"], cwd) / count
        default = quarl_run(cwd, "frames") / count
        no_preload = quarl_run(cwd, "frames", "--no-preload") / count
        fresh = quarl_run(cwd, "frames", "--isolation", "fresh") / count
        print(f"pandas, {count} partitions, --jobs 2, per run: default {default * 1e3:.1f} ms, --no-preload "
              f"{no_preload * 1e3:.1f} ms, fresh {fresh * 1e3:.1f} ms; one plain process {plain * 1e3:.1f} ms a call")
        report("default / fresh", default / fresh, 0.1)
        report("default / one plain process", default / plain, 2.0)
        report("--no-preload / default", no_preload / default, 1.5)
        plain = wall([PY, "-c", f"import cleaning\nfor k in range({count}):\n    cleaning.build(k)"], cwd) / count
        default = quarl_run(cwd, "cleaning") / count
        print(f"the same cleaning 5,000 rows a run: default {default * 1e3:.1f} ms a run, one plain process "
              f"{plain * 1e3:.1f} ms a call")
        report("cleaning: default / one plain process", default / plain, 2.0)


def dag_module(lanes, blocks):
    """The DAG as quarl assets and as Hamilton functions (a parameter names its upstream)."""
    quarl_lines = ["from quarl import asset", ""]
    hamilton_lines = []
    for lane in range(lanes):
        previous = None
        for block in range(blocks):
            name = f"l{lane}b{block}"
            shape = {"a": [previous] if previous else [], "b": [f"{name}a"], "c": [f"{name}a"],
                     "d": [f"{name}b", f"{name}c"], "e": [f"{name}d"]}
            for step, inputs in shape.items():
                args = ", ".join(f"{i}: int" for i in inputs)
                total = " + ".join(inputs) or "1"
                quarl_inputs = ", ".join(f"'{i}': {i}" for i in inputs)
                quarl_lines += ["", f"@asset(inputs={{{quarl_inputs}}})", f"def {name}{step}({args}) -> int:",
                                f"    return {total}", ""]
                hamilton_lines += [f"def {name}{step}({args}) -> int:", f"    return {total}", "", ""]
            previous = f"{name}e"
    return "\n".join(quarl_lines), "\n".join(hamilton_lines)


def dag_200(scale):
    try:
        import hamilton  # noqa: F401
    except ImportError:
        subprocess.run([PY, "-m", "pip", "install", "--quiet", "sf-hamilton"], check=True)
    lanes, blocks = 4, 10 // scale
    quarl_text, hamilton_text = dag_module(lanes, blocks)
    # The output on the disk, where users keep it (the target), and in /dev/shm beside it.
    for where, folder in (("disk", None), ("/dev/shm", "/dev/shm" if os.path.isdir("/dev/shm") else None)):
        with tempfile.TemporaryDirectory(dir=folder) as cwd:
            pathlib.Path(cwd, "dag.py").write_text(quarl_text)
            pathlib.Path(cwd, "hdag.py").write_text(hamilton_text)
            finals = [f"l{lane}b{blocks - 1}e" for lane in range(lanes)]
            driver = ("from hamilton import driver\nimport hdag\n"
                      f"print(driver.Builder().with_modules(hdag).build().execute({finals!r}))")
            hamilton_times, quarl_times = [], []
            for _ in range(3):
                hamilton_times.append(wall([PY, "-c", driver], cwd))
                quarl_times.append(quarl_run(cwd, "dag"))
            hamilton_time, quarl_time = min(hamilton_times), min(quarl_times)
            print(f"{lanes * blocks * 5}-asset DAG, cold, whole commands, {where} ({cwd}): quarl run "
                  f"{quarl_time:.2f} s, Hamilton's driver {hamilton_time:.2f} s")
            report(f"quarl run / Hamilton's in-process driver, {where}", quarl_time / hamilton_time,
                   1.0 if where == "disk" else None)


def up_to_date_50000(scale):
    count = 50000 // scale
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as cwd:
        pathlib.Path(cwd, "many.py").write_text(
            "from quarl import asset, partitions\n\n\n"
            f"@asset(partitions={{'k': partitions(list(range({count})))}})\ndef cell(k: int) -> int:\n"
            "    return k\n")
        first = quarl_run(cwd, "many")
        second = quarl_run(cwd, "many", keep=True)
        print(f"{count} partitions: first run {first:.1f} s, fully up-to-date second run {second:.2f} s")
        report("fully up-to-date run, whole command (s)", second, 3.0 / scale)


FAULTS = '''import gc, os, sys
import pandas as pd
frame = pd.DataFrame({"a": range(1000)}); frame.describe()
if sys.argv[1] == "freeze":
    gc.collect(); gc.freeze()
faults = []
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        pd.DataFrame({"k": range(200), "v": range(200)}).rolling(5).mean().sum()
        os._exit(0)
    faults.append(os.wait4(pid, 0)[2].ru_minflt)
print(sorted(faults)[len(faults) // 2])
'''


def child_faults(scale):
    with tempfile.TemporaryDirectory() as cwd:
        thawed, frozen = (int(subprocess.run([PY, "-c", FAULTS, mode], cwd=cwd, capture_output=True, text=True,
                                             check=True).stdout) for mode in ("thaw", "freeze"))
        print(f"minor page faults of a forked child building a DataFrame (median of 20): {thawed} without "
              f"gc.freeze(), {frozen} with it")
        report("faults with gc.freeze() / without", frozen / thawed)


def main():
    scale = 10 if "--quick" in sys.argv else 1
    for section in (pandas_runs, dag_200, up_to_date_50000, child_faults):
        print()
        section(scale)


if __name__ == "__main__":
    main()
