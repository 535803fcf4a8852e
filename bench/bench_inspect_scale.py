"""python -m quarl.inspect on one module of many assets: the default report against --compact.

The default report repeats a module's whole source in the record of each of its assets, so one
module of N assets gives a report that grows with N squared; the compact form holds no module
source. Generates 5,000 trivial assets (by default) twice over in a temporary folder: all in one
module, and split into modules of 50. Every measurement is a fresh `python -m quarl.inspect`
process whose report is read from a pipe and counted: its wall time, and its peak resident size
(ru_maxrss of that child alone, from os.wait4). A child that only imports the same modules gives
the import's share, which is taken off to give the time and memory "beyond the import". Not a
test: the targets (the compact single module within 2 s beyond its import, under 200 MB at its
peak) are printed, not asserted.

    python bench/bench_inspect_scale.py [--assets 5000] [--per-module 50] [--repeats 3]
                                        [--no-default-single]

The default report of the single module, some 2 GB for 5,000 assets, is made once whatever
--repeats says (half a minute and 5 GB of memory here); --no-default-single leaves it out.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402

IMPORT_ONLY = "import importlib, sys, quarl.inspect\nfor n in sys.argv[1:]: importlib.import_module(n)"


def asset_text(index):
    return (f"\n\n@asset()\ndef asset_{index:05d}(upstream=None) -> dict:\n"
            f'    return {{"index": {index}, "upstream": upstream}}\n')


def generate(root, assets, per_module):
    """The same assets as one module, and as a package of modules of `per_module` each."""
    header = "from quarl import asset\n"
    single = root / "scale_single.py"
    single.write_text(header + "".join(asset_text(i) for i in range(assets)))
    package = root / "scale_split"
    package.mkdir()
    (package / "__init__.py").write_text("")
    split = []
    for start in range(0, assets, per_module):
        name = f"mod_{start // per_module:04d}"
        (package / f"{name}.py").write_text(
            header + "".join(asset_text(i) for i in range(start, min(start + per_module, assets))))
        split.append(f"scale_split.{name}")
    return single.stat().st_size, ["scale_single"], split


def run(args, root):
    """(wall seconds, peak resident bytes, bytes on standard output) of one child."""
    # Bytecode written once and read after, as a project's modules usually are.
    env = {**os.environ, "PYTHONPATH": str(root)}
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, env=env)
    size = 0
    while chunk := child.stdout.read(1 << 20):
        size += len(chunk)
    child.stdout.close()
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"{' '.join(args[:3])} ... exited with {child.returncode}")
    return elapsed, usage.ru_maxrss * 1024, size


def measure(args, root, repeats):
    """Median time, highest peak and the output size over `repeats` children."""
    runs = [run(args, root) for _ in range(repeats)]
    return statistics.median(r[0] for r in runs), max(r[1] for r in runs), runs[0][2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", type=int, default=5000)
    parser.add_argument("--per-module", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-default-single", action="store_true",
                        help="skip the default report of the single module (GBs for 5,000 assets)")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder).resolve()
        source_size, single, split = generate(root, options.assets, options.per_module)
        run(["-c", IMPORT_ONLY, *single, *split], root)  # compiles the modules once: bytecode
        print(f"{options.assets} assets, one module of {source_size / 1e3:.0f} KB of source or "
              f"{len(split)} modules of {options.per_module}; medians of {options.repeats} fresh "
              f"processes (the default report of one module: 1), peak = largest ru_maxrss")
        print(f"{'layout':<20} {'report':<8} {'time':>8} {'beyond import':>14} {'peak':>10} "
              f"{'beyond import':>14} {'report size':>12}")
        compact_single = None
        for layout, names in (("one module", single), (f"modules of {options.per_module}", split)):
            base_time, base_peak, _ = measure(["-c", IMPORT_ONLY, *names], root, options.repeats)
            print(f"{layout:<20} {'(import)':<8} {base_time:7.2f}s {'':>14} "
                  f"{base_peak / 2**20:7.0f} MB")
            for form in ("default", "compact"):
                if form == "default" and layout == "one module" and options.no_default_single:
                    continue
                flags = ["--compact"] if form == "compact" else []
                huge = form == "default" and layout == "one module"
                seconds, peak, size = measure(["-m", "quarl.inspect", *flags, *names], root,
                                              1 if huge else options.repeats)
                print(f"{layout:<20} {form:<8} {seconds:7.2f}s {seconds - base_time:13.2f}s "
                      f"{peak / 2**20:7.0f} MB {(peak - base_peak) / 2**20:11.0f} MB "
                      f"{size / 1e6:9.1f} MB")
                if form == "compact" and layout == "one module":
                    compact_single = (seconds - base_time, peak)
        seconds, peak = compact_single
        print("the compact report of one module, against its targets")
        report("seconds beyond the import", seconds, 2.0)
        report("peak resident MB of the process", peak / 2**20, 200.0)


if __name__ == "__main__":
    main()
