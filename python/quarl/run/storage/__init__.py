"""Where runs live, and how a finished attempt becomes the published run.

One interface, `Storage`, with two implementations chosen by what `--out` names:

    a folder        LocalStorage (storage.local): attempt folders beside the published ones, made
                    durable and published by one rename; a lock file keeps one quarl run at a time
    s3://B/PREFIX   ObjectStorage (storage.objects): each attempt uploaded under a prefix of its
                    own that is never written again, then one small pointer object, written with
                    a conditional write, commits it; a lease object keeps one quarl run at a time

The scheduler and the executors see only this interface: a run's `place` (its name in the history,
where it is published, the local folder its process writes into), the published run of a place,
the finished attempt's record, and `publish` of finished attempts, several at once if need be.
"""

from __future__ import annotations

from collections.abc import Sequence
from contextlib import AbstractContextManager
from typing import TYPE_CHECKING, Any, Protocol

from quarl.errors import QuarlError

if TYPE_CHECKING:
    from quarl import contract
    from quarl.run.executors.base import Job
    from quarl.run.history import History
    from quarl.run.plan import Plan

# The schemes an object store may be named by. gs:// and az:// are refused with the reason until
# their conditional writes are tested as S3's are; memory:// is a store inside this process.
SCHEMES = ("s3", "memory", "gs", "gcs", "az", "abfs")


class StorageError(QuarlError):
    """The output cannot be used as asked (a store without conditional writes, no credentials, no
    such bucket, access denied, another quarl run holding it): the command stops with this."""


class Place(Protocol):
    """One run's places: `name` names it in the history (its partition folder's name, or the
    asset's key), `published` where its published run is, `failed` where its last failure is kept;
    `attempt(id)` is the local folder an attempt's process writes into."""

    @property
    def name(self) -> str: ...

    @property
    def published(self) -> str: ...

    @property
    def failed(self) -> str: ...

    def attempt(self, attempt_id: str) -> str: ...


class Storage(Protocol):
    out: str  # the absolute folder, or the URL without a trailing "/"
    shown: str  # as the user typed it, for messages
    logs: str  # the local folder where quarl's own logs go (the warm servers')
    remote: bool
    broken: str | None  # why no more runs may be published (a lost lease), once it is so
    preload: Sequence[str]  # what a warm server imports so that each run need not

    @property
    def warnings(self) -> Sequence[str]:
        """What went wrong without changing any run's outcome."""

    def place(self, asset_key: str, partition: tuple[tuple[str, str], ...], name: str | None = None) -> Place:
        """Where the run of this asset at this partition is kept; `name` is the partition's folder
        name when the caller holds it already (a run without partitions has none: it is ignored)."""

    def upload_to(self, place: Any, attempt_id: str) -> str | None:
        """Where the attempt's process uploads its files when it is done; None: it leaves them in
        its folder, where quarl run publishes them."""

    def read_ahead(self, places: Sequence[Any]) -> None:
        """Reads what published_run will be asked of these places, all at once."""

    def published_run(self, place: Any) -> tuple[contract.RunRecord, contract.Value] | None:
        """The published run's record and value, when it is whole; else None."""

    def occupied(self, asset_key: str, partitioned: bool) -> str | None:
        """Why runs of this shape cannot be published for the asset (its other shape is there)."""

    def prepare(self, job: Job) -> None:
        """Makes the attempt's folder."""

    def attempt_record(self, job: Job) -> contract.RunRecord | None:
        """The finished attempt's own record, once every file it names is in place."""

    def value_written(self, job: Job, record: contract.RunRecord) -> bool:
        """Whether the value that the record names is in place as its process wrote it."""

    def published_folder(self, job: Job) -> str:
        """Where a published attempt's files are: its run's folder, or its attempt's prefix."""

    def write_decision(self, job: Job, record: dict[str, Any]) -> None: ...

    def publish(self, jobs: Sequence[Job]) -> list[Exception | None]:
        """Publishes finished attempts whose decision is written; per job, None or why not."""

    def make_durable(self) -> None:
        """Makes what publish has published durable, before a history row names it; raises
        OSError."""

    def keep_failed(self, job: Job) -> str:
        """Keeps the failed attempt as its run's last failure; returns where its files are."""

    def keep_failed_copy(self, job: Job) -> str:
        """Keeps, as its run's last failure, what can be kept of an attempt given up on, whose
        process may live on and write into its folder, which is left to it; returns where the
        failure's files are."""

    def discard(self, job: Job) -> None: ...

    def recover(self, plan: Plan) -> None:
        """Tidies what a killed quarl run or prune left."""

    def locked(self) -> AbstractContextManager[None]:
        """Holds the output for one quarl run (or prune) while the context lasts."""

    def history(self) -> AbstractContextManager[History]:
        """The history, open for writing, for the holder of `locked`."""

    def read_history(self) -> History | None:
        """The history for reading (status, graph, ui); None when there is none."""

    def changed_outside(self, folders: Sequence[str]) -> set[str]:
        """Which of these published runs' folders (as the history records them) no longer hold
        what quarl published."""

    def close(self) -> None: ...


def is_url(out: str) -> bool:
    scheme, sep, _ = out.partition("://")
    return bool(sep) and scheme.lower() in SCHEMES


def open_storage(out: str) -> Storage:
    """The storage that `--out` names: an object store by its URL's scheme, else a folder."""
    if is_url(out):
        from quarl.run.storage.objects import open_object_storage

        return open_object_storage(out)
    from quarl.run.storage.local import LocalStorage

    return LocalStorage(out)
