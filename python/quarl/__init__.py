"""quarl: declare data assets with a decorator.

    from quarl import asset, partitions

    @asset()
    def orders() -> list[dict]:
        ...

The native module `_quarl` does the work; this package is what users import. The `quarl`
command (quarl.cli: run, status, graph) plans and runs a whole project, starting the two
entry points below in processes of their own:

    python -m quarl.inspect MODULE [MODULE ...]     print the JSON report of the modules' assets
    python -m quarl.worker MODULE FUNCTION OUTPUT_DIR [INPUT_KWARGS_JSON]
                                                    materialize one asset into OUTPUT_DIR
"""

from _quarl import AssetWrapper, Partitions, asset, partitions

from quarl._version import __version__

# Not typing's: importing typing would cost every worker more than the rest of this package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quarl.batching import batch
    from quarl.values import Serializer

__all__ = ["AssetWrapper", "Partitions", "Serializer", "__version__", "asset", "batch", "partitions"]


def __getattr__(name: str) -> object:
    # Serializer (what @asset(serializer="MODULE:ATTRIBUTE") names) is imported when asked for:
    # every worker imports this package, and most never need it.
    if name == "Serializer":
        from quarl.values import Serializer

        return Serializer
    if name == "batch":  # as rarely needed
        from quarl.batching import batch

        return batch
    raise AttributeError(f"module 'quarl' has no attribute {name!r}")
