"""Runs attempts on a Dask cluster: one Dask task per attempt, which does on its worker's machine
what the local executor does here (base.perform: an attempt folder, a fresh `python -m
quarl.worker` in a session of its own, publication by rename).

The scheduler of `quarl run` submits only runs whose upstream is decided, never more than `slots`
at once, so Dask never sees the plan's edges. The history stays with `quarl run`: tasks return
outcomes and write nothing else but the run's folders.

Contract with the cluster: the output folder is on a file system that every worker sees at the
same path, the project is importable there (at the same path or installed) and so is quarl.
`check_cluster` verifies it on every worker before anything runs.
"""

# distributed's API is only partly typed.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import os
import queue
import secrets
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import IO, Any

# Type-checked without the extra too, where these modules are unknown.
import dask.config  # type: ignore[import-not-found, unused-ignore]
import distributed  # type: ignore[import-not-found, unused-ignore]
from distributed.scheduler import KilledWorker  # type: ignore[import-not-found, unused-ignore]

from quarl.run.executors.base import (Interrupted, Job, Launch, Outcome,
                                      Process, WorkerEnvironment, collect, keep_failed,
                                      launch_fresh, perform)
from quarl.run.executors.warm import WarmPool, WarmStartError
from quarl.run.executors.warm_server import dies_with_parent
from quarl.run.status import Status


# Seconds for every worker to answer: quarl's check (which starts an interpreter there), and the
# request to kill runs (which Ctrl-C waits for).
CHECK_TIMEOUT = 60
STOP_TIMEOUT = 10


class ClusterError(Exception):
    """The cluster cannot take the plan: unreachable, without workers, or a worker that breaks
    the contract. Nothing has run."""


# --- in the Dask worker process -----------------------------------------------------------------
# Module state of the worker process: the attempts it is running, so that an interrupt sent by
# client.run (which a running task never sees) can kill their processes.

_lock = threading.Lock()
_running: dict[str, Process] = {}
_stopped: set[str] = set()  # attempts to kill, or never to start when they arrive later


_pools: dict[str, WarmPool] = {}  # this worker's warm servers, by the quarl run they serve


@dataclass(frozen=True)
class Isolation:
    """How runs start on the workers: forked from warm servers (as many per Dask worker process
    as it has threads, with `preload` imported), or as fresh interpreters."""

    warm: bool
    preload: tuple[str, ...] = ()
    invocation: str = ""  # one quarl run's servers are never another's: its modules may differ


def run_attempt(job: Job, environment: WorkerEnvironment, out: str, isolation: Isolation) -> Outcome:
    """The Dask task of one attempt."""
    here = _here(environment)

    def stopping() -> bool:
        return job.attempt_id in _stopped

    try:
        if isolation.warm:
            try:
                return perform(job, _registered(_warm_pool(here, out, isolation).launch), stopping)
            except WarmStartError:
                pass  # said in the servers' log; this worker runs fresh interpreters instead
        return perform(job, _registered(launch_fresh(here, dies_with_parent())), stopping)
    finally:
        with _lock:
            _running.pop(job.attempt_id, None)
            _stopped.discard(job.attempt_id)


def _warm_pool(environment: WorkerEnvironment, out: str, isolation: Isolation) -> WarmPool:
    with _lock:
        pool = _pools.get(isolation.invocation)
        if pool is None:
            for stale in _pools.values():  # a quarl run that ended without closing them
                stale.close()
            _pools.clear()
            worker = distributed.get_worker()
            slots = getattr(getattr(worker, "state", worker), "nthreads", 1)
            log = os.path.join(out, f".quarl-warm.{socket.gethostname()}.{os.getpid()}.log")
            pool = _pools[isolation.invocation] = WarmPool(slots, environment, isolation.preload, log)
    return pool


def close_warm_pools(invocation: str) -> None:
    """Stops this worker's warm servers of a quarl run that has ended (run on every worker)."""
    with _lock:
        pool = _pools.pop(invocation, None)
    if pool is not None:
        pool.close()


def stop_attempts(attempt_ids: Sequence[str]) -> None:
    """Kills the processes of these attempts in this worker process (run on every worker)."""
    with _lock:
        _stopped.update(attempt_ids)
        for attempt_id in attempt_ids:
            process = _running.get(attempt_id)
            if process is not None:
                process.kill()


def _here(environment: WorkerEnvironment) -> WorkerEnvironment:
    """How runs start on this worker: with its own interpreter (the one quarl is installed in)
    and environment variables, and the project's folders, which are the same paths everywhere.
    A worker with the project installed may lack the folder `quarl run` started in."""
    cwd = environment.cwd if os.path.isdir(environment.cwd) else os.getcwd()
    return WorkerEnvironment(sys.executable, cwd, environment.path)


def _registered(launch: Launch) -> Launch:
    """`launch`, for an attempt that stop_attempts can reach: one stopped before it starts does
    not start, one stopped while it starts is killed once it has."""

    def registered(job: Job, kwargs: str | None, stdout: IO[bytes], stderr: IO[bytes]) -> Process:
        if job.attempt_id in _stopped:
            raise Interrupted
        process = launch(job, kwargs, stdout, stderr)
        with _lock:
            _running[job.attempt_id] = process
            if job.attempt_id in _stopped:
                process.kill()
        return process

    return registered


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
    try:
        with open(token_path, encoding="ascii") as file:
            seen = file.read() == token
    except OSError:
        seen = False
    if not seen:
        problems.append(f"does not see the output folder {out} that quarl run writes (it must be on "
                        "a file system shared by every machine, at the same path)")
    else:
        probe = f"{token_path}.{secrets.token_hex(4)}"  # workers on two machines may share a pid
        try:
            with open(probe, "x"):
                pass
            os.unlink(probe)
        except OSError as error:
            problems.append(f"cannot write to the output folder {out}: {error}")
    here = _here(environment)
    try:
        found = subprocess.run([here.python, "-c", _FIND_MODULES, "quarl.worker", *modules],
                               cwd=here.cwd, env=here.env(), stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=CHECK_TIMEOUT / 2)
    except (OSError, subprocess.TimeoutExpired) as error:
        return [*problems, f"cannot start {here.python}: {error}"]
    if found.returncode != 0:
        last_line = (found.stderr.strip().splitlines() or ["no message"])[-1]
        return [*problems, f"{here.python} cannot look for modules: {last_line}"]
    for name in found.stdout.split():
        if name == "quarl.worker":
            problems.append(f"cannot import quarl.worker with {here.python}")
        else:
            problems.append(f"cannot import the project's module {name!r} (not installed there, "
                            f"nor in {os.pathsep.join(environment.path)})")
    return problems


# --- in the quarl run process -------------------------------------------------------------------

class DaskExecutor:
    """Submits each job as a task and collects the finished futures."""

    def __init__(self, client: distributed.Client, slots: int, environment: WorkerEnvironment,
                 out: str, isolation: Isolation, cluster: distributed.LocalCluster | None = None) -> None:
        self.client = client
        self.cluster = cluster
        self.slots = slots
        self.busy = 0
        self._environment = environment
        self._out = out
        self._isolation = isolation
        self._done: queue.SimpleQueue[distributed.Future[Outcome] | None] = queue.SimpleQueue()
        self._jobs: dict[str, tuple[Job, float, float]] = {}  # by task key: job, start times
        self._futures: dict[str, distributed.Future[Outcome]] = {}
        self._stopping = False

    @property
    def running(self) -> int:
        return self.busy

    def submit(self, job: Job) -> None:
        key = f"{job.module}.{job.function}-{job.attempt_id}"
        self._jobs[key] = (job, time.time(), time.monotonic())
        future = self.client.submit(run_attempt, job, self._environment, self._out, self._isolation,
                                    key=key, pure=False)
        self._futures[key] = future
        self.busy += 1
        future.add_done_callback(self._done.put)

    def wait(self, timeout: float | None) -> list[Outcome]:
        """The outcomes that are in, after waiting up to `timeout` for the first."""
        done, woken = collect(self._done, timeout)
        if self._stopping and woken:
            # Woken again after the interrupt (a second Ctrl-C): what has not come back yet,
            # a task waiting for a worker that is gone, is given up.
            self.client.cancel(list(self._futures.values()))
        self.busy -= len(done)
        return [self._outcome(future) for future in done]

    def _outcome(self, future: distributed.Future[Outcome]) -> Outcome:
        key = str(future.key)
        job, started, clock = self._jobs.pop(key)
        del self._futures[key]
        folder = None
        if future.status == "finished":
            try:
                outcome: Outcome = future.result()
                return outcome
            except Exception as lost:
                reason = f"its outcome was lost with its Dask worker ({type(lost).__name__}: {lost})"
        elif future.status == "cancelled":
            if self._stopping:
                return Outcome(job.run, job.attempt_id, Status.INTERRUPTED, started, time.monotonic() - clock)
            # The task may still be running on its worker: its folder is left to it.
            reason = ("the connection to the Dask scheduler was lost" if self.client.status != "running"
                      else "the Dask scheduler cancelled the task")
        else:
            error = future.exception()
            if isinstance(error, KilledWorker):
                last = getattr(error.last_worker, "address", error.last_worker)
                tries = error.allowed_failures + 1
                reason = (f"the Dask worker running it died ({tries} {'try' if tries == 1 else 'tries'}, "
                          f"the last on {last})")
            else:
                reason = f"the Dask task failed: {type(error).__name__}: {error}"
            # Its process died with the worker (or the task ended): the attempt's folder, if
            # any, becomes the run's last failure.
            if os.path.isdir(job.attempt):
                folder = keep_failed(job)
        return Outcome(job.run, job.attempt_id, Status.FAILED, started, time.monotonic() - clock,
                       error=reason, folder=folder)

    def wake(self) -> None:
        self._done.put(None)  # SimpleQueue.put may be called from a signal handler

    def interrupt(self) -> None:
        """Kills the processes of every attempt in flight, on whichever worker runs it; a task
        that starts afterwards does not launch. Their outcomes come back as interrupted."""
        self._stopping = True
        ids = [job.attempt_id for job, _, _ in self._jobs.values()]
        if ids:
            try:
                self.client.run(stop_attempts, ids, on_error="ignore", callback_timeout=STOP_TIMEOUT)
            except OSError:
                # The scheduler is gone (the futures come back cancelled), or a worker does not
                # answer (a second Ctrl-C gives up its runs).
                pass

    def close(self) -> None:
        self._futures.clear()
        if self._isolation.warm and self.client.status == "running":
            try:
                self.client.run(close_warm_pools, self._isolation.invocation, on_error="ignore",
                                callback_timeout=STOP_TIMEOUT)
            except OSError:
                pass  # a worker that does not answer closes them with the next quarl run
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def dask_executor(address: str | None, jobs: int | None, environment: WorkerEnvironment, out: str,
                  modules: Sequence[str], warm: bool = False, preload: Sequence[str] = ()) -> DaskExecutor:
    """An executor on the cluster whose scheduler is at `address`, or on a LocalCluster of `jobs`
    worker processes that lives as long as the executor; checked by check_cluster."""
    cluster = None
    client = None
    try:
        if address is None:
            slots = jobs or os.cpu_count() or 1
            # Any free port for its web server: two of them at once must not collide.
            cluster = distributed.LocalCluster(n_workers=slots, threads_per_worker=1, processes=True,
                                               dashboard_address=":0")
            client = distributed.Client(cluster, set_as_default=False)
        else:
            try:
                client = distributed.Client(address, set_as_default=False)
            except OSError as error:
                raise ClusterError(f"cannot reach the Dask scheduler at {address}: {error}") from None
            threads = _threads(client, address)
            slots = min(threads, jobs) if jobs else threads
        isolation = Isolation(warm, tuple(preload), secrets.token_hex(8))
        executor = DaskExecutor(client, slots, environment, out, isolation, cluster)
        check_cluster(client, out, modules, environment)
        return executor
    except BaseException:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        raise


def _threads(client: distributed.Client, address: str) -> int:
    """The cluster's worker threads, once a first worker is there."""
    try:
        client.wait_for_workers(1, timeout=dask.config.get("distributed.comm.timeouts.connect"))
    except TimeoutError:
        raise ClusterError(f"the Dask scheduler at {address} has no workers "
                           f"(start them with: dask worker {address})") from None
    return sum(client.nthreads().values())


def check_cluster(client: distributed.Client, out: str, modules: Sequence[str],
                  environment: WorkerEnvironment) -> None:
    """Raises ClusterError naming every worker that cannot run the plan and why."""
    token = secrets.token_hex(8)
    token_path = os.path.join(out, f".quarl-check-{token}")
    with open(token_path, "w", encoding="ascii") as file:
        file.write(token)
    try:
        answers: dict[str, Any] = client.run(check_worker, out, token_path, token, list(modules),
                                             environment, on_error="return",
                                             callback_timeout=CHECK_TIMEOUT)
    except TimeoutError:
        raise ClusterError(f"a worker of the Dask cluster did not answer quarl's check within "
                           f"{CHECK_TIMEOUT} s") from None
    finally:
        os.unlink(token_path)
    names = {address: worker.get("name") for address, worker in
             client.scheduler_info()["workers"].items()}
    lines = []
    for address, answer in sorted(answers.items()):
        name = names.get(address)
        who = f"{name} ({address})" if name is not None and str(name) != address else address
        if isinstance(answer, BaseException):
            answer = [f"cannot run quarl's check, is quarl installed there? "
                      f"({type(answer).__name__}: {answer})"]
        lines += [f"worker {who} {problem}" for problem in answer]
    if lines:
        raise ClusterError("the Dask cluster cannot run this project:\n  " + "\n  ".join(lines))
