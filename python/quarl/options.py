"""Options of an asset beyond what `asset()` itself takes, given by decorators of this package that
stack with `@asset` in either order:

    @quarl.retry(3, on=(ConnectionError,))
    @asset()
    def prices() -> dict[str, float]: ...

Each decorator records its option on the asset's own function (the function itself below
`@asset`, the wrapper's `__quarl_original__` above it), in one dict named `__quarl_options__`,
and returns what it was given: the asset calls and declares as before. The inspection reads the
dict of every asset it finds and hands it to the plan.

Imported by user modules, in every run's process: nothing heavier than _quarl.
"""

from __future__ import annotations

from _quarl import AssetWrapper

TYPE_CHECKING = False  # not typing's: see quarl/__init__.py
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, TypeVar

    Target = TypeVar("Target", bound=Callable[..., Any])

OPTIONS = "__quarl_options__"


def undecorated(target: object) -> Any:
    """The function that an asset runs (and that carries its options), or TARGET itself when it is
    not an asset."""
    return target.__quarl_original__ if isinstance(target, AssetWrapper) else target


def _function(target: object, decorator: str) -> object:
    """The function that carries the options of TARGET: an asset's own, or TARGET itself."""
    function = undecorated(target)
    if not callable(function) or not hasattr(function, "__code__"):
        raise TypeError(f"{decorator} decorates a function or an @asset, not {type(target).__name__}")
    return function


def add_option(target: Target, name: str, value: object, decorator: str) -> Target:
    """Records option NAME on TARGET's function; an option given twice is an error, whichever
    value was meant."""
    function = _function(target, decorator)
    options = dict(getattr(function, OPTIONS, None) or {})
    if name in options:
        raise TypeError(f"{decorator} is given twice for {getattr(function, '__name__', '?')}")
    options[name] = value
    setattr(function, OPTIONS, options)
    return target


def options_of(target: object) -> dict[str, Any]:
    """The options recorded on an asset or a function; {} when none are."""
    found = getattr(undecorated(target), OPTIONS, None)
    return dict(found) if isinstance(found, dict) else {}


def exception_name(kind: type[BaseException]) -> str:
    """How records name an exception class: a built-in one by its name, any other with its module
    ("requests.exceptions.ConnectionError")."""
    module = getattr(kind, "__module__", "builtins")
    return kind.__qualname__ if module == "builtins" else f"{module}.{kind.__qualname__}"


def exception_names(error: BaseException) -> list[str]:
    """An exception's class and its bases, most derived first, as records name them: what decides
    whether a failure is worth retrying, in quarl run's process, where the classes are not."""
    return [exception_name(kind) for kind in type(error).__mro__ if issubclass(kind, BaseException)]


def retry(times: int, *, delay: float | None = None,
          on: type[BaseException] | tuple[type[BaseException], ...] = (ConnectionError, TimeoutError),
          ) -> Callable[[Target], Target]:
    """Retries the asset's failed runs up to TIMES more times, when their exception is one of ON
    (or of a subclass), or when they timed out or their worker was lost; DELAY seconds before the
    first retry (`quarl run --retry-delay` when None), twice as long before each next one. Stacks
    with `@asset` in either order, and replaces `--retries` for this asset."""
    if isinstance(times, bool) or not isinstance(times, int) or times < 0:
        raise ValueError(f"quarl.retry(): times must be an int of 0 or more, not {times!r}")
    if delay is not None and (isinstance(delay, bool) or not isinstance(delay, (int, float))
                              or not 0 <= delay < float("inf")):
        raise ValueError(f"quarl.retry(): delay must be a number of seconds, 0 or more, not {delay!r}")
    kinds = on if isinstance(on, tuple) else (on,)
    for kind in kinds:
        if not (isinstance(kind, type) and issubclass(kind, BaseException)):
            raise TypeError(f"quarl.retry(): on= takes exception classes, not {kind!r}")
    policy = {"times": times, "delay": None if delay is None else float(delay),
              "on": [exception_name(kind) for kind in kinds]}

    def decorate(target: Target) -> Target:
        return add_option(target, "retry", policy, "quarl.retry()")

    return decorate


def reads(*patterns: str) -> Callable[[Target], Target]:
    """The files the asset reads from outside the project's assets: paths or globs ("data/*.csv"),
    relative to the folder `quarl run` starts in, with {DIM} filled from the run's partition
    ("data/sales_{day}.csv"). What they match, and each file's content, is part of every run's
    fingerprint: an edited, added or removed file makes the runs that read it out of date."""
    if not patterns or not all(isinstance(p, str) and p for p in patterns):
        raise TypeError("quarl.reads() takes one or more paths or globs, as non-empty strings")

    def decorate(target: Target) -> Target:
        return add_option(target, "reads", list(patterns), "quarl.reads()")

    return decorate


def observe(function: Callable[..., str]) -> Callable[[Target], Target]:
    """A version of something the asset reads that quarl cannot see (a table's modification time,
    an API's ETag): FUNCTION(**partition) returns a short string, asked once per run when the
    project is planned; a new answer makes that run out of date."""
    if not callable(function):
        raise TypeError(f"quarl.observe() takes a function, not {type(function).__name__}")

    def decorate(target: Target) -> Target:
        return add_option(target, "observe", function, "quarl.observe()")

    return decorate


def batch(size: int) -> Callable[[Target], Target]:
    """Makes up to SIZE runs of the asset one after another in one forked process instead of a
    process per run: for many cheap runs, whose process would cost more than their work. The
    runs of a batch share the process's module state (what the asset's module and the libraries
    it uses keep between calls); each run keeps its own folder, logs, record, deadline and
    outcome, and a run that raises fails alone. A size of 1 keeps a process per run, also under
    `quarl run --isolation batch`."""
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"quarl.batch() takes a whole number of runs, not {type(size).__name__}")
    if size < 1:
        raise ValueError(f"quarl.batch() takes 1 run or more, not {size}")

    def decorate(target: Target) -> Target:
        return add_option(target, "batch", size, "quarl.batch()")

    return decorate
