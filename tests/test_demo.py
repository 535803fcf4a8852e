"""The example project run as `make demo` and the README run it: quarl run twice."""

import json
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import sanitizer_env

# The example's DataFrame assets need the parquet extra, which `make install` installs (and
# `make sanitize` does not).
pytest.importorskip("pyarrow", reason="no parquet extra")

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"

FIRST = """\
asset                          partition                 status     duration  result
shop.raw.orders                -                         succeeded  X s    list
shop.raw.products              -                         succeeded  X s    dict
shop.frames.order_table        -                         succeeded  X s    DataFrame (parquet)
shop.frames.revenue_by_region  -                         succeeded  X s    dict
shop.sales.daily_units         day=2024-05-01,region=eu  succeeded  X s    int
shop.sales.daily_units         day=2024-05-01,region=us  succeeded  X s    int
shop.sales.daily_units         day=2024-05-02,region=eu  succeeded  X s    int
shop.sales.daily_units         day=2024-05-02,region=us  succeeded  X s    int
shop.regions.region_units      region=eu                 succeeded  X s    int
shop.regions.region_units      region=us                 succeeded  X s    int
shop.regions.region_line       region=eu                 succeeded  X s    str
shop.regions.region_line       region=us                 succeeded  X s    str
shop.sales.revenue_by_sku      -                         succeeded  X s    dict
shop.report.best_seller        -                         succeeded  X s    dict

14 runs: 14 succeeded
"""

SECOND = """\
asset                          partition                 status
shop.raw.orders                -                         up to date
shop.raw.products              -                         up to date
shop.frames.order_table        -                         up to date
shop.frames.revenue_by_region  -                         up to date
shop.sales.daily_units         day=2024-05-01,region=eu  up to date
shop.sales.daily_units         day=2024-05-01,region=us  up to date
shop.sales.daily_units         day=2024-05-02,region=eu  up to date
shop.sales.daily_units         day=2024-05-02,region=us  up to date
shop.regions.region_units      region=eu                 up to date
shop.regions.region_units      region=us                 up to date
shop.regions.region_line       region=eu                 up to date
shop.regions.region_line       region=us                 up to date
shop.sales.revenue_by_sku      -                         up to date
shop.report.best_seller        -                         up to date

14 runs: 14 up to date
"""


def test_demo_runs_the_example_then_finds_it_up_to_date(tmp_path):
    shutil.copytree(EXAMPLES / "shop", tmp_path / "shop")

    def quarl_run():
        done = subprocess.run([sys.executable, "-m", "quarl", "run", "shop", "--out", "out", "--jobs", "1"],
                              cwd=tmp_path, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"},
                              capture_output=True, text=True)
        return done.returncode, re.sub(r"\d+\.\d\d s", "X s", done.stdout)

    assert quarl_run() == (0, FIRST)
    assert quarl_run() == (0, SECOND)
    out = tmp_path / "out"
    units = {p.name: (p / "value.json").read_text() for p in (out / "shop.sales.daily_units").iterdir()}
    assert units == {"day=2024-05-01,region=eu": "3", "day=2024-05-01,region=us": "3",
                     "day=2024-05-02,region=eu": "1", "day=2024-05-02,region=us": "6"}
    assert [(out / "shop.regions.region_line" / p / "value.json").read_text()
            for p in ("region=eu", "region=us")] == ['"eu: 4 units"', '"us: 9 units"']
    assert (out / "shop.report.best_seller/value.json").read_text() == '{"sku": "mug", "revenue": 51.0}'
    assert (out / "shop.frames.revenue_by_region/value.json").read_text() == '{"eu": 44.0, "us": 100.0}'
    table = json.loads((out / "shop.frames.order_table/run.json").read_text())
    assert (table["value_file"], table["artifact_format"]) == ("value.parquet", "parquet")
    # The module's record as it wrote it, in the attempt folder that became the published one.
    result = json.loads((out / "shop.sales.daily_units/day=2024-05-02,region=us/result.json").read_text())
    assert re.fullmatch(re.escape(str(out)) + r"/shop\.sales\.daily_units/\.day=2024-05-02,region=us\.attempt-"
                        r"[0-9a-f]{12}/value\.json", result.pop("value_path"))
    assert result == {
        "artifact_format": "json", "function_name": "daily_units", "module_path": "shop.sales",
        "ok": True, "result_type": "int", "signature": "(orders: list[shop.raw.OrderLine], day: str, "
        "region: str) -> int"}
