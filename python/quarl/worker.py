"""python -m quarl.worker: materialize one asset into a run directory.

The orchestrator starts one worker process per asset run and reads OUTPUT_DIR/result.json
afterwards: its "ok" member says whether the run succeeded, and "value_path" where the value is.
The exit status says the same: 0 for a successful run, 1 for a failed one.

`quarl run` starts its workers with `--request REQUEST` instead (quarl.contract): the run, its
inputs in whatever format their upstream stored them, and the folder to write into; such a worker
also leaves its run's record (run.json) beside result.json, success or failure. With `--batch
BATCH`, one worker makes several runs of one asset one after another, each as that run's request
asks, its standard output and error going to that run's own logs.

A worker is started once per run, so it imports only what a run needs: the command line of a run
is read here, and argparse (with what it pulls in) is imported only for help and usage errors,
traceback only when a run fails.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

from _quarl import materialize_asset

TYPE_CHECKING = False  # not typing's: importing typing costs a fresh worker more than it needs
if TYPE_CHECKING:
    from quarl.contract import CheckResult, Request

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
    # quarl run's own: the whole run as one request (quarl.contract), or several runs as a batch,
    # instead of the arguments. Only ever given alone, which _parse takes without argparse.
    parser.add_argument("--request", metavar="REQUEST", help=argparse.SUPPRESS)
    parser.add_argument("--batch", metavar="BATCH", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.request is not None:
        parser.error("--request is given alone")
    if args.batch is not None:
        parser.error("--batch is given alone")
    given = [args.module, args.function, args.output_dir, args.input_kwargs_json]
    return given if given[3] is not None else given[:3]


REQUEST = "--request"
BATCH = "--batch"


def _parse(argv: Sequence[str]) -> list[str]:
    """MODULE FUNCTION OUTPUT_DIR [INPUT_KWARGS_JSON], or --request REQUEST. Arguments of which
    none looks like an option ("-" alone does not) are what argparse would make of them too;
    anything else (-h, a wrong count, an option) is left to argparse."""
    def plain(arg: str) -> bool:
        return not arg.startswith("-") or arg == "-"

    if len(argv) == 2 and argv[0] in (REQUEST, BATCH):
        return list(argv)
    if 3 <= len(argv) <= 4 and all(map(plain, argv)):
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
    if args[0] == REQUEST:
        return run_request(args[1])
    if args[0] == BATCH:
        return run_batch(args[1])
    module, function, output_dir, *rest = args
    try:
        # Read before anything is written: an input that cannot be read fails the run before
        # it begins.
        materialize_asset(module, function, output_dir, _input_text(rest[0] if rest else None))
    except SystemExit as stop:
        # A failed run: its record is written, and the SystemExit(1) that ends the process
        # carries the asset's exception, whose traceback belongs on standard error; followed
        # by how to store a value that JSON could not.
        if stop.__context__ is not None:
            import traceback

            from quarl.values import json_hint

            traceback.print_exception(stop.__context__)
            hint = json_hint(stop.__context__, f"{module}.{function}")
            if hint is not None:
                print(f"quarl: {hint}", file=sys.stderr, flush=True)
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


# --- a run that quarl run asked for -------------------------------------------------------------

def run_request(argument: str) -> int:
    """Makes the run that the request asks for and leaves its record, run.json, beside the
    module's result.json: the value's file, format and stamp and the results of its checks, or
    the error and a hint. For an output on an object store, its inputs are downloaded first and
    its files uploaded last.

    The checks run here, once the value is written, on the value in memory: the package's
    materializer hands it back; the module's own does not, so a JSON value with checks is read
    back from its value.json: one parse of the file, as each of its consumers makes."""
    from quarl import contract

    try:
        request = contract.read_request(argument)
    except (contract.ContractError, OSError, ValueError) as error:
        from quarl._cli import report_error

        report_error(PROG, error)
        return 2
    return _run(request)


def _run(request: Request) -> int:
    """Makes one run; for an output on an object store, downloads its inputs first and uploads its
    files last."""
    if request.upload is None:
        return _make(request)
    try:
        status = _make(request)
    except SystemExit as stop:  # the run failed, its record written
        status = stop.code if isinstance(stop.code, int) else 1
    return _upload(request, status)


def run_batch(argument: str) -> int:
    """Makes the runs of a batch one after another, each with its output going to its own logs
    and leaving its own record; a run that fails fails alone. Module state (what the asset's
    module and the libraries keep between calls) is shared by the runs: that is what a batch is
    for. Exit status 0 once every run has been made, whatever its outcome (each record says it);
    2 when the batch cannot be read."""
    from quarl import contract

    try:
        requests = contract.read_batch(argument)
    except (contract.ContractError, OSError, ValueError) as error:
        from quarl._cli import report_error

        report_error(PROG, error)
        return 2
    for request in requests:
        try:
            _log_into(request.folder)
        except OSError as error:
            # Its folder is gone or full: it is left without a record, and quarl run makes it
            # again alone, where the failure is its own.
            print(f"{PROG}: error: cannot write the logs of {request.folder}: {error}", file=sys.stderr, flush=True)
            continue
        try:
            _run(request)
        except SystemExit:
            pass  # a failed run, its record written: the next one goes on
    return 0


def _log_into(folder: str) -> None:
    """Sends this process's standard output and error to the logs of the run in FOLDER, appended
    to what they hold (the first run's are already open there), once everything written so far
    has reached the last run's."""
    import os

    sys.stdout.flush()
    sys.stderr.flush()
    _flush_c_streams()
    for fd, name in ((1, "stdout.log"), (2, "stderr.log")):
        log = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
        os.dup2(log, fd)
        os.close(log)


def _flush_c_streams() -> None:
    """fflush(NULL): what native code printed through C's stdio and left in its buffers."""
    import ctypes

    ctypes.CDLL(None).fflush(None)


def _make(request: Request) -> int:
    from quarl import contract

    try:
        if request.upload is not None:
            # Reading an input may fail, before the run begins: a failure of the run.
            from quarl.run.storage.transfer import localized

            request = localized(request)
        if request.all_json and not _gathers_a_frame(request):
            # The upstream value.json texts are spliced into the keyword arguments: reading
            # them may fail, before the run begins.
            materialize_asset(request.module, request.function, request.folder,
                              contract.json_kwargs(request))
            name, artifact_format, serializer, value = "value.json", "json", None, _UNREAD
        else:
            from quarl.values import materialize

            name, artifact_format, serializer, value = materialize(request)
    except SystemExit as stop:
        _failed(request, stop.__context__)
        raise
    except Exception as exc:
        # The run could not begin (an input unreadable), or its failure record could not be
        # written: then the run's exception is the context of this one.
        import traceback

        from quarl._cli import report_error
        from quarl.options import exception_names
        from quarl.values import error_text

        if exc.__context__ is not None:
            traceback.print_exception(exc)
        _write_record(request, contract.failure_record(request, error_text(exc), type(exc).__name__,
                                                       error_types=exception_names(exc)))
        return report_error(PROG, exc)
    checks = _checked(request, name, value) if request.checks else []
    del value
    result = contract.read_result(request.folder)
    written = _write_record(request, contract.success_record(
        request, value_file=name, artifact_format=artifact_format, serializer=serializer,
        result_type=result.get("result_type") if result is not None else None, checks=checks))
    return 0 if written else 1


def _upload(request: Request, status: int) -> int:
    """Uploads the attempt's files under its prefix, run.json last: until that one is there, the
    attempt is not whole. A failure to upload fails the run (quarl run finds no record)."""
    from quarl import contract
    from quarl.run.storage.transfer import upload_attempt

    sys.stdout.flush()
    sys.stderr.flush()
    assert request.upload is not None
    try:
        upload_attempt(request.folder, request.upload, skip=frozenset({contract.REQUEST_FILE}))
    except Exception as error:
        print(f"{PROG}: error: cannot upload the run's files to {request.upload}: {error}",
              file=sys.stderr, flush=True)
        return 1
    return status


def _gathers_a_frame(request: Request) -> bool:
    """Whether the run gathers an input into a parameter annotated pandas.DataFrame: the
    package's materializer makes such a run, and fails it with an error that names the
    parameter when the values are JSON (a DataFrame is gathered from parquet values only)."""
    if not any(isinstance(item, list) for item in request.inputs.values()):
        return False
    from quarl import frames

    try:
        function = frames.asset_function(request.module, request.function)
    except (Exception, SystemExit):
        # The module's materializer imports it again, and records the failure as for any run.
        return False
    return bool(frames.frame_parameters(function, request.inputs))


_UNREAD = object()  # a value that the module wrote and did not hand back


def _checked(request: Request, name: str, value: object) -> list[CheckResult]:
    """The results of the request's checks on the run's value. Whether a failure keeps the value
    from being published is quarl run's to decide, from the record."""
    from quarl import contract
    from quarl.checks import evaluate

    if value is _UNREAD:
        import json

        try:
            with open(f"{request.folder}/{name}", "rb") as file:
                value = json.loads(file.read())
        except (OSError, ValueError) as error:
            from quarl.values import error_text

            message = f"the value could not be read back to be checked: {error_text(error)}"
            print(f"quarl: {message}", file=sys.stderr, flush=True)
            return [contract.CheckResult(spec["name"], False, spec["severity"], spec["blocking"], message,
                                         None, spec["fingerprint"]) for spec in request.checks]
    return contract.checks_of(evaluate(request.checks, value, request.partition, log=sys.stderr))


def _failed(request: Request, error: BaseException | None) -> None:
    """A run that failed with its failure record written: the exception's traceback on standard
    error, and the run's record with the error and, for a value that JSON refused, the hint."""
    from quarl import contract
    from quarl.options import exception_names
    from quarl.values import json_hint

    hint = None
    error_types = exception_names(error) if error is not None else None
    if error is not None:
        import traceback

        traceback.print_exception(error)
        hint = json_hint(error, request.asset)
        if hint is not None:
            print(f"quarl: {hint}", file=sys.stderr, flush=True)
    result = contract.read_result(request.folder) or {}
    _write_record(request, contract.failure_record(
        request, str(result.get("error", "the run failed without a record")), result.get("error_type"), hint,
        error_types))


def _write_record(request: Request, record: dict[str, object]) -> bool:
    """Writes the run's record; should that fail, quarl run finds none and says so."""
    from quarl import contract

    try:
        contract.write_run_record(request.folder, record)
    except OSError as error:
        print(f"{PROG}: error: cannot write the run's record: {error}", file=sys.stderr, flush=True)
        return False
    return True


if __name__ == "__main__":
    sys.exit(main())
