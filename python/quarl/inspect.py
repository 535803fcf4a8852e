"""python -m quarl.inspect: print the assets that Python modules declare, as one JSON report.

The orchestrator runs this in a fresh process, because inspecting imports the user's modules
and runs their top-level code.
"""

# Absolute imports only: this module is quarl.inspect, and the standard library's `inspect`
# must stay what `import inspect` means everywhere else.
import argparse
import importlib
import os
import pkgutil
import sys
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from types import ModuleType

from _quarl import inspect_modules

from quarl._cli import report_error

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
                        help="write the report to FILE instead of standard output")
    parser.add_argument("--compact", action="store_true",
                        help="leave each module's source out of the records and name the module "
                        "that defines each asset's function instead (function_module)")
    parser.add_argument("--recursive", action="store_true",
                        help="follow each MODULE that is a package by all its submodules "
                        "(a submodule named __main__ is left out: it is a script)")
    return parser


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


def _write_file(path: str, data: bytes) -> None:
    """Replaces FILE whole: a reader sees the old report or the new one, never part of one."""
    try:
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".quarl-report-")
        try:
            with os.fdopen(fd, "wb") as file:
                file.write(data)
            # mkstemp makes the file private; give it the mode that a plain open() would.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as exc:
        # Name the file the user asked for, not the temporary one.
        raise type(exc)(exc.errno, exc.strerror, path) from None


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        # Bytes, not text: the report is UTF-8 JSON whatever the locale of this process says.
        modules = _with_submodules(args.modules) if args.recursive else args.modules
        data = (inspect_modules(modules, compact=args.compact) + "\n").encode("utf-8")
        if args.output is None:
            sys.stdout.flush()
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            _write_file(args.output, data)
    except Exception as exc:
        return report_error(PROG, exc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
