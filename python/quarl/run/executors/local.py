"""Runs each attempt's worker on this machine in a fresh interpreter: `python -m quarl.worker`.

The worker is started from the scheduler's thread, so that the kernel ties its death signal to a
thread that lives as long as `quarl run`; a small thread per worker waits for its exit, and the
scheduler's thread reaps it when it takes the report: until then the attempt may kill the
worker's group by its pid, which only the unreaped worker is sure to hold. The scheduler's thread
joins a worker's thread as it takes its report, so that no thread is left to end while `quarl run`
exits (a daemon thread that wakes while the interpreter finalises dies half-way).
"""

from __future__ import annotations

import queue
import subprocess
import threading
from collections.abc import Collection

from quarl.run.executors.base import Event, Exited, Launch, WorkerEnvironment, collect, open_logs
from quarl.run.executors.processes import dies_with_parent, ended, start_fresh


class FreshExecutor:
    broken: str | None = None

    def __init__(self, slots: int, environment: WorkerEnvironment) -> None:
        self.slots = slots
        self._environment = environment
        self._env = environment.env()
        self._die_with_parent = dies_with_parent()
        # Workers that have exited, not yet reaped.
        self._exited: queue.SimpleQueue[tuple[str, subprocess.Popen[bytes], threading.Thread] | None] = \
            queue.SimpleQueue()

    def start(self, launch: Launch) -> int:
        with open_logs(launch.folder) as (out, err):
            popen = start_fresh(self._environment.python, launch.args, self._environment.cwd, self._env,
                                out, err, self._die_with_parent)
        threading.Thread(target=self._watch, args=(launch.key, popen), daemon=True,
                         name="quarl-watcher").start()
        return int(popen.pid)

    def _watch(self, key: str, popen: subprocess.Popen[bytes]) -> None:
        ended(popen.pid)
        self._exited.put((key, popen, threading.current_thread()))

    def kill(self, keys: Collection[str]) -> None:
        pass  # every worker's pid is known from its start

    def wait(self, timeout: float | None) -> list[Event]:
        events: list[Event] = []
        for key, popen, watcher in collect(self._exited, timeout):
            watcher.join()  # it has said the exit: only its return is left
            events.append(Exited(key, popen.wait()))
        return events

    def wake(self) -> None:
        self._exited.put(None)  # SimpleQueue.put may be called from a signal handler

    def close(self) -> None:
        pass
