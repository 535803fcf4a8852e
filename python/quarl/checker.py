"""python -m quarl.checker JOBS RESULTS: the checks of published values, for `quarl check`.

A module of its own, not quarl.checks's: the package imports that one, and a module run with -m
must not be imported before it runs.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import Any


def main(argv: Sequence[str] | None = None) -> int:
    """Reads JOBS (a JSON list of {"value", "partition", "checks"}: a published value and the
    checks to run on it) and appends one JSON line per job to RESULTS, as each is done: its
    results, or why its value could not be read."""
    import json

    from quarl.contract import Value
    from quarl.checks import evaluate
    from quarl.values import error_text, load

    jobs_path, results_path = sys.argv[1:3] if argv is None else argv[:2]
    with open(jobs_path, "rb") as file:
        jobs = json.loads(file.read())
    with open(results_path, "a", encoding="utf-8") as out:
        for job in jobs:
            item = job["value"]
            try:
                value = load(Value(item["path"], item.get("format", "json"), item.get("serializer")))
            except Exception as error:
                line: dict[str, Any] = {"unreadable": error_text(error)}
            else:
                line = {"results": evaluate(job["checks"], value, job["partition"])}
                del value
            out.write(json.dumps(line, ensure_ascii=False) + "\n")
            out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
