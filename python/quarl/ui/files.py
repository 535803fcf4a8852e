"""What the pages read from the output folder: files found strictly inside it, the end of logs,
and previews of values that never load more than a slice of the file.

Every path is checked after the symbolic links in it are resolved: a link that leads out of the
output folder is refused like a `..`.
"""

from __future__ import annotations

import codecs
import importlib
import json
import math
import os
import re
import tempfile
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple
from urllib.parse import unquote

from quarl import contract

if TYPE_CHECKING:
    from quarl.run.history import History
    from quarl.run.storage.objects import ObjectStorage

LOG_TAIL_BYTES = 64 * 1024
PREVIEW_CHARS = 20_000
_PREVIEW_READ = 256 * 1024
_RECORD_BYTES = 1 << 20  # result.json and run.json are small; anything larger is not ours


def inside(root: str, path: str) -> str | None:
    """The real path of `path` when it is a regular file within `root` (a real path), else None."""
    real = os.path.realpath(path)
    if not real.startswith(root + os.sep) or not os.path.isfile(real):
        return None
    return real


def resolve_url_path(root: str, encoded: str) -> str | None:
    """The file that a URL path below the output folder names ("asset/part%3D1/stderr.log"), or
    None. Each segment is decoded on its own, so an encoded slash cannot make a new segment, and
    a segment that is empty, "." or ".." refuses the whole path rather than being normalised."""
    names = [unquote(segment, errors="replace") for segment in encoded.split("/")]
    if any(name in ("", ".", "..") or "/" in name or "\0" in name for name in names):
        return None
    return inside(root, os.path.join(root, *names))


def read_record(root: str, path: str) -> dict[str, Any] | None:
    """A JSON object from a record file such as run.json, or None when missing or unreadable."""
    real = inside(root, path)
    if real is None:
        return None
    try:
        with open(real, "rb") as file:
            value = json.loads(file.read(_RECORD_BYTES))
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None


def log_tail(root: str, path: str) -> dict[str, Any] | None:
    """The end of a log: its last LOG_TAIL_BYTES, from the first whole line in them."""
    real = inside(root, path)
    if real is None:
        return None
    try:
        with open(real, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            start = max(0, size - LOG_TAIL_BYTES)
            file.seek(start)
            data = file.read(LOG_TAIL_BYTES)
    except OSError:
        return None
    if start:
        newline = data.find(b"\n")
        data = data[newline + 1:] if newline >= 0 else data
    return {"text": data.decode("utf-8", errors="replace"), "size": size, "cut": start > 0}


class StoredValue(NamedTuple):
    """Which file of a published run holds its value, in which format, of which type."""

    file: str
    format: str
    type: str | None


def stored_value(root: str, folder: str) -> StoredValue | None:
    """The value of the run published in `folder`, as its record (run.json) names it; None when
    nothing successful is published there. The file is a name looked up in the folder itself."""
    document = read_record(root, os.path.join(folder, contract.RUN_RECORD))
    record = contract.RunRecord(document) if document is not None else None
    if record is None or not record.published_value:
        return None
    kind = record.result_type
    return StoredValue(str(record.value_file), str(record.format), kind if isinstance(kind, str) else None)


def preview(root: str, folder: str) -> dict[str, Any] | None:
    """What the pages show of a run's value: its format, type and size, and what can be read of
    it without running any code and without loading more than a slice of the file: for JSON the
    beginning of the value, pretty-printed; for parquet the footer (rows, columns, types) and the
    first rows; for numpy the header (shape, dtype) and the first values. A value in another
    format is never opened: reading it means loading it, and some formats (pickle) run code when
    loaded."""
    value = stored_value(root, folder)
    if value is None:
        return None
    shown: dict[str, Any] = {"format": value.format, "type": value.type, "file": value.file, "size": None}
    real = inside(root, os.path.join(folder, value.file))
    if real is None:
        return shown
    try:
        with open(real, "rb") as file:
            shown["size"] = os.fstat(file.fileno()).st_size
            if value.format == "json":
                text, cut = pretty_json_prefix(file.read(_PREVIEW_READ), PREVIEW_CHARS)
                if not cut and shown["size"] > _PREVIEW_READ:
                    text, cut = text + "…", True
                shown.update(text=text, cut=cut)
            elif value.format == "numpy":
                shown.update(_npy_preview(file))
            elif value.format == "parquet":
                shown.update(_parquet_preview(file))
    except OSError:
        pass
    return shown


PREVIEW_ROWS = 10
PREVIEW_COLUMNS = 20  # the columns of the first rows' table
LISTED_COLUMNS = 200  # the columns whose types are listed
CELL_CHARS = 60
# pyarrow before 14.0.1 rebuilt extension types of a file by unpickling them (CVE-2023-47248).
_SAFE_PYARROW = (14, 0, 1)


def _library(name: str) -> Any:
    """A module of a library that may not be installed, or None."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def _cell(value: Any) -> str | None:
    if value is None:
        return None
    text = value if isinstance(value, str) else str(value)
    return text if len(text) <= CELL_CHARS else text[:CELL_CHARS - 1] + "…"


def _pandas_dtype(column: dict[str, Any], arrow_type: str) -> str:
    """A column's dtype as pandas names it, from the pandas metadata of the file."""
    kind, numpy_type = column.get("pandas_type"), column.get("numpy_type")
    metadata = column.get("metadata") or {}
    if kind == "categorical":
        return "category"
    if kind == "datetimetz" and isinstance(numpy_type, str) and numpy_type.endswith("]"):
        return f"{numpy_type[:-1]}, {metadata.get('timezone')}]"
    return numpy_type if isinstance(numpy_type, str) else arrow_type


def _parquet_preview(file: BinaryIO) -> dict[str, Any]:
    """The footer of a parquet file and its first rows, read by pyarrow, which runs no code of
    the file's (the pandas metadata is JSON): where pyarrow can be imported here."""
    pyarrow = _library("pyarrow")
    numbers = tuple(int(n) for n in re.findall(r"\d+", getattr(pyarrow, "__version__", ""))[:3])
    if pyarrow is None or numbers < _SAFE_PYARROW:
        return {}
    parquet = importlib.import_module("pyarrow.parquet")
    try:
        # Read in 64 KB steps: a column chunk of the first row group is not loaded whole.
        reader = parquet.ParquetFile(file, buffer_size=1 << 16)
        schema = reader.schema_arrow
        pandas_meta = schema.pandas_metadata or {}
        described = {c.get("field_name"): c for c in pandas_meta.get("columns", []) if isinstance(c, dict)}
        index = {name for name in pandas_meta.get("index_columns", []) if isinstance(name, str)}
        fields = [(schema.field(i).name, str(schema.field(i).type)) for i in range(len(schema))]
        # The index first, as pandas shows a frame.
        fields.sort(key=lambda field: field[0] not in index)
        columns = []
        for name, arrow_type in fields:
            column = described.get(name)
            shown_name = column.get("name") if column is not None else name
            if shown_name is None:  # an index without a name is stored as __index_level_0__
                shown_name = "" if name in index else name
            columns.append([str(shown_name), _pandas_dtype(column, arrow_type) if column else arrow_type,
                            name in index])
        frame: dict[str, Any] = {"rows": reader.metadata.num_rows,
                                 "columns": sum(not is_index for _, _, is_index in columns),
                                 "dtypes": columns[:LISTED_COLUMNS],
                                 "unlisted": max(0, len(columns) - LISTED_COLUMNS)}
        chosen = [name for name, _ in fields[:PREVIEW_COLUMNS]]
        head: list[list[str | None]] = []
        for batch in reader.iter_batches(batch_size=PREVIEW_ROWS, columns=chosen, use_threads=False):
            values = [batch.column(i).to_pylist() for i in range(batch.num_columns)]
            head.extend([_cell(column[row]) for column in values] for row in range(batch.num_rows))
            if len(head) >= PREVIEW_ROWS:
                break
        frame["head"] = head[:PREVIEW_ROWS]
        frame["head_columns"] = len(chosen)
    except Exception as error:  # pyarrow's errors are many (ArrowInvalid, OSError, ...)
        return {"problem": f"cannot be read as parquet: {error}"}
    return {"frame": frame}


def _npy_preview(file: BinaryIO) -> dict[str, Any]:
    """The header of a .npy file (shape, dtype, order), parsed as a Python literal and never
    unpickled, and the first values of a numeric array in C order."""
    numpy = _library("numpy")
    if numpy is None:
        return {}
    npy = importlib.import_module("numpy.lib.format")
    try:
        version = npy.read_magic(file)
        if version == (1, 0):
            shape, fortran, dtype = npy.read_array_header_1_0(file)
        elif version == (2, 0):
            shape, fortran, dtype = npy.read_array_header_2_0(file)
        else:
            return {"problem": f"numpy's format {version[0]}.{version[1]} is not read here"}
    except (ValueError, OSError) as error:
        return {"problem": f"cannot be read as numpy: {error}"}
    array: dict[str, Any] = {"shape": list(shape), "dtype": str(dtype), "order": "F" if fortran else "C"}
    if not fortran and dtype.kind in "biufcmM" and dtype.fields is None and dtype.itemsize:
        count = min(PREVIEW_ROWS, math.prod(shape))
        data = file.read(count * dtype.itemsize)
        values = numpy.frombuffer(data, dtype=dtype, count=len(data) // dtype.itemsize)
        array["first"] = [_cell(v) for v in values.tolist()]
    return {"array": array}


def pretty_json_prefix(data: bytes, limit: int) -> tuple[str, bool]:
    """Indents the beginning of a JSON text as json.dumps(indent=2) lays it out, without parsing
    it whole: a value of gigabytes shows its first `limit` characters in the time of those.
    Returns the text, with "…" at the end when it was cut, and whether it was."""
    text = codecs.getincrementaldecoder("utf-8")(errors="replace").decode(data, final=False)
    out: list[str] = []
    length = 0
    depth = 0
    index = 0
    size = len(text)

    def emit(piece: str) -> bool:
        nonlocal length
        out.append(piece)
        length += len(piece)
        return length < limit

    while index < size:
        char = text[index]
        if char == '"':
            end = index + 1
            while end < size and text[end] != '"':
                end += 2 if text[end] == "\\" else 1
            piece = text[index:end + 1]
            index = end + 1
        elif char in " \t\r\n":
            index += 1
            continue
        elif char in "{[":
            after = index + 1
            while after < size and text[after] in " \t\r\n":
                after += 1
            if after < size and text[after] == ("}" if char == "{" else "]"):
                piece, index = char + text[after], after + 1
            else:
                depth += 1
                piece, index = char + "\n" + "  " * depth, index + 1
        elif char in "}]":
            depth = max(0, depth - 1)
            piece, index = "\n" + "  " * depth + char, index + 1
        elif char == ",":
            piece, index = ",\n" + "  " * depth, index + 1
        elif char == ":":
            piece, index = ": ", index + 1
        else:
            end = index
            while end < size and text[end] not in ',:{}[]" \t\r\n':
                end += 1
            piece, index = text[index:end], end
        if not emit(piece):
            break
    joined = "".join(out)
    if length > limit or index < size:
        return joined[:limit] + "…", True
    return joined, False


# --- where the pages read runs from ------------------------------------------------------------------

class Opened(NamedTuple):
    """A file to send: its size and its bytes, in chunks."""

    name: str
    size: int
    chunks: Iterator[bytes]


class LocalFolders:
    """The runs of an output folder: each run's folder, its last failure's, and their files."""

    def __init__(self, out: str) -> None:
        from quarl.run.storage.local import LocalStorage

        self.out = os.path.abspath(out)
        self.storage = LocalStorage(out)

    @property
    def root(self) -> str:
        """The output folder's real path, looked up at each use: it may be made after we start."""
        return os.path.realpath(self.out)

    def history(self) -> History | None:
        from quarl.run.history import History

        return History.open(self.out, create=False)

    def published(self, asset_key: str, partition: tuple[tuple[str, str], ...]) -> str:
        from quarl.run.layout import RunPaths

        return RunPaths(self.out, asset_key, partition).published

    def failed(self, asset_key: str, partition: tuple[tuple[str, str], ...]) -> str:
        from quarl.run.layout import RunPaths

        return RunPaths(self.out, asset_key, partition).failed

    def record(self, folder: str, name: str) -> dict[str, Any] | None:
        return read_record(self.root, os.path.join(folder, name))

    def log_tail(self, folder: str, name: str) -> dict[str, Any] | None:
        return log_tail(self.root, os.path.join(folder, name))

    def preview(self, folder: str) -> dict[str, Any] | None:
        return preview(self.root, folder)

    def relative(self, folder: str) -> str:
        return os.path.relpath(folder, self.out)

    def open(self, encoded: str) -> Opened | None:
        real = resolve_url_path(self.root, encoded)
        if real is None:
            return None
        try:
            file = open(real, "rb")
        except OSError:
            return None
        size = os.fstat(file.fileno()).st_size

        def chunks() -> Iterator[bytes]:
            # A log may grow while it is sent: no more than the length announced.
            with file:
                left = size
                while left > 0:
                    chunk = file.read(min(left, 1 << 16))
                    if not chunk:
                        break
                    yield chunk
                    left -= len(chunk)

        return Opened(real, size, chunks())


class StoreFolders:
    """The runs of an output on an object store: a run's folder is the attempt its pointer names
    now, its last failure the attempt its failure's pointer names; the history is the snapshot
    that quarl run keeps there, copied here once a change."""

    def __init__(self, storage: ObjectStorage) -> None:
        self.storage = storage
        self.out = storage.out
        self.root = storage.out
        self._copy: tuple[str, str] | None = None  # (ETag, local copy) of the history
        self._scratch = tempfile.TemporaryDirectory(prefix="quarl-ui-")

    def history(self) -> History | None:
        from quarl.run.history import FILE_NAME, History
        from quarl.run.storage.objects import SNAPSHOT

        store, key = self.storage.store, self.storage.key(SNAPSHOT)
        tag = store.head(key)
        if tag is None:
            return None
        if self._copy is None or self._copy[0] != tag:
            found = store.get(key)
            if found is None:
                return None
            folder = tempfile.mkdtemp(dir=self._scratch.name)
            with open(os.path.join(folder, FILE_NAME), "wb") as file:
                file.write(found[0])
            self._copy = (found[1], folder)
        history = History.open(self._copy[1], create=False)
        if history is not None:
            history.path = self.storage.url(SNAPSHOT)
        return history

    def published(self, asset_key: str, partition: tuple[tuple[str, str], ...]) -> str | None:
        from quarl.run.storage.objects import ATTEMPTS

        place = self.storage.place(asset_key, partition)
        document = self.storage.read_pointers([place.key])[0][0]
        attempt = document.get("attempt") if document is not None else None
        return self.storage.url(f"{place.key}/{ATTEMPTS}/{attempt}") if isinstance(attempt, str) else None

    def failed(self, asset_key: str, partition: tuple[tuple[str, str], ...]) -> str | None:
        from quarl.run.storage.objects import ATTEMPTS, FAILURE

        place = self.storage.place(asset_key, partition)
        found = self.storage.store.get(self.storage.key(f"{place.key}/{FAILURE}"))
        try:
            attempt = json.loads(found[0]).get("attempt") if found is not None else None
        except (ValueError, AttributeError):
            attempt = None
        return self.storage.url(f"{place.key}/{ATTEMPTS}/{attempt}") if isinstance(attempt, str) else None

    def _key(self, folder: str, name: str) -> str:
        return self.storage.key(f"{self.storage.relative(folder)}/{name}")

    def record(self, folder: str, name: str) -> dict[str, Any] | None:
        found = self.storage.store.read_range(self._key(folder, name), 0, _RECORD_BYTES)
        try:
            value = json.loads(found[0]) if found is not None else None
        except ValueError:
            return None
        return value if isinstance(value, dict) else None

    def log_tail(self, folder: str, name: str) -> dict[str, Any] | None:
        found = self.storage.store.read_range(self._key(folder, name), -LOG_TAIL_BYTES, LOG_TAIL_BYTES)
        if found is None:
            return None
        data, size = found
        cut = size > len(data)
        if cut:
            newline = data.find(b"\n")
            data = data[newline + 1:] if newline >= 0 else data
        return {"text": data.decode("utf-8", errors="replace"), "size": size, "cut": cut}

    def preview(self, folder: str) -> dict[str, Any] | None:
        document = self.record(folder, contract.RUN_RECORD)
        record = contract.RunRecord(document) if document is not None else None
        if record is None or not record.published_value:
            return None
        artifact_format, name = str(record.format), str(record.value_file)
        shown: dict[str, Any] = {"format": artifact_format, "type": record.result_type, "file": name,
                                 "size": record.value_size}
        if artifact_format == "json":
            found = self.storage.store.read_range(self._key(folder, name), 0, _PREVIEW_READ)
            if found is not None:
                shown["size"] = found[1]
                text, cut = pretty_json_prefix(found[0], PREVIEW_CHARS)
                if not cut and found[1] > _PREVIEW_READ:
                    text, cut = text + "…", True
                shown.update(text=text, cut=cut)
        return shown

    def relative(self, folder: str) -> str:
        return self.storage.relative(folder)

    def open(self, encoded: str) -> Opened | None:
        names = [unquote(segment, errors="replace") for segment in encoded.split("/")]
        if any(name in ("", ".", "..") or "/" in name or "\0" in name for name in names):
            return None
        key = self.storage.key("/".join(names))
        found = self.storage.store.get(key)
        if found is None:
            return None
        return Opened(names[-1], len(found[0]), iter([found[0]]))


def folders_of(out: str) -> LocalFolders | StoreFolders:
    from quarl.run.storage import is_url, open_storage

    if not is_url(out):
        return LocalFolders(out)
    storage = open_storage(out)
    return StoreFolders(storage)  # type: ignore[arg-type]
