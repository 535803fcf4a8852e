"""Raw data as it arrives: the product catalogue and the order log."""

from typing import TypedDict

import quarl
from quarl import asset


class OrderLine(TypedDict):
    day: str
    region: str
    sku: str
    qty: int


@asset()
def products() -> dict[str, float]:
    """Unit price of each product, by SKU."""
    return {"mug": 8.5, "poster": 12.0, "tote": 15.0}


@quarl.retry(3, delay=2, on=(ConnectionError, TimeoutError))
@asset()
def orders() -> list[OrderLine]:
    """One row per order line. Were it read from the shop's API, a connection that fails would be
    tried again up to three times; any other error fails the run at once."""
    return [
        {"day": "2024-05-01", "region": "eu", "sku": "mug", "qty": 2},
        {"day": "2024-05-01", "region": "eu", "sku": "tote", "qty": 1},
        {"day": "2024-05-01", "region": "us", "sku": "poster", "qty": 3},
        {"day": "2024-05-02", "region": "eu", "sku": "poster", "qty": 1},
        {"day": "2024-05-02", "region": "us", "sku": "mug", "qty": 4},
        {"day": "2024-05-02", "region": "us", "sku": "tote", "qty": 2},
    ]
