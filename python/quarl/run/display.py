"""What `quarl run` shows: live progress on a terminal (rich), else a line per finished run, on
standard error; at the end the table of the runs, or the same as JSON, on standard output."""

from __future__ import annotations

import json
import os
import sys
import time
from collections import Counter
from collections.abc import Collection, Mapping, Sequence
from typing import IO, Any

from quarl.run.history import AttemptRecord
from quarl.run.layout import parse_partition_folder
from quarl.run.plan import Run, partition_object
from quarl.run.scheduler import RunResult
from quarl.run.status import Status, failure_log, last_line
from quarl.run.text import printable


def _seconds(duration: float | None) -> str:
    return "" if duration is None else f"{duration:.2f} s"


def summary(results: Sequence[RunResult]) -> str:
    counts = Counter(result.status for result in results)
    parts = [f"{counts[s]} {_status_text(s)}" for s in Status if counts[s]]
    runs = "1 run" if len(results) == 1 else f"{len(results)} runs"
    return f"{runs}: {', '.join(parts)}" if parts else runs


class LineDisplay:
    """One line per run that was started or skipped, as it ends; up-to-date runs are counted in
    the table at the end."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total = total
        self.stream: IO[str] | None = stream
        self.done = 0

    def started(self, run: Run, attempt: int) -> None:
        if attempt > 1:
            self._say(f"retrying {printable(run.name)} (attempt {attempt})")

    def _say(self, line: str) -> None:
        # Whoever reads the progress may go away (`quarl run ... 2>&1 | head`): the runs go on.
        if self.stream is None:
            return
        try:
            print(line, file=self.stream, flush=True)
        except (BrokenPipeError, ValueError):
            self.stream = None

    def finished(self, result: RunResult) -> None:
        self.done += 1
        if result.status == Status.UP_TO_DATE:
            return
        line = f"[{self.done}/{self.total}] {_status_text(result.status)} {printable(result.run.name)}"
        if result.duration is not None:
            line += f" ({_seconds(result.duration)})"
        if result.error and result.status != Status.SKIPPED:
            line += f": {printable(result.error)}"
        if result.log:
            line += _log_lines(result.log)
        self._say(line)

    def close(self) -> None:
        pass


class LiveDisplay:
    """A progress bar with the counts, and the runs in flight with how long each has run."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        from rich.console import Console, Group
        from rich.live import Live
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
        from rich.table import Table

        self._group, self._table = Group, Table
        self.console = Console(file=stream)
        self.progress = Progress(TextColumn("[bold]quarl run"), BarColumn(), MofNCompleteColumn(),
                                 TextColumn("{task.description}"), TimeElapsedColumn(),
                                 console=self.console)
        self.task = self.progress.add_task("", total=total)
        self.counts: Counter[str] = Counter()
        self.running: dict[int, tuple[Run, float]] = {}
        self.live = Live(self, console=self.console, refresh_per_second=8, transient=True)
        self.live.start()

    def __rich__(self) -> Any:
        table = self._table.grid(padding=(0, 2))
        now = time.monotonic()
        shown = list(self.running.values())[:10]
        for run, since in shown:
            table.add_row("  running", _markup(run.name), f"{now - since:.1f} s")
        if len(self.running) > len(shown):
            table.add_row("", f"and {len(self.running) - len(shown)} more", "")
        return self._group(self.progress, table)

    def started(self, run: Run, attempt: int) -> None:
        self.running[run.index] = (run, time.monotonic())
        self._describe()

    def finished(self, result: RunResult) -> None:
        self.running.pop(result.run.index, None)
        self.counts[result.status] += 1
        if result.status.failed or (result.status.published and result.error):
            colour = _COLOURS.get(result.status, "yellow")
            self.console.print(f"[{colour}]{result.status}[/] {_markup(result.run.name)}: "
                               f"{_markup(result.error or '')}",
                               markup=True, highlight=False, soft_wrap=True)
        self.progress.advance(self.task)
        self._describe()

    def _describe(self) -> None:
        done = sum(n for status, n in self.counts.items() if Status(status).usable)
        failed = sum(n for status, n in self.counts.items() if Status(status).failed)
        self.progress.update(self.task, description=f"done {done} · failed {failed} · "
                             f"skipped {self.counts[Status.SKIPPED]} · running {len(self.running)}")

    def close(self) -> None:
        self.live.stop()


def _markup(text: str) -> str:
    """A project text inside rich markup: shown as it is written, never read as markup."""
    from rich.markup import escape

    return escape(printable(text))


def make_display(total: int, stream: IO[str] = sys.stderr) -> LineDisplay | LiveDisplay:
    if stream.isatty() and os.environ.get("TERM") != "dumb":
        return LiveDisplay(total, stream)
    return LineDisplay(total, stream)


# --- the table at the end ------------------------------------------------------------------------

COLUMNS = ("asset", "partition", "status", "duration", "result", "log")
# quarl status says when each run's last attempt ended, after its duration, and how its checks
# stand (a column left out where no run has checks).
STATUS_COLUMNS = (*COLUMNS[:4], "ended", "checks", *COLUMNS[4:])
_COLOURS = {Status.SUCCEEDED: "green", Status.UP_TO_DATE: "dim", Status.FAILED: "red", Status.TIMEOUT: "red",
            Status.CHECK_FAILED: "red", Status.CHECK_ERROR: "red"}


def _status_text(status: Status) -> str:
    return f"{status} (upstream failed)" if status == Status.SKIPPED else status


def _line(asset: str, label: str, status: Status, duration: float | None, result_type: str | None,
          error: str | None, log: str | None) -> tuple[str, ...]:
    detail = result_type if status == Status.SUCCEEDED else error
    return (printable(asset), printable(label), _status_text(status), _seconds(duration),
            printable(detail or ""), printable(_shown(log)))


def _shown(path: str | None) -> str:
    """A path as short as it can be said: relative when it lies under the current directory."""
    if not path:
        return ""
    if "://" in path:  # on an object store
        return path
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def _log_lines(log: str) -> str:
    """Where a failure's log is, and its last line."""
    tail = last_line(log)
    return f"\n  log: {printable(_shown(log))}" + (f"\n  last line: {printable(tail)}" if tail else "")


def _result_lines(results: Sequence[RunResult]) -> list[tuple[str, ...]]:
    lines = []
    for r in results:
        line = _line(r.run.asset.key, r.run.label, r.status, r.duration, r.result_type, r.error, r.log)
        if r.attempts > 1:
            line = (*line[:2], f"{line[2]} ({r.attempts} attempts)", *line[3:])
        lines.append(line)
    return lines


def _print_table(lines: Sequence[tuple[str, ...]], statuses: Sequence[Status], stream: IO[str],
                 closing: str, note: str = "", columns: Sequence[str] = COLUMNS) -> None:
    """The table, then NOTE (lines that stand for rows left out) and the closing line. The
    last two columns are the result (or error) and the log."""
    used = [i for i in range(len(columns)) if i < 3 or any(line[i] for line in lines)]
    result, log = len(columns) - 2, len(columns) - 1
    if stream.isatty():
        from rich.console import Console
        from rich.markup import escape
        from rich.table import Column, Table

        # On a terminal the names keep their width and a long result is cut to the line; the
        # failures follow the table whole, each with its log.
        shown = [i for i in used if i < log]
        widths = [max(len(line[i]) for line in [columns, *lines]) for i in shown]
        table = Table(*(Column(columns[i], no_wrap=True, min_width=widths[n] if i < result else None)
                        for n, i in enumerate(shown)), box=None, header_style="bold")
        for line, status in zip(lines, statuses):
            colour = _COLOURS.get(status, "yellow")
            table.add_row(*(f"[{colour}]{line[i]}[/]" if i == 2 else escape(line[i]) for i in shown))
        console = Console(file=stream, highlight=False)
        console.print(table)
        if note:
            console.print(note, style="dim", highlight=False)
        for line in lines:
            if line[log]:
                name = line[0] if line[1] == "-" else f"{line[0]}[{line[1]}]"
                console.print(f"\n[red]{line[2]}[/] {escape(name)}: {escape(line[result])}"
                              f"{escape(_log_lines(line[log]))}", markup=True, soft_wrap=True)
        console.print(f"\n{closing}")
        return
    rows = [columns, *lines]
    width = {i: max(len(row[i]) for row in rows) for i in used}
    stream.write("".join("  ".join(row[i].ljust(width[i]) for i in used).rstrip() + "\n" for row in rows))
    if note:
        print(note, file=stream)
    print(f"\n{closing}", file=stream)


def write_results(results: Sequence[RunResult], exit_status: int, stream: IO[str],
                  as_json: bool = False, listed: Collection[int] | None = None) -> None:
    """The table of a run's runs, in plan order, or the same as JSON (every run). With LISTED (the
    runs that --select named), the table lists those and the runs that did not stay up to date;
    the other up-to-date runs, upstream of the selected ones, are one line."""
    if as_json:
        document = {
            "runs": [{
                "asset": r.run.asset.key,
                "partition": partition_object(r.run.partition) if r.run.partition else None,
                "status": r.status, "duration": r.duration, "attempts": r.attempts,
                "result_type": r.result_type, "error": r.error, "folder": r.folder, "log": r.log,
                "inputs_unchanged": r.inputs_unchanged,
            } for r in results],
            "exit_status": exit_status,
        }
        _dump(document, stream)
    else:
        lines = [r for r in results if listed is None or r.run.index in listed
                 or r.status != Status.UP_TO_DATE]
        hidden = len(results) - len(lines)
        unchanged = sum(1 for r in results if r.inputs_unchanged)
        notes = [f"... and {_count(hidden, 'upstream run')} up to date, not listed" if hidden else "",
                 f"{_count(unchanged, 'downstream run')} up to date: inputs unchanged" if unchanged else ""]
        _print_table(_result_lines(lines), [r.status for r in lines], stream, summary(results),
                     "\n".join(filter(None, notes)))


def ended(attempt: AttemptRecord) -> float | None:
    """When an attempt ended, in seconds since the epoch; one that never started (skipped, not
    started, pruned) ended when it was recorded; a run never tried has none."""
    if attempt.status == Status.NEVER_RUN:
        return None
    return attempt.started + (attempt.duration or 0.0)


def clock(seconds: float, now: float) -> str:
    """A time in local time, short: "14:03:07" today, "2024-06-01 14:03" any other day."""
    when = time.localtime(seconds)
    if when[:3] == time.localtime(now)[:3]:
        return time.strftime("%H:%M:%S", when)
    return time.strftime("%Y-%m-%d %H:%M", when)


def write_attempts(attempts: Sequence[AttemptRecord], stream: IO[str], as_json: bool = False,
                   what: str = "in the history", now: float | None = None,
                   checks: Mapping[tuple[str, str], tuple[str, Any]] | None = None,
                   stale: Sequence[Sequence[str]] | None = None) -> None:
    """`quarl status`: the last attempt of every run (WHAT says which runs these are); CHECKS
    holds, for each run that has checks, their cell and their results for --json; STALE, each
    run's reasons to be made again (none: up to date), as a column."""
    checks = checks or {}

    def log(a: AttemptRecord) -> str | None:
        return failure_log(a.status, a.folder)

    if as_json:
        runs: list[dict[str, Any]] = [{
            "asset": a.asset, "partition": parse_partition_folder(a.partition) if a.partition else None,
            "status": a.status, "started": a.started if a.status != Status.NEVER_RUN else None,
            "duration": a.duration, "ended": ended(a), "exit_status": a.exit_status,
            "result_type": a.result_type, "error": a.error, "folder": a.folder, "log": log(a),
            **({"checks": checks[(a.asset, a.partition)][1]} if (a.asset, a.partition) in checks else {}),
        } for a in attempts]
        if stale is not None:
            for run, reasons in zip(runs, stale):
                run.update(state="stale" if reasons else "up to date", reasons=list(reasons))
        _dump({"runs": runs}, stream)
        return
    now = time.time() if now is None else now
    lines = []
    for n, a in enumerate(attempts):
        line = _line(a.asset, a.label, a.status, a.duration, a.result_type, a.error, log(a))
        when = ended(a)
        cell = checks.get((a.asset, a.partition), ("", None))[0]
        state = () if stale is None else (printable(state_text(stale[n])),)
        lines.append((*line[:4], "-" if when is None else clock(when, now), printable(cell), *state,
                      *line[4:]))
    counts = Counter(a.status for a in attempts)
    parts = ", ".join(f"{counts[s]} {_status_text(s)}" for s in Status if counts[s])
    closing = f"{_count(len(attempts), 'run')} {what}" + (f", last attempts: {parts}" if parts else "")
    if stale is not None:
        closing += f"; {sum(1 for reasons in stale if reasons)} stale"
    if not lines:
        print(closing, file=stream)
        return
    columns = STATUS_COLUMNS if stale is None else (*STATUS_COLUMNS[:6], "state", *STATUS_COLUMNS[6:])
    _print_table(lines, [a.status for a in attempts], stream, closing, columns=columns)


def write_dry_run(would: Sequence[tuple[Run, Sequence[str]]], total: int, stream: IO[str],
                  as_json: bool = False) -> None:
    """`quarl run --dry-run`: the runs that would start, in order, and why."""
    if as_json:
        _dump({"runs": [{"asset": run.asset.key,
                         "partition": partition_object(run.partition) if run.partition else None,
                         "reasons": list(reasons)} for run, reasons in would]}, stream)
        return
    closing = (f"{_count(len(would), 'run')} of {total} would start" if would else
               f"nothing to run: {_count(total, 'run')} up to date")
    if not would:
        print(closing, file=stream)
        return
    lines = [(printable(run.asset.key), printable(run.label), printable("; ".join(reasons)))
             for run, reasons in would]
    widths = [max(len(line[i]) for line in [DRY_RUN_COLUMNS, *lines]) for i in range(2)]
    for line in [DRY_RUN_COLUMNS, *lines]:
        print(f"{line[0]:<{widths[0]}}  {line[1]:<{widths[1]}}  {line[2]}".rstrip(), file=stream)
    print(f"\n{closing}", file=stream)


DRY_RUN_COLUMNS = ("asset", "partition", "why")


def state_text(reasons: Sequence[str]) -> str:
    """A run's freshness as tables say it: "up to date", or "stale: " and its reasons."""
    return "stale: " + "; ".join(reasons) if reasons else "up to date"


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _dump(document: object, stream: IO[str]) -> None:
    json.dump(document, stream, ensure_ascii=False, indent=2)
    stream.write("\n")
