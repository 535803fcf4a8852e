# Types of the native module _quarl. The wheel installs this file twice: beside the extension
# (where editors look) and as the stub-only package _quarl-stubs (where mypy looks, as it reads
# a single-file module in site-packages only from a stub package).

from collections.abc import Callable, Sequence
from typing import Any, Generic, Literal, ParamSpec, Self, TypedDict, TypeVar, final

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

_P = ParamSpec("_P")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

class _PartitionDimension(TypedDict):
    kind: Literal["inline"]
    values_json: str

class _AssetMetadata(TypedDict):
    kind: Literal["asset"]
    name: str | None
    serializer: str | None
    inputs: dict[str, str] | None
    partitions: dict[str, _PartitionDimension] | None

@final
class AssetWrapper(Generic[_P, _R_co]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    # Made only by the decorator that asset() returns; calling the class raises TypeError.
    @property
    def __quarl_metadata__(self) -> _AssetMetadata: ...
    @property
    def __quarl_kind__(self) -> Literal["asset"]: ...
    @property
    def __quarl_original__(self) -> Callable[_P, _R_co]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    # Read through an instance of a class, the wrapper is not bound: it stays this wrapper.
    def __get__(self, instance: object, owner: type | None = None, /) -> Self: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> Callable[[Callable[_P, _R]], AssetWrapper[_P, _R]]: ...
def partitions(values: list[Any]) -> Partitions: ...
def inspect_modules(modules: Sequence[str]) -> str: ...
def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None: ...

# The report of inspect_modules without module sources, with each function's __module__; for
# quarl's own orchestrator, not among the module's public names.
def _inspect_modules_compact(modules: Sequence[str]) -> str: ...
