"""The `quarl` command: run, status, graph and ui, with inspect and worker under the same roof.

Exit status of `quarl run`: 0 every run succeeded or was up to date, 1 a run failed (a check of
severity error included), 2 a usage or plan error, 130 interrupted.

`main` is where every error ends: a QuarlError with its own status, or an OSError (status 2),
becomes one message on standard error; the commands and the modules below them raise and never
print an error of their own.
"""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, nullcontext
from typing import IO, TYPE_CHECKING

from quarl.errors import QuarlError, describe

if TYPE_CHECKING:
    from typing import Any

    from quarl.run.history import AttemptRecord, CheckRecord, History, Published
    from quarl.run.storage import Storage
    from quarl.run.plan import Plan

PROG = "quarl"
# Forking a warm server is what Linux does cheaply and safely; elsewhere, a fresh interpreter.
_DEFAULT_ISOLATION = "warm" if sys.platform == "linux" else "fresh"
EXIT_OK, EXIT_INTERRUPTED = 0, 130


class UsageError(QuarlError):
    """Ends the command with status 2 and this message."""


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def _delay(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Plan and run the assets of a Python project, each run in a process "
        "of its own, in parallel and incrementally.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    run = commands.add_parser(
        "run", help="materialize every asset of the targets that is not up to date",
        description="Inspect TARGETs (modules, or packages with all their submodules), plan every "
        "run (an asset at each combination of its partition values) and run those that are not "
        "up to date, upstream first, each in a worker process of its own.",
        epilog="Exit status: 0 every run succeeded or was up to date (a check of its value may have "
        "warned), 1 a run failed or a check of severity error failed, 2 a usage or plan error, 130 "
        "interrupted.")
    _targets(run)
    _out(run)
    run.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                     help="runs at once (default: the number of CPUs, "
                     f"{os.cpu_count() or 1} here; on a Dask cluster, its worker threads)")
    _select(run, "run only the runs that PATTERN[DIM=VALUES,...] selects, and whatever of their "
            "upstream is not up to date")
    run.add_argument("--force", action="store_true",
                     help="rerun the selected runs even when they are up to date")
    run.add_argument("--timeout", type=_seconds, metavar="S",
                     help="kill a run (its whole process group) after S seconds")
    run.add_argument("--retries", type=_count, default=0, metavar="N",
                     help="rerun a failed or timed-out run up to N more times (default 0)")
    run.add_argument("--retry-delay", type=_delay, default=1.0, metavar="S",
                     help="wait S seconds before the first retry of a run, twice as long before "
                     "each next one (default 1)")
    run.add_argument("--fail-fast", action="store_true",
                     help="start nothing new after the first failure")
    run.add_argument("--dry-run", action="store_true",
                     help="print the runs that would start, in order, and why; run nothing and write "
                     "nothing")
    run.add_argument("--json", action="store_true", help="print the runs as JSON at the end")
    run.add_argument("--executor", choices=("local", "dask"), default="local",
                     help="where the runs' processes start: on this machine (the default), or on a "
                     "Dask cluster (pip install 'quarl[dask]')")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="with --executor dask: the cluster's scheduler (tcp://HOST:PORT); "
                     "without it, a local cluster of --jobs Dask worker processes")
    run.add_argument("--isolation", choices=("warm", "fresh", "batch"), default=_DEFAULT_ISOLATION,
                     help="warm: fork each run's process from a server that has imported quarl "
                     "already (default on Linux); fresh: start a new interpreter per run; batch: "
                     "as warm, but each forked process makes several runs of one asset one after "
                     "another, sharing its module state (for many cheap partitions)")
    preload = run.add_mutually_exclusive_group()
    preload.add_argument("--no-preload", dest="preload", action="store_false",
                         help="with warm isolation, import the project's modules in each run's "
                         "process (their top-level code then runs once per run); the servers still "
                         "import the libraries they use")
    preload.add_argument("--preload", dest="preload", action="store_true",
                         help="the default: each warm server imports the project's modules once, "
                         "before it forks any run")

    status = commands.add_parser(
        "status", help="the last attempt of every run, from the history",
        description="Print the last attempt of every run recorded in OUT's history, without "
        "running anything: its status, duration, when it ended (local time) and result. With "
        "TARGETs, selectors are read on their plan (which '+' needs).",
        epilog="Exit status: 0, or 1 when --failed lists a run; 2 a usage error.")
    _targets(status, required=False)
    _out(status)
    _select(status, "only the runs that PATTERN[DIM=VALUES,...] selects")
    status.add_argument("--failed", action="store_true",
                        help="only the runs whose last attempt did not succeed (or whose check of "
                        "severity error failed); exit with status 1 when there is one")
    status.add_argument("--stale", action="store_true",
                        help="only the runs that the next quarl run would make again (with TARGETs); "
                        "exit with status 1 when there is one")
    status.add_argument("--json", action="store_true", help="print the runs as JSON")

    check = commands.add_parser(
        "check", help="evaluate the checks of published values again, without running their assets",
        description="Evaluate the checks (@quarl.check) of the published values of TARGETs' runs, "
        "as they are published, in a process of their own, without running the assets; record the "
        "results in OUT's history against the attempt whose value was checked, and print them.",
        epilog="Exit status: 0 every check passed or only warned, 1 a check of severity error failed "
        "or a value could not be read, 2 a usage or plan error.")
    _targets(check)
    _out(check)
    _select(check, "only the checks of the runs that PATTERN[DIM=VALUES,...] selects")
    check.add_argument("--stale", action="store_true",
                       help="only the checks whose last result does not speak for the published value: "
                       "never evaluated on it, or edited since")
    check.add_argument("--json", action="store_true", help="print the results as JSON")

    prune = commands.add_parser(
        "prune", help="remove the published runs that the plan no longer has",
        description="Remove from OUT the published folders of assets and partitions that the plan "
        "of TARGETs no longer has, and the kept .failed folders of runs that have succeeded since; "
        "print what is removed and record it in the history.")
    _targets(prune)
    _out(prune)
    prune.add_argument("--dry-run", action="store_true", help="print what would be removed, remove nothing")
    prune.add_argument("--grace", type=_delay, default=3600.0, metavar="S",
                       help="on an object store: remove attempts that no pointer names, and incomplete "
                       "uploads, only once they are S seconds old (default 3600): a younger one may be "
                       "a run's that is still uploading")

    graph = commands.add_parser(
        "graph", help="the plan as a graph (mermaid, dot or svg)",
        description="Print the plan of TARGETs: assets as nodes with their partition counts, "
        "inputs as edges, coloured by their last status when OUT has a history.")
    _targets(graph)
    _out(graph)
    graph.add_argument("--format", choices=("mermaid", "dot", "svg"), default="mermaid")

    ui = commands.add_parser(
        "ui", help="serve pages of the plan, the runs and their logs to a browser",
        description="Serve a read-only dashboard of TARGETs' plan over OUT: the asset graph, each "
        "asset's partitions and runs, each run's logs and value, the last quarl run's timeline; "
        "open pages follow a quarl run as it goes.")
    _targets(ui)
    _out(ui)
    ui.add_argument("--host", default="127.0.0.1",
                    help="the address to listen on (default: %(default)s, this machine only)")
    ui.add_argument("--port", type=int, default=8765, help="default: %(default)s; 0 takes a free one")

    commands.add_parser("inspect", help="print the report of modules' assets (python -m quarl.inspect)",
                        add_help=False)
    commands.add_parser("worker", help="materialize one asset (python -m quarl.worker)", add_help=False)
    return parser


def _targets(parser: argparse.ArgumentParser, required: bool = True) -> None:
    parser.add_argument("targets", nargs="+" if required else "*", metavar="TARGET",
                        help="a module, or a package meaning it and all its submodules")
    parser.add_argument("--path", action="append", default=[], metavar="DIR",
                        help="also import modules from DIR (the current directory always is)")


def _select(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--select", action="append", nargs="+", default=[], metavar="PATTERN",
                        help=f"{what}: PATTERN globs the asset ('module.function' or its name=; a "
                        "bare function name will do), VALUES is a partition value as tables print "
                        "it, a glob or a range FIRST..LAST, and a trailing '+' adds everything "
                        "downstream")


def _out(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", default="quarl-out", metavar="DIR",
                        help="the output folder (default: %(default)s), or an object store: "
                        "s3://BUCKET/PREFIX (pip install 'quarl[s3]')")


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # The two entry points keep their own options and help.
    if argv and argv[0] == "inspect":
        from quarl import inspect

        return inspect.main(argv[1:])
    if argv and argv[0] == "worker":
        from quarl import worker

        return worker.main(argv[1:])
    args = _parser().parse_args(argv)
    args.argv = argv
    command = {"run": run_command, "status": status_command, "graph": graph_command,
               "ui": ui_command, "prune": prune_command, "check": check_command}[args.command]
    # SIGTERM (a CI job cancelled, a service stopped) is Ctrl-C wherever it comes: the child
    # processes are stopped and the command says so, instead of vanishing with status 143.
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        return command(args)
    except QuarlError as error:
        return _failed(args.command, str(error), error.exit_status)
    except OSError as error:
        return _failed(args.command, describe(error), QuarlError.exit_status)
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        signal.signal(signal.SIGTERM, previous)


def _failed(command: str, message: str, status: int) -> int:
    from quarl.run.text import printable

    try:
        print(f"{PROG} {command}: error: {printable(message, lines=True)}", file=sys.stderr)
    except OSError:
        pass  # standard error itself is gone: the status still says it
    return status


# --- quarl run ------------------------------------------------------------------------------------

def run_command(args: argparse.Namespace) -> int:
    from quarl.run import display, pipeline
    from quarl.run.scheduler import Options

    _no_runs_as_targets(args)
    if args.scheduler is not None and args.executor != "dask":
        raise UsageError("--scheduler is for --executor dask")
    request = pipeline.RunRequest(
        targets=args.targets, command=shlex.join([PROG, *args.argv]), out=args.out, path=args.path,
        patterns=_patterns(args),
        options=Options(force=args.force, timeout=args.timeout, retries=args.retries,
                        retry_delay=args.retry_delay, fail_fast=args.fail_fast,
                        batch=args.isolation == "batch"), jobs=args.jobs,
        executor=args.executor, dask_address=args.scheduler, warm=args.isolation in ("warm", "batch"),
        preload=args.preload)
    if args.dry_run:
        would, total = pipeline.dry_run(request)
        with _reader_may_leave():
            display.write_dry_run(would, total, sys.stdout, as_json=args.json)
        return EXIT_OK
    report = pipeline.run_project(request)
    with _reader_may_leave():
        display.write_results(report.results, report.ending, sys.stdout, as_json=args.json,
                              listed=report.listed)
    for warning in report.warnings:
        print(f"{PROG} run: warning: {warning}", file=sys.stderr)
    if report.stopped is not None:
        print(f"{PROG} run: stopped: {report.stopped}", file=sys.stderr)
    if report.ending == pipeline.Ending.INTERRUPTED:
        print(f"{PROG} run: interrupted; published runs are intact, the next run goes on from here",
              file=sys.stderr)
    return int(report.ending)


def _patterns(args: argparse.Namespace) -> list[str]:
    return [p for group in args.select for p in group]


def _no_runs_as_targets(args: argparse.Namespace) -> None:
    """A TARGET with a bracket is a run's name (`clean_sales[day=2024-06-02]`) typed where a module
    goes: rather than fail to import it, say the --select line that selects it."""
    runs = [target for target in args.targets if "[" in target]
    if not runs:
        return
    same = args.command in ("run", "status")
    # run and status keep the rest of the command line; graph, prune and ui have no --select
    words = list(args.argv) if same else ["run", *(t for t in args.targets if "[" not in t)]
    for run in runs:
        if run in words:
            words.remove(run)
    if len(args.targets) == len(runs) and (words[0] == "run" or any(run.endswith("+") for run in runs)):
        words.insert(1, "TARGET")  # the project's module or package, which quarl cannot guess
    line = shlex.join([PROG, *words, "--select", *runs])
    takes = "" if same else f"quarl {args.command} takes modules and packages; "
    raise UsageError(f"{runs[0]!r} is not a module: {takes}partitions are chosen with --select: {line}")


@contextmanager
def _reader_may_leave() -> Iterator[None]:
    """Output whose reader went away (`quarl status | head -5`) ends quietly, and the command
    keeps its exit status: a run has finished and recorded its runs by the time it prints."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        # The interpreter flushes standard output once more at exit: /dev/null takes that.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


# --- quarl status ---------------------------------------------------------------------------------

def status_command(args: argparse.Namespace) -> int:
    from dataclasses import replace

    from quarl.run import display, select
    from quarl.run.status import Status
    from quarl.run.storage import open_storage

    _no_runs_as_targets(args)
    if args.stale and not args.targets:
        raise UsageError("--stale needs the project's TARGETs: what is stale depends on their code")
    storage = open_storage(args.out)
    try:
        history = storage.read_history()
        if history is None:
            raise UsageError(f"no run history in {args.out} (quarl run writes it)")
        try:
            attempts = history.latest()
            last_checks = history.last_checks()
            published = history.published() if last_checks else {}
            changed = storage.changed_outside([a.folder for a in attempts if a.status.published and a.folder])
            attempts = [replace(a, status=Status.CHANGED) if a.status.published and a.folder in changed
                        else a for a in attempts]
            patterns = _patterns(args)
            stale = None
            plan = _plan(args) if args.targets else None
            if plan is not None:
                chosen, stale = _planned_states(plan, attempts, patterns, history, storage)
            else:
                chosen = select.select_records(attempts, patterns, False, None)
        finally:
            history.close()
    finally:
        storage.close()
    if args.failed or args.stale:
        keep = [n for n, a in enumerate(chosen) if (not args.failed or not (a.status.clean or a.status in (
            Status.CHANGED, Status.NEVER_RUN))) and (not args.stale or (stale and stale[n]))]
        chosen, stale = [chosen[n] for n in keep], None if stale is None else [stale[n] for n in keep]
    what = (f"of {len(attempts)} in the history" if patterns or args.failed or args.stale
            else "in the history")
    checks = _checks_said(chosen, last_checks, published, plan) if last_checks or plan else {}
    with _reader_may_leave():
        display.write_attempts(chosen, sys.stdout, as_json=args.json, what=what, checks=checks, stale=stale)
    # A script asks `quarl status --failed` or `--stale` whether anything needs attention.
    return 1 if (args.failed or args.stale) and chosen else EXIT_OK


def _planned_states(plan: Plan, attempts: list[AttemptRecord], patterns: Sequence[str], history: History,
                    storage: Storage) -> tuple[list[AttemptRecord], list[list[str]]]:
    """Every run of the plan that PATTERNS select (all without), with its last attempt (or none
    yet) and its reasons to be made again; then the runs of the history that the plan no longer
    has."""
    from quarl.run import layout, select
    from quarl.run.freshness import PARTITION_REMOVED, Freshness
    from quarl.run.history import AttemptRecord
    from quarl.run.status import Status

    wanted = sorted(select.resolve(select.PlanCatalog(plan), patterns)) if patterns else range(len(plan.runs))
    states = Freshness(plan, storage, history, os.getcwd()).states(wanted)
    last: dict[tuple[str, str], AttemptRecord | None] = {(a.asset, a.partition): a for a in attempts}
    chosen, stale = [], []
    for index in wanted:
        run = plan.runs[index]
        name = layout.partition_folder(run.partition) if run.partition else ""
        chosen.append(last.pop((run.asset.key, name), None) or AttemptRecord(
            asset=run.asset.key, partition=name, label=run.label, plan_index=index, fingerprint="",
            status=Status.NEVER_RUN, started=0.0, duration=None, exit_status=None, error=None,
            result_type=None, folder=None))
        stale.append(states[index].reasons)
    if not patterns:
        for removed in (a for a in attempts if (a.asset, a.partition) in last):  # unplanned
            chosen.append(removed)
            stale.append([PARTITION_REMOVED])
    return chosen, stale


def _checks_said(attempts: Sequence[AttemptRecord], last: dict[tuple[str, str], dict[str, CheckRecord]],
                 published: dict[tuple[str, str], Published], plan: Plan | None) -> dict[tuple[str, str], Any]:
    """Each run's checks as `quarl status` shows them: a cell of the table, and for --json, each
    check's last result (whether it is stale is known only from a plan)."""
    from quarl.run.checking import result_text, stale, summary

    of_asset = {asset.key: asset.checks for asset in plan.assets} if plan is not None else {}
    said: dict[tuple[str, str], Any] = {}
    for attempt in attempts:
        run = (attempt.asset, attempt.partition)
        own, checks = last.get(run, {}), of_asset.get(attempt.asset) if plan is not None else None
        if not own and not checks:
            continue
        detail = {name: {"result": result_text(record.result), "attempt": record.attempt,
                         "message": record.result.message, "metadata": record.result.metadata}
                  for name, record in sorted(own.items())}
        for check in checks or ():
            detail.setdefault(check.name, {"result": None, "attempt": None, "message": None, "metadata": None})
            detail[check.name]["stale"] = stale(check, own.get(check.name), published.get(run))
        said[run] = (summary(checks, own, published.get(run)), detail)
    return said


# --- quarl check ----------------------------------------------------------------------------------

def check_command(args: argparse.Namespace) -> int:
    from quarl.run import checking, pipeline

    plan = _plan(args)
    report = checking.check_project(plan, args.out, _patterns(args), args.stale,
                                    pipeline.worker_environment(args.path), shlex.join([PROG, *args.argv]))
    with _reader_may_leave():
        checking.write_report(report, sys.stdout, as_json=args.json)
    return report.exit_status


# --- quarl graph ----------------------------------------------------------------------------------

def graph_command(args: argparse.Namespace) -> int:
    from quarl.run import graph
    from quarl.run.freshness import Freshness
    from quarl.run.status import Status
    from quarl.run.storage import open_storage

    plan = _plan(args)
    statuses: dict[str, Status] = {}
    stale: dict[str, int] = {}
    storage = open_storage(args.out)
    try:
        history = storage.read_history()
        if history is not None:
            try:
                statuses = graph.asset_statuses(history.latest())
                for state in Freshness(plan, storage, history, os.getcwd()).states().values():
                    if state.stale:
                        stale[state.run.asset.key] = stale.get(state.run.asset.key, 0) + 1
            finally:
                history.close()
    finally:
        storage.close()
    if args.format == "mermaid":
        text = graph.mermaid(plan, statuses, stale)
    else:
        text = graph.dot(plan, statuses, stale)
        if args.format == "svg":
            text = graph.render_svg(text)
    with _reader_may_leave():
        _write(sys.stdout, text)
    return EXIT_OK


# --- quarl prune ----------------------------------------------------------------------------------

def prune_command(args: argparse.Namespace) -> int:
    from quarl.run import pipeline, prune
    from quarl.run.storage import is_url, open_storage

    plan = _plan(args)
    if is_url(args.out):
        from quarl.run.storage.objects import ObjectStorage

        storage = open_storage(args.out)
        assert isinstance(storage, ObjectStorage)
        with nullcontext() if args.dry_run else storage.locked(), _reader_may_leave():
            prune.prune_store(plan, storage, shlex.join([PROG, *args.argv]), args.dry_run, args.grace,
                              sys.stdout)
        return EXIT_OK
    prune.check(args.out)
    # A dry run only reads, as `quarl status` does: it needs no lock, and leaves no lock file.
    with nullcontext() if args.dry_run else pipeline.locked(args.out), _reader_may_leave():
        prune.prune(plan, args.out, shlex.join([PROG, *args.argv]), args.dry_run, sys.stdout)
    return EXIT_OK


def _plan(args: argparse.Namespace) -> Plan:
    """The plan of the command's targets, for graph and ui."""
    from quarl.run import pipeline

    _no_runs_as_targets(args)
    return pipeline.plan_project(args.targets, pipeline.worker_environment(args.path))


# --- quarl ui -------------------------------------------------------------------------------------

def ui_command(args: argparse.Namespace) -> int:
    from quarl import ui

    plan = _plan(args)
    try:
        ui.serve(plan, args.out, args.host, args.port)
    except OSError as error:
        raise UsageError(f"cannot serve on {args.host}:{args.port}: {error.strerror or error}") from None
    return EXIT_OK


def _write(stream: IO[str], text: str) -> None:
    stream.write(text if text.endswith("\n") else text + "\n")


if __name__ == "__main__":
    sys.exit(main())
