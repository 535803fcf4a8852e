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
    PRUNED = "pruned"  # no longer in the plan, its folders removed by quarl prune

    @property
    def failed(self) -> bool:
        """The attempt ran and did not succeed: it counts against --retries and --fail-fast."""
        return self in (Status.FAILED, Status.TIMEOUT)

    @property
    def usable(self) -> bool:
        """Its consumers may run on what is published."""
        return self in (Status.SUCCEEDED, Status.UP_TO_DATE)


def failure_log(status: str, folder: str | None) -> str | None:
    """The log a table points at for a run: the standard error of an attempt that failed."""
    if folder and Status(status).failed:
        return os.path.join(folder, "stderr.log")
    return None
