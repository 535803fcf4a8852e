"""Runs attempts on this machine, each in a fresh interpreter: `python -m quarl.worker`.

A thread per job slot waits on its worker process; the scheduler never has more attempts in
flight than there are slots, so an attempt starts as soon as it is submitted.
"""

from __future__ import annotations

import queue
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO

from quarl.run.executors.base import (Interrupted, Job, Launch, Outcome, Process, WorkerEnvironment,
                                      collect, launch_fresh, perform)


class ThreadedExecutor:
    """Performs attempts on a pool of threads, each starting its worker through `launch`."""

    def __init__(self, slots: int, launch: Launch) -> None:
        self.slots = slots
        self._launch_worker = launch
        self._pool = ThreadPoolExecutor(slots, thread_name_prefix="quarl-attempt")
        self._done: queue.SimpleQueue[Future[Outcome] | None] = queue.SimpleQueue()
        self.busy = 0
        self._lock = threading.Lock()
        self._running: dict[str, Process] = {}
        self._stopping = False

    @property
    def running(self) -> int:
        return self.busy

    def submit(self, job: Job) -> None:
        future = self._pool.submit(perform, job, self._launch, self._is_stopping)
        self.busy += 1
        future.add_done_callback(self._finished(job.attempt_id))

    def _finished(self, attempt_id: str):  # type: ignore[no-untyped-def]
        def done(future: Future[Outcome]) -> None:
            with self._lock:
                self._running.pop(attempt_id, None)
            self._done.put(future)

        return done

    def _launch(self, job: Job, kwargs: str | None, stdout: IO[bytes], stderr: IO[bytes]) -> Process:
        if self._stopping:
            raise Interrupted
        process = self._launch_worker(job, kwargs, stdout, stderr)
        with self._lock:
            self._running[job.attempt_id] = process
            if self._stopping:  # interrupt() came while it started, and did not see it
                process.kill()
        return process

    def _is_stopping(self) -> bool:
        return self._stopping

    def wait(self, timeout: float | None) -> list[Outcome]:
        """The outcomes that are in, after waiting up to `timeout` for the first."""
        done, _ = collect(self._done, timeout)
        self.busy -= len(done)
        # An exception here is a fault of quarl's own, not of the run: it ends the command.
        return [future.result() for future in done]

    def wake(self) -> None:
        self._done.put(None)  # SimpleQueue.put may be called from a signal handler

    def interrupt(self) -> None:
        """Kills every worker; their attempts end as interrupted and nothing new starts."""
        with self._lock:
            self._stopping = True
            for process in self._running.values():
                process.kill()

    def close(self) -> None:
        self._pool.shutdown(wait=True)


def local_executor(slots: int, environment: WorkerEnvironment) -> ThreadedExecutor:
    return ThreadedExecutor(slots, launch_fresh(environment))
