"""Whether a failed run is tried again: the asset's own policy (`quarl.retry`), or `--retries` for
an asset that says nothing, and whether its failure is worth another attempt.

Pure: the exception of a failure arrives as the names of its class and bases (the run's record
keeps them), compared with the names that `quarl.retry(on=...)` recorded.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

CHECK_FAILED = "quarl.CheckFailed"  # what a check's failure counts as (quarl.checks.CheckFailed)
REFUSED_VALUE = "quarl.values.ValueStoreError"  # a value its serializer would not read back as it is

# Failures that come out the same on every attempt: retried only where on= names them.
NEVER = ("AssertionError", "TypeError", REFUSED_VALUE, CHECK_FAILED)


@dataclass(frozen=True)
class RetryPolicy:
    times: int  # attempts after the first
    delay: float | None = None  # before the first retry, doubled before each next; None: --retry-delay
    on: tuple[str, ...] | None = None  # the exceptions worth retrying; None: any but NEVER's


def _named(kind: str) -> str:
    return "a check's failure" if kind == CHECK_FAILED else kind


def not_retried(policy: RetryPolicy, error_types: Sequence[str] | None) -> str | None:
    """Why a failure is not worth retrying under POLICY; None when it is. ERROR_TYPES are its
    exception's class and bases, most derived first; None when the run ended without one (a
    timeout, a crash, a lost worker), which is always worth retrying."""
    if not error_types:
        return None
    named = policy.on or ()
    for never in NEVER:
        if never in error_types:
            # Named itself, or a subclass of it that the exception is.
            below = error_types[:error_types.index(never) + 1]
            if not any(kind in below for kind in named):
                return f"{_named(never)} comes out the same on every attempt (quarl.retry(on=...) may name {never})"
    if policy.on is not None and not any(kind in error_types for kind in policy.on):
        return f"{_named(error_types[0])} is not in quarl.retry(on=({', '.join(policy.on)}))"
    return None
