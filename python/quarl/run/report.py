"""The project's assets, learnt from `python -m quarl.inspect` in a child process: user code is
never imported into the orchestrator's own."""

from __future__ import annotations

import json
import os
import re
import subprocess
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from quarl import contract
from quarl.errors import QuarlError
from quarl.run.executors.base import WorkerEnvironment


class InspectionError(QuarlError):
    pass


@dataclass(frozen=True)
class Report:
    assets: list[dict[str, Any]]  # the compact records
    imported: list[tuple[str, str | None]]  # the modules the inspection imported: name, file


def inspect(targets: Sequence[str], environment: WorkerEnvironment) -> Report:
    """The compact records of every asset in TARGETS, packages expanded to their submodules,
    and the modules that importing them imported.

    A module that cannot be imported is an error, with the inspector's lines: running the rest
    of a project as if that module had no assets would report a partial run as a whole one."""
    # The report goes to a file of its own: the modules' top-level code may print (each run's
    # log has what it prints again), and standard output is theirs.
    with tempfile.TemporaryDirectory(prefix="quarl-inspect-") as folder:
        report = os.path.join(folder, "report.json")
        record_path = os.path.join(folder, "record.json")
        argv = [environment.python, "-m", "quarl.inspect", "--recursive", "--compact", "--check-serializers",
                "--package-options", "-o", report, "--record", record_path, "--", *targets]
        done = subprocess.run(argv, cwd=environment.cwd, env=environment.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            with open(report, "rb") as file:
                text = file.read()
        except FileNotFoundError:
            text = b""
        record = contract.read_inspection(record_path)
    if done.returncode != 0 or record is None:
        errors = done.stderr.decode("utf-8", "replace")
        said = errors.rstrip() or f"the inspector exited with status {done.returncode}, saying nothing"
        raise InspectionError(f"inspecting {' '.join(targets)} failed:\n{said}")
    if record.skipped:
        lines = [f"quarl: skipping module '{name}': {error}" for name, error in record.skipped]
        raise InspectionError("\n".join([*lines, f"{_count(len(lines), 'module')} could not be imported: "
                                         "fix or leave out what fails above",
                                         *_hints(record.skipped, targets, environment)]))
    try:
        assets: list[dict[str, Any]] = json.loads(text)["assets"]
    except (ValueError, TypeError, KeyError) as error:
        raise InspectionError(f"the inspector's report cannot be read: {error}") from None
    return Report(assets, record.imported)


_MISSING = re.compile(r"ModuleNotFoundError: No module named '([^']*)'$")


def _hints(skipped: Sequence[tuple[str, str]], targets: Sequence[str],
           environment: WorkerEnvironment) -> list[str]:
    """What to do about modules that are not found: a target that is not importable from where
    quarl looks, or a module that the project imports and the environment lacks."""
    missing = dict.fromkeys(m[1] for _, error in skipped if (m := _MISSING.match(error)))
    tops = {target.partition(".")[0] for target in targets}
    hints = []
    for name in missing:
        top = name.partition(".")[0]
        if any(target == name or target.startswith(name + ".") for target in targets):
            given = [p for p in environment.path if p != environment.cwd]
            hints.append(f"{name!r} is not importable from here: quarl imports the targets from the "
                         f"current directory ({environment.cwd}) and each --path DIR "
                         f"({', '.join(given) or 'none given'}), besides what is installed. Run quarl "
                         f"from the project's folder (the one that holds {top}), or name that folder "
                         "with --path DIR.")
        elif top not in tops:
            hints.append(f"{name!r} is not installed where the runs start ({environment.python}): "
                         f"install it there, for example {environment.python} -m pip install {top} "
                         "(the distribution may be named otherwise).")
        # Else a module of the project itself is missing: the inspector's line says it all.
    return hints


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"
