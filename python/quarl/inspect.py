"""python -m quarl.inspect: print the assets that Python modules declare, as one JSON report.

The orchestrator runs this in a fresh process, because inspecting imports the user's modules
and runs their top-level code.
"""

# Absolute imports only: this module is quarl.inspect, and the standard library's `inspect`
# must stay what `import inspect` means everywhere else.
import argparse
import os
import sys
import tempfile
from collections.abc import Sequence

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
    return parser


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
        data = (inspect_modules(args.modules) + "\n").encode("utf-8")
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
