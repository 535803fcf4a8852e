"""Where a run's files live under the output folder, and how a finished attempt is published.

    OUT/<key>/                                   an unpartitioned asset's published run
    OUT/<key>/<dim=value,...>/                   one partition's published run

(an asset's key is its name=, or "<module>.<function>")
    .../.<name>.attempt-<id>/                    an attempt in progress, beside what it replaces
                                                 (<id>: 12 lowercase hexadecimal digits)
    .../.<name>.failed/                          the last failed attempt, with its record and logs

A published folder holds the value (value.json, or value<suffix> of its serializer) and
result.json (written by the worker), stdout.log and stderr.log, and run.json (the orchestrator's
record: fingerprint, partition, timing, the value file's size and modification time). It is only
ever replaced whole, by one rename, so a reader never sees parts of two runs, and only once what
it holds is on the disk.
"""

from __future__ import annotations

import ctypes
import errno
import functools
import json
import os
import re
import shutil
from collections.abc import Sequence
from typing import Any, BinaryIO, NamedTuple

from quarl.run.plan import canonical, value_text

# Characters kept as they are in a partition folder name; everything else that is ASCII is
# percent-encoded: "/" and NUL cannot appear in a file name, control characters and the shell's
# specials are a trap, and ",", "=" and "%" structure the name. Non-ASCII text stays readable.
_SAFE = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.~+@")
NAME_MAX = 255


_UNSAFE = re.compile(f"[^{re.escape(''.join(sorted(_SAFE)))}\\x80-\\U0010ffff]")


def _escape(text: str) -> str:
    if _UNSAFE.search(text) is None:
        return text
    out = []
    for char in text:
        if char in _SAFE or ord(char) > 0x7F:
            out.append(char)
        else:
            out.append(f"%{ord(char):02X}")
    return "".join(out)


def _unescape(text: str) -> str:
    parts = text.split("%")
    return parts[0] + "".join(chr(int(part[:2], 16)) + part[2:] for part in parts[1:])


def _value_of(text: str) -> Any:
    try:
        return json.loads(text)
    except ValueError:
        return text


@functools.lru_cache(maxsize=1 << 17)
def partition_folder(partition: tuple[tuple[str, str], ...]) -> str:
    """"dim=value,dim=value": unique for every combination of JSON values, and reversible.

    It never starts with ".": names that do are quarl's own (attempts, failures), and a dimension
    named ".x" must not make a published folder that recover() could take for one of them."""
    name = ",".join(f"{_escape(dim)}={_escape(value_text(text))}" for dim, text in partition)
    return "%2E" + name[1:] if name.startswith(".") else name


def value_folder_name(text: str) -> str:
    """A partition value (its canonical JSON text) as its folder name writes it."""
    return _escape(value_text(text))


def printed_folder_name(printed: str) -> str:
    """A partition value as its folder name writes it, from the text that tables print
    (`value_text`), for a caller that has that text already."""
    return _escape(printed)


def folder_name_value(name: str) -> str | None:
    """The canonical JSON text of the value that a partition folder name writes NAME, or None
    when NAME is no such name."""
    try:
        return canonical(_value_of(_unescape(name)))
    except ValueError:
        return None


def split_partition_folder(name: str) -> tuple[tuple[str, str], ...]:
    """(dimension, value as the folder name writes it) pairs of a partition folder name."""
    return tuple((_unescape(dim), value) for dim, _, value in (item.partition("=") for item in name.split(",")))


def parse_partition_folder(name: str) -> dict[str, Any]:
    pairs = (item.split("=") for item in name.split(","))
    return {_unescape(dim): _value_of(_unescape(value)) for dim, value in pairs}


class RunPaths:
    """The folders of one run: published, the attempts, the last failure."""

    # Joined by hand: an up-to-date check of a run costs a few microseconds, os.path.join a
    # microsecond a call. OUT is absolute; neither an asset key nor a folder name holds a "/".
    def __init__(self, out: str, asset_key: str, partition: tuple[tuple[str, str], ...]) -> None:
        out = out.rstrip("/")
        if partition:
            self.parent = f"{out}/{asset_key}"
            self.name = partition_folder(partition)
        else:
            self.parent, self.name = out, asset_key
        self.published = f"{self.parent}/{self.name}"

    @property
    def failed(self) -> str:
        return f"{self.parent}/.{self.name}.failed"

    def attempt(self, attempt_id: str) -> str:
        return f"{self.parent}/.{self.name}.attempt-{attempt_id}"


def too_long(asset_key: str, partition: tuple[tuple[str, str], ...]) -> bool:
    """Whether a run's attempt folder name would be longer than a file name may be."""
    name = partition_folder(partition) if partition else asset_key
    return len(f".{name}.attempt-000000000000".encode()) > NAME_MAX


# --- publication ----------------------------------------------------------------------------------

_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _load_renameat2() -> Any:
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return None
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    return function


_renameat2 = _load_renameat2()


def exchange(a: str, b: str) -> bool:
    """Swaps two paths in one step (Linux's renameat2 RENAME_EXCHANGE); False where the system or
    the file system cannot."""
    if _renameat2 is None:
        return False
    if _renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), a)


def replace_folder(source: str, target: str) -> None:
    """Moves the folder `source` to `target`, replacing whatever is there. The replaced folder is
    removed afterwards; at every instant `target` is either the old folder or the new one whole."""
    try:
        os.rename(source, target)  # nothing there yet (an empty folder is replaced too)
        return
    except OSError as error:
        if error.errno not in (errno.ENOTEMPTY, errno.EEXIST):
            raise
    if exchange(source, target):
        shutil.rmtree(source)
        return
    # No atomic swap on this file system: step the old folder aside first. Should this process
    # die between the two renames, recover() puts it back.
    aside = source + ".replaced"
    os.rename(target, aside)
    os.rename(source, target)
    shutil.rmtree(aside)


# The names of an attempt folder and of what replace_folder() steps aside, exactly as RunPaths
# and the scheduler's attempt ids (12 lowercase hex digits) make them; no published or failed
# folder can look like one (a partition folder never starts with ".", an asset's is a dotted
# Python name).
_ATTEMPT_NAME = re.compile(r"\.(.+)\.attempt-[0-9a-f]{12}(\.replaced)?", re.DOTALL)


def _sync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    except OSError as error:
        # Some file systems cannot sync a folder (and say so): their renames are as durable
        # as they make them.
        if error.errno not in (errno.EINVAL, errno.ENOTSUP) or not os.path.isdir(path):
            raise
    finally:
        os.close(fd)


# Folders whose own entry in their parent this process has made durable: an asset's folder is
# created by its first attempt, and a published partition is only as durable as the folder that
# holds it.
_durable_parents: set[str] = set()


def publish(attempt: str, published: str) -> None:
    """Publishes a finished attempt so that a power loss cannot tear it: the attempt's files and
    folder reach the disk before the rename that makes them visible, and the rename before this
    returns, so that no history row is committed for a publication a crash could undo."""
    for name in os.listdir(attempt):
        _sync(os.path.join(attempt, name))
    _sync(attempt)
    replace_folder(attempt, published)
    parent = os.path.dirname(published)
    _sync(parent)
    if parent not in _durable_parents:
        _sync(os.path.dirname(parent))
        _durable_parents.add(parent)


def recover(parent: str) -> None:
    """Tidies a folder of runs after an orchestrator that died: attempts in progress are removed,
    a published folder stepped aside but not replaced is put back. Nothing else is touched."""
    try:
        names = os.listdir(parent)
    except FileNotFoundError:
        return
    for name in names:
        match = _ATTEMPT_NAME.fullmatch(name)
        if match is None:
            continue
        path = os.path.join(parent, name)
        published = os.path.join(parent, match[1])
        # What was stepped aside may also be the last failure that an attempt replaced (the
        # same name): only a published run, which has its run.json, goes back.
        if (match[2] and not os.path.lexists(published)
                and os.path.exists(os.path.join(path, "run.json"))):
            os.rename(path, published)
        else:
            shutil.rmtree(path, ignore_errors=True)


# --- the input file ---------------------------------------------------------------------------

class Value(NamedTuple):
    """An upstream run's published value: its file, the format its result.json records, and
    the upstream asset's serializer= (which locates a serializer of the user's)."""

    path: str
    format: str = "json"
    serializer: str | None = None


# One keyword argument of a run: a JSON text given in full, the value of an upstream run, or
# the list of {"partition": ..., "value": ...} of several upstream runs.
Literal = tuple[str, str]
Upstream = tuple[str, Value]
UpstreamList = tuple[str, Sequence[tuple[str, Value]]]  # (partition JSON text, value)
InputSpec = tuple[Sequence[Literal], Sequence[Upstream], Sequence[UpstreamList]]


def _copy(path: str, file: BinaryIO) -> None:
    with open(path, "rb") as source:
        shutil.copyfileobj(source, file, 1 << 20)


# Keyword arguments that are only partition values, and this short, go on the worker's command
# line: no file to write and remove for the common partitioned run.
INLINE_LIMIT = 4096


def inline_input(spec: InputSpec | None) -> str | None:
    """The keyword arguments as one JSON text, when they need no upstream value and are short."""
    if spec is None:
        return None
    literals, upstream, lists = spec
    if upstream or lists:
        return None
    text = "{" + ",".join(_key(name).decode() + value for name, value in literals) + "}"
    return text if len(text) <= INLINE_LIMIT else None


def worker_input(folder: str, spec: InputSpec | None, serializer: str | None) -> tuple[list[str], str | None]:
    """The worker's options and its INPUT_KWARGS_JSON for a run whose attempt folder is
    `folder`; a long input goes to folder/input.json. A run whose value and inputs are all JSON
    gets its keyword arguments; any other run `--values` and a manifest of its serializer and
    inputs, for the package's materializer."""
    path = os.path.join(folder, "input.json")
    if serializer is None and all_json(spec):
        kwargs = inline_input(spec)
        if kwargs is None and spec is not None:
            write_input(path, spec)
            kwargs = "@" + path
        return [], kwargs
    manifest = values_manifest(serializer, spec)
    if len(manifest) > INLINE_LIMIT:
        with open(path, "w", encoding="utf-8") as file:
            file.write(manifest)
        manifest = "@" + path
    return ["--values", manifest], None


def write_input(path: str, spec: InputSpec) -> None:
    """Builds the worker's keyword arguments by splicing the upstream value.json texts into one
    JSON object, without decoding them: inputs of any size cost a copy, not a parse."""
    literals, upstream, lists = spec
    with open(path, "wb") as file:
        separator = b"{"
        for name, text in literals:
            file.write(separator + _key(name) + text.encode())
            separator = b","
        for name, value in upstream:
            file.write(separator + _key(name))
            _copy(value.path, file)
            separator = b","
        for name, items in lists:
            file.write(separator + _key(name) + b"[")
            for position, (partition_text, value) in enumerate(items):
                file.write(b'%s{"partition":%s,"value":' % (b"," if position else b"", partition_text.encode()))
                _copy(value.path, file)
                file.write(b"}")
            file.write(b"]")
            separator = b","
        file.write(b"}" if separator == b"," else b"{}")


def _key(name: str) -> bytes:
    return json.dumps(name, ensure_ascii=False).encode() + b":"


def all_json(spec: InputSpec | None) -> bool:
    """Every upstream value of these inputs is stored as JSON."""
    if spec is None:
        return True
    _, upstream, lists = spec
    return all(value.format == "json" for _, value in upstream) and \
        all(value.format == "json" for _, items in lists for _, value in items)


def _described(value: Value) -> dict[str, Any]:
    item: dict[str, Any] = {"format": value.format, "path": value.path}
    if value.serializer is not None and ":" in value.serializer:
        item["serializer"] = value.serializer
    return item


def values_manifest(serializer: str | None, spec: InputSpec | None) -> str:
    """What a worker started with --values reads (quarl.values.load_inputs): the asset's
    serializer and each input, a value given in full or an upstream's file and format."""
    inputs: dict[str, Any] = {}
    if spec is not None:
        literals, upstream, lists = spec
        for name, text in literals:
            inputs[name] = {"value": json.loads(text)}
        for name, value in upstream:
            inputs[name] = _described(value)
        for name, items in lists:
            inputs[name] = {"gather": [{"partition": json.loads(partition), **_described(value)}
                                       for partition, value in items]}
    return json.dumps({"serializer": serializer, "inputs": inputs}, ensure_ascii=False,
                      separators=(",", ":"))


def value_file(result: dict[str, Any]) -> str | None:
    """The name of the value file that a successful result.json names, inside its run folder."""
    path = result.get("value_path")
    name = os.path.basename(path) if isinstance(path, str) else ""
    return name if name.startswith("value.") else None


# --- the published run ----------------------------------------------------------------------------

def value_stamp(folder: str, name: str) -> dict[str, int]:
    """What run.json records of the value file NAME at publication, to tell a value edited or
    replaced by hand afterwards: its size and modification time (which the publishing rename
    keeps)."""
    stat = os.stat(f"{folder}/{name}")
    return {"value_size": stat.st_size, "value_mtime_ns": stat.st_mtime_ns}


def _value_changed(published: str, name: str, record: dict[str, Any]) -> bool:
    """Whether the value file is not the one published; a run.json of an older quarl, without
    the stamp, cannot tell, and is taken at its word."""
    try:
        now = value_stamp(published, name)
    except OSError:
        return True
    return any(key in record and record[key] != now[key] for key in now)


_CHUNK = 1 << 16


def _read(path: str) -> bytes:
    """A small file's bytes, without the buffered file object that open() builds. A read that
    fills less than its buffer has reached the end of a regular file."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        chunks = [os.read(fd, _CHUNK)]
        while len(chunks[-1]) == _CHUNK:
            chunks.append(os.read(fd, _CHUNK))
        return b"".join(chunks)
    finally:
        os.close(fd)


def published_run(published: str) -> tuple[dict[str, Any], Value] | None:
    """run.json of a published run whose value, as published, and successful record are in
    place, with its value; else None.

    A folder is only ever published whole from a successful attempt, and run.json names its
    value file and format: an up-to-date run costs one small read and one stat. result.json is
    read only for a run.json of an older quarl, which does not name them."""
    try:
        record = json.loads(_read(f"{published}/run.json"))
        if not isinstance(record, dict):
            return None
        name, stored = record.get("value_file"), record.get("artifact_format")
        if not (isinstance(name, str) and isinstance(stored, str)):
            with open(os.path.join(published, "result.json"), "rb") as file:
                result = json.loads(file.read())
            if not (isinstance(result, dict) and result.get("ok") is True):
                return None
            name, stored = value_file(result), str(result.get("artifact_format", "json"))
    except (OSError, ValueError):
        return None
    if name is None or not name.startswith("value.") or "/" in name or \
            _value_changed(published, name, record):
        return None
    return record, Value(f"{published}/{name}", stored)


def changed_outside(published: str) -> bool:
    """Whether the published run of a succeeded attempt is no longer what quarl published: its
    value edited, replaced or removed by hand, or the folder itself gone."""
    return published_run(published) is None
