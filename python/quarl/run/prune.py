"""`quarl prune`: removes from the output folder what the plan no longer has.

What goes: the published folder of an asset that is no longer planned (with its partitions), the
folder of a partition that its asset no longer has (an asset no longer partitioned has none), the
run of an asset from before it was partitioned, their kept `.failed` folders, and the `.failed`
folder of a run whose last attempt has succeeded since. Only a folder that has a history is
pruned, and only what that history knows as a run: whatever else lies there is not ours. The
runs that the plan no longer has get a last row "pruned" in the history, which then forgets them.

What goes is first moved aside, in one rename, to a name of its own at the top of the output
folder, which the next `quarl run` or `quarl prune` removes should this process die while
deleting it: a published folder is there whole or gone.
"""

from __future__ import annotations

import os
import secrets
import shutil
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

from quarl.errors import QuarlError
from quarl.run import layout
from quarl.run.history import FILE_NAME, AttemptRecord, History
from quarl.run.plan import Plan
from quarl.run.status import Status
from quarl.run.text import printable

_FAILED = ".failed"
_RECORDS = ("run.json", "result.json")


class PruneError(QuarlError):
    pass


@dataclass(frozen=True)
class Removal:
    path: str
    why: str
    # Only the files of the folder: the run of an asset from before it was partitioned, whose
    # folder may hold partitions published by an older quarl.
    files_only: bool = False


def check(out: str) -> None:
    """Refuses a folder that is not an output folder: without a history, nothing says which of
    its folders are runs."""
    if not os.path.isdir(out):
        raise PruneError(f"no output folder {out}")
    if not os.path.isfile(os.path.join(out, FILE_NAME)):
        raise _no_history(out)


def _no_history(out: str) -> PruneError:
    return PruneError(f"no run history in {out} (quarl run writes it): quarl prune removes only "
                      "the runs that a history records")


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


def removals(plan: Plan, out: str, latest: list[AttemptRecord],
             known: set[tuple[str, str]]) -> Iterator[Removal]:
    """What prune removes from OUT, in the order of the folders' names; `known` holds every run
    (asset, partition folder name) that the history has a row of."""
    assets = {asset.key: asset for asset in plan.assets}
    known_assets = {asset for asset, _ in known}
    succeeded = {(r.asset, r.partition) for r in latest if r.status.published}
    for name in _folders(out):
        path = os.path.join(out, name)
        run = _failed_of(name)
        if run is not None:
            if (run, "") not in known:
                continue
            if run not in assets or assets[run].partitioned:
                yield Removal(path, "a failure of a run no longer planned")
            elif (run, "") in succeeded:
                yield Removal(path, "a failure of a run that has succeeded since")
            continue
        if name.startswith(".") or name not in known_assets:
            continue
        asset = assets.get(name)
        if asset is None:
            if layout.holds_run(path) or layout.holds_partitions(path):
                yield Removal(path, "an asset no longer planned")
            continue
        if asset.partitioned and (name, "") in known and layout.holds_run(path):
            yield Removal(path, "the unpartitioned run of an asset now partitioned", files_only=True)
        # An asset no longer partitioned has no partition left in the plan.
        planned = {layout.partition_folder(partition) for partition in asset.partitions()} \
            if asset.partitioned else set()
        for child in _folders(path):
            run = _failed_of(child)
            if run is not None:
                if (name, run) not in known:
                    continue
                if run not in planned:
                    yield Removal(os.path.join(path, child), "a failure of a partition no longer planned")
                elif (name, run) in succeeded:
                    yield Removal(os.path.join(path, child), "a failure of a run that has succeeded since")
            elif child not in planned and (name, child) in known and \
                    layout.holds_run(os.path.join(path, child)):
                yield Removal(os.path.join(path, child), "a partition no longer planned")


def _remove(out: str, removal: Removal) -> None:
    aside = layout.pruned_aside(out, secrets.token_hex(6))
    if removal.files_only:
        os.mkdir(aside)
        names = [entry.name for entry in os.scandir(removal.path) if not entry.is_dir(follow_symlinks=False)]
        # The records go last: until then, what is left is still a run, which the next prune
        # takes up.
        for name in sorted(names, key=lambda name: name in _RECORDS):
            os.rename(os.path.join(removal.path, name), os.path.join(aside, name))
    else:
        os.rename(removal.path, aside)
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

    history = History.open(out, create=False)
    if history is None:
        raise _no_history(out)
    try:
        if not dry_run:
            layout.recover_output(out, plan)
        latest = history.latest()
        found = list(removals(plan, out, latest, history.runs()))
        vanished = _vanished(plan, latest)
        invocation = None
        if (found or vanished) and not dry_run:
            invocation = history.begin(command)
        for done, removal in enumerate(found):
            if not dry_run:
                try:
                    _remove(out, removal)
                except OSError as error:
                    if invocation is not None:
                        history.finish(invocation, 2)  # the next prune takes up the rest
                    raise PruneError(f"cannot remove {removal.path}: {error.strerror or error} "
                                     f"({done} of {len(found)} removed before it)") from None
            say(f"{'would remove' if dry_run else 'removed'} {printable(removal.path)}: {removal.why}")
        if invocation is not None:
            now = time.time()
            history.add(invocation, [AttemptRecord(
                asset=r.asset, partition=r.partition, label=r.label, plan_index=r.plan_index,
                fingerprint=r.fingerprint, status=Status.PRUNED, started=now, duration=None,
                exit_status=None, error=None, result_type=None, folder=None) for r in vanished])
            history.finish(invocation, 0)
    finally:
        history.close()
    runs = f"{len(vanished)} run{'' if len(vanished) == 1 else 's'} no longer planned"
    folders = f"{len(found)} folder{'' if len(found) == 1 else 's'}"
    if not found and not vanished:
        say("nothing to prune")
    elif dry_run:
        say(f"\n{folders} would be removed; {runs} would be marked pruned in the history")
    else:
        say(f"\n{folders} removed; {runs} marked pruned in the history")
