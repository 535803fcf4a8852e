"""quarl: declare data assets with a decorator.

    from quarl import asset, check, partitions

    @asset()
    def orders() -> list[dict]:
        ...

    @check(orders)
    def has_orders(value: list[dict]) -> bool:
        return bool(value)

`check` declares a check of an asset's value; `retry` stacks with `@asset` and sets how its
failed runs are retried.

The native module `_quarl` does the work; this package is what users import. The `quarl`
command (quarl.cli: run, status, graph) plans and runs a whole project, starting the two
entry points below in processes of their own:

    python -m quarl.inspect MODULE [MODULE ...]     print the JSON report of the modules' assets
    python -m quarl.worker MODULE FUNCTION OUTPUT_DIR [INPUT_KWARGS_JSON]
                                                    materialize one asset into OUTPUT_DIR
"""

from _quarl import AssetWrapper, Partitions, asset, partitions

from quarl._version import __version__
from quarl.checks import CheckFailed, check
from quarl.options import batch, observe, reads, retry

# Not typing's: importing typing would cost every worker more than the rest of this package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quarl.published import load
    from quarl.values import Serializer

__all__ = ["AssetWrapper", "CheckFailed", "Partitions", "Serializer", "__version__", "asset", "batch", "check",
           "load", "observe", "partitions", "reads", "retry"]


def __getattr__(name: str) -> object:
    # Imported when asked for: every worker imports this package, and most never need them.
    if name == "Serializer":
        from quarl.values import Serializer

        return Serializer
    if name == "load":
        from quarl.published import load

        return load
    raise AttributeError(f"module 'quarl' has no attribute {name!r}")
