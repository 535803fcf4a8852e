"""The `quarl` command: run, status and graph, with inspect and worker under the same roof.

Exit status of `quarl run`: 0 every run succeeded or was up to date, 1 a run failed, 2 a usage
or plan error, 130 interrupted.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import shlex
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any

PROG = "quarl"
# Forking a warm server is what Linux does cheaply and safely; elsewhere, a fresh interpreter.
_DEFAULT_ISOLATION = "warm" if sys.platform == "linux" else "fresh"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
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
        epilog="Exit status: 0 every run succeeded or was up to date, 1 a run failed, 2 a usage "
        "or plan error, 130 interrupted.")
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
    run.add_argument("--fail-fast", action="store_true",
                     help="start nothing new after the first failure")
    run.add_argument("--json", action="store_true", help="print the runs as JSON at the end")
    run.add_argument("--executor", choices=("local", "dask"), default="local",
                     help="where the runs' processes start: on this machine (the default), or on a "
                     "Dask cluster (pip install 'quarl[dask]')")
    run.add_argument("--scheduler", metavar="ADDRESS",
                     help="with --executor dask: the cluster's scheduler (tcp://HOST:PORT); "
                     "without it, a local cluster of --jobs worker processes")
    run.add_argument("--isolation", choices=("warm", "fresh"), default=_DEFAULT_ISOLATION,
                     help="warm: fork each run's process from a server that has imported quarl "
                     "already (default on Linux); fresh: start a new interpreter per run")
    run.add_argument("--preload", action="store_true",
                     help="with warm isolation, also import the project's modules once per server "
                     "(their top-level code then runs once per server, not once per run)")

    status = commands.add_parser(
        "status", help="the last attempt of every run, from the history",
        description="Print the last attempt of every run recorded in OUT's history, without "
        "running anything. With TARGETs, selectors are read on their plan (which '+' needs).")
    _targets(status, required=False)
    _out(status)
    _select(status, "only the runs that PATTERN[DIM=VALUES,...] selects")
    status.add_argument("--failed", action="store_true",
                        help="only the runs whose last attempt did not succeed")
    status.add_argument("--json", action="store_true", help="print the runs as JSON")

    prune = commands.add_parser(
        "prune", help="remove the published runs that the plan no longer has",
        description="Remove from OUT the published folders of assets and partitions that the plan "
        "of TARGETs no longer has, and the kept .failed folders of runs that have succeeded since; "
        "print what is removed and record it in the history.")
    _targets(prune)
    _out(prune)
    prune.add_argument("--dry-run", action="store_true", help="print what would be removed, remove nothing")

    graph = commands.add_parser(
        "graph", help="the plan as a graph (mermaid, dot or svg)",
        description="Print the plan of TARGETs: assets as nodes with their partition counts, "
        "inputs as edges, coloured by their last status when OUT has a history.")
    _targets(graph)
    _out(graph)
    graph.add_argument("--format", choices=("mermaid", "dot", "svg"), default="mermaid")

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
                        help=f"{what}: PATTERN globs the asset ('module.function' or its name=), "
                        "VALUES is a glob on a partition value or a range FIRST..LAST, and a "
                        "trailing '+' adds everything downstream")


def _out(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", default="quarl-out", metavar="DIR",
                        help="the output folder (default: %(default)s)")


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
               "prune": prune_command}[args.command]
    try:
        return command(args)
    except UsageError as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


# --- planning, shared by run and graph ------------------------------------------------------------

def _environment(args: argparse.Namespace) -> Any:
    from quarl.run.executors.base import WorkerEnvironment

    cwd = os.getcwd()
    return WorkerEnvironment(sys.executable, cwd, [*(os.path.abspath(p) for p in args.path), cwd])


def _plan(args: argparse.Namespace, environment: Any) -> Any:
    from quarl.run import report
    from quarl.run.plan import PlanError, build_plan

    try:
        return build_plan(report.inspect(args.targets, environment))
    except report.InspectionError as error:
        raise UsageError(str(error)) from None
    except PlanError as error:
        raise UsageError("the project cannot be planned:\n  " + "\n  ".join(error.problems)) from None


# --- quarl run ------------------------------------------------------------------------------------

@contextmanager
def _locked(out: str) -> Iterator[None]:
    """One `quarl run` at a time per output folder: two would publish over each other."""
    with open(os.path.join(out, ".quarl.lock"), "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UsageError(f"another quarl run is using {out}") from None
        yield


def run_command(args: argparse.Namespace) -> int:
    from quarl.run import display, layout
    from quarl.run.executors.base import ExecutorError
    from quarl.run.history import History, HistoryError
    from quarl.run.scheduler import Options, Scheduler

    if args.scheduler is not None and args.executor != "dask":
        raise UsageError("--scheduler is for --executor dask")
    environment = _environment(args)
    plan = _plan(args, environment)
    chosen = _selection(args, plan)
    selection, forced = chosen.runs, chosen.forced

    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot create the output folder: {error}") from None
    with _locked(args.out):
        try:
            history = History.open(args.out, create=True)
        except HistoryError as error:
            raise UsageError(str(error)) from None
        assert history is not None
        try:
            out = os.path.abspath(args.out)
            layout.recover(out)
            for asset in plan.assets:
                if asset.partitioned:
                    layout.recover(os.path.join(out, asset.key))
            executor = _executor(args, environment, plan)
            try:
                invocation = history.begin(shlex.join([PROG, *args.argv]))
                shown = display.make_display(len(selection))
                try:
                    scheduler = Scheduler(plan, selection, forced, args.out, executor,
                                          history, invocation, shown,
                                          Options(args.force, args.timeout, args.retries, args.fail_fast))
                    results = scheduler.run()
                except ExecutorError as error:
                    raise UsageError(str(error)) from None
                finally:
                    shown.close()
            finally:
                executor.close()
            if scheduler.interrupted:
                status = EXIT_INTERRUPTED
            elif any(not r.status.usable for r in results):
                status = EXIT_FAILED
            else:
                status = EXIT_OK
            history.finish(invocation, status)
        except HistoryError as error:
            raise UsageError(str(error)) from None
        finally:
            history.close()
    _print_results(args, results, status, chosen.shown)
    if status == EXIT_INTERRUPTED:
        print(f"{PROG} run: interrupted; published runs are intact, the next run goes on from here",
              file=sys.stderr)
    return status


def _selection(args: argparse.Namespace, plan: Any) -> Any:
    """The runs that --select asks for with their upstream, and those that --force reruns."""
    from quarl.run import select

    try:
        return select.select_runs(plan, _patterns(args), args.force, args.out)
    except select.SelectionError as error:
        raise UsageError(str(error)) from None


def _patterns(args: argparse.Namespace) -> list[str]:
    return [p for group in args.select for p in group]


def _executor(args: argparse.Namespace, environment: Any, plan: Any) -> Any:
    """The executor that the options name: on this machine, warm or fresh, or on a Dask cluster."""
    modules = list(dict.fromkeys(asset.module for asset in plan.assets))
    if args.executor == "dask":
        try:
            from quarl.run.executors import dask
        except ImportError as error:
            raise UsageError(f"--executor dask needs the package distributed ({error}); install it "
                             "with quarl's extra: pip install 'quarl[dask]'") from None
        try:
            return dask.dask_executor(args.scheduler, args.jobs, environment, os.path.abspath(args.out),
                                      sorted({module.partition(".")[0] for module in modules}),
                                      warm=args.isolation == "warm",
                                      preload=modules if args.preload else ())
        except dask.ClusterError as error:
            raise UsageError(str(error)) from None
    slots = args.jobs or os.cpu_count() or 1
    if args.isolation == "warm":
        from quarl.run.executors.warm import warm_executor

        return warm_executor(slots, environment, modules if args.preload else [],
                             os.path.join(args.out, ".quarl-warm.log"))
    from quarl.run.executors.local import local_executor

    return local_executor(slots, environment)


def _print_results(args: argparse.Namespace, results: Any, status: int, shown: Any) -> None:
    from quarl.run import display

    with _reader_may_leave():
        display.write_results(results, status, sys.stdout, as_json=args.json, shown=shown)


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
    from quarl.run import display, select
    from quarl.run.history import History, HistoryError

    try:
        history = History.open(args.out, create=False)
    except HistoryError as error:
        raise UsageError(str(error)) from None
    if history is None:
        raise UsageError(f"no run history in {args.out} (quarl run writes it)")
    try:
        attempts = history.latest()
    except HistoryError as error:
        raise UsageError(str(error)) from None
    finally:
        history.close()
    patterns = _patterns(args)
    plan = _plan(args, _environment(args)) if args.targets else None
    try:
        chosen = select.select_records(attempts, patterns, args.failed, plan)
    except select.SelectionError as error:
        raise UsageError(str(error)) from None
    what = f"of {len(attempts)} in the history" if patterns or args.failed else "in the history"
    with _reader_may_leave():
        display.write_attempts(chosen, sys.stdout, as_json=args.json, what=what)
    return EXIT_OK


# --- quarl graph ----------------------------------------------------------------------------------

def graph_command(args: argparse.Namespace) -> int:
    from quarl.run import graph
    from quarl.run.history import History, HistoryError
    from quarl.run.status import Status

    plan = _plan(args, _environment(args))
    statuses: dict[str, Status] = {}
    try:
        history = History.open(args.out, create=False)
        if history is not None:
            try:
                statuses = graph.asset_statuses(history.latest())
            finally:
                history.close()
    except HistoryError as error:
        raise UsageError(str(error)) from None
    if args.format == "mermaid":
        text = graph.mermaid(plan, statuses)
    else:
        text = graph.dot(plan, statuses)
        if args.format == "svg":
            try:
                text = graph.render_svg(text)
            except graph.GraphvizError as error:
                raise UsageError(str(error)) from None
    with _reader_may_leave():
        _write(sys.stdout, text)
    return EXIT_OK


# --- quarl prune ----------------------------------------------------------------------------------

def prune_command(args: argparse.Namespace) -> int:
    from quarl.run import prune
    from quarl.run.history import HistoryError

    plan = _plan(args, _environment(args))
    if not os.path.isdir(args.out):
        raise UsageError(f"no output folder {args.out}")
    with _locked(args.out):
        try:
            with _reader_may_leave():
                prune.prune(plan, args.out, shlex.join([PROG, *args.argv]), args.dry_run, sys.stdout)
        except (HistoryError, prune.PruneError) as error:
            raise UsageError(str(error)) from None
    return EXIT_OK


def _write(stream: IO[str], text: str) -> None:
    stream.write(text if text.endswith("\n") else text + "\n")


if __name__ == "__main__":
    sys.exit(main())
