"""The output folder on an object store (`--out s3://BUCKET/PREFIX`).

    PREFIX/<key>/PUBLISHED.json                      the pointer that publishes a run (unpartitioned)
    PREFIX/<key>/<dim=value,...>/PUBLISHED.json      one partition's pointer
    .../attempts/<attempt id>/...                    an attempt's files: value, logs, result.json,
                                                     run.json (uploaded last), attempt.json
    .../FAILED.json                                  names the run's last failed attempt
    PREFIX/_quarl/lease.json                         the lease of the quarl run that holds the output
    PREFIX/_quarl/history.db                         the history's snapshot after each commit

An attempt runs in a local scratch folder and its process uploads it under a prefix of its own,
which nothing writes again once quarl run has decided it. `quarl run` alone then commits the run:
it writes the pointer (the attempt, its fingerprint, the value's file, size and digest, the
upstream attempts consumed) with a conditional write, If-Match the ETag it read, or If-None-Match
for a first publication. A refused or unanswered commit is read back: the pointer naming this
attempt means the commit happened and its answer was lost; anything else is a conflict, reported,
and nothing is overwritten. Readers read the pointer, then the files of the attempt it names, and
never list a prefix to decide what is published.
"""

from __future__ import annotations

import hashlib
import json
import os
import secrets
import shutil
import socket
import sqlite3
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from quarl import contract
from quarl.run import layout
from quarl.run.storage import StorageError
from quarl.run.storage.store import Refused, Store, Unanswered, open_store
from quarl.run.storage.transfer import split_url, upload_attempt

if TYPE_CHECKING:
    from quarl.run.executors.base import Job
    from quarl.run.history import History
    from quarl.run.plan import Plan

POINTER = "PUBLISHED.json"
FAILURE = "FAILED.json"
ATTEMPTS = "attempts"
CONTROL = "_quarl"
LEASE = f"{CONTROL}/lease.json"
SNAPSHOT = f"{CONTROL}/history.db"
POINTER_VERSION = 1

# What a pointer keeps of its attempt's run.json: all that deciding whether a run is up to date,
# and reading its value, needs.
_POINTED = ("asset", "partition", "attempt", "fingerprint", "consumed", "value_file", "artifact_format",
            "serializer", "result_type", "value_size", "value_sha256")


class ConflictError(StorageError):
    """A commit refused because someone else changed the pointer since it was read."""


class ObjectPlace:
    """A run in the store: its key (the asset's, and the partition's folder name below it)."""

    __slots__ = ("failed", "key", "name", "published", "_scratch")

    def __init__(self, url: str, scratch: str, asset_key: str, name: str, partitioned: bool) -> None:
        self.key = f"{asset_key}/{name}" if partitioned else asset_key
        self.name = name
        self.published = f"{url}/{self.key}"
        self.failed = f"{url}/{self.key}/{FAILURE}"
        self._scratch = scratch

    def attempt(self, attempt_id: str) -> str:
        return f"{self._scratch}/{attempt_id}"


def cache_folder(url: str) -> str:
    """This machine's folder for the output at URL: the history, the scratch of attempts."""
    root = os.environ.get("QUARL_CACHE_DIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "quarl")
    return os.path.join(root, "out-" + hashlib.sha256(url.encode()).hexdigest()[:16])


class ObjectStorage:
    remote = True

    def __init__(self, url: str, store: Store | None = None, local: str | None = None,
                 lease_seconds: float = 60.0) -> None:
        self.shown = url
        self.out = url.rstrip("/")
        root, self.base = split_url(self.out)
        self.store = store if store is not None else open_store(root, url)
        self.local = local or cache_folder(self.out)
        self.scratch = os.path.join(self.local, "scratch")
        self.logs = self.local
        self.broken: str | None = None
        self.preload: Sequence[str] = ("s3fs", "quarl.run.storage.transfer") if self.out.startswith("s3:") else ()
        self.lease_seconds = lease_seconds
        self.lease: Lease | None = None
        self.warnings: list[str] = []
        # The pointers read and written by this quarl run: the lease makes it their one writer.
        self._pointers: dict[str, tuple[dict[str, Any] | None, str | None]] = {}
        self._records: dict[str, contract.RunRecord] = {}  # attempt id: its run.json, once read
        self._own_scratch = False

    # --- keys ------------------------------------------------------------------------------------

    def key(self, relative: str) -> str:
        return f"{self.base}/{relative}" if self.base else relative

    def url(self, relative: str) -> str:
        return f"{self.out}/{relative}"

    def relative(self, url: str) -> str:
        return url[len(self.out) + 1:]

    def attempt_prefix(self, run_key: str, attempt_id: str) -> str:
        return f"{run_key}/{ATTEMPTS}/{attempt_id}"

    # --- places and published runs --------------------------------------------------------------

    def place(self, asset_key: str, partition: tuple[tuple[str, str], ...], name: str | None = None) -> ObjectPlace:
        if asset_key == CONTROL:
            raise StorageError(f"an asset named {CONTROL!r} cannot be published to an object store, "
                               "where that name holds quarl's own objects: give it another name=")
        if not partition:
            name = asset_key
        elif name is None:
            name = layout.partition_folder(partition)
        return ObjectPlace(self.out, self.scratch, asset_key, name, bool(partition))

    def upload_to(self, place: ObjectPlace, attempt_id: str) -> str:
        return self.url(self.attempt_prefix(place.key, attempt_id))

    def _run_key(self, job: Job) -> str:
        return self.relative(job.published)

    def read_pointers(self, run_keys: Sequence[str]) -> list[tuple[dict[str, Any] | None, str | None]]:
        """The pointers of these runs as the store has them now, read at once."""
        found = self.store.get_many([self.key(f"{run_key}/{POINTER}") for run_key in run_keys])
        return [(None, None) if item is None else (_pointer_document(item[0]), item[1]) for item in found]

    def read_ahead(self, places: Sequence[ObjectPlace]) -> None:
        keys = [place.key for place in places if place.key not in self._pointers]
        for key, pointer in zip(keys, self.read_pointers(keys)):
            self._pointers[key] = pointer

    def _pointer(self, run_key: str) -> tuple[dict[str, Any] | None, str | None]:
        pointer = self._pointers.get(run_key)
        if pointer is None:
            pointer = self._pointers[run_key] = self.read_pointers([run_key])[0]
        return pointer

    def published_run(self, place: ObjectPlace) -> tuple[contract.RunRecord, contract.Value] | None:
        return self.published_of(place.key, self._pointer(place.key)[0])

    def published_of(self, run_key: str, document: dict[str, Any] | None
                     ) -> tuple[contract.RunRecord, contract.Value] | None:
        if document is None:
            return None
        record = contract.RunRecord({**document, "version": contract.RECORD_VERSION, "ok": True})
        if not record.published_value or not isinstance(record.attempt, str):
            return None
        return record, record.value(self.url(self.attempt_prefix(run_key, record.attempt)))

    def occupied(self, asset_key: str, partitioned: bool) -> str | None:
        return None  # a run's pointer and a partition's have keys of their own

    # --- attempts ----------------------------------------------------------------------------------

    def prepare(self, job: Job) -> None:
        os.makedirs(job.attempt)

    def attempt_record(self, job: Job) -> contract.RunRecord | None:
        # A process of this machine (a local executor's) left its record in its folder too, and
        # it ends with status 0 only once its upload, that record last, is done: that saves a
        # request. One on another machine (a Dask worker's) left it in the store alone.
        record = contract.read_run_record(job.attempt)
        if record is not None and record.version == contract.RECORD_VERSION and record.attempt == job.attempt_id:
            self._records[job.attempt_id] = record
            return record
        prefix = self.attempt_prefix(self._run_key(job), job.attempt_id)
        found = self.store.get(self.key(f"{prefix}/{contract.RUN_RECORD}"))
        if found is None:
            return None
        try:
            document = json.loads(found[0])
        except ValueError:
            return None
        if not isinstance(document, dict) or document.get("version") != contract.RECORD_VERSION:
            return None
        record = contract.RunRecord(document)
        self._records[job.attempt_id] = record
        return record

    def value_written(self, job: Job, record: contract.RunRecord) -> bool:
        return True  # its process uploads run.json only once the value is in the store

    def published_folder(self, job: Job) -> str:
        return self.url(self.attempt_prefix(self._run_key(job), job.attempt_id))

    def write_decision(self, job: Job, record: dict[str, Any]) -> None:
        prefix = self.attempt_prefix(self._run_key(job), job.attempt_id)
        self.store.put(self.key(f"{prefix}/{contract.DECISION_RECORD}"), contract.record_bytes(record))

    def publish(self, jobs: Sequence[Job]) -> list[Exception | None]:
        errors: list[Exception | None] = []
        for job in jobs:
            try:
                record = self._records.pop(job.attempt_id, None) or self.attempt_record(job)
                if record is None or not record.published_value:
                    raise StorageError(f"the record of attempt {job.attempt_id} is not in {self.out}")
                self.commit(self._run_key(job), pointer_document(record))
                errors.append(None)
            except (OSError, StorageError) as error:
                errors.append(error)
            finally:
                self._records.pop(job.attempt_id, None)
                shutil.rmtree(job.attempt, ignore_errors=True)
        return errors

    def commit(self, run_key: str, document: dict[str, Any]) -> None:
        """Points the run at the attempt that DOCUMENT names, if the pointer is still what this
        quarl run read (or absent, as read). Raises ConflictError when it is not."""
        if self.broken is not None:
            raise StorageError(self.broken)
        if self.lease is not None:
            self.lease.check()
        _, etag = self._pointer(run_key)
        key = self.key(f"{run_key}/{POINTER}")
        attempt = document["attempt"]
        try:
            if etag is None:
                tag = self.store.put(key, _pointer_bytes(document), if_absent=True)
            else:
                tag = self.store.put(key, _pointer_bytes(document), if_match=etag)
        except (Refused, Unanswered) as error:
            found = self.read_pointers([run_key])[0]
            self._pointers[run_key] = found
            if found[0] is not None and found[0].get("attempt") == attempt:
                return  # written: only the answer was lost
            if isinstance(error, Unanswered) and found[0] is None and etag is None:
                raise
            named = found[0].get("attempt") if found[0] is not None else None
            now = f"it names attempt {named}" if named else "it is gone"
            raise ConflictError(f"the pointer {self.url(run_key)}/{POINTER} was changed by another writer "
                                f"since this quarl run read it ({now}): nothing was overwritten") from None
        self._pointers[run_key] = (document, tag)

    def make_durable(self) -> None:
        pass  # a pointer is durable once the store has acknowledged its write

    def keep_failed(self, job: Job) -> str:
        run_key = self._run_key(job)
        prefix = self.attempt_prefix(run_key, job.attempt_id)
        try:
            if os.path.isdir(job.attempt):
                # What the process left on this machine (its logs, at least), for whoever looks.
                upload_attempt(job.attempt, self.url(prefix), skip=frozenset({contract.REQUEST_FILE}))
            self.store.put(self.key(f"{run_key}/{FAILURE}"), contract.record_bytes(
                {"version": POINTER_VERSION, "attempt": job.attempt_id}))
        except (OSError, StorageError):
            pass  # the history has the failure, which is what counts
        finally:
            shutil.rmtree(job.attempt, ignore_errors=True)
        return self.url(prefix)

    def keep_failed_copy(self, job: Job) -> str:
        # The failure names the attempt, under whose prefix its process's own upload lands if it
        # ever comes; the scratch folder is the process's.
        run_key = self._run_key(job)
        prefix = self.attempt_prefix(run_key, job.attempt_id)
        try:
            self.store.put(self.key(f"{run_key}/{FAILURE}"), contract.record_bytes(
                {"version": POINTER_VERSION, "attempt": job.attempt_id}))
        except (OSError, StorageError):
            pass  # the history has the failure, which is what counts
        return self.url(prefix)

    def discard(self, job: Job) -> None:
        shutil.rmtree(job.attempt, ignore_errors=True)

    def recover(self, plan: Plan) -> None:
        # Attempts of a killed quarl run are left in the store for prune; only this machine's
        # scratch goes. Called under the lease: the scratch is this quarl run's from now on.
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch, exist_ok=True)
        self._own_scratch = True

    # --- the lease and the history --------------------------------------------------------------

    def check_conditional_writes(self) -> None:
        """Refuses a store that ignores If-None-Match: it would let two commits both succeed."""
        probe = self.key(f"{CONTROL}/probe-{secrets.token_hex(6)}")
        try:
            self.store.put(probe, b"1", if_absent=True)
            try:
                self.store.put(probe, b"2", if_absent=True)
            except Refused:
                return
            raise StorageError(f"{self.out} does not honour conditional writes (a second If-None-Match "
                               "write of one object succeeded): quarl cannot publish runs there safely")
        finally:
            try:
                self.store.delete([probe])
            except (OSError, StorageError):
                pass

    @contextmanager
    def locked(self) -> Iterator[None]:
        self.check_conditional_writes()
        lease = Lease(self.store, self.key(LEASE), self.out, self.lease_seconds, self._lost)
        lease.acquire()
        self.lease = lease
        try:
            yield
        finally:
            self.lease = None
            lease.release()

    def _lost(self, why: str) -> None:
        self.broken = f"the lease on {self.out} was lost ({why}): no more runs are published"

    @contextmanager
    def history(self) -> Iterator[History]:
        from quarl.run.history import FILE_NAME, History

        os.makedirs(self.local, exist_ok=True)
        path = os.path.join(self.local, FILE_NAME)
        self._fetch_snapshot(path)
        history = History.open(self.local, create=True)
        assert history is not None
        history.on_commit = self._snapshot
        try:
            yield history
        finally:
            history.on_commit = None
            history.close()

    def _etag_file(self) -> str:
        return os.path.join(self.local, "history.etag")

    def _fetch_snapshot(self, path: str) -> None:
        """Takes the store's snapshot of the history unless this machine's copy is that one: the
        last quarl run may have been another machine's."""
        found = self.store.get(self.key(SNAPSHOT))
        if found is None:
            return
        data, etag = found
        try:
            with open(self._etag_file(), encoding="ascii") as file:
                if file.read() == etag and os.path.exists(path):
                    return
        except OSError:
            pass
        from quarl.writer import write_whole

        for stale in (path + "-journal", path + "-wal"):
            if os.path.exists(stale):
                os.unlink(stale)
        write_whole(path, data)
        write_whole(self._etag_file(), etag.encode())

    def _snapshot(self, history: History) -> None:
        """Uploads the history as committed just now, while the lease is ours."""
        if self.lease is None or self.broken is not None:
            return
        try:
            self.lease.check()
            with tempfile.TemporaryDirectory(prefix="quarl-snapshot-") as folder:
                copy = os.path.join(folder, "history.db")
                history.snapshot(copy)
                with open(copy, "rb") as file:
                    etag = self.store.put(self.key(SNAPSHOT), file.read())
            from quarl.writer import write_whole

            write_whole(self._etag_file(), etag.encode())
        except (OSError, StorageError, sqlite3.Error) as error:
            message = f"the history's snapshot could not be written to {self.url(SNAPSHOT)}: {error}"
            if message not in self.warnings:
                self.warnings.append(message)

    def read_history(self) -> History | None:
        from quarl.run.history import FILE_NAME, History

        found = self.store.get(self.key(SNAPSHOT))
        if found is None:
            return None
        scratch = tempfile.TemporaryDirectory(prefix="quarl-history-")
        try:
            with open(os.path.join(scratch.name, FILE_NAME), "wb") as file:
                file.write(found[0])
            history = History.open(scratch.name, create=False)
        except BaseException:
            scratch.cleanup()
            raise
        assert history is not None
        history.keep(scratch, f"{self.url(SNAPSHOT)}")
        return history

    def snapshot_tag(self) -> str | None:
        """The ETag of the history's snapshot, which changes with every commit of the history."""
        found = self.store.read_range(self.key(SNAPSHOT), 0, 1)
        return None if found is None else str(found[1]) + ":" + hashlib.sha256(found[0]).hexdigest()

    def changed_outside(self, folders: Sequence[str]) -> set[str]:
        """An attempt's folder whose run's pointer names another attempt, or none."""
        runs = []
        for folder in folders:
            run_key, _, attempt = self.relative(folder).rpartition(f"/{ATTEMPTS}/")
            runs.append((folder, run_key, attempt))
        pointers = self.read_pointers([run_key for _, run_key, _ in runs])
        return {folder for (folder, _, attempt), (document, _) in zip(runs, pointers)
                if document is None or document.get("attempt") != attempt}

    def close(self) -> None:
        if self._own_scratch:  # never another quarl run's, refused its lease
            shutil.rmtree(self.scratch, ignore_errors=True)


def pointer_document(record: contract.RunRecord) -> dict[str, Any]:
    return {"version": POINTER_VERSION, **{name: record.document.get(name) for name in _POINTED}}


def _pointer_bytes(document: dict[str, Any]) -> bytes:
    return contract.record_bytes(document)


def _pointer_document(data: bytes) -> dict[str, Any] | None:
    try:
        document = json.loads(data)
    except ValueError:
        return None
    if not isinstance(document, dict) or document.get("version") != POINTER_VERSION:
        return None
    return document


# --- the lease ---------------------------------------------------------------------------------------

class LeaseHeld(StorageError):
    pass


class Lease:
    """One quarl run at a time per output: an object made with If-None-Match, renewed with
    If-Match by a thread of this process, and taken over only once it has expired. Should a
    renewal be refused, or not get through before the lease ends, the lease is lost: `lost(why)`
    is told, and `check` refuses every commit from then on."""

    def __init__(self, store: Store, key: str, shown: str, seconds: float, lost: Any) -> None:
        self.store, self.key, self.shown = store, key, shown
        self.seconds = seconds
        self.every = seconds / 4
        self._lost_callback = lost
        self.owner = secrets.token_hex(8)
        self.etag: str | None = None
        self.valid_until = 0.0  # on this machine's monotonic clock
        self.lost: str | None = None
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None

    def _document(self, expires: float) -> bytes:
        return contract.record_bytes({"version": 1, "owner": self.owner, "host": socket.gethostname(),
                                      "pid": os.getpid(), "expires": round(expires, 3)})

    def acquire(self) -> None:
        sent = time.monotonic()
        found = self.store.get(self.key)
        try:
            if found is None:
                self.etag = self.store.put(self.key, self._document(time.time() + self.seconds), if_absent=True)
            else:
                held = _lease_of(found[0])
                if held.get("expires", 0) > time.time():
                    raise self._held(held)
                self.etag = self.store.put(self.key, self._document(time.time() + self.seconds), if_match=found[1])
        except Refused:
            again = self.store.get(self.key)
            raise self._held(_lease_of(again[0]) if again is not None else {}) from None
        self.valid_until = sent + self.seconds
        self._thread = threading.Thread(target=self._renew, name="quarl-lease", daemon=True)
        self._thread.start()

    def _held(self, held: dict[str, Any]) -> LeaseHeld:
        who = ""
        if held.get("host") is not None:
            left = max(0, round(float(held.get("expires", 0)) - time.time()))
            who = f" (on {held.get('host')}, pid {held.get('pid')}; its lease ends in {left} s unless renewed)"
        return LeaseHeld(f"another quarl run is using {self.shown}{who}")

    def _renew(self) -> None:
        while not self._stop.wait(self.every):
            sent = time.monotonic()
            try:
                with self._lock:
                    if self.lost is not None:
                        return
                    self.etag = self.store.put(self.key, self._document(time.time() + self.seconds),
                                               if_match=self.etag)
                    self.valid_until = sent + self.seconds
            except Refused:
                self._lose("another quarl run took it over")
                return
            except Exception as error:
                if time.monotonic() >= self.valid_until:
                    self._lose(f"it could not be renewed before it ended: {error}")
                    return

    def _lose(self, why: str) -> None:
        if self.lost is None:
            self.lost = why
            self._lost_callback(why)

    def check(self) -> None:
        """Raises StorageError unless the lease is ours for a while yet."""
        if self.lost is None and time.monotonic() > self.valid_until - min(5.0, self.seconds / 4):
            self._lose("it was not renewed in time")
        if self.lost is not None:
            raise StorageError(f"the lease on {self.shown} was lost ({self.lost}): no more runs are published")

    def release(self) -> None:
        """Ends the lease at once (If-Match: whoever took it over keeps it)."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        with self._lock:
            if self.lost is not None or self.etag is None:
                return
            try:
                self.store.put(self.key, self._document(0.0), if_match=self.etag)
            except (Refused, OSError, StorageError):
                pass  # it ends by itself


def _lease_of(data: bytes) -> dict[str, Any]:
    try:
        document = json.loads(data)
    except ValueError:
        return {}
    return document if isinstance(document, dict) else {}


def open_object_storage(url: str) -> ObjectStorage:
    if url.lower().startswith("memory://"):
        raise StorageError(f"{url}: memory:// names a store inside one process, which the processes of "
                           "the runs cannot reach; use s3://BUCKET/PREFIX")
    return ObjectStorage(url)
