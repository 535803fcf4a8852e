"""What runs inside a Dask worker process for `quarl run --executor dask`: the task that starts one
attempt's worker there (fresh, or forked from this Dask worker's warm servers) and returns how it
ended, the kill of attempts sent by client.run, and the check of the contract before any run.

A run with a timeout also gets a watchdog, a small process of its own that kills it a little after
its time: `quarl run` kills it then through Dask, but a Dask worker that is frozen or cut off from
the scheduler would never pass that on, and the run, a process apart, would go on.

Nothing here decides an outcome or publishes. With an output folder, the attempt's folder is on a
file system that `quarl run` sees at the same path; with an output on an object store, the attempt
runs in a scratch folder of this machine, which its process uploads from, and which goes once the
process has ended.
"""

from __future__ import annotations

import os
import secrets
import select
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
from quarl.run.executors import processes
from quarl.run.executors.processes import (dies_with_parent, ended, kill_group, open_pidfd, start_fresh,
                                           WORKER_MODULE)
from quarl.run.executors.warm import ServerLost, WarmPool, WarmProcess, WarmStartError

# Seconds for quarl's check, which starts an interpreter on the worker.
CHECK_TIMEOUT = 60
# Seconds past its timeout, from its start here, at which a run's watchdog kills it. Later than
# `quarl run` kills it, so that a run the watchdog ends is never taken for one that ended before its
# time; sooner than `quarl run` gives up on an attempt it cannot reach (base.REMOTE_GRACE).
WATCHDOG_DELAY = 1.0


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
_running: dict[str, tuple[int, int | None]] = {}  # attempt key -> the worker's pid, a pidfd of it
_stopped: set[str] = set()  # attempts to kill, or never to start when they arrive later
_pools: dict[str, WarmPool] = {}  # this worker's warm servers, by the quarl run they serve


def run_worker(launch: Launch, environment: WorkerEnvironment, out: str, isolation: Isolation) -> WorkerExit:
    """The Dask task of one attempt."""
    here = _here(environment)
    pidfd = watchdog = None
    scratch = None
    if launch.request is not None:
        # The attempt uploads its files itself: it runs in a folder of this machine.
        request = launch.request
        scratch = os.path.join(_scratch(), launch.key)
        os.makedirs(scratch)
        request.folder = scratch
        launch = Launch(launch.key, tuple(request.arguments()), scratch, launch.timeout, request)
    try:
        with _lock:
            if launch.key in _stopped:
                return WorkerExit(None)
        try:
            process = _start(launch, here, out, isolation)
        except ServerLost as lost:
            return WorkerExit(None, lost=str(lost))
        pidfd = _pidfd(process)
        if pidfd is not None and launch.timeout is not None:
            watchdog = _watchdog(process.pid, pidfd, launch.timeout + WATCHDOG_DELAY)
        with _lock:
            _running[launch.key] = process.pid, pidfd
            if launch.key in _stopped:
                kill_group(process.pid, pidfd)
        try:
            status = process.wait()
        except ServerLost as lost:
            return WorkerExit(None, lost=str(lost))
        return WorkerExit(status)
    finally:
        with _lock:
            _running.pop(launch.key, None)
            _stopped.discard(launch.key)
        if watchdog is not None:
            watchdog.kill()  # its run has ended
            watchdog.wait()
        if pidfd is not None:
            os.close(pidfd)
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


def _pidfd(process: _Process) -> int | None:
    """A pidfd of the run's process, through which it is killed whoever has reaped it; None when
    it has ended already (or there are no pidfds here). A fresh run is this process's child, reaped
    only by its wait(); a warm server reaps its child before it says the exit status, so a pidfd
    opened before the server has said anything refers to that child and no other."""
    pidfd = open_pidfd(process.pid)
    if pidfd is not None and isinstance(process, WarmProcess) and \
            select.select([process.server.channel], [], [], 0)[0]:
        os.close(pidfd)
        return None
    return pidfd


def _watchdog(pid: int, pidfd: int, seconds: float) -> subprocess.Popen[bytes] | None:
    """The run's watchdog (processes.watch), in a session of its own: a stop sent to the Dask
    worker's process group does not stop it. None when it cannot start: the run can then be killed
    through this Dask worker only."""
    try:
        return subprocess.Popen([sys.executable, "-I", "-S", processes.__file__, str(pidfd), str(pid),
                                 repr(seconds)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, pass_fds=[pidfd], start_new_session=True)
    except OSError:
        return None


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
        ended(self.pid)
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
    """Kills the workers of these attempts in this Dask worker process (run on every Dask
    worker)."""
    with _lock:
        _stopped.update(keys)
        for key in keys:
            running = _running.get(key)
            if running is not None:
                kill_group(*running)


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
