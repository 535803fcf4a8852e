"""How a run ended, in the words every part of `quarl run` uses: the executors and the scheduler
decide it, the history stores it, the display and `quarl status` show it."""

from __future__ import annotations

import os
from collections.abc import Sequence
from enum import StrEnum
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quarl.contract import CheckResult


class Status(StrEnum):
    # The order is the tables' order of the counts.
    SUCCEEDED = "succeeded"
    # Published, with a failed check of the value: a warning, or an error that does not block.
    WARNED = "succeeded, check warned"
    CHECK_ERROR = "succeeded, check failed"
    UP_TO_DATE = "up to date"
    FAILED = "failed"
    CHECK_FAILED = "check failed"  # a blocking check failed: not published, the last value stays
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
        return self in (Status.FAILED, Status.CHECK_FAILED, Status.TIMEOUT)

    @property
    def published(self) -> bool:
        """The attempt published a new value."""
        return self in (Status.SUCCEEDED, Status.WARNED, Status.CHECK_ERROR)

    @property
    def usable(self) -> bool:
        """Its consumers may run on what is published."""
        return self.published or self == Status.UP_TO_DATE

    @property
    def clean(self) -> bool:
        """The command that decided it may end with status 0: usable, and no check of the value
        failed with severity error."""
        return self.usable and self != Status.CHECK_ERROR


def check_said(result: CheckResult) -> str:
    """A failed check as tables say it: "check no_refunds failed: 3 negative totals"."""
    return f"check {result.name} {'warned' if result.severity == 'warn' else 'failed'}: {result.message}"


def checks_verdict(results: Sequence[CheckResult]) -> tuple[Status, str | None]:
    """How a run whose value is written ends, by its checks: not published when a blocking check
    of severity error failed; else published, with a failed error check or a warning said. The
    message names each failed check."""
    failed = [r for r in results if not r.passed]
    message = "; ".join(check_said(r) for r in failed) or None
    errors = [r for r in failed if r.severity != "warn"]
    if any(r.blocking for r in errors):
        return Status.CHECK_FAILED, message
    if errors:
        return Status.CHECK_ERROR, message
    return (Status.WARNED if failed else Status.SUCCEEDED), message


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
