"""The figure the shop's owner reads."""

from typing import TypedDict

from quarl import asset

from shop import sales


class BestSeller(TypedDict):
    sku: str
    revenue: float


@asset(inputs={"revenue": sales.revenue_by_sku})
def best_seller(revenue: dict[str, float]) -> BestSeller:
    """The product with the highest revenue."""
    sku = max(revenue, key=lambda k: revenue[k])
    return {"sku": sku, "revenue": revenue[sku]}
