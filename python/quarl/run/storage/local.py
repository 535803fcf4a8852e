"""The output folder on a local (or shared) file system: quarl.run.layout's folders, its durable
rename and its recovery, behind the Storage interface; a lock file keeps one quarl run at a time."""

from __future__ import annotations

import fcntl
import os
import secrets
import shutil
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from quarl import contract
from quarl.run import layout
from quarl.run.storage import StorageError

# What a failure whose process may live on keeps: what a failed folder is read for (a value written
# in part is of no use).
_FAILURE_FILES = ("stdout.log", "stderr.log", "result.json", contract.RUN_RECORD)

if TYPE_CHECKING:
    from quarl.run.executors.base import Job
    from quarl.run.history import History
    from quarl.run.plan import Plan


class LocalStorage:
    remote = False
    broken: str | None = None
    preload: Sequence[str] = ()
    warnings: Sequence[str] = ()

    def __init__(self, out: str, shown: str | None = None) -> None:
        self.shown = shown or out
        self.out = os.path.abspath(out)
        self.logs = self.shown

    def place(self, asset_key: str, partition: tuple[tuple[str, str], ...], name: str | None = None) -> layout.RunPaths:
        return layout.RunPaths(self.out, asset_key, partition, name)

    def upload_to(self, place: Any, attempt_id: str) -> None:
        return None

    def read_ahead(self, places: Sequence[Any]) -> None:
        pass  # a stat and a small read each, as they come

    def published_run(self, place: layout.RunPaths) -> tuple[contract.RunRecord, contract.Value] | None:
        return layout.published_run(place.published)

    def occupied(self, asset_key: str, partitioned: bool) -> str | None:
        folder, shown = f"{self.out}/{asset_key}", f"{self.shown.rstrip('/')}/{asset_key}"
        if partitioned and layout.holds_run(folder):
            return f"{shown} holds the run of {asset_key} from before it was partitioned: quarl prune removes it"
        if not partitioned and layout.holds_partitions(folder):
            return (f"{shown} holds partitions of {asset_key}, which is no longer partitioned: quarl prune "
                    "removes them")
        return None

    def prepare(self, job: Job) -> None:
        try:
            os.mkdir(job.attempt)
        except FileNotFoundError:  # the asset's folder, for its first partition
            os.makedirs(os.path.dirname(job.attempt), exist_ok=True)
            os.mkdir(job.attempt)

    def attempt_record(self, job: Job) -> contract.RunRecord | None:
        return contract.read_run_record(job.attempt)

    def value_written(self, job: Job, record: contract.RunRecord) -> bool:
        return record.stamp_matches(job.attempt)

    def published_folder(self, job: Job) -> str:
        return job.published

    def write_decision(self, job: Job, record: dict[str, Any]) -> None:
        contract.write_decision(job.attempt, record)

    def publish(self, jobs: Sequence[Job]) -> list[Exception | None]:
        # No reader looks into an attempt folder: the rename that publishes it makes its files
        # visible whole. Attempts that finish together are published together, sharing the syncs.
        errors: list[Exception | None] = [None] * len(jobs)
        ready = []
        for position, job in enumerate(jobs):
            try:
                contract.discard_request(job.attempt)
                ready.append(position)
            except OSError as error:
                errors[position] = error
        published = layout.publish_together([(jobs[p].attempt, jobs[p].published) for p in ready])
        for position, refused in zip(ready, published):
            errors[position] = refused
        return errors

    def make_durable(self) -> None:
        layout.make_renames_durable(self.out)

    def keep_failed(self, job: Job) -> str:
        try:
            layout.replace_folder(job.attempt, job.failed)
        except OSError:
            return job.attempt  # left where it is, and named so in the outcome
        return job.failed

    def keep_failed_copy(self, job: Job) -> str:
        # Named as an attempt folder: the next run's recovery removes it should this process die
        # before the rename.
        copy = job.attempt[:-len(job.attempt_id)] + secrets.token_hex(6)
        try:
            os.mkdir(copy)
            for name in _FAILURE_FILES:
                try:
                    shutil.copyfile(os.path.join(job.attempt, name), os.path.join(copy, name))
                except FileNotFoundError:
                    pass
            layout.replace_folder(copy, job.failed)
        except OSError:
            shutil.rmtree(copy, ignore_errors=True)
            return job.attempt
        return job.failed

    def discard(self, job: Job) -> None:
        shutil.rmtree(job.attempt, ignore_errors=True)

    def recover(self, plan: Plan) -> None:
        layout.recover_output(self.out, plan)

    def locked(self) -> Any:
        return locked(self.shown)

    @contextmanager
    def history(self) -> Iterator[History]:
        from quarl.run.history import History

        history = History.open(self.shown, create=True)
        assert history is not None
        try:
            yield history
        finally:
            history.close()

    def read_history(self) -> History | None:
        from quarl.run.history import History

        return History.open(self.shown, create=False)

    def changed_outside(self, folders: Sequence[str]) -> set[str]:
        return {folder for folder in folders if layout.changed_outside(folder)}

    def close(self) -> None:
        pass


class LockedError(StorageError):
    pass


@contextmanager
def locked(out: str) -> Iterator[None]:
    """One `quarl run` at a time per output folder: two would publish over each other."""
    try:
        lock = open(os.path.join(out, ".quarl.lock"), "a")
    except OSError as error:
        raise LockedError(f"cannot write in the output folder {out}: {error.strerror or error}") from None
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise LockedError(f"another quarl run is using {out}") from None
        yield
