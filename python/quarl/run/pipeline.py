"""`quarl run` from end to end, one stage after another:

    inspect -> plan -> select -> recover -> execute -> record

Each stage is a function of this module over the modules that do the work (report, plan, layout,
executors, scheduler, history); the command line only parses and prints.
"""

from __future__ import annotations

import enum
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field

from quarl.errors import QuarlError
from quarl.run import display, report, select
from quarl.run.executors.base import Executor, WorkerEnvironment
from quarl.project import is_project_file
from quarl.run.freshness import FileDigests, Freshness, Outside, save_outside
from quarl.run.history import History, HistoryError
from quarl.run.plan import Plan, Run, build_plan
from quarl.run.scheduler import Options, RunResult, Scheduler
from quarl.run.storage import Storage, open_storage
from quarl.run.storage.local import locked as locked  # one quarl run per output folder


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
    warnings: Sequence[str] = ()  # what went wrong without changing any run's outcome


def run_project(request: RunRequest) -> RunReport:
    environment = worker_environment(request.path)
    found = inspect_project(request.targets, environment)
    plan = plan_of(found)
    chosen = select_runs(plan, request)
    storage = open_storage(request.out)
    if not storage.remote:
        try:
            os.makedirs(request.out, exist_ok=True)
        except OSError as error:
            raise RunError(f"cannot create the output folder: {error}") from None
    try:
        with storage.locked(), storage.history() as history:
            done = _run_locked(request, environment, plan, found, chosen, storage, history)
    finally:
        storage.close()
    return RunReport(done.results, done.ending, done.stopped, done.listed, list(storage.warnings))


def _run_locked(request: RunRequest, environment: WorkerEnvironment, plan: Plan, found: report.Report,
                chosen: select.RunSelection, storage: Storage, history: History) -> RunReport:
    storage.recover(plan)
    outside = Outside(environment.cwd, FileDigests(history.file_digests()))
    executor = make_executor(request, environment, plan, found, storage)
    try:
        invocation = history.begin(request.command)
        scheduler = execute(plan, chosen.runs, chosen.forced, request, storage, executor, history,
                            invocation, outside)
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
    runs it would decide; nothing is written under the output (nor is it made)."""
    environment = worker_environment(request.path)
    plan = plan_of(inspect_project(request.targets, environment))
    chosen = select_runs(plan, request)
    storage = open_storage(request.out)
    try:
        history = storage.read_history()
        try:
            states = Freshness(plan, storage, history, environment.cwd).states(chosen.runs)
        finally:
            if history is not None:
                history.close()
    finally:
        storage.close()
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


def make_executor(request: RunRequest, environment: WorkerEnvironment, plan: Plan,
                  found: report.Report, storage: Storage) -> Executor:
    """The executor that the options name: on this machine, warm or fresh, or on a Dask cluster."""
    modules = list(dict.fromkeys(asset.module for asset in plan.assets))
    kind = "project" if request.preload else "libraries"
    preload = modules if request.preload else library_modules(found, environment)
    preload = [*storage.preload, *preload]
    out = storage.out
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

        return warm_executor(slots, environment, preload, os.path.join(storage.logs, ".quarl-warm.log"), kind)
    from quarl.run.executors.local import FreshExecutor

    return FreshExecutor(slots, environment)


def execute(plan: Plan, selection: list[int], forced: set[int], request: RunRequest, out: Storage,
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
