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

__all__ = ["AssetWrapper", "Partitions", "__version__", "asset", "partitions"]
