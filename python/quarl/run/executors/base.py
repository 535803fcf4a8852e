"""What every executor does with one attempt of a run, wherever its process is started.

An executor receives prepared jobs (paths, module, function, inputs: nothing of the plan) and
reports outcomes. `perform` is the attempt itself: make the attempt folder, build the input
file, start the worker through the executor's launcher, wait for it (killing its process group
on timeout), decide the outcome from its files, and publish the attempt or keep it as the last
failure.
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import signal
import subprocess
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import IO, Any, Protocol, TypeVar

from quarl.run import layout
from quarl.run.status import Status

T = TypeVar("T")

@dataclass(frozen=True)
class Job:
    run: int  # the plan's index of the run, echoed in the outcome
    attempt_id: str
    module: str
    function: str
    published: str  # absolute paths
    attempt: str
    failed: str
    inputs: layout.InputSpec | None
    record: dict[str, Any]  # run.json of the published folder, without timing
    value_path: str  # what result.json's value_path says once the run is published
    timeout: float | None = None


@dataclass
class Outcome:
    run: int
    attempt_id: str
    status: Status
    started: float
    duration: float
    exit_status: int | None = None
    error: str | None = None
    result_type: str | None = None
    folder: str | None = None  # the published folder, or the failed attempt's


class Process(Protocol):
    def wait(self, timeout: float | None) -> int | None:
        """The exit status (negative: killed by that signal), or None if still running."""

    def kill(self) -> None:
        """Kills the run's whole process group."""


# launch(job, kwargs, stdout, stderr) starts the worker of one attempt; `kwargs` is the worker's
# INPUT_KWARGS_JSON argument: None, "@FILE", or a short JSON text given in full.
Launch = Callable[[Job, "str | None", IO[bytes], IO[bytes]], Process]


class Interrupted(Exception):
    """The executor is stopping: the attempt is not started."""


class ExecutorError(Exception):
    """The executor cannot run attempts at all (its servers or its cluster cannot start): the
    command stops with this message instead of failing every run."""


class WorkerLost(Exception):
    """The process that started the attempt's worker died before the attempt ended; the attempt
    is run once more from the start."""


def collect(done: queue.SimpleQueue[T | None], timeout: float | None) -> tuple[list[T], bool]:
    """What an executor's queue of finished work holds, after waiting up to `timeout` for the
    first item; and whether a wake() (a None in the queue) was among them."""
    try:
        items = [done.get(timeout=timeout)]
    except queue.Empty:
        return [], False
    while True:
        try:
            items.append(done.get_nowait())
        except queue.Empty:
            break
    finished = [item for item in items if item is not None]
    return finished, len(finished) < len(items)


@dataclass(frozen=True)
class WorkerEnvironment:
    """How worker processes are started: the interpreter, the directory they run in (the
    project's: user code may read files relative to it) and the folders put on sys.path."""

    python: str
    cwd: str
    path: Sequence[str] = field(default_factory=tuple)

    def env(self) -> dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([*self.path, *filter(None, [env.get("PYTHONPATH")])])
        return env

    def worker_argv(self, job: Job, kwargs: str | None) -> list[str]:
        argv = [self.python, "-m", "quarl.worker", job.module, job.function, job.attempt]
        if kwargs is not None:
            argv.append(kwargs)
        return argv


class PopenProcess:
    def __init__(self, popen: subprocess.Popen[bytes]) -> None:
        self.popen = popen

    def wait(self, timeout: float | None) -> int | None:
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self) -> None:
        # The worker leads its own process group (a new session): whatever the asset started
        # goes with it. A reaped worker's group id may already name someone else's group.
        if self.popen.returncode is None:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def launch_fresh(environment: WorkerEnvironment,
                 preexec_fn: Callable[[], None] | None = None) -> Launch:
    """A fresh interpreter per attempt: `python -m quarl.worker`, running `preexec_fn` first."""
    env = environment.env()

    def launch(job: Job, kwargs: str | None, stdout: IO[bytes], stderr: IO[bytes]) -> Process:
        popen = subprocess.Popen(environment.worker_argv(job, kwargs), cwd=environment.cwd,
                                 env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                 start_new_session=True, preexec_fn=preexec_fn)
        return PopenProcess(popen)

    return launch


def describe_exit(status: int) -> str:
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        return f"the worker was killed by {name}"
    return f"the worker exited with status {status}"


def _read_record(path: str) -> dict[str, Any] | None:
    try:
        with open(path, "rb") as file:
            record = json.loads(file.read())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def perform(job: Job, launch: Launch, stopping: Callable[[], bool]) -> Outcome:
    try:
        return _perform(job, launch, stopping)
    except WorkerLost:
        pass
    try:
        return _perform(job, launch, stopping)
    except WorkerLost as lost:
        return Attempt(job).lost_twice(lost)


def _perform(job: Job, launch: Launch, stopping: Callable[[], bool]) -> Outcome:
    attempt = Attempt(job)
    try:
        kwargs = attempt.prepare()
        with attempt.logs() as (out, err):
            process = launch(job, kwargs, out, err)
        status = process.wait(job.timeout)
        timed_out = status is None
        if status is None:
            process.kill()
            status = process.wait(None)
            assert status is not None
    except Interrupted:
        return attempt.interrupted()
    except ExecutorError:
        attempt.discard()
        raise
    except OSError as error:
        return attempt.failed_before_start(error)
    return attempt.finish(status, timed_out, stopping())


class Attempt:
    """One attempt of a job, in two halves around its worker process, for executors that wait
    on the process themselves: `prepare` and `logs` set it up, `finish` decides its outcome from
    the worker's exit status and publishes it or keeps it as the last failure."""

    def __init__(self, job: Job) -> None:
        self.job = job
        self.started = time.time()
        self.clock = time.monotonic()

    def outcome(self, status: Status, **details: Any) -> Outcome:
        return Outcome(self.job.run, self.job.attempt_id, status, self.started,
                       time.monotonic() - self.clock, **details)

    def prepare(self) -> str | None:
        """Makes the attempt folder and its input; returns the worker's INPUT_KWARGS_JSON
        argument. An OSError here is a failure of the run before it starts."""
        job = self.job
        _make_attempt_folder(job.attempt)
        kwargs = layout.inline_input(job.inputs)
        if kwargs is None and job.inputs is not None:
            input_path = os.path.join(job.attempt, "input.json")
            layout.write_input(input_path, job.inputs)
            kwargs = "@" + input_path
        return kwargs

    @contextmanager
    def logs(self) -> Iterator[tuple[IO[bytes], IO[bytes]]]:
        """The worker's standard output and error, open while it is started."""
        with open(os.path.join(self.job.attempt, "stdout.log"), "wb") as out, \
                open(os.path.join(self.job.attempt, "stderr.log"), "wb") as err:
            yield out, err

    def discard(self) -> None:
        shutil.rmtree(self.job.attempt, ignore_errors=True)

    def interrupted(self, exit_status: int | None = None) -> Outcome:
        self.discard()
        return self.outcome(Status.INTERRUPTED, exit_status=exit_status)

    def lost_twice(self, lost: WorkerLost) -> Outcome:
        return Outcome(self.job.run, self.job.attempt_id, Status.FAILED, self.started, 0.0,
                       error=f"{lost}, twice", folder=keep_failed(self.job))

    def failed_before_start(self, error: OSError) -> Outcome:
        """The attempt could not be set up (disk full, an upstream value gone): a failure of
        this run, reported like any other."""
        job = self.job
        if not os.path.isdir(job.attempt):
            return self.outcome(Status.FAILED, error=f"could not start the run: {error}")
        try:
            with open(os.path.join(job.attempt, "stderr.log"), "a") as log:
                log.write(f"quarl: could not start the run: {error}\n")
        except OSError:
            pass
        return self.outcome(Status.FAILED, error=f"could not start the run: {error}", folder=keep_failed(job))

    def finish(self, status: int, timed_out: bool, stopping: bool) -> Outcome:
        """The outcome of a worker that exited with `status`: killed at its timeout, or by the
        executor's interrupt (`stopping`), or ended on its own."""
        job = self.job
        outcome = self.outcome
        if timed_out and not stopping:
            return outcome(Status.TIMEOUT, exit_status=status, error=f"timed out after {job.timeout:g} s",
                           folder=keep_failed(job))
        if stopping and status != 0:
            # Killed by the executor's interrupt: an attempt that finished first is kept.
            return self.interrupted(status)
        result_path = os.path.join(job.attempt, "result.json")
        record = _read_record(result_path)
        value_path = os.path.join(job.attempt, "value.json")
        if status == 0 and record is not None and record.get("ok") is True and os.path.exists(value_path):
            try:
                _publish(job, record, self.started, time.monotonic() - self.clock)
            except OSError as error:
                return outcome(Status.FAILED, exit_status=status, error=f"could not publish the run: {error}",
                               folder=keep_failed(job))
            return outcome(Status.SUCCEEDED, exit_status=status, result_type=record.get("result_type"),
                           folder=job.published)
        if record is not None and record.get("ok") is False:
            reason = str(record.get("error"))
        elif record is None:
            reason = describe_exit(status) + ", leaving no run record"
        elif status != 0:
            reason = describe_exit(status) + " after recording a success"
        else:
            reason = "the worker wrote no value.json"
        return outcome(Status.FAILED, exit_status=status, error=reason, folder=keep_failed(job))


def _make_attempt_folder(path: str) -> None:
    try:
        os.mkdir(path)
    except FileNotFoundError:  # the asset's folder, for its first partition
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.mkdir(path)
    except FileExistsError:  # a leftover of the same attempt (a Dask task rerun after its
        shutil.rmtree(path)  # worker died): ours to replace
        os.mkdir(path)


def _publish(job: Job, record: dict[str, Any], started: float, duration: float) -> None:
    if job.inputs is not None:
        try:
            os.unlink(os.path.join(job.attempt, "input.json"))
        except FileNotFoundError:
            pass
    # No reader looks into an attempt folder: its files are written in place, and the rename
    # that publishes the folder makes them visible whole.
    # The worker named its value by the attempt folder; once published, it lies elsewhere.
    record["value_path"] = job.value_path
    with open(os.path.join(job.attempt, "result.json"), "wb") as file:
        file.write(_compact(record))
    run_record = {**job.record, "attempt": job.attempt_id, "started": started,
                  "duration": round(duration, 6), **layout.value_stamp(job.attempt)}
    with open(os.path.join(job.attempt, "run.json"), "wb") as file:
        file.write(_compact(run_record))
    layout.publish(job.attempt, job.published)


def _compact(value: Any) -> bytes:
    # The layout the worker's own records have: compact, keys sorted, UTF-8.
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()


def keep_failed(job: Job) -> str:
    """The failed attempt becomes the run's last failure, replacing the one before; returns
    where its files are."""
    try:
        layout.replace_folder(job.attempt, job.failed)
    except OSError:
        return job.attempt  # left where it is, and named so in the outcome
    return job.failed
