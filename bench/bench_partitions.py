"""partitions() over many short strings against the floor of its mandated json.dumps calls."""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import ratio, report  # noqa: E402

from quarl import partitions  # noqa: E402

values = [f"key-{i:06d}" for i in range(100_000)]
dumps = json.dumps

print("ratio ours/baseline (lower is better)")
report("partitions(100k short str) / [json.dumps(v) for v in values]",
       ratio(lambda: partitions(values), lambda: [dumps(v) for v in values], number=3, repeats=9), 1.25)
