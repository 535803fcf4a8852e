"""Many cheap pandas partitions: `quarl run` with a process per run (the default) and with
`--isolation batch`, against one plain Python process making the same calls and against Dagster's
in-process executor, in whole commands, medians of interleaved rounds, wall and CPU time (the
whole process tree's, from wait4).

The project: 360 partitions, each reading a CSV of 5,000 rows, cleaning it with pandas and
storing the DataFrame as parquet, and one asset that gathers them all (the fan-in), concatenates
them and stores a daily summary as parquet. Targets: `--isolation batch` at most 1.0x the plain
process; the default at most 0.8x Dagster.

    python bench/bench_batch.py [--quick] [--rounds N] [--dir DIR]

--quick runs a tenth of the partitions; --dir puts the project and its outputs there (default:
/dev/shm). Dagster (pip install dagster) is installed into this environment when missing.
"""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

PY = sys.executable
ENV = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}

CLEAN = '''import pandas as pd


def clean(k: int) -> pd.DataFrame:
    frame = pd.read_csv(f"raw/{k}.csv", parse_dates=["at"])
    frame["city"] = frame["city"].str.strip().str.title()
    frame = frame.dropna(subset=["city"])
    frame = frame[frame["amount"] > 0].reset_index(drop=True)
    frame["day"] = frame["at"].dt.strftime("%Y-%m-%d")
    return frame


def summary(frames: list) -> pd.DataFrame:
    frame = pd.concat(frames, ignore_index=True)
    return frame.groupby(["day", "city"])["amount"].agg(["sum", "mean", "count"]).reset_index()
'''

QUARL = '''import pandas as pd
from quarl import asset, partitions

from cleaning import clean, summary


@asset(partitions={"k": partitions(list(range(COUNT)))}, serializer="parquet")
def cleaned(k: int) -> pd.DataFrame:
    return clean(k)


@asset(inputs={"parts": cleaned}, serializer="parquet")
def daily(parts: list) -> pd.DataFrame:
    return summary([part["value"] for part in parts])
'''

PLAIN = '''import os
import pandas as pd
from cleaning import clean, summary

os.makedirs("plain-out", exist_ok=True)
for k in range(COUNT):
    clean(k).to_parquet(f"plain-out/{k}.parquet")
summary([pd.read_parquet(f"plain-out/{k}.parquet") for k in range(COUNT)]).to_parquet("plain-out/daily.parquet")
'''

DAGSTER = '''import os
import dagster as dg
import pandas as pd
from cleaning import clean, summary

keys = dg.StaticPartitionsDefinition([str(k) for k in range(COUNT)])


class Parquet(dg.ConfigurableIOManager):
    folder: str

    def _path(self, context, key):
        return os.path.join(self.folder, context.asset_key.path[-1] + (f"-{key}" if key else "") + ".parquet")

    def handle_output(self, context, frame):
        os.makedirs(self.folder, exist_ok=True)
        frame.to_parquet(self._path(context, context.partition_key if context.has_partition_key else None))

    def load_input(self, context):
        upstream = context.upstream_output
        return {key: pd.read_parquet(self._path(upstream, key)) for key in context.asset_partition_keys}


@dg.asset(partitions_def=keys)
def cleaned(context) -> pd.DataFrame:
    return clean(int(context.partition_key))


@dg.asset(ins={"parts": dg.AssetIn("cleaned", partition_mapping=dg.AllPartitionMapping())})
def daily(parts) -> pd.DataFrame:
    return summary(list(parts.values()))


# materialize() runs in this process with the in-process executor, on an ephemeral instance (its
# fastest form: a persistent one, which keeps the runs' history in SQLite, took 1.6 times as long).
resources = {"io_manager": Parquet(folder=os.path.abspath("dagster-out"))}
for key in keys.get_partition_keys():
    assert dg.materialize([cleaned], partition_key=key, resources=resources).success
assert dg.materialize([cleaned, daily], selection=[daily], resources=resources).success
'''


def write_csvs(folder, count):
    import numpy as np
    import pandas as pd

    os.makedirs(os.path.join(folder, "raw"))
    for k in range(count):
        rng = np.random.default_rng(k)
        pd.DataFrame({"city": rng.choice([" Paris", "berlin ", "ROME", None], 5000),
                      "amount": rng.normal(100, 30, 5000).round(2),
                      "at": pd.date_range("2024-01-01", periods=5000, freq="h")}).to_csv(
            os.path.join(folder, "raw", f"{k}.csv"), index=False)


def timed(argv, cwd):
    """Wall and CPU seconds of a whole command and its children."""
    with tempfile.TemporaryFile() as log:  # Dagster logs much: no pipe, which would fill
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=cwd, env=ENV, stdout=subprocess.DEVNULL, stderr=log)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            log.seek(0)
            sys.exit(f"{' '.join(argv)} failed:\n{log.read().decode()}")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    scale = 10 if "--quick" in sys.argv else 1
    rounds = int(sys.argv[sys.argv.index("--rounds") + 1]) if "--rounds" in sys.argv else 5
    where = sys.argv[sys.argv.index("--dir") + 1] if "--dir" in sys.argv else \
        ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        import dagster  # noqa: F401
    except ImportError:
        subprocess.run([PY, "-m", "pip", "install", "--quiet", "dagster"], check=True)
    count = 360 // scale
    with tempfile.TemporaryDirectory(dir=where) as cwd:
        write_csvs(cwd, count)
        for name, text in (("cleaning", CLEAN), ("frames", QUARL), ("plain", PLAIN), ("dagster_frames", DAGSTER)):
            pathlib.Path(cwd, f"{name}.py").write_text(text.replace("COUNT", str(count)))
        sides = {
            "one plain process": [PY, "plain.py"],
            "Dagster, in process": [PY, "dagster_frames.py"],
            "quarl run (a process per run)": [PY, "-m", "quarl", "run", "frames", "--jobs", "2"],
            "quarl run --isolation batch": [PY, "-m", "quarl", "run", "frames", "--jobs", "2", "--isolation", "batch"],
        }
        times = {name: [] for name in sides}
        for _ in range(rounds):
            for name, argv in sides.items():
                for out in ("quarl-out", "plain-out", "dagster-out"):
                    shutil.rmtree(os.path.join(cwd, out), ignore_errors=True)
                times[name].append(timed(argv, cwd))
        print(f"{count} partitions of 5,000 rows to parquet and a fan-in, {where or tempfile.gettempdir()}, "
              f"medians of {rounds} (ranges), whole commands:")
        medians = {}
        for name, pairs in times.items():
            walls, cpus = [w for w, _ in pairs], [c for _, c in pairs]
            medians[name] = statistics.median(walls), statistics.median(cpus)
            print(f"  {name:<32} wall {medians[name][0]:6.2f} s ({min(walls):.2f}-{max(walls):.2f}), "
                  f"CPU {medians[name][1]:6.2f} s ({min(cpus):.2f}-{max(cpus):.2f})")
        plain, dagster = medians["one plain process"], medians["Dagster, in process"]
        batch, default = medians["quarl run --isolation batch"], medians["quarl run (a process per run)"]
        report("--isolation batch / one plain process (wall)", batch[0] / plain[0], 1.0)
        report("--isolation batch / Dagster in process (wall)", batch[0] / dagster[0])
        report("default / Dagster in process (wall)", default[0] / dagster[0], 0.8)
        report("default / one plain process (wall)", default[0] / plain[0])
        report("--isolation batch / one plain process (CPU)", batch[1] / plain[1])
        report("default / one plain process (CPU)", default[1] / plain[1])


if __name__ == "__main__":
    main()
