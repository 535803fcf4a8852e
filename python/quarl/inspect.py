"""python -m quarl.inspect: print the assets that Python modules declare, as one JSON report.

The orchestrator runs this in a fresh process, because inspecting imports the user's modules
and runs their top-level code.
"""

# Absolute imports only: this module is quarl.inspect, and the standard library's `inspect`
# must stay what `import inspect` means everywhere else.
import argparse
import contextlib
import errno
import importlib
import os
import pkgutil
import signal
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import ModuleType
from typing import TypeVar

from _quarl import _inspect_modules_compact, inspect_modules

from quarl._cli import report_error

PROG = "python -m quarl.inspect"

_T = TypeVar("_T")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Import each MODULE, find its @asset functions and print one JSON report "
        "that describes them (identity, source, file, return type, decorator metadata). "
        "A module that fails to import is skipped with a line on standard error.",
        epilog="Exit status: 0 when the report was written (also when modules were skipped), "
        "1 when inspecting failed otherwise, 2 on a usage error.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE",
                        help="dotted name of a module to inspect, importable from sys.path")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write the report to FILE instead of standard output (a regular "
                        "file is replaced whole, at the end of any symbolic links, and keeps "
                        "its mode)")
    parser.add_argument("--compact", action="store_true",
                        help="leave each module's source out of the records and name the module "
                        "that defines each asset's function instead (function_module); a record "
                        "whose function refers to project code (helpers, classes, constants) "
                        "carries their digest (references_sha256)")
    # For quarl run: the modules that the inspection imported, with their files, as JSON [[name,
    # file], ...] in the order they were imported; the warm servers import them ahead of the runs.
    parser.add_argument("--imported", metavar="FILE", help=argparse.SUPPRESS)
    parser.add_argument("--recursive", action="store_true",
                        help="follow each MODULE that is a package by all its submodules "
                        "(a submodule named __main__ is left out: it is a script)")
    # quarl run's own: adds serializer_problem to the record of each asset whose serializer=
    # cannot be used here (unknown, its library missing, MODULE:ATTRIBUTE naming no serializer).
    parser.add_argument("--check-serializers", action="store_true", help=argparse.SUPPRESS)
    return parser


def _check_serializers(text: str) -> str:
    """The report with each asset's serializer problem added to its record. What serializer=
    names is imported here, where user code runs anyway; the report is rewritten only when
    some asset names a serializer."""
    if '"serializer":"' not in text:
        return text
    import json

    from quarl.values import check

    report = json.loads(text)
    problems: dict[str, str | None] = {}
    for record in report.get("assets", []):
        spec = record.get("decorator_metadata", {}).get("serializer")
        if spec is None:
            continue
        if spec not in problems:
            problems[spec] = check(spec)
        if problems[spec] is not None:
            record["serializer_problem"] = problems[spec]
    return json.dumps(report, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def _imported(name: str) -> ModuleType | None:
    """The module, or None when importing it fails: inspect_modules then tries it again and
    reports it with the usual skip line."""
    try:
        return importlib.import_module(name)
    except KeyboardInterrupt:
        raise
    except BaseException:
        return None


def _submodules(path: Iterable[str], prefix: str) -> Iterator[str]:
    """The names that pkgutil.walk_packages(path, prefix) yields, in its order, without any
    __main__ and without stopping at a subpackage that fails to import, whatever it raises."""
    seen: set[str] = set()
    for info in pkgutil.iter_modules(path, prefix):
        if info.name.rpartition(".")[2] == "__main__":
            continue  # a script: importing it would run it
        yield info.name
        if info.ispkg and (package := _imported(info.name)) is not None:
            # As walk_packages does: a folder already walked at this level is not walked again.
            subpath = []
            for folder in getattr(package, "__path__", None) or []:
                if folder not in seen:
                    seen.add(folder)
                    subpath.append(folder)
            yield from _submodules(subpath, info.name + ".")


def _with_submodules(names: Sequence[str]) -> list[str]:
    """Each name, followed by all its submodules when it names a package."""
    expanded = []
    for name in names:
        expanded.append(name)
        module = _imported(name)
        path = getattr(module, "__path__", None)
        if path is not None:
            expanded.extend(_submodules(path, name + "."))
    return expanded


def _write_all(fd: int, data: bytes) -> None:
    """Writes every byte of DATA or raises. A write may take fewer bytes than it is given (a pipe
    whose reader went away, a full disk); the next one then tells why. Not sys.stdout.buffer:
    unbuffered (python -u, PYTHONUNBUFFERED) that is the raw file, whose write tells of such a
    short write only by its count."""
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        if written == 0:
            raise OSError(errno.EIO, "nothing could be written")
        view = view[written:]


class _Signalled(BaseException):
    """SIGTERM or SIGHUP arrived while a temporary file existed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_signalled(signum: int, frame: object) -> None:
    raise _Signalled(signum)


@contextlib.contextmanager
def _signals_unwind() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP unwind through its cleanup (as SIGINT does, being
    KeyboardInterrupt) instead of ending the process on the spot. A signal that the process
    ignores stays ignored."""
    previous = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            previous[signum] = signal.signal(signum, _raise_signalled)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _fresh_name(make: Callable[[str], _T]) -> tuple[str, _T]:
    """Calls MAKE with new temporary names until one is free."""
    for _ in range(100):
        name = f".quarl-report-{os.urandom(6).hex()}"
        try:
            return name, make(name)
        except FileExistsError:
            pass
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file")


def _replace(target: str, data: bytes, mode: int | None) -> None:
    """Writes DATA to a new file beside TARGET and renames it over TARGET, so that a reader sees
    the old report or the new one. The new file has no name (O_TMPFILE) until it is complete: the
    process may die at any point, even by SIGKILL, and leave nothing behind. Where the filesystem
    cannot make such a file, it is named from the start and removed on every way out but SIGKILL.
    MODE, an existing file's, is given to the new one; otherwise it gets what open() would give."""
    folder, name = os.path.split(target)
    dir_fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        with _signals_unwind():
            temporary = None
            try:
                try:
                    fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666,
                                 dir_fd=dir_fd)
                except OSError as exc:
                    if exc.errno not in (errno.EOPNOTSUPP, errno.EISDIR):
                        raise
                    temporary, fd = _fresh_name(lambda n: os.open(
                        n, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666,
                        dir_fd=dir_fd))
                try:
                    if mode is not None:
                        os.fchmod(fd, mode)
                    _write_all(fd, data)
                    if temporary is None:
                        # linkat through /proc follows the link to the open file (os.link
                        # takes that path only with a dir_fd).
                        temporary, _ = _fresh_name(lambda n: os.link(
                            f"/proc/self/fd/{fd}", n, dst_dir_fd=dir_fd))
                finally:
                    os.close(fd)
                os.replace(temporary, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
            except BaseException:
                if temporary is not None:
                    with contextlib.suppress(FileNotFoundError):  # renamed already
                        os.unlink(temporary, dir_fd=dir_fd)
                raise
    finally:
        os.close(dir_fd)


def _write_in_place(path: str, data: bytes, regular: bool) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        if regular:
            # Room first, so that a full disk fails before the old report is touched.
            os.posix_fallocate(fd, 0, len(data))
            _write_all(fd, data)
            os.ftruncate(fd, len(data))
        else:
            _write_all(fd, data)
    finally:
        os.close(fd)


def _same_file(path: str, status: os.stat_result) -> bool:
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return False
    return (found.st_dev, found.st_ino) == (status.st_dev, status.st_ino)


def _standard_stream(status: os.stat_result) -> int | None:
    """1 or 2 when STATUS is the very file of this process's standard output or error."""
    for fd in (1, 2):
        with contextlib.suppress(OSError):  # a stream that is closed is not that file
            if os.path.samestat(status, os.fstat(fd)):
                return fd
    return None


def _write_file(path: str, data: bytes) -> None:
    """Writes the report where PATH leads. A regular file is replaced whole, through symbolic
    links, and keeps its mode. A device or a pipe is written as it is; so is a file with several
    hard links, which replacing would split from its other names, and this process's own standard
    output or error."""
    try:
        try:
            status = os.stat(path)
        except FileNotFoundError:
            _replace(os.path.realpath(path), data, None)
            return
        regular = stat.S_ISREG(status.st_mode)
        # -o /dev/stdout with the output sent to a log: the report goes on in the log, as it
        # would have without -o, rather than replacing it.
        if regular and (stream := _standard_stream(status)) is not None:
            _write_all(stream, data)
        # realpath cannot follow every link (/proc/self/fd/N of a deleted file): it must lead
        # to the very file that PATH does.
        elif regular and status.st_nlink == 1 and _same_file(target := os.path.realpath(path),
                                                              status):
            _replace(target, data, stat.S_IMODE(status.st_mode))
        else:
            _write_in_place(path, data, regular)
    except OSError as exc:
        # Name the file the user asked for, not the temporary one.
        raise type(exc)(exc.errno, exc.strerror, path) from None


def _write_imported(path: str, before: set[str]) -> None:
    imported = [[name, getattr(module, "__file__", None)] for name, module in list(sys.modules.items())
                if name not in before and name != "__main__"]
    import json

    with open(path, "w", encoding="utf-8") as file:
        json.dump(imported, file)


def main(argv: Sequence[str] | None = None) -> int:
    before = set(sys.modules)
    args = _parser().parse_args(argv)
    try:
        # Bytes, not text: the report is UTF-8 JSON whatever the locale of this process says.
        modules = _with_submodules(args.modules) if args.recursive else args.modules
        report = (_inspect_modules_compact if args.compact else inspect_modules)(modules)
        if args.check_serializers:
            report = _check_serializers(report)
        if args.compact:
            # The orchestrator's fingerprints also cover the project code each function refers
            # to, which only this process, where the modules are imported, can follow.
            from quarl.references import add_references

            report = add_references(report)
        data = (report + "\n").encode("utf-8")
        if args.output is None:
            if sys.stdout is not None:
                sys.stdout.flush()
            _write_all(1, data)
        else:
            _write_file(args.output, data)
        if args.imported is not None:
            _write_imported(args.imported, before)
    except _Signalled as signalled:
        # The temporary file is gone: now the signal ends the process as it would have.
        signal.signal(signalled.signum, signal.SIG_DFL)
        os.kill(os.getpid(), signalled.signum)
        return 128 + signalled.signum
    except Exception as exc:
        return report_error(PROG, exc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
