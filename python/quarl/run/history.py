"""The history of runs: a SQLite database in the output folder, one row per attempt.

Only the `quarl run` process writes it. A database that cannot be read is an error that says
what to do: history is never replaced or dropped behind the user's back.
"""

from __future__ import annotations

import os
import sqlite3
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote

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


class HistoryError(Exception):
    pass


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


_COLUMNS = ("asset", "partition", "label", "plan_index", "fingerprint", "status", "started",
            "duration", "exit_status", "error", "result_type", "folder")


def _unreadable(path: str, error: Exception) -> HistoryError:
    return HistoryError(
        f"the run history {path} cannot be read ({error}). Nothing was changed. Move it aside to "
        f"keep it and start a new history (mv {path} {path}.broken), or restore it from a backup.")


@contextmanager
def _reading(path: str) -> Iterator[None]:
    try:
        yield
    except sqlite3.DatabaseError as error:
        if isinstance(error, sqlite3.OperationalError) and "locked" in str(error):
            raise HistoryError(f"the run history {path} is locked by another process") from None
        raise _unreadable(path, error) from None


class History:
    def __init__(self, connection: sqlite3.Connection, path: str) -> None:
        self._db = connection
        self.path = path

    @classmethod
    def open(cls, out: str, create: bool) -> History | None:
        """The history of OUT; None when there is none and `create` is false."""
        path = os.path.join(out, FILE_NAME)
        if not create and not os.path.exists(path):
            return None
        mode = "rwc" if create else "ro"
        with _reading(path):
            connection = sqlite3.connect(f"file:{_uri_path(path)}?mode={mode}", uri=True,
                                         timeout=10, isolation_level=None)
            try:
                version = connection.execute("PRAGMA user_version").fetchone()[0]
                tables = connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
                if version == 0 and tables == 0 and create:
                    connection.executescript(
                        f"BEGIN; {_SCHEMA} PRAGMA user_version = {SCHEMA_VERSION}; COMMIT;")
                elif version != SCHEMA_VERSION:
                    raise HistoryError(
                        f"the run history {path} has format {version}, and this quarl reads "
                        f"format {SCHEMA_VERSION}: use the quarl that wrote it, or move it aside "
                        f"(mv {path} {path}.old) to start a new history")
            except BaseException:
                connection.close()
                raise
        return cls(connection, path)

    def begin(self, command: str) -> int:
        with _reading(self.path):
            cursor = self._db.execute("INSERT INTO invocation(started, command) VALUES (?, ?)",
                                      (time.time(), command))
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def finish(self, invocation: int, exit_status: int) -> None:
        with _reading(self.path):
            self._db.execute("UPDATE invocation SET finished = ?, exit_status = ? WHERE id = ?",
                             (time.time(), exit_status, invocation))

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
                self._db.execute("ROLLBACK")
                raise

    def latest(self) -> list[AttemptRecord]:
        """The last attempt of every run the history knows, in plan order; a run pruned since
        (its last row says so) is known no more."""
        with _reading(self.path):
            rows = self._db.execute(
                f"SELECT {', '.join(_COLUMNS)} FROM attempt WHERE id IN "
                "(SELECT max(id) FROM attempt GROUP BY asset, partition) AND status != ? "
                "ORDER BY plan_index, asset, partition", (Status.PRUNED.value,)).fetchall()
        return [_record(row) for row in rows]

    def close(self) -> None:
        self._db.close()


def _record(row: tuple[object, ...]) -> AttemptRecord:
    fields: dict[str, Any] = dict(zip(_COLUMNS, row))
    fields["status"] = Status(fields["status"])
    return AttemptRecord(**fields)


def _uri_path(path: str) -> str:
    return quote(os.path.abspath(path))
