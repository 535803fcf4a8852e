"""The history of runs: a SQLite database in the output folder, one row per attempt.

Only the `quarl run` process writes rows. A process killed in the middle of a commit leaves a
"hot" journal beside the database, with which SQLite rolls the commit back on the next open:
every open, `quarl status` included, may do so (and where it cannot write, reads a recovered copy),
so such a history is never called broken. A database that cannot be read is an error that says
what to do: history is never replaced or dropped behind the user's back.
"""

from __future__ import annotations

import os
import shutil
import sqlite3
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, NamedTuple
from urllib.parse import quote

from quarl.errors import QuarlError
from quarl.run.status import Status

FILE_NAME = "quarl-history.db"
SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE invocation (
    id INTEGER PRIMARY KEY,
    started REAL NOT NULL,
    finished REAL,
    command TEXT NOT NULL,
    exit_status INTEGER
);
CREATE TABLE attempt (
    id INTEGER PRIMARY KEY,
    invocation INTEGER NOT NULL REFERENCES invocation(id),
    asset TEXT NOT NULL,
    partition TEXT NOT NULL,       -- the partition's folder name, "" when unpartitioned
    label TEXT NOT NULL,           -- the partition as tables show it, "-" when unpartitioned
    plan_index INTEGER NOT NULL,
    fingerprint TEXT NOT NULL,
    status TEXT NOT NULL,          -- succeeded, failed, timeout, interrupted, skipped, pruned
    started REAL NOT NULL,         -- seconds since the epoch
    duration REAL,
    exit_status INTEGER,
    error TEXT,
    result_type TEXT,
    folder TEXT                    -- the published folder, or the failed attempt's
);
CREATE INDEX attempt_run ON attempt(asset, partition, id);
"""


class HistoryError(QuarlError):
    pass


class HistoryDiskFull(HistoryError):
    """The disk that holds the history is full: nothing is wrong with the history itself."""

    def __init__(self, path: str) -> None:
        super().__init__(f"the disk is full: the run history {path} cannot be written. Free some "
                         "space on that disk and run again; the history keeps every attempt "
                         "recorded before.")


@dataclass(frozen=True)
class AttemptRecord:
    """One row of the history: how one attempt of a run ended."""

    asset: str
    partition: str
    label: str
    plan_index: int
    fingerprint: str
    status: Status
    started: float
    duration: float | None
    exit_status: int | None
    error: str | None
    result_type: str | None
    folder: str | None


@dataclass(frozen=True)
class InvocationRecord:
    """One `quarl run`: its command line, when it started, when and how it ended (None while it
    runs, or when it was killed)."""

    id: int
    started: float
    finished: float | None
    command: str
    exit_status: int | None


class Brief(NamedTuple):
    """The few columns of an attempt that lists of thousands of them show."""

    asset: str
    partition: str
    label: str
    status: Status
    started: float
    duration: float | None


_COLUMNS = ("asset", "partition", "label", "plan_index", "fingerprint", "status", "started",
            "duration", "exit_status", "error", "result_type", "folder")


def _journal(path: str) -> str:
    return path + "-journal"


def _unreadable(path: str, error: Exception) -> HistoryError:
    if os.path.exists(_journal(path)):
        # The journal is what makes an interrupted commit whole again: a database moved away
        # from it is the one thing that really breaks it.
        return HistoryError(
            f"the run history {path} cannot be read ({error}). Nothing was changed. Its journal "
            f"{_journal(path)} lies beside it: keep the two together where they are, or restore "
            "both from a backup.")
    return HistoryError(
        f"the run history {path} cannot be read ({error}). Nothing was changed. Move it aside to "
        f"keep it and start a new history (mv {path} {path}.broken), or restore it from a backup.")


def _error_code(error: sqlite3.Error) -> int:
    return getattr(error, "sqlite_errorcode", 0) & 0xFF


def _failure(path: str, error: sqlite3.DatabaseError) -> HistoryError:
    """What a failed read or write of the history means, and what to do, by SQLite's code: only
    a file that SQLite cannot make sense of is a history to move aside."""
    code = _error_code(error)
    if code == sqlite3.SQLITE_FULL:
        return HistoryDiskFull(path)
    if code in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
        return HistoryError(f"the run history {path} is locked by another process")
    if code in (sqlite3.SQLITE_READONLY, sqlite3.SQLITE_PERM):
        return HistoryError(
            f"the run history {path} cannot be written ({error}): the file or its folder is "
            "read-only here. The history is intact: make both writable and run again.")
    if code == sqlite3.SQLITE_CANTOPEN:
        return HistoryError(
            f"the run history {path} cannot be opened ({error}): the file and its folder must "
            "exist and be readable and writable here. Nothing was changed.")
    if code == sqlite3.SQLITE_IOERR:
        return HistoryError(
            f"the run history {path} cannot be read or written: the disk failed ({error}). SQLite "
            "keeps the history as it was before: check the disk and run again.")
    return _unreadable(path, error)


@contextmanager
def _reading(path: str) -> Iterator[None]:
    try:
        yield
    except sqlite3.DatabaseError as error:
        raise _failure(path, error) from None


class History:
    def __init__(self, connection: sqlite3.Connection, path: str,
                 scratch: tempfile.TemporaryDirectory[str] | None = None) -> None:
        self._db = connection
        self.path = path
        self._scratch = scratch
        # Told after every commit (an output on an object store uploads a snapshot then).
        self.on_commit: Callable[[History], None] | None = None

    @classmethod
    def open(cls, out: str, create: bool) -> History | None:
        """The history of OUT; None when there is none and `create` is false."""
        path = os.path.join(out, FILE_NAME)
        if not create and not os.path.exists(path):
            return None
        # Read-write even to read: SQLite rolls a hot journal back only for a process that may
        # write. Without `create`, a missing file stays missing.
        try:
            return cls._open(path, path, create)
        except sqlite3.DatabaseError as error:
            if create or getattr(error, "sqlite_errorname", "") != "SQLITE_READONLY_ROLLBACK":
                with _reading(path):
                    raise
        # A hot journal that this process cannot roll back (a read-only folder): read a copy of
        # the two files, recovered in a folder of its own, and leave them for the next writer.
        scratch = tempfile.TemporaryDirectory(prefix="quarl-history-")
        copy = os.path.join(scratch.name, FILE_NAME)
        try:
            with _reading(path):
                shutil.copyfile(path, copy)
                shutil.copyfile(_journal(path), _journal(copy))
                history = cls._open(copy, path, create=False)
        except BaseException:
            scratch.cleanup()
            raise
        history._scratch = scratch
        return history

    @classmethod
    def _open(cls, file: str, path: str, create: bool) -> History:
        """Opens the database `file`; `path` is how messages name it."""
        mode = "rwc" if create else "rw"
        connection = sqlite3.connect(f"file:{_uri_path(file)}?mode={mode}", uri=True,
                                     timeout=10, isolation_level=None)
        try:
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            tables = connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
            if version == 0 and tables == 0 and create:
                connection.executescript(
                    f"BEGIN; {_SCHEMA} PRAGMA user_version = {SCHEMA_VERSION}; COMMIT;")
            elif version != SCHEMA_VERSION:
                aside = ("" if os.path.exists(_journal(path)) else
                         f", or move it aside (mv {path} {path}.old) to start a new history")
                raise HistoryError(
                    f"the run history {path} has format {version}, and this quarl reads "
                    f"format {SCHEMA_VERSION}: use the quarl that wrote it{aside}")
        except BaseException:
            connection.close()
            raise
        return cls(connection, path)

    def begin(self, command: str) -> int:
        with _reading(self.path):
            cursor = self._db.execute("INSERT INTO invocation(started, command) VALUES (?, ?)",
                                      (time.time(), command))
        assert cursor.lastrowid is not None
        self._committed()
        return cursor.lastrowid

    def finish(self, invocation: int, exit_status: int) -> None:
        with _reading(self.path):
            self._db.execute("UPDATE invocation SET finished = ?, exit_status = ? WHERE id = ?",
                             (time.time(), exit_status, invocation))
        self._committed()

    def add(self, invocation: int, attempts: Iterable[AttemptRecord]) -> None:
        """Records finished attempts, all in one transaction."""
        rows = [(invocation, *(getattr(a, c) for c in _COLUMNS)) for a in attempts]
        if not rows:
            return
        marks = ", ".join("?" * (len(_COLUMNS) + 1))
        with _reading(self.path):
            self._db.execute("BEGIN IMMEDIATE")
            try:
                self._db.executemany(
                    f"INSERT INTO attempt(invocation, {', '.join(_COLUMNS)}) VALUES ({marks})", rows)
                self._db.execute("COMMIT")
            except BaseException:
                # SQLite has already rolled back after some errors (a full disk among them):
                # a ROLLBACK then would fail and hide the error that matters.
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise
        self._committed()

    def _committed(self) -> None:
        if self.on_commit is not None:
            self.on_commit(self)

    def snapshot(self, path: str) -> None:
        """Copies the history as committed into a new database file PATH."""
        copy = sqlite3.connect(path)
        try:
            with _reading(self.path):
                self._db.backup(copy)
        finally:
            copy.close()

    def keep(self, scratch: tempfile.TemporaryDirectory[str], shown: str) -> None:
        """This history is a copy in SCRATCH, removed on close; messages name it SHOWN."""
        self._scratch = scratch
        self.path = shown

    def latest(self) -> list[AttemptRecord]:
        """The last attempt of every run the history knows, in plan order; a run pruned since
        (its last row says so) is known no more."""
        with _reading(self.path):
            rows = self._db.execute(
                f"SELECT {', '.join(_COLUMNS)} FROM attempt WHERE id IN "
                "(SELECT max(id) FROM attempt GROUP BY asset, partition) AND status != ? "
                "ORDER BY plan_index, asset, partition", (Status.PRUNED.value,)).fetchall()
        return [_record(row) for row in rows]

    def runs(self) -> set[tuple[str, str]]:
        """Every run (asset, partition) that the history has a row of, pruned ones included."""
        with _reading(self.path):
            rows = self._db.execute("SELECT DISTINCT asset, partition FROM attempt").fetchall()
        return {(asset, partition) for asset, partition in rows}

    def unfinished(self) -> set[tuple[str, str]]:
        """The runs (asset, partition) whose last attempt failed, timed out or was interrupted."""
        statuses = (Status.FAILED, Status.TIMEOUT, Status.INTERRUPTED)
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT asset, partition, status FROM attempt WHERE id IN "
                "(SELECT max(id) FROM attempt WHERE status != ? GROUP BY asset, partition)",
                (Status.SKIPPED.value,)).fetchall()
        return {(asset, partition) for asset, partition, status in rows if status in statuses}

    # Readers' queries (quarl ui): each is one statement read to its end, so no read transaction
    # outlives the call and `quarl run` is never kept from committing.

    def version(self) -> tuple[int, int, float | None]:
        """The last attempt's id, the last invocation's id and its end: what changes whenever
        `quarl run` records something."""
        with _reading(self.path):
            row = self._db.execute(
                "SELECT (SELECT coalesce(max(id), 0) FROM attempt), coalesce(max(id), 0), "
                "(SELECT finished FROM invocation ORDER BY id DESC LIMIT 1) FROM invocation").fetchall()[0]
        return int(row[0]), int(row[1]), row[2]

    def invocations(self, limit: int) -> list[InvocationRecord]:
        """The last `limit` invocations, newest first."""
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT id, started, finished, command, exit_status FROM invocation "
                "ORDER BY id DESC LIMIT ?", (limit,)).fetchall()
        return [InvocationRecord(*row) for row in rows]

    def invocation(self, ident: int) -> InvocationRecord | None:
        with _reading(self.path):
            rows = self._db.execute("SELECT id, started, finished, command, exit_status FROM invocation "
                                    "WHERE id = ?", (ident,)).fetchall()
        return InvocationRecord(*rows[0]) if rows else None

    def attempts(self, asset: str, partition: str) -> list[tuple[int, AttemptRecord]]:
        """Every attempt of one run, with its invocation's id, oldest first."""
        with _reading(self.path):
            rows = self._db.execute(
                f"SELECT invocation, {', '.join(_COLUMNS)} FROM attempt WHERE asset = ? AND partition = ? "
                "ORDER BY id", (asset, partition)).fetchall()
        return [(row[0], _record(row[1:])) for row in rows]

    # The pages of a project of 10,000 runs read every run's attempts at once: these take only
    # the columns they show, as tuples, at a tenth of the cost of full records.

    def latest_brief(self, asset: str | None = None) -> list[Brief]:
        """The last attempt of every run the history knows, or of every run of one asset, in no
        particular order."""
        inner = "SELECT max(id) FROM attempt GROUP BY asset, partition"
        if asset is not None:
            inner = "SELECT max(id) FROM attempt WHERE asset = ? GROUP BY partition"
        with _reading(self.path):
            rows = self._db.execute(f"SELECT {', '.join(Brief._fields)} FROM attempt WHERE id IN ({inner})",
                                    () if asset is None else (asset,)).fetchall()
        return _briefs(rows)

    def briefs(self, *, asset: str | None = None, invocation: int | None = None,
               limit: int = -1) -> list[Brief]:
        """The attempts of an asset, or of an invocation, oldest first; with a limit, the last
        `limit` of them."""
        column, value = ("asset", asset) if asset is not None else ("invocation", invocation)
        with _reading(self.path):
            rows = self._db.execute(
                f"SELECT {', '.join(Brief._fields)} FROM attempt WHERE {column} = ? "
                "ORDER BY id DESC LIMIT ?", (value, limit)).fetchall()
        rows.reverse()
        return _briefs(rows)

    def close(self) -> None:
        self._db.close()
        if self._scratch is not None:
            self._scratch.cleanup()


def _record(row: tuple[object, ...]) -> AttemptRecord:
    fields: dict[str, Any] = dict(zip(_COLUMNS, row))
    fields["status"] = Status(fields["status"])
    return AttemptRecord(**fields)


def _briefs(rows: list[Any]) -> list[Brief]:
    status = Status
    return [Brief(asset, partition, label, status(text), started, duration)
            for asset, partition, label, text, started, duration in rows]


def _uri_path(path: str) -> str:
    return quote(os.path.abspath(path))
