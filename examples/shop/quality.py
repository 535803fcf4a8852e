"""The shop's data-quality rules, as checks of its assets' values. A value that breaks a blocking
rule is never published: its consumers keep waiting for a good one."""

import pandas as pd

import quarl

from shop import frames, raw, sales


@quarl.check(raw.orders)
def quantities_are_positive(orders: list[raw.OrderLine]) -> bool | str:
    bad = [line for line in orders if line["qty"] <= 0]
    return not bad or f"{len(bad)} order lines without a positive quantity"


@quarl.check(frames.order_table)
def every_line_has_a_revenue(table: pd.DataFrame) -> tuple[bool, dict[str, int]]:
    """A product without a price leaves its lines without revenue; the history keeps the counts."""
    missing = int(table["revenue"].isna().sum())
    return missing == 0, {"rows": len(table), "missing_revenue": missing}


@quarl.check(sales.daily_units, severity="warn")
def some_units_sold(units: int, day: str, region: str) -> bool | str:
    """Checked on every (day, region): a quiet day is worth a look, not a failure."""
    return units > 0 or f"no units sold in {region} on {day}"


@quarl.check(sales.revenue_by_sku, blocking=False)
def every_product_sold(revenue: dict[str, float]) -> bool | str:
    """Published all the same, but the command fails: someone should look."""
    unsold = sorted(sku for sku, total in revenue.items() if total == 0)
    return not unsold or f"never sold: {', '.join(unsold)}"
