"""The example project, inspected and materialized by the driver that `make demo` runs."""

import json
import pathlib
import subprocess
import sys

from conftest import sanitizer_env

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"

SUMMARY = """\
$ python -m quarl.inspect --output report.json shop.raw shop.report shop.sales

5 assets in shop.raw, shop.report, shop.sales:
  shop.raw.orders -> list[shop.raw.OrderLine]
  shop.raw.products -> dict[str, float]
  shop.report.best_seller -> BestSeller
      inputs: revenue <- shop.sales.revenue_by_sku
  shop.sales.daily_units -> int
      inputs: orders <- shop.raw.orders
      partitions: day in 2024-05-01, 2024-05-02; region in eu, us (4 runs)
  shop.sales.revenue_by_sku -> dict[str, float]
      inputs: orders <- shop.raw.orders, products <- shop.raw.products

One `python -m quarl.worker MODULE FUNCTION DIR [KWARGS_JSON]` per row, in dependency order, run in out:

asset                      partition                 ok   result_type  value_path
shop.raw.orders            -                         yes  list         shop.raw.orders/value.json
shop.raw.products          -                         yes  dict         shop.raw.products/value.json
shop.sales.daily_units     day=2024-05-01,region=eu  yes  int          shop.sales.daily_units/day=2024-05-01,region=eu/value.json
shop.sales.daily_units     day=2024-05-01,region=us  yes  int          shop.sales.daily_units/day=2024-05-01,region=us/value.json
shop.sales.daily_units     day=2024-05-02,region=eu  yes  int          shop.sales.daily_units/day=2024-05-02,region=eu/value.json
shop.sales.daily_units     day=2024-05-02,region=us  yes  int          shop.sales.daily_units/day=2024-05-02,region=us/value.json
shop.sales.revenue_by_sku  -                         yes  dict         shop.sales.revenue_by_sku/value.json
shop.report.best_seller    -                         yes  dict         shop.report.best_seller/value.json

shop.report.best_seller/value.json: {"sku": "mug", "revenue": 51.0}
"""


def test_demo_inspects_and_materializes_every_asset(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "run_demo.py"), "--out", "out"],
                          cwd=tmp_path, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"},
                          capture_output=True,
                          text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, SUMMARY, "")
    out = tmp_path / "out"
    # Upstream values reached their consumers: each partition counts only its own order lines.
    units = {p.name: (p / "value.json").read_text() for p in (out / "shop.sales.daily_units").iterdir()}
    assert units == {"day=2024-05-01,region=eu": "3", "day=2024-05-01,region=us": "3",
                     "day=2024-05-02,region=eu": "1", "day=2024-05-02,region=us": "6"}
    assert (out / "shop.sales.revenue_by_sku/value.json").read_text() == (
        '{"mug": 51.0, "poster": 48.0, "tote": 45.0}')
    assert json.loads((out / "shop.sales.daily_units/day=2024-05-02,region=us/result.json").read_text()) == {
        "artifact_format": "json", "function_name": "daily_units", "module_path": "shop.sales",
        "ok": True, "result_type": "int", "signature": "(orders: list[shop.raw.OrderLine], day: str, "
        "region: str) -> int", "value_path": "shop.sales.daily_units/day=2024-05-02,region=us/value.json"}
