"""A fresh `python -m quarl.worker` against the direct materialize_asset call in a fresh process.

The baseline is the least a process can do to run an asset:
`python -c "import _quarl; _quarl.materialize_asset(...)"`. Both run the same trivial asset into
the same folder, one process after the other in rounds, and the medians are compared; `python -c
pass` is shown beside them as the floor of any process. Each process is timed by the wall clock
and by its CPU time (user + system).

    python bench/bench_worker.py [ROUNDS]

The files go to /dev/shm when there is one, so that the disk does not decide.
"""

import os
import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402

MODULE_SOURCE = '''
from quarl import asset


@asset()
def report() -> dict:
    return {"rows": [1, 2, 3], "name": "daily", "ok": True}
'''


def main(rounds):
    scratch = "/dev/shm" if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(dir=scratch) as root:
        (pathlib.Path(root) / "bench_assets.py").write_text(MODULE_SOURCE, "utf-8")
        out = os.path.join(root, "out")
        env = {**os.environ, "PYTHONPATH": root}
        commands = {
            "worker": [sys.executable, "-m", "quarl.worker", "bench_assets", "report", out],
            "direct": [sys.executable, "-c", "import _quarl; _quarl.materialize_asset("
                       f"'bench_assets', 'report', {out!r})"],
            "pass": [sys.executable, "-c", "pass"],
        }

        def run(command):
            """Wall-clock and CPU seconds (user + system, from wait4) of one process."""
            start = time.perf_counter()
            pid = os.posix_spawn(command[0], command, env)
            _, status, usage = os.wait4(pid, 0)
            wall = time.perf_counter() - start
            if os.waitstatus_to_exitcode(status) != 0:
                raise RuntimeError(f"{command} failed")
            return wall, usage.ru_utime + usage.ru_stime

        for command in commands.values():  # the first run compiles the asset module's bytecode
            run(command)
        samples = {name: [] for name in commands}
        names = list(commands)
        for i in range(rounds):
            # Rotate the order so that none always follows the same one.
            for name in names[i % 3:] + names[:i % 3]:
                samples[name].append(run(commands[name]))

    wall = {name: statistics.median(w for w, _ in times) for name, times in samples.items()}
    cpu = {name: statistics.median(c for _, c in times) for name, times in samples.items()}
    print(f"python {sys.version.split()[0]}, {rounds} fresh processes each, "
          f"files under {scratch or tempfile.gettempdir()}; medians")
    for name, label in [("worker", "python -m quarl.worker"), ("direct", "direct call"),
                        ("pass", "python -c pass")]:
        print(f"{label:<24} {wall[name] * 1000:7.1f} ms wall {cpu[name] * 1000:7.1f} ms CPU")
    print("ratio ours/baseline (lower is better)")
    report("python -m quarl.worker / direct materialize_asset call (wall)",
           wall["worker"] / wall["direct"], 1.15)
    # CPU time moves less than wall-clock time on a machine that other work shares.
    report("python -m quarl.worker / direct materialize_asset call (CPU)",
           cpu["worker"] / cpu["direct"])


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
