"""What Dask adds to each run: `quarl run` over the generated project of bench/run_project.py
(300 chained assets and one asset of 300 partitions: 600 runs) with the local executor, --jobs 2,
and with --executor dask on a LocalCluster of 2 worker processes, in the same run.

Each side runs from a clean output folder (every run executes), then once more with everything up
to date (no run executes: planning, and for Dask starting, checking and closing the cluster). The
difference of the two is the time of the 600 runs; Dask's overhead per run is the difference of
those times over 600, and its fixed cost the difference of the up-to-date runs. Rounds alternate
the two sides; the medians are printed. Wall times: on a machine shared with other work they
move from one round to the next.

    python bench/bench_dask.py [--rounds 3]

The output folders go to /dev/shm when there is one: the runs' files, not the disk, are measured.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from run_project import write_project  # noqa: E402

QUARL = [sys.executable, "-m", "quarl", "run", "benchproj", "--jobs", "2"]
SIDES = {"local": [], "dask": ["--executor", "dask"]}


def timed(root, out, args):
    start = time.perf_counter()
    done = subprocess.run([*QUARL, "--out", out, *args], cwd=root, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"quarl run {' '.join(args)} failed ({done.returncode}):\n{done.stderr}")
    return elapsed, done.stdout.splitlines()[-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    scratch = "/dev/shm" if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(dir=scratch) as root:
        runs = write_project(root)
        times = {side: {"full": [], "idle": []} for side in SIDES}
        for _ in range(args.rounds):
            for side, side_args in SIDES.items():
                out = os.path.join(root, f"out-{side}")
                shutil.rmtree(out, ignore_errors=True)
                full, summary = timed(root, out, side_args)
                if summary != f"{runs} runs: {runs} succeeded":
                    sys.exit(f"{side}: {summary}")
                idle, summary = timed(root, out, side_args)
                if summary != f"{runs} runs: {runs} up to date":
                    sys.exit(f"{side}: {summary}")
                times[side]["full"].append(full)
                times[side]["idle"].append(idle)
    median = {side: {kind: statistics.median(values) for kind, values in kinds.items()}
              for side, kinds in times.items()}
    per_run = {side: (m["full"] - m["idle"]) / runs for side, m in median.items()}
    print(f"{runs} runs, --jobs 2, medians of {args.rounds} rounds (wall time)")
    for side in SIDES:
        m = median[side]
        print(f"  {side:<6} all runs {m['full']:6.2f} s, nothing to run {m['idle']:5.2f} s, "
              f"per run {per_run[side] * 1000:6.1f} ms")
    overhead = per_run["dask"] - per_run["local"]
    print(f"  Dask adds per run {overhead * 1000:6.1f} ms ({per_run['dask'] / per_run['local']:.2f} x), "
          f"and {median['dask']['idle'] - median['local']['idle']:.2f} s once (its cluster)")
    rounds = [((d_full - d_idle) - (l_full - l_idle)) / runs * 1000 for d_full, d_idle, l_full, l_idle in
              zip(times["dask"]["full"], times["dask"]["idle"], times["local"]["full"], times["local"]["idle"])]
    print("  per run, round by round: " + ", ".join(f"{ms:.1f} ms" for ms in rounds))


if __name__ == "__main__":
    main()
