"""The loop of `quarl run`: hands ready runs to the executor, takes their outcomes, records them,
skips what depends on a failure, and stops cleanly when interrupted.

A run is decided when everything it consumes is decided, in plan order: it is skipped when an
upstream run failed; it is up to date when its published run was made from the basis it would
be made from now (its code, its upstream values' digests, the files it reads: freshness.py),
so that an upstream run that came out byte for byte the same leaves it as it is; otherwise it
is started.
A failed attempt is tried again as its asset's retry policy says (quarl.retry, else --retries),
when its failure is worth it.
Runs of an asset that asks for batches (quarl.batch, or --isolation batch for every asset) are
started several at a time, one after another in one process.
"""

from __future__ import annotations

import contextlib
import enum
import heapq
import math
import os
import secrets
import signal
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Protocol

from quarl import contract
from quarl.run.executors.base import Attempts, Executor, Job, Outcome
from quarl.run.freshness import FileDigests, Outside, basis_of, input_digest
from quarl.run.history import AttemptRecord, History, HistoryError
from quarl.run.plan import Basis, Plan, Run, fingerprint, partition_object
from quarl.run.retry import RetryPolicy, not_retried
from quarl.run.status import Status, failure_log
from quarl.run.storage import Place, Storage


@dataclass
class RunResult:
    run: Run
    status: Status
    duration: float | None = None
    result_type: str | None = None
    error: str | None = None
    folder: str | None = None  # the published folder, or the failed attempt's
    attempts: int = 0
    inputs_unchanged: bool = False  # up to date although an upstream run was made again

    @property
    def log(self) -> str | None:
        return failure_log(self.status, self.folder)


@dataclass(frozen=True)
class Options:
    force: bool = False
    timeout: float | None = None
    retries: int = 0
    retry_delay: float = 1.0  # before the first retry, doubled before each next one
    fail_fast: bool = False
    batch: bool = False  # every asset's runs in batches, sized to share them among the slots


class Display(Protocol):
    def started(self, run: Run, attempt: int) -> None: ...

    def finished(self, result: RunResult) -> None: ...


class Stop(enum.Enum):
    """Whether the loop still starts runs."""

    NO = "no"
    FAIL_FAST = "fail fast"  # a run failed under --fail-fast: what runs ends, nothing starts
    INTERRUPTED = "interrupted"  # Ctrl-C or SIGTERM: every worker is killed
    FATAL = "fatal"  # the history or the executor failed: every worker is killed


class Decision(enum.Enum):
    """What becomes of a run once everything it consumes is decided."""

    READY = "ready"
    UP_TO_DATE = "up to date"
    SKIPPED = "skipped"  # an upstream run failed
    NOT_STARTED = "not started"  # the loop is stopping, or an upstream run did not run


class Scheduler:
    def __init__(self, plan: Plan, selection: Sequence[int], forced: set[int], out: str | Storage,
                 executor: Executor, history: History, invocation: int, display: Display,
                 options: Options, out_as_typed: str | None = None, outside: Outside | None = None) -> None:
        self.plan = plan
        self.selection = list(selection)
        self.forced = forced
        if isinstance(out, str):  # an absolute folder
            from quarl.run.storage.local import LocalStorage

            self.storage: Storage = LocalStorage(out, out_as_typed)
        else:
            self.storage = out
        self.attempts = Attempts(executor, self.storage, overlap=not options.fail_fast)
        self.history = history
        self.invocation = invocation
        self.display = display
        self.options = options
        self.results: dict[int, RunResult] = {}
        # The attempt now published for each decided run, which its consumers record, and its
        # value, which they read.
        self.published_attempt: dict[int, str | None] = {}
        self.values: dict[int, contract.Value] = {}
        self.stop = Stop.NO
        self.reason: str | None = None  # why a fatal stop happened
        self.history_failed = False
        self.tries: dict[int, int] = {}
        self._retries: list[tuple[float, int]] = []  # (when, run index): failed runs to try again
        self._failures: dict[int, RunResult] = {}  # their last results, theirs should no retry come
        # Runs whose last attempt did not succeed: their published value, if any, is older.
        self._unfinished = history.unfinished()
        self._selected = set(self.selection)
        self._waiting = {i: len(set(plan.runs[i].upstream())) for i in self.selection}
        self._ready = [i for i, count in self._waiting.items() if count == 0]
        heapq.heapify(self._ready)
        self._pending: list[AttemptRecord] = []
        self._pending_since = 0.0
        self._paths: dict[int, Place] = {}
        self._shapes: dict[tuple[str, bool], str | None] = {}  # why an asset's runs cannot be published
        self.outside = outside or Outside(os.getcwd(), FileDigests())
        self._bases: dict[int, tuple[Basis, str]] = {}  # a decided run's basis and its fingerprint
        self._batch_sizes: dict[str, int] = {}  # asset key: runs a process makes at most

    @property
    def interrupted(self) -> bool:
        return self.stop is Stop.INTERRUPTED

    # --- deciding -------------------------------------------------------------------------------

    def paths(self, run: Run) -> Place:
        paths = self._paths.get(run.index)
        if paths is None:
            paths = self._paths[run.index] = self.storage.place(run.asset.key, run.partition)
        return paths

    def _partition_name(self, run: Run) -> str:
        """The partition as the history names it: its folder's name, "" when unpartitioned."""
        return self.paths(run).name if run.partition else ""

    def _consumed(self, run: Run) -> list[str | None]:
        return [self.published_attempt.get(index) for index in run.upstream()]

    def _basis(self, run: Run) -> tuple[Basis, str]:
        """What the run would be made from now, once its upstream runs are decided, and its
        fingerprint."""
        basis = basis_of(run, lambda i: input_digest(self.values[i], self.plan.runs[i]), self.outside)
        self._bases[run.index] = made = (basis, fingerprint(basis))
        return made

    def _up_to_date(self, run: Run) -> bool:
        published = self.storage.published_run(self.paths(run))
        if published is None:
            return False
        record, value = published
        if record.fingerprint != self._bases[run.index][1]:
            return False
        self.published_attempt[run.index] = record.attempt
        self.values[run.index] = value
        return True

    def _job(self, run: Run) -> Job:
        paths = self.paths(run)
        attempt_id = secrets.token_hex(6)
        partition = partition_object(run.partition)
        inputs: dict[str, Any] = {dim: {"value": value} for dim, value in partition.items()}
        for item in run.inputs:
            if item.pinned:
                inputs[item.parameter] = self.values[item.upstream[0]]
            else:
                inputs[item.parameter] = [(partition_object(self.plan.runs[i].partition), self.values[i])
                                          for i in item.upstream]
        request = contract.Request(
            attempt=attempt_id, asset=run.asset.key, module=run.asset.module, function=run.asset.function,
            folder=paths.attempt(attempt_id), partition=partition, fingerprint=self._bases[run.index][1],
            basis=self._bases[run.index][0].document(), consumed=self._consumed(run),
            serializer=run.asset.serializer, inputs=inputs,
            checks=[check.request() for check in run.asset.checks],
            upload=self.storage.upload_to(paths, attempt_id))
        return Job(run=run.index, request=request, published=paths.published, failed=paths.failed,
                   timeout=self.options.timeout)

    # --- the loop ---------------------------------------------------------------------------------

    def run(self) -> list[RunResult]:
        with self._stop_on_signals(), contextlib.closing(self.attempts):
            try:
                # The published runs that the loop will ask about, read at once where each
                # read is a request to a server.
                self.storage.read_ahead([self.paths(self.plan.runs[i]) for i in self.selection])
                self._loop()
            except HistoryError as error:
                self._history_failed(error)
            if self.stop in (Stop.INTERRUPTED, Stop.FATAL):
                self._start_ready()  # decides the runs waiting for a retry
                self.attempts.interrupt()
                while self.attempts.busy:
                    self._take(self.attempts.wait(None))
            if not self.history_failed:  # else what is pending is lost: the history said why
                try:
                    self._flush(force=True)
                except HistoryError as error:
                    self._history_failed(error)
        return self.results_in_order

    @property
    def results_in_order(self) -> list[RunResult]:
        """The selection's results in plan order; a run never decided did not start."""
        return [self.results.get(i) or RunResult(self.plan.runs[i], Status.NOT_STARTED) for i in self.selection]

    def _loop(self) -> None:
        while (self._ready or self._retries or self.attempts.busy) and self.stop in (Stop.NO, Stop.FAIL_FAST):
            self._start_ready()
            if self.attempts.busy or self._retries:
                self._take(self.attempts.wait(self._wait_limit()))
            if self.attempts.broken is not None:
                self._fatal(self.attempts.broken)
            self._flush(force=False)

    def _fatal(self, reason: str) -> None:
        if self.stop is not Stop.INTERRUPTED:
            self.stop, self.reason = Stop.FATAL, reason

    def _history_failed(self, error: HistoryError) -> None:
        """The history cannot take the rows: the runs stop, and the command says why at the end,
        even when they were stopping already (interrupted, or done)."""
        self.history_failed = True
        self._fatal(str(error))
        if self.reason is None:
            self.reason = str(error)

    def _start_ready(self) -> None:
        """Starts the failed runs whose retry is due, then decides the runs whose upstream is
        decided, in plan order, while a slot is free."""
        while self._retries and self.stop is not Stop.NO:  # no retry once stopping
            self._decided(self._failures.pop(heapq.heappop(self._retries)[1]))
        while self._retries and self._retries[0][0] <= time.monotonic() and \
                self.attempts.running < self.attempts.slots:
            _, index = heapq.heappop(self._retries)
            del self._failures[index]
            self._start(self.plan.runs[index], self.tries[index] + 1)
        while self._ready and self.stop in (Stop.NO, Stop.FAIL_FAST) and (
                self.stop is Stop.FAIL_FAST or self.attempts.running < self.attempts.slots):
            run = self.plan.runs[heapq.heappop(self._ready)]
            if not self._to_start(run):
                continue
            runs, size = [run], self._batch_size(run)
            # Ready runs of one asset are next to each other in plan order.
            while len(runs) < size and self._ready and self.plan.runs[self._ready[0]].asset.key == run.asset.key:
                other = self.plan.runs[heapq.heappop(self._ready)]
                if self._to_start(other):
                    runs.append(other)
            self._start_batch(runs)

    def _to_start(self, run: Run) -> bool:
        """Decides a run whose upstream is decided; True when it is to be started."""
        decision, broken = self._decide(run)
        occupied = self._occupied(run) if decision is Decision.READY else None
        if occupied is not None:
            result = RunResult(run, Status.FAILED, error=occupied)
            self._record(run, result, None)
            if self.options.fail_fast and self.stop is Stop.NO:
                self.stop = Stop.FAIL_FAST
            self._decided(result)
        elif decision is Decision.READY:
            return True
        elif decision is Decision.SKIPPED:
            assert broken is not None
            result = RunResult(run, Status.SKIPPED, error=f"{broken.run.name} {broken.status}")
            self._record(run, result, None)
            self._decided(result)
        elif decision is Decision.UP_TO_DATE:
            self._decided(RunResult(run, Status.UP_TO_DATE, inputs_unchanged=any(
                self.results[i].status.published for i in run.upstream())))
        else:
            self._decided(RunResult(run, Status(decision.value)))
        return False

    # A batch of --isolation batch makes at most this many runs: enough that a process's start and
    # end cost little per run, few enough that a process killed in the middle (whose runs then run
    # again alone) costs little.
    BATCH_MOST = 128

    def _batch_size(self, run: Run) -> int:
        """How many runs of the run's asset one process makes at most: what quarl.batch() asks
        for; with --isolation batch, the asset's selected runs shared evenly among the slots, in
        batches of BATCH_MOST at most; else 1."""
        key = run.asset.key
        size = self._batch_sizes.get(key)
        if size is None:
            if run.asset.batch is not None:
                size = run.asset.batch
            elif self.options.batch:
                count = sum(1 for i in self.selection if self.plan.runs[i].asset.key == key)
                rounds = math.ceil(count / (self.attempts.slots * self.BATCH_MOST))
                size = math.ceil(count / (self.attempts.slots * rounds))
            else:
                size = 1
            self._batch_sizes[key] = size
        return size

    def _decide(self, run: Run) -> tuple[Decision, RunResult | None]:
        upstream = [self.results[i] for i in run.upstream()]
        broken = next((r for r in upstream if r.status.failed or r.status == Status.SKIPPED), None)
        if broken is not None:
            return Decision.SKIPPED, broken
        if self.stop is not Stop.NO or not all(r.status.usable for r in upstream):
            return Decision.NOT_STARTED, None
        self._basis(run)
        if (run.index in self.forced
                or (self._unfinished and (run.asset.key, self._partition_name(run)) in self._unfinished)
                or not self._up_to_date(run)):
            return Decision.READY, None
        return Decision.UP_TO_DATE, None

    def _occupied(self, run: Run) -> str | None:
        """Why the run cannot be published: its asset's folder holds the asset's other shape (a
        run from before it was partitioned, or partitions from before it was not), which only
        quarl prune may remove. Asked once an asset."""
        shape = (run.asset.key, bool(run.partition))
        if shape not in self._shapes:
            self._shapes[shape] = self.storage.occupied(*shape)
        return self._shapes[shape]

    def _policy(self, run: Run) -> RetryPolicy:
        return run.asset.retry or RetryPolicy(self.options.retries)

    def _take(self, outcomes: list[Outcome]) -> None:
        """Records each outcome; a failure is tried again while its asset's retry policy allows
        and the failure is worth it (the table then says why not), else decided."""
        for outcome in outcomes:
            run = self.plan.runs[outcome.run]
            tries, policy = self.tries[run.index], self._policy(run)
            retry, error = False, outcome.error
            if outcome.status.failed and self.stop is Stop.NO and tries <= policy.times:
                why = not_retried(policy, outcome.error_types)
                retry = why is None
                if why is not None:
                    error = f"{error}; not retried: {why}"
            result = RunResult(run, outcome.status, outcome.duration, outcome.result_type, error,
                               outcome.folder, tries)
            self._record(run, result, outcome)
            if retry:
                delay = (self.options.retry_delay if policy.delay is None else policy.delay) * 2 ** (tries - 1)
                heapq.heappush(self._retries, (time.monotonic() + delay, run.index))
                self._failures[run.index] = result
                continue
            if outcome.status.published:
                self.published_attempt[run.index] = outcome.attempt_id
                assert outcome.value is not None
                self.values[run.index] = outcome.value
            elif outcome.status.failed and self.options.fail_fast and self.stop is Stop.NO:
                self.stop = Stop.FAIL_FAST
            self._decided(result)

    def _decided(self, result: RunResult) -> None:
        self.results[result.run.index] = result
        self.display.finished(result)
        for consumer in self.plan.downstream[result.run.index]:
            if consumer in self._selected:
                self._waiting[consumer] -= 1
                if self._waiting[consumer] == 0:
                    heapq.heappush(self._ready, consumer)

    def _start(self, run: Run, attempt: int) -> None:
        self.tries[run.index] = attempt
        self.display.started(run, attempt)
        self.attempts.submit(self._job(run))

    def _start_batch(self, runs: list[Run]) -> None:
        """Starts the first attempts of runs of one asset, in one process when there are several."""
        for run in runs:
            self.tries[run.index] = 1
            self.display.started(run, 1)
        self.attempts.submit_batch([self._job(run) for run in runs])

    @contextmanager
    def _stop_on_signals(self) -> Iterator[None]:
        """Ctrl-C, or SIGTERM (a CI job cancelled), stops the run: the loop sees the request
        between two steps, so no outcome is ever half recorded."""

        def request_stop(signum: int, frame: object) -> None:
            self.stop = Stop.INTERRUPTED
            self.attempts.wake()

        previous = {sig: signal.signal(sig, request_stop) for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)

    # The history is written in batches, at most FLUSH_SECONDS apart: a commit costs a few
    # milliseconds of syncing, which a thousand short runs would otherwise pay one by one. Should
    # `quarl run` itself be killed, the rows of that last moment are lost, never the published
    # runs (each holds its own run.json).
    FLUSH_SECONDS = 0.5

    def _record(self, run: Run, result: RunResult, outcome: Outcome | None) -> None:
        if not self._pending:
            self._pending_since = time.monotonic()
        self._pending.append(self._row(run, result, outcome))

    def _wait_limit(self) -> float | None:
        """How long the next wait may last: until the pending rows or the next retry are due."""
        flush = self._flush_due()
        dues = [] if flush is None else [flush]
        if self._retries:
            dues.append(self._retries[0][0] - time.monotonic())
        return max(0.0, min(dues)) if dues else None

    def _flush_due(self) -> float | None:
        """How long the next wait may last before the pending rows are due."""
        if not self._pending:
            return None
        return max(0.0, self._pending_since + self.FLUSH_SECONDS - time.monotonic())

    def _flush(self, force: bool) -> None:
        if self._pending and (force or self._flush_due() == 0.0):
            # No row may be ahead of the disk: what the rows name as published is made durable
            # first (one flush for every run published since the last rows).
            try:
                self.storage.make_durable()
            except OSError as error:
                raise HistoryError(f"the runs published cannot be made durable, so the history does not "
                                   f"record them: {error}") from None
            self.history.add(self.invocation, self._pending)
            self._pending = []

    def _row(self, run: Run, result: RunResult, outcome: Outcome | None) -> AttemptRecord:
        return AttemptRecord(asset=run.asset.key, partition=self._partition_name(run),
                       label=run.label, plan_index=run.index,
                       fingerprint=self._bases[run.index][1] if run.index in self._bases else "",
                       status=result.status, started=outcome.started if outcome else time.time(),
                       duration=result.duration, exit_status=outcome.exit_status if outcome else None,
                       error=result.error, result_type=result.result_type, folder=result.folder,
                       checks=outcome.checks if outcome else ())

