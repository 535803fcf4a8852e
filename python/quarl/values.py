"""How an asset's value is stored and read back: `@asset(serializer=NAME)`.

    None, "json"        what json.dumps takes                     value.json
    "pickle"            anything picklable (protocol 5)           value.pkl
    "parquet"           a pandas DataFrame or a pyarrow Table     value.parquet
    "numpy"             a numpy ndarray, saved without pickle     value.npy
    "auto"              JSON when json.dumps takes it, else parquet for a DataFrame, numpy for
                        an ndarray, else pickle
    "MODULE:ATTRIBUTE"  an object of the user's with the four members of Serializer
    other names         registered by installed packages under the entry-point group
                        "quarl.serializers"

A run whose asset and inputs are all JSON is materialized by `_quarl.materialize_asset`; any
other run by `materialize` below, which leaves the same two files (the value, then result.json
with the same members) and the same failure record. A consumer reads each input with the format
that its upstream's run record names (quarl.contract.Value).

This module is imported by the orchestrator and by workers: it imports no optional library until
a value needs it.
"""

from __future__ import annotations

import functools
import json
import sys
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

from quarl.contract import Request, Value, record_bytes
from quarl.errors import QuarlError
from quarl.writer import write_whole

ENTRY_POINT_GROUP = "quarl.serializers"


@runtime_checkable
class Serializer(Protocol):
    """What `@asset(serializer=...)` names: `name` is what the records' artifact_format says,
    `suffix` the value file's suffix with its dot (".parquet"). `dump` writes the value to
    `path`; `load` reads it back. Both get a pathlib.Path."""

    name: str
    suffix: str

    def dump(self, value: Any, path: Path) -> None: ...

    def load(self, path: Path) -> Any: ...


class SerializerError(QuarlError):
    """A serializer that cannot be used; the message says why, for a plan error."""


# --- the built-in serializers -------------------------------------------------------------------

class JsonSerializer:
    """The module's own format: the text of json.dumps(value) with its default options."""

    name = "json"
    suffix = ".json"

    def dump(self, value: Any, path: Path) -> None:
        path.write_text(json.dumps(value), "utf-8")

    def load(self, path: Path) -> Any:
        return json.loads(path.read_bytes())


class PickleSerializer:
    name = "pickle"
    suffix = ".pkl"

    def dump(self, value: Any, path: Path) -> None:
        import pickle

        with open(path, "wb") as file:
            pickle.dump(value, file, protocol=5)

    def load(self, path: Path) -> Any:
        import pickle

        with open(path, "rb") as file:
            return pickle.load(file)


def _library(name: str) -> Any:
    # Imported by name: the libraries are optional, and untyped to a type checker.
    import importlib

    return importlib.import_module(name)


def _type_name(value: Any) -> str:
    kind = type(value)
    return kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


class ParquetSerializer:
    """pandas' own parquet (through pyarrow), which keeps the dtypes (time zones, categoricals,
    nullable integers, strings), the index and the column names in the file's metadata."""

    name = "parquet"
    suffix = ".parquet"

    def dump(self, value: Any, path: Path) -> None:
        pandas = sys.modules.get("pandas")
        if pandas is not None and isinstance(value, pandas.DataFrame):
            value.to_parquet(path, engine="pyarrow")
            return
        pyarrow = sys.modules.get("pyarrow")
        if pyarrow is not None and isinstance(value, pyarrow.Table):
            _library("pyarrow.parquet").write_table(value, path)
            return
        raise TypeError(f"serializer 'parquet' stores a pandas DataFrame or a pyarrow Table, "
                        f"not {_type_name(value)}")

    def load(self, path: Path) -> Any:
        return _library("pandas").read_parquet(path, engine="pyarrow")


class NumpySerializer:
    """numpy's .npy format without pickle: an array of Python objects is refused when written,
    and nothing in the file can run code when it is read."""

    name = "numpy"
    suffix = ".npy"

    def dump(self, value: Any, path: Path) -> None:
        numpy = sys.modules.get("numpy")
        if numpy is None or not isinstance(value, numpy.ndarray):
            raise TypeError(f"serializer 'numpy' stores a numpy ndarray, not {_type_name(value)}")
        # A file object: given a name, numpy.save would add ".npy" to one that lacks it.
        with open(path, "wb") as file:
            numpy.save(file, value, allow_pickle=False)

    def load(self, path: Path) -> Any:
        return _library("numpy").load(path, allow_pickle=False)


JSON: Serializer = JsonSerializer()
PICKLE: Serializer = PickleSerializer()
PARQUET: Serializer = ParquetSerializer()
NUMPY: Serializer = NumpySerializer()
FORMATS: dict[str, Serializer] = {s.name: s for s in (JSON, PICKLE, PARQUET, NUMPY)}
AUTO = "auto"


def _is_frame(value: Any) -> bool:
    # Only a library that is loaded already can have made the value.
    pandas, pyarrow = sys.modules.get("pandas"), sys.modules.get("pyarrow")
    return (pandas is not None and isinstance(value, pandas.DataFrame)) or \
        (pyarrow is not None and isinstance(value, pyarrow.Table))


def _is_array(value: Any) -> bool:
    numpy = sys.modules.get("numpy")
    return numpy is not None and isinstance(value, numpy.ndarray)


def suggested(value: Any) -> Serializer:
    """The built-in serializer for a value JSON cannot take: parquet for a DataFrame, numpy for
    an ndarray (of plain values), pickle for anything else."""
    if _is_frame(value):
        return PARQUET
    if _is_array(value) and value.dtype.kind != "O":
        return NUMPY
    return PICKLE


# What each built-in format needs installed, and how to install it.
LIBRARIES: dict[str, tuple[tuple[str, ...], str]] = {
    "parquet": (("pandas", "pyarrow"), "pip install 'quarl[parquet]'"),
    "numpy": (("numpy",), "pip install numpy"),
}


def missing_library(name: str) -> str | None:
    """The problem with a built-in format whose library cannot be found, without importing it."""
    if name not in LIBRARIES:
        return None
    import importlib.util

    libraries, command = LIBRARIES[name]
    for library in libraries:
        try:
            found = importlib.util.find_spec(library) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            return f"serializer {name!r} needs {library}, which is not installed: {command}"
    return None


# --- names to serializers -----------------------------------------------------------------------

_MEMBERS = ("name", "suffix", "dump", "load")


def _validated(found: Any, spec: str) -> Serializer:
    lacking = [m for m in _MEMBERS if not hasattr(found, m)]
    if lacking:
        raise SerializerError(f"serializer {spec!r} does not name a serializer: "
                              f"{_type_name(found)} has no {', '.join(lacking)}")
    if isinstance(found, type):
        # A class whose methods take self stands for its one instance.
        try:
            found = found()
        except Exception as error:
            raise SerializerError(f"serializer {spec!r} does not name a serializer: "
                                  f"{found.__qualname__}() failed: {error_text(error)}") from None
    name, suffix = getattr(found, "name"), getattr(found, "suffix")
    problem = None
    if not isinstance(name, str) or not name or ":" in name:
        problem = f"its name is {name!r}, not a name of a format"
    elif name in FORMATS or name == AUTO:
        # Its files would be read back by the built-in format of that name.
        problem = f"its name {name!r} is that of a built-in format"
    elif not isinstance(suffix, str) or not suffix.startswith(".") or len(suffix) < 2 or \
            "/" in suffix or "\x00" in suffix:
        problem = f"its suffix is {suffix!r}, not a file suffix such as '.csv'"
    elif not (callable(getattr(found, "dump")) and callable(getattr(found, "load"))):
        problem = "its dump and load are not both callable"
    if problem:
        raise SerializerError(f"serializer {spec!r} does not name a serializer: {problem}")
    return found  # type: ignore[no-any-return]


def _from_attribute(spec: str) -> Serializer:
    import importlib

    module_name, _, attribute = spec.partition(":")
    if not module_name or not attribute:
        raise SerializerError(f"serializer {spec!r} does not name a serializer: "
                              "write MODULE:ATTRIBUTE")
    try:
        found: Any = importlib.import_module(module_name)
    except Exception as error:
        raise SerializerError(f"serializer {spec!r} does not name a serializer: cannot import "
                              f"{module_name}: {error_text(error)}") from None
    for part in attribute.split("."):
        try:
            found = getattr(found, part)
        except AttributeError:
            raise SerializerError(f"serializer {spec!r} does not name a serializer: "
                                  f"{module_name} has no attribute {attribute!r}") from None
    return _validated(found, spec)


def _registered() -> dict[str, Any]:
    from importlib.metadata import entry_points

    return {point.name: point for point in entry_points(group=ENTRY_POINT_GROUP)}


def _from_entry_point(name: str) -> Serializer | None:
    point = _registered().get(name)
    if point is None:
        return None
    try:
        found = point.load()
    except Exception as error:
        raise SerializerError(f"serializer {name!r} (registered as {point.value}) cannot be "
                              f"loaded: {error_text(error)}") from None
    serializer = _validated(found, name)
    if serializer.name != name:
        # Its files would record a format that no registered name reads back.
        raise SerializerError(f"serializer {name!r} (registered as {point.value}) calls itself "
                              f"{serializer.name!r}")
    return serializer


def resolve(spec: str) -> Serializer | None:
    """The serializer that `serializer=` names; None for "auto", which chooses per value.
    Raises SerializerError."""
    if spec == AUTO:
        return None
    if spec in FORMATS:
        return FORMATS[spec]
    if ":" in spec:
        return _from_attribute(spec)
    found = _from_entry_point(spec)
    if found is None:
        known = ", ".join(sorted([*FORMATS, AUTO, *_registered()]))
        raise SerializerError(f"unknown serializer {spec!r} (known: {known}; or MODULE:ATTRIBUTE "
                              "for one of your own)")
    return found


def check(spec: str) -> str | None:
    """What stops `serializer=spec` from working here, or None. Run where the workers run (user
    code may be imported)."""
    if spec in (AUTO, "json", "pickle"):
        return None
    problem = missing_library(spec)
    if problem is not None or spec in FORMATS:
        return problem
    try:
        resolve(spec)
    except SerializerError as error:
        return str(error)
    return None


@functools.cache
def reader(artifact_format: str, declared: str | None) -> Serializer:
    """The serializer that reads a value stored in `artifact_format`: a built-in format, one
    registered by that name, or the upstream's own MODULE:ATTRIBUTE when its name is that."""
    if artifact_format in FORMATS:
        return FORMATS[artifact_format]
    if declared is not None and ":" in declared:
        own = _from_attribute(declared)
        if own.name == artifact_format:
            return own
    registered = _from_entry_point(artifact_format)
    if registered is None:
        raise SerializerError(f"no serializer reads the format {artifact_format!r}")
    return registered


# --- the records a worker writes -------------------------------------------------------------------

def error_text(error: BaseException) -> str:
    """An exception as a failure record says it: "QualifiedType: message"."""
    try:
        message = str(error)
    except BaseException:
        message = "<exception str() failed>"
    else:
        message = message.encode("utf-8", "replace").decode("utf-8")
    return f"{type(error).__qualname__}: {message}"


# --- the input of a run --------------------------------------------------------------------------

def load_inputs(request: Request) -> dict[str, Any]:
    """The run's keyword arguments, each upstream value read in its recorded format: a partition
    value as it is, an upstream run's value, or the list of {"partition", "value"} of several."""
    kwargs: dict[str, Any] = {}
    for name, item in request.inputs.items():
        if isinstance(item, Value):
            kwargs[name] = load(item)
        elif isinstance(item, list):
            kwargs[name] = [{"partition": partition, "value": load(value)} for partition, value in item]
        else:
            kwargs[name] = item["value"]
    return kwargs


def load(value: Value) -> Any:
    """A published value, read back by the serializer of its format."""
    return reader(value.format, value.serializer).load(Path(value.path))


# --- materializing a run ---------------------------------------------------------------------

def materialize(request: Request) -> tuple[str, str, str | None]:
    """Materializes a run whose value or inputs are not all JSON into its folder, as
    `_quarl.materialize_asset` does a JSON one: the value file, then result.json with the same
    members; a failure writes the same failure record and ends with SystemExit(1), whose
    context is the run's exception. Each file is written whole or not at all. Returns the value
    file's name, its format and the serializer= that wrote it."""
    import importlib
    import inspect

    out = Path(request.folder)
    out.mkdir(parents=True, exist_ok=True)
    result_path = out / "result.json"
    # The record of an earlier run goes before the user's code runs: should this run die, it
    # must not leave a record of success beside whatever it left of its own.
    result_path.unlink(missing_ok=True)
    spec = request.serializer
    try:
        module = importlib.import_module(request.module)
        asset = getattr(module, request.function)
        try:
            function = getattr(asset, "__quarl_original__")
        except Exception:
            function = asset
        kwargs = load_inputs(request)
        value = function(**kwargs) if kwargs else function()
        chosen = resolve(spec) if spec is not None else JSON
        text = None
        if chosen is None:  # auto
            try:
                text = json.dumps(value)
                chosen = JSON
            except (TypeError, ValueError):
                chosen = suggested(value)
        serializer = chosen
        value_path = out / f"value{serializer.suffix}"
        if text is not None:
            write_whole(value_path, text.encode())
        else:
            write_whole(value_path, lambda p: serializer.dump(value, p))
        record = {"ok": True, "artifact_format": serializer.name, "value_path": str(value_path),
                  "result_type": type(value).__name__, "module_path": request.module,
                  "function_name": request.function, "signature": str(inspect.signature(function))}
        write_whole(result_path, record_bytes(record))
    except BaseException as error:
        write_whole(result_path, record_bytes({"ok": False, "error": error_text(error),
                                               "error_type": str(type(error).__name__)}))
        sys.exit(1)
    return value_path.name, serializer.name, spec


def json_hint(error: BaseException, asset: str) -> str | None:
    """The hint that tells how to store a value that json.dumps refused, when `error` is that
    refusal: the serializer that would store the value, found from json.dumps's own frame."""
    if not isinstance(error, TypeError) or not str(error).endswith("is not JSON serializable"):
        return None
    tb = error.__traceback__
    while tb is not None:
        frame = tb.tb_frame
        if frame.f_code is json.dumps.__code__:
            value = frame.f_locals.get("obj")
            return (f"{asset} returned a value of type {type(value).__name__}, which JSON "
                    f'cannot store: store it with @asset(serializer="{suggested(value).name}")')
        tb = tb.tb_next
    return None
