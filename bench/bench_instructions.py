"""Instructions per operation (valgrind's callgrind), ours against each baseline.

On a shared machine a time ratio drifts by several percent from run to run; the number of
instructions executed does not. Each group of cases runs in one fresh interpreter under callgrind:
a setup, one warm-up of every case, then for each case (and for `pass`) a loop that makes the
operation N times. Callgrind writes its count at every boundary between the loops (a call of
os.getppid marks them), so each loop is counted on its own; the count of the `pass` loop is taken
off the others, leaving the operation's own. Instructions are not time: memory traffic (page
faults, cache misses) is not in them, which is why the figures are given beside the times.

    python bench/bench_instructions.py [GROUP...]      groups: calls partitions inspect materialize
"""

import os
import re
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import report  # noqa: E402

BENCH = os.path.dirname(os.path.abspath(__file__))

CALLS_SETUP = """
import functools
from quarl import asset, partitions

def f0():
    return None

def f3(a, b, c=0):
    return a

def py_wrapper(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)
    return wrapper

w0, w3 = asset()(f0), asset()(f3)
n0, n3 = functools.partial(f0), functools.partial(f3)
p0, p3 = py_wrapper(f0), py_wrapper(f3)
meta = asset(name="n", inputs={"x": "a:b"}, partitions={"d": partitions(["A", "B"])})(f0)
"""

PARTITIONS_SETUP = """
import json
from quarl import partitions
values = [f"key-{i:06d}" for i in range(20_000)]
dumps = json.dumps
"""

INSPECT_SETUP = """
import pathlib, sys, tempfile
sys.path.insert(0, BENCH)
from bench_inspect import baseline, generate
from _quarl import inspect_modules
root = pathlib.Path(tempfile.mkdtemp()).resolve()
names = generate(root, 10, 20)
sys.path.insert(0, str(root))
"""

MATERIALIZE_SETUP = """
import pathlib, sys, tempfile
sys.path.insert(0, BENCH)
from materialize_cases import cases
ours, floor, all_calls = cases(tempfile.mkdtemp(dir="/dev/shm" if pathlib.Path("/dev/shm").is_dir() else None))
"""

# group: (setup, repeats, {case: statement}, [(label, ours, baseline, target)])
GROUPS = {
    "calls": (
        CALLS_SETUP,
        100_000,
        {
            "f0": "f0()", "w0": "w0()", "n0": "n0()", "p0": "p0()",
            "f3": "f3(1, 2, c=3)", "w3": "w3(1, 2, c=3)", "n3": "n3(1, 2, c=3)",
            "p3": "p3(1, 2, c=3)",
            "meta": "meta.__quarl_metadata__",
            "display": '{"kind": "asset", "name": "n", "serializer": None, "inputs": {"x": "a:b"},'
                       ' "partitions": {"d": {"kind": "inline", "values_json": \'["A","B"]\'}}}',
        },
        [
            ("call, no arguments: wrapper / direct", "w0", "f0", 1.10),
            ("call, 2 pos + 1 kw: wrapper / direct", "w3", "f3", 1.10),
            ("call, no arguments: wrapper / functools.partial", "w0", "n0", None),
            ("call, 2 pos + 1 kw: wrapper / functools.partial", "w3", "n3", None),
            ("call, no arguments: wrapper / functools.wraps wrapper", "w0", "p0", None),
            ("call, 2 pos + 1 kw: wrapper / functools.wraps wrapper", "w3", "p3", None),
            ("__quarl_metadata__ (all fields) / dict display", "meta", "display", 1.5),
        ],
    ),
    "partitions": (
        PARTITIONS_SETUP,
        1,
        {"ours": "partitions(values)", "floor": "[dumps(v) for v in values]"},
        [("partitions(20k short str) / [json.dumps(v) for v in values]", "ours", "floor", 1.25)],
    ),
    "inspect": (
        INSPECT_SETUP,
        1,
        {"ours": "inspect_modules(names)", "python": "baseline(names)",
         "raw": "baseline(names, convert_metadata=False)"},
        [
            ("inspect_modules (10 modules x 20 assets) / python loop", "ours", "python", 1.0),
            ("inspect_modules / python loop without metadata conversion", "ours", "raw", None),
        ],
    ),
    "materialize": (
        MATERIALIZE_SETUP,
        200,
        {"ours": "ours()", "floor": "floor()", "all": "all_calls()"},
        [
            ("materialize_asset / floor (import, call, dumps, two write_text)", "ours", "floor", 1.10),
            ("materialize_asset / every call it must make", "ours", "all", None),
        ],
    ),
}


def count_cases(setup, cases, repeats):
    """Instructions per run of each case's statement, the loop's own cost taken off."""
    names = ["pass", *cases]
    statements = ["pass", *cases.values()]
    loops = "".join(
        f"def _loop_{i}(_n):\n    for _ in range(_n):\n        {statement}\n"
        for i, statement in enumerate(statements)
    )
    runs = "".join(
        f"_loop_{i}(1)\n" for i in range(len(statements))
    ) + "".join(
        f"gc.collect()\nos.getppid()\n_loop_{i}({repeats})\n" for i in range(len(statements))
    )
    script = (f"import gc, os\nBENCH = {BENCH!r}\n" + textwrap.dedent(setup) + loops + runs
              + "gc.collect()\nos.getppid()\n")
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             "--dump-before=os_getppid*", sys.executable, "-c", script],
            capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"),
        )
        if run.returncode != 0:
            sys.exit(f"callgrind run failed:\n{run.stderr[-2000:]}")
        # Dump k holds what ran before the k-th mark: dump 1 the start and the warm-ups, then one
        # per loop.
        totals = []
        for k in range(2, len(statements) + 2):
            with open(f"{out}.{k}") as dump:
                totals.append(int(re.search(r"^totals: (\d+)", dump.read(), re.M).group(1)))
    empty = totals[0]
    return {name: (total - empty) / repeats for name, total in zip(names[1:], totals[1:])}


def main(names):
    for name in names:
        setup, repeats, cases, ratios = GROUPS[name]
        per_op = count_cases(setup, cases, repeats)
        print(f"[{name}] instructions per run, the loop's own taken off: "
              + ", ".join(f"{case} {count:,.0f}" for case, count in per_op.items()))
        print("ratio ours/baseline in instructions (lower is better)")
        for label, ours, base, target in ratios:
            report(label, per_op[ours] / per_op[base], target)


if __name__ == "__main__":
    if subprocess.run(["which", "valgrind"], capture_output=True).returncode != 0:
        print("valgrind not found: no instruction counts")
        sys.exit(0)
    main(sys.argv[1:] or list(GROUPS))
