"""What one successful in-process materialization costs next to the Python calls it must make.

The floor is those calls alone, made from Python on the same objects (materialize_cases.py).
All are timed in the same process, interleaved in rounds; the medians are compared.

    python bench/bench_materialize.py [ROUNDS]

The files go to /dev/shm when there is one: on a disk file system, rewriting a file can cost
milliseconds, which would hide everything else.
"""

import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402
from materialize_cases import cases  # noqa: E402

BATCH = 50


def main(rounds):
    scratch = "/dev/shm" if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(dir=scratch) as root:
        ours, floor, all_calls = cases(root)

        def per_call(run):
            start = time.perf_counter_ns()
            for _ in range(BATCH):
                run()
            return (time.perf_counter_ns() - start) / BATCH / 1000

        runs = [ours, floor, all_calls]
        samples = {run: [] for run in runs}
        for i in range(rounds):
            # Rotate the order so that none always meets a warm or a cold cache.
            for run in runs[i % 3:] + runs[:i % 3]:
                samples[run].append(per_call(run))

    ours_median, floor_median, all_median = (statistics.median(samples[r]) for r in runs)
    print(f"python {sys.version.split()[0]}, {rounds} rounds of {BATCH} calls each, "
          f"files under {scratch or tempfile.gettempdir()}")
    print(f"materialize_asset   {ours_median:8.2f} us/call (median)")
    print(f"floor (Python)      {floor_median:8.2f} us/call (median)")
    print(f"all calls (Python)  {all_median:8.2f} us/call (median)")
    print("ratio ours/baseline (lower is better)")
    report("materialize_asset / floor (import, call, dumps, two write_text)",
           ours_median / floor_median, 1.10)
    report("materialize_asset / every call it must make", ours_median / all_median)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 40)
