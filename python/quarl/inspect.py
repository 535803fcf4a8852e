"""python -m quarl.inspect: print the assets that Python modules declare, as one JSON report.

The orchestrator runs this in a fresh process, because inspecting imports the user's modules
and runs their top-level code.
"""

# Absolute imports only: this module is quarl.inspect, and the standard library's `inspect`
# must stay what `import inspect` means everywhere else.
import argparse
import contextlib
import importlib
import os
import pkgutil
import stat
import sys
from collections.abc import Iterable, Iterator, Sequence
from types import ModuleType

from _quarl import _inspect_modules_compact, inspect_modules

from quarl._cli import report_error
from quarl.contract import inspection_document
from quarl.values import error_text
from quarl.writer import Signalled, write_all, write_whole

PROG = "python -m quarl.inspect"


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
    # For quarl run: the inspection's record (quarl.contract): the modules it imported, with their
    # files, in the order they were imported (the warm servers import them ahead of the runs), and
    # the modules it skipped, with their errors.
    parser.add_argument("--record", metavar="FILE", help=argparse.SUPPRESS)
    parser.add_argument("--recursive", action="store_true",
                        help="follow each MODULE that is a package by all its submodules "
                        "(a submodule named __main__ is left out: it is a script)")
    # quarl run's own: adds serializer_problem to the record of each asset whose serializer=
    # cannot be used here (unknown, its library missing, MODULE:ATTRIBUTE naming no serializer).
    parser.add_argument("--check-serializers", action="store_true", help=argparse.SUPPRESS)
    # quarl run's own: adds to each asset's record what the package's decorators ask of it
    # (quarl.batch's "batch").
    parser.add_argument("--package-options", action="store_true", help=argparse.SUPPRESS)
    return parser


def _add_package_options(text: str) -> str:
    """The report with what quarl.batch() asked for in the records of the assets it decorates;
    rewritten only when some asset is decorated so."""
    batching = sys.modules.get("quarl.batching")
    if batching is None or not batching.declared:
        return text
    import json

    report = json.loads(text)
    batching.annotate(report.get("assets", []))
    return json.dumps(report, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


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


def _write_in_place(path: str, data: bytes, regular: bool) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        if regular:
            # Room first, so that a full disk fails before the old report is touched.
            os.posix_fallocate(fd, 0, len(data))
            write_all(fd, data)
            os.ftruncate(fd, len(data))
        else:
            write_all(fd, data)
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
            write_whole(os.path.realpath(path), data)
            return
        regular = stat.S_ISREG(status.st_mode)
        # -o /dev/stdout with the output sent to a log: the report goes on in the log, as it
        # would have without -o, rather than replacing it.
        if regular and (stream := _standard_stream(status)) is not None:
            write_all(stream, data)
        # realpath cannot follow every link (/proc/self/fd/N of a deleted file): it must lead
        # to the very file that PATH does.
        elif regular and status.st_nlink == 1 and _same_file(target := os.path.realpath(path),
                                                              status):
            write_whole(target, data, stat.S_IMODE(status.st_mode))
        else:
            _write_in_place(path, data, regular)
    except OSError as exc:
        # Name the file the user asked for, not the temporary one.
        raise type(exc)(exc.errno, exc.strerror, path) from None


@contextlib.contextmanager
def _skips_recorded(skipped: list[tuple[str, str]]) -> Iterator[None]:
    """Within the block, each module that the inspection fails to import (and skips, with its line
    on standard error) is added to SKIPPED with its error. The inspection imports each module by
    calling importlib.import_module, looked up when it is called: this wraps it, and notes only the
    inspection's own calls, not those of the modules' code."""
    original = importlib.import_module
    depth = 0

    def import_module(name: str, package: str | None = None) -> ModuleType:
        nonlocal depth
        depth += 1
        try:
            return original(name, package)
        except BaseException as error:
            if depth == 1:
                skipped.append((name, error_text(error)))
            raise
        finally:
            depth -= 1

    importlib.import_module = import_module
    try:
        yield
    finally:
        importlib.import_module = original


def _write_record(path: str, before: set[str], skipped: list[tuple[str, str]]) -> None:
    imported = [(name, getattr(module, "__file__", None)) for name, module in list(sys.modules.items())
                if name not in before and name != "__main__"]
    write_whole(path, inspection_document(imported, skipped))


def main(argv: Sequence[str] | None = None) -> int:
    before = set(sys.modules)
    args = _parser().parse_args(argv)
    skipped: list[tuple[str, str]] = []
    try:
        # Bytes, not text: the report is UTF-8 JSON whatever the locale of this process says.
        modules = _with_submodules(args.modules) if args.recursive else args.modules
        inspect_call = _inspect_modules_compact if args.compact else inspect_modules
        if args.record is None:
            report = inspect_call(modules)
        else:
            with _skips_recorded(skipped):
                report = inspect_call(modules)
        if args.check_serializers:
            report = _check_serializers(report)
        if args.package_options:
            report = _add_package_options(report)
        if args.compact:
            # The orchestrator's fingerprints also cover the project code each function refers
            # to, which only this process, where the modules are imported, can follow.
            from quarl.references import add_references

            report = add_references(report)
        data = (report + "\n").encode("utf-8")
        if args.output is None:
            if sys.stdout is not None:
                sys.stdout.flush()
            write_all(1, data)
        else:
            _write_file(args.output, data)
        if args.record is not None:
            _write_record(args.record, before, skipped)
    except Signalled as signalled:
        # The temporary file is gone: now the signal ends the process as it would have.
        return signalled.resend()
    except Exception as exc:
        return report_error(PROG, exc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
