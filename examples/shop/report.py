"""The figure the shop's owner reads."""

from quarl import asset

from shop import sales


@asset(inputs={"revenue": sales.revenue_by_sku})
def best_seller(revenue: dict[str, float]):
    """The product with the highest revenue; no return annotation, so its type is unknown."""
    sku = max(revenue, key=lambda k: revenue[k])
    return {"sku": sku, "revenue": revenue[sku]}
