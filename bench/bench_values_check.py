"""What making sure that a parquet value reads back costs: the in-memory check before the write,
the written file's schema read back after it, and on reading, the dtypes restored from pandas'
record. For a DataFrame of 5,000 and of 1,000,000 rows, with the mixed dtypes of bench_values.py
and once more with an object column of strings (the check reads every value of such a column).

    python bench/bench_values_check.py

Medians of interleaved repeats, in milliseconds, each against to_parquet or read_parquet alone.
"""

import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quarl import values


def frame(rows, strings):
    numbers = np.random.default_rng(1)
    columns = {
        "id": np.arange(rows, dtype=np.int64),
        "price": numbers.random(rows),
        "at": pd.date_range("2024-01-01", periods=rows, freq="s", tz="Europe/Paris"),
        "region": pd.Categorical(numbers.choice(["eu", "us", "apac"], rows)),
        "qty": pd.array(numbers.integers(0, 100, rows), dtype="Int64"),
        "sku": pd.array([f"sku-{n % 5000}" for n in range(rows)], dtype="string"),
    }
    if strings:
        columns["note"] = pd.Series([f"note {n}" for n in range(rows)], dtype=object)
    return pd.DataFrame(columns)


def medians(cases, repeats):
    times = {name: [] for name in cases}
    for _ in range(repeats):
        for name, case in cases.items():
            start = time.perf_counter()
            case()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(found) * 1000 for name, found in times.items()}


def main():
    parquet = values.PARQUET
    with tempfile.TemporaryDirectory(prefix="bench-check-") as name:
        path = pathlib.Path(name) / "value.parquet"
        for rows in (5_000, 1_000_000):
            for strings in (False, True):
                value = frame(rows, strings)
                value.to_parquet(path, engine="pyarrow")
                repeats = 41 if rows < 100_000 else 7
                found = medians({
                    "to_parquet": lambda: value.to_parquet(path, engine="pyarrow"),
                    "check": lambda: parquet.check(value),
                    "verify": lambda: parquet.verify(value, path),
                    "read_parquet": lambda: pd.read_parquet(path, engine="pyarrow"),
                    "load": lambda: parquet.load(path),
                }, repeats)
                added = found["check"] + found["verify"]
                kind = "+ object str column" if strings else "mixed dtypes"
                print(f"{rows:>9,} rows, {kind:<20} to_parquet {found['to_parquet']:8.2f} ms; "
                      f"check {found['check']:6.2f} + verify {found['verify']:5.2f} ms "
                      f"(+{100 * added / found['to_parquet']:4.1f} %); read_parquet "
                      f"{found['read_parquet']:7.2f} ms, load {found['load']:7.2f} ms")


if __name__ == "__main__":
    sys.exit(main())
