"""Runs each attempt's worker on a Dask cluster: one Dask task per attempt starts the worker on
its Dask worker's machine (dask_worker.run_worker) and returns how it ended; `quarl run` prepares,
decides and publishes the attempt itself, as for any executor: in the output folder that every
worker sees at the same path, or on the object store that every worker reaches (each attempt then
runs in a scratch folder of its worker's machine and uploads its files itself).

The scheduler of `quarl run` submits only runs whose upstream is decided, never more than `slots`
at once, so Dask never sees the plan's edges. The history stays with `quarl run`.

Contract with the cluster: the output folder is on a file system that every worker sees at the
same path, or an object store that every worker reaches with the credentials of its environment;
the project is importable there (at the same path or installed) and so is quarl.
`check_cluster` verifies it on every worker before anything runs.
"""

# distributed's API is only partly typed.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import os
import queue
import secrets
from collections.abc import Awaitable, Collection, Sequence
from typing import Any

# Type-checked without the extra too, where these modules are unknown.
import dask.config  # type: ignore[import-not-found, unused-ignore]
import distributed  # type: ignore[import-not-found, unused-ignore]
from distributed.scheduler import KilledWorker  # type: ignore[import-not-found, unused-ignore]

from quarl.errors import QuarlError
from quarl.run.executors.base import Event, Exited, Launch, Lost, WorkerEnvironment, collect
from quarl.run.executors.dask_worker import (CHECK_TIMEOUT, Isolation, WorkerExit, check_worker,
                                             close_warm_pools, stop_attempts, run_worker)

# Seconds for every worker to answer a request: to kill attempts, to close a quarl run's warm servers.
STOP_TIMEOUT = 10
# Seconds between two looks at the client's connection to the scheduler.
STATUS_INTERVAL = 1.0


class ClusterError(QuarlError):
    """The cluster cannot take the plan: unreachable, without workers, or a worker that breaks
    the contract. Nothing has run."""


class DaskExecutor:
    """Submits each attempt's worker as a task and reports the finished futures."""

    def __init__(self, client: distributed.Client, slots: int, environment: WorkerEnvironment,
                 out: str, isolation: Isolation, cluster: distributed.LocalCluster | None = None) -> None:
        self.broken: str | None = None
        self.client = client
        self.cluster = cluster
        self.slots = slots
        self._environment = environment
        self._out = out
        self._isolation = isolation
        self._done: queue.SimpleQueue[distributed.Future[WorkerExit] | None] = queue.SimpleQueue()
        self._futures: dict[str, distributed.Future[WorkerExit]] = {}  # by attempt key

    def start(self, launch: Launch) -> None:
        if self.broken is not None:
            raise OSError(self.broken)
        future = self.client.submit(run_worker, launch, self._environment, self._out, self._isolation,
                                    key=f"{launch.args[0]}.{launch.args[1]}-{launch.key}", pure=False)
        self._futures[launch.key] = future
        future.add_done_callback(self._done.put)
        return None

    def kill(self, keys: Collection[str]) -> None:
        """Asks every worker to kill these attempts' processes, and returns at once: the call
        goes on in the client's event loop, where it waits for every worker's answer, which a
        frozen or unreachable worker never gives (its runs end by themselves, see dask_worker).
        A worker that answers kills them and the tasks report their end."""
        call = self.client.run(stop_attempts, list(keys), on_error="ignore", asynchronous=True,
                               callback_timeout=STOP_TIMEOUT)
        if self.client.loop is None:  # closed: so is every task
            call.close()
        else:
            self.client.loop.add_callback(_quietly, call)

    def wait(self, timeout: float | None) -> list[Event]:
        # The client's connection is looked at every second: a scheduler that is gone leaves the
        # futures pending for as long as the client tries to reconnect.
        done = collect(self._done, STATUS_INTERVAL if timeout is None else min(timeout, STATUS_INTERVAL))
        reports = [report for report in map(self._report, done) if report is not None]
        if self.broken is None and self.client.status not in ("running", "newly-created"):
            self.broken = "the connection to the Dask scheduler was lost"
            reports += [Lost(key, self.broken, retry=False) for key in self._futures]
            self._futures.clear()
        return reports

    def _report(self, future: distributed.Future[WorkerExit]) -> Event | None:
        key = next((k for k, f in self._futures.items() if f is future), None)
        if key is None:
            return None  # reported lost already, with the connection to the scheduler
        del self._futures[key]
        if future.status == "finished":
            try:
                ended: WorkerExit = future.result()
            except Exception as lost:
                return Lost(key, f"its outcome was lost with its Dask worker ({type(lost).__name__}: {lost})",
                            retry=False)
            if ended.lost is not None:
                return Lost(key, ended.lost)
            return Exited(key, ended.status)
        if future.status == "cancelled":
            return Lost(key, "the connection to the Dask scheduler was lost" if self.client.status != "running"
                        else "the Dask scheduler cancelled the task", retry=False)
        error = future.exception()
        if isinstance(error, KilledWorker):
            last = getattr(error.last_worker, "address", error.last_worker)
            tries = error.allowed_failures + 1
            return Lost(key, f"the Dask worker running it died ({tries} {'try' if tries == 1 else 'tries'}, "
                        f"the last on {last})", retry=False)
        return Lost(key, f"the Dask task failed: {type(error).__name__}: {error}", retry=False)

    def wake(self) -> None:
        self._done.put(None)  # SimpleQueue.put may be called from a signal handler

    def close(self) -> None:
        if self._futures and self.broken is None:
            try:
                self.client.cancel(list(self._futures.values()))  # given up on: never to start
            except OSError:
                pass
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


async def _quietly(call: Awaitable[object]) -> None:
    """Awaits a call whose outcome does not matter, which would be logged otherwise."""
    try:
        await call
    except Exception:
        pass  # a worker that did not answer in time, a scheduler gone


def dask_executor(address: str | None, jobs: int | None, environment: WorkerEnvironment, out: str,
                  modules: Sequence[str], warm: bool = False, preload: Sequence[str] = (),
                  kind: str = "project") -> DaskExecutor:
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
        isolation = Isolation(warm, tuple(preload), kind, secrets.token_hex(8))
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
    remote = "://" in out  # an object store, which the workers reach themselves
    token_path = "" if remote else os.path.join(out, f".quarl-check-{token}")
    if not remote:
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
        if not remote:
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
