"""The history of runs: a SQLite database in the output folder, one row per attempt, and one per
result of a check of an attempt's value.

Only the `quarl run` process writes rows. A process killed in the middle of a commit leaves a
"hot" journal beside the database, with which SQLite rolls the commit back on the next open:
every open, `quarl status` included, may do so (and where it cannot write, reads a recovered copy),
so such a history is never called broken. A database that cannot be read is an error that says
what to do: history is never replaced or dropped behind the user's back.
"""

from __future__ import annotations

import json
import os
import shutil
import sqlite3
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, NamedTuple
from urllib.parse import quote

from quarl.contract import CheckResult
from quarl.errors import QuarlError
from quarl.run.status import Status

FILE_NAME = "quarl-history.db"
SCHEMA_VERSION = 2  # 2 added check_result; a history of format 1 gets it when opened to be written

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

# Format 2's addition. A result belongs to the attempt whose value was checked: by quarl run in
# that attempt, or later by quarl check (its invocation then differs from the attempt's).
_CHECKS_SCHEMA = """
CREATE TABLE check_result (
    id INTEGER PRIMARY KEY,
    attempt INTEGER REFERENCES attempt(id),  -- NULL: a value whose attempt the history lacks
    invocation INTEGER NOT NULL REFERENCES invocation(id),
    asset TEXT NOT NULL,
    partition TEXT NOT NULL,
    name TEXT NOT NULL,            -- the check's function name
    fingerprint TEXT NOT NULL,     -- the digest of the check's code when it ran
    passed INTEGER NOT NULL,
    severity TEXT NOT NULL,        -- error or warn
    blocking INTEGER NOT NULL,
    message TEXT,
    metadata TEXT,                 -- a JSON object, or NULL
    evaluated REAL NOT NULL        -- seconds since the epoch
);
CREATE INDEX check_result_run ON check_result(asset, partition, name, id);
"""


# What quarl run keeps beside the attempts to tell what changed, made where missing: an older
# quarl reads the history without them. File digests by what tells a file unchanged (its path,
# size, modification time and inode), so that an unchanged file is never read twice; the pieces
# of each code digest, so that a changed one can be named.
_CACHES = """
CREATE TABLE IF NOT EXISTS file_digest (
    path TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    sha256 TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS code_parts (
    code TEXT PRIMARY KEY,
    parts TEXT NOT NULL            -- JSON: {name: short digest}
);
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
    checks: tuple[CheckResult, ...] = ()  # the results of its value's checks, when it was written


class CheckRecord(NamedTuple):
    """A check's result as the history keeps it: on the value of the run's `attempt`-th attempt
    (counted among the run's rows, from 1; None when the history lacks it), at `evaluated`."""

    result: CheckResult
    attempt: int | None
    evaluated: float


class Published(NamedTuple):
    """The attempt whose value a run has published, in the history."""

    id: int
    place: int  # among the run's attempts, from 1
    fingerprint: str


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
        self._checks = True  # whether it has the table of check results
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
                    f"BEGIN; {_SCHEMA} {_CHECKS_SCHEMA} PRAGMA user_version = {SCHEMA_VERSION}; COMMIT;")
            elif version == 1 and create:
                # Format 1 lacks only the table of check results: added in one transaction, so a
                # quarl killed meanwhile leaves format 1 whole, which the next one upgrades.
                connection.executescript(
                    f"BEGIN IMMEDIATE; {_CHECKS_SCHEMA} PRAGMA user_version = {SCHEMA_VERSION}; COMMIT;")
            elif version not in (1, SCHEMA_VERSION):
                aside = ("" if os.path.exists(_journal(path)) else
                         f", or move it aside (mv {path} {path}.old) to start a new history")
                raise HistoryError(
                    f"the run history {path} has format {version}, and this quarl reads "
                    f"format {SCHEMA_VERSION}: use the quarl that wrote it{aside}")
            # Read without being written (quarl status, quarl ui), format 1 stays as it is: it
            # has no check results.
            checks = version == SCHEMA_VERSION or create
            if create:
                connection.executescript(_CACHES)
        except BaseException:
            connection.close()
            raise
        history = cls(connection, path)
        history._checks = checks
        return history

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
        """Records finished attempts with their check results, all in one transaction."""
        attempts = list(attempts)
        rows = [(invocation, *(getattr(a, c) for c in _COLUMNS)) for a in attempts]
        if not rows:
            return
        marks = ", ".join("?" * (len(_COLUMNS) + 1))
        insert = f"INSERT INTO attempt(invocation, {', '.join(_COLUMNS)}) VALUES ({marks})"
        with _reading(self.path), self._transaction():
            if not any(a.checks for a in attempts):
                self._db.executemany(insert, rows)
            else:
                for attempt, row in zip(attempts, rows):
                    ident = self._db.execute(insert, row).lastrowid
                    # Evaluated as the attempt ended.
                    self._add_checks(invocation, [(ident, attempt.asset, attempt.partition, result)
                                                  for result in attempt.checks],
                                     attempt.started + (attempt.duration or 0.0))
        self._committed()

    def _add_checks(self, invocation: int, results: Iterable[tuple[int | None, str, str, CheckResult]],
                    evaluated: float) -> None:
        self._db.executemany(
            "INSERT INTO check_result(attempt, invocation, asset, partition, name, fingerprint, passed, "
            "severity, blocking, message, metadata, evaluated) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(attempt, invocation, asset, partition, r.name, r.fingerprint, r.passed, r.severity, r.blocking,
              r.message, None if r.metadata is None else json.dumps(r.metadata, ensure_ascii=False), evaluated)
             for attempt, asset, partition, r in results])

    def add_checks(self, invocation: int, results: Iterable[tuple[int | None, str, str, CheckResult]]) -> None:
        """Records results of checks evaluated on published values (quarl check), in one
        transaction: (the history's id of the attempt whose value it was, asset, partition, result)."""
        with _reading(self.path):
            self._db.execute("BEGIN IMMEDIATE")
            try:
                self._add_checks(invocation, results, time.time())
                self._db.execute("COMMIT")
            except BaseException:
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

    def published(self, asset: str | None = None) -> dict[tuple[str, str], Published]:
        """The attempt of each run (of one asset) whose value is published, as far as the history
        knows: its last attempt that published one."""
        statuses = tuple(s.value for s in Status if s.published)
        which = "" if asset is None else "AND asset = ? "
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT a.asset, a.partition, a.id, (SELECT count(*) FROM attempt b WHERE b.asset = a.asset "
                "AND b.partition = a.partition AND b.id <= a.id), a.fingerprint FROM attempt a WHERE a.id IN "
                f"(SELECT max(id) FROM attempt WHERE status IN ({', '.join('?' * len(statuses))}) {which}"
                "GROUP BY asset, partition)", statuses if asset is None else (*statuses, asset)).fetchall()
        return {(asset, partition): Published(ident, place, fingerprint)
                for asset, partition, ident, place, fingerprint in rows}

    def last_checks(self, asset: str | None = None) -> dict[tuple[str, str], dict[str, CheckRecord]]:
        """The last result of each check of each run (of one asset), by run and check name, with
        the attempt whose value it was evaluated on: the last one evaluated on the run's latest
        attempt that has one. A value checked again later (quarl check on the published value)
        never hides the failure of a later attempt."""
        if not self._checks:
            return {}
        which = "" if asset is None else "WHERE asset = ? "
        inner = (f"SELECT id FROM (SELECT id, row_number() OVER (PARTITION BY asset, partition, name "
                 f"ORDER BY attempt DESC, id DESC) AS n FROM check_result {which}) WHERE n = 1")
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT c.asset, c.partition, c.name, c.passed, c.severity, c.blocking, c.message, c.metadata, "
                "c.fingerprint, c.evaluated, CASE WHEN c.attempt IS NULL THEN NULL ELSE (SELECT count(*) "
                "FROM attempt b WHERE b.asset = c.asset AND b.partition = c.partition AND b.id <= c.attempt) END "
                f"FROM check_result c WHERE c.id IN ({inner})", () if asset is None else (asset,)).fetchall()
        found: dict[tuple[str, str], dict[str, CheckRecord]] = {}
        for key, partition, name, passed, severity, blocking, message, metadata, print_, evaluated, place in rows:
            result = CheckResult(name, bool(passed), severity, bool(blocking), message,
                                 None if metadata is None else json.loads(metadata), print_)
            found.setdefault((key, partition), {})[name] = CheckRecord(result, place, evaluated)
        return found

    def checks_of(self, asset: str, partition: str) -> dict[int, list[CheckResult]]:
        """The check results of each attempt of one run, by its place among the run's attempts
        (from 1), oldest first: a later attempt never hides an earlier one's."""
        if not self._checks:
            return {}
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT (SELECT count(*) FROM attempt b WHERE b.asset = c.asset AND b.partition = c.partition "
                "AND b.id <= c.attempt), c.name, c.passed, c.severity, c.blocking, c.message, c.metadata, "
                "c.fingerprint FROM check_result c WHERE c.asset = ? AND c.partition = ? AND c.attempt IS NOT NULL "
                "ORDER BY c.id", (asset, partition)).fetchall()
        found: dict[int, list[CheckResult]] = {}
        for place, name, passed, severity, blocking, message, metadata, print_ in rows:
            found.setdefault(place, []).append(CheckResult(
                name, bool(passed), severity, bool(blocking), message,
                None if metadata is None else json.loads(metadata), print_))
        return found

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

    def succeeded_runs(self) -> set[tuple[str, str]]:
        """The runs (asset, partition) that have succeeded since they were last pruned: a run
        among them with nothing published was changed outside quarl."""
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT DISTINCT asset, partition FROM attempt AS a WHERE status IN (?, ?, ?) AND id > "
                "(SELECT coalesce(max(id), 0) FROM attempt AS p WHERE p.asset = a.asset AND "
                "p.partition = a.partition AND p.status = ?)",
                (*(s.value for s in Status if s.published), Status.PRUNED.value))
            keys: dict[str, str] = {}  # one string per asset, not one per row
            return {(keys.setdefault(asset, asset), partition) for asset, partition in rows}

    def unfinished(self) -> set[tuple[str, str]]:
        """The runs (asset, partition) whose last attempt failed (a blocking check included), timed
        out or was interrupted."""
        statuses = (Status.FAILED, Status.CHECK_FAILED, Status.TIMEOUT, Status.INTERRUPTED)
        with _reading(self.path):
            rows = self._db.execute(
                "SELECT asset, partition, status FROM attempt WHERE id IN "
                "(SELECT max(id) FROM attempt WHERE status != ? GROUP BY asset, partition)",
                (Status.SKIPPED.value,))
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

    def scan_last(self, asset: str | None,
                  visit: Callable[[str, str, str, float, float | None], None]) -> None:
        """Calls visit(asset, partition, status, started, duration) with the last attempt of
        every run, or of every run of one asset, in no particular order, keeping no row: the
        pages of an asset of 100,000 partitions hold one byte per run, not a row. The statement
        is read to its end (or reset) before this returns."""
        inner = "SELECT max(id) FROM attempt GROUP BY asset, partition"
        if asset is not None:
            inner = "SELECT max(id) FROM attempt WHERE asset = ? GROUP BY partition"
        with _reading(self.path):
            cursor = self._db.execute(
                f"SELECT asset, partition, status, started, duration FROM attempt WHERE id IN ({inner})",
                () if asset is None else (asset,))
            try:
                for row in cursor:
                    visit(*row)
            finally:
                cursor.close()

    def timings(self, asset: str, limit: int) -> list[tuple[float, float, str]]:
        """(started, duration, status) of the last `limit` attempts of an asset that ran,
        oldest first."""
        with _reading(self.path):
            count, last = self._db.execute(
                "SELECT (SELECT count(*) FROM attempt WHERE asset = ?), (SELECT max(id) FROM attempt)",
                (asset,)).fetchall()[0]
            # The index finds an asset's attempts but not in the order of their ids: sorting
            # 100,000 of them takes longer than walking the table back from its end, as long as
            # the asset's attempts are not too sparse in it ("+asset" keeps the index out).
            column = "+asset" if count and last <= 8 * count else "asset"
            rows = self._db.execute(
                f"SELECT started, duration, status FROM attempt WHERE {column} = ? AND duration IS NOT NULL "
                "ORDER BY id DESC LIMIT ?", (asset, limit)).fetchall()
        rows.reverse()
        return rows

    def last_statuses(self, asset: str, partitions: Sequence[str]) -> dict[str, str]:
        """The status of the last attempt of a few runs of one asset, by partition."""
        found: dict[str, str] = {}
        with _reading(self.path):
            for start in range(0, len(partitions), 500):
                chunk = partitions[start:start + 500]
                marks = ", ".join("?" * len(chunk))
                found.update(self._db.execute(
                    "SELECT partition, status FROM attempt WHERE id IN (SELECT max(id) FROM attempt "
                    f"WHERE asset = ? AND partition IN ({marks}) GROUP BY partition)",
                    (asset, *chunk)).fetchall())
        return found

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

    # --- what tells what changed ------------------------------------------------------------------

    def file_digests(self) -> dict[str, tuple[int, int, int, str]]:
        """Every cached file digest: path -> (size, mtime_ns, inode, sha256)."""
        if not self._has("file_digest"):
            return {}
        with _reading(self.path):
            rows = self._db.execute("SELECT path, size, mtime_ns, inode, sha256 FROM file_digest").fetchall()
        return {path: (size, mtime, inode, digest) for path, size, mtime, inode, digest in rows}

    def save_file_digests(self, rows: Iterable[tuple[str, int, int, int, str]]) -> None:
        """Caches (path, size, mtime_ns, inode, sha256) rows, replacing those of the same paths."""
        rows = list(rows)
        if rows:
            with _reading(self.path), self._transaction():
                self._db.executemany("INSERT OR REPLACE INTO file_digest VALUES (?, ?, ?, ?, ?)", rows)

    def code_parts(self, code: str) -> dict[str, str] | None:
        """The pieces of a code digest that a run recorded, when the history has them."""
        if not self._has("code_parts"):
            return None
        with _reading(self.path):
            row = self._db.execute("SELECT parts FROM code_parts WHERE code = ?", (code,)).fetchone()
        return json.loads(row[0]) if row is not None else None

    def save_code_parts(self, parts: Mapping[str, Mapping[str, str]]) -> None:
        """Keeps the pieces of these code digests (code -> {name: short digest})."""
        rows = [(code, json.dumps(dict(named), sort_keys=True)) for code, named in parts.items()]
        if rows:
            with _reading(self.path), self._transaction():
                self._db.executemany("INSERT OR IGNORE INTO code_parts VALUES (?, ?)", rows)

    def _has(self, table: str) -> bool:
        with _reading(self.path):
            return self._db.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                                    (table,)).fetchone() is not None

    @contextmanager
    def _transaction(self) -> Iterator[None]:
        self._db.execute("BEGIN IMMEDIATE")
        try:
            yield
            self._db.execute("COMMIT")
        except BaseException:
            # SQLite has already rolled back after some errors (a full disk among them): a
            # ROLLBACK then would fail and hide the error that matters.
            if self._db.in_transaction:
                self._db.execute("ROLLBACK")
            raise

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
