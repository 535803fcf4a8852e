"""The order log as a pandas DataFrame, stored as parquet, and a figure read from it."""

import pandas as pd

from quarl import asset

from shop import raw
from shop.raw import OrderLine


@asset(inputs={"orders": raw.orders, "products": raw.products}, serializer="parquet")
def order_table(orders: list[OrderLine], products: dict[str, float]) -> pd.DataFrame:
    """One row per order line with its revenue. Stored as parquet, it reaches its consumers with
    its dtypes: the day a date in UTC, the region a category."""
    table = pd.DataFrame(orders)
    table["day"] = pd.to_datetime(table["day"]).dt.tz_localize("UTC")
    table["region"] = table["region"].astype("category")
    table["revenue"] = table["sku"].map(products) * table["qty"]
    return table


@asset(inputs={"table": order_table})
def revenue_by_region(table: pd.DataFrame) -> dict[str, float]:
    """Revenue of each region over all days, from the DataFrame as it was stored."""
    totals = table.groupby("region", observed=True)["revenue"].sum()
    return {str(region): float(total) for region, total in totals.items()}
