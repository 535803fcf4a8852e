"""Peak memory of inspect_modules on a project whose report is about 100 MB.

Generates a project whose modules carry long sources (comment lines), so that the report, which
repeats a module's whole source in the record of each of its assets, grows to about 100 MB. Each
measurement runs in a fresh interpreter: it imports the standard modules and the project first,
reads its resident size (VmRSS), calls inspect_modules once and reads the high-water mark
(VmHWM). The figure is the growth over the report's size in bytes.

The same is measured for the pure-Python loop of bench_inspect.py, for comparison: json.dumps
writes its str in place, which the Limited API offers no way to do, so that a native call holds
the UTF-8 text and the str made from it at the same time (two copies of the report at least).

    python bench/bench_memory.py [--modules 100] [--assets 20] [--lines 600]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402

PACKAGE = "memory_project"

# Runs in the child. Everything the call will need (the standard modules, the project) is imported
# before the baseline is read, so the growth is what the call itself holds at its peak.
CHILD = textwrap.dedent(
    """
    import builtins, importlib, inspect, json, pathlib, sys, textwrap, gc
    sys.path.insert(0, {bench!r})
    sys.path.insert(0, {root!r})
    import _quarl
    from bench_inspect import baseline
    names = {names!r}
    for name in names:
        importlib.import_module(name)
    gc.collect()

    def status(field):
        with open("/proc/self/status") as lines:
            for line in lines:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError(field)

    before = status("VmRSS")
    text = _quarl.inspect_modules(names) if {which!r} == "ours" else baseline(names)
    peak = status("VmHWM")
    size = len(text) if text.isascii() else len(text.encode())
    print(before, peak, size)
    """
)


def generate(root, modules, assets, lines):
    package = root / PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text("")
    filler = "".join(
        f"# line {i:05d}: notes kept with the module, long enough to weigh in the report\n"
        for i in range(lines)
    )
    names = []
    for m in range(modules):
        parts = ["from quarl import asset, partitions\n\n", filler]
        for a in range(assets):
            parts.append(
                f'\n\n@asset(name="m{m}_a{a}", partitions={{"day": partitions(["mon", "tue"])}})\n'
                f"def asset_{a:03d}(day) -> dict:\n"
                f'    """Asset {a} of module {m}."""\n'
                f'    return {{"day": day, "n": {a}}}\n'
            )
        (package / f"mod_{m:03d}.py").write_text("".join(parts))
        names.append(f"{PACKAGE}.mod_{m:03d}")
    return names


def measure(which, root, names):
    script = CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), root=str(root),
                          names=names, which=which)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    before, peak, size = map(int, out.split())
    return peak - before, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=100)
    parser.add_argument("--assets", type=int, default=20)
    parser.add_argument("--lines", type=int, default=600, help="comment lines per module")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder).resolve()
        names = generate(root, options.modules, options.assets, options.lines)
        growth, size = measure("ours", root, names)
        print(f"report {size / 1e6:.1f} MB; peak growth during the call {growth / 1e6:.1f} MB")
        report("inspect_modules peak growth / report size", growth / size, 2.5)
        growth, size = measure("python", root, names)
        print(f"python loop: peak growth {growth / 1e6:.1f} MB")
        report("python loop peak growth / report size (for comparison)", growth / size)


if __name__ == "__main__":
    main()
