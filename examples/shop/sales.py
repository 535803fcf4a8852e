"""What the shop's reports are built from."""

from quarl import asset, partitions

from shop import raw
from shop.raw import OrderLine

DAYS = partitions(["2024-05-01", "2024-05-02"])
REGIONS = partitions(["eu", "us"])


@asset(inputs={"orders": raw.orders, "products": raw.products})
def revenue_by_sku(orders: list[OrderLine], products: dict[str, float]) -> dict[str, float]:
    """Revenue of each product over all orders."""
    revenue = dict.fromkeys(sorted(products), 0.0)
    for line in orders:
        revenue[line["sku"]] += products[line["sku"]] * line["qty"]
    return revenue


@asset(
    inputs={"orders": raw.orders},
    partitions={"day": DAYS, "region": REGIONS},
)
def daily_units(orders: list[OrderLine], day: str, region: str) -> int:
    """Units sold in one region on one day: one run per (day, region)."""
    return sum(line["qty"] for line in orders if line["day"] == day and line["region"] == region)
