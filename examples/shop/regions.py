"""Per-region figures, built from the per-(day, region) units: the two ways a partitioned asset
feeds another."""

from typing import TypedDict

from quarl import asset

from shop import sales


class DayUnits(TypedDict):
    partition: dict[str, str]
    value: int


@asset(inputs={"units": sales.daily_units}, partitions={"region": sales.REGIONS})
def region_units(units: list[DayUnits], region: str) -> int:
    """Units sold in one region over all days. daily_units has a dimension this asset does not
    (day), so `units` is the list of every matching daily_units run, with its partition."""
    return sum(day["value"] for day in units)


@asset(inputs={"total": region_units}, partitions={"region": sales.REGIONS})
def region_line(total: int, region: str) -> str:
    """One line of the regional report. region_units has no dimension this asset lacks, so
    `total` is the value of the one matching run."""
    return f"{region}: {total} units"
