"""Where a run's files live under the output folder, and how a finished attempt is published.

    OUT/<key>/                                   an unpartitioned asset's published run
    OUT/<key>/<dim=value,...>/                   one partition's published run

(an asset's key is its name=, or "<module>.<function>")
    .../.<name>.attempt-<id>/                    an attempt in progress, beside what it replaces
                                                 (<id>: 12 lowercase hexadecimal digits)
    .../.<name>.failed/                          the last failed attempt, with its record and logs

A published folder holds the value (value.json, or value<suffix> of its serializer), result.json
(the module's record of the run, as it wrote it in the attempt folder), stdout.log and stderr.log,
run.json (the run's own record: the value's file, format and stamp) and attempt.json (quarl run's
record of the attempt: its times and decision); quarl.contract reads and writes the last two. It
is only ever replaced whole, by one rename, so a reader never sees parts of two runs, and only
once what it holds is on the disk.
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
from typing import Any

from quarl import contract
from quarl.run.plan import Plan, canonical, value_text

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

    __slots__ = ("name", "parent", "published")  # one per planned run: 100,000 in a large plan

    # Joined by hand: an up-to-date check of a run costs a few microseconds, os.path.join a
    # microsecond a call. OUT is absolute; neither an asset key nor a folder name holds a "/".
    def __init__(self, out: str, asset_key: str, partition: tuple[tuple[str, str], ...],
                 name: str | None = None) -> None:
        out = out.rstrip("/")
        if partition:
            self.parent = f"{out}/{asset_key}"
            self.name = partition_folder(partition) if name is None else name
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
# What quarl prune moves aside before deleting it: at the top of the output folder, and beside
# the removed folder for a prune of an older quarl.
_PRUNED_NAME = re.compile(r"(\..+)?\.attempt-pruned-[0-9a-f]{12}", re.DOTALL)


def pruned_aside(out: str, token: str) -> str:
    """Where quarl prune moves what it deletes: a name of its own, short whatever it removes."""
    return os.path.join(out, f".attempt-pruned-{token}")


def holds_run(folder: str) -> bool:
    """Whether a folder holds a run's records (run.json, or result.json of an older quarl): it
    is a run's, published or left by a failure, and not a folder of partitions."""
    return os.path.isfile(os.path.join(folder, "run.json")) or \
        os.path.isfile(os.path.join(folder, "result.json"))


def holds_partitions(folder: str) -> bool:
    """Whether a folder holds folders of partitions, published or failed (a partition folder's
    name has its "dim=value"; a run's own files never do): an asset's folder from when it was
    partitioned, even one that an older quarl published them into beside an unpartitioned run."""
    try:
        entries = list(os.scandir(folder))
    except (FileNotFoundError, NotADirectoryError):
        return False
    return any("=" in entry.name and entry.is_dir(follow_symlinks=False)
               and _ATTEMPT_NAME.fullmatch(entry.name) is None
               and _PRUNED_NAME.fullmatch(entry.name) is None for entry in entries)


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


def _sync_tree(folder: str) -> None:
    """Syncs every file and folder under FOLDER, then FOLDER: a value may be a folder of files."""
    for entry in os.scandir(folder):
        if entry.is_dir(follow_symlinks=False):
            _sync_tree(entry.path)
        elif entry.is_file(follow_symlinks=False):
            _sync(entry.path)
    _sync(folder)


# Folders whose own entry in their parent this process has made durable: an asset's folder is
# created by its first attempt, and a published partition is only as durable as the folder that
# holds it.
_durable_parents: set[str] = set()


def _load_syncfs() -> Any:
    try:
        function = ctypes.CDLL(None, use_errno=True).syncfs
    except (OSError, AttributeError):
        return None
    function.argtypes = [ctypes.c_int]
    return function


_syncfs = _load_syncfs()


def _sync_file_system(path: str) -> bool:
    """Flushes everything written to the file system that holds PATH, files and folders, in one
    call (Linux's syncfs): what the file systems with a journal make one commit of. False where
    there is no such call."""
    if _syncfs is None:
        return False
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if _syncfs(fd) != 0:
            code = ctypes.get_errno()
            if code == errno.ENOSYS:
                return False
            raise OSError(code, os.strerror(code), path)
    finally:
        os.close(fd)
    return True


def publish(attempt: str, published: str) -> None:
    """Publishes one finished attempt (publish_together, alone), its rename durable when this
    returns; raises OSError."""
    error = publish_together([(attempt, published)])[0]
    if error is not None:
        raise error
    make_renames_durable(os.path.dirname(published))


# Folders in which publish_together renamed, since their renames were last made durable.
_renamed: set[str] = set()


def make_renames_durable(path: str) -> None:
    """Makes the renames that publish_together made since the last call durable: one flush of the
    file system that holds PATH (which every later flush of it would make too), or a sync of
    each folder renamed in where there is no such call; raises OSError."""
    if not _renamed:
        return
    parents, _renamed_now = sorted(_renamed), _renamed.copy()
    if not _sync_file_system(path):
        for parent in parents:
            _sync(parent)
            if parent not in _durable_parents:
                _sync(os.path.dirname(parent))
    _durable_parents.update(_renamed_now)
    _renamed.difference_update(_renamed_now)


def publish_together(moves: Sequence[tuple[str, str]]) -> list[OSError | None]:
    """Publishes finished attempts (attempt folder, published folder) so that a power loss cannot
    tear any of them: every attempt's files and folder reach the disk before the renames that make
    them visible. Attempts that finish together share the flush: one of their file system before
    the renames (a sync of each file and folder where there is no such call). The renames become
    durable with the next flush, the next batch's or make_renames_durable's, which quarl run makes
    before it commits a history row that names them: no row is ever ahead of the disk. Per
    attempt, None or why it was not published."""
    if not moves:
        return []
    try:
        if not _sync_file_system(moves[0][0]):
            for attempt, _ in moves:
                _sync_tree(attempt)
        else:
            for attempt, _ in moves[1:]:  # another file system than the first's: a flush of its own
                if os.stat(attempt).st_dev != os.stat(moves[0][0]).st_dev:
                    _sync_file_system(attempt)
    except OSError as error:
        return [error] * len(moves)
    errors: list[OSError | None] = []
    for attempt, published in moves:
        try:
            replace_folder(attempt, published)
        except OSError as error:
            errors.append(error)
            continue
        errors.append(None)
        _renamed.add(os.path.dirname(published))
    return errors


def recover_output(out: str, plan: Plan) -> None:
    """recover() over the output folder and the folder of each partitioned asset of the plan."""
    out = os.path.abspath(out)
    recover(out)
    for asset in plan.assets:
        if asset.partitioned:
            recover(os.path.join(out, asset.key))


def recover(parent: str) -> None:
    """Tidies a folder of runs after an orchestrator or a prune that died: attempts in progress
    and what a prune had moved aside are removed, a published folder stepped aside but not
    replaced is put back. Nothing else is touched."""
    try:
        names = os.listdir(parent)
    except FileNotFoundError:
        return
    for name in names:
        path = os.path.join(parent, name)
        if _PRUNED_NAME.fullmatch(name) is not None:
            shutil.rmtree(path, ignore_errors=True)  # a prune that died deleting it
            continue
        match = _ATTEMPT_NAME.fullmatch(name)
        if match is None:
            continue
        published = os.path.join(parent, match[1])
        # What was stepped aside may also be the last failure that an attempt replaced (the
        # same name): only a published run, which has its run.json, goes back.
        if (match[2] and not os.path.lexists(published)
                and os.path.exists(os.path.join(path, "run.json"))):
            os.rename(path, published)
        else:
            shutil.rmtree(path, ignore_errors=True)


# --- the published run ----------------------------------------------------------------------------

def published_run(published: str) -> tuple[contract.RunRecord, contract.Value] | None:
    """The record of a published run whose value is in place as its run wrote it, with that
    value; else None. A folder is only ever published whole from a successful attempt, and its
    record names its value file and format: an up-to-date run costs one small read and one
    stat."""
    record = contract.read_run_record(published)
    if record is None or not record.published_value or not record.stamp_matches(published):
        return None
    return record, record.value(published)


def changed_outside(published: str) -> bool:
    """Whether the published run of a succeeded attempt is no longer what quarl published: its
    value edited, replaced or removed by hand, or the folder itself gone."""
    return published_run(published) is None
