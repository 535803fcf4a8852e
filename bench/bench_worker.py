"""A fresh `python -m quarl.worker` against the direct materialize_asset call in a fresh process.

The baseline is the least a process can do to run an asset:
`python -c "import _quarl; _quarl.materialize_asset(...)"`. Both run the same trivial asset into
the same folder, one process after the other in rounds, and the medians are compared; `python -c
pass` is shown beside them as the floor of any process.

    python bench/bench_worker.py [ROUNDS]

The files go to /dev/shm when there is one, so that the disk does not decide.
"""

import os
import pathlib
import statistics
import subprocess
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

        def seconds(command):
            start = time.perf_counter()
            subprocess.run(command, env=env, check=True)
            return time.perf_counter() - start

        for command in commands.values():  # the first run compiles the asset module's bytecode
            seconds(command)
        samples = {name: [] for name in commands}
        names = list(commands)
        for i in range(rounds):
            # Rotate the order so that none always follows the same one.
            for name in names[i % 3:] + names[:i % 3]:
                samples[name].append(seconds(commands[name]))

    medians = {name: statistics.median(times) for name, times in samples.items()}
    print(f"python {sys.version.split()[0]}, {rounds} fresh processes each, "
          f"files under {scratch or tempfile.gettempdir()}")
    for name, label in [("worker", "python -m quarl.worker"), ("direct", "direct call"),
                        ("pass", "python -c pass")]:
        print(f"{label:<24} {medians[name] * 1000:7.1f} ms (median)")
    print("ratio ours/baseline (lower is better)")
    report("python -m quarl.worker / direct materialize_asset call", medians["worker"] /
           medians["direct"], 1.15)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
