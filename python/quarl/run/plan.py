"""From the inspection report to the plan: the assets, their runs, what each run consumes.

Pure data and pure functions: nothing here imports user code or touches the file system. An
asset is identified by the reference that `inputs=` records ("<file>:<function>"); a run is one
asset at one combination of its partition values.
"""

from __future__ import annotations

import functools
import hashlib
import heapq
import itertools
import json
import string
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, NamedTuple

from quarl.errors import QuarlError
from quarl.run.retry import RetryPolicy


class PlanError(QuarlError):
    """The project cannot be planned; `problems` holds one line per fault found."""

    def __init__(self, problems: Sequence[str]) -> None:
        super().__init__("the project cannot be planned:\n  " + "\n  ".join(problems))
        self.problems = list(problems)


# One encoder for every call: json.dumps with options builds a new one each time, which a plan
# of many runs would pay for twice a run.
_CANONICAL = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), sort_keys=True)


# What that encoder writes for a str (the whole text) and for an int, called directly: the plan
# of a project makes a canonical text of every partition value.
_STRING = json.encoder.encode_basestring
_INT = int.__repr__


def canonical(value: Any) -> str:
    """The one JSON text of a value that the plan compares, hashes and names folders after."""
    kind = type(value)
    if kind is str:
        return _STRING(value)
    if kind is int:
        return _INT(value)
    return _CANONICAL.encode(value)


# A partition: (dimension, canonical JSON text of its value) pairs, in the asset's dimension order.
Partition = tuple[tuple[str, str], ...]


# The first characters (after blanks) with which a text can read as JSON: anything else is
# not JSON, and a string that starts otherwise is shown bare without trying to parse it.
_JSON_STARTS = frozenset('"[{-0123456789tfnNI')


def value_text(json_text: str) -> str:
    """A partition value as tables and folder names show it: a string bare, unless its bare form
    would read back as another JSON value ("1", "null", "[]", '"x"'); every other value, and such
    a string, as its JSON text. So no two values look alike."""
    if not json_text.startswith('"'):
        return json_text  # a canonical text starts with its quote exactly when it is a string's
    value = json.loads(json_text)
    if isinstance(value, str):
        if value.lstrip()[:1] not in _JSON_STARTS:
            return value
        try:
            json.loads(value)
        except ValueError:
            return value
    return json_text


def partition_label(partition: Partition) -> str:
    """How a partition reads in messages and tables: "day=2024-05-01,n=1"; "-" for none."""
    if not partition:
        return "-"
    return ",".join(f"{dim}={value_text(text)}" for dim, text in partition)


def partition_object(partition: Partition) -> dict[str, Any]:
    return {dim: json.loads(text) for dim, text in partition}


@dataclass(frozen=True)
class Check:
    """A check of an asset's value (@quarl.check): the function a run's process calls on it."""

    name: str  # the function's name, unique among its asset's checks
    module: str
    function: str
    severity: str  # "error" or "warn"
    blocking: bool
    fingerprint: str  # the digest of its code; not part of any run's fingerprint

    def request(self) -> dict[str, Any]:
        """The check as a run's request names it."""
        return {"name": self.name, "module": self.module, "function": self.function,
                "severity": self.severity, "blocking": self.blocking, "fingerprint": self.fingerprint}


@dataclass(frozen=True)
class Asset:
    ref: str  # "<file>:<function>", as inputs= records it
    key: str  # name= when given, else "<module>.<function>": its folder and its name everywhere
    module: str  # the module a worker imports to run it
    function: str
    source: str
    python_version: str
    return_type: str | None
    inputs: tuple[tuple[str, str], ...]  # (parameter, upstream reference)
    dimensions: tuple[tuple[str, tuple[str, ...]], ...]  # (dimension, canonical value texts)
    # A digest of the project code the function refers to (helpers, classes, constants), which
    # the inspection computes; None when it refers to none. And a short digest of each of them.
    references: str | None = None
    references_parts: tuple[tuple[str, str], ...] = ()
    serializer: str | None = None  # serializer=, None for JSON ("json" or not given)
    serializer_digest: str | None = None  # of a MODULE:ATTRIBUTE of the project, and what it reaches
    reads: tuple[str, ...] = ()  # @quarl.reads: paths and globs, {DIM} filled per partition
    # @quarl.observe: its answer for each partition, by the partition's canonical text; None
    # without one.
    observed: tuple[tuple[str, str], ...] | None = None
    retry: RetryPolicy | None = None  # quarl.retry's; None: --retries
    checks: tuple[Check, ...] = ()
    batch: int | None = None  # runs one process makes at most (quarl.batch); None: as the command says

    @functools.cached_property
    def code(self) -> str:
        """What a run's fingerprint takes from its asset."""
        return code_digest(self)

    def code_parts(self) -> dict[str, str]:
        """The pieces of `code`, each by a name that a person can look for: the function, each
        definition of the project it reaches, the serializer, the interpreter."""
        parts = {self.key: _short(self.source)}
        parts.update(self.references_parts)
        if self.serializer is not None:
            parts["serializer=" + self.serializer] = (self.serializer_digest or "")[:16]
        parts["python"] = self.python_version
        return parts

    @property
    def partitioned(self) -> bool:
        return bool(self.dimensions)

    def partitions(self) -> list[Partition]:
        """Every combination of the dimensions' values, the first dimension varying slowest."""
        names = [name for name, _ in self.dimensions]
        return [tuple(zip(names, combo)) for combo in
                itertools.product(*(values for _, values in self.dimensions))]


@dataclass(frozen=True)
class Input:
    """What one parameter of a run receives: the value of one upstream run (`pinned`), or the list
    of {"partition": ..., "value": ...} objects of the matching upstream runs, in plan order."""

    parameter: str
    upstream: tuple[int, ...]  # run indices
    pinned: bool


@dataclass(frozen=True)
class Run:
    index: int
    asset: Asset
    partition: Partition
    inputs: tuple[Input, ...]

    @functools.cached_property
    def label(self) -> str:
        return partition_label(self.partition)

    @functools.cached_property
    def name(self) -> str:
        """The asset, and the partition in brackets when there is one."""
        return f"{self.asset.key}[{self.label}]" if self.partition else self.asset.key

    def upstream(self) -> Iterable[int]:
        for item in self.inputs:
            yield from item.upstream


@dataclass
class Plan:
    assets: list[Asset]  # in dependency order
    runs: list[Run]  # in plan order: by asset, then partition
    downstream: list[list[int]] = field(default_factory=list)  # run index -> consumer run indices

    def asset_runs(self, key: str) -> list[Run]:
        return [run for run in self.runs if run.asset.key == key]


# --- from records to assets -----------------------------------------------------------------------

def _asset_of(record: Mapping[str, Any], problems: list[str]) -> Asset | None:
    metadata = record["decorator_metadata"]
    function = record["function_name"]
    module = record.get("function_module") or record["module_path"]
    key = f"{module}.{function}"
    # The key names the asset's folder under --out: whatever the function's __module__ or
    # __name__ were made to say, it must stay one plain name there.
    if not (isinstance(module, str) and all(part.isidentifier() for part in module.split("."))):
        problems.append(f"{record['file_path']}:{function}: the module name {module!r} is not a "
                        "dotted Python name, so it cannot name the asset's folder")
        return None
    if not (isinstance(function, str) and function.isidentifier()):
        problems.append(f"{record['file_path']}:{function}: the function name {function!r} is not "
                        "a Python name, so it cannot name the asset's folder")
        return None
    name = metadata.get("name")
    if name is not None:
        fault = _folder_name_fault(name)
        if fault:
            problems.append(f"{key}: name={name!r} cannot be the name of a folder ({fault})")
            return None
        key = name
    dimensions = []
    for dim, spec in sorted((metadata.get("partitions") or {}).items()):
        if spec.get("kind") != "inline":
            problems.append(f"{key}: partition dimension {dim!r} is of unknown kind {spec.get('kind')!r}")
            return None
        # Repeated values name the same run: each is kept once, at its first place.
        texts = dict.fromkeys(canonical(value) for value in json.loads(spec["values_json"]))
        dimensions.append((dim, tuple(texts)))
    inputs = tuple(sorted((metadata.get("inputs") or {}).items()))
    serializer = metadata.get("serializer")
    if serializer == "json":
        serializer = None
    if record.get("serializer_problem"):
        # Found by the inspector, which can import what serializer= names.
        problems.append(f"{key}: {record['serializer_problem']}")
    for parameter, _ in inputs:
        if any(parameter == dim for dim, _ in dimensions):
            problems.append(f"{key}: {parameter!r} is both an input and a partition dimension")
    if record.get("observe_problem"):
        problems.append(f"{key}: {record['observe_problem']}")
    reads = tuple(record.get("reads") or ())
    for pattern in reads:
        unknown = [name for name in _placeholders(pattern) if all(name != dim for dim, _ in dimensions)]
        if unknown:
            problems.append(f"{key}: reads {pattern!r} names {{{unknown[0]}}}, which is not a partition "
                            "dimension of it")
    observed = record.get("observed")
    return Asset(ref=f"{record['file_path']}:{function}", key=key, module=module, function=function,
                 source=record["function_source"], python_version=record["python_version"],
                 return_type=record.get("return_type"), inputs=inputs, dimensions=tuple(dimensions),
                 references=record.get("references_sha256"),
                 references_parts=tuple(sorted((record.get("references_parts") or {}).items())),
                 serializer=serializer, serializer_digest=record.get("serializer_sha256"), reads=reads,
                 observed=tuple(sorted(observed.items())) if isinstance(observed, dict) else None,
                 retry=_retry_of(key, (record.get("options") or {}).get("retry"), problems),
                 batch=_batch_of(key, (record.get("options") or {}).get("batch"), problems))


def _placeholders(pattern: str) -> list[str]:
    """The {NAME} fields of a reads pattern; a pattern that str.format cannot read has none."""
    try:
        return [field for _, field, _, _ in string.Formatter().parse(pattern) if field is not None]
    except ValueError:
        return []


def _batch_of(key: str, found: Any, problems: list[str]) -> int | None:
    """The size that quarl.batch recorded; a record that misstates it is a plan error."""
    if found is None or (type(found) is int and found >= 1):
        return found
    problems.append(f"{key}: its quarl.batch option cannot be read ({found!r})")
    return None


def _retry_of(key: str, found: Any, problems: list[str]) -> RetryPolicy | None:
    """The policy that quarl.retry recorded; a record that misstates it is a plan error."""
    if found is None:
        return None
    try:
        times, delay, on = found["times"], found["delay"], found["on"]
        if (type(times) is int and times >= 0 and (delay is None or isinstance(delay, (int, float)))
                and isinstance(on, list) and all(isinstance(kind, str) for kind in on)):
            return RetryPolicy(times, None if delay is None else float(delay), tuple(on))
    except (KeyError, TypeError):
        pass
    problems.append(f"{key}: its quarl.retry options cannot be read ({found!r})")
    return None


def _with_checks(assets: list[Asset], checks: Iterable[Mapping[str, Any]]) -> list[Asset]:
    """The assets with the checks that name them; a check of something that is not an asset of
    the project, or two checks of one asset under one name, is a plan error."""
    by_ref = {asset.ref: asset for asset in assets}
    found: dict[str, list[Check]] = {}
    problems: list[str] = []
    for item in checks:
        if "problem" in item:
            problems.append(str(item["problem"]))
            continue
        check = Check(item["name"], item["module"], item["function"], item["severity"], item["blocking"],
                      item["fingerprint"])
        asset = by_ref.get(item["asset"])
        if asset is None:
            problems.append(f"check {check.module}.{check.function}: {item['asset']!r} is not an asset "
                            "of this project")
            continue
        same = found.setdefault(asset.ref, [])
        if any(other.name == check.name for other in same):
            first = next(other for other in same if other.name == check.name)
            problems.append(f"{asset.key}: two checks are named {check.name} ({first.module}.{first.function} "
                            f"and {check.module}.{check.function})")
            continue
        same.append(check)
    if problems:
        raise PlanError(list(dict.fromkeys(problems)))
    return [replace(asset, checks=tuple(sorted(found[asset.ref], key=lambda c: c.name)))
            if asset.ref in found else asset for asset in assets]


# Names that the output folder holds besides the assets' folders.
_RESERVED = ("quarl-history.db", "quarl-history.db-journal", "quarl-history.db-wal", "quarl-history.db-shm")


def _folder_name_fault(name: str) -> str:
    """Why NAME cannot be an asset's folder under --out; "" when it can."""
    if not name:
        return "it is empty"
    if "/" in name or "\0" in name:
        return "it holds '/' or NUL"
    if name.startswith("."):
        return "it starts with '.'"
    if len(name.encode("utf-8", "surrogatepass")) > 255:
        return "it is longer than 255 bytes"
    if name in _RESERVED:
        return "the history's file has it"
    return ""


def assets_of(records: Iterable[Mapping[str, Any]]) -> list[Asset]:
    """One asset per reference. The inspector reports an asset once per module that holds it (its
    own, and every module that imports it): those records are one asset. Two records that differ
    behind one reference are a plan error, as are inputs that are not assets of the project."""
    problems: list[str] = []
    by_ref: dict[str, Asset] = {}
    found_in: dict[str, list[str]] = {}
    for record in records:
        asset = _asset_of(record, problems)
        if asset is None:
            continue
        found_in.setdefault(asset.ref, []).append(record["module_path"])
        known = by_ref.setdefault(asset.ref, asset)
        # The first record names the module: in the compact report every record of one asset
        # names its defining module, so they agree.
        if ((known.key, known.source, known.inputs, known.dimensions, known.serializer, known.reads)
                != (asset.key, asset.source, asset.inputs, asset.dimensions, asset.serializer, asset.reads)):
            problems.append(f"{asset.ref} names two different assets ({known.key} and {asset.key}, "
                            f"found in {', '.join(dict.fromkeys(found_in[asset.ref]))})")
    keys: dict[str, Asset] = {}
    for asset in by_ref.values():
        first = keys.setdefault(asset.key, asset)
        if first.ref != asset.ref:
            # By module and function where those tell them apart, else by file.
            one, other = f"{first.module}.{first.function}", f"{asset.module}.{asset.function}"
            if one == other:
                one, other = first.ref, asset.ref
            problems.append(f"{asset.key} names two different assets ({one} and {other})")
            continue
        for parameter, ref in asset.inputs:
            if ref not in by_ref:
                problems.append(f"{asset.key}: input {parameter!r} refers to {ref!r}, "
                                "which is not an asset of this project")
    if problems:
        raise PlanError(list(dict.fromkeys(problems)))
    return list(by_ref.values())


def _dependency_order(assets: list[Asset]) -> list[Asset]:
    """Upstream before downstream; among assets that are free at the same time, by key, so that
    the order does not depend on how the modules were listed. A cycle is a plan error."""
    by_ref = {asset.ref: asset for asset in assets}
    waiting = {asset.ref: {ref for _, ref in asset.inputs} for asset in assets}
    consumers: dict[str, list[str]] = {}
    for asset in assets:
        for ref in waiting[asset.ref]:
            consumers.setdefault(ref, []).append(asset.ref)
    ready = [(asset.key, asset.ref) for asset in assets if not waiting[asset.ref]]
    heapq.heapify(ready)
    ordered: list[Asset] = []
    while ready:
        _, ref = heapq.heappop(ready)
        ordered.append(by_ref[ref])
        for consumer in consumers.get(ref, ()):
            waiting[consumer].discard(ref)
            if not waiting[consumer]:
                heapq.heappush(ready, (by_ref[consumer].key, consumer))
    if len(ordered) < len(assets):
        raise PlanError([_describe_cycle(by_ref, {ref for ref, rest in waiting.items() if rest})])
    return ordered


def _describe_cycle(by_ref: dict[str, Asset], stuck: set[str]) -> str:
    # Every stuck asset waits on another stuck one: follow the first such input until an asset
    # repeats; the path from its first visit is a cycle.
    ref = min(stuck, key=lambda r: by_ref[r].key)
    path: list[tuple[str, str]] = []
    seen: dict[str, int] = {}
    while ref not in seen:
        seen[ref] = len(path)
        parameter, upstream = next((p, r) for p, r in by_ref[ref].inputs if r in stuck)
        path.append((ref, parameter))
        ref = upstream
    cycle = path[seen[ref]:]
    steps = " -> ".join(f"{by_ref[r].key} (input {p!r})" for r, p in cycle)
    return f"dependency cycle: {steps} -> {by_ref[ref].key}"


# --- runs ---------------------------------------------------------------------------------------

def code_digest(asset: Asset) -> str:
    """What a run's fingerprint takes from its asset: the function's source and that of the
    project code it refers to, its serializer (and a serializer of the project's, its code), and
    the interpreter version. Hashed once per asset: the source of an asset with many partitions
    may hold them all."""
    fields = {"asset": asset.key, "source": asset.source, "python": asset.python_version}
    if asset.references is not None:
        fields["references"] = asset.references
    if asset.serializer is not None:  # JSON's is None, however it was spelled
        fields["serializer"] = asset.serializer
    if asset.serializer_digest is not None:
        fields["serializer_code"] = asset.serializer_digest
    return hashlib.sha256(canonical(fields).encode()).hexdigest()


def _short(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]


class Basis(NamedTuple):
    """Everything a run's value is made from, as a fingerprint sees it: its asset's code, its
    partition, the digests of the upstream values it consumes (by parameter, in plan order), the
    files it reads (path and content digest, by path) and the version observed from outside."""

    code: str
    partition: Partition
    inputs: tuple[tuple[str, tuple[str, ...]], ...] = ()
    reads: tuple[tuple[str, str], ...] = ()
    observed: str | None = None

    def document(self) -> dict[str, Any]:
        """As run records keep it (JSON)."""
        return {"code": self.code, "partition": [list(pair) for pair in self.partition],
                "inputs": [[parameter, list(digests)] for parameter, digests in self.inputs],
                "reads": [list(pair) for pair in self.reads], "observed": self.observed}

    @classmethod
    def from_document(cls, document: Any) -> Basis | None:
        """A recorded basis; None when it is missing or not one (a record of an older quarl)."""
        try:
            return cls(str(document["code"]), tuple((str(d), str(t)) for d, t in document["partition"]),
                       tuple((str(p), tuple(map(str, digests))) for p, digests in document["inputs"]),
                       tuple((str(path), str(digest)) for path, digest in document["reads"]),
                       None if document["observed"] is None else str(document["observed"]))
        except (KeyError, TypeError, ValueError):
            return None


def fingerprint(basis: Basis) -> str:
    """What decides whether a published run is still up to date: the digest of its basis. A rerun
    whose upstream values come out byte for byte the same leaves it as it was."""
    # canonical(basis.document()), written out: its keys in order, every leaf a string or null.
    inputs = ",".join(f"[{_STRING(parameter)},[{','.join(map(_STRING, digests))}]]"
                      for parameter, digests in basis.inputs)
    pairs = ",".join(f"[{_STRING(dim)},{_STRING(text)}]" for dim, text in basis.partition)
    reads = ",".join(f"[{_STRING(path)},{_STRING(digest)}]" for path, digest in basis.reads)
    observed = "null" if basis.observed is None else _STRING(basis.observed)
    text = (f'{{"code":{_STRING(basis.code)},"inputs":[{inputs}],"observed":{observed},'
            f'"partition":[{pairs}],"reads":[{reads}]}}')
    return hashlib.sha256(text.encode()).hexdigest()


def build_plan(records: Iterable[Mapping[str, Any]], checks: Iterable[Mapping[str, Any]] = ()) -> Plan:
    """The plan of the assets that the inspection's RECORDS describe, with the CHECKS it found."""
    assets = _dependency_order(_with_checks(assets_of(records), checks))
    by_ref = {asset.ref: asset for asset in assets}
    runs: list[Run] = []
    first_run: dict[str, int] = {}
    problems: list[str] = []
    for asset in assets:
        first_run[asset.ref] = len(runs)
        # Per input, the upstream runs grouped by the values of the dimensions shared with this
        # asset: a run looks its matches up instead of scanning them.
        matchers = []
        own_dims = {dim for dim, _ in asset.dimensions}
        for parameter, ref in asset.inputs:
            upstream = by_ref[ref]
            shared = [dim for dim, _ in upstream.dimensions if dim in own_dims]
            groups: dict[tuple[str, ...], list[int]] = {}
            start = first_run[ref]
            for offset, partition in enumerate(upstream.partitions()):
                values = dict(partition)
                groups.setdefault(tuple(values[d] for d in shared), []).append(start + offset)
            pinned = len(shared) == len(upstream.dimensions)
            matchers.append((parameter, upstream, shared, groups, pinned))
        for partition in asset.partitions():
            values = dict(partition)
            inputs = []
            for parameter, upstream, shared, groups, pinned in matchers:
                matched = groups.get(tuple(values[d] for d in shared), [])
                if pinned and not matched:
                    problems.append(f"{asset.key} ({partition_label(partition)}): input {parameter!r} "
                                    f"from {upstream.key} matches no run of it")
                inputs.append(Input(parameter, tuple(matched), pinned))
            runs.append(Run(len(runs), asset, partition, tuple(inputs)))
    if problems:
        raise PlanError(problems)
    downstream: list[list[int]] = [[] for _ in runs]
    for run in runs:
        for index in dict.fromkeys(run.upstream()):
            downstream[index].append(run.index)
    return Plan(assets, runs, downstream)

