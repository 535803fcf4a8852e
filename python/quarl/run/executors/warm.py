"""Warm workers: a server process per job slot, which has imported what every run needs once and
forks one child per attempt.

Each attempt still has a process of its own (a child that crashes, leaks, calls os._exit or
corrupts its interpreter takes nothing else with it); what it no longer pays for is starting an
interpreter and importing quarl. The child leads its own process group, so a timeout kills
whatever it started, as for a fresh worker.

The server talks to the orchestrator over a socket pair of datagrams (one message each way per
step): a request carries the worker's arguments and, as passed descriptors, the attempt's two log
files; the server answers with the child's pid once forked, then with its exit status. The server
starts no threads, so it is always safe to fork. With `preload`, it also imports the project's
modules, whose top-level code then runs once per server instead of once per run.
"""

from __future__ import annotations

import json
import os
import queue
import select
import signal
import socket
import subprocess
import sys
import threading
from collections.abc import Sequence
from typing import IO, Any

from quarl.run.executors.base import ExecutorError, Job, Process, WorkerEnvironment, WorkerLost
from quarl.run.executors.local import ThreadedExecutor

_MESSAGE = 65536


class ServerLost(WorkerLost):
    """The warm server died; the attempt it ran did not finish."""


class WarmStartError(ExecutorError):
    """No warm server would start."""


# --- the server ---------------------------------------------------------------------------------

def serve(channel: socket.socket, preload: Sequence[str]) -> None:
    import importlib
    import tempfile

    from quarl import worker

    # A run of a trivial function here, so that every child finds done what a first run does
    # lazily: the modules materialize_asset imports, argparse's and json's set-up, caches.
    with tempfile.TemporaryDirectory() as folder:
        worker.main([__name__, "_trivial", folder])
    _find_prctl()
    for name in preload:
        try:
            importlib.import_module(name)
        except BaseException:  # the child's own import reports it, as a failed run
            pass
    channel.send(b"ready")
    while True:
        try:
            message, fds, _, _ = socket.recv_fds(channel, _MESSAGE, 2)
        except ConnectionResetError:
            return
        if not message:
            return  # the orchestrator closed its end
        argv = json.loads(message)
        pid = os.fork()
        if pid == 0:
            _child(channel, argv, fds)
        try:
            # The child makes itself a group leader; doing it here too closes the race in which
            # the orchestrator would kill a group that does not exist yet.
            os.setpgid(pid, pid)
        except OSError:
            pass  # the child got there first, or is gone already
        for fd in fds:
            os.close(fd)
        channel.send(b"%d" % pid)
        status = _wait(pid, channel)
        if status is None:
            return
        channel.send(b"%d" % status)


def _wait(pid: int, channel: socket.socket) -> int | None:
    """The child's exit status; None when the orchestrator went away meanwhile (its end of the
    channel closed: nothing is sent during a run), after killing the child's process group, so
    that no run outlives the process that would publish it."""
    try:
        child = os.pidfd_open(pid)
    except (AttributeError, OSError):  # no pidfd here: the run ends on its own
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    try:
        while True:
            ready, _, _ = select.select([child, channel.fileno()], [], [])
            if child in ready:
                return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
            if channel.fileno() in ready and not channel.recv(_MESSAGE):
                for kill in (os.killpg, os.kill):
                    try:
                        kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                os.waitpid(pid, 0)
                return None
    finally:
        os.close(child)


def _trivial() -> None:
    pass


def _child(channel: socket.socket, argv: list[str], fds: list[int]) -> None:
    code = 1
    try:
        channel.close()
        os.setpgid(0, 0)
        _die_with_server()
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(fds[0], 1)
        os.dup2(fds[1], 2)
        for fd in (null, *fds):
            os.close(fd)
        from quarl import worker

        sys.argv = [worker.__file__, *argv]
        try:
            code = worker.main(argv)
        except SystemExit as exit:
            code = exit.code if isinstance(exit.code, int) else (0 if exit.code is None else 1)
    except BaseException:
        import traceback

        traceback.print_exc()
    finally:
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            os._exit(code)


_PR_SET_PDEATHSIG = 1
_prctl: Any = None  # libc's prctl on Linux, found by the server once, before it forks


def _find_prctl() -> None:
    global _prctl
    if sys.platform.startswith("linux"):
        import ctypes

        _prctl = ctypes.CDLL(None, use_errno=True).prctl


def _die_with_server() -> None:
    """The kernel kills the child when its server dies: a run whose server is gone is run
    again, and must not go on writing into its folder meanwhile."""
    if _prctl is not None:
        server = os.getppid()
        _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != server:  # the server died before the line above
            os._exit(1)


# --- the orchestrator's side ----------------------------------------------------------------------

class WarmServer:
    """A server process, started; `ready()` waits until it has imported what it preloads."""

    def __init__(self, environment: WorkerEnvironment, preload: Sequence[str], log: IO[bytes]) -> None:
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.process = subprocess.Popen(
                [environment.python, "-m", "quarl.run.executors.warm", str(theirs.fileno()), *preload],
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


if __name__ == "__main__":
    serve(socket.socket(fileno=int(sys.argv[1])), sys.argv[2:])
