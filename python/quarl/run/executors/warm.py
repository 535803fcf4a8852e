"""Warm workers: a server process per job slot, which has imported what every run needs once and
forks one child per attempt.

Each attempt still has a process of its own (a child that crashes, leaks, calls os._exit or
corrupts its interpreter takes nothing else with it); what it no longer pays for is starting an
interpreter and importing quarl. The child leads its own process group, so a timeout kills
whatever it started, as for a fresh worker.

The server (warm_server.py) talks to the orchestrator over a socket pair of datagrams (one
message each way per step): a request carries the worker's arguments and, as passed descriptors,
the attempt's two log files; the server answers with the child's pid once forked, then with its
exit status. With `preload`, it also imports the project's modules, whose top-level code then runs
once per server instead of once per run.
"""

from __future__ import annotations

import json
import os
import queue
import select
import signal
import socket
import subprocess
import threading
from collections.abc import Sequence
from typing import IO

from quarl.run.executors.base import ExecutorError, Job, Process, WorkerEnvironment, WorkerLost
from quarl.run.executors.local import ThreadedExecutor


class ServerLost(WorkerLost):
    """The warm server died; the attempt it ran did not finish."""


class WarmStartError(ExecutorError):
    """No warm server would start."""


class WarmServer:
    """A server process, started; `ready()` waits until it has imported what it preloads."""

    def __init__(self, environment: WorkerEnvironment, preload: Sequence[str], log: IO[bytes]) -> None:
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.process = subprocess.Popen(
                [environment.python, "-m", "quarl.run.executors.warm_server", str(theirs.fileno()), *preload],
                cwd=environment.cwd, env=environment.env(), stdin=subprocess.DEVNULL, stdout=log,
                stderr=log, pass_fds=[theirs.fileno()], start_new_session=True)
        except BaseException:
            mine.close()
            raise
        finally:
            theirs.close()
        self.channel = mine

    def ready(self) -> WarmServer:
        if self._receive(None) != b"ready":
            self.close()
            raise ServerLost("the warm worker server did not start")
        return self

    def _receive(self, timeout: float | None) -> bytes | None:
        if timeout is not None and not select.select([self.channel], [], [], timeout)[0]:
            return None
        try:
            message = self.channel.recv(64)
        except OSError as error:
            raise ServerLost(f"the warm worker server died ({error})") from None
        if not message:
            self.close()
            raise ServerLost(f"the warm worker server died ({_exit_text(self.process)})")
        return message

    def start(self, argv: list[str], stdout: IO[bytes], stderr: IO[bytes]) -> int:
        try:
            socket.send_fds(self.channel, [json.dumps(argv).encode()], [stdout.fileno(), stderr.fileno()])
        except OSError as error:
            self.close()
            raise ServerLost(f"the warm worker server died ({error})") from None
        reply = self._receive(None)
        assert reply is not None
        return int(reply)

    def close(self) -> None:
        self.channel.close()  # the server ends when it reads the end of the stream
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


def _exit_text(process: subprocess.Popen[bytes]) -> str:
    try:
        status = process.wait(1)
    except subprocess.TimeoutExpired:
        return "its connection closed"
    return f"killed by {signal.Signals(-status).name}" if status < 0 else f"exit status {status}"


class WarmProcess:
    def __init__(self, server: WarmServer, pid: int, pool: WarmPool) -> None:
        self.server, self.pid, self._pool = server, pid, pool
        self.status: int | None = None

    def wait(self, timeout: float | None) -> int | None:
        if self.status is None:
            try:
                reply = self.server._receive(timeout)
            except ServerLost:
                self.kill()  # the child lives on in its own group: it must not outlive its run
                self._pool.discard(self.server)
                raise
            if reply is None:
                return None
            self.status = int(reply)
            self._pool.idle.put(self.server)
        return self.status

    def kill(self) -> None:
        if self.status is None:
            for kill in (os.killpg, os.kill):
                try:
                    kill(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


class WarmPool:
    """Up to `slots` servers, started when first needed; a server that died is replaced."""

    def __init__(self, slots: int, environment: WorkerEnvironment, preload: Sequence[str],
                 log_path: str) -> None:
        self.slots, self.environment, self.preload = slots, environment, list(preload)
        self.log_path = log_path
        self.log: IO[bytes] | None = None
        self.idle: queue.SimpleQueue[WarmServer] = queue.SimpleQueue()
        self.servers: list[WarmServer] = []
        self._lock = threading.Lock()
        self._start_lock = threading.Lock()
        self._started = False
        self._failed: WarmStartError | None = None

    def _start(self) -> None:
        """Starts every server at the first run, not before: a run with nothing to do starts
        none. They import side by side, and a server that cannot start stops the command
        rather than failing every run."""
        with self._start_lock:
            if self._failed is not None:
                raise self._failed
            if self._started:
                return
            self.log = open(self.log_path, "ab")
            self.servers = [WarmServer(self.environment, self.preload, self.log) for _ in range(self.slots)]
            try:
                for server in self.servers:
                    self.idle.put(server.ready())
            except ServerLost:
                self._failed = WarmStartError(
                    f"the warm worker servers cannot start (their output is in {self.log_path}); "
                    "--isolation fresh runs without them")
                raise self._failed from None
            self._started = True

    def launch(self, job: Job, kwargs: str | None, stdout: IO[bytes], stderr: IO[bytes]) -> Process:
        argv = self.environment.worker_argv(job, kwargs)[3:]
        self._start()
        for _ in range(2):  # an idle server that died since its last run is replaced once
            server = self._server()
            try:
                return WarmProcess(server, server.start(argv, stdout, stderr), self)
            except ServerLost:
                self.discard(server)
        raise ServerLost("the warm worker server died twice on start")

    def discard(self, server: WarmServer) -> None:
        with self._lock:
            self.servers.remove(server)

    def _server(self) -> WarmServer:
        try:
            return self.idle.get_nowait()
        except queue.Empty:  # one died: its replacement
            assert self.log is not None
            server = WarmServer(self.environment, self.preload, self.log)
            with self._lock:
                self.servers.append(server)
            return server.ready()

    def close(self) -> None:
        for server in self.servers:
            server.close()
        self.servers = []
        if self.log is not None:
            self.log.close()
            self.log = None
            try:
                if self._failed is None and os.path.getsize(self.log_path) == 0:  # nothing said
                    os.unlink(self.log_path)
            except OSError:
                pass


class WarmExecutor(ThreadedExecutor):
    def __init__(self, slots: int, pool: WarmPool) -> None:
        super().__init__(slots, pool.launch)
        self.pool = pool

    def close(self) -> None:
        super().close()
        self.pool.close()


def warm_executor(slots: int, environment: WorkerEnvironment, preload: Sequence[str],
                  log_path: str) -> WarmExecutor:
    return WarmExecutor(slots, WarmPool(slots, environment, preload, log_path))

