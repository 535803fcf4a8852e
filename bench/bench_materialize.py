"""What one successful in-process materialization costs next to the Python calls it must make.

The floor is those calls alone, made from Python on the same objects: importing the (already
imported) module, getattr, the call, json.dumps of the value and the two write_text calls. Both
are timed in the same process, interleaved in rounds; the medians are compared.

    python bench/bench_materialize.py [ROUNDS]

The files go to /dev/shm when there is one: on a disk file system, rewriting a file can cost
milliseconds, which would hide everything else.
"""

import importlib
import inspect
import json
import os
import pathlib
import statistics
import sys
import tempfile
import time

import _quarl

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

MODULE_SOURCE = '''
from quarl import asset


@asset()
def report() -> dict:
    return {"rows": [1, 2, 3], "name": "daily", "ok": True}
'''


BATCH = 50


def main(rounds):
    scratch = "/dev/shm" if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(dir=scratch) as root:
        root = pathlib.Path(root)
        (root / "bench_assets.py").write_text(MODULE_SOURCE, "utf-8")
        sys.path.insert(0, str(root))
        out = str(root / "out")

        def ours():
            _quarl.materialize_asset("bench_assets", "report", out)

        ours()
        value_path = pathlib.Path(out) / "value.json"
        result_path = pathlib.Path(out) / "result.json"
        record_text = result_path.read_text("utf-8")

        def floor():
            module = importlib.import_module("bench_assets")
            wrapper = getattr(module, "report")
            value = wrapper.__quarl_original__()
            value_path.write_text(json.dumps(value), "utf-8")
            result_path.write_text(record_text, "utf-8")

        # Every call the materializer makes, from Python: the floor above plus importing the
        # standard modules (on every call, through the import machinery), the path handling,
        # mkdir, the signature, and each file written whole (the earlier record removed, each
        # file written beside its final name and renamed over it). Ours minus this is the native
        # code's own share.
        def all_calls():
            import importlib, inspect, json, pathlib  # noqa: E401, F811

            path = pathlib.Path(out)
            path.mkdir(parents=True, exist_ok=True)
            folder = path.absolute()
            try:
                os.unlink(os.path.join(folder, "result.json"))
            except FileNotFoundError:
                pass
            module = importlib.import_module("bench_assets")
            wrapper = getattr(module, "report")
            function = wrapper.__quarl_original__
            value = function()
            value_text = str(path / "value.json")
            temporary = folder / ".value.json.tmp"
            temporary.write_text(json.dumps(value), "utf-8")
            os.rename(os.fspath(temporary), os.path.join(folder, "value.json"))
            str(inspect.signature(function))
            type(value).__name__
            temporary = folder / ".result.json.tmp"
            temporary.write_text(record_text, "utf-8")
            os.rename(os.fspath(temporary), os.path.join(folder, "result.json"))
            return value_text

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
