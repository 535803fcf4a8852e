"""The one way the package writes a file that others read: whole, or not at all.

A new file is made beside the one it replaces and renamed over it once it is complete, so that a
reader sees the old file or the new one, and a process that dies at any instant leaves the old one
readable. Bytes go into a file without a name (O_TMPFILE) that gets one only when complete: even
SIGKILL leaves nothing behind. A writer that needs a path (a library that opens the file itself)
gets a named temporary one, removed on every way out but SIGKILL; a temporary name starts with
".quarl-tmp-" and keeps the final name's suffix, which some writers look at.

Within a write, SIGTERM and SIGHUP unwind through the cleanup (as SIGINT does, being
KeyboardInterrupt) instead of ending the process on the spot; the caller that catches `Signalled`
ends the process by that signal afterwards (`Signalled.resend`).
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TypeVar

_T = TypeVar("_T")

TEMPORARY_PREFIX = ".quarl-tmp-"


class Signalled(BaseException):
    """SIGTERM or SIGHUP arrived while a temporary file existed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    def resend(self) -> int:
        """Ends this process by the signal, as it would have ended without the write; returns the
        exit status a shell would show, should the signal be ignored by now."""
        signal.signal(self.signum, signal.SIG_DFL)
        os.kill(os.getpid(), self.signum)
        return 128 + self.signum


def _raise_signalled(signum: int, frame: object) -> None:
    raise Signalled(signum)


@contextlib.contextmanager
def signals_unwind() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Signalled. A signal that the process ignores or
    handles itself is left alone, and so is every signal outside the main thread, where Python
    cannot set a handler."""
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) == signal.SIG_DFL:
                previous[signum] = signal.signal(signum, _raise_signalled)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def write_all(fd: int, data: bytes) -> None:
    """Writes every byte of DATA or raises. A write may take fewer bytes than it is given (a pipe
    whose reader went away, a full disk); the next one then tells why."""
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        if written == 0:
            raise OSError(errno.EIO, "nothing could be written")
        view = view[written:]


def _fresh_name(name: str, make: Callable[[str], _T]) -> tuple[str, _T]:
    """Calls MAKE with new temporary names for NAME until one is free."""
    for _ in range(100):
        temporary = f"{TEMPORARY_PREFIX}{os.urandom(6).hex()}-{name}"[:255]
        try:
            return temporary, make(temporary)
        except FileExistsError:
            pass
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file")


def write_whole(path: str | os.PathLike[str], content: bytes | Callable[[Path], object],
                mode: int | None = None) -> None:
    """Replaces the file PATH (or makes it) with CONTENT: bytes, or a function that writes the
    file at the path it is given. MODE, when given, is the new file's mode; otherwise it gets
    what open() would give. Errors name PATH, not the temporary file."""
    target = os.fspath(path)
    folder, name = os.path.split(target)
    try:
        dir_fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            with signals_unwind():
                _write(dir_fd, folder, name, content, mode)
        finally:
            os.close(dir_fd)
    except OSError as error:
        if error.filename is not None and os.path.basename(str(error.filename)).startswith(TEMPORARY_PREFIX):
            raise type(error)(error.errno, error.strerror, target) from None
        raise


def _write(dir_fd: int, folder: str, name: str, content: bytes | Callable[[Path], object],
           mode: int | None) -> None:
    temporary = None
    try:
        if isinstance(content, bytes):
            try:
                fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666, dir_fd=dir_fd)
            except OSError as error:
                if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
                temporary, fd = _fresh_name(name, lambda n: os.open(
                    n, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666, dir_fd=dir_fd))
            try:
                if mode is not None:
                    os.fchmod(fd, mode)
                write_all(fd, content)
                if temporary is None:
                    # linkat through /proc follows the link to the open file (os.link takes
                    # that path only with a dir_fd).
                    temporary, _ = _fresh_name(name, lambda n: os.link(
                        f"/proc/self/fd/{fd}", n, dst_dir_fd=dir_fd))
            finally:
                os.close(fd)
        else:
            # Not made here: the writer makes it, a file or, for some formats, a folder.
            temporary = f"{TEMPORARY_PREFIX}{os.urandom(6).hex()}-{name}"[:255]
            content(Path(folder or ".", temporary))
            if mode is not None:
                os.chmod(temporary, mode, dir_fd=dir_fd)
        os.replace(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except BaseException:
        if temporary is not None:
            _remove(dir_fd, folder, temporary)
        raise


def _remove(dir_fd: int, folder: str, temporary: str) -> None:
    try:
        os.unlink(temporary, dir_fd=dir_fd)
    except FileNotFoundError:  # renamed already, or never made
        pass
    except IsADirectoryError:
        import shutil

        shutil.rmtree(os.path.join(folder or ".", temporary), ignore_errors=True)
