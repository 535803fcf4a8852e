"""quarl.batch(size): an asset's runs made several at a time, one after another in one process.

    @quarl.batch(50)
    @asset(partitions={"day": partitions(days)})
    def cleaned(day: str) -> pd.DataFrame:
        ...

It stacks with @asset in either order and leaves the asset as it is: what it asks for is noted
here, in the process that imports the module, and the inspection adds it to the asset's record
("batch"), from which `quarl run` plans. A size of 1 keeps a process per run, also under
`--isolation batch`.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

_T = TypeVar("_T")

# The sizes asked for, by the decorated function's module and name, which the inspection's
# records name too.
declared: dict[tuple[str, str], int] = {}


def batch(size: int) -> Callable[[_T], _T]:
    """Makes up to SIZE runs of the asset one after another in one forked process instead of a
    process per run: for many cheap runs, whose process would cost more than their work. The
    runs of a batch share the process's module state (what the asset's module and the libraries
    it uses keep between calls); each run keeps its own folder, logs, record, deadline and
    outcome, and a run that raises fails alone."""
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"quarl.batch() takes a whole number of runs, not {type(size).__name__}")
    if size < 1:
        raise ValueError(f"quarl.batch() takes 1 run or more, not {size}")

    def decorate(target: _T) -> _T:
        # Above @asset it gets the asset's wrapper, below it the function the wrapper will hold.
        function: Any = getattr(target, "__quarl_original__", target)
        module, name = getattr(function, "__module__", None), getattr(function, "__name__", None)
        if not (callable(function) and isinstance(module, str) and isinstance(name, str)):
            raise TypeError(f"quarl.batch() decorates an asset's function, not {type(target).__name__}")
        declared[(module, name)] = size
        return target

    return decorate


def annotate(assets: list[dict[str, Any]]) -> None:
    """Adds "batch" to the inspection's record of each asset that quarl.batch() decorates."""
    for record in assets:
        key = (str(record.get("function_module") or record.get("module_path")), str(record.get("function_name")))
        size = declared.get(key)
        if size is not None:
            record["batch"] = size
