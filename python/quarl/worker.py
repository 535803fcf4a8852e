"""python -m quarl.worker: materialize one asset into a run directory.

The orchestrator starts one worker process per asset run and reads OUTPUT_DIR/result.json
afterwards: its "ok" member says whether the run succeeded, and "value_path" where the value is.
The exit status says the same: 0 for a successful run, 1 for a failed one.

A run whose value or inputs are not all JSON comes with `--values MANIFEST` instead of the
keyword arguments: the asset's serializer and where each input lies in which format
(quarl.values reads and writes those).

A worker is started once per run, so it imports only what a run needs: the command line of a run
is read here, and argparse (with what it pulls in) is imported only for help and usage errors,
traceback only when a run fails.
"""

import sys
from collections.abc import Sequence

from _quarl import materialize_asset

PROG = "python -m quarl.worker"


def _parse_with_argparse(argv: Sequence[str]) -> list[str]:
    """The arguments as argparse reads them, which prints the help or a usage error and exits."""
    import argparse

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Import MODULE, call the asset FUNCTION (its undecorated function) and write "
        "value.json and result.json into OUTPUT_DIR, which is created if needed. A failed run "
        "writes a failure record to result.json and exits with status 1.",
        epilog="Exit status: 0 when the run succeeded, 1 when it failed or could not begin, "
        "2 on a usage error.",
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the asset's module")
    parser.add_argument("function", metavar="FUNCTION", help="attribute of MODULE holding the asset")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory to write into")
    parser.add_argument("input_kwargs_json", metavar="INPUT_KWARGS_JSON", nargs="?",
                        help="JSON object whose members are passed as keyword arguments; "
                        "@FILE reads it from FILE and - from standard input (UTF-8), for "
                        "inputs too large for a command line")
    # quarl run's own, for a value or inputs that are not all JSON: a JSON object naming the
    # serializer and each input's file and format (@FILE and - as for INPUT_KWARGS_JSON).
    parser.add_argument("--values", metavar="MANIFEST", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.values is not None and args.input_kwargs_json is not None:
        parser.error("--values and INPUT_KWARGS_JSON cannot be given together")
    given = [args.module, args.function, args.output_dir, args.input_kwargs_json]
    if args.values is not None:
        return [VALUES, args.values, *given[:3]]
    return given if given[3] is not None else given[:3]


VALUES = "--values"


def _parse(argv: Sequence[str]) -> list[str]:
    """MODULE FUNCTION OUTPUT_DIR [INPUT_KWARGS_JSON], or --values MANIFEST MODULE FUNCTION
    OUTPUT_DIR. Arguments of which none looks like an option ("-" alone does not) are what
    argparse would make of them too; anything else (-h, a wrong count, an option) is left to
    argparse."""
    def plain(arg: str) -> bool:
        return not arg.startswith("-") or arg == "-"

    if len(argv) == 5 and argv[0] == VALUES:
        if all(map(plain, argv[1:])):
            return list(argv)
    elif 3 <= len(argv) <= 4 and all(map(plain, argv)):
        return list(argv)
    return _parse_with_argparse(argv)


def _input_text(argument: str | None) -> str | None:
    """The keyword arguments' JSON text as the argument gives it: itself, or the whole of a file
    (@FILE) or of standard input (-). Neither form can be a JSON object itself."""
    if argument == "-":
        # The descriptor, not sys.stdin: the text goes on as it is, whatever the locale says.
        with open(0, "rb", closefd=False) as stdin:
            return stdin.read().decode("utf-8")
    if argument is not None and argument.startswith("@"):
        with open(argument[1:], "rb") as file:
            return file.read().decode("utf-8")
    return argument


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse(sys.argv[1:] if argv is None else argv)
    manifest = args[1] if args[0] == VALUES else None
    module, function, output_dir, *rest = args[2:] if manifest is not None else args
    try:
        # Read before anything is written: an input that cannot be read fails the run before
        # it begins.
        if manifest is not None:
            from quarl.values import materialize

            materialize(module, function, output_dir, _input_text(manifest) or "")
        else:
            materialize_asset(module, function, output_dir, _input_text(rest[0] if rest else None))
    except SystemExit as stop:
        # A failed run: its record is written, and the SystemExit(1) that ends the process
        # carries the asset's exception, whose traceback belongs on standard error; followed
        # by how to store a value that JSON could not.
        if stop.__context__ is not None:
            import traceback

            traceback.print_exception(stop.__context__)
            _print_hint(stop.__context__, f"{module}.{function}")
        raise
    except Exception as exc:
        # Failed before the run began (the input could not be read, the directory could not be
        # made): nothing was written. Or the run failed and its record could not be written:
        # then the run's exception is the context of the error, and the chain shows both.
        import traceback

        from quarl._cli import report_error

        if exc.__context__ is not None:
            traceback.print_exception(exc)
        return report_error(PROG, exc)
    return 0


def _print_hint(error: BaseException, asset: str) -> None:
    if isinstance(error, TypeError):
        from quarl.values import json_hint

        hint = json_hint(error, asset)
        if hint is not None:
            print(hint, file=sys.stderr, flush=True)


if __name__ == "__main__":
    sys.exit(main())
