"""The plan as a graph: assets as nodes with their partition counts, inputs as edges, each
coloured by its last status when there is a history, and marked stale (a dashed orange outline,
with the count of its stale runs) when the next quarl run would make some of its runs again."""

from __future__ import annotations

import shutil
import subprocess
from collections.abc import Iterable
from typing import Protocol

from quarl.errors import QuarlError
from quarl.run.plan import Plan
from quarl.run.status import Status
from quarl.run.text import printable

# The worst status of an asset's runs is the asset's.
_SEVERITY = (Status.SUCCEEDED, Status.WARNED, Status.INTERRUPTED, Status.SKIPPED, Status.CHECK_ERROR,
             Status.TIMEOUT, Status.CHECK_FAILED, Status.FAILED)
_FILL = {Status.SUCCEEDED: "#d3f2d6", Status.WARNED: "#fff1c2", Status.INTERRUPTED: "#fff1c2",
         Status.SKIPPED: "#e8e8e8", Status.CHECK_ERROR: "#f8d0d0", Status.TIMEOUT: "#f8d0d0",
         Status.CHECK_FAILED: "#f8d0d0", Status.FAILED: "#f8d0d0"}
_STROKE = {Status.SUCCEEDED: "#2e7d32", Status.WARNED: "#b08900", Status.INTERRUPTED: "#b08900",
           Status.SKIPPED: "#8a8a8a", Status.CHECK_ERROR: "#c62828", Status.TIMEOUT: "#c62828",
           Status.CHECK_FAILED: "#c62828", Status.FAILED: "#c62828"}


def _class(status: Status) -> str:
    """A status as a mermaid class name: "check failed" -> check_failed."""
    return status.replace(", ", "_").replace(" ", "_")


class GraphvizError(QuarlError):
    pass


class _Attempt(Protocol):
    @property
    def asset(self) -> str: ...

    @property
    def status(self) -> Status: ...


def asset_statuses(attempts: Iterable[_Attempt]) -> dict[str, Status]:
    statuses: dict[str, Status] = {}
    for attempt in attempts:
        if attempt.status not in _SEVERITY:
            continue
        known = statuses.get(attempt.asset)
        if known is None or _SEVERITY.index(attempt.status) > _SEVERITY.index(known):
            statuses[attempt.asset] = attempt.status
    return statuses


_STALE = "#e65100"


def _label(plan: Plan, index: int, stale: dict[str, int]) -> str:
    asset = plan.assets[index]
    lines = [printable(asset.key)]
    if asset.partitioned:
        count = len(asset.partitions())
        lines.append(f"{count} partition{'' if count == 1 else 's'}")
    if stale.get(asset.key):
        lines.append("stale" if not asset.partitioned else f"{stale[asset.key]} stale")
    return "\n".join(lines)


def _edges(plan: Plan) -> list[tuple[int, int, str]]:
    position = {asset.ref: i for i, asset in enumerate(plan.assets)}
    return [(position[ref], i, printable(parameter)) for i, asset in enumerate(plan.assets)
            for parameter, ref in asset.inputs]


def mermaid(plan: Plan, statuses: dict[str, Status], stale: dict[str, int] | None = None) -> str:
    stale = stale or {}
    lines = ["flowchart LR"]
    for i in range(len(plan.assets)):
        text = _label(plan, i, stale).replace('"', "#quot;").replace("\n", "<br/>")
        lines.append(f'    n{i}["{text}"]')
    for upstream, consumer, parameter in _edges(plan):
        lines.append(f"    n{upstream} -->|{parameter}| n{consumer}")
    for status in _SEVERITY:
        members = [f"n{i}" for i, asset in enumerate(plan.assets) if statuses.get(asset.key) == status]
        if members:
            lines.append(f"    classDef {_class(status)} fill:{_FILL[status]},stroke:{_STROKE[status]}")
            lines.append(f"    class {','.join(members)} {_class(status)}")
    marked = [f"n{i}" for i, asset in enumerate(plan.assets) if stale.get(asset.key)]
    if marked:
        lines.append(f"    classDef stale stroke:{_STALE},stroke-width:2px,stroke-dasharray:5 5")
        lines.append(f"    class {','.join(marked)} stale")
    return "\n".join(lines) + "\n"


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def dot(plan: Plan, statuses: dict[str, Status], stale: dict[str, int] | None = None) -> str:
    stale = stale or {}
    lines = ["digraph quarl {", "    rankdir=LR;",
             '    node [shape=box, style="rounded,filled", fillcolor="#ffffff", fontname="Helvetica"];',
             '    edge [fontname="Helvetica", fontsize=10];']
    for i, asset in enumerate(plan.assets):
        status = statuses.get(asset.key)
        colours = f", fillcolor={_quoted(_FILL[status])}, color={_quoted(_STROKE[status])}" if status else ""
        if stale.get(asset.key):
            colours += f', color={_quoted(_STALE)}, style="rounded,filled,dashed", penwidth=2'
        lines.append(f"    n{i} [label={_quoted(_label(plan, i, stale))}{colours}];")
    for upstream, consumer, parameter in _edges(plan):
        lines.append(f"    n{upstream} -> n{consumer} [label={_quoted(parameter)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def render_svg(dot_text: str) -> str:
    program = shutil.which("dot")
    if program is None:
        raise GraphvizError("--format svg needs Graphviz's `dot`, which is not installed: "
                              "apt-get install graphviz (Debian, Ubuntu), dnf install graphviz "
                              "(Fedora) or brew install graphviz (macOS); or print --format dot")
    done = subprocess.run([program, "-Tsvg"], input=dot_text.encode(), capture_output=True)
    if done.returncode != 0:
        raise GraphvizError(f"dot failed: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout.decode()
