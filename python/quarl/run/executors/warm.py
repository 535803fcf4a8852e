"""Warm workers: a server process per job slot, which has imported what every run needs once and
forks one child per attempt.

Each attempt still has a process of its own (a child that crashes, leaks, calls os._exit or
corrupts its interpreter takes nothing else with it); what it no longer pays for is starting an
interpreter and importing quarl. The child leads its own process group, so a timeout kills
whatever it started, as for a fresh worker.

The server (warm_server.py) talks to the orchestrator over a socket pair of datagrams (one
message each way per step): a request carries the worker's arguments and, as passed descriptors,
the attempt's two log files; the server answers with the child's pid once forked ("pid PID"),
with the status the child says just before it exits ("done PID STATUS"), and with its exit
status once it has exited and its process group is killed ("exit PID STATUS"). A server is free
for the next run from "done" on: it forks that run while the kernel tears the last child down,
whose attempt is decided only at its "exit". With `preload`, it also imports the project's
modules, whose top-level code then runs once per server instead of once per run.

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
import sys
from collections.abc import Callable, Collection, Sequence
from typing import IO

from quarl.run.executors.base import (Event, ExecutorError, Exited, Finished, Launch, Launched, Lost,
                                      WorkerEnvironment, open_logs)
from quarl.run.executors.processes import kill_group


_MESSAGE = 65536


class ServerLost(Exception):
    """The warm server died; the attempt it ran did not finish."""


class WarmStartError(ExecutorError):
    """No warm server would start."""


class UnsafeModule(Exception):
    """A server found a module that forked children must not share, and exited."""

    def __init__(self, name: str, why: str) -> None:
        super().__init__(name, why)
        self.name, self.why = name, why


class WarmServer:
    """A server process, started; `ready()` waits until it has imported what it preloads.

    `kind` says what `preload` is: "project" (the project's modules) or "libraries" (the
    modules they import, when the project's own are imported by each run)."""

    def __init__(self, environment: WorkerEnvironment, kind: str, preload: Sequence[str],
                 log: IO[bytes]) -> None:
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.process = subprocess.Popen(
                [environment.python, "-m", "quarl.run.executors.warm_server", str(theirs.fileno()), kind,
                 os.pathsep.join(environment.path), *preload],
                cwd=environment.cwd, env=environment.env(), stdin=subprocess.DEVNULL, stdout=log,
                stderr=log, pass_fds=[theirs.fileno()], start_new_session=True)
        except BaseException:
            mine.close()
            raise
        finally:
            theirs.close()
        self.channel = mine

    def ready(self, left: Callable[[str, str], None]) -> WarmServer:
        """The server once it has imported what it preloads; `left(module, why)` is told of each
        module it leaves to the runs. UnsafeModule when it exits to be started again without
        one."""
        while True:
            message = self.receive(None)
            if message == b"ready":
                return self
            word, _, rest = (message or b"").partition(b" ")
            name, _, why = (part.decode("utf-8", "replace") for part in rest.partition(b"\0"))
            if word == b"note":
                left(name, why)
            elif word == b"unsafe":
                self.close()
                raise UnsafeModule(name, why)
            else:
                self.close()
                raise ServerLost("the warm server did not start")

    def receive(self, timeout: float | None) -> bytes | None:
        if timeout is not None and not select.select([self.channel], [], [], timeout)[0]:
            return None
        try:
            message = self.channel.recv(_MESSAGE)
        except OSError as error:
            raise ServerLost(f"the warm server died ({error})") from None
        if not message:
            self.close()
            raise ServerLost(f"the warm server died ({_exit_text(self.process)})")
        return message

    def send(self, argv: list[str], stdout: IO[bytes], stderr: IO[bytes]) -> None:
        """Asks for a run; the server answers with the child's pid, then the status it says, then
        its exit status."""
        try:
            socket.send_fds(self.channel, [b"\0".join(map(os.fsencode, argv))],
                            [stdout.fileno(), stderr.fileno()])
        except OSError as error:
            self.close()
            raise ServerLost(f"the warm server died ({error})") from None

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


def _said(message: bytes) -> tuple[bytes, int, int]:
    """A server's word on a child: "pid" (the pid again), "done" or "exit" with a status."""
    word, pid, *status = message.split()
    return word, int(pid), int(status[0]) if status else int(pid)


def _exit_text(process: subprocess.Popen[bytes]) -> str:
    try:
        status = process.wait(1)
    except subprocess.TimeoutExpired:
        return "its connection closed"
    return f"killed by {signal.Signals(-status).name}" if status < 0 else f"exit status {status}"


class WarmProcess:
    """A run's child, forked by a server for the blocking form (WarmPool.launch)."""

    def __init__(self, server: WarmServer, pid: int, pool: WarmPool) -> None:
        self.server, self.pid, self._pool = server, pid, pool

    def wait(self) -> int:
        """Its exit status; ServerLost when its server died under it (the child killed). The
        server stays this run's until then: its threads share no server."""
        try:
            while True:
                reply = self.server.receive(None)
                assert reply is not None
                word, _, status = _said(reply)
                if word == b"exit":
                    break
        except ServerLost:
            kill_group(self.pid)  # the child lives on in its own group: it must not outlive its run
            self._pool.discard(self.server)
            raise
        self._pool.idle.put(self.server)
        return status


class WarmPool:
    """Up to `slots` servers, started when first needed; a server that died is replaced."""

    def __init__(self, slots: int, environment: WorkerEnvironment, preload: Sequence[str],
                 log_path: str, kind: str = "project") -> None:
        self.slots, self.environment, self.preload, self.kind = slots, environment, list(preload), kind
        self.left: dict[str, str] = {}  # modules left to the runs, and why
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
        none. They import side by side; one that dies while it starts is replaced once, as a
        server lost later would be, and servers that cannot start stop the command rather than
        failing every run."""
        with self._start_lock:
            if self._failed is not None:
                raise self._failed
            if self._started:
                return
            self.log = open(self.log_path, "ab")
            try:
                for _ in range(self.slots):  # one by one: close() ends those started if one fails
                    self._spawn()
                for server in list(self.servers):
                    try:
                        self.idle.put(self._ready(server))
                    except ServerLost:
                        self.discard(server)
                        self.idle.put(self._ready(self._spawn()))
            except ServerLost:
                self._failed = WarmStartError(
                    f"the warm servers cannot start (their output is in {self.log_path}); "
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
        raise ServerLost("the warm server died twice on start")

    def launch(self, args: list[str], stdout: IO[bytes], stderr: IO[bytes]) -> WarmProcess:
        """The blocking form: the run's process once its server has forked it."""
        server = self.send(args, stdout, stderr)
        try:
            pid = server.receive(None)
        except ServerLost:
            self.discard(server)
            raise
        assert pid is not None
        return WarmProcess(server, _said(pid)[1], self)

    def discard(self, server: WarmServer) -> None:
        with self._lock:
            self.servers.remove(server)

    def take(self) -> WarmServer:
        """An idle server, or a new one in place of one that died."""
        try:
            return self.idle.get_nowait()
        except queue.Empty:  # one died: its replacement
            return self._ready(self._spawn())

    def _spawn(self) -> WarmServer:
        assert self.log is not None
        preload = [name for name in self.preload if name not in self.left]
        server = WarmServer(self.environment, self.kind, preload, self.log)
        with self._lock:
            self.servers.append(server)
        return server

    def _ready(self, server: WarmServer) -> WarmServer:
        """The server once ready, started again without each module it finds unsafe."""
        while True:
            try:
                return server.ready(self._leave)
            except UnsafeModule as unsafe:
                self.discard(server)
                self._leave(unsafe.name, unsafe.why)
                server = self._spawn()

    def _leave(self, name: str, why: str) -> None:
        """Says once that a module is left to the runs, in the servers' log and on stderr."""
        if name in self.left:
            return
        self.left[name] = why
        line = f"quarl: the warm servers leave {name} to the runs (imported by each run's process): {why}"
        print(line, file=sys.stderr, flush=True)
        if self.log is not None:
            self.log.write(line.encode() + b"\n")
            self.log.flush()

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


class _Serving:
    """What a server does for the executor: the run it was last given until that run's child
    says its status, and the children it has forked that have not exited, by pid."""

    def __init__(self, server: WarmServer) -> None:
        self.server = server
        self.current: str | None = None
        self.children: dict[int, str] = {}


class WarmExecutor:
    """Starts workers on warm servers from the scheduler's own thread: a request goes out when an
    attempt starts, and wait() reads the servers' replies as they come (the pid, the status the
    child says, its exit), so a run costs the orchestrator a message out, three in and no
    thread."""

    broken: str | None = None

    def __init__(self, pool: WarmPool) -> None:
        self.slots = pool.slots
        self.pool = pool
        self._serving: dict[int, _Serving] = {}  # by the server's channel, while it has a run
        self._reports: list[Event] = []  # known without waiting on a server
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        os.set_blocking(self._wake_write, False)
        self._poll = select.poll()
        self._poll.register(self._wake_read, select.POLLIN)

    def start(self, launch: Launch) -> None:
        try:
            with open_logs(launch.folder) as (out, err):
                server = self.pool.send(list(launch.args), out, err)
        except ServerLost as lost:
            self._reports.append(Lost(launch.key, str(lost)))
            return None
        serving = self._serving.get(server.fileno())
        if serving is None:
            serving = self._serving[server.fileno()] = _Serving(server)
            self._poll.register(server.fileno(), select.POLLIN)
        serving.current = launch.key
        return None

    def kill(self, keys: Collection[str]) -> None:
        pass  # a child is killed by its pid, which its server says as soon as it has forked

    def wait(self, timeout: float | None) -> list[Event]:
        if not self._reports:
            ready = self._poll.poll(None if timeout is None else math.ceil(timeout * 1000))
            for fd, _ in ready:
                if fd == self._wake_read:
                    _drain(self._wake_read)
                else:
                    self._reply(fd)
        reports, self._reports = self._reports, []
        return reports

    def _reply(self, fd: int) -> None:
        serving = self._serving[fd]
        try:
            message = serving.server.receive(None)
        except ServerLost as lost:
            del self._serving[fd]
            self._poll.unregister(fd)
            self.pool.discard(serving.server)
            for key in dict.fromkeys([*serving.children.values(), *filter(None, [serving.current])]):
                self._reports.append(Lost(key, str(lost)))
            return
        assert message is not None
        word, pid, status = _said(message)
        if word == b"pid":
            assert serving.current is not None
            serving.children[pid] = serving.current
            self._reports.append(Launched(serving.current, pid))
            return
        key = serving.children[pid] if word == b"done" else serving.children.pop(pid)
        if serving.current == key:  # the server is free for the next run
            serving.current = None
            self.pool.idle.put(serving.server)
        self._reports.append(Finished(key, status) if word == b"done" else Exited(key, status))
        if serving.current is None and not serving.children:
            del self._serving[fd]
            self._poll.unregister(fd)

    def wake(self) -> None:
        try:
            os.write(self._wake_write, b"x")  # from a signal handler: never blocks
        except BlockingIOError:
            pass  # a wake-up is pending already

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
                  log_path: str, kind: str = "project") -> WarmExecutor:
    return WarmExecutor(WarmPool(slots, environment, preload, log_path, kind))

