"""Values that are not JSON: a DataFrame stored as parquet, against pandas alone, in the same run.

1. Publishing a DataFrame of about 50 MB in memory (mixed dtypes: integers, floats, datetimes
   with a time zone, a categorical, nullable integers, strings): the package's materializer
   (call, parquet to a temporary name, rename, result.json) against `df.to_parquet` alone
   (target 1.2).
2. A consumer reading it: the worker's input loading (the manifest, the format's reader) against
   `pd.read_parquet` alone (target 1.2).
3. The peak memory of a real worker (`python -m quarl.worker --values ...`) that builds and
   publishes that DataFrame, against the DataFrame's size (target 2.5); given also beyond the
   peak of the same worker publishing a DataFrame of 10 rows (the interpreter, pandas and
   pyarrow), which is what the value itself costs, and against a plain Python process that
   builds the same DataFrame and calls to_parquet.
4. A consumer gathering 360 DataFrame partitions (5,000 rows each): its input loading against
   reading the 360 files in a plain loop (target 1.3), as a list of {"partition", "value"};
   and as one DataFrame (its parameter annotated pd.DataFrame, the partition's dimension a
   column) against `pd.concat` of the same loop (target 1.3); and the consumer's whole run in a
   worker process (`python -m quarl.worker`: the interpreter, pandas, the gathering, the
   records) against a plain Python process that imports pandas and makes that `pd.concat`.

    python bench/bench_values.py [--quick] [--fan-in]

--quick uses a tenth of the rows and partitions, to try the script; --fan-in measures 4 alone.
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import ratio, report  # noqa: E402

import pandas as pd  # noqa: E402

from quarl import values  # noqa: E402
from quarl.contract import Request, Value  # noqa: E402

QUICK = "--quick" in sys.argv
FAN_IN = "--fan-in" in sys.argv
ROWS = 100_000 if QUICK else 1_000_000
PARTS = 36 if QUICK else 360
PART_ROWS = 5_000


def request(folder, function, inputs, serializer=None):
    """The request quarl run would give a run of benchvalues.FUNCTION into FOLDER."""
    return Request(attempt="0" * 12, asset=f"benchvalues.{function}", module="benchvalues", function=function,
                   folder=str(folder), partition={}, fingerprint="", consumed=[], serializer=serializer,
                   inputs=inputs)

PROJECT = textwrap.dedent('''\
    import os

    import numpy as np
    import pandas as pd

    from quarl import asset

    CACHE = {}


    def make(rows):
        numbers = np.random.default_rng(1)
        return pd.DataFrame({
            "id": np.arange(rows, dtype=np.int64),
            "price": numbers.random(rows),
            "at": pd.date_range("2024-01-01", periods=rows, freq="s", tz="Europe/Paris"),
            "region": pd.Categorical(numbers.choice(["eu", "us", "apac"], rows)),
            "qty": pd.array(numbers.integers(0, 100, rows), dtype="Int64"),
            "sku": pd.array([f"sku-{n % 5000}" for n in range(rows)], dtype="string"),
        })


    @asset(serializer="parquet")
    def cached() -> pd.DataFrame:
        return CACHE["frame"]


    @asset(serializer="parquet")
    def built() -> pd.DataFrame:
        return make(int(os.environ["BENCH_ROWS"]))


    @asset(inputs={"days": built})
    def fan_in(days: pd.DataFrame) -> int:
        return len(days)
''')


# Started from a small launcher, which reports the worker's ru_maxrss: Linux gives a child the
# maximum RSS of its parent at the fork as its own starting point, and this process holds the
# DataFrames.
_LAUNCHER = """\
import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.executable, [sys.executable, *sys.argv[1:]])
_, status, usage = os.wait4(pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024)
"""


def peak_rss(folder, rows, plain=False):
    """ru_maxrss of one worker process that builds and publishes a DataFrame of `rows` rows; or
    (plain) of a Python process that builds it and calls to_parquet, nothing else."""
    run = json.dumps(request(folder / f"peak-{rows}", "built", {}, "parquet").document())
    args = ["-c", f"import benchvalues; benchvalues.make({rows}).to_parquet('plain-{rows}.parquet')"] if plain \
        else ["-m", "quarl.worker", "--request", run]
    done = subprocess.run([sys.executable, "-c", _LAUNCHER, *args], cwd=folder, capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": str(folder), "BENCH_ROWS": str(rows)})
    status, peak = map(int, done.stdout.split())
    if status != 0:
        sys.exit(f"the worker failed with status {status}:\n{done.stderr}")
    return peak


def main():
    with tempfile.TemporaryDirectory(prefix="bench-values-") as name:
        folder = pathlib.Path(name)
        (folder / "benchvalues.py").write_text(PROJECT)
        sys.path.insert(0, str(folder))
        import benchvalues

        if not FAN_IN:
            one_value(folder, benchvalues)
        fan_in(folder, benchvalues)


def one_value(folder, benchvalues):
    frame = benchvalues.make(ROWS)
    size = int(frame.memory_usage(deep=True).sum())
    benchvalues.CACHE["frame"] = frame
    print(f"DataFrame: {ROWS:,} rows, {size / 1e6:.1f} MB in memory")

    out, plain = folder / "run", folder / "plain.parquet"
    cached = request(out, "cached", {}, "parquet")

    def publish():
        values.materialize(cached)

    def to_parquet():
        frame.to_parquet(plain, engine="pyarrow")

    report("1. publish a DataFrame as parquet / df.to_parquet", ratio(publish, to_parquet, number=1, repeats=7),
           1.2)

    read = request(folder / "consumer", "cached", {"frame": Value(str(out / "value.parquet"), "parquet")})
    report("2. a consumer's reading of it / pd.read_parquet",
           ratio(lambda: values.load_inputs(read), lambda: pd.read_parquet(out / "value.parquet"),
                 number=1, repeats=7), 1.2)

    floor, peak, plain_peak = peak_rss(folder, 10), peak_rss(folder, ROWS), peak_rss(folder, ROWS, plain=True)
    print(f"   worker peak {peak / 1e6:.0f} MB; with a DataFrame of 10 rows {floor / 1e6:.0f} MB; "
          f"a plain script that builds it and calls to_parquet {plain_peak / 1e6:.0f} MB")
    report("3. worker's peak memory / DataFrame size", peak / size, 2.5)
    report("3. the same beyond the peak of a worker of 10 rows / size", (peak - floor) / size)
    report("3. worker's peak memory / a plain script's (build, to_parquet)", peak / plain_peak)



def fan_in(folder, benchvalues):
    parts = folder / "parts"
    parts.mkdir()
    paths = []
    for n in range(PARTS):
        paths.append(str(parts / f"day={n}.parquet"))
        benchvalues.make(PART_ROWS).to_parquet(paths[-1], engine="pyarrow")
    gather = request(folder / "consumer", "cached",
                     {"days": [({"day": n}, Value(path, "parquet")) for n, path in enumerate(paths)]})
    print(f"{PARTS} partitions of {PART_ROWS:,} rows, {PARTS * PART_ROWS:,} rows in all")
    report(f"4. gathering {PARTS} DataFrame partitions / a plain loop of pd.read_parquet",
           ratio(lambda: values.load_inputs(gather), lambda: [pd.read_parquet(p) for p in paths],
                 number=1, repeats=7), 1.3)
    whole = frozenset({"days"})
    report("4. gathering them as one DataFrame / pd.concat of that loop",
           ratio(lambda: values.load_inputs(gather, whole), lambda: pd.concat([pd.read_parquet(p) for p in paths]),
                 number=1, repeats=7), 1.3)
    report("   control: pd.concat of that loop / itself",
           ratio(lambda: pd.concat([pd.read_parquet(p) for p in paths]),
                 lambda: pd.concat([pd.read_parquet(p) for p in paths]), number=1, repeats=7))

    run = request(folder / "fan-in", "fan_in", gather.inputs)
    (folder / "fan-in").mkdir()
    worker = [sys.executable, "-m", "quarl.worker", *run.arguments()]
    (folder / "paths.json").write_text(json.dumps(paths))
    plain = [sys.executable, "-c", "import json, pandas as pd; "
             "pd.concat([pd.read_parquet(p) for p in json.load(open('paths.json'))])"]
    env = {**os.environ, "PYTHONPATH": str(folder)}

    def process(args):
        return lambda: subprocess.run(args, cwd=folder, env=env, check=True, capture_output=True)

    report("4. the consumer's run in a worker process / a plain script's pd.concat",
           ratio(process(worker), process(plain), number=1, repeats=5))
    if json.loads((folder / "fan-in/value.json").read_text()) != PARTS * PART_ROWS:
        sys.exit("the worker's consumer did not receive every row")


if __name__ == "__main__":
    main()
