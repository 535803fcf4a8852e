"""The life of one attempt of a run, written once for every executor.

An attempt moves through these states, in the orchestrator's own process:

    prepared   its folder and input file made (Attempt.prepare)
    launched   handed to the executor, which starts its worker; the pid once the executor knows it;
               once the worker says it has finished (status 0) and only tears itself down, its
               slot is free for the next run, and the attempt waits for the exit all the same
    exited     the worker ended with an exit status, and whatever it left in its process group
               is killed: only now is anything read or published
    decided    published (succeeded, possibly with a failed check) | check failed (a blocking
               check of the value failed: kept like a failure) | failed | timeout | interrupted;
               a worker lost before it ended (its warm server died) makes a new attempt of the
               same job, once; a worker killed and not reported ended in time is given up on, its
               folder left to it

`Attempts` drives every attempt in flight: it keeps their deadlines, kills their process groups at
a timeout or an interrupt, retries a lost one and publishes the finished ones. An executor only
starts a worker process and reports what became of it (`Launched`, `Finished`, `Exited`,
`Lost`); the fresh, warm and Dask executors differ in nothing else. A `Batch` is one worker that
makes several attempts one after another: each is still prepared, timed, decided and published
as an attempt of its own, once that worker has exited.
"""

from __future__ import annotations

import collections
import enum
import os
import queue
import secrets
import threading
import time
from collections.abc import Callable, Collection, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from typing import IO, TYPE_CHECKING, Any, Protocol, TypeVar

from quarl import contract
from quarl.errors import QuarlError
from quarl.project import FOLDERS_VARIABLE
from quarl.run.executors.processes import describe_exit, kill_group
from quarl.run.retry import CHECK_FAILED
from quarl.run.status import Status, checks_verdict

if TYPE_CHECKING:
    from quarl.run.storage import Storage


@dataclass(frozen=True)
class Job:
    """One run to attempt: the request its process gets, where it is published or kept when it
    fails, and its deadline; nothing of the plan."""

    run: int  # the plan's index of the run, echoed in the outcome
    request: contract.Request  # its folder is the attempt's
    published: str  # absolute paths, or URLs: where the storage publishes and keeps the run
    failed: str
    timeout: float | None = None

    @property
    def attempt_id(self) -> str:
        return self.request.attempt

    @property
    def attempt(self) -> str:
        return self.request.folder


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
    value: contract.Value | None = None  # what a succeeded run published
    # A failure's exception and its bases, most derived first, as its record names them; None
    # when the run ended without one (a timeout, a crash, a lost worker).
    error_types: list[str] | None = None
    checks: tuple[contract.CheckResult, ...] = ()  # the results of the value's checks


# --- what an executor sees and says -----------------------------------------------------------

@dataclass(frozen=True)
class Launch:
    """What an executor needs to start one attempt's worker."""

    key: str  # names the attempt in the executor's reports
    args: tuple[str, ...]  # python -m quarl.worker's arguments
    folder: str  # the attempt folder, where stdout.log and stderr.log take the worker's output
    # Seconds the worker may run, for an executor whose workers may be out of reach when it is
    # time to kill them: a Dask worker makes its runs end by themselves a little after that.
    timeout: float | None = None
    # The request itself when the attempt's folder is scratch that its process uploads from: an
    # executor whose workers see another file system (Dask) makes the folder there instead.
    request: contract.Request | None = None


@dataclass(frozen=True)
class Launched:
    key: str
    pid: int  # leads the worker's process group


@dataclass(frozen=True)
class Finished:
    """The worker says it has finished with this status and only exits now. An executor that
    hears it (the warm servers) may start the next worker at once; the attempt is still decided
    on its Exited."""

    key: str
    status: int


@dataclass(frozen=True)
class Exited:
    key: str
    status: int | None  # the exit status (negative: killed by that signal); None: never started


@dataclass(frozen=True)
class Lost:
    """The process that ran the worker died before the worker ended."""

    key: str
    reason: str
    retry: bool = True  # run once more from the start; False: the executor retried already


Event = Launched | Finished | Exited | Lost


class Executor(Protocol):
    slots: int  # workers it runs at once
    # Why the executor can start nothing more (its cluster is gone), once it is so; the attempts
    # in flight are then reported lost.
    broken: str | None

    def start(self, launch: Launch) -> int | None:
        """Starts the worker; returns its pid when it is known at once (else a Launched report
        may bring it). Raises OSError when it cannot start (a failure of that run),
        ExecutorError when nothing can."""

    def kill(self, keys: Collection[str]) -> None:
        """Ends these attempts whose pid is not known here, without waiting on any process: one
        not started yet never starts, one starting is killed once it has (it then exits, or is
        reported Exited(None))."""

    def wait(self, timeout: float | None) -> list[Event]:
        """What became of the workers, after waiting up to `timeout` for the first report (or
        for wake())."""

    def wake(self) -> None:
        """Makes a pending wait() return; called from a signal handler."""

    def close(self) -> None: ...


T = TypeVar("T")


def collect(done: queue.SimpleQueue[T | None], timeout: float | None) -> list[T]:
    """What an executor's queue of reports holds, after waiting up to `timeout` for the first
    item; a None in the queue is a wake-up."""
    try:
        items = [done.get(timeout=timeout)]
    except queue.Empty:
        return []
    while True:
        try:
            items.append(done.get_nowait())
        except queue.Empty:
            break
    return [item for item in items if item is not None]


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
        env[FOLDERS_VARIABLE] = os.pathsep.join(self.path)
        return env


class ExecutorError(QuarlError):
    """The executor cannot run attempts at all (its servers or its cluster cannot start): the
    command stops with this message instead of failing every run."""


@contextmanager
def open_logs(folder: str) -> Iterator[tuple[IO[bytes], IO[bytes]]]:
    """The worker's standard output and error, open while it is started."""
    with open(os.path.join(folder, "stdout.log"), "wb") as out, \
            open(os.path.join(folder, "stderr.log"), "wb") as err:
        yield out, err


# --- one attempt --------------------------------------------------------------------------------

class State(enum.Enum):
    PREPARED = "prepared"
    LAUNCHED = "launched"
    EXITED = "exited"
    DECIDED = "decided"


# How long a worker killed by its pid may take to be reported ended before its attempt is decided
# without it (given up on).
KILL_GRACE = 10.0
# The same for a worker killed through its executor, whose pid is not known here: a Dask worker
# that answers reports the end at once; one that is frozen or unreachable never does, and its run
# ends by itself a little after its timeout.
REMOTE_GRACE = 2.0


class Attempt:
    """One attempt of a job, from its folder to its outcome."""

    def __init__(self, job: Job, storage: Storage, lost_before: int = 0) -> None:
        self.job = job
        self.storage = storage
        self.lost_before = lost_before  # times a worker of this job was lost already
        self.state = State.PREPARED
        self.started = time.time()
        self.clock = time.monotonic()
        self.pid: int | None = None
        self.exit_status: int | None = None
        self.deadline: float | None = None  # the timeout; then the end of the kill's grace
        self.timed_out = False
        self.kill_sent = False
        self.finished = False  # its worker said it has finished well, and holds no slot
        self.took: float | None = None  # its run's own time, where a batch's records tell it

    @property
    def key(self) -> str:
        return self.job.attempt_id

    def _duration(self) -> float:
        return time.monotonic() - self.clock if self.took is None else self.took

    def outcome(self, status: Status, **details: Any) -> Outcome:
        self.state = State.DECIDED
        return Outcome(self.job.run, self.job.attempt_id, status, self.started, self._duration(), **details)

    def prepare(self) -> Launch:
        """Makes the attempt folder and its input. An OSError here is a failure of the run
        before it starts."""
        self.make_folder()
        return self.launch()

    def make_folder(self) -> None:
        self.storage.prepare(self.job)

    def launch(self) -> Launch:
        job = self.job
        return Launch(self.key, tuple(job.request.arguments()), job.attempt, job.timeout,
                      job.request if job.request.upload is not None else None)

    def overdue(self, now: float) -> bool:
        """Whether its deadline (the timeout, then the end of the kill's grace) has passed."""
        return self.deadline is not None and now >= self.deadline

    def time_out(self) -> None:
        self.timed_out = True

    def launched(self, pid: int | None) -> None:
        """The executor has started the worker (it may still be forking it, or waiting for a
        Dask worker): its time and its deadline count from here, not from the executor's own
        start-up (warm servers starting at the first run)."""
        self.state = State.LAUNCHED
        self.pid = pid
        self.started = time.time()
        self.clock = time.monotonic()
        if self.job.timeout is not None:
            self.deadline = self.clock + self.job.timeout

    def exited(self, status: int | None) -> None:
        # Whatever the worker left behind in its group, which must not write into the folder once
        # it is published, was killed by what reaped the worker, before it did.
        self.state = State.EXITED
        self.exit_status = status

    def discard(self) -> None:
        self.storage.discard(self.job)

    def interrupted(self) -> Outcome:
        self.discard()
        return self.outcome(Status.INTERRUPTED, exit_status=self.exit_status)

    def failed(self, reason: str, status: Status = Status.FAILED, **details: Any) -> Outcome:
        """The attempt failed: its folder, with quarl run's record of it, becomes the run's last
        failure."""
        try:
            self._decide(status, reason)
        except (OSError, QuarlError):
            pass  # no folder, or a full disk: the history has the failure, which is what counts
        return self.outcome(status, exit_status=self.exit_status, error=reason,
                            folder=self.storage.keep_failed(self.job), **details)

    def _decide(self, status: Status, reason: str | None) -> None:
        """Writes quarl run's record of the attempt beside its files."""
        self.storage.write_decision(self.job, contract.decision_record(
            self.key, status, self.started, self._duration(), self.exit_status, reason))

    def failed_before_start(self, error: OSError) -> Outcome:
        """The attempt could not be set up (disk full, an upstream value gone): a failure of
        this run, reported like any other."""
        reason = f"could not start the run: {error}"
        if not os.path.isdir(self.job.attempt):
            return self.outcome(Status.FAILED, error=reason)
        try:
            with open(os.path.join(self.job.attempt, "stderr.log"), "a") as log:
                log.write(f"quarl: {reason}\n")
        except OSError:
            pass
        return self.failed(reason)

    def given_up(self, stopping: bool) -> Outcome:
        """The outcome of an attempt killed (at its timeout, or by an interrupt) and not reported
        ended within the grace. Its worker may live on and write into the attempt folder, which is
        therefore left as it is; the failure kept is a copy of its logs."""
        if stopping:
            return self.outcome(Status.INTERRUPTED)
        return self.outcome(Status.TIMEOUT, error=f"timed out after {self.job.timeout:g} s",
                            folder=self.storage.keep_failed_copy(self.job))

    def judge(self, stopping: bool) -> Outcome | Ready:
        """The outcome of an attempt whose worker has exited (or never started): killed at its
        timeout, or by an interrupt (`stopping`), or ended on its own, as its run's record says;
        or, for one that is to be published, Ready, its decision written beside its files."""
        job, status = self.job, self.exit_status
        if self.timed_out and not stopping:
            return self.failed(f"timed out after {job.timeout:g} s", Status.TIMEOUT)
        if stopping and status != 0:
            # Killed by the interrupt: an attempt that finished first is kept.
            return self.interrupted()
        if status is None:
            return self.failed("the worker did not end when it was killed")
        try:
            record = self._record()
        except (OSError, QuarlError) as error:
            return self.failed(f"could not read the run's record: {error}")
        if record is None:
            return self.failed(describe_exit(status) + ", leaving no run record")
        if record.ok is not False and status != 0:
            return self.failed(describe_exit(status) + " after recording a success")
        return self._by_record(record)

    def judge_in_batch(self, stopping: bool) -> Outcome | Ready | None:
        """The outcome of a run of a batch whose process has exited, as its record says, or Ready;
        None when it has no record (its process died, timed out or was killed before it ended):
        it is to run again, alone. The exit status is the batch's and speaks for none of its
        runs."""
        if self.timed_out and not stopping:
            return self.failed(f"timed out after {self.job.timeout:g} s", Status.TIMEOUT)
        try:
            record = self._record()
        except (OSError, QuarlError) as error:
            return self.failed(f"could not read the run's record: {error}")
        if record is None:
            return self.interrupted() if stopping else None
        return self._by_record(record)

    def _record(self) -> contract.RunRecord | None:
        record = self.storage.attempt_record(self.job)
        if record is not None and record.attempt != self.job.attempt_id:
            return None  # not this attempt's: it cannot speak for it
        return record

    def _by_record(self, record: contract.RunRecord) -> Outcome | Ready:
        job = self.job
        if record.ok is False:
            return self.failed(record.reason, error_types=record.error_types)
        if not (record.published_value and self.storage.value_written(job, record)):
            return self.failed(f"the worker wrote no {record.value_file or 'value file'}")
        checks = tuple(record.checks)
        missing = {c["name"] for c in job.request.checks} - {result.name for result in checks}
        if missing:
            return self.failed(f"the worker recorded no result of the check {', '.join(sorted(missing))}",
                               checks=checks)
        verdict, said = checks_verdict(checks)
        if verdict is Status.CHECK_FAILED:
            # The value stays in the failed attempt's folder, to be looked at; the last good one
            # stays published.
            return self.failed(str(said), Status.CHECK_FAILED, error_types=[CHECK_FAILED, "Exception"],
                               result_type=_result_type(record), checks=checks)
        try:
            self._decide(verdict, said)
        except (OSError, QuarlError) as error:
            return self.failed(f"could not publish the run: {error}", checks=checks)
        return Ready(self, verdict, said, record, checks)


@dataclass(frozen=True)
class Ready:
    """An attempt to publish: how it was decided, and what its process recorded."""

    attempt: Attempt
    verdict: Status
    said: str | None
    record: contract.RunRecord
    checks: tuple[contract.CheckResult, ...]

    def published(self, refused: Exception | None) -> Outcome:
        attempt = self.attempt
        if refused is not None:
            return attempt.failed(f"could not publish the run: {refused}", checks=self.checks)
        folder = attempt.storage.published_folder(attempt.job)
        return attempt.outcome(self.verdict, exit_status=attempt.exit_status, result_type=_result_type(self.record),
                               error=self.said, folder=folder, value=self.record.value(folder), checks=self.checks)


# --- several attempts in one process -----------------------------------------------------------

class Batch:
    """Attempts of runs of one asset that one process makes one after another. To its executor
    it is one worker: one launch, one pid, one exit, one process group. Each run keeps its own
    attempt: its folder, logs, record, deadline and decision.

    The process says nothing of its progress but the runs' records: a run has ended once its
    run.json is in its folder, and the next one started then, which is where that one's deadline
    counts from. A run whose deadline passes times out, and the process is killed with it.

    Once the process has exited and its group is killed, each run is decided by its record. A
    run without one (the process died, was killed, or timed out in another run before it ended)
    fails nothing for good: it is run again alone, in a process of its own."""

    def __init__(self, attempts: Sequence[Attempt]) -> None:
        self.attempts = list(attempts)
        self.key = f"batch-{self.attempts[0].key}"
        self.state = State.PREPARED
        self.pid: int | None = None
        self.exit_status: int | None = None
        self.deadline: float | None = None  # the running run's; then the end of the kill's grace
        self.timed_out = False
        self.kill_sent = False
        self.finished = False
        self._current = 0  # the first run not known to have ended

    def launch(self) -> Launch:
        """What starts the process; OSError when the batch cannot be written."""
        timeouts = [attempt.job.timeout for attempt in self.attempts]
        return Launch(self.key, tuple(contract.batch_arguments([a.job.request for a in self.attempts])),
                      self.attempts[0].job.attempt,
                      None if None in timeouts else sum(t for t in timeouts if t is not None))

    def launched(self, pid: int | None) -> None:
        self.state = State.LAUNCHED
        self.pid = pid
        for attempt in self.attempts:
            attempt.state, attempt.pid = State.LAUNCHED, pid
        self.attempts[0].launched(pid)
        self.deadline = self.attempts[0].deadline

    def overdue(self, now: float) -> bool:
        if self.deadline is None or now < self.deadline:
            return False
        if not self.kill_sent:
            self._follow(now)
        return self.deadline is not None and now >= self.deadline

    def _follow(self, now: float) -> None:
        """Moves on to the run that is running now, the one after the last run whose record is
        there, and takes its deadline. The last run keeps its deadline once it has ended too: a
        process that outlives its last run by that much is killed."""
        wall = time.time()
        while self._current < len(self.attempts) - 1:
            ended = _ended_at(self.attempts[self._current].job.attempt)
            if ended is None:
                break
            self._current += 1
            attempt = self.attempts[self._current]
            attempt.started, attempt.clock = ended, now - (wall - ended)
            if attempt.job.timeout is not None:
                attempt.deadline = attempt.clock + attempt.job.timeout
        self.deadline = self.attempts[self._current].deadline

    def time_out(self) -> None:
        self.timed_out = True
        running = self.attempts[self._current]
        if _ended_at(running.job.attempt) is None:
            running.timed_out = True

    def exited(self, status: int | None) -> None:
        self.state = State.EXITED
        self.exit_status = status
        for attempt in self.attempts:
            attempt.exited(status)

    def discard(self) -> None:
        for attempt in self.attempts:
            attempt.discard()

    def failed_before_start(self, error: OSError) -> list[Outcome]:
        return [attempt.failed_before_start(error) for attempt in self.attempts]

    def judge(self, stopping: bool) -> tuple[list[Outcome | Ready], list[Attempt]]:
        """Each run decided by its record (or Ready to publish), and the new attempts of those to
        run again alone."""
        self._times()
        judged: list[Outcome | Ready] = []
        alone = []
        for attempt in self.attempts:
            found = attempt.judge_in_batch(stopping)
            if found is None:
                attempt.discard()
                alone.append(Attempt(_renewed(attempt.job), attempt.storage))
            else:
                judged.append(found)
        return judged, alone

    def _times(self) -> None:
        """Each ended run's start and time, from the records: it started when the run before it
        ended."""
        started = self.attempts[0].started
        for attempt in self.attempts:
            ended = _ended_at(attempt.job.attempt)
            attempt.started = started
            if ended is None:
                break
            attempt.took = max(0.0, ended - started)
            started = ended

    def given_up(self, stopping: bool) -> tuple[list[Outcome], list[Attempt]]:
        """Killed and not reported ended within the grace: the process may live on and write
        into the attempt folders, which are left to it. The run that timed out keeps a copy of
        its logs; the others run again alone, in new attempts."""
        if stopping:
            return [attempt.outcome(Status.INTERRUPTED) for attempt in self.attempts], []
        decided, alone = [], []
        for attempt in self.attempts:
            if attempt.timed_out:
                decided.append(attempt.given_up(False))
            else:
                alone.append(Attempt(_renewed(attempt.job), attempt.storage))
        return decided, alone


def _ended_at(folder: str) -> float | None:
    """When the run in FOLDER wrote its record, if it has."""
    try:
        return os.stat(os.path.join(folder, contract.RUN_RECORD)).st_mtime
    except OSError:
        return None


def _renewed(job: Job) -> Job:
    """The same job in a new attempt, with a folder of its own."""
    return replace(job, request=job.request.renewed(secrets.token_hex(6)))


Worker = Attempt | Batch  # what an executor runs as one process


class Committer:
    """Publishes attempts in a thread of its own, in batches: while one batch waits for the disk,
    the attempts that become ready gather into the next, which then pays for the disk once, and
    the scheduler's thread goes on starting runs meanwhile (group commit). A batch takes every
    attempt ready when it begins, so a lone run waits for nobody."""

    def __init__(self, storage: Storage, wake: Callable[[], None]) -> None:
        self.storage = storage
        self._wake = wake
        self._changed = threading.Condition()
        self._waiting: list[Ready] = []
        self._publishing = 0
        self._done: list[Outcome] = []
        self._thread: threading.Thread | None = None
        self._closed = False

    def submit(self, ready: Sequence[Ready]) -> None:
        with self._changed:
            self._waiting.extend(ready)
            if self._thread is None:
                self._thread = threading.Thread(target=self._loop, name="quarl-commit", daemon=True)
                self._thread.start()
            self._changed.notify_all()

    @property
    def pending(self) -> bool:
        """Some attempt is waiting to be published, being published, or published and not yet
        handed back."""
        with self._changed:
            return bool(self._waiting or self._publishing or self._done)

    def take(self) -> list[Outcome]:
        """The outcomes of the attempts published (or refused) since the last call."""
        with self._changed:
            done, self._done = self._done, []
        return done

    def _loop(self) -> None:
        while True:
            with self._changed:
                while not self._waiting and not self._closed:
                    self._changed.wait()
                if not self._waiting:
                    return
                batch, self._waiting = self._waiting, []
                self._publishing = len(batch)
            try:
                refused: Sequence[Exception | None] = self.storage.publish([item.attempt.job for item in batch])
            except Exception as error:  # a fault of ours: each run of the batch fails with it
                refused = [error] * len(batch)
            outcomes = [item.published(why) for item, why in zip(batch, refused)]
            with self._changed:
                self._done.extend(outcomes)
                self._publishing = 0
            self._wake()

    def close(self) -> None:
        """Publishes what waits, then ends the thread."""
        with self._changed:
            self._closed = True
            self._changed.notify_all()
            thread = self._thread
        if thread is not None:
            thread.join()


# --- every attempt in flight ------------------------------------------------------------------

class Attempts:
    """The attempts in flight on one executor, driven from the scheduler's thread.

    `wait` hands back outcomes as attempts are decided. With `overlap`, an attempt whose worker
    exited with status 0 is decided at the next call instead, and published by the committer's
    thread, with those that are ready with it: the scheduler gives the freed slot its next run
    first, and the publication overlaps that run.

    A batch (`submit_batch`) is one worker for several attempts. The runs a batch leaves
    undecided wait here for a slot, ahead of anything the scheduler submits, and run alone."""

    def __init__(self, executor: Executor, storage: Storage, overlap: bool = True) -> None:
        self.executor = executor
        self.storage = storage
        self.slots = executor.slots
        self.overlap = overlap
        self._flight: dict[str, Worker] = {}  # every worker whose attempts are not yet decided, by key
        self._decided: list[Outcome] = []  # decided, not yet handed back
        self._given_up: dict[str, Worker] = {}  # decided without their worker's end, by key
        self._alone: collections.deque[Attempt] = collections.deque()  # left by batches, to start
        self._committer = Committer(storage, executor.wake)
        self._stopping = False
        self._woken = False
        self._freed = False  # a slot came free during this wait

    @property
    def busy(self) -> bool:
        """Some attempt is not handed back yet."""
        return bool(self._flight or self._decided or self._alone or self._committer.pending)

    def close(self) -> None:
        self._committer.close()

    @property
    def running(self) -> int:
        """Workers that hold a slot (they have neither exited nor said that they have finished),
        and attempts waiting for one."""
        return sum(1 for w in self._flight.values() if w.state is not State.EXITED and not w.finished) + \
            len(self._alone)

    def submit(self, job: Job) -> None:
        self._start(Attempt(job, self.storage))

    def submit_batch(self, jobs: Sequence[Job]) -> None:
        """Starts the runs of JOBS (of one asset) one after another in one worker. Runs whose
        files go to an object store each have a process of their own: a batch's worker makes
        its runs' folders on this machine only."""
        if self._stopping or len(jobs) == 1 or any(job.request.upload is not None for job in jobs):
            for job in jobs:
                self.submit(job)
            return
        attempts = []
        for job in jobs:
            attempt = Attempt(job, self.storage)
            try:
                attempt.make_folder()
            except OSError as error:
                self._decided.append(attempt.failed_before_start(error))
            else:
                attempts.append(attempt)
        if len(attempts) == 1:
            self._launch(attempts[0], attempts[0].launch)
        elif attempts:
            batch = Batch(attempts)
            self._launch(batch, batch.launch)

    @property
    def broken(self) -> str | None:
        """Why nothing more can start or be published (the executor's cluster is gone, the
        storage's lease is lost), once it is so."""
        return self.executor.broken or self.storage.broken

    def _start(self, attempt: Attempt) -> None:
        if self._stopping:
            self._decided.append(attempt.outcome(Status.INTERRUPTED))
            return
        self._launch(attempt, attempt.prepare)

    def _launch(self, worker: Worker, prepare: Callable[[], Launch]) -> None:
        try:
            launch = prepare()
            self._flight[worker.key] = worker
            worker.launched(self.executor.start(launch))
        except ExecutorError:
            self._flight.pop(worker.key, None)
            worker.discard()
            raise
        except OSError as error:
            self._flight.pop(worker.key, None)
            failed = worker.failed_before_start(error)
            self._decided.extend(failed if isinstance(failed, list) else [failed])

    def _start_alone(self) -> None:
        """Starts the attempts that batches left, while slots are free."""
        while self._alone and self.running - len(self._alone) < self.slots:
            self._start(self._alone.popleft())

    def wait(self, timeout: float | None) -> list[Outcome]:
        """The outcomes that are in, after waiting up to `timeout` for the first; or none, as
        soon as a worker has finished or exited and its slot is free for the next run."""
        self._finish_exited()
        self._start_alone()
        self._decided.extend(self._committer.take())
        self._freed = False
        end = None if timeout is None else time.monotonic() + timeout
        while not self._decided:
            now = time.monotonic()
            limit = min((t for t in (end, *(w.deadline for w in self._flight.values())) if t is not None),
                        default=None)
            if limit is None and not self._flight and not self._committer.pending:
                break  # nothing to wait for
            # The committer wakes the executor's wait once it has published a batch.
            for event in self.executor.wait(None if limit is None else max(0.0, limit - now)):
                self._take(event)
            self._check_deadlines()
            self._start_alone()
            self._decided.extend(self._committer.take())
            if self._woken or self._freed or any(w.state is State.EXITED for w in self._flight.values()):
                break
            if end is not None and time.monotonic() >= end:
                break
        self._woken = False
        done, self._decided = self._decided, []
        return done

    def _finish_exited(self) -> None:
        self._finish([w for w in self._flight.values() if w.state is State.EXITED])

    def _finish(self, workers: Sequence[Worker]) -> None:
        """Decides the attempts of workers that have exited; those to publish go to the committer
        together, which publishes them in one batch, or with others that are ready by then."""
        ready = []
        for worker in workers:
            del self._flight[worker.key]
            if isinstance(worker, Batch):
                judged, alone = worker.judge(self._stopping)
                self._alone += alone
            else:
                judged = [worker.judge(self._stopping)]
            ready += [item for item in judged if isinstance(item, Ready)]
            self._decided += [item for item in judged if not isinstance(item, Ready)]
        if ready:
            self._committer.submit(ready)

    def _take(self, event: Event) -> None:
        worker = self._flight.get(event.key)
        if worker is None:
            self._late(event)
            return
        if isinstance(event, Launched):
            worker.pid = event.pid
            if worker.kill_sent:
                kill_group(event.pid)
        elif isinstance(event, Finished):
            # A failure holds its slot until it is decided: under --fail-fast nothing starts
            # before that.
            if event.status == 0 and not worker.finished:
                worker.finished = self._freed = True
        elif isinstance(event, Exited):
            worker.exited(event.status)
            if not self.overlap or event.status != 0 or worker.timed_out:
                self._finish([worker])
        else:
            self._lost(worker, event)

    def _late(self, event: Event) -> None:
        """A report on a worker given up on: a worker that says its pid only now is killed; the
        folders left to the worker go once it has exited. (A lost one may live on, on a Dask
        worker that the scheduler no longer reaches: its folders are left to the next run's
        recovery.)"""
        worker = self._given_up.get(event.key)
        if worker is None:
            return
        if isinstance(event, Launched):
            kill_group(event.pid)
            return
        if isinstance(event, Finished):
            return
        del self._given_up[event.key]
        if isinstance(event, Exited):
            worker.discard()

    def _lost(self, worker: Worker, event: Lost) -> None:
        del self._flight[worker.key]
        if worker.pid is not None:
            kill_group(worker.pid)  # it lives on in its own group: it must not outlive its run
        attempts = worker.attempts if isinstance(worker, Batch) else [worker]
        for attempt in attempts:
            if self._stopping:
                self._decided.append(attempt.interrupted())
            elif self.executor.broken is None and not attempt.lost_before and (
                    event.retry or isinstance(worker, Batch)):
                # A batch's runs, whatever the executor did about it, then run alone.
                attempt.discard()
                self._alone.append(Attempt(attempt.job, self.storage, lost_before=1))
            else:
                self._decided.append(attempt.failed(f"{event.reason}, twice" if event.retry else event.reason))
        self._start_alone()

    def _check_deadlines(self) -> None:
        now = time.monotonic()
        for worker in list(self._flight.values()):
            if worker.state is State.EXITED or not worker.overdue(now):
                continue
            if not worker.kill_sent:
                worker.time_out()
                self._kill([worker])
            if worker.overdue(now):
                # Killed, and not reported ended: decided without it.
                del self._flight[worker.key]
                self._given_up[worker.key] = worker
                if isinstance(worker, Batch):
                    decided, alone = worker.given_up(self._stopping)
                    self._decided += decided
                    self._alone += alone
                else:
                    self._decided.append(worker.given_up(self._stopping))

    def _kill(self, workers: list[Worker]) -> None:
        unknown = []
        now = time.monotonic()
        for worker in workers:
            worker.kill_sent = True
            if worker.pid is not None:
                worker.deadline = now + KILL_GRACE
                kill_group(worker.pid)
            else:
                worker.deadline = now + REMOTE_GRACE
                unknown.append(worker.key)
        if unknown:
            self.executor.kill(unknown)

    def wake(self) -> None:
        self._woken = True
        self.executor.wake()

    def interrupt(self) -> None:
        """Kills every worker; their attempts end as interrupted and nothing new starts."""
        self._stopping = True
        while self._alone:
            self._start(self._alone.popleft())
        self._kill([w for w in self._flight.values() if w.state is not State.EXITED])
        self._check_deadlines()


# --- files --------------------------------------------------------------------------------------

def _result_type(record: contract.RunRecord) -> str | None:
    """The value's type as tables show it, with its format when that is not JSON:
    "DataFrame (parquet)"."""
    kind, stored = record.result_type, record.format
    return kind if stored == "json" or kind is None else f"{kind} ({stored})"
