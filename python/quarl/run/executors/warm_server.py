"""The warm server: `python -m quarl.run.executors.warm_server FD [MODULE...]`.

It imports what every run needs once, then forks one child per request that arrives on the
socket FD (a datagram of the worker's arguments, NUL-separated, with the attempt's two log files
as passed descriptors), answers with the child's pid, and then with its exit status. It starts
no threads, so it is always safe to fork, and it imports as little as it can: every page it
holds is one that each fork maps and each child may copy.
"""

from __future__ import annotations

import os
import select
import socket
import sys
from collections.abc import Callable, Sequence

from quarl.run.executors.processes import dies_with_parent, kill_group

_MESSAGE = 65536


def serve(channel: socket.socket, preload: Sequence[str]) -> None:
    import importlib
    import tempfile

    from quarl import worker

    # A run of a trivial function here, so that every child finds done what a first run does
    # lazily: the modules materialize_asset imports, argparse's and json's set-up, caches.
    with tempfile.TemporaryDirectory() as folder:
        worker.main(["quarl.run.executors.warm_server", "_trivial", folder])
    die_with_server = dies_with_parent()
    for name in preload:
        try:
            importlib.import_module(name)
        except BaseException:  # the child's own import reports it, as a failed run
            pass
    # What the imports printed belongs to the server's log: a child would inherit it unwritten.
    sys.stdout.flush()
    sys.stderr.flush()
    null = os.open(os.devnull, os.O_RDONLY)  # each child's standard input
    channel.send(b"ready")
    while True:
        try:
            message, fds, _, _ = socket.recv_fds(channel, _MESSAGE, 2)
        except ConnectionResetError:
            return
        if not message:
            return  # the orchestrator closed its end
        pid = os.fork()
        if pid == 0:
            _child(channel, message, fds, null, die_with_server)
        for fd in fds:
            os.close(fd)
        try:
            # The child makes itself a group leader; doing it here too means the group exists
            # by the time the orchestrator learns the pid and may kill it.
            os.setpgid(pid, pid)
        except OSError:
            pass  # the child got there first, or is gone already
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
                kill_group(pid)
                os.waitpid(pid, 0)
                return None
    finally:
        os.close(child)


def _trivial() -> None:
    pass


def _child(channel: socket.socket, message: bytes, fds: list[int], null: int,
           die_with_server: Callable[[], None] | None) -> None:
    """The run: the worker's arguments are the message's NUL-separated fields; its standard
    output and error the two descriptors that came with it. Never returns."""
    code = 1
    try:
        channel.close()
        os.setpgid(0, 0)
        if die_with_server is not None:
            die_with_server()
        os.dup2(null, 0)
        os.dup2(fds[0], 1)
        os.dup2(fds[1], 2)
        for fd in (null, *fds):
            os.close(fd)
        from quarl import worker

        argv = [os.fsdecode(field) for field in message.split(b"\0")]
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


if __name__ == "__main__":
    serve(socket.socket(fileno=int(sys.argv[1])), sys.argv[2:])
