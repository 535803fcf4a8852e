"""Options of an asset beyond the four that `@asset(...)` takes, as decorators that stack with it.

    @quarl.reads("data/sales_{day}.csv")
    @asset(partitions={"day": partitions(DAYS)})
    def raw_sales(day: str) -> list[dict]: ...

Each decorator keeps its option on the asset's own function (the one `@asset` wraps, whichever
of the two is applied first) and returns what it was given, unchanged: the decorated name is
still the asset, and type checkers see the same signature. The inspection reads the options back
(`options_of`) and reports them with the asset.
"""

from __future__ import annotations

# Not typing's at run time: the project's modules import this, and every run imports them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, TypeVar

    _F = TypeVar("_F")

ATTRIBUTE = "__quarl_options__"


def _function(target: Any) -> Any:
    """The function that carries the options: the one an asset wraps, or the function itself
    when the decorator is applied first."""
    return getattr(target, "__quarl_original__", target)


def _setter(name: str, value: object) -> Callable[[_F], _F]:
    def decorate(target: _F) -> _F:
        function = _function(target)
        if not callable(function):
            raise TypeError(f"@quarl.{name} decorates an asset's function, not {type(target).__name__}")
        options = function.__dict__.setdefault(ATTRIBUTE, {})
        if name in options:
            raise TypeError(f"@quarl.{name} is given twice for {getattr(function, '__qualname__', function)}")
        options[name] = value
        return target
    return decorate


def options_of(target: Any) -> dict[str, Any]:
    """The package's options of an asset (or of its function): {} when it has none."""
    options = getattr(_function(target), ATTRIBUTE, None)
    return dict(options) if isinstance(options, dict) else {}


def reads(*patterns: str) -> Callable[[_F], _F]:
    """The files the asset reads from outside the project's assets: paths or globs ("data/*.csv"),
    relative to the folder `quarl run` starts in, with {DIM} filled from the run's partition
    ("data/sales_{day}.csv"). What they match, and each file's content, is part of every run's
    fingerprint: an edited, added or removed file makes the runs that read it out of date."""
    if not patterns or not all(isinstance(p, str) and p for p in patterns):
        raise TypeError("@quarl.reads takes one or more paths or globs, as non-empty strings")
    return _setter("reads", list(patterns))


def observe(function: Callable[..., str]) -> Callable[[_F], _F]:
    """A version of something the asset reads that quarl cannot see (a table's modification time,
    an API's ETag): FUNCTION(**partition) returns a short string, asked once per run when the
    project is planned; a new answer makes that run out of date."""
    if not callable(function):
        raise TypeError(f"@quarl.observe takes a function, not {type(function).__name__}")
    return _setter("observe", function)
