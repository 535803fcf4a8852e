"""The warm server: `python -m quarl.run.executors.warm_server FD project|libraries FOLDERS
[MODULE...]` (FOLDERS: the project's folders, os.pathsep-separated).

It imports what every run needs once, then forks one child per request that arrives on the
socket FD (a datagram of the worker's arguments, NUL-separated, with the attempt's two log files
as passed descriptors) and answers "pid PID" once it has forked it. A child says its status on a
pipe of its own just before it exits: the server passes that on ("done PID STATUS") and may then
be asked for the next run while the kernel still tears the last child down. Once a child has
exited and what it left in its process group is killed, the server says "exit PID STATUS", the
only word on which a run is decided. It starts no threads of its own. The threads that libraries start in native code (OpenBLAS's pool,
jemalloc's background thread) are idle while it forks, and their libraries prepare for a fork:
Python's warning that forking a multi-threaded process may deadlock is not said at each fork
(README, "Warm workers").

It imports the MODULEs one at a time, each checked: a module whose import leaves a thread running
or a descriptor open (a database connection, a socket) must not be shared by forked children.
The server then says so ("unsafe NAME\0WHY") and exits, to be started again without it; a
project's module whose import fails is said ("note NAME\0WHY") and left to the runs, whose own
import reports it.

It also learns what its runs import: a library module that a run imported (pandas imports
pieces of itself and of pyarrow at their first use, a function may import inside its body) is
imported by the server after that run, so that the runs after it find it imported. Each such
module is first imported in a throwaway child of the server and checked as above; one that fails
or that forked children must not share stays with the runs. The project's own modules are never
learned: with --no-preload, they are imported by each run.
"""

from __future__ import annotations

import os
import select
import socket
import sys
import time
import warnings
from collections.abc import Callable, Sequence

from quarl.project import is_project_file
from quarl.run.executors.processes import dies_with_parent, ended, kill_group, kill_leftovers
from quarl.writer import write_all

_MESSAGE = 65536
_IMPORTS_MAX = 60000  # what a child says of its imports: a pipe takes 64 KiB without blocking
_PROBE_TIMEOUT = 60.0
# What os.fork() warns in a process with more than one thread (Python 3.12 and later).
_THREADED_FORK = r"This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks in the child\."


def serve(channel: socket.socket, kind: str, folders: Sequence[str], preload: Sequence[str]) -> None:
    import tempfile

    from quarl import worker

    # A run of a trivial function here, so that every child finds done what a first run does
    # lazily: the modules materialize_asset imports, argparse's and json's set-up, caches.
    with tempfile.TemporaryDirectory() as folder:
        worker.main(["quarl.run.executors.warm_server", "_trivial", folder])
    die_with_server = dies_with_parent()
    for name in preload:
        unsafe, failed = _import_alone(name)
        if unsafe is not None:
            channel.send(b"unsafe %s\0%s" % (name.encode(), unsafe.encode()))
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(3)
        if failed is not None and kind == "project":
            channel.send(b"note %s\0%s" % (name.encode(), failed.encode()))
    # What the imports printed belongs to the server's log: a child would inherit it unwritten.
    sys.stdout.flush()
    sys.stderr.flush()
    null = os.open(os.devnull, os.O_RDONLY)  # each child's standard input
    learning = _Learning(channel, folders, die_with_server)
    channel.send(b"ready")
    children: dict[int, _Child] = {}
    try:
        while True:
            watched = [channel.fileno()]
            for child in children.values():
                watched += [fd for fd in (child.said, child.pidfd) if fd is not None]
            ready = select.select(watched, [], [])[0]
            for child in list(children.values()):
                if child.said in ready:
                    child.hear(channel, learning)
                if child.pidfd in ready:
                    del children[child.pid]
                    channel.send(b"exit %d %d" % (child.pid, child.reap(channel, learning)))
            if channel.fileno() not in ready:
                continue
            try:
                message, fds, _, _ = socket.recv_fds(channel, _MESSAGE, 2)
            except ConnectionResetError:
                message, fds = b"", []
            if not message:
                return  # the orchestrator closed its end
            child = _start(channel, message, fds, null, die_with_server, learning, children)
            if child.pidfd is None:  # no pidfd here: each run ends on its own, one at a time
                channel.send(b"exit %d %d" % (child.pid, child.reap(channel, learning)))
            else:
                children[child.pid] = child
    finally:
        # No run outlives the process that would publish it: when the orchestrator has gone
        # away (or this server fails), each child goes, with what it left in its group.
        for child in children.values():
            kill_group(child.pid)
            os.waitpid(child.pid, 0)


class _Child:
    """A run's process, forked and not yet reaped. It says its status on `said` just before it
    exits, with the modules it imported; `pidfd` tells its exit."""

    def __init__(self, pid: int, said: int) -> None:
        self.pid = pid
        self.said: int | None = said
        try:
            self.pidfd: int | None = os.pidfd_open(pid)
        except (AttributeError, OSError):
            self.pidfd = None
        self.heard = b""

    def hear(self, channel: socket.socket, learning: _Learning) -> None:
        """Reads what the child says. Once it has said all ("STATUS SIZE\n" and SIZE bytes of
        imports), says "done" for it and learns its imports. A child that dies first has said
        nothing whole: its exit alone frees its server."""
        assert self.said is not None
        try:
            while chunk := os.read(self.said, 1 << 17):
                self.heard += chunk
        except BlockingIOError:
            pass
        else:
            os.close(self.said)  # the end of the pipe: the child has exited
            self.said = None
        header, newline, imports = self.heard.partition(b"\n")
        if not newline or len(imports) < int(header.split()[1]):
            return  # more to come, or nothing whole ever
        channel.send(b"done %d %s" % (self.pid, header.split()[0]))
        if self.said is not None:
            os.close(self.said)
            self.said = None
        self.heard = b""
        learning.learn(imports)

    def reap(self, channel: socket.socket, learning: _Learning) -> int:
        """The child's exit status, once it has exited and what it left running in its group is
        killed."""
        if self.pidfd is None:
            ended(self.pid)  # blocks
        else:
            os.close(self.pidfd)
            self.pidfd = None
        if self.said is not None:  # what it said before it exited, if it said it whole
            self.hear(channel, learning)
        kill_leftovers(self.pid)  # while its zombie holds the group's id
        return os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])


def _start(channel: socket.socket, message: bytes, fds: list[int], null: int,
           die_with_server: Callable[[], None] | None, learning: _Learning,
           children: dict[int, _Child]) -> _Child:
    """Forks the run's child and says its pid."""
    said, says = os.pipe()
    pid = _fork()
    if pid == 0:
        os.close(said)
        for other in children.values():  # the other runs' ends are the server's alone
            for fd in (other.said, other.pidfd):
                if fd is not None:
                    os.close(fd)
        _child(channel, message, fds, null, die_with_server, learning, says)
    os.close(says)
    os.set_blocking(said, False)
    for fd in fds:
        os.close(fd)
    try:
        # The child makes itself a group leader; doing it here too means the group exists by the
        # time the orchestrator learns the pid and may kill it.
        os.setpgid(pid, pid)
    except OSError:
        pass  # the child got there first, or is gone already
    child = _Child(pid, said)
    channel.send(b"pid %d" % pid)
    return child


def _fork() -> int:
    """os.fork(), without the warning that the process has threads: the modules that a server
    holds have been checked to leave no Python thread running, and the native threads left are
    the libraries' idle pools. Only that warning, and only here: a run's child (which leaves the
    filter as it returns) still hears it about threads of its own."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", _THREADED_FORK, DeprecationWarning)
        return os.fork()


def _import_alone(name: str) -> tuple[str | None, str | None]:
    """Imports a module; returns why forked children must not share what its import left (a
    thread, a descriptor), and why the import failed."""
    import importlib

    before = _descriptors()
    failed = None
    try:
        importlib.import_module(name)
    except BaseException as error:
        failed = f"its import fails: {type(error).__name__}: {error}"
    threading = sys.modules.get("threading")
    if threading is not None:
        main = threading.main_thread()
        running = [t.name for t in threading.enumerate() if t is not main and t.is_alive()]
        if running:
            return f"its import leaves a thread running ({', '.join(running)})", failed
    kept = [f"{kind} (descriptor {fd})" for fd, kind in _descriptors().items() if before.get(fd) != kind]
    if kept:
        return f"its import keeps {', '.join(kept)} open", failed
    return None, failed


class _Learning:
    """What the server learns from its runs' imports (see the module's docstring). A child says
    the modules it imported, and their files, NUL-separated, with its status just before it
    exits; the server imports them once it has said the child's status."""

    def __init__(self, channel: socket.socket, folders: Sequence[str],
                 die_with_server: Callable[[], None] | None) -> None:
        self.channel, self.folders, self.die_with_server = channel, folders, die_with_server
        self.known = frozenset(sys.modules)  # what every child finds imported
        self.refused: set[str] = set()  # the project's, or failed or unsafe in a probe: left to the runs

    def say(self) -> bytes:
        """In a child, at its end: the modules it imported, as much as a pipe takes at once."""
        said, size = [], 0
        for name, module in list(sys.modules.items()):
            if name in self.known or name in self.refused or "\0" in name:
                continue
            file = getattr(module, "__file__", None)
            item = b"%s\0%s" % (os.fsencode(name), os.fsencode(file) if isinstance(file, str) else b"")
            size += len(item) + 1
            if size > _IMPORTS_MAX:
                break
            said.append(item)
        return b"\0".join(said)

    def learn(self, imports: bytes) -> None:
        """Imports what a child imported and the server has not, that is no project module and
        that a probe found safe."""
        if not imports:
            return  # the child imported nothing new
        fields = imports.split(b"\0")
        wanted = []
        for name, file in zip(map(os.fsdecode, fields[0::2]), map(os.fsdecode, fields[1::2])):
            if name in sys.modules or name in self.refused or name.startswith("__"):
                continue
            if (not file and name not in sys.builtin_module_names) or is_project_file(file or None, self.folders):
                self.refused.add(name)  # a namespace package may be the project's; a project module runs per run
                continue
            wanted.append(name)
        if not wanted:
            return
        try:
            safe, refused = self._probe(wanted)
        except OSError as error:  # no fork now (EAGAIN): the next run says them again
            print(f"quarl: the warm server could not try the modules its runs import: {error}", file=sys.stderr)
            return
        self.refused.update(refused)
        for name in safe:
            unsafe, failed = _import_alone(name)
            if unsafe is not None:  # the probe did not see it: this server must not fork again
                print(f"quarl: the warm server stops: {name}, which a run imported, {unsafe}", file=sys.stderr)
                sys.stderr.flush()
                os._exit(3)
            if failed is not None:
                self.refused.add(name)
        self.known = frozenset(sys.modules)

    def _probe(self, names: list[str]) -> tuple[list[str], list[str]]:
        """Which of NAMES to import and which to leave to the runs: imported one at a time in a
        child of the server, a module whose import fails or leaves what forked children must not
        share is left (and said in the log); the probe stops at the first that leaves something,
        and those after it are tried again when a run next imports them."""
        read, write = os.pipe()
        pid = _fork()
        if pid == 0:
            code = 1
            try:
                os.close(read)
                self.channel.close()
                if self.die_with_server is not None:
                    self.die_with_server()
                for name in names:
                    unsafe, failed = _import_alone(name)
                    os.write(write, (b"+" if unsafe is None and failed is None else b"-") + os.fsencode(name) + b"\0")
                    if unsafe is not None:
                        print(f"quarl: the warm servers leave {name}, which a run imported, to the runs: {unsafe}",
                              file=sys.stderr)
                        break  # what follows would be checked in a process that is no longer clean
                code = 0
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(code)
        os.close(write)
        data, deadline = b"", time.monotonic() + _PROBE_TIMEOUT
        try:
            while select.select([read], [], [], max(0.0, deadline - time.monotonic()))[0]:
                chunk = os.read(read, 65536)
                if not chunk:
                    break
                data += chunk
            else:
                kill_group(pid)  # hung in an import: none is learned
                data = b""
        finally:
            os.close(read)
            status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        said = [os.fsdecode(item) for item in data.split(b"\0") if item] if status == 0 else []
        return [name[1:] for name in said if name[0] == "+"], [name[1:] for name in said if name[0] == "-"]


def _descriptors() -> dict[int, str]:
    """This process's open descriptors and what each is ("a socket", "a pipe", "the file ...")."""
    import stat

    found = {}
    for entry in os.listdir("/proc/self/fd") if os.path.isdir("/proc/self/fd") else ():
        fd = int(entry)
        try:
            mode = os.fstat(fd).st_mode
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue  # the listing's own descriptor, closed since
        if stat.S_ISSOCK(mode):
            found[fd] = f"a socket {target}"
        elif stat.S_ISFIFO(mode):
            found[fd] = f"a pipe {target}"
        else:
            found[fd] = f"the file {target}"
    return found


def _trivial() -> None:
    pass


def _child(channel: socket.socket, message: bytes, fds: list[int], null: int,
           die_with_server: Callable[[], None] | None, learning: _Learning, says: int) -> None:
    """The run: the worker's arguments are the message's NUL-separated fields; its standard
    output and error the two descriptors that came with it. It says its status and what it
    imported on SAYS as it ends. Never returns."""
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
            # The last thing before the exit, so that the server may fork the next run while the
            # kernel tears this process down; the run is decided on its exit, not on this.
            imports = learning.say()
            write_all(says, b"%d %d\n%s" % (code, len(imports), imports))
        finally:
            os._exit(code)


if __name__ == "__main__":
    serve(socket.socket(fileno=int(sys.argv[1])), sys.argv[2], [*filter(None, sys.argv[3].split(os.pathsep))],
          sys.argv[4:])
