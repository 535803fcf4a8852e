"""What runs inside a Dask worker process for `quarl run --executor dask`: the task that starts one
attempt's worker there (fresh, or forked from this Dask worker's warm servers) and returns how it
ended, the kill of attempts sent by client.run, and the check of the contract before any run.

Nothing here decides an outcome or publishes. With an output folder, the attempt's folder is on a
file system that `quarl run` sees at the same path; with an output on an object store, the attempt
runs in a scratch folder of this machine, which its process uploads from, and which goes once the
process has ended.
"""

from __future__ import annotations

import os
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Protocol

import distributed  # type: ignore[import-not-found, unused-ignore]

from quarl.run.executors.base import Launch, WorkerEnvironment, open_logs
from quarl.run.executors.processes import (dies_with_parent, kill_group, kill_leftovers, start_fresh,
                                           WORKER_MODULE)
from quarl.run.executors.warm import ServerLost, WarmPool, WarmStartError

# Seconds for quarl's check, which starts an interpreter on the worker.
CHECK_TIMEOUT = 60


@dataclass(frozen=True)
class Isolation:
    """How runs start on the workers: forked from warm servers (as many per Dask worker process
    as it has threads, with `preload` imported), or as fresh interpreters."""

    warm: bool
    preload: tuple[str, ...] = ()
    kind: str = "project"  # what `preload` is: the project's modules, or their libraries
    invocation: str = ""  # one quarl run's servers are never another's: its modules may differ


@dataclass(frozen=True)
class WorkerExit:
    """What the task returns: the worker's exit status; None with no `lost` when it was stopped
    before it started; `lost` when its warm server died under it."""

    status: int | None
    lost: str | None = None


class _Process(Protocol):
    pid: int

    def wait(self) -> int: ...


# Module state of the Dask worker process: the attempts it runs, so that a kill sent by client.run
# (which a running task never sees) can reach their processes.
_lock = threading.Lock()
_running: dict[str, int] = {}  # attempt key -> the worker's pid
_stopped: set[str] = set()  # attempts to kill, or never to start when they arrive later
_pools: dict[str, WarmPool] = {}  # this worker's warm servers, by the quarl run they serve


def run_worker(launch: Launch, environment: WorkerEnvironment, out: str, isolation: Isolation) -> WorkerExit:
    """The Dask task of one attempt."""
    here = _here(environment)
    scratch = None
    if launch.request is not None:
        # The attempt uploads its files itself: it runs in a folder of this machine.
        request = launch.request
        scratch = os.path.join(_scratch(), launch.key)
        os.makedirs(scratch)
        request.folder = scratch
        launch = Launch(launch.key, tuple(request.arguments()), scratch, request)
    try:
        with _lock:
            if launch.key in _stopped:
                return WorkerExit(None)
        try:
            process = _start(launch, here, out, isolation)
        except ServerLost as lost:
            return WorkerExit(None, lost=str(lost))
        with _lock:
            _running[launch.key] = process.pid
            if launch.key in _stopped:
                kill_group(process.pid)
        try:
            status = process.wait()
        except ServerLost as lost:
            return WorkerExit(None, lost=str(lost))
        kill_leftovers(process.pid)
        return WorkerExit(status)
    finally:
        with _lock:
            _running.pop(launch.key, None)
            _stopped.discard(launch.key)
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


_scratch_root: list[str] = []


def _scratch() -> str:
    """This Dask worker process's folder of attempts (and of the inputs they downloaded, which
    name attempts that never change), removed with the process."""
    with _lock:
        if not _scratch_root:
            import atexit

            root = tempfile.mkdtemp(prefix="quarl-dask-")
            atexit.register(shutil.rmtree, root, True)
            _scratch_root.append(root)
        return _scratch_root[0]


class _Fresh:
    def __init__(self, popen: subprocess.Popen[bytes]) -> None:
        self.popen = popen
        self.pid = popen.pid

    def wait(self) -> int:
        return self.popen.wait()


def _start(launch: Launch, here: WorkerEnvironment, out: str, isolation: Isolation) -> _Process:
    with open_logs(launch.folder) as (stdout, stderr):
        if isolation.warm:
            try:
                return _warm_pool(here, out, isolation).launch(list(launch.args), stdout, stderr)
            except WarmStartError:
                pass  # said in the servers' log; this worker runs fresh interpreters instead
        return _Fresh(start_fresh(here.python, launch.args, here.cwd, here.env(), stdout, stderr,
                                  dies_with_parent()))


def _warm_pool(environment: WorkerEnvironment, out: str, isolation: Isolation) -> WarmPool:
    logs = _scratch() if "://" in out else out
    with _lock:
        pool = _pools.get(isolation.invocation)
        if pool is None:
            for stale in _pools.values():  # a quarl run that ended without closing them
                stale.close()
            _pools.clear()
            worker = distributed.get_worker()
            slots = getattr(getattr(worker, "state", worker), "nthreads", 1)
            log = os.path.join(logs, f".quarl-warm.{socket.gethostname()}.{os.getpid()}.log")
            pool = _pools[isolation.invocation] = WarmPool(slots, environment, isolation.preload, log, isolation.kind)
    return pool


def close_warm_pools(invocation: str) -> None:
    """Stops this worker's warm servers of a quarl run that has ended (run on every worker)."""
    with _lock:
        pool = _pools.pop(invocation, None)
    if pool is not None:
        pool.close()


def stop_attempts(keys: Sequence[str]) -> None:
    """Kills the processes of these attempts in this worker process (run on every worker)."""
    with _lock:
        _stopped.update(keys)
        for key in keys:
            pid = _running.get(key)
            if pid is not None:
                kill_group(pid)


def _here(environment: WorkerEnvironment) -> WorkerEnvironment:
    """How runs start on this worker: with its own interpreter (the one quarl is installed in)
    and environment variables, and the project's folders, which are the same paths everywhere.
    A worker with the project installed may lack the folder `quarl run` started in."""
    cwd = environment.cwd if os.path.isdir(environment.cwd) else os.getcwd()
    return WorkerEnvironment(sys.executable, cwd, environment.path)


# What every worker checks before the first run, in a process started as the runs are: quarl's
# worker and the project's top-level modules can be found (find_spec runs no user code).
_FIND_MODULES = """\
import importlib.util, sys
print("\\n".join(name for name in sys.argv[1:] if importlib.util.find_spec(name) is None))
"""


def check_worker(out: str, token_path: str, token: str, modules: Sequence[str],
                 environment: WorkerEnvironment) -> list[str]:
    """What this worker lacks to run the plan, as messages; run on every worker."""
    problems = []
    if "://" in out:
        # No file system in common: the output's store must answer this worker.
        problems += _store_problems(out)
        seen = True
        token_path = ""
    else:
        try:
            with open(token_path, encoding="ascii") as file:
                seen = file.read() == token
        except OSError:
            seen = False
    if not seen:
        problems.append(f"does not see the output folder {out} that quarl run writes (it must be on "
                        "a file system shared by every machine, at the same path)")
    elif token_path:
        probe = f"{token_path}.{secrets.token_hex(4)}"  # workers on two machines may share a pid
        try:
            with open(probe, "x"):
                pass
            os.unlink(probe)
        except OSError as error:
            problems.append(f"cannot write to the output folder {out}: {error}")
    here = _here(environment)
    try:
        found = subprocess.run([here.python, "-c", _FIND_MODULES, WORKER_MODULE, *modules],
                               cwd=here.cwd, env=here.env(), stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=CHECK_TIMEOUT / 2)
    except (OSError, subprocess.TimeoutExpired) as error:
        return [*problems, f"cannot start {here.python}: {error}"]
    if found.returncode != 0:
        last_line = (found.stderr.strip().splitlines() or ["no message"])[-1]
        return [*problems, f"{here.python} cannot look for modules: {last_line}"]
    for name in found.stdout.split():
        if name == WORKER_MODULE:
            problems.append(f"cannot import {WORKER_MODULE} with {here.python}")
        else:
            problems.append(f"cannot import the project's module {name!r} (not installed there, "
                            f"nor in {os.pathsep.join(environment.path)})")
    return problems



def _store_problems(out: str) -> list[str]:
    """Whether this worker reaches the object store at OUT with its own credentials: it reads the
    lease that quarl run holds there."""
    from quarl.errors import QuarlError
    from quarl.run.storage.objects import LEASE, ObjectStorage

    try:
        storage = ObjectStorage(out, local=tempfile.gettempdir())
        if storage.store.get(storage.key(LEASE)) is None:
            return [f"does not see the lease of quarl run in {out}"]
    except (OSError, QuarlError) as error:
        return [f"cannot reach {out}: {error}"]
    return []
