"""import _quarl in a fresh interpreter against import json (python -X importtime), medians."""

import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402


def import_micros(module):
    """(self, cumulative) microseconds of `module` in one fresh interpreter."""
    err = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                         capture_output=True, text=True, check=True).stderr
    for line in err.splitlines():
        fields = [f.strip() for f in line.removeprefix("import time:").split("|")]
        if len(fields) == 3 and fields[2] == module:
            return int(fields[0]), int(fields[1])
    raise RuntimeError(f"{module} not in -X importtime output")


ours, base = [], []
for _ in range(21):
    ours.append(import_micros("_quarl"))
    base.append(import_micros("json"))
own = statistics.median(s for s, _ in ours)
print("ratio ours/baseline (lower is better)")
report("import _quarl / import json (cumulative)",
       statistics.median(c for _, c in ours) / statistics.median(c for _, c in base))
print(f"{'import _quarl, its own time (target < 1000 us)':<58} {own:6.0f} us"
      + ("  ok" if own < 1000 else "  MISSES target"))
