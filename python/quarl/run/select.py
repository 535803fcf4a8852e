"""Which runs `--select` names: `PATTERN[DIM=VALUES,...]+`.

PATTERN is a glob on the asset's key. The bracket narrows its runs: VALUES is a glob on a
partition value as its folder name writes it (`day=2024-06-0*`), or an inclusive range in the
order the dimension declares its values (`day=2024-06-01..2024-06-07`); dimensions it does not
name match every value. A trailing `+` adds every run downstream of the matched ones.

The same selectors work on a plan (`quarl run`, `quarl status TARGET...`) and on the history
alone (`quarl status`), which knows the runs but not what feeds what: a `Catalog` is what both
give.
"""

from __future__ import annotations

import fnmatch
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from quarl.run import layout
from quarl.run.history import AttemptRecord
from quarl.run.plan import Plan
from quarl.run.status import Status


class SelectionError(Exception):
    """A selector that cannot be resolved: a usage error, whose message says what there is."""


# The bracket starts at the first "[" followed by a dimension name and "=": a "[...]" before it
# is a character class of the asset glob (`shop.[rs]*[day=1]`).
_SELECTOR = re.compile(r"(?P<pattern>.*?)\[(?P<body>[^\[\]=,]+=.*)\](?P<plus>\+?)", re.DOTALL)
_SHOWN_VALUES = 5


@dataclass(frozen=True)
class Selector:
    text: str  # as the user wrote it, for messages
    pattern: str
    clauses: tuple[tuple[str, str], ...]  # (dimension, VALUES)
    downstream: bool


def parse(text: str) -> Selector:
    match = _SELECTOR.fullmatch(text)
    if match is None:
        pattern, plus = (text[:-1], True) if text.endswith("+") else (text, False)
        if not pattern:
            raise SelectionError(f"--select {text!r}: no asset pattern before '+'")
        return Selector(text, pattern, (), plus)
    clauses = []
    for item in match["body"].split(","):
        dim, equals, values = item.partition("=")
        if not equals or not dim or not values:
            raise SelectionError(f"--select {text!r}: expected DIM=VALUES in the brackets, found {item!r}")
        clauses.append((dim, values))
    return Selector(text, match["pattern"] or "*", tuple(clauses), bool(match["plus"]))


@dataclass
class Catalog:
    """The runs a selector chooses from. A run is its asset's key and its partition as
    (dimension, value as its folder name writes it) pairs; `dimensions` gives each asset's values
    in their declared order; `downstream` is None where what feeds what is not known."""

    keys: list[str]
    dimensions: dict[str, dict[str, list[str]]]
    runs: list[tuple[str, tuple[tuple[str, str], ...]]]
    downstream: list[list[int]] | None = None
    by_key: dict[str, list[int]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        for index, (key, _) in enumerate(self.runs):
            self.by_key.setdefault(key, []).append(index)


def plan_catalog(plan: Plan) -> Catalog:
    dimensions: dict[str, dict[str, list[str]]] = {}
    names: dict[str, dict[str, dict[str, str]]] = {}  # key -> dimension -> canonical text -> name
    for asset in plan.assets:
        names[asset.key] = {dim: {text: layout.value_folder_name(text) for text in values}
                            for dim, values in asset.dimensions}
        dimensions[asset.key] = {dim: list(shown.values()) for dim, shown in names[asset.key].items()}
    runs = []
    for run in plan.runs:
        shown = names[run.asset.key]
        runs.append((run.asset.key, tuple((dim, shown[dim][text]) for dim, text in run.partition)))
    return Catalog([asset.key for asset in plan.assets], dimensions, runs, plan.downstream)


def history_catalog(records: Sequence[AttemptRecord]) -> Catalog:
    """The runs the history knows. A dimension's declared order is the order in which the plan
    that recorded them met its values."""
    keys: dict[str, None] = {}
    first_seen: dict[str, dict[str, dict[str, int]]] = {}
    runs: list[tuple[str, tuple[tuple[str, str], ...]]] = []
    for record in records:
        keys[record.asset] = None
        partition = layout.split_partition_folder(record.partition) if record.partition else ()
        seen = first_seen.setdefault(record.asset, {})
        for dim, value in partition:
            at = seen.setdefault(dim, {})
            at[value] = min(at.get(value, record.plan_index), record.plan_index)
        runs.append((record.asset, partition))
    dimensions = {key: {dim: sorted(at, key=at.__getitem__) for dim, at in first_seen.get(key, {}).items()}
                  for key in keys}
    return Catalog(list(keys), dimensions, runs)


# --- resolving --------------------------------------------------------------------------------

def _listed(values: Iterable[str], limit: int = _SHOWN_VALUES) -> str:
    values = list(values)
    shown = ", ".join(values[:limit])
    return shown + ", ..." if len(values) > limit else shown


def _allowed(selector: Selector, dim: str, spec: str, values: list[str]) -> set[str]:
    """The values of one dimension of one asset that VALUES names."""
    if spec in values or ".." not in spec:
        return set(fnmatch.filter(values, spec)) if spec not in values else {spec}
    low, _, high = spec.partition("..")
    for end in (low, high):
        if end and end not in values:
            raise SelectionError(f"--select {selector.text}: {end!r} is not a value of {dim} "
                                 f"(its values: {_listed(values)})")
    start = values.index(low) if low else 0
    stop = values.index(high) if high else len(values) - 1
    return set(values[start:stop + 1])


def _matched(catalog: Catalog, selector: Selector) -> list[int]:
    keys = [key for key in catalog.keys if fnmatch.fnmatchcase(key, selector.pattern)]
    if not keys:
        raise SelectionError(f"--select {selector.pattern} matches no asset "
                             f"(the assets are: {', '.join(catalog.keys)})")
    if not selector.clauses:
        return [index for key in keys for index in catalog.by_key.get(key, ())]
    named = [dim for dim, _ in selector.clauses]
    having = [key for key in keys if all(dim in catalog.dimensions[key] for dim in named)]
    if not having:
        known = sorted({dim for key in keys for dim in catalog.dimensions[key]})
        unknown = next((dim for dim in named if dim not in known), named[0])
        if len(keys) == 1:
            there = f"its dimensions: {', '.join(known)}" if known else "it has no partitions"
            raise SelectionError(f"--select {selector.text}: {keys[0]} has no dimension {unknown!r} ({there})")
        there = f"their dimensions: {', '.join(known)}" if known else "they have no partitions"
        raise SelectionError(f"--select {selector.text}: no asset matching {selector.pattern} has the "
                             f"dimension {unknown!r} ({there})")
    matched = []
    for key in having:
        allowed = {dim: _allowed(selector, dim, spec, catalog.dimensions[key][dim])
                   for dim, spec in selector.clauses}
        for index in catalog.by_key.get(key, ()):
            partition = dict(catalog.runs[index][1])
            if all(partition[dim] in values for dim, values in allowed.items()):
                matched.append(index)
    if not matched:
        shown = "; ".join(f"{dim}: " + _listed(dict.fromkeys(
            value for key in having for value in catalog.dimensions[key][dim])) for dim in dict.fromkeys(named))
        raise SelectionError(f"--select {selector.text} matches no run ({shown})")
    return matched


def _closure(start: Iterable[int], edges: Sequence[Iterable[int]]) -> set[int]:
    seen = set(start)
    stack = list(seen)
    while stack:
        for index in edges[stack.pop()]:
            if index not in seen:
                seen.add(index)
                stack.append(index)
    return seen


def resolve(catalog: Catalog, texts: Sequence[str]) -> set[int]:
    """The runs that the selectors TEXTS name, with the downstream of those ending in '+'."""
    chosen: set[int] = set()
    for text in texts:
        selector = parse(text)
        matched = _matched(catalog, selector)
        if selector.downstream:
            if catalog.downstream is None:
                raise SelectionError(f"--select {text}: what lies downstream is known from the plan: "
                                     "name the TARGETs too")
            chosen |= _closure(matched, catalog.downstream)
        else:
            chosen.update(matched)
    return chosen


@dataclass(frozen=True)
class RunSelection:
    runs: list[int]  # what the scheduler decides, in plan order: the selected runs and their upstream
    forced: set[int]  # what --force reruns even when up to date
    shown: set[int] | None  # the runs the table lists whatever their status; None: all


def select_runs(plan: Plan, texts: Sequence[str], force: bool, out: str) -> RunSelection:
    """What `quarl run --select TEXTS [--force]` decides: the selected runs and whatever of their
    upstream is not up to date; --force reruns exactly the selected ones."""
    if texts:
        chosen = resolve(plan_catalog(plan), texts)
        upstream = [[*dict.fromkeys(run.upstream())] for run in plan.runs]
        runs = sorted(_closure(chosen, upstream))
        shown: set[int] | None = chosen
    else:
        chosen = set(range(len(plan.runs)))
        runs, shown = list(range(len(plan.runs))), None
    too_long = [plan.runs[i].name for i in runs if plan.runs[i].partition and layout.too_long(
        layout.RunPaths(out, plan.runs[i].asset.key, plan.runs[i].partition))]
    if too_long:
        raise SelectionError("partition values too long for a folder name: " + ", ".join(too_long[:5]))
    return RunSelection(runs, chosen if force else set(), shown)


def select_records(records: Sequence[AttemptRecord], texts: Sequence[str], failed: bool,
                   plan: Plan | None = None) -> list[AttemptRecord]:
    """`quarl status`: the last attempts of the runs TEXTS select, on the plan when there is one,
    else on the history alone; with FAILED, only those that did not succeed."""
    if texts and plan is None:
        records = [records[i] for i in sorted(resolve(history_catalog(records), texts))]
    elif texts:
        catalog = plan_catalog(plan)
        wanted = {(catalog.runs[i][0], layout.join_partition_folder(catalog.runs[i][1]))
                  for i in resolve(catalog, texts)}
        records = [r for r in records if (r.asset, r.partition) in wanted]
    return [r for r in records if r.status != Status.SUCCEEDED] if failed else list(records)
