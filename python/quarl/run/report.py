"""The project's assets, learnt from `python -m quarl.inspect` in a child process: user code is
never imported into the orchestrator's own."""

from __future__ import annotations

import json
import os
import re
import subprocess
import tempfile
from collections.abc import Sequence
from typing import Any

from quarl.run.executors.base import WorkerEnvironment

_SKIP_LINE = re.compile(r"^quarl: skipping module '(.*)': ")


class InspectionError(Exception):
    pass


def inspect(targets: Sequence[str], environment: WorkerEnvironment) -> list[dict[str, Any]]:
    """The compact records of every asset in TARGETS, packages expanded to their submodules.

    A module that cannot be imported is an error, with the inspector's lines: running the rest
    of a project as if that module had no assets would report a partial run as a whole one."""
    # The report goes to a file of its own: the modules' top-level code may print (each run's
    # log has what it prints again), and standard output is theirs.
    with tempfile.TemporaryDirectory(prefix="quarl-inspect-") as folder:
        report = os.path.join(folder, "report.json")
        argv = [environment.python, "-m", "quarl.inspect", "--recursive", "--compact",
                "--check-serializers", "-o", report, "--", *targets]
        done = subprocess.run(argv, cwd=environment.cwd, env=environment.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            with open(report, "rb") as file:
                text = file.read()
        except FileNotFoundError:
            text = b""
    errors = done.stderr.decode("utf-8", "replace")
    skipped = [line for line in errors.splitlines() if _SKIP_LINE.match(line)]
    if done.returncode != 0:
        said = errors.rstrip() or f"the inspector exited with status {done.returncode}, saying nothing"
        raise InspectionError(f"inspecting {' '.join(targets)} failed:\n{said}")
    if skipped:
        raise InspectionError("\n".join([*skipped, f"{_count(len(skipped), 'module')} could not be "
                                         "imported: fix or leave out what fails above"]))
    try:
        assets: list[dict[str, Any]] = json.loads(text)["assets"]
    except (ValueError, TypeError, KeyError) as error:
        raise InspectionError(f"the inspector's report cannot be read: {error}") from None
    return assets


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"
