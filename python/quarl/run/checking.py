"""`quarl check`: the checks of published values evaluated again, without running their assets;
and what a check's last result says of the value published now.

The values are read and the checks run in one child process (`python -m quarl.checker`): user
code never runs in quarl's own. Each result is recorded in the history against the attempt whose
value it was evaluated on, under an invocation of its own.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from collections import Counter
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any

from quarl.contract import CheckResult, checks_of
from quarl.errors import QuarlError
from quarl.run import layout
from quarl.run.executors.base import WorkerEnvironment
from quarl.run.history import FILE_NAME, CheckRecord, History, Published
from quarl.run.plan import Check, Plan, Run, partition_object
from quarl.run.select import PlanCatalog, resolve
from quarl.run.text import printable


def stale(check: Check, last: CheckRecord | None, published: Published | None) -> str | None:
    """Why the last result of CHECK on a run does not speak for the run's published value now;
    None when it does. A check's code is in its fingerprint, not in its asset's: an edited check
    makes its results stale, never the value."""
    if last is None:
        return "never evaluated"
    if last.result.fingerprint != check.fingerprint:
        return "edited since"
    if published is not None and last.attempt is not None and last.attempt < published.place:
        return f"evaluated on attempt {last.attempt}, before the published value"
    return None


def result_text(result: CheckResult) -> str:
    if result.passed:
        return "passed"
    return "warned" if result.severity == "warn" else "failed"


def summary(checks: Sequence[Check] | None, last: Mapping[str, CheckRecord],
            published: Published | None) -> str:
    """A run's checks in one cell of `quarl status`: the ones that did not pass, or are stale
    (known from the plan's CHECKS, when there is a plan), by name; else how many passed."""
    said, passed = [], 0
    if checks is None:
        for name, record in sorted(last.items()):
            if record.result.passed:
                passed += 1
            else:
                said.append(f"{name} {result_text(record.result)}")
    else:
        for check in checks:
            found = last.get(check.name)
            if stale(check, found, published) is not None:
                said.append(f"{check.name} stale")
            elif found is not None and not found.result.passed:
                said.append(f"{check.name} {result_text(found.result)}")
            else:
                passed += 1
    if said:
        return "; ".join(said)
    return f"{passed} passed" if passed else ""


# --- quarl check ---------------------------------------------------------------------------------

@dataclass(frozen=True)
class Evaluation:
    """One check of one run, as `quarl check` ends it."""

    run: Run
    check: Check
    outcome: str  # passed, failed, warned; not published, unreadable, not evaluated
    result: CheckResult | None = None
    attempt: int | None = None  # the place of the attempt whose value was checked
    message: str | None = None

    @property
    def bad(self) -> bool:
        """It makes the command end with status 1."""
        return self.outcome in ("failed", "unreadable", "not evaluated")


@dataclass(frozen=True)
class CheckReport:
    evaluations: list[Evaluation]
    fresh: int  # checks left alone under --stale: their last result speaks for the value
    exit_status: int


class CheckError(QuarlError):
    pass


def check_project(plan: Plan, out: str, patterns: Sequence[str], only_stale: bool,
                  environment: WorkerEnvironment, command: str) -> CheckReport:
    """Evaluates the checks of the selected runs' published values (with ONLY_STALE, those whose
    last result does not speak for the value) and records the results in OUT's history."""
    from quarl.run.pipeline import locked

    chosen = resolve(PlanCatalog(plan), patterns) if patterns else range(len(plan.runs))
    runs = [plan.runs[i] for i in sorted(chosen) if plan.runs[i].asset.checks]
    if not os.path.exists(os.path.join(out, FILE_NAME)):
        raise CheckError(f"no run history in {out} (quarl run writes it)")
    with locked(out):
        history = History.open(out, create=True)
        assert history is not None
        try:
            return _check(history, runs, os.path.abspath(out), only_stale, environment, command)
        finally:
            history.close()


def _check(history: History, runs: list[Run], out: str, only_stale: bool, environment: WorkerEnvironment,
           command: str) -> CheckReport:
    published = history.published()
    last = history.last_checks()
    evaluations: list[Evaluation] = []
    jobs: list[dict[str, Any]] = []
    asked: list[tuple[Run, str, list[Check], Published | None]] = []
    fresh = 0
    for run in runs:
        paths = layout.RunPaths(out, run.asset.key, run.partition)
        name = paths.name if run.partition else ""  # as the history names the partition
        known = published.get((run.asset.key, name))
        checks = list(run.asset.checks)
        if only_stale:
            own = last.get((run.asset.key, name), {})
            checks = [c for c in checks if stale(c, own.get(c.name), known) is not None]
            fresh += len(run.asset.checks) - len(checks)
        if not checks:
            continue
        found = layout.published_run(paths.published)
        if found is None:
            evaluations.extend(Evaluation(run, check, "not published") for check in checks)
            continue
        record, value = found
        if known is not None and known.fingerprint != record.fingerprint:
            known = None  # the history does not know the attempt that published this value
        jobs.append({"value": value.described(), "partition": partition_object(run.partition),
                     "checks": [check.request() for check in checks]})
        asked.append((run, name, checks, known))
    lines, ended = _evaluate(jobs, environment)
    recorded: list[tuple[int | None, str, str, CheckResult]] = []
    for (run, name, checks, known), line in zip(asked, [*lines, *[None] * (len(asked) - len(lines))]):
        attempt = known.place if known is not None else None
        if line is None:
            evaluations.extend(Evaluation(run, check, "not evaluated", attempt=attempt, message=ended)
                               for check in checks)
        elif "unreadable" in line:
            evaluations.extend(Evaluation(run, check, "unreadable", attempt=attempt, message=line["unreadable"])
                               for check in checks)
        else:
            results = {result.name: result for result in checks_of(line["results"])}
            for check in checks:
                result = results.get(check.name)
                if result is None:
                    evaluations.append(Evaluation(run, check, "not evaluated", attempt=attempt, message=ended))
                    continue
                evaluations.append(Evaluation(run, check, result_text(result), result, attempt, result.message))
                recorded.append((known.id if known is not None else None, run.asset.key, name, result))
    order = {run.index: position for position, run in enumerate(runs)}
    evaluations.sort(key=lambda e: (order[e.run.index], e.check.name))
    exit_status = 1 if any(e.bad for e in evaluations) else 0
    invocation = history.begin(command)
    history.add_checks(invocation, recorded)
    history.finish(invocation, exit_status)
    return CheckReport(evaluations, fresh, exit_status)


def _evaluate(jobs: list[dict[str, Any]], environment: WorkerEnvironment) -> tuple[list[dict[str, Any]], str]:
    """The lines of `python -m quarl.checker` for JOBS, one per job, as far as it got; and, when it
    did not get to the end, how it ended."""
    if not jobs:
        return [], ""
    with tempfile.TemporaryDirectory(prefix="quarl-check-") as folder:
        jobs_path, results_path = os.path.join(folder, "jobs.json"), os.path.join(folder, "results.jsonl")
        with open(jobs_path, "w", encoding="utf-8") as file:
            json.dump(jobs, file, ensure_ascii=False)
        # What the checks print goes to standard error: standard output is the table's.
        done = subprocess.run([environment.python, "-m", "quarl.checker", jobs_path, results_path],
                              cwd=environment.cwd, env=environment.env(), stdin=subprocess.DEVNULL,
                              stdout=sys.stderr.fileno())
        try:
            with open(results_path, encoding="utf-8") as file:
                lines = [json.loads(line) for line in file if line.endswith("\n")]
        except FileNotFoundError:
            lines = []
    ended = f"the process that evaluates the checks ended with status {done.returncode}"
    return lines, ended


# --- the table ---------------------------------------------------------------------------------

COLUMNS = ("asset", "partition", "check", "result", "evaluated on", "message")
OUTCOMES = ("passed", "failed", "warned", "not published", "unreadable", "not evaluated")


def write_report(report: CheckReport, stream: IO[str], as_json: bool = False) -> None:
    if as_json:
        json.dump({"checks": [{
            "asset": e.run.asset.key,
            "partition": partition_object(e.run.partition) if e.run.partition else None,
            "check": e.check.name, "severity": e.check.severity, "blocking": e.check.blocking,
            "result": e.outcome, "attempt": e.attempt, "message": e.message,
            "metadata": e.result.metadata if e.result is not None else None,
        } for e in report.evaluations], "exit_status": report.exit_status}, stream, ensure_ascii=False, indent=2)
        stream.write("\n")
        return
    lines = [(printable(e.run.asset.key), printable(e.run.label), printable(e.check.name), e.outcome,
              f"attempt {e.attempt}" if e.attempt is not None else "", printable(e.message or ""))
             for e in report.evaluations]
    counts = Counter(e.outcome for e in report.evaluations)
    total = len(report.evaluations)
    closing = f"{total} check{'' if total == 1 else 's'}"
    if counts:
        closing += ": " + ", ".join(f"{counts[outcome]} {outcome}" for outcome in OUTCOMES if counts[outcome])
    if report.fresh:
        closing += f"; {report.fresh} up to date, not evaluated again"
    if lines:
        rows = [COLUMNS, *lines]
        used = [i for i in range(len(COLUMNS)) if i < 4 or any(line[i] for line in lines)]
        width = {i: max(len(row[i]) for row in rows) for i in used}
        stream.write("".join("  ".join(row[i].ljust(width[i]) for i in used).rstrip() + "\n" for row in rows))
        stream.write("\n")
    stream.write(closing + "\n")
