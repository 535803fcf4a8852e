"""How a run ended, in the words every part of `quarl run` uses: the executors and the scheduler
decide it, the history stores it, the display and `quarl status` show it."""

from __future__ import annotations

import os
from enum import StrEnum


class Status(StrEnum):
    # The order is the tables' order of the counts.
    SUCCEEDED = "succeeded"
    UP_TO_DATE = "up to date"
    FAILED = "failed"
    TIMEOUT = "timeout"
    SKIPPED = "skipped"  # an upstream run failed
    INTERRUPTED = "interrupted"
    NOT_STARTED = "not started"  # stopped before its turn (Ctrl-C, --fail-fast)
    # Never recorded: what `quarl status` shows for a succeeded run whose published value has
    # been edited, replaced or removed by hand since.
    CHANGED = "changed outside quarl"
    PRUNED = "pruned"  # no longer in the plan, its folders removed by quarl prune
    # Never recorded: what `quarl status` shows for a planned run that has no attempt yet.
    NEVER_RUN = "never run"

    @property
    def failed(self) -> bool:
        """The attempt ran and did not succeed: it counts against --retries and --fail-fast."""
        return self in (Status.FAILED, Status.TIMEOUT)

    @property
    def usable(self) -> bool:
        """Its consumers may run on what is published."""
        return self in (Status.SUCCEEDED, Status.UP_TO_DATE)


def failure_log(status: str, folder: str | None) -> str | None:
    """The log a table points at for a run that failed: its standard error, unless that is empty
    and its standard output is not (an asset killed at its timeout while printing progress)."""
    if not (folder and Status(status).failed):
        return None
    stderr, stdout = os.path.join(folder, "stderr.log"), os.path.join(folder, "stdout.log")
    for path in (stderr, stdout):
        try:
            if os.path.getsize(path) > 0:
                return path
        except OSError:
            pass
    return stderr


def last_line(path: str, limit: int = 4096) -> str | None:
    """The last line of a log that is not blank, read from its end; None when there is none."""
    try:
        with open(path, "rb") as file:
            size = file.seek(0, os.SEEK_END)
            file.seek(max(0, size - limit))
            tail = file.read()
    except OSError:
        return None
    lines = [line for line in tail.decode("utf-8", "replace").splitlines() if line.strip()]
    return lines[-1].strip() if lines else None
