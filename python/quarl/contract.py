"""What passes between `quarl run` and the processes it starts, and nothing else does.

A run's process (`python -m quarl.worker --request REQUEST`) gets a request and leaves a record;
the inspection (`python -m quarl.inspect ... --record FILE`) leaves a record of what it imported
and skipped. Each is one versioned JSON object, written whole, once, by the side that knows it,
and read only through this module:

    request        quarl run -> the run's process: what to run, with which inputs, where, and the
                   checks of its value; on the command line, or in the attempt folder's
                   request.json when it is long
    batch          quarl run -> a process that makes several runs one after another: their
                   requests, in order; on the command line, or in the first run's attempt
                   folder (batch.json) when it is long
    run.json       the run's process -> quarl run: the run it answered (attempt, fingerprint,
                   inputs consumed) and how it ended (its value's file, format, size and
                   modification time, and the results of its checks; or its error, the
                   exception's classes and a hint)
    attempt.json   quarl run's own record of the attempt beside it: its times and decision
    inspection     the inspection -> quarl run: the modules it imported and those it skipped, the
                   checks it found and the package's options of each asset

The module `_quarl` writes value.json and result.json as it always has; these records sit beside
them. A run.json of an older quarl (the orchestrator's own record, with the same member names
for what it shares) is still read; a record of a newer version is not.

Imported by every run's process: plain classes and json, nothing heavier.
"""

from __future__ import annotations

import json
import os
import stat as stat_module
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, NamedTuple

REQUEST_VERSION = 2  # 2: the checks of the value; where the run uploads its files
BATCH_VERSION = 1
RECORD_VERSION = 2  # 1 was the orchestrator's run.json, written without a version
INSPECTION_VERSION = 2  # 2: checks and options

RUN_RECORD = "run.json"
DECISION_RECORD = "attempt.json"
REQUEST_FILE = "request.json"
BATCH_FILE = "batch.json"

# A request this long or shorter goes on the command line; a longer one (a run that gathers many
# upstream values) into the attempt folder.
INLINE_LIMIT = 4096


class ContractError(Exception):
    """A request or record that this quarl cannot read."""


class Value(NamedTuple):
    """A published value as its run recorded it: its file, its format, the serializer= that wrote
    it where that names a serializer of the user's (MODULE:ATTRIBUTE), which reads it, and the
    digest of its content, which its consumers' fingerprints take."""

    path: str
    format: str = "json"
    serializer: str | None = None
    digest: str | None = None

    def described(self) -> dict[str, Any]:
        item: dict[str, Any] = {"path": self.path, "format": self.format}
        if self.serializer is not None:
            item["serializer"] = self.serializer
        if self.digest is not None:
            item["digest"] = self.digest
        return item


def _value_of(item: Mapping[str, Any]) -> Value:
    return Value(item["path"], item.get("format", "json"), item.get("serializer"), item.get("digest"))


def own_serializer(spec: str | None) -> str | None:
    """What a record keeps of serializer=: the MODULE:ATTRIBUTE of a serializer of the user's,
    which a consumer needs to read the value back; built-in and registered ones are found by
    their format's name."""
    return spec if spec is not None and ":" in spec else None


def _dumps(document: Mapping[str, Any]) -> str:
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def record_bytes(record: Mapping[str, Any]) -> bytes:
    """A record as the module writes its own: compact, keys sorted, UTF-8."""
    return _dumps(record).encode()


def _read_object(path: str) -> dict[str, Any] | None:
    """A small JSON object from a file; None when the file is missing, unreadable or not one."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        chunks = [os.read(fd, 1 << 16)]
        while len(chunks[-1]) == 1 << 16:
            chunks.append(os.read(fd, 1 << 16))
        found = json.loads(b"".join(chunks))
    except (OSError, ValueError):
        return None
    finally:
        os.close(fd)
    return found if isinstance(found, dict) else None


# --- the request -----------------------------------------------------------------------------------

class Request:
    """One run, as its process is asked to make it.

    `inputs` maps each keyword argument to {"value": V} (a partition value, given in full), a
    Value (an upstream run's) or a list of (partition object, Value) (the upstream runs it
    gathers). `fingerprint`, the `basis` it digests and `consumed` (the upstream attempts)
    identify the run; the process echoes them in its record, so that the record alone tells
    which run a published folder holds, and what it was made from. `checks` are the checks to
    run on the value once it is written ({"name", "module", "function", "severity", "blocking",
    "fingerprint"} each)."""

    __slots__ = ("asset", "attempt", "basis", "checks", "consumed", "fingerprint", "folder", "function",
                 "inputs", "module", "partition", "serializer", "upload")

    def __init__(self, *, attempt: str, asset: str, module: str, function: str, folder: str,
                 partition: Mapping[str, Any], fingerprint: str, consumed: Sequence[str | None],
                 serializer: str | None, inputs: Mapping[str, Any],
                 basis: Mapping[str, Any] | None = None, checks: Sequence[Mapping[str, Any]] = (),
                 upload: str | None = None) -> None:
        self.attempt = attempt
        self.asset = asset
        self.module = module
        self.function = function
        self.folder = folder
        self.partition = dict(partition)
        self.fingerprint = fingerprint
        self.consumed = list(consumed)
        self.serializer = serializer  # serializer= as declared; None for JSON
        self.inputs = dict(inputs)
        self.basis = dict(basis) if basis is not None else None
        self.checks = [dict(item) for item in checks]
        # Where the process uploads its folder's files once its record is written: the attempt's
        # prefix on the object store that holds the output (its inputs' paths are URLs there
        # too); None when quarl run publishes the folder itself.
        self.upload = upload

    def values(self) -> Iterable[Value]:
        """Every upstream value the run reads."""
        for item in self.inputs.values():
            if isinstance(item, Value):
                yield item
            elif isinstance(item, list):
                for _, value in item:
                    yield value

    @property
    def all_json(self) -> bool:
        """The value and every input are JSON: the module's own materializer makes the run."""
        return self.serializer is None and all(value.format == "json" for value in self.values())

    def document(self) -> dict[str, Any]:
        inputs: dict[str, Any] = {}
        for name, item in self.inputs.items():
            if isinstance(item, Value):
                inputs[name] = item.described()
            elif isinstance(item, list):
                inputs[name] = {"gather": [{"partition": partition, **value.described()}
                                           for partition, value in item]}
            else:
                inputs[name] = {"value": item["value"]}
        return {"version": REQUEST_VERSION, "attempt": self.attempt, "asset": self.asset,
                "module": self.module, "function": self.function, "folder": self.folder,
                "partition": self.partition, "fingerprint": self.fingerprint,
                "consumed": self.consumed, "basis": self.basis, "serializer": self.serializer,
                "inputs": inputs, "checks": self.checks, "upload": self.upload}

    @classmethod
    def from_document(cls, document: Any) -> Request:
        _check_version(document, "request", REQUEST_VERSION)
        inputs: dict[str, Any] = {}
        try:
            for name, item in document["inputs"].items():
                if "value" in item:
                    inputs[name] = {"value": item["value"]}
                elif "gather" in item:
                    inputs[name] = [(part["partition"], _value_of(part)) for part in item["gather"]]
                else:
                    inputs[name] = _value_of(item)
            return cls(attempt=document["attempt"], asset=document["asset"], module=document["module"],
                       function=document["function"], folder=document["folder"],
                       partition=document["partition"], fingerprint=document["fingerprint"],
                       consumed=document["consumed"], serializer=document["serializer"], inputs=inputs,
                       basis=document.get("basis"), checks=document["checks"], upload=document["upload"])
        except (KeyError, TypeError, AttributeError) as error:
            raise ContractError(f"the request lacks or misstates {error}") from None

    def renewed(self, attempt: str) -> Request:
        """The same run in a new attempt: a folder of its own beside this one's, and where this
        one uploads its files (which names its attempt), the new attempt's place."""
        copy = Request.from_document(self.document())
        copy.attempt = attempt
        copy.folder = self.folder[:-len(self.attempt)] + attempt if self.folder.endswith(self.attempt) \
            else os.path.join(os.path.dirname(self.folder), attempt)
        if self.upload is not None:
            copy.upload = self.upload[:-len(self.attempt)] + attempt
        return copy

    def arguments(self) -> list[str]:
        """The run's process's arguments after `python -m quarl.worker`. A long request is written
        to the attempt folder (which must exist) and named there."""
        text = _dumps(self.document())
        if len(text) > INLINE_LIMIT:
            path = os.path.join(self.folder, REQUEST_FILE)
            with open(path, "w", encoding="utf-8") as file:
                file.write(text)
            text = "@" + path
        return ["--request", text]


def _argument_document(argument: str, what: str) -> Any:
    if argument.startswith("@"):
        with open(argument[1:], "rb") as file:
            text: str | bytes = file.read()
    else:
        text = argument
    try:
        return json.loads(text)
    except ValueError as error:
        raise ContractError(f"the {what} is not JSON: {error}") from None


def read_request(argument: str) -> Request:
    """The request that `--request ARGUMENT` gives: its JSON text, or @FILE. Raises ContractError,
    or OSError when the file cannot be read."""
    return Request.from_document(_argument_document(argument, "request"))


def batch_arguments(requests: Sequence[Request]) -> list[str]:
    """The arguments after `python -m quarl.worker` of a process that makes these runs one after
    another. A long batch is written to the first run's attempt folder (which must exist) and
    named there."""
    text = _dumps({"version": BATCH_VERSION, "runs": [request.document() for request in requests]})
    if len(text) > INLINE_LIMIT:
        path = os.path.join(requests[0].folder, BATCH_FILE)
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        text = "@" + path
    return ["--batch", text]


def _check_version(document: Any, what: str, version: int) -> None:
    """Raises ContractError unless DOCUMENT is a JSON object of VERSION, the one this quarl writes:
    quarl run and its workers are one quarl."""
    if not isinstance(document, dict):
        raise ContractError(f"the {what} is not a JSON object")
    found = document.get("version")
    if found != version:
        raise ContractError(f"the {what} has version {found!r}, and this quarl reads version "
                            f"{version}: quarl run and its workers must be the same quarl")


def read_batch(argument: str) -> list[Request]:
    """The requests that `--batch ARGUMENT` gives, in order. Raises ContractError, or OSError
    when the file cannot be read."""
    document = _argument_document(argument, "batch")
    _check_version(document, "batch", BATCH_VERSION)
    runs = document.get("runs")
    if not isinstance(runs, list) or not runs:
        raise ContractError("the batch names no runs")
    return [Request.from_document(run) for run in runs]


def json_kwargs(request: Request) -> str | None:
    """The keyword arguments of an all-JSON run as one JSON text for `_quarl.materialize_asset`:
    partition values written out, upstream value.json texts spliced in as they are (inputs of any
    size cost a copy, not a parse); None when the run takes none."""
    if not request.inputs:
        return None
    parts = []
    for name, item in request.inputs.items():
        key = json.dumps(name, ensure_ascii=False)
        if isinstance(item, Value):
            parts.append(f"{key}:{_text(item.path)}")
        elif isinstance(item, list):
            gathered = ",".join(f'{{"partition":{_dumps(partition)},"value":{_text(value.path)}}}'
                                for partition, value in item)
            parts.append(f"{key}:[{gathered}]")
        else:
            parts.append(f"{key}:{_dumps(item['value'])}")
    return "{" + ",".join(parts) + "}"


def _text(path: str) -> str:
    with open(path, encoding="utf-8") as file:
        return file.read()


# --- the run's record ------------------------------------------------------------------------------

class RunRecord:
    """run.json: written by the run's process once its run has ended, whole.

    A success names the value's file (in the same folder), its format, its type, and its size and
    modification time as written, which tell a value edited or replaced by hand afterwards; a
    failure says the error and, where there is one, a hint on what to do. A success whose value
    has checks holds their results: quarl run publishes it unless a blocking one failed."""

    __slots__ = ("asset", "attempt", "basis", "checks", "consumed", "document", "error", "error_types",
                 "fingerprint", "format", "hint", "ok", "partition", "result_type", "serializer",
                 "value_file", "value_mtime_ns", "value_sha256", "value_size", "version")

    def __init__(self, document: Mapping[str, Any]) -> None:
        self.document = dict(document)
        get = document.get
        self.version = get("version", 1)
        self.ok = get("ok", self.version == 1)  # an older quarl recorded successes only
        self.attempt = get("attempt")
        self.asset = get("asset")
        self.partition = get("partition")
        self.fingerprint = get("fingerprint")
        self.basis = get("basis")
        self.consumed = get("consumed")
        self.value_file = get("value_file")
        self.format = get("artifact_format")
        self.serializer = get("serializer")
        self.result_type = get("result_type")
        self.value_size = get("value_size")
        self.value_mtime_ns = get("value_mtime_ns")
        self.value_sha256 = get("value_sha256")
        self.error = get("error")
        self.hint = get("hint")
        self.checks = checks_of(get("checks"))
        # The failure's exception and its bases, most derived first; None when the run's
        # process did not say (an older quarl).
        types = get("error_types")
        self.error_types: list[str] | None = (
            [str(t) for t in types] if isinstance(types, list)
            else [str(get("error_type"))] if get("error_type") else None)

    @property
    def published_value(self) -> bool:
        """A success that names its value file and format as this quarl reads them. A record of
        an older quarl does not name a serializer of the user's, which a consumer needs: its
        run is made again rather than read wrongly."""
        name, stored = self.value_file, self.format
        return (self.ok is True and isinstance(name, str) and name.startswith("value.")
                and "/" not in name and isinstance(stored, str)
                and (self.version >= 2 or stored in _BUILT_IN_FORMATS))

    def value(self, folder: str) -> Value:
        """The published value in FOLDER; for a record whose published_value is true. A record
        of an older quarl has no digest of the value: its attempt stands for it."""
        digest = self.value_sha256 if isinstance(self.value_sha256, str) else f"attempt:{self.attempt}"
        return Value(f"{folder}/{self.value_file}", str(self.format), own_serializer(self.serializer), digest)

    def stamp_matches(self, folder: str) -> bool:
        """Whether the value file is still the one its run wrote: same size, same modification
        time (which the publishing rename keeps). A record without the stamp cannot tell, and
        is taken at its word."""
        try:
            size, mtime_ns = stamp(f"{folder}/{self.value_file}")
        except OSError:
            return False
        return ((self.value_size is None or self.value_size == size)
                and (self.value_mtime_ns is None or self.value_mtime_ns == mtime_ns))

    @property
    def reason(self) -> str:
        """A failure as the tables say it: the error, and the hint after it."""
        error = str(self.error)
        return f"{error}; {self.hint}" if self.hint else error


_BUILT_IN_FORMATS = frozenset({"json", "pickle", "parquet", "numpy"})


def stamp(path: str) -> tuple[int, int]:
    """What tells a value edited or replaced by hand: the size and modification time of its
    file; of a value that is a folder (some serializers write one), the sizes of its files added
    up and the latest modification time of anything in it (an edited file, one added or
    removed). Raises OSError."""
    status = os.stat(path)
    if not stat_module.S_ISDIR(status.st_mode):
        return status.st_size, status.st_mtime_ns
    size, latest = 0, status.st_mtime_ns
    for root, folders, files in os.walk(path):
        for name in (*folders, *files):
            found = os.lstat(os.path.join(root, name))
            latest = max(latest, found.st_mtime_ns)
            if stat_module.S_ISREG(found.st_mode):
                size += found.st_size
    return size, latest


def content_digest(path: str) -> str:
    """The sha256 of a value's content: its file's bytes; a folder's files by their paths in it,
    each path and file with its length first, so that no two folders digest alike."""
    import hashlib

    digest = hashlib.sha256()
    if not os.path.isdir(path):
        _digest_file(digest, path)
        return digest.hexdigest()
    for root, folders, files in os.walk(path):
        folders.sort()
        for name in sorted(files):
            full = os.path.join(root, name)
            relative = os.path.relpath(full, path).encode("utf-8", "surrogateescape")
            digest.update(b"%d:%s%d:" % (len(relative), relative, os.path.getsize(full)))
            _digest_file(digest, full)
    return digest.hexdigest()


def _digest_file(digest: Any, path: str) -> None:
    with open(path, "rb", buffering=0) as file:
        buffer = bytearray(1 << 20)
        view = memoryview(buffer)
        while size := file.readinto(buffer):
            digest.update(view[:size])


def success_record(request: Request, *, value_file: str, artifact_format: str, serializer: str | None,
                   result_type: str | None, checks: Sequence[CheckResult] = ()) -> dict[str, Any]:
    """The record of a run that has written its value file into its folder, with the results
    of its value's checks when it has any."""
    path = os.path.join(request.folder, value_file)
    size, mtime_ns = stamp(path)
    record = {**_identity(request), "ok": True, "value_file": value_file,
              "artifact_format": artifact_format, "serializer": own_serializer(serializer),
              "result_type": result_type, "value_size": size, "value_mtime_ns": mtime_ns,
              "value_sha256": content_digest(path)}
    if checks:
        record["checks"] = [result._asdict() for result in checks]
    return record


def failure_record(request: Request, error: str, error_type: str | None,
                   hint: str | None = None, error_types: Sequence[str] | None = None) -> dict[str, Any]:
    """The record of a failed run: the error, the exception's class and its bases (which decide
    whether it is worth retrying), and a hint."""
    record = {**_identity(request), "ok": False, "error": error, "error_type": error_type, "hint": hint}
    if error_types is not None:
        record["error_types"] = list(error_types)
    return record


class CheckResult(NamedTuple):
    """How one check of a value ended: `message` says why it failed (None when it passed),
    `metadata` is what the check returned to be kept, `fingerprint` the digest of the check's
    code when it ran."""

    name: str
    passed: bool
    severity: str  # "error" or "warn"
    blocking: bool
    message: str | None
    metadata: dict[str, Any] | None
    fingerprint: str


def checks_of(found: Any) -> list[CheckResult]:
    """The check results of a record; those it misstates are left out."""
    if not isinstance(found, list):
        return []
    results = []
    for item in found:
        try:
            results.append(CheckResult(str(item["name"]), item["passed"] is True, str(item["severity"]),
                                       item["blocking"] is True, item.get("message"),
                                       item.get("metadata"), str(item.get("fingerprint", ""))))
        except (KeyError, TypeError, AttributeError):
            continue
    return results


def _identity(request: Request) -> dict[str, Any]:
    return {"version": RECORD_VERSION, "attempt": request.attempt, "asset": request.asset,
            "partition": request.partition, "fingerprint": request.fingerprint,
            "basis": request.basis, "consumed": request.consumed}


def write_run_record(folder: str, record: Mapping[str, Any]) -> None:
    from quarl.writer import write_whole

    write_whole(os.path.join(folder, RUN_RECORD), record_bytes(record))


def read_result(folder: str) -> dict[str, Any] | None:
    """The module's own record of the run in FOLDER (result.json), as it wrote it."""
    return _read_object(f"{folder}/result.json")


def read_run_record(folder: str) -> RunRecord | None:
    """The run's record in FOLDER; None when there is none this quarl reads."""
    document = _read_object(f"{folder}/{RUN_RECORD}")
    if document is None:
        return None
    version = document.get("version", 1)
    if not isinstance(version, int) or not 1 <= version <= RECORD_VERSION:
        return None
    return RunRecord(document)


# --- quarl run's record of the attempt --------------------------------------------------------------

def decision_record(attempt: str, status: str, started: float, duration: float,
                    exit_status: int | None, reason: str | None) -> dict[str, Any]:
    """attempt.json: how quarl run decided the attempt, and when it ran."""
    return {"version": RECORD_VERSION, "attempt": attempt, "status": status, "started": started,
            "duration": round(duration, 6), "exit_status": exit_status, "reason": reason}


def write_decision(folder: str, record: Mapping[str, Any]) -> None:
    from quarl.writer import write_whole

    write_whole(os.path.join(folder, DECISION_RECORD), record_bytes(record))


def discard_request(folder: str) -> None:
    """Removes a request or batch written to the attempt folder: it was for the run's process
    alone."""
    for name in (REQUEST_FILE, BATCH_FILE):
        try:
            os.unlink(os.path.join(folder, name))
        except FileNotFoundError:
            pass


def read_decision(folder: str) -> dict[str, Any] | None:
    """quarl run's record of the attempt whose folder this is."""
    return decision_of(_read_object(f"{folder}/{DECISION_RECORD}"), read_run_record(folder))


def decision_of(decision: dict[str, Any] | None, record: RunRecord | None) -> dict[str, Any] | None:
    """The decision record as read, or for a published folder of an older quarl, whose run.json
    held the times itself, what that says."""
    if decision is not None:
        return decision
    if record is not None and record.version == 1:
        get = record.document.get
        return {"attempt": get("attempt"), "status": "succeeded", "started": get("started"),
                "duration": get("duration")}
    return None


# --- the inspection's record ------------------------------------------------------------------------

class Inspection(NamedTuple):
    imported: list[tuple[str, str | None]]  # the modules it imported: name, file, in order
    skipped: list[tuple[str, str]]  # the modules it could not import: name, "Type: message"
    # The checks found: {"asset" (its reference), "name", "module", "function", "severity",
    # "blocking", "fingerprint"} each, or {"problem": ...} for one that cannot be run.
    checks: list[dict[str, Any]] = []
    options: dict[str, dict[str, Any]] = {}  # asset reference -> the package's options of it


def inspection_document(imported: Sequence[tuple[str, str | None]], skipped: Sequence[tuple[str, str]],
                        checks: Sequence[Mapping[str, Any]] = (),
                        options: Mapping[str, Mapping[str, Any]] | None = None) -> bytes:
    return record_bytes({"version": INSPECTION_VERSION, "imported": [list(item) for item in imported],
                         "skipped": [list(item) for item in skipped], "checks": list(checks),
                         "options": dict(options or {})})


def read_inspection(path: str) -> Inspection | None:
    document = _read_object(path)
    if document is None or document.get("version") != INSPECTION_VERSION:
        return None
    try:
        checks, options = document["checks"], document["options"]
        if not (isinstance(checks, list) and all(isinstance(c, dict) for c in checks)
                and isinstance(options, dict) and all(isinstance(o, dict) for o in options.values())):
            return None
        return Inspection([(name, file) for name, file in document["imported"]],
                          [(name, error) for name, error in document["skipped"]], checks, options)
    except (KeyError, TypeError, ValueError):
        return None
