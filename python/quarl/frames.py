"""A gathered input as one DataFrame.

A consumer that gathers the runs of a partitioned upstream receives a list of {"partition",
"value"}; where its parameter is annotated pandas.DataFrame, it receives instead the upstream's
DataFrames concatenated into one, with a column for each dimension. The run's process decides,
from the annotations of the function it imports anyway: nothing in the plan changes.

Only values stored as parquet are gathered so: the files are read with pyarrow and concatenated
as tables, and converted to pandas once, which costs less than reading each file into a
DataFrame and concatenating those. Each column's dtype comes back as the format's own reader
(quarl.values) gives it for one value.

Imported by the run's process of every run that gathers an input: nothing but sys until a
DataFrame is made.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False  # not typing's: this module is imported before a run, and typing is not needed
if TYPE_CHECKING:
    from collections.abc import Mapping, Sequence
    from typing import Any

    from quarl.contract import Value


class GatherError(TypeError):
    """A gathered input that cannot be given as the one DataFrame its parameter asks for; the
    message names the parameter."""


def asset_function(module: str, attribute: str) -> Any:
    """The function an asset runs, undecorated, importing its module."""
    import importlib

    from quarl.options import undecorated

    return undecorated(getattr(importlib.import_module(module), attribute))


def asks_for_frame(function: Any, name: str) -> bool:
    """Whether the parameter `name` of `function` is annotated pandas.DataFrame. An annotation
    kept as text (`from __future__ import annotations`) is evaluated in the function's module,
    as typing.get_type_hints would; one that cannot be evaluated asks for nothing. pandas is not
    imported: a module that annotates with it has imported it."""
    pandas = sys.modules.get("pandas")
    if pandas is None:
        return False
    try:
        annotation = function.__annotations__.get(name)
        if isinstance(annotation, str):
            namespace = getattr(function, "__globals__", None)
            if namespace is None:
                namespace = vars(sys.modules[function.__module__])
            annotation = eval(annotation, namespace)
    except Exception:
        return False
    return annotation is pandas.DataFrame


def frame_parameters(function: Any, inputs: Mapping[str, Any]) -> frozenset[str]:
    """The gathered inputs (lists) whose parameters ask for one DataFrame."""
    return frozenset(name for name, item in inputs.items()
                     if isinstance(item, list) and asks_for_frame(function, name))


def _label(partition: Mapping[str, Any]) -> str:
    from quarl.run.plan import canonical, value_text

    return ",".join(f"{dim}={value_text(canonical(value))}" for dim, value in partition.items())


def gathered_frame(name: str, gathered: Sequence[tuple[Mapping[str, Any], Value]]) -> Any:
    """The DataFrames of the gathered runs as one: their rows in the order gathered, then a
    column for each dimension of the partitions, which holds each row's partition value, with
    the dtype pandas gives those values (a dimension that names a column or an index level of
    the DataFrames already is not added: theirs stays). The DataFrames' index is kept, as
    pd.concat keeps it, except pandas' default (an unnamed RangeIndex from 0): the rows are then
    numbered anew, from 0, as pd.concat(ignore_index=True) numbers them. A column that some
    DataFrames lack is missing in their rows; one that they store in different types gets the
    type both convert to (int and float: float), where there is one.

    Raises GatherError, naming the parameter, for a value not stored as parquet, DataFrames with
    different indexes, or columns of types that do not convert to one."""
    stored = next((item for item in gathered if item[1].format != "parquet"), None)
    if stored is not None:
        raise GatherError(
            f"parameter {name!r} is annotated pandas.DataFrame, which gathers DataFrames stored as "
            f"parquet: partition {_label(stored[0])} is stored as {stored[1].format}; store its asset with "
            '@asset(serializer="parquet"), or annotate the parameter list to receive each value')
    import json
    import warnings

    import pandas

    from quarl.values import _library, _pandas_metadata, _restored

    pyarrow, parquet = _library("pyarrow"), _library("pyarrow.parquet")

    if not gathered:
        return pandas.DataFrame()
    tables = []
    for _, value in gathered:
        with parquet.ParquetFile(value.path) as file:
            tables.append(file.read())
    recorded = [_pandas_metadata(table.schema) for table in tables]
    indexes = [_index_shape(metadata) for metadata in recorded]
    odd = next((number for number, index in enumerate(indexes) if index != indexes[0]), None)
    if odd is not None:
        raise GatherError(
            f"parameter {name!r}: the DataFrames of partitions {_label(gathered[0][0])} and "
            f"{_label(gathered[odd][0])} have different indexes ({_index_text(indexes[0])} and "
            f"{_index_text(indexes[odd])}), which one DataFrame cannot hold")
    try:
        table = pyarrow.concat_tables(tables, promote_options="permissive")
    except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError, pyarrow.ArrowNotImplementedError) as error:
        raise GatherError(f"parameter {name!r}: the DataFrames of its partitions cannot be "
                          f"concatenated ({error})") from None
    counts = [part.num_rows for part in tables]
    ranges = [_range(pandas, metadata, rows) for metadata, rows in zip(recorded, counts)]
    attributes = {(part.schema.metadata or {}).get(b"PANDAS_ATTRS") for part in tables}
    del tables
    metadata, restoring = _combined_metadata(recorded, table.schema.names, table.num_rows)
    if metadata is not None:
        table = table.replace_schema_metadata({**(table.schema.metadata or {}),
                                               b"pandas": json.dumps(metadata).encode()})
    with warnings.catch_warnings():
        # What pandas' own reading silences of older pyarrow's calls into it.
        warnings.filterwarnings("ignore", "make_block is deprecated")
        frame = _to_pandas(table)
    del table
    frame = _restored(frame, restoring)
    if indexes[0] == [None] and any(not _numbers_rows(index) for index in ranges):
        frame.index = ranges[0].append(ranges[1:])
    if len(attributes) == 1 and None not in attributes:
        # As pd.concat keeps attrs that every DataFrame has alike.
        frame.attrs = json.loads(attributes.pop())  # type: ignore[arg-type]
    taken = {*frame.columns, *frame.index.names}
    for dim in gathered[0][0]:
        if dim not in taken:
            frame[dim] = pandas.Series([partition.get(dim) for partition, _ in gathered]).array.repeat(counts)
    return frame


def _index_shape(metadata: Mapping[str, Any]) -> list[Any]:
    """What a DataFrame stored of its index: the fields that hold its levels, or None for a
    RangeIndex, which is stored as its bounds alone (and so is a table of pyarrow's own)."""
    levels = metadata.get("index_columns") or [{"kind": "range"}]
    return [level if isinstance(level, str) else None for level in levels]


def _range(pandas: Any, metadata: Mapping[str, Any], rows: int) -> Any:
    """The RangeIndex that a DataFrame of `rows` rows stored as its bounds, or the default one."""
    levels = metadata.get("index_columns") or [{}]
    level = levels[0] if isinstance(levels[0], dict) else {}
    try:
        index = pandas.RangeIndex(level["start"], level["stop"], level["step"], name=level.get("name"))
    except (KeyError, TypeError, ValueError):
        return pandas.RangeIndex(rows)
    return index if len(index) == rows else pandas.RangeIndex(rows)


def _numbers_rows(index: Any) -> bool:
    """Whether a RangeIndex is pandas' default: unnamed, from 0 by 1."""
    return bool(index.name is None and index.start == 0 and index.step == 1)


def _index_text(shape: list[Any]) -> str:
    return "a RangeIndex" if shape == [None] else ", ".join(map(repr, shape))


def _combined_metadata(recorded: Sequence[Mapping[str, Any]], fields: Sequence[str],
                       rows: int) -> tuple[dict[str, Any] | None, dict[str, Any]]:
    """pandas' record of the concatenated table: each field's entry as the first DataFrame that
    has the field recorded it, in the table's order; a RangeIndex over all the rows. And the
    record that quarl.values restores dtypes from, which leaves out a field whose DataFrames
    recorded different dtypes: the type they were converted to stands."""
    first = next((metadata for metadata in recorded if metadata), None)
    if first is None:
        return None, {}
    entries: dict[Any, dict[str, Any]] = {}
    agreed: dict[Any, bool] = {}
    for metadata in recorded:
        for entry in metadata.get("columns", []):
            field = entry.get("field_name")
            if field not in entries:
                entries[field], agreed[field] = entry, True
            elif entry.get("numpy_type") != entries[field].get("numpy_type"):
                agreed[field] = False
    ordered = [entries[field] for field in fields if field in entries]
    index = first.get("index_columns") or []
    if _index_shape(first) == [None]:
        names = {level.get("name") if isinstance(level, dict) else None
                 for metadata in recorded for level in metadata.get("index_columns") or [{}]}
        index = [{"kind": "range", "name": names.pop() if len(names) == 1 else None, "start": 0,
                  "stop": rows, "step": 1}]
    metadata = {**first, "columns": ordered, "index_columns": index}
    restoring = {**metadata, "columns": [entry if agreed[entry.get("field_name")] else
                                         {**entry, "numpy_type": ""} for entry in ordered]}
    return metadata, restoring


def _to_pandas(table: Any) -> Any:
    """The table as pandas.read_parquet converts the one it reads: with pandas' own conversion
    where it has one (the string dtype and the time zones of its version), else pyarrow's, which
    is what older pandas used."""
    from quarl.values import _library

    try:
        convert = _library("pandas.io._util").arrow_table_to_pandas
    except (ImportError, AttributeError):
        return table.to_pandas()
    return convert(table)
