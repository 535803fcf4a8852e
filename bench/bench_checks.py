"""What checks cost: a check of a run's 5,000-row DataFrame, made in the run's process on the value
in memory, against the same run without it; and `quarl check` over 1,000 published partitions of
such DataFrames against reading their values.

    python bench/bench_checks.py [PARTITIONS]

The check is a usual data-quality rule: the missing values of a column counted, the row count and
that count returned as metadata. Medians of interleaved repeats.
"""

import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from common import report

PROJECT = '''
import numpy as np
import pandas as pd

import quarl
from quarl import asset, partitions

PARTITIONS = int(__import__("os").environ.get("BENCH_CHECKS_PARTITIONS", "1000"))


def frame(seed: int) -> pd.DataFrame:
    numbers = np.random.default_rng(seed)
    rows = 5_000
    return pd.DataFrame({
        "id": np.arange(rows, dtype=np.int64),
        "price": numbers.random(rows),
        "region": pd.Categorical(numbers.choice(["eu", "us", "apac"], rows)),
        "qty": pd.array(numbers.integers(0, 100, rows), dtype="Int64"),
    })


@asset(serializer="parquet")
def single() -> pd.DataFrame:
    return frame(0)


@asset(partitions={"n": partitions(list(range(PARTITIONS)))}, serializer="parquet")
def table(n: int) -> pd.DataFrame:
    return frame(n)


@quarl.check(single)
@quarl.check(table)
def no_missing_quantity(value: pd.DataFrame) -> tuple[bool, dict[str, int]]:
    missing = int(value["qty"].isna().sum())
    return missing == 0, {"rows": len(value), "missing": missing}
'''

CHECK = {"name": "no_missing_quantity", "module": "benchchecks", "function": "no_missing_quantity",
         "severity": "error", "blocking": True, "fingerprint": "0" * 64}


def request(folder, checks):
    from quarl.contract import Request

    return Request(attempt="0" * 12, asset="benchchecks.single", module="benchchecks", function="single",
                   folder=str(folder), partition={}, fingerprint="f" * 64, consumed=[], serializer="parquet",
                   inputs={}, checks=checks)


def run_cost(root):
    """The run's process's work (materialize, verify, checks, records) in this process, and whole
    fresh processes, with the check and without."""
    from quarl import worker

    runs = pathlib.Path(root, "runs")
    runs.mkdir()
    counter = iter(range(1_000_000))

    def once(checks):
        text = json.dumps(request(runs / str(next(counter)), checks).document())
        start = time.perf_counter()
        assert worker.run_request(text) == 0
        return time.perf_counter() - start

    once([CHECK]), once([])  # imports and caches
    times = {"with": [], "without": []}
    for number in range(101):
        # Alternately first: a run leaves the disk's and the allocator's state to the next.
        for name in (("with", "without") if number % 2 else ("without", "with")):
            times[name].append(once([CHECK] if name == "with" else []))
    inner = {name: statistics.median(found) * 1000 for name, found in times.items()}
    record = json.loads(pathlib.Path(runs, "0", "run.json").read_text())  # the first, with the check
    assert record["checks"][0]["metadata"] == {"rows": 5000, "missing": 0}, record

    # The check's own part, alone: the two medians above differ by less than the runs' noise.
    from quarl.checks import evaluate

    import benchchecks

    value = benchchecks.frame(0)
    start = time.perf_counter()
    for _ in range(1000):
        evaluate([CHECK], value, {})
    alone = (time.perf_counter() - start)  # ms per check: seconds for 1000

    fresh = {"with": [], "without": []}
    for _ in range(9):
        for name, checks in (("without", []), ("with", [CHECK])):
            argument = json.dumps(request(runs / str(next(counter)), checks).document())
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "quarl.worker", "--request", argument], cwd=root, check=True,
                           env={**os.environ, "PYTHONPATH": root})
            fresh[name].append(time.perf_counter() - start)
    outer = {name: statistics.median(found) * 1000 for name, found in fresh.items()}
    print(f"a run of a 5,000-row DataFrame in its process: {inner['without']:.2f} ms, with the check "
          f"{inner['with']:.2f} ms (the check alone {alone * 1000:.0f} us); fresh processes "
          f"{outer['without']:.1f} ms, with the check {outer['with']:.1f} ms")
    report("a run's work, with a check / without (5,000-row DataFrame, in process)",
           inner["with"] / inner["without"], 1.05)
    report("the same, the check's own time added to the run's median", 1 + alone / inner["without"], 1.05)
    report("a run's fresh process, with a check / without", outer["with"] / outer["without"], 1.05)


def check_cost(root, partitions):
    """quarl check over every published partition, against a process that reads their values."""
    env = {**os.environ, "PYTHONPATH": root, "BENCH_CHECKS_PARTITIONS": str(partitions)}
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "quarl", "run", "benchchecks", "--select", "table"], cwd=root,
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    made = time.perf_counter() - start
    out = pathlib.Path(root, "quarl-out", "benchchecks.table")
    paths = [str(folder / "value.parquet") for folder in sorted(out.iterdir()) if not folder.name.startswith(".")]
    assert len(paths) == partitions
    pathlib.Path(root, "paths.json").write_text(json.dumps(paths))
    read = ("import json\nfrom quarl.contract import Value\nfrom quarl.values import load\n"
            "for path in json.load(open('paths.json')):\n    load(Value(path, 'parquet'))\n")
    times = {"read": [], "check": []}
    for _ in range(5):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", read], cwd=root, env=env, check=True)
        times["read"].append(time.perf_counter() - start)
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "quarl", "check", "benchchecks", "--select", "table"], cwd=root,
                              env=env, capture_output=True, text=True)
        times["check"].append(time.perf_counter() - start)
        assert done.returncode == 0 and done.stdout.endswith(f"{partitions} checks: {partitions} passed\n"), \
            done.stdout[-500:] + done.stderr[-2000:]
    found = {name: statistics.median(values) for name, values in times.items()}
    print(f"{partitions} partitions made by quarl run in {made:.1f} s; reading their values in a process "
          f"{found['read']:.2f} s, quarl check {found['check']:.2f} s")
    report(f"quarl check, {partitions} partitions / a process reading their values", found["check"] / found["read"], 1.5)


def main():
    partitions = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    with tempfile.TemporaryDirectory(prefix="bench-checks-") as root:
        pathlib.Path(root, "benchchecks.py").write_text(PROJECT)
        sys.path.insert(0, root)
        os.environ["BENCH_CHECKS_PARTITIONS"] = str(partitions)
        run_cost(root)
        check_cost(root, partitions)


if __name__ == "__main__":
    sys.exit(main())
