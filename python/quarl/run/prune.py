"""`quarl prune`: removes from the output folder what the plan no longer has.

What goes: the published folder of an asset that is no longer planned (with its partitions), the
folder of a partition that its asset no longer has, their kept `.failed` folders, and the
`.failed` folder of a run whose last attempt has succeeded since. Only folders that hold a run
(its run.json or result.json) are touched: whatever else lies in the output folder is not ours.
The runs that the plan no longer has get a last row "pruned" in the history, which then forgets
them.

A folder is first renamed aside, in one step, to an attempt name that the next `quarl run`
removes should this process die while deleting it: a published folder is there whole or gone.
"""

from __future__ import annotations

import os
import secrets
import shutil
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

from quarl.run import layout
from quarl.run.history import AttemptRecord, History
from quarl.run.plan import Plan
from quarl.run.status import Status

_FAILED = ".failed"


class PruneError(Exception):
    pass


@dataclass(frozen=True)
class Removal:
    path: str
    why: str


def _holds_run(path: str) -> bool:
    return any(os.path.isfile(os.path.join(path, name)) for name in ("run.json", "result.json"))


def _folders(path: str) -> list[str]:
    try:
        names = sorted(os.listdir(path))
    except (FileNotFoundError, NotADirectoryError):
        return []
    return [name for name in names if os.path.isdir(os.path.join(path, name))
            and not os.path.islink(os.path.join(path, name))]


def _failed_of(name: str) -> str | None:
    """The run folder name that a kept failure `.NAME.failed` belongs to."""
    if name.startswith(".") and name.endswith(_FAILED) and ".attempt-" not in name:
        return name[1:-len(_FAILED)]
    return None


def removals(plan: Plan, out: str, latest: list[AttemptRecord]) -> Iterator[Removal]:
    """What prune removes from OUT, in the order of the folders' names."""
    assets = {asset.key: asset for asset in plan.assets}
    succeeded = {(r.asset, r.partition) for r in latest if r.status == Status.SUCCEEDED}
    for name in _folders(out):
        path = os.path.join(out, name)
        run = _failed_of(name)
        if run is not None:
            if run not in assets or assets[run].partitioned:
                yield Removal(path, "a failure of a run no longer planned")
            elif (run, "") in succeeded:
                yield Removal(path, "a failure of a run that has succeeded since")
            continue
        if name.startswith("."):
            continue
        asset = assets.get(name)
        if asset is None:
            if _holds_run(path) or any(_holds_run(os.path.join(path, child)) for child in _folders(path)):
                yield Removal(path, "an asset no longer planned")
            continue
        if not asset.partitioned:
            continue
        planned = {layout.partition_folder(partition) for partition in asset.partitions()}
        for child in _folders(path):
            run = _failed_of(child)
            if run is not None:
                if run not in planned:
                    yield Removal(os.path.join(path, child), "a failure of a partition no longer planned")
                elif (name, run) in succeeded:
                    yield Removal(os.path.join(path, child), "a failure of a run that has succeeded since")
            elif child not in planned and not child.startswith(".") and _holds_run(os.path.join(path, child)):
                yield Removal(os.path.join(path, child), "a partition no longer planned")


def _remove(path: str) -> None:
    parent, name = os.path.split(path)
    aside = os.path.join(parent, f".{name}.attempt-pruned-{secrets.token_hex(6)}")
    os.rename(path, aside)
    shutil.rmtree(aside)


def _vanished(plan: Plan, latest: list[AttemptRecord]) -> list[AttemptRecord]:
    """The runs of the history that the plan no longer has."""
    planned = {(run.asset.key, layout.partition_folder(run.partition) if run.partition else "")
               for run in plan.runs}
    return [r for r in latest if (r.asset, r.partition) not in planned]


def prune(plan: Plan, out: str, command: str, dry_run: bool, stream: IO[str]) -> None:
    output: list[IO[str]] = [stream]

    def say(line: str) -> None:
        # A reader that went away stops the listing, not the pruning.
        if output:
            try:
                print(line, file=output[0])
            except BrokenPipeError:
                output.clear()

    # Read-only for a dry run; otherwise a prune is recorded, in a new history if need be.
    history = History.open(out, create=not dry_run)
    try:
        latest = history.latest() if history is not None else []
        found = list(removals(plan, out, latest))
        vanished = _vanished(plan, latest)
        invocation = None
        if history is not None and (found or vanished) and not dry_run:
            invocation = history.begin(command)
        for done, removal in enumerate(found):
            if not dry_run:
                try:
                    _remove(removal.path)
                except OSError as error:
                    if history is not None and invocation is not None:
                        history.finish(invocation, 2)  # the next prune takes up the rest
                    raise PruneError(f"cannot remove {removal.path}: {error} "
                                     f"({done} of {len(found)} removed before it)") from None
            say(f"{'would remove' if dry_run else 'removed'} {removal.path}: {removal.why}")
        if history is not None and invocation is not None:
            now = time.time()
            history.add(invocation, [AttemptRecord(
                asset=r.asset, partition=r.partition, label=r.label, plan_index=r.plan_index,
                fingerprint=r.fingerprint, status=Status.PRUNED, started=now, duration=None,
                exit_status=None, error=None, result_type=None, folder=None) for r in vanished])
            history.finish(invocation, 0)
    finally:
        if history is not None:
            history.close()
    runs = f"{len(vanished)} run{'' if len(vanished) == 1 else 's'} no longer planned"
    folders = f"{len(found)} folder{'' if len(found) == 1 else 's'}"
    if not found and not vanished:
        say("nothing to prune")
    elif dry_run:
        say(f"\n{folders} would be removed; {runs} would be marked pruned in the history")
    else:
        say(f"\n{folders} removed; {runs} marked pruned in the history")
