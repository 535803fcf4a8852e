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

import json
import os
import secrets
import shutil
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from quarl.errors import QuarlError
from quarl.run import layout
from quarl.run.history import FILE_NAME, AttemptRecord, History
from quarl.run.plan import Plan
from quarl.run.status import Status
from quarl.run.text import printable

if TYPE_CHECKING:
    from quarl.run.storage.objects import ObjectStorage
    from quarl.run.storage.store import Entry

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


# --- an output on an object store ------------------------------------------------------------------

DEFAULT_GRACE = 3600.0


def prune_store(plan: Plan, storage: ObjectStorage, command: str, dry_run: bool, grace: float,
                stream: IO[str]) -> None:
    """Prunes an output on an object store: the runs that the plan no longer has (their pointers,
    then their attempts), a failure's pointer once its run has been published since, every
    attempt that no pointer names and that is older than GRACE seconds (an attempt given up on,
    or one that a killed quarl run or worker left), and the multipart uploads under the output
    that were begun more than GRACE seconds ago and never completed. The pointers decide what
    stays; a younger attempt may still be a run's that is uploading."""
    from quarl.run.storage.objects import ATTEMPTS, CONTROL, FAILURE, POINTER

    def say(line: str) -> None:
        try:
            print(line, file=stream)
        except BrokenPipeError:
            pass

    now = time.time()
    planned = {storage.place(run.asset.key, run.partition).key for run in plan.runs}
    base = storage.key("")
    pointers: dict[str, dict[str, Any]] = {}  # run key: {"published": Entry, "failed": Entry}
    attempts: dict[tuple[str, str], list[Entry]] = {}  # (run key, attempt id): its objects
    for entry in storage.store.listing(base):
        relative = entry.key[len(base):]
        if relative.startswith(CONTROL + "/"):
            continue
        run_key, marker, rest = relative.partition(f"/{ATTEMPTS}/")
        if marker:
            attempts.setdefault((run_key, rest.partition("/")[0]), []).append(entry)
        elif relative.endswith("/" + POINTER):
            pointers.setdefault(relative[:-len(POINTER) - 1], {})["published"] = entry
        elif relative.endswith("/" + FAILURE):
            pointers.setdefault(relative[:-len(FAILURE) - 1], {})["failed"] = entry
    run_keys = sorted(pointers)
    documents = dict(zip(run_keys, (d for d, _ in storage.read_pointers(run_keys))))
    failures = dict(zip(run_keys, _failure_attempts(storage, run_keys, pointers)))
    removed_pointers: list[tuple[str, str]] = []  # (key, why)
    named: set[tuple[str, str]] = set()
    for run_key in run_keys:
        found = pointers[run_key]
        if run_key not in planned:
            why = "a run no longer planned"
            removed_pointers += [(f"{run_key}/{name}", why) for name, kind in ((POINTER, "published"),
                                                                             (FAILURE, "failed")) if kind in found]
            continue
        document = documents[run_key]
        if document is not None:
            named.add((run_key, str(document.get("attempt"))))
        failed = found.get("failed")
        if failed is not None:
            published = found.get("published")
            if published is not None and published.modified >= failed.modified:
                removed_pointers.append((f"{run_key}/{FAILURE}", "a failure of a run that has been published since"))
            elif failures[run_key] is not None:
                named.add((run_key, str(failures[run_key])))
    gone_runs = {key.rpartition("/")[0] for key, why in removed_pointers if why == "a run no longer planned"}
    removed_attempts: list[tuple[str, list[Entry], str]] = []
    for (run_key, attempt), entries in sorted(attempts.items()):
        if (run_key, attempt) in named:
            continue
        age = now - max(entry.modified for entry in entries)
        if run_key in gone_runs:
            removed_attempts.append((f"{run_key}/{ATTEMPTS}/{attempt}", entries, "an attempt of a run no longer planned"))
        elif age >= grace:
            removed_attempts.append((f"{run_key}/{ATTEMPTS}/{attempt}", entries,
                                     f"an attempt that no pointer names, {age:.0f} s old"))
    uploads = [upload for upload in storage.store.uploads(base) if now - upload.initiated >= grace]
    verb = "would remove" if dry_run else "removed"
    if not dry_run:
        # The pointers first: an attempt is removed only once nothing names it.
        storage.store.delete([storage.key(key) for key, _ in removed_pointers])
    for key, why in removed_pointers:
        say(f"{verb} {printable(storage.url(key))}: {why}")
    for prefix, entries, why in removed_attempts:
        if not dry_run:
            storage.store.delete([entry.key for entry in entries])
        say(f"{verb} {printable(storage.url(prefix))}/: {why}")
    for upload in uploads:
        if not dry_run:
            storage.store.abort(upload)
        say(f"{'would abort' if dry_run else 'aborted'} the incomplete upload of "
            f"{printable(storage.url(upload.key[len(base):]))}, begun {now - upload.initiated:.0f} s ago")
    if not (removed_pointers or removed_attempts or uploads):
        say("nothing to prune")
        return
    counts = (f"{len(removed_pointers)} pointer{'' if len(removed_pointers) == 1 else 's'}, "
              f"{len(removed_attempts)} attempt{'' if len(removed_attempts) == 1 else 's'}, "
              f"{len(uploads)} incomplete upload{'' if len(uploads) == 1 else 's'}")
    say(f"\n{counts} {'would be removed' if dry_run else 'removed'}")
    if not dry_run and gone_runs:
        with storage.history() as history:
            vanished = _vanished(plan, history.latest())
            if vanished:
                invocation = history.begin(command)
                history.add(invocation, [AttemptRecord(
                    asset=r.asset, partition=r.partition, label=r.label, plan_index=r.plan_index,
                    fingerprint=r.fingerprint, status=Status.PRUNED, started=now, duration=None,
                    exit_status=None, error=None, result_type=None, folder=None) for r in vanished])
                history.finish(invocation, 0)


def _failure_attempts(storage: ObjectStorage, run_keys: list[str],
                      pointers: dict[str, dict[str, Any]]) -> list[str | None]:
    """The attempt that each run's failure pointer names."""
    from quarl.run.storage.objects import FAILURE

    wanted = [key for key in run_keys if "failed" in pointers[key]]
    found = dict(zip(wanted, storage.store.get_many([storage.key(f"{key}/{FAILURE}") for key in wanted])))
    named: list[str | None] = []
    for key in run_keys:
        item = found.get(key)
        attempt = None
        if item is not None:
            try:
                attempt = json.loads(item[0]).get("attempt")
            except (ValueError, AttributeError):
                attempt = None
        named.append(attempt if isinstance(attempt, str) else None)
    return named
