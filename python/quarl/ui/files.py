"""What the pages read from the output folder: files found strictly inside it, the end of logs,
and previews of values that never load more than a slice of the file.

Every path is checked after the symbolic links in it are resolved: a link that leads out of the
output folder is refused like a `..`.
"""

from __future__ import annotations

import codecs
import json
import os
from typing import Any
from urllib.parse import unquote

from quarl import contract

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


def preview(root: str, folder: str) -> dict[str, Any] | None:
    """What the pages show of a run's value: its format, type and size from its record, and for
    JSON the beginning of the value, pretty-printed. A value in another format is never opened:
    reading it means loading it, and some formats (pickle) run code when loaded."""
    document = read_record(root, os.path.join(folder, contract.RUN_RECORD))
    record = contract.RunRecord(document) if document is not None else None
    if record is None or not record.published_value:
        return None
    artifact_format, name = str(record.format), str(record.value_file)
    shown: dict[str, Any] = {"format": artifact_format, "type": record.result_type, "file": name,
                             "size": None}
    real = inside(root, os.path.join(folder, name)) if name else None
    if real is None:
        return shown
    try:
        with open(real, "rb") as file:
            shown["size"] = os.fstat(file.fileno()).st_size
            if artifact_format == "json":
                text, cut = pretty_json_prefix(file.read(_PREVIEW_READ), PREVIEW_CHARS)
                if not cut and shown["size"] > _PREVIEW_READ:
                    text, cut = text + "…", True
                shown.update(text=text, cut=cut)
    except OSError:
        pass
    return shown


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
