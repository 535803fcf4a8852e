"""`quarl run` from end to end, one stage after another:

    inspect -> plan -> select -> recover -> execute -> record

Each stage is a function of this module over the modules that do the work (report, plan, layout,
executors, scheduler, history); the command line only parses and prints.
"""

from __future__ import annotations

import enum
import fcntl
import os
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field

from quarl.errors import QuarlError
from quarl.run import display, layout, report, select
from quarl.run.executors.base import Executor, WorkerEnvironment
from quarl.project import is_project_file
from quarl.run.freshness import FileDigests, Freshness, Outside, save_outside
from quarl.run.history import History, HistoryError
from quarl.run.plan import Plan, Run, build_plan
from quarl.run.scheduler import Options, RunResult, Scheduler


class RunError(QuarlError):
    """The command cannot run the project (an output folder that cannot be made or is in use, an
    executor that is not installed): it stops with this message and exit status 2."""


class Ending(enum.IntEnum):
    """How a `quarl run` ended: its exit status."""

    OK = 0  # every run succeeded or was up to date (checks that failed, if any, only warned)
    FAILED = 1  # a run failed (a check of severity error included), was skipped or did not start
    INTERRUPTED = 130


@dataclass(frozen=True)
class RunRequest:
    """What `quarl run` was asked to do."""

    targets: Sequence[str]
    command: str  # as typed, for the history
    out: str = "quarl-out"
    path: Sequence[str] = ()
    patterns: Sequence[str] = ()  # --select
    options: Options = field(default_factory=Options)
    jobs: int | None = None
    executor: str = "local"  # or "dask"
    dask_address: str | None = None  # a Dask scheduler's, with --executor dask
    warm: bool = True
    # The warm servers import the project's modules before they fork; else only the libraries
    # these import, and each run imports the project's own.
    preload: bool = True


@dataclass(frozen=True)
class RunReport:
    results: list[RunResult]
    ending: Ending
    stopped: str | None = None  # why the runs stopped before their end: the history or executor failed
    listed: set[int] | None = None  # the runs the table lists besides those that ran; None: all


def run_project(request: RunRequest) -> RunReport:
    environment = worker_environment(request.path)
    found = inspect_project(request.targets, environment)
    plan = plan_of(found)
    chosen = select_runs(plan, request)
    try:
        os.makedirs(request.out, exist_ok=True)
    except OSError as error:
        raise RunError(f"cannot create the output folder: {error}") from None
    out = os.path.abspath(request.out)  # what every stage below takes
    with locked(request.out), _history(request.out) as history:
        recover(out, plan)
        outside = Outside(environment.cwd, FileDigests(history.file_digests()))
        executor = make_executor(request, environment, plan, found, out)
        try:
            invocation = history.begin(request.command)
            scheduler = execute(plan, chosen.runs, chosen.forced, request, out, executor, history, invocation,
                                outside)
        finally:
            executor.close()
        results, stopped = scheduler.results_in_order, scheduler.reason
        ending = _ending(results, scheduler.interrupted, stopped)
        if not scheduler.history_failed:  # said already, and no use asking it again
            try:
                save_outside(history, plan, outside.digests)
                history.finish(invocation, int(ending))
            except HistoryError as error:
                # Every run is recorded; the table is still due, with why the end is not.
                stopped = str(error)
                ending = _ending(results, scheduler.interrupted, stopped)
    return RunReport(results, ending, stopped, chosen.listed)


def dry_run(request: RunRequest) -> tuple[list[tuple[Run, list[str]]], int]:
    """The runs that `quarl run` would start, in plan order, each with its reasons, and how many
    runs it would decide; nothing is written under the output folder (nor is it made)."""
    environment = worker_environment(request.path)
    plan = plan_of(inspect_project(request.targets, environment))
    chosen = select_runs(plan, request)
    history = History.open(request.out, create=False) if os.path.isdir(request.out) else None
    try:
        states = Freshness(plan, request.out, history, environment.cwd).states(chosen.runs)
    finally:
        if history is not None:
            history.close()
    would = []
    for index in chosen.runs:
        if index in chosen.forced:
            would.append((plan.runs[index], ["forced (--force)", *states[index].reasons]))
        elif states[index].stale:
            would.append((plan.runs[index], states[index].reasons))
    return would, len(chosen.runs)


# --- the stages -------------------------------------------------------------------------------

def worker_environment(path: Sequence[str]) -> WorkerEnvironment:
    """Workers run with this interpreter, in the current directory, with --path's folders and
    the current directory on sys.path."""
    cwd = os.getcwd()
    return WorkerEnvironment(sys.executable, cwd, [*(os.path.abspath(p) for p in path), cwd])


def inspect_project(targets: Sequence[str], environment: WorkerEnvironment) -> report.Report:
    return report.inspect(targets, environment)


def plan_of(found: report.Report) -> Plan:
    return build_plan(found.assets, found.checks)


def plan_project(targets: Sequence[str], environment: WorkerEnvironment) -> Plan:
    return plan_of(inspect_project(targets, environment))


def library_modules(found: report.Report, environment: WorkerEnvironment) -> list[str]:
    """The modules that the inspection imported besides the project's own (those whose files lie
    in the project's folders, outside installed packages) and quarl's."""
    folders = [os.path.abspath(folder) for folder in environment.path]
    return [name for name, path in found.imported
            if not is_project_file(path, folders) and name.partition(".")[0] not in ("quarl", "_quarl")]


def select_runs(plan: Plan, request: RunRequest) -> select.RunSelection:
    """The runs that --select asks for with their upstream, those that --force reruns, and those
    the table lists."""
    return select.select_runs(plan, request.patterns, request.options.force)


def recover(out: str, plan: Plan) -> None:
    """Tidies what a `quarl run` or `quarl prune` that died left in the output folder (OUT
    absolute)."""
    layout.recover_output(out, plan)


def make_executor(request: RunRequest, environment: WorkerEnvironment, plan: Plan,
                  found: report.Report, out: str) -> Executor:
    """The executor that the options name: on this machine, warm or fresh, or on a Dask cluster."""
    modules = list(dict.fromkeys(asset.module for asset in plan.assets))
    kind = "project" if request.preload else "libraries"
    preload = modules if request.preload else library_modules(found, environment)
    if request.executor == "dask":
        try:
            from quarl.run.executors import dask
        except ImportError as error:
            raise RunError(f"--executor dask needs the package distributed ({error}); install it "
                           "with quarl's extra: pip install 'quarl[dask]'") from None
        return dask.dask_executor(request.dask_address, request.jobs, environment, out,
                                  sorted({module.partition(".")[0] for module in modules}),
                                  warm=request.warm, preload=preload, kind=kind)
    slots = request.jobs or os.cpu_count() or 1
    if request.warm:
        from quarl.run.executors.warm import warm_executor

        return warm_executor(slots, environment, preload, os.path.join(request.out, ".quarl-warm.log"), kind)
    from quarl.run.executors.local import FreshExecutor

    return FreshExecutor(slots, environment)


def execute(plan: Plan, selection: list[int], forced: set[int], request: RunRequest, out: str,
            executor: Executor, history: History, invocation: int, outside: Outside) -> Scheduler:
    """Runs the selection, showing its progress; returns the scheduler that ran it."""
    progress = display.make_display(len(selection))
    try:
        scheduler = Scheduler(plan, selection, forced, out, executor, history, invocation, progress,
                              request.options, out_as_typed=request.out, outside=outside)
        scheduler.run()
        return scheduler
    finally:
        progress.close()


def _ending(results: Sequence[RunResult], interrupted: bool, stopped: str | None) -> Ending:
    if interrupted:
        return Ending.INTERRUPTED
    if stopped is not None or any(not r.status.clean for r in results):
        return Ending.FAILED
    return Ending.OK


@contextmanager
def locked(out: str) -> Iterator[None]:
    """One `quarl run` at a time per output folder: two would publish over each other."""
    try:
        lock = open(os.path.join(out, ".quarl.lock"), "a")
    except OSError as error:
        raise RunError(f"cannot write in the output folder {out}: {error.strerror or error}") from None
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RunError(f"another quarl run is using {out}") from None
        yield


@contextmanager
def _history(out: str) -> Iterator[History]:
    """The output folder's history, open for writing."""
    history = History.open(out, create=True)
    assert history is not None
    try:
        yield history
    finally:
        history.close()
