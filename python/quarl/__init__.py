"""quarl: declare data assets with a decorator."""

from _quarl import asset, partitions

__all__ = ["asset", "partitions"]
