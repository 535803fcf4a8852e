"""Which runs `--select` names: `PATTERN[DIM=VALUES,...]+`.

PATTERN is a glob on the asset's key; a bare name (no "." and no glob) that is no key names the
asset of that function or of that last part of its key, when only one has it. The bracket
narrows its runs: VALUES is a partition value as tables print it or as the user means it (`k=1`
is the string "1" where the dimension has no integer 1), a glob (`day=2024-06-0*`), or an
inclusive range in the order the dimension declares its values (`day=2024-06-01..2024-06-07`);
dimensions it does not name match every value. A trailing `+` adds every run downstream of the
matched ones.

The same selectors work on a plan (`quarl run`, `quarl status TARGET...`) and on the history
alone (`quarl status`), which knows the runs but not what feeds what: a `Catalog` is what both
give.
"""

from __future__ import annotations

import fnmatch
import json
import math
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass

from quarl.errors import QuarlError
from quarl.run import layout
from quarl.run.history import AttemptRecord
from quarl.run.plan import Plan, canonical, value_text
from quarl.run.status import Status


class SelectionError(QuarlError):
    """A selector that cannot be resolved: a usage error, whose message says what there is."""


# The bracket starts at the first "[" followed by a dimension name and "=": a "[...]" before it
# is a character class of the asset glob (`shop.[rs]*[day=1]`).
_SELECTOR = re.compile(r"(?P<pattern>.*?)\[(?P<body>[^\[\]=,]+=.*)\](?P<plus>\+?)", re.DOTALL)
_SHOWN_VALUES = 5
_GLOB = re.compile(r"[*?\[]")


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
            raise SelectionError(f"--select {text}: no asset pattern before '+'")
        return Selector(text, pattern, (), plus)
    clauses = []
    for item in match["body"].split(","):
        dim, equals, values = item.partition("=")
        if not equals or not dim or not values:
            raise SelectionError(f"--select {text}: expected DIM=VALUES in the brackets, found {item!r}")
        clauses.append((dim, values))
    return Selector(text, match["pattern"] or "*", tuple(clauses), bool(match["plus"]))


class Catalog:
    """The runs a selector chooses from: each asset's runs, its dimensions and their values in
    declared order, each value by its canonical JSON text. `downstream` is None where what feeds
    what is not known."""

    keys: list[str]
    downstream: list[list[int]] | None = None

    def __init__(self) -> None:
        self._sets: dict[tuple[str, str], frozenset[str]] = {}

    def names(self, key: str) -> set[str]:
        """What a bare name may call the asset besides its key: its function's name."""
        return {key.rpartition(".")[2]}

    def dimensions(self, key: str) -> list[str]:
        raise NotImplementedError

    def ids(self, key: str, dim: str) -> Sequence[str]:
        """The dimension's values, in declared order."""
        raise NotImplementedError

    def runs(self, key: str) -> Sequence[int]:
        raise NotImplementedError

    def value(self, index: int, dim: str) -> str:
        raise NotImplementedError

    def lookup(self, key: str, dim: str, spec: str) -> str | None:
        """The value that SPEC names, if the dimension has it: SPEC read as JSON (`1`, `"1"`),
        else as a string's bare text (`2024-06-01`, or `1` where the dimension has no integer
        1), else as the value's folder name (`%221%22`)."""
        known = self._sets.get((key, dim))
        if known is None:
            known = self._sets[(key, dim)] = frozenset(self.ids(key, dim))
        try:
            meant: str | None = canonical(json.loads(spec))
        except (ValueError, RecursionError):
            meant = None
        for text in (meant, canonical(spec), layout.folder_name_value(spec)):
            if text in known:
                return text
        return None

    def printed_values(self, key: str, dim: str, limit: int | None = None) -> list[str]:
        return [value_text(value) for value in list(self.ids(key, dim))[:limit]]


def _forms(text: str) -> Iterator[str]:
    """What a glob is tried on, until it matches: the value as printed, a string's bare text
    where it prints quoted, and its folder name where that differs."""
    printed = value_text(text)
    yield printed
    if printed == text and text.startswith('"'):
        yield json.loads(text)
    folder = layout.printed_folder_name(printed)
    if folder != printed:
        yield folder


class PlanCatalog(Catalog):
    """A plan's runs."""

    def __init__(self, plan: Plan) -> None:
        super().__init__()
        self.plan = plan
        self.keys = [asset.key for asset in plan.assets]
        self.downstream = plan.downstream
        self._assets = {asset.key: asset for asset in plan.assets}
        self._first: dict[str, int] = {}
        first = 0
        for asset in plan.assets:
            self._first[asset.key] = first
            first += math.prod(len(values) for _, values in asset.dimensions)

    def names(self, key: str) -> set[str]:
        return {*super().names(key), self._assets[key].function}

    def dimensions(self, key: str) -> list[str]:
        return [dim for dim, _ in self._assets[key].dimensions]

    def ids(self, key: str, dim: str) -> Sequence[str]:
        return dict(self._assets[key].dimensions)[dim]

    def runs(self, key: str) -> Sequence[int]:
        asset = self._assets[key]
        first = self._first[key]
        return range(first, first + math.prod(len(values) for _, values in asset.dimensions))

    def value(self, index: int, dim: str) -> str:
        return dict(self.plan.runs[index].partition)[dim]

    def folder(self, index: int) -> tuple[str, str]:
        run = self.plan.runs[index]
        return run.asset.key, layout.partition_folder(run.partition) if run.partition else ""


class HistoryCatalog(Catalog):
    """The runs the history knows. A dimension's declared order is the order in which the plan
    that recorded them met its values."""

    def __init__(self, records: Sequence[AttemptRecord]) -> None:
        super().__init__()
        keys: dict[str, None] = {}
        first_seen: dict[str, dict[str, dict[str, int]]] = {}
        self._runs: dict[str, list[int]] = {}
        self._partitions: list[dict[str, str]] = []
        texts: dict[str, str] = {}  # folder name -> canonical text, each worked out once
        for index, record in enumerate(records):
            keys[record.asset] = None
            self._runs.setdefault(record.asset, []).append(index)
            partition = {}
            for dim, name in layout.split_partition_folder(record.partition) if record.partition else ():
                text = texts.get(name)
                if text is None:
                    text = texts[name] = layout.folder_name_value(name) or canonical(name)
                partition[dim] = text
            self._partitions.append(partition)
            seen = first_seen.setdefault(record.asset, {})
            for dim, value in partition.items():
                at = seen.setdefault(dim, {})
                at[value] = min(at.get(value, record.plan_index), record.plan_index)
        self.keys = list(keys)
        self.downstream = None
        self._values = {key: {dim: sorted(at, key=at.__getitem__) for dim, at in first_seen.get(key, {}).items()}
                        for key in self.keys}

    def dimensions(self, key: str) -> list[str]:
        return list(self._values[key])

    def ids(self, key: str, dim: str) -> Sequence[str]:
        return self._values[key][dim]

    def runs(self, key: str) -> Sequence[int]:
        return self._runs.get(key, [])

    def value(self, index: int, dim: str) -> str:
        return self._partitions[index][dim]


# --- resolving --------------------------------------------------------------------------------

def _allowed(catalog: Catalog, selector: Selector, key: str, dim: str, spec: str) -> set[str]:
    """The values of one dimension of one asset that VALUES names."""
    exact = catalog.lookup(key, dim, spec)
    if exact is not None:
        return {exact}
    ids = catalog.ids(key, dim)
    if ".." not in spec:
        if not _GLOB.search(spec):
            return set()
        glob = re.compile(fnmatch.translate(spec)).match
        return {value for value in ids if any(glob(form) for form in _forms(value))}
    low, _, high = spec.partition("..")
    ends = []
    for end, default in ((low, 0), (high, len(ids) - 1)):
        value = catalog.lookup(key, dim, end) if end else None
        if end and value is None:
            raise SelectionError(f"--select {selector.text}: {end!r} is not a value of {dim} "
                                 f"(its values: {_listed(catalog, key, dim)})")
        ends.append(list(ids).index(value) if value is not None else default)
    return set(list(ids)[ends[0]:ends[1] + 1])


def _listed(catalog: Catalog, key: str, dim: str) -> str:
    names = catalog.printed_values(key, dim, _SHOWN_VALUES + 1)
    return ", ".join(names[:_SHOWN_VALUES]) + (", ..." if len(names) > _SHOWN_VALUES else "")


def _keys(catalog: Catalog, selector: Selector) -> list[str]:
    """The assets PATTERN names: the keys it globs; else, for a bare name, the one asset whose
    function (or key's last part) has that name."""
    pattern = selector.pattern
    keys = [key for key in catalog.keys if fnmatch.fnmatchcase(key, pattern)]
    if keys or "." in pattern or _GLOB.search(pattern):
        return keys
    keys = [key for key in catalog.keys if pattern in catalog.names(key)]
    if len(keys) > 1:
        raise SelectionError(f"--select {selector.text}: {pattern!r} names {len(keys)} assets: "
                             f"{', '.join(keys)}; write one of them")
    return keys


def _matched(catalog: Catalog, selector: Selector) -> list[int]:
    keys = _keys(catalog, selector)
    if not keys:
        raise SelectionError(f"--select {selector.pattern} matches no asset "
                             f"(the assets are: {', '.join(catalog.keys)})")
    if not selector.clauses:
        return [index for key in keys for index in catalog.runs(key)]
    named = [dim for dim, _ in selector.clauses]
    having = [key for key in keys if all(dim in catalog.dimensions(key) for dim in named)]
    if not having:
        known = sorted({dim for key in keys for dim in catalog.dimensions(key)})
        unknown = next((dim for dim in named if dim not in known), named[0])
        if len(keys) == 1:
            there = f"its dimensions: {', '.join(known)}" if known else "it has no partitions"
            raise SelectionError(f"--select {selector.text}: {keys[0]} has no dimension {unknown!r} ({there})")
        there = f"their dimensions: {', '.join(known)}" if known else "they have no partitions"
        raise SelectionError(f"--select {selector.text}: no asset matching {selector.pattern} has the "
                             f"dimension {unknown!r} ({there})")
    matched: list[int] = []
    for key in having:
        allowed = [(dim, _allowed(catalog, selector, key, dim, spec)) for dim, spec in selector.clauses]
        if all(allowed_values for _, allowed_values in allowed):
            matched.extend(index for index in catalog.runs(key)
                           if all(catalog.value(index, dim) in values for dim, values in allowed))
    if not matched:
        values = "; ".join(f"{dim}: " + _listed(catalog, having[0], dim) for dim in dict.fromkeys(named))
        raise SelectionError(f"--select {selector.text} matches no run ({values})")
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
    listed: set[int] | None  # the runs the table lists whatever their status; None: all


def select_runs(plan: Plan, texts: Sequence[str], force: bool) -> RunSelection:
    """What `quarl run --select TEXTS [--force]` decides: the selected runs and whatever of their
    upstream is not up to date; --force reruns exactly the selected ones."""
    if texts:
        chosen = resolve(PlanCatalog(plan), texts)
        upstream = [[*dict.fromkeys(run.upstream())] for run in plan.runs]
        runs = sorted(_closure(chosen, upstream))
        listed: set[int] | None = chosen
    else:
        chosen = set(range(len(plan.runs)))
        runs, listed = list(range(len(plan.runs))), None
    too_long = [plan.runs[i].name for i in runs
                if layout.too_long(plan.runs[i].asset.key, plan.runs[i].partition)]
    if too_long:
        raise SelectionError("partition values too long for a folder name: " + ", ".join(too_long[:5]))
    return RunSelection(runs, chosen if force else set(), listed)


def select_records(records: Sequence[AttemptRecord], texts: Sequence[str], failed: bool,
                   plan: Plan | None = None) -> list[AttemptRecord]:
    """`quarl status`: the last attempts of the runs TEXTS select, on the plan when there is one,
    else on the history alone; with FAILED, only those that did not succeed."""
    if texts and plan is None:
        records = [records[i] for i in sorted(resolve(HistoryCatalog(records), texts))]
    elif texts and plan is not None:
        catalog = PlanCatalog(plan)
        wanted = {catalog.folder(i) for i in resolve(catalog, texts)}
        records = [r for r in records if (r.asset, r.partition) in wanted]
    return [r for r in records if r.status not in (Status.SUCCEEDED, Status.WARNED)] if failed else list(records)
