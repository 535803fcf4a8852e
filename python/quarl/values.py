"""How an asset's value is stored and read back: `@asset(serializer=NAME)`.

    None, "json"        what json.dumps takes                     value.json
    "pickle"            anything picklable (protocol 5)           value.pkl
    "parquet"           a pandas DataFrame or a pyarrow Table     value.parquet
                        (a DataFrame only as it reads back)
    "numpy"             a numpy ndarray, saved without pickle     value.npy
    "auto"              JSON when the value reads back from it the same, else parquet for a
                        DataFrame that it keeps, numpy for an ndarray, else pickle
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
from collections.abc import Callable, Mapping
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


class ValueStoreError(ValueError):
    """A value that its serializer would not read back as it is. The message says where (a
    column, the index, the column labels) and why; it is raised before the value is published."""


# The remedy that every refusal of a value ends with.
KEEPS_ANY = 'serializer="pickle" keeps any object'

# What pandas' infer_dtype calls the values of an object column that parquet gives back as they
# were (load makes the column an object column again): all of one of these types, or missing.
_KEPT_OBJECTS = frozenset({"string", "bytes", "boolean", "decimal", "date", "time", "empty"})


def _refusal(where: str, reason: str) -> ValueStoreError:
    return ValueStoreError(f"{where}: {reason}; {KEEPS_ANY}")


def _is_pandas_frame(value: Any) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(value, pandas.DataFrame)


def _dtype_text(dtype: Any) -> str:
    # str() of a StringDtype leaves out its storage, which is what parquet may change.
    if isinstance(dtype, sys.modules["pandas"].StringDtype):
        return f"{dtype}[{dtype.storage}]"
    return str(dtype)


def _field_name(label: Any) -> str:
    """The name pyarrow gives the field of a column labelled `label`."""
    if isinstance(label, tuple):
        return str(tuple(str(part) for part in label))
    return label if isinstance(label, str) else str(label)


def _levels(index: Any) -> list[tuple[str, Any]]:
    """How a message names each level of an index, and the level's dtype."""
    if index.nlevels == 1:
        return [("the index", index.dtype)]
    return [(f"index level {name!r}" if name is not None else f"index level {number}", dtype)
            for number, (name, dtype) in enumerate(zip(index.names, index.dtypes))]


def _object_problem(values: Any) -> str | None:
    """Why parquet would not give back the values of an object column (or index level)."""
    pandas, numpy = sys.modules["pandas"], sys.modules["numpy"]
    if pandas.api.types.infer_dtype(values, skipna=True) not in _KEPT_OBJECTS:
        names = sorted({_type_name(item) for item in values.dropna()})
        listed = " and ".join(names) if len(names) < 3 else ", ".join(names[:-1]) + " and " + names[-1]
        return (f"holds {listed} values; parquet keeps an object column whose values are all of one "
                "type among str, bytes, bool, Decimal, date and time")
    # Parquet keeps that a value is missing, not which marker said so: None reads back equal to
    # None and NaN, not to pandas.NA or NaT.
    odd = next((item for item in values[values.isna()]
                if item is not None and not isinstance(item, (float, numpy.floating))), None)
    if odd is not None:
        return f"holds {odd!r} for a missing value, which parquet gives back as None"
    return None


def _values_problem(dtype: Any, values: Callable[[], Any]) -> str | None:
    """Why parquet would not give back a column or an index level of this dtype, as far as
    memory shows; values() gives its values (a Series or an Index) where they matter."""
    if dtype == object:
        return _object_problem(values())
    pandas = sys.modules["pandas"]
    if isinstance(dtype, pandas.CategoricalDtype) and dtype.categories.dtype == object:
        # The file keeps the categories as strings, read back as pandas now makes strings.
        strings = pandas.Index(["a"]).dtype
        if strings != object:
            return f"parquet gives its categories of object back as categories of {strings}"
    return None


def _frame_problem(frame: Any) -> ValueStoreError | None:
    """What a DataFrame holds that parquet would not give back, found in memory: column labels
    that share a field name, object columns of other values than those parquet keeps."""
    seen: dict[str, Any] = {}
    for label in frame.columns:
        name = _field_name(label)
        if name in seen:
            first = seen[name]
            if type(first) is type(label) and first == label:
                return _refusal(f"column {label!r}", "another column has the same label")
            return _refusal(f"column {label!r}", f"parquet names it {name!r}, as it does column {first!r}")
        seen[name] = label
    for number, dtype in enumerate(frame.dtypes):
        problem = _values_problem(dtype, lambda: frame.iloc[:, number])
        if problem is not None:
            return _refusal(f"column {frame.columns[number]!r}", problem)
    for number, (where, dtype) in enumerate(_levels(frame.index)):
        problem = _values_problem(dtype, lambda: frame.index.get_level_values(number))
        if problem is not None:
            return _refusal(where, problem)
    return None


def _unconvertible(frame: Any) -> ValueStoreError | None:
    """The first column that pyarrow cannot convert, after it failed to convert the frame."""
    pyarrow = _library("pyarrow")
    for number, label in enumerate(frame.columns):
        column = frame.iloc[:, number]
        try:
            pyarrow.Array.from_pandas(column)
        except Exception as error:
            return _refusal(f"column {label!r}", f"parquet cannot store its {_dtype_text(column.dtype)} "
                                                 f"values ({error_text(error)})")
    return None


def _pandas_metadata(schema: Any) -> dict[str, Any]:
    text = (schema.metadata or {}).get(b"pandas")
    return json.loads(text) if text else {}


def _restoring(dtype: Any, numpy_type: str) -> str | None:
    """What pyarrow read back otherwise of a dtype that pandas recorded as `numpy_type`: "object"
    for an object column (read as pandas' str when it holds strings), the unit of datetimes and
    durations read in another (parquet has no unit of seconds); None when it read it back."""
    if numpy_type == "object":
        return None if dtype == object else "object"
    if not numpy_type.startswith(("datetime64[", "timedelta64[")) or dtype.kind not in "mM":
        return None
    unit = numpy_type.partition("[")[2].rstrip("]")
    # A time zone's dtype has a unit of its own; numpy's says it in datetime_data.
    read = getattr(dtype, "unit", None) or sys.modules["numpy"].datetime_data(dtype)[0]
    return None if read == unit else unit


def _restored_values(values: Any, target: str) -> Any:
    """A Series or an Index as _restoring said."""
    if target == "object":
        # parquet keeps that a value is missing: None says so, as in pyarrow's other object columns.
        return values.astype(object).where(values.notna(), None)
    return values.as_unit(target) if hasattr(values, "as_unit") else values.dt.as_unit(target)


def _restored(frame: Any, metadata: Mapping[str, Any]) -> Any:
    """The frame that pyarrow read, with the dtypes pandas recorded that pyarrow does not give
    back (_restoring), in place."""
    entries = metadata.get("columns")
    if not isinstance(entries, list):
        return frame
    recorded = {entry.get("field_name"): str(entry.get("numpy_type")) for entry in entries}
    index_fields = [field for field in metadata.get("index_columns", []) if isinstance(field, str)]
    data = [str(entry.get("numpy_type")) for entry in entries if entry.get("field_name") not in index_fields]
    if len(data) == frame.shape[1]:
        for number, (numpy_type, dtype) in enumerate(zip(data, frame.dtypes)):
            target = _restoring(dtype, numpy_type)
            if target is not None:
                frame.isetitem(number, _restored_values(frame.iloc[:, number], target))
    index = frame.index
    if index_fields and len(index_fields) == index.nlevels:
        dtypes = list(index.dtypes) if index.nlevels > 1 else [index.dtype]
        targets = [_restoring(dtype, recorded.get(field, "")) for dtype, field in zip(dtypes, index_fields)]
        if any(target is not None for target in targets):
            pandas = sys.modules["pandas"]
            arrays = [index.get_level_values(number) if target is None else
                      _restored_values(index.get_level_values(number), target)
                      for number, target in enumerate(targets)]
            frame.index = pandas.Index(arrays[0], name=index.name) if len(arrays) == 1 else \
                pandas.MultiIndex.from_arrays(arrays, names=index.names)
    labels = metadata.get("column_indexes", [])
    if len(labels) == 1 and labels[0].get("numpy_type") == "object" and frame.columns.dtype != object:
        frame.columns = frame.columns.astype(object)
    return frame


def _same_dtype(dtype: Any, back: Any) -> bool:
    # A frame rebuilt from a schema has categoricals without their categories, which the file's
    # dictionaries give back with the data.
    if isinstance(dtype, sys.modules["pandas"].CategoricalDtype):
        return getattr(back, "name", None) == "category" and back.ordered == dtype.ordered
    return bool(dtype == back)


def _difference(frame: Any, back: Any) -> ValueStoreError | None:
    """Where `back`, the frame rebuilt from the written file's schema, differs from `frame`: a
    column label, the labels' index, the dtype of a column or of an index level."""
    if len(back.columns) != len(frame.columns):
        return _refusal("the column labels", f"parquet gives back {len(back.columns)} columns, "
                                             f"not {len(frame.columns)}")
    for number, label in enumerate([] if frame.columns.equals(back.columns) else frame.columns):
        if not frame.columns[number:number + 1].equals(back.columns[number:number + 1]):
            return _refusal(f"column {label!r}", f"parquet gives its label back as {back.columns.tolist()[number]!r}")
    if frame.columns.dtype != back.columns.dtype or list(frame.columns.names) != list(back.columns.names):
        return _refusal("the column labels", f"parquet gives back labels of {back.columns.dtype} named "
                                             f"{list(back.columns.names)}, not of {frame.columns.dtype} "
                                             f"named {list(frame.columns.names)}")
    for number, (dtype, read) in enumerate(zip(frame.dtypes, back.dtypes)):
        if not _same_dtype(dtype, read):
            return _refusal(f"column {frame.columns[number]!r}",
                            f"parquet gives its {_dtype_text(dtype)} values back as {_dtype_text(read)}")
    if list(frame.index.names) != list(back.index.names):
        return _refusal("the index", f"parquet gives its names {list(frame.index.names)} back as "
                                     f"{list(back.index.names)}")
    for (where, dtype), (_, read) in zip(_levels(frame.index), _levels(back.index)):
        if not _same_dtype(dtype, read):
            return _refusal(where, f"parquet gives its {_dtype_text(dtype)} values back as {_dtype_text(read)}")
    return None


def _unreadable(schema: Any, frame: Any, error: BaseException) -> ValueStoreError:
    """The column whose dtype pandas cannot rebuild from the file, as it could not the whole."""
    pyarrow = _library("pyarrow")
    index_fields = [field for field in _pandas_metadata(schema).get("index_columns", [])
                    if isinstance(field, str)]
    fields = [field for field in schema if field.name not in index_fields]
    if len(fields) == frame.shape[1]:
        for field, label, dtype in zip(fields, frame.columns, frame.dtypes):
            try:
                pyarrow.schema([field], metadata=schema.metadata).empty_table().to_pandas()
            except Exception as found:
                return _refusal(f"column {label!r}", f"parquet cannot give its {_dtype_text(dtype)} "
                                                     f"values back ({error_text(found)})")
    return _refusal("the value", f"parquet cannot give it back ({error_text(error)})")


def _schema_problem(value: Any, schema: Any) -> ValueStoreError | None:
    """What the frame rebuilt from a written file's schema (with pandas' record of the frame)
    shows that `value` would not read back as: a dtype pandas cannot rebuild, a label, a dtype."""
    metadata = _pandas_metadata(schema)
    try:
        back = _restored(schema.empty_table().to_pandas(), metadata)
    except Exception as error:
        if not _is_pandas_frame(value):
            return _refusal("the value", f"parquet cannot give it back ({error_text(error)})")
        return _unreadable(schema, value, error)
    if not _is_pandas_frame(value):
        return None
    index = metadata.get("index_columns")
    if isinstance(index, list) and len(index) == 1 and isinstance(index[0], dict):
        # A range index keeps its name only where the rows are those it counts, not in none.
        back.index.name = index[0].get("name")
    return _difference(value, back)


class ParquetSerializer:
    """pandas' own parquet (through pyarrow). A DataFrame is stored only as it reads back: its
    column labels, its index and the dtypes of its columns (time zones, categoricals, nullable
    integers, strings) and its values. `check` refuses in memory what parquet would change;
    `verify` reads a written file's schema back and refuses what it shows would read back
    otherwise, or not at all. A pyarrow Table is read back as a DataFrame."""

    name = "parquet"
    suffix = ".parquet"

    def check(self, value: Any) -> None:
        """Raises ValueStoreError for a DataFrame (or Table) that parquet would not give back
        as it is, TypeError for another value. Looks at labels, dtypes and the values of object
        columns; converts nothing."""
        if _is_pandas_frame(value):
            problem = _frame_problem(value)
            if problem is not None:
                raise problem
            return
        pyarrow = sys.modules.get("pyarrow")
        if pyarrow is not None and isinstance(value, pyarrow.Table):
            names = value.schema.names
            twice = next((name for number, name in enumerate(names) if name in names[:number]), None)
            if twice is not None:
                raise _refusal(f"column {twice!r}", "another column has the same name")
            return
        raise TypeError(f"serializer 'parquet' stores a pandas DataFrame or a pyarrow Table, "
                        f"not {_type_name(value)}")

    def dump(self, value: Any, path: Path) -> None:
        self.check(value)
        if not _is_pandas_frame(value):
            _library("pyarrow.parquet").write_table(value, path)
            return
        try:
            value.to_parquet(path, engine="pyarrow")
        except (TypeError, ValueError, NotImplementedError) as error:
            problem = _unconvertible(value)
            if problem is None:
                raise
            raise problem from error

    def verify(self, value: Any, path: Path) -> None:
        """Raises ValueStoreError when the file that dump wrote of `value` at `path` would not
        read back as `value`. Reads the file's schema and pandas' record of the frame, not the
        data, whose values check vouched for."""
        problem = _schema_problem(value, _library("pyarrow.parquet").read_schema(path))
        if problem is not None:
            raise problem

    def keeps(self, value: Any) -> bool:
        """Whether parquet gives `value` back as it is: check, and verify on a file of none of
        its rows, written in memory."""
        try:
            self.check(value)
        except (TypeError, ValueError):
            return False
        if not _is_pandas_frame(value):
            return True
        import io

        buffer = io.BytesIO()
        try:
            value.iloc[:0].to_parquet(buffer, engine="pyarrow")
        except (TypeError, ValueError, NotImplementedError):
            return False
        schema = _library("pyarrow.parquet").read_schema(_library("pyarrow").BufferReader(buffer.getvalue()))
        return _schema_problem(value, schema) is None

    def load(self, path: Path) -> Any:
        frame = _library("pandas").read_parquet(path, engine="pyarrow")
        return _restored(frame, _pandas_metadata(_library("pyarrow.parquet").read_schema(path)))


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
_PARQUET = ParquetSerializer()
PARQUET: Serializer = _PARQUET
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


def _kept_by_json(value: Any) -> bool:
    """Whether json.loads gives back, from the text json.dumps made of `value`, a value equal to
    it and of the same types throughout: made of dicts with str keys, lists, str, int, float,
    bool and None only (a tuple would come back a list, a key 1 the key "1", an enum its value)."""
    pending = [value]
    while pending:
        item = pending.pop()
        kind = type(item)
        if kind is dict:
            if any(type(key) is not str for key in item):
                return False
            pending.extend(item.values())
        elif kind is list:
            pending.extend(item)
        elif kind not in (str, int, float, bool) and item is not None:
            return False
    return True


def choose_auto(value: Any) -> tuple[Serializer, str | None]:
    """The format that serializer="auto" stores `value` in, with the text to write when that is
    JSON: the first that gives `value` back equal and of the same types of JSON, parquet for a
    DataFrame or Table, numpy for an ndarray of plain values, and pickle."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = None
    if text is not None and _kept_by_json(value):
        return JSON, text
    chosen = suggested(value)
    if chosen is PARQUET and not _PARQUET.keeps(value):
        return PICKLE, None
    return chosen, None


def verify_written(serializer: Serializer, value: Any, path: Path) -> None:
    """Raises ValueStoreError when the file that `serializer` wrote of `value` at `path` would not
    read back as `value`, so that it is never published: parquet reads the file's schema back.
    The other built-in formats give back what they write; a serializer of the user's is taken at
    its word."""
    if isinstance(serializer, ParquetSerializer):
        serializer.verify(value, path)


def dump_verified(serializer: Serializer, value: Any, path: Path) -> None:
    """dump, then verify_written: for write_whole, which removes the file when either raises."""
    serializer.dump(value, path)
    verify_written(serializer, value, path)


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

def load_inputs(request: Request, frames: frozenset[str] = frozenset()) -> dict[str, Any]:
    """The run's keyword arguments, each upstream value read in its recorded format: a partition
    value as it is, an upstream run's value, or the list of {"partition", "value"} of several;
    for a parameter in `frames`, those values as one DataFrame (quarl.frames)."""
    kwargs: dict[str, Any] = {}
    for name, item in request.inputs.items():
        if isinstance(item, Value):
            kwargs[name] = load(item)
        elif isinstance(item, list) and name in frames:
            from quarl.frames import gathered_frame

            kwargs[name] = gathered_frame(name, item)
        elif isinstance(item, list):
            kwargs[name] = [{"partition": partition, "value": load(value)} for partition, value in item]
        else:
            kwargs[name] = item["value"]
    return kwargs


def load(value: Value) -> Any:
    """A published value, read back by the serializer of its format."""
    return reader(value.format, value.serializer).load(Path(value.path))


# --- materializing a run ---------------------------------------------------------------------

def materialize(request: Request) -> tuple[str, str, str | None, Any]:
    """Materializes a run whose value or inputs are not all JSON into its folder, as
    `_quarl.materialize_asset` does a JSON one: the value file, then result.json with the same
    members; a failure writes the same failure record and ends with SystemExit(1), whose
    context is the run's exception. Each file is written whole or not at all. Returns the value
    file's name, its format, the serializer= that wrote it, and the value itself (which the
    run's checks take as it is, without reading it back)."""
    import inspect

    from quarl.frames import asset_function, frame_parameters

    out = Path(request.folder)
    out.mkdir(parents=True, exist_ok=True)
    result_path = out / "result.json"
    # The record of an earlier run goes before the user's code runs: should this run die, it
    # must not leave a record of success beside whatever it left of its own.
    result_path.unlink(missing_ok=True)
    spec = request.serializer
    try:
        function = asset_function(request.module, request.function)
        kwargs = load_inputs(request, frame_parameters(function, request.inputs))
        value = function(**kwargs) if kwargs else function()
        chosen = resolve(spec) if spec is not None else JSON
        text = None
        if chosen is None:  # auto
            chosen, text = choose_auto(value)
        serializer = chosen
        value_path = out / f"value{serializer.suffix}"
        if text is not None:
            write_whole(value_path, text.encode())
        else:
            write_whole(value_path, lambda p: dump_verified(serializer, value, p))
        record = {"ok": True, "artifact_format": serializer.name, "value_path": str(value_path),
                  "result_type": type(value).__name__, "module_path": request.module,
                  "function_name": request.function, "signature": str(inspect.signature(function))}
        write_whole(result_path, record_bytes(record))
    except BaseException as error:
        write_whole(result_path, record_bytes({"ok": False, "error": error_text(error),
                                               "error_type": str(type(error).__name__)}))
        sys.exit(1)
    return value_path.name, serializer.name, spec, value


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
