"""What is up to date, and why not: one read model of the output folder for every command.

A run's value is made from its basis (plan.Basis): its asset's code, its partition, the digests
of the upstream values it consumes, the files it reads and the version observed from outside.
A published run records the basis it was made from; it is up to date when the basis it would be
made from now digests the same, so a rerun upstream whose value comes out byte for byte the same
leaves it up to date. Otherwise it is stale, with its reasons, each found by comparing the two
bases part by part:

    never run                   nothing published, nothing tried
    code changed: NAMES         the function or the project code it reaches (named where the
                                history keeps the pieces of the old code)
    upstream changed: RUN       an upstream value it consumed is no longer the one published
                                (or that upstream run is stale itself)
    file changed: PATH          a file it reads was edited, added (new) or removed (gone)
    version changed: OLD -> NEW what its observe function answers
    changed outside quarl       its value was edited, replaced or removed by hand
    last attempt failed         its published value, if any, is older than its last attempt
    partition removed           the plan no longer has it (quarl prune removes it)

`quarl run` decides with the same bases (the scheduler builds them as upstream runs are decided);
`quarl status`, `quarl graph`, `quarl ui` and `quarl run --dry-run` read `Freshness`.
"""

from __future__ import annotations

import fnmatch
import glob
import os
import re
import threading
import time
from collections.abc import Callable, Collection, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from quarl import contract
from quarl.run.history import History
from quarl.run.plan import Basis, Plan, Run, canonical, fingerprint, partition_object

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quarl.run.storage import Storage

NEVER_RUN = "never run"
CHANGED_OUTSIDE = "changed outside quarl"
LAST_FAILED = "last attempt failed"
PARTITION_REMOVED = "partition removed"
OLDER_QUARL = "recorded by an older quarl"

_GLOB = re.compile(r"[*?[]")
# A relative path that joins the current folder as it is: no empty, "." or ".." part.
_PLAIN = re.compile(r"(?!/)(?:(?!\.\.?(?:/|$))[^/]+/)*(?!\.\.?$)[^/]+$")
# A file modified this recently may change again within the same timestamp: its digest is not
# cached, so that the next look reads it again.
_SETTLED_NS = 2_000_000_000
# Runs whose published records are read ahead together (an object store's pointers, in flight at
# once): a chunk at a time, so that a plan of 100,000 runs never holds the places of them all.
_READ_AHEAD = 1024


class FileDigests:
    """Content digests of the files that runs read, cached by (path, size, modification time,
    inode): an unchanged file is never read twice. New digests wait in `fresh` until the
    history keeps them (quarl run); a read-only command only uses the cache."""

    def __init__(self, cached: dict[str, tuple[int, int, int, str]] | None = None) -> None:
        self.cached = cached or {}
        self.fresh: list[tuple[str, int, int, int, str]] = []

    def digest(self, path: str) -> str | None:
        """The sha256 of the file's content; None when it is not a readable file. PATH is
        absolute and normal (the cache's key)."""
        try:
            status = os.stat(path)
        except OSError:
            return None
        known = self.cached.get(path)
        if (known is not None and known[0] == status.st_size and known[1] == status.st_mtime_ns
                and known[2] == status.st_ino):
            return known[3]
        try:
            digest = contract.content_digest(path)
        except OSError:
            return None
        key = (status.st_size, status.st_mtime_ns, status.st_ino)
        self.cached[path] = (*key, digest)
        if time.time_ns() - status.st_mtime_ns > _SETTLED_NS:
            self.fresh.append((path, *key, digest))
        return digest


class Outside:
    """What runs take from outside the project's assets: the files they read, and the versions
    their observe functions answered, which the inspection asked."""

    def __init__(self, cwd: str, digests: FileDigests) -> None:
        self.cwd = cwd
        self.digests = digests

    def reads(self, run: Run) -> tuple[tuple[str, str], ...]:
        """(path, content digest) of every file that the run's patterns match, by path. A path
        is as the pattern writes it, relative to the folder quarl run starts in."""
        if not run.asset.reads:
            return ()
        values = partition_object(run.partition)
        found: dict[str, str] = {}
        for pattern in run.asset.reads:
            text = pattern.format_map(values) if "{" in pattern else pattern
            for path in self._matches(text):
                digest = self.digests.digest(self._absolute(path))
                if digest is not None:  # a directory, or a file gone: nothing read
                    found[path] = digest
        return tuple(sorted(found.items()))

    def _matches(self, text: str) -> list[str]:
        """The paths that a pattern matches, as glob.glob (recursive, from the folder quarl run
        starts in) gives them. A wildcard in the last part only, the usual `data/*.csv`, lists
        its folder once, as glob would, without building a path for every name."""
        if not _GLOB.search(text):
            return [text]
        folder, _, last = text.rpartition("/")
        if "**" in last or _GLOB.search(folder):
            return glob.glob(text, root_dir=self.cwd, recursive=True)
        try:
            names = os.listdir(os.path.join(self.cwd, folder) if folder else self.cwd)
        except OSError:
            return []
        if not last.startswith("."):  # hidden names match only a pattern that starts with a dot
            names = [name for name in names if not name.startswith(".")]
        matched = fnmatch.filter(names, last)
        return [f"{folder}/{name}" for name in matched] if folder else matched

    def _absolute(self, path: str) -> str:
        if _PLAIN.match(path):
            return f"{self.cwd}/{path}"
        return os.path.abspath(os.path.join(self.cwd, path))

    @staticmethod
    def observed(run: Run) -> str | None:
        if run.asset.observed is None:
            return None
        return dict(run.asset.observed).get(canonical(partition_object(run.partition)))


def input_digest(value: contract.Value, upstream: Run) -> str:
    """What a consumer's basis takes from an upstream value: its digest, and the code of a
    serializer of the project's, which reads it."""
    digest = value.digest or ""
    code = upstream.asset.serializer_digest
    return f"{digest}+{code[:16]}" if code is not None else digest


def basis_of(run: Run, inputs: Callable[[int], str], outside: Outside) -> Basis:
    """The basis a run would be made from, its upstream values' digests given by run index."""
    return Basis(run.asset.code, run.partition,
                 tuple((item.parameter, tuple(inputs(i) for i in item.upstream)) for item in run.inputs),
                 outside.reads(run), outside.observed(run))


def differences(run: Run, plan: Plan, then: Basis | None, now: Basis,
                parts_then: dict[str, str] | None, stale_upstream: Collection[int] = ()) -> list[str]:
    """Why a run recorded with basis THEN is stale now; [] when nothing differs."""
    if then is None:
        return [OLDER_QUARL]
    reasons = []
    if then.code != now.code:
        reasons.append(_code_reason(parts_then, run.asset.code_parts()))
    upstream = [i for item in run.inputs for i in item.upstream]
    old = [digest for _, digests in then.inputs for digest in digests]
    new = [digest for _, digests in now.inputs for digest in digests]
    changed = [i for position, i in enumerate(upstream)
               if i in stale_upstream or position >= len(old) or old[position] != new[position]]
    if changed or len(old) != len(new):
        names = [plan.runs[i].name for i in changed] or [run.name]
        reasons.append("upstream changed: " + _some(names))
    if then.reads != now.reads:
        reasons.append("file changed: " + _some(_file_changes(then.reads, now.reads)))
    if then.observed != now.observed:
        reasons.append(f"version changed: {then.observed!r} -> {now.observed!r}")
    return reasons


def _code_reason(then: dict[str, str] | None, now: dict[str, str]) -> str:
    if then is None:
        return "code changed"
    names = sorted(name for name in {*then, *now} if then.get(name) != now.get(name))
    return "code changed: " + _some(names) if names else "code changed"


def _file_changes(then: Sequence[tuple[str, str]], now: Sequence[tuple[str, str]]) -> list[str]:
    old, new = dict(then), dict(now)
    return [path if path in old and path in new else f"{path} ({'new' if path in new else 'gone'})"
            for path in sorted({*old, *new}) if old.get(path) != new.get(path)]


def _some(names: Sequence[str], shown: int = 3) -> str:
    more = len(names) - shown
    return ", ".join(names[:shown]) + (f" and {more} more" if more > 0 else "")


# --- the read model ---------------------------------------------------------------------------------

class Stopped(Exception):
    """A reading of the states ended early: whoever asked for it stopped waiting."""


@dataclass(slots=True)
class State:
    """A planned run as the output folder and the history show it now."""

    run: Run
    reasons: list[str] = field(default_factory=list)  # empty: up to date
    fingerprint: str | None = None  # what it would be made with, when that is known

    @property
    def stale(self) -> bool:
        return bool(self.reasons)

    @property
    def text(self) -> str:
        return "stale: " + "; ".join(self.reasons) if self.reasons else "up to date"


class Freshness:
    """The state of every planned run, read from the published runs and the history, nothing
    written. Upstream first: a stale run makes what consumes it stale."""

    def __init__(self, plan: Plan, storage: Storage, history: History | None, cwd: str,
                 folder_name: Callable[[Run], str] | None = None) -> None:
        """`folder_name`: each run's partition folder name, from a caller that holds them all
        (they are made otherwise, and kept in partition_folder's cache)."""
        self.plan = plan
        self._folder_name = folder_name
        self.storage = storage
        self.history = history
        digests = FileDigests(history.file_digests() if history is not None else {})
        self.outside = Outside(cwd, digests)
        self._parts: dict[str, dict[str, str] | None] = {}

    def _place(self, run: Run) -> Any:
        name = self._folder_name(run) if self._folder_name is not None else None
        return self.storage.place(run.asset.key, run.partition, name)

    def states(self, runs: Iterable[int] | None = None, stop: threading.Event | None = None) -> dict[int, State]:
        """The states of these runs (every run: None), and of what they consume; `stop`, once set,
        ends the reading early (Stopped)."""
        wanted = set(range(len(self.plan.runs))) if runs is None else _with_upstream(self.plan, runs)
        unfinished = self.history.unfinished() if self.history is not None else set()
        succeeded = self.history.succeeded_runs() if self.history is not None else set()
        values: dict[int, contract.Value] = {}
        states: dict[int, State] = {}
        order = sorted(wanted)
        places: dict[int, Any] = {}
        for position, index in enumerate(order):
            if not places:  # the places of the next runs, read ahead together, a chunk at a time
                chunk = order[position:position + _READ_AHEAD]
                places = {i: self._place(self.plan.runs[i]) for i in chunk}
                self.storage.read_ahead(list(places.values()))
            if stop is not None and stop.is_set():
                raise Stopped
            run = self.plan.runs[index]
            place = places.pop(index)
            name = place.name if run.partition else ""
            state = states[index] = State(run)
            published = self.storage.published_run(place)
            stale_upstream = {i for i in run.upstream() if states[i].stale}
            if (run.asset.key, name) in unfinished:
                state.reasons.append(LAST_FAILED)
            if published is None:
                if (run.asset.key, name) in succeeded:
                    state.reasons.append(CHANGED_OUTSIDE)
                elif not state.reasons:
                    state.reasons.append(NEVER_RUN)
                continue
            record, value = published
            values[index] = value
            now = basis_of(run, lambda i: input_digest(values[i], self.plan.runs[i]) if i in values else "",
                           self.outside)
            state.fingerprint = None if stale_upstream else fingerprint(now)
            if state.fingerprint is not None and state.fingerprint == record.fingerprint:
                continue
            then = Basis.from_document(record.basis)
            state.reasons.extend(differences(run, self.plan, then, now,
                                             self._code_parts(then.code) if then else None, stale_upstream))
            if not state.reasons:  # the same basis, digested otherwise by an older quarl
                state.reasons.append(OLDER_QUARL)
        return states

    def _code_parts(self, code: str) -> dict[str, str] | None:
        if code not in self._parts:
            self._parts[code] = self.history.code_parts(code) if self.history is not None else None
        return self._parts[code]


def _with_upstream(plan: Plan, runs: Iterable[int]) -> set[int]:
    found: set[int] = set()
    stack = list(runs)
    while stack:
        index = stack.pop()
        if index not in found:
            found.add(index)
            stack.extend(plan.runs[index].upstream())
    return found


def save_outside(history: History, plan: Plan, digests: FileDigests) -> None:
    """Keeps what quarl run learnt for the next one: new file digests, and the pieces of every
    asset's code, which tell a later run what changed."""
    history.save_file_digests(digests.fresh)
    digests.fresh = []
    history.save_code_parts({asset.code: asset.code_parts() for asset in plan.assets})

