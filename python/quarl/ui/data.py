"""What each page shows, as JSON-ready data: the plan made when `quarl ui` started, joined with
the history and the output folder as they are at the request.

The history is opened read-only for each request and closed before the answer is sent: every
query reads its rows to the end, so no read transaction is left open while `quarl run` commits.

An asset may have 100,000 partitions: its page never holds a row per run. The last attempt of
each run is one byte (its status) and two floats (its start and duration); the partition grid is
counted here, in cells of several partitions each when there are more than a page can draw, and
the list of runs goes out a page at a time.
"""

from __future__ import annotations

import itertools
import math
import os
import re
import shlex
import threading
import time
from array import array
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any, NamedTuple

from quarl import contract
from quarl.run import graph, layout
from quarl.run.checking import result_text, stale
from quarl.run.freshness import Freshness, Stopped
from quarl.run.history import AttemptRecord, CheckRecord, History, Published
from quarl.run.plan import Check, Plan, Run, partition_label, value_text
from quarl.run.status import Status
from quarl.ui import files

# Lists that can grow with the project (an unpartitioned consumer of 10,000 partitions has 10,000
# upstream runs) are cut here; the page says how many more there are.
LIST_LIMIT = 200
INVOCATIONS_SHOWN = 20
CHART_LIMIT = 20_000  # the attempts of an asset that its chart shows, the last ones
MISSING = "missing"  # a run of the plan that the history has no attempt of
PAGE_ROWS = 50  # runs in a page of an asset's list
# An asset of up to CELL_LIMIT partitions has a cell per partition; a larger one has cells of
# several, at most LINE_CELLS of them in a row (one dimension) or GRID_CELLS in a table.
CELL_LIMIT = 10_000
LINE_CELLS = 2_000
GRID_CELLS = 2_500

# A run's last status as one byte: 0 for none (missing, or pruned since), else its position here.
_STATUSES = (MISSING, *(status.value for status in Status))
_CODE = {text: code for code, text in enumerate(_STATUSES)}
_CODE[Status.PRUNED.value] = 0
BUCKETS = ("succeeded", "failed", "other", MISSING)
# Status code -> its bucket's position in BUCKETS, for bytes.translate.
_BUCKET_TABLE = bytes([BUCKETS.index(MISSING if code == 0 else
                                     "succeeded" if Status(text).clean else
                                     "failed" if Status(text).failed or text == Status.CHECK_ERROR else "other")
                       for code, text in enumerate(_STATUSES)] + [0] * (256 - len(_STATUSES)))
_ATTEMPT_ID = re.compile("[0-9a-f]{12}")
_USABLE = frozenset(_CODE[status.value] for status in Status if status.usable)


class NotFound(Exception):
    pass


def _check_result(check: Check, last: CheckRecord | None, published: Published | None) -> list[Any] | None:
    """A check's last result on one run, as the asset page lists it: [passed, failed or warned,
    the attempt it was evaluated on, its message, why it is stale or None]; None when it was
    never evaluated."""
    if last is None:
        return None
    return [result_text(last.result), last.attempt, last.result.message, stale(check, last, published)]


def _attempt(invocation: int, record: AttemptRecord) -> dict[str, Any]:
    return {"invocation": invocation, "status": record.status.value, "started": record.started,
            "duration": record.duration, "exit_status": record.exit_status, "error": record.error,
            "result_type": record.result_type}


def _slots(command: str) -> int | None:
    """How many runs a `quarl run` ran at once, from its command line: --jobs, or as many as this
    machine has CPUs when it ran here without; None on a Dask cluster of unknown size."""
    try:
        words = shlex.split(command)
    except ValueError:
        return None
    jobs = None
    for position, word in enumerate(words):
        if word in ("-j", "--jobs") and position + 1 < len(words):
            jobs = words[position + 1]
        elif word.startswith("--jobs="):
            jobs = word[len("--jobs="):]
        elif word.startswith("-j") and len(word) > 2:
            jobs = word[2:]
    if jobs is not None:
        return int(jobs) if jobs.isdigit() and int(jobs) > 0 else None
    if "dask" in words:
        return None
    return os.cpu_count() or 1


def _ms(seconds: float | None) -> float | None:
    """Times to the millisecond: what the pages show, in a third of the JSON."""
    return None if seconds is None else round(seconds, 3)


def _cut(items: list[Any], total: int) -> dict[str, Any]:
    return {"items": items, "more": total - len(items)}


class _Names:
    """The partition folder names of one asset's runs, by position in the asset, and back."""

    def __init__(self, runs: Sequence[Run]) -> None:
        # Not through partition_folder's cache: that would keep a second entry for every run.
        folder = layout.partition_folder.__wrapped__
        self.names = [folder(run.partition) if run.partition else "" for run in runs]
        self.position = {name: index for index, name in enumerate(self.names)}


class _Last:
    """The last attempt of each run of one asset: its status code, its start and its duration
    (-1 for none)."""

    def __init__(self, count: int) -> None:
        self.status = bytearray(count)
        self.started = array("d", [-1.0]) * count
        self.duration = array("d", [-1.0]) * count
        self.shown = -1  # the run whose value the asset shows: the last that succeeded
        self.shown_started = -1.0

    def buckets(self) -> bytes:
        return bytes(self.status.translate(_BUCKET_TABLE))

    def counts(self) -> dict[str, int]:
        buckets = self.buckets()
        return {name: buckets.count(position) for position, name in enumerate(BUCKETS)}


class _Worst(NamedTuple):
    asset: str
    status: Status


def _worst(key: str, codes: bytes | bytearray) -> str | None:
    """The worst last status among some runs, as `quarl graph` colours an asset."""
    present = [_Worst(key, Status(_STATUSES[code])) for code in set(codes) if code]
    worst = graph.asset_statuses(present).get(key)
    return worst.value if worst else None


class Geometry(NamedTuple):
    """How an asset's partitions are drawn: R rows (the first dimension's values) by C columns
    (the second's; a single dimension is one row), repeated for each of G combinations of the
    other dimensions, the run at (row, column, group) being (row * C + column) * G + group in
    plan order. Binned, a cell counts `rows_per` rows by `columns_per` columns of every group."""

    rows: int
    columns: int
    groups: int
    rows_per: int = 1
    columns_per: int = 1
    binned: bool = False

    @property
    def cell_groups(self) -> int:
        return 1 if self.binned else self.groups

    @property
    def cell_rows(self) -> int:
        return -(-self.rows // self.rows_per)

    @property
    def cell_columns(self) -> int:
        return -(-self.columns // self.columns_per)

    @property
    def cells(self) -> int:
        return self.cell_groups * self.cell_rows * self.cell_columns

    def spans(self, cell: int) -> tuple[range, range, range]:
        """The rows, columns and groups of one cell."""
        group, rest = divmod(cell, self.cell_rows * self.cell_columns)
        row, column = divmod(rest, self.cell_columns)
        return (range(row * self.rows_per, min(self.rows, (row + 1) * self.rows_per)),
                range(column * self.columns_per, min(self.columns, (column + 1) * self.columns_per)),
                range(self.groups) if self.binned else range(group, group + 1))

    def positions(self, cell: int) -> list[int]:
        """The runs of one cell, in plan order."""
        rows, columns, groups = self.spans(cell)
        return [(r * self.columns + c) * self.groups + g for r in rows for c in columns for g in groups]


def geometry(dimensions: Sequence[tuple[str, Sequence[str]]]) -> Geometry:
    sizes = [len(values) for _, values in dimensions]
    total = math.prod(sizes)
    if len(sizes) < 2:
        columns = sizes[0] if sizes else 1
        if total <= CELL_LIMIT:
            return Geometry(1, columns, 1)
        return Geometry(1, columns, 1, 1, -(-columns // LINE_CELLS), True)
    rows, columns = sizes[0], sizes[1]
    groups = total // (rows * columns) if total else 1
    if total <= CELL_LIMIT:
        return Geometry(rows, columns, groups)
    # Cells as near square as the two dimensions allow, no more than GRID_CELLS of them.
    cell_rows = max(1, min(rows, math.isqrt(GRID_CELLS * rows // columns)))
    cell_columns = max(1, min(columns, GRID_CELLS // cell_rows))
    return Geometry(rows, columns, groups, -(-rows // cell_rows), -(-columns // cell_columns), True)


class Project:
    def __init__(self, plan: Plan, out: str) -> None:
        self.plan = plan
        self.folders = files.folders_of(out)
        self.out = self.folders.out
        self.assets = {asset.key: asset for asset in plan.assets}
        # The runs of an asset are consecutive in plan order: its first and how many.
        self.first: dict[str, int] = {}
        self.count: dict[str, int] = {asset.key: 0 for asset in plan.assets}
        for run in plan.runs:
            key = run.asset.key
            self.first.setdefault(key, run.index)
            self.count[key] += 1
        # Every page of an asset and the graph's counts read its runs' folder names: made here,
        # once (a third of a second for 100,000 runs), rather than at the first page.
        self._names = {asset.key: _Names(self.runs_of(asset.key)) for asset in plan.assets}
        self._lock = threading.Lock()
        self._cached: tuple[str, tuple[int, int, float | None] | None, _Last] | None = None
        self.key_of = {asset.ref: asset.key for asset in plan.assets}
        self.upstream = {a.key: list(dict.fromkeys(self.key_of[ref] for _, ref in a.inputs))
                         for a in plan.assets}
        self.downstream: dict[str, list[str]] = {a.key: [] for a in plan.assets}
        for key, upstream in self.upstream.items():
            for name in upstream:
                self.downstream[name].append(key)
        self._stale = _StaleRuns(self)

    def close(self) -> None:
        """Ends what reads the folder beside the requests (the stale runs' reading)."""
        self._stale.close()

    @contextmanager
    def history(self) -> Iterator[History | None]:
        history = self.folders.history()
        try:
            yield history
        finally:
            if history is not None:
                history.close()

    def runs_of(self, key: str) -> list[Run]:
        first = self.first.get(key, 0)
        return self.plan.runs[first:first + self.count[key]]

    def names(self, key: str) -> _Names:
        return self._names[key]

    def folder_name(self, run: Run) -> str:
        return self.names(run.asset.key).names[run.index - self.first[run.asset.key]]

    def _last(self, history: History | None, key: str) -> _Last:
        """The last attempt of each run of asset `key` that the plan has."""
        position = self.names(key).position
        last = _Last(self.count[key])
        if history is None:
            return last
        status, started, duration, code = last.status, last.started, last.duration, _CODE

        def visit(asset: str, partition: str, text: str, start: float, took: float | None) -> None:
            at = position.get(partition)
            if at is None:
                return  # a partition no longer planned
            status[at] = value = code[text]
            if value:  # else pruned since: as if never run
                started[at] = start
                duration[at] = -1.0 if took is None else took
            if value in _USABLE and start > last.shown_started:
                last.shown, last.shown_started = at, start

        history.scan_last(key, visit)
        return last

    def _last_of(self, history: History | None, key: str) -> _Last:
        """_last(), kept for the history's version it was read at: an asset's page
        asks for the asset and for a page of its runs at once, and then for other pages."""
        version = history.version() if history is not None else None
        with self._lock:
            cached = self._cached
            if cached is not None and cached[0] == key and cached[1] == version:
                return cached[2]
            last = self._last(history, key)
            self._cached = (key, version, last)
            return last


    # --- what every page polls -------------------------------------------------------------------

    def version(self) -> dict[str, Any]:
        with self.history() as history:
            if history is None:
                return {"version": "none", "running": False}
            version = history.version()
        return {"version": ".".join(map(str, version)), "running": _running(version)}

    # --- the graph --------------------------------------------------------------------------------

    def graph(self) -> dict[str, Any]:
        statuses = {key: bytearray(count) for key, count in self.count.items()}
        positions = {key: self.names(key).position for key in self.count}
        code = _CODE

        def visit(asset: str, partition: str, text: str, start: float, took: float | None) -> None:
            known = positions.get(asset)
            at = known.get(partition) if known is not None else None
            if at is not None:
                statuses[asset][at] = code[text]

        with self.history() as history:
            if history is not None:
                history.scan_last(None, visit)
            invocations = history.invocations(1) if history is not None else []
        assets = []
        stale = self._stale.reasons()
        for asset in self.plan.assets:
            codes = statuses[asset.key]
            buckets = codes.translate(_BUCKET_TABLE)
            first = self.first.get(asset.key, 0)
            assets.append({"key": asset.key, "partitioned": asset.partitioned,
                           "runs": len(codes), "status": _worst(asset.key, codes),
                           "counts": {name: buckets.count(i) for i, name in enumerate(BUCKETS)},
                           "stale": None if stale is None else sum(
                               1 for i in range(first, first + len(codes)) if stale[i]),
                           "inputs": [[parameter, self.key_of[ref]] for parameter, ref in asset.inputs]})
        last = invocations[0] if invocations else None
        return {"out": self.out, "assets": assets,
                "invocation": vars(last) if last else None}

    # --- an asset ---------------------------------------------------------------------------------

    def asset(self, key: str) -> dict[str, Any]:
        asset = self.assets.get(key)
        if asset is None:
            raise NotFound(f"no asset {key!r} in this project")
        runs = self.runs_of(key)
        with self.history() as history:
            last = self._last_of(history, key)
            attempts = history.timings(key, CHART_LIMIT) if history is not None else []
            last_checks = history.last_checks(key) if history is not None and asset.checks else {}
            published = history.published(key) if history is not None and asset.checks else {}
        # The value shown: the asset's own, or that of the partition that last succeeded.
        shown = runs[last.shown] if last.shown >= 0 else runs[0] if runs and not asset.partitioned else None
        value = None
        if shown is not None:
            folder = self.folders.published(shown.asset.key, shown.partition)
            preview = self.folders.preview(folder) if folder is not None else None
            if preview is not None:
                value = {"partition": self.folder_name(shown), "label": shown.label, **preview}
        return {
            "key": key, "module": asset.module, "function": asset.function, "source": asset.source,
            "return_type": asset.return_type,
            "upstream": self.upstream[key], "downstream": self.downstream[key],
            "runs": len(runs), "counts": last.counts(), "worst": _worst(key, last.status),
            "grid": self._grid(key, last),
            "stale": self._stale_of(key),
            "attempts": [[_ms(started), _ms(duration), status] for started, duration, status in attempts],
            "value": value,
            # Each run's folder name and label, for the checks' results, which are in that order.
            "check_runs": [[name, run.label] for name, run in zip(self.names(key).names, runs)]
            if asset.checks else [],
            "checks": [{"name": check.name, "severity": check.severity, "blocking": check.blocking,
                        "results": [_check_result(check, last_checks.get((key, name), {}).get(check.name),
                                                  published.get((key, name))) for name in self.names(key).names]}
                       for check in asset.checks],
        }

    def _grid(self, key: str, last: _Last) -> dict[str, Any]:
        """The partition grid: a status per cell, or, binned, the counts of a cell's runs by
        bucket, cells in the order group, row, column."""
        dimensions = self.assets[key].dimensions
        shape = geometry(dimensions)

        def axis(dimension: tuple[str, Sequence[str]] | None, per: int) -> dict[str, Any]:
            if dimension is None:
                return {"name": None, "labels": [""]}
            name, values = dimension
            labels = []
            for first in range(0, len(values), per):
                end = min(len(values), first + per) - 1
                labels.append(value_text(values[first]) if first == end else
                              f"{value_text(values[first])} … {value_text(values[end])}")
            return {"name": name, "labels": labels}

        row_dimension, column_dimension = (dimensions[0], dimensions[1]) if len(dimensions) > 1 else \
            (None, dimensions[0] if dimensions else None)
        others = dimensions[2:]
        grid: dict[str, Any] = {
            "rows": axis(row_dimension, shape.rows_per), "columns": axis(column_dimension, shape.columns_per),
            "groups": [[f"{name}={value_text(values[g // stride % len(values)])}"
                        for (name, values), stride in zip(others, _strides(others))]
                       for g in range(shape.cell_groups)],
            "binned": shape.binned,
            "per_cell": shape.rows_per * shape.columns_per * (shape.groups if shape.binned else 1),
        }
        if not shape.binned:
            names = self.names(key).names
            order = [(r * shape.columns + c) * shape.groups + g for g in range(shape.groups)
                     for r in range(shape.rows) for c in range(shape.columns)]
            grid["status"] = [_STATUSES[last.status[p]] for p in order]
            grid["names"] = [names[p] for p in order]
            return grid
        buckets = last.buckets()
        counts = []
        worst = []
        width = shape.columns * shape.groups  # the runs of one row of the first dimension
        for cell in range(shape.cells):
            rows, columns, _ = shape.spans(cell)
            tally = [0, 0, 0, 0]
            for r in rows:
                piece = buckets[r * width + columns.start * shape.groups:r * width + columns.stop * shape.groups]
                for bucket in range(4):
                    tally[bucket] += piece.count(bucket)
            counts.append(tally)
            worst.append(BUCKETS[1] if tally[1] else BUCKETS[2] if tally[2] else
                         MISSING if tally[3] else BUCKETS[0])
        grid["counts"] = counts
        grid["status"] = worst
        return grid

    def runs(self, key: str, show: str, order: str, page: int, cell: int | None) -> dict[str, Any]:
        """A page of an asset's runs, of one status bucket (or "all"), in plan order, slowest
        or latest first, of one cell of the grid or of all."""
        asset = self.assets.get(key)
        if asset is None:
            raise NotFound(f"no asset {key!r} in this project")
        if show not in (*BUCKETS, "all") or order not in ("plan", "slowest", "latest"):
            raise NotFound(f"no list of runs show={show!r} order={order!r}")
        with self.history() as history:
            last = self._last_of(history, key)
        shape = geometry(asset.dimensions)
        if cell is not None and not 0 <= cell < shape.cells:
            raise NotFound(f"no cell {cell} in the grid of {key!r}")
        chosen: Sequence[int] = range(len(last.status)) if cell is None else shape.positions(cell)
        if show != "all":
            wanted = BUCKETS.index(show)
            buckets = last.buckets()
            chosen = [p for p in chosen if buckets[p] == wanted]
        if order != "plan":
            times = last.duration if order == "slowest" else last.started
            chosen = sorted(chosen, key=times.__getitem__, reverse=True)
        pages = max(1, -(-len(chosen) // PAGE_ROWS))
        page = min(max(page, 0), pages - 1)
        runs, names, first = self.plan.runs, self.names(key).names, self.first.get(key, 0)
        rows = []
        for p in chosen[page * PAGE_ROWS:(page + 1) * PAGE_ROWS]:
            started, duration = last.started[p], last.duration[p]
            rows.append([names[p], partition_label(runs[first + p].partition), _STATUSES[last.status[p]],
                         _ms(duration) if duration >= 0 else None, _ms(started) if started >= 0 else None])
        return {"key": key, "total": len(chosen), "page": page, "pages": pages, "rows": rows}

    def _stale_of(self, key: str) -> dict[str, Any] | None:
        """What is stale among an asset's runs, as its grid lays them out: the reasons of each
        cell's run, or the count of stale runs in each cell of several; None until known."""
        stale = self._stale.reasons()
        if stale is None:
            return None
        first, count = self.first.get(key, 0), self.count[key]
        mine = stale[first:first + count]
        shape = geometry(self.assets[key].dimensions)
        if not shape.binned:
            order = [(r * shape.columns + c) * shape.groups + g for g in range(shape.groups)
                     for r in range(shape.rows) for c in range(shape.columns)]
            return {"runs": sum(1 for reasons in mine if reasons), "cells": [mine[p] for p in order]}
        return {"runs": sum(1 for reasons in mine if reasons),
                "cells": [sum(1 for p in shape.positions(cell) if mine[p]) for cell in range(shape.cells)]}

    # --- a run ------------------------------------------------------------------------------------

    def _run_links(self, history: History | None, runs: list[Run]) -> list[dict[str, Any]]:
        """Links to runs with their last status, read for these runs only."""
        wanted: dict[str, list[str]] = {}
        for run in runs:
            wanted.setdefault(run.asset.key, []).append(self.folder_name(run))
        found = {(key, partition): status for key, partitions in wanted.items()
                 for partition, status in (history.last_statuses(key, partitions) if history else {}).items()}
        links = []
        for run in runs:
            name = self.folder_name(run)
            status = found.get((run.asset.key, name), MISSING)
            links.append({"asset": run.asset.key, "partition": name, "label": run.label,
                          "status": MISSING if status == Status.PRUNED.value else status})
        return links

    def run(self, key: str, partition: str) -> dict[str, Any]:
        at = self.names(key).position.get(partition) if key in self.assets else None
        if at is None:
            raise NotFound(f"no run {key!r} [{partition}] in this project")
        run = self.plan.runs[self.first[key] + at]
        folders = self.folders
        upstream_runs = [self.plan.runs[i] for i in itertools.islice(run.upstream(), LIST_LIMIT)]
        downstream_runs = [self.plan.runs[i] for i in self.plan.downstream[run.index][:LIST_LIMIT]]
        with self.history() as history:
            running = history is not None and _running(history.version())
            attempts = history.attempts(key, partition) if history is not None else []
            upstream = self._run_links(history, upstream_runs)
            downstream = self._run_links(history, downstream_runs)
            checks = history.checks_of(key, partition) if history is not None and run.asset.checks else {}
        published_folder = folders.published(run.asset.key, run.partition)
        document = folders.record(published_folder, contract.RUN_RECORD) if published_folder else None
        record = contract.RunRecord(document) if document is not None else None
        decision = contract.decision_of(
            folders.record(published_folder, contract.DECISION_RECORD) if published_folder else None, record)
        consumed = record.consumed if record else None
        if isinstance(consumed, list):
            for link, attempt in zip(upstream, consumed):
                link["attempt"] = attempt
        last = attempts[-1][1] if attempts else None
        if last is not None and last.status == Status.PRUNED:
            last = None
        failed = None
        failed_folder = folders.failed(run.asset.key, run.partition) \
            if last is not None and last.status.failed else None
        if failed_folder is not None:
            failed = {"folder": folders.relative(failed_folder),
                      "stdout": folders.log_tail(failed_folder, "stdout.log"),
                      "stderr": folders.log_tail(failed_folder, "stderr.log")}
        published = None
        if record is not None and published_folder is not None:
            published = {"folder": folders.relative(published_folder), "attempt": record.attempt,
                         "started": decision and decision.get("started"),
                         "duration": decision and decision.get("duration"),
                         "fingerprint": record.fingerprint,
                         "stdout": folders.log_tail(published_folder, "stdout.log"),
                         "stderr": folders.log_tail(published_folder, "stderr.log")}
        stale = self._stale.reasons()
        return {
            "asset": key, "partition": partition, "label": run.label,
            "partitioned": run.asset.partitioned,
            "partition_values": [[dim, value_text(text)] for dim, text in run.partition],
            "stale": None if stale is None else stale[run.index],
            "status": last.status.value if last else MISSING,
            # Each attempt with every result of a check evaluated on its value, in order.
            "attempts": [{**_attempt(invocation, r), "checks": [[c.name, result_text(c), c.message]
                                                                  for c in checks.get(place, ())]}
                         for place, (invocation, r) in enumerate(attempts, 1)],
            "upstream": _cut(upstream, sum(len(item.upstream) for item in run.inputs)),
            "downstream": _cut(downstream, len(self.plan.downstream[run.index])),
            "published": published, "failed": failed,
            "live": self._in_progress(run) if running else None,
            "value": folders.preview(published_folder) if published_folder else None,
        }

    def _in_progress(self, run: Run) -> dict[str, Any] | None:
        """The attempt of a run that a `quarl run` is making now, beside its published folder,
        and the ends of its logs; the newest when a killed `quarl run` left older ones. Only in
        an output folder: an attempt bound for an object store runs in a scratch folder of the
        machine that runs it."""
        if not isinstance(self.folders, files.LocalFolders):
            return None
        paths = layout.RunPaths(self.folders.out, run.asset.key, run.partition)
        prefix = f".{paths.name}.attempt-"
        newest: tuple[float, str] | None = None
        try:
            with os.scandir(paths.parent) as entries:
                for entry in entries:
                    if entry.name.startswith(prefix) and _ATTEMPT_ID.fullmatch(entry.name[len(prefix):]) \
                            and entry.is_dir(follow_symlinks=False):
                        # The folder changes last when the worker starts and its logs are made.
                        changed = entry.stat(follow_symlinks=False).st_mtime
                        if newest is None or changed > newest[0]:
                            newest = (changed, entry.path)
        except OSError:
            return None
        if newest is None:
            return None
        folder = newest[1]
        return {"folder": self.folders.relative(folder), "attempt": folder[-12:], "started": _ms(newest[0]),
                "stdout": self.folders.log_tail(folder, "stdout.log"),
                "stderr": self.folders.log_tail(folder, "stderr.log")}

    # --- one `quarl run` --------------------------------------------------------------------------

    def invocation(self, ident: int | None) -> dict[str, Any]:
        with self.history() as history:
            if history is None:
                return {"invocation": None, "recent": [], "attempts": []}
            recent = history.invocations(INVOCATIONS_SHOWN)
            if ident is None:
                chosen = recent[0] if recent else None
            else:
                chosen = history.invocation(ident)
                if chosen is None:
                    raise NotFound(f"no invocation {ident} in the history")
            attempts = history.briefs(invocation=chosen.id) if chosen is not None else []
        return {"invocation": vars(chosen) if chosen else None,
                "slots": _slots(chosen.command) if chosen else None,
                "recent": [vars(i) for i in recent],
                "attempts": [[r.asset, r.partition, r.label, r.status, _ms(r.started), _ms(r.duration)]
                             for r in attempts]}


class _StaleRuns:
    """The reasons each planned run is stale (none: up to date), from the one read model that
    `quarl status` reads too. Read again when the history changes, and every few seconds for
    what changes outside it (a value edited, a file read); a plan of many runs is read in a
    thread of its own, and the pages show what was read last meanwhile."""

    AGE = 3.0  # seconds a reading is shown without a look at the files it read
    SYNCHRONOUS = 10_000  # runs read within a request

    def __init__(self, project: Project) -> None:
        self.project = project
        self._lock = threading.Lock()
        self._known: tuple[object, float, list[tuple[str, ...]]] | None = None  # history version, when, reasons
        self._reader: threading.Thread | None = None
        self._stop = threading.Event()

    def reasons(self) -> list[tuple[str, ...]] | None:
        with self.project.history() as history:
            version = history.version() if history is not None else None
        with self._lock:
            known = self._known
            if known is not None and known[0] == version and time.monotonic() - known[1] < self.AGE:
                return known[2]
            if len(self.project.plan.runs) > self.SYNCHRONOUS:
                if (self._reader is None or not self._reader.is_alive()) and not self._stop.is_set():
                    self._reader = threading.Thread(target=self._read, args=(version,), daemon=True)
                    self._reader.start()
                return known[2] if known is not None else None
        self._read(version)
        return self._known[2] if self._known is not None else None

    def close(self) -> None:
        """Stops a reading under way and waits for it: its connection to the history is closed
        before the server's process ends."""
        self._stop.set()
        with self._lock:
            reader = self._reader
        if reader is not None:
            reader.join()

    def _read(self, version: object) -> None:
        try:
            with self.project.history() as history:
                states = Freshness(self.project.plan, self.project.folders.storage, history, os.getcwd(),
                                   self.project.folder_name).states(stop=self._stop)
        except Stopped:
            return
        # Runs stale for the same reasons share one tuple of them (most runs of a large plan do).
        shared: dict[tuple[str, ...], tuple[str, ...]] = {}
        found = [shared.setdefault(reasons, reasons)
                 for reasons in (tuple(states[i].reasons) for i in range(len(self.project.plan.runs)))]
        with self._lock:
            self._known = (version, time.monotonic(), found)


def _running(version: tuple[int, int, float | None]) -> bool:
    """Whether the last `quarl run` has not recorded its end: it runs (or was killed)."""
    _, invocation, finished = version
    return invocation > 0 and finished is None


def _strides(dimensions: Sequence[tuple[str, Sequence[str]]]) -> list[int]:
    """For each dimension, how many combinations of the later ones each of its values spans."""
    strides = []
    stride = 1
    for _, values in reversed(dimensions):
        strides.append(stride)
        stride *= len(values)
    return strides[::-1]
