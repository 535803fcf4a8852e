"""What each page shows, as JSON-ready data: the plan made when `quarl ui` started, joined with
the history and the output folder as they are at the request.

The history is opened read-only for each request and closed before the answer is sent: every
query reads its rows to the end, so no read transaction is left open while `quarl run` commits.
"""

from __future__ import annotations

import itertools
import os
import shlex
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quarl import contract
from quarl.run import graph, layout
from quarl.run.history import AttemptRecord, Brief, History
from quarl.run.plan import Plan, Run, value_text
from quarl.run.status import Status
from quarl.ui import files

# Lists that can grow with the project (an unpartitioned consumer of 10,000 partitions has 10,000
# upstream runs) are cut here; the page says how many more there are.
LIST_LIMIT = 200
INVOCATIONS_SHOWN = 20
CHART_LIMIT = 20_000  # the attempts of an asset that its chart shows, the last ones
MISSING = "missing"  # a run of the plan that the history has no attempt of


class NotFound(Exception):
    pass


def _bucket(status: Status | None) -> str:
    """Which part of an asset's bar a run's last status falls in."""
    if status is None:
        return MISSING
    if status.usable:
        return "succeeded"
    if status.failed:
        return "failed"
    return "other"


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


class Project:
    def __init__(self, plan: Plan, out: str) -> None:
        self.plan = plan
        self.folders = files.folders_of(out)
        self.out = self.folders.out
        self.assets = {asset.key: asset for asset in plan.assets}
        self.runs_of: dict[str, list[Run]] = {asset.key: [] for asset in plan.assets}
        self.folder_name: list[str] = []  # per run: its partition folder's name, "" for none
        self.run_by_name: dict[tuple[str, str], Run] = {}
        for run in plan.runs:
            name = layout.partition_folder(run.partition) if run.partition else ""
            self.folder_name.append(name)
            self.runs_of[run.asset.key].append(run)
            self.run_by_name[(run.asset.key, name)] = run
        self.key_of = {asset.ref: asset.key for asset in plan.assets}
        self.upstream = {a.key: list(dict.fromkeys(self.key_of[ref] for _, ref in a.inputs))
                         for a in plan.assets}
        self.downstream: dict[str, list[str]] = {a.key: [] for a in plan.assets}
        for key, upstream in self.upstream.items():
            for name in upstream:
                self.downstream[name].append(key)

    @contextmanager
    def history(self) -> Iterator[History | None]:
        history = self.folders.history()
        try:
            yield history
        finally:
            if history is not None:
                history.close()

    def _latest(self, history: History | None, asset: str | None = None) -> dict[tuple[str, str], Brief]:
        if history is None:
            return {}
        return {(r.asset, r.partition): r for r in history.latest_brief(asset)}


    # --- what every page polls -------------------------------------------------------------------

    def version(self) -> dict[str, Any]:
        with self.history() as history:
            if history is None:
                return {"version": "none", "running": False}
            attempt, invocation, finished = history.version()
        return {"version": f"{attempt}.{invocation}.{finished}",
                "running": invocation > 0 and finished is None}

    # --- the graph --------------------------------------------------------------------------------

    def graph(self) -> dict[str, Any]:
        with self.history() as history:
            latest = self._latest(history)
            invocations = history.invocations(1) if history is not None else []
        assets = []
        for asset in self.plan.assets:
            records = [latest[(asset.key, self.folder_name[run.index])] for run in self.runs_of[asset.key]
                       if (asset.key, self.folder_name[run.index]) in latest]
            counts = Counter(_bucket(r.status) for r in records)
            counts[MISSING] = len(self.runs_of[asset.key]) - len(records)
            worst = graph.asset_statuses(records).get(asset.key)
            assets.append({"key": asset.key, "partitioned": asset.partitioned,
                           "runs": len(self.runs_of[asset.key]),
                           "status": worst.value if worst else None,
                           "counts": {name: counts[name] for name in ("succeeded", "failed", "other", MISSING)},
                           "inputs": [[parameter, self.key_of[ref]] for parameter, ref in asset.inputs]})
        last = invocations[0] if invocations else None
        return {"out": self.out, "assets": assets,
                "invocation": vars(last) if last else None}

    # --- an asset ---------------------------------------------------------------------------------

    def asset(self, key: str) -> dict[str, Any]:
        asset = self.assets.get(key)
        if asset is None:
            raise NotFound(f"no asset {key!r} in this project")
        runs = self.runs_of[key]
        with self.history() as history:
            latest = self._latest(history, key)
            attempts = history.briefs(asset=key, limit=CHART_LIMIT) if history is not None else []
        names = [self.folder_name[run.index] for run in runs]
        records = [latest.get((key, name)) for name in names]
        # (A Status is a str: it goes into JSON as its text.)
        statuses = [record.status if record else MISSING for record in records]
        durations = [_ms(record.duration) if record else None for record in records]
        started = [_ms(record.started) if record else None for record in records]
        # The value shown: the asset's own, or that of the partition that last succeeded.
        shown = None
        for run, record in zip(runs, records):
            if record is not None and record.status.usable and (shown is None or record.started > shown[1]):
                shown = (run, record.started)
        if shown is None and not asset.partitioned:
            shown = (runs[0], 0.0)
        value = None
        if shown is not None:
            folder = self.folders.published(shown[0].asset.key, shown[0].partition)
            preview = self.folders.preview(folder) if folder is not None else None
            if preview is not None:
                value = {"partition": self.folder_name[shown[0].index], "label": shown[0].label, **preview}
        return {
            "key": key, "module": asset.module, "function": asset.function, "source": asset.source,
            "return_type": asset.return_type,
            "dimensions": [{"name": name, "values": [value_text(v) for v in values]}
                           for name, values in asset.dimensions],
            "upstream": self.upstream[key], "downstream": self.downstream[key],
            "runs": {"names": names, "status": statuses,
                     "duration": durations, "started": started},
            "attempts": [[_ms(r.started), _ms(r.duration), r.status] for r in attempts
                         if r.duration is not None],
            "value": value,
        }

    # --- a run ------------------------------------------------------------------------------------

    def _run_link(self, run: Run, latest: dict[tuple[str, str], Brief]) -> dict[str, Any]:
        name = self.folder_name[run.index]
        record = latest.get((run.asset.key, name))
        return {"asset": run.asset.key, "partition": name, "label": run.label,
                "status": record.status.value if record else MISSING}

    def run(self, key: str, partition: str) -> dict[str, Any]:
        run = self.run_by_name.get((key, partition))
        if run is None:
            raise NotFound(f"no run {key!r} [{partition}] in this project")
        folders = self.folders
        with self.history() as history:
            latest = self._latest(history)
            attempts = history.attempts(key, partition) if history is not None else []
        published_folder = folders.published(run.asset.key, run.partition)
        document = folders.record(published_folder, contract.RUN_RECORD) if published_folder else None
        record = contract.RunRecord(document) if document is not None else None
        decision = contract.decision_of(
            folders.record(published_folder, contract.DECISION_RECORD) if published_folder else None, record)
        consumed = record.consumed if record else None
        upstream = []
        for position, index in enumerate(itertools.islice(run.upstream(), LIST_LIMIT)):
            link = self._run_link(self.plan.runs[index], latest)
            if isinstance(consumed, list) and position < len(consumed):
                link["attempt"] = consumed[position]
            upstream.append(link)
        downstream = [self._run_link(self.plan.runs[i], latest)
                      for i in self.plan.downstream[run.index][:LIST_LIMIT]]
        last = latest.get((key, partition))
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
        return {
            "asset": key, "partition": partition, "label": run.label,
            "partitioned": run.asset.partitioned,
            "partition_values": [[dim, value_text(text)] for dim, text in run.partition],
            "fingerprint": run.fingerprint,
            "status": last.status.value if last else MISSING,
            "attempts": [_attempt(invocation, r) for invocation, r in attempts],
            "upstream": _cut(upstream, sum(len(item.upstream) for item in run.inputs)),
            "downstream": _cut(downstream, len(self.plan.downstream[run.index])),
            "published": published, "failed": failed,
            "value": folders.preview(published_folder) if published_folder else None,
        }

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
