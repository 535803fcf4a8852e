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

WarmExecutor runs attempts on the servers from the scheduler's thread; WarmPool.launch is the
blocking form that a Dask worker's threads use.
"""

from __future__ import annotations

import math
import os
import queue
import select
import signal
import socket
import subprocess
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import IO

from quarl.run.executors.base import (Attempt, ExecutorError, Job, Outcome, Process, WorkerEnvironment,
                                      WorkerLost)
from quarl.run.executors.warm_server import kill_group


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
        if self.receive(None) != b"ready":
            self.close()
            raise ServerLost("the warm worker server did not start")
        return self

    def receive(self, timeout: float | None) -> bytes | None:
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

    def send(self, argv: list[str], stdout: IO[bytes], stderr: IO[bytes]) -> None:
        """Asks for a run; the server answers with the child's pid, then its exit status."""
        try:
            socket.send_fds(self.channel, [b"\0".join(map(os.fsencode, argv))],
                            [stdout.fileno(), stderr.fileno()])
        except OSError as error:
            self.close()
            raise ServerLost(f"the warm worker server died ({error})") from None

    def fileno(self) -> int:
        return self.channel.fileno()

    def close(self) -> None:
        self.channel.close()  # the server ends when it reads the end of the stream
        self.wait_closed()

    def wait_closed(self) -> None:
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
                reply = self.server.receive(timeout)
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
            kill_group(self.pid)


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

    def start(self) -> None:
        """Starts every server at the first run, not before: a run with nothing to do starts
        none. They import side by side, and a server that cannot start stops the command
        rather than failing every run."""
        with self._start_lock:
            if self._failed is not None:
                raise self._failed
            if self._started:
                return
            self.log = open(self.log_path, "ab")
            try:
                for _ in range(self.slots):  # one by one: close() ends those started if one fails
                    self.servers.append(WarmServer(self.environment, self.preload, self.log))
                for server in self.servers:
                    self.idle.put(server.ready())
            except ServerLost:
                self._failed = WarmStartError(
                    f"the warm worker servers cannot start (their output is in {self.log_path}); "
                    "--isolation fresh runs without them")
                raise self._failed from None
            self._started = True

    def send(self, argv: list[str], stdout: IO[bytes], stderr: IO[bytes]) -> WarmServer:
        """Hands a run to an idle server, starting the servers at the first; returns it."""
        self.start()
        for _ in range(2):  # an idle server that died since its last run is replaced once
            server = self.take()
            try:
                server.send(argv, stdout, stderr)
                return server
            except ServerLost:
                self.discard(server)
        raise ServerLost("the warm worker server died twice on start")

    def launch(self, job: Job, kwargs: str | None, stdout: IO[bytes], stderr: IO[bytes]) -> Process:
        """The blocking form: the run's process once its server has forked it."""
        server = self.send(self.environment.worker_argv(job, kwargs)[3:], stdout, stderr)
        try:
            pid = server.receive(None)
        except ServerLost:
            self.discard(server)
            raise
        assert pid is not None
        return WarmProcess(server, int(pid), self)

    def discard(self, server: WarmServer) -> None:
        with self._lock:
            self.servers.remove(server)

    def take(self) -> WarmServer:
        """An idle server, or a new one in place of one that died."""
        try:
            return self.idle.get_nowait()
        except queue.Empty:  # one died: its replacement
            assert self.log is not None
            server = WarmServer(self.environment, self.preload, self.log)
            with self._lock:
                self.servers.append(server)
            return server.ready()

    def close(self) -> None:
        for server in self.servers:  # all told first: they end side by side
            server.channel.close()
        for server in self.servers:
            server.wait_closed()
        self.servers = []
        if self.log is not None:
            self.log.close()
            self.log = None
            try:
                if self._failed is None and os.path.getsize(self.log_path) == 0:  # nothing said
                    os.unlink(self.log_path)
            except OSError:
                pass


@dataclass
class _Running:
    attempt: Attempt
    deadline: float | None
    lost: int  # times a server died under this run already
    pid: int | None = None
    killed: bool = False
    timed_out: bool = False

    def kill(self) -> None:
        """Kills the child's process group, now or as soon as its pid is known."""
        self.killed = True
        if self.pid is not None:
            kill_group(self.pid)


class WarmExecutor:
    """Performs attempts on warm servers from the scheduler's own thread: a request goes out
    when an attempt is submitted, and wait() reads the servers' replies as they come (the pid,
    then the exit status), so a run costs the orchestrator two messages and no thread."""

    def __init__(self, slots: int, pool: WarmPool) -> None:
        self.slots = slots
        self.pool = pool
        self.busy = 0
        self._running: dict[int, tuple[WarmServer, _Running]] = {}  # by the server's channel
        self._decided: list[Outcome] = []  # outcomes known without waiting on a server
        # Attempts whose worker exited with status 0, to be finished (read, published) once the
        # scheduler has given their server its next run: that work then overlaps the next run.
        self._exited: list[Attempt] = []
        self._stopping = False
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        os.set_blocking(self._wake_write, False)
        self._poll = select.poll()
        self._poll.register(self._wake_read, select.POLLIN)

    @property
    def running(self) -> int:
        return len(self._running)

    def submit(self, job: Job) -> None:
        self.busy += 1
        self._start(Attempt(job), lost=0)

    def _start(self, attempt: Attempt, lost: int) -> None:
        if self._stopping:
            self._decided.append(attempt.interrupted())
            return
        job = attempt.job
        try:
            argv = self.pool.environment.worker_argv(job, attempt.prepare())[3:]
            with attempt.logs() as (out, err):
                server = self.pool.send(argv, out, err)
        except ExecutorError:
            attempt.discard()
            raise
        except ServerLost as error:
            self._lost(attempt, lost, error)
            return
        except OSError as error:
            self._decided.append(attempt.failed_before_start(error))
            return
        deadline = None if job.timeout is None else time.monotonic() + job.timeout
        self._running[server.fileno()] = server, _Running(attempt, deadline, lost)
        self._poll.register(server.fileno(), select.POLLIN)

    def wait(self, timeout: float | None) -> list[Outcome]:
        """The outcomes that are in, after waiting up to `timeout` for the first; or none, as
        soon as a server is free for the next run while the attempt it ran is not finished."""
        for attempt in self._exited:
            self._decided.append(attempt.finish(0, timed_out=False, stopping=False))
        self._exited = []
        end = None if timeout is None else time.monotonic() + timeout
        while not self._decided and not self._exited:
            now = time.monotonic()
            limits = [r.deadline for _, r in self._running.values() if r.deadline and not r.timed_out]
            limit = min([d for d in (end, *limits) if d is not None], default=None)
            ready = self._poll.poll(None if limit is None else max(0, math.ceil((limit - now) * 1000)))
            for fd, _ in ready:
                if fd == self._wake_read:
                    _drain(self._wake_read)
                    end = now  # the scheduler has something to see to
                else:
                    self._reply(fd)
            now = time.monotonic()
            for _, running in self._running.values():
                if running.deadline is not None and not running.timed_out and now >= running.deadline:
                    running.timed_out = True
                    running.kill()
            if end is not None and now >= end:
                break
        done, self._decided = self._decided, []
        self.busy -= len(done)
        return done

    def _reply(self, fd: int) -> None:
        server, running = self._running[fd]
        try:
            message = server.receive(None)
        except ServerLost as error:
            running.kill()  # the child lives on in its own group: it must not outlive its run
            self._done_with(fd)
            self.pool.discard(server)
            self._lost(running.attempt, running.lost, error)
            return
        assert message is not None
        if running.pid is None:
            running.pid = int(message)
            if running.killed:
                running.kill()
            return
        self._done_with(fd)
        self.pool.idle.put(server)
        status = int(message)
        if status == 0 and not running.timed_out:
            self._exited.append(running.attempt)
        else:
            self._decided.append(running.attempt.finish(status, running.timed_out, self._stopping))

    def _done_with(self, fd: int) -> None:
        del self._running[fd]
        self._poll.unregister(fd)

    def _lost(self, attempt: Attempt, lost: int, error: ServerLost) -> None:
        """The attempt's server died: it is run once more from the start, then failed."""
        if lost:
            self._decided.append(attempt.lost_twice(error))
        else:
            self._start(Attempt(attempt.job), lost=1)

    def wake(self) -> None:
        try:
            os.write(self._wake_write, b"x")  # from a signal handler: never blocks
        except BlockingIOError:
            pass  # a wake-up is pending already

    def interrupt(self) -> None:
        """Kills every worker; their attempts end as interrupted and nothing new starts."""
        self._stopping = True
        for _, running in self._running.values():
            running.kill()

    def close(self) -> None:
        self.pool.close()
        os.close(self._wake_read)
        os.close(self._wake_write)


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 64):
            pass
    except BlockingIOError:
        pass


def warm_executor(slots: int, environment: WorkerEnvironment, preload: Sequence[str],
                  log_path: str) -> WarmExecutor:
    return WarmExecutor(slots, WarmPool(slots, environment, preload, log_path))

