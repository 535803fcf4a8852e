"""inspect_modules against a pure-Python loop that makes the same calls and builds the same report.

Generates a synthetic project (by default 200 modules of 20 assets each) in a temporary folder,
checks that both produce the same text, then times them in this process with interleaved repeats
and prints the medians of the CPU time each run takes (process time, which other work on a shared
machine disturbs less than wall time) and the ratio ours / baseline. The baseline is also timed
without the metadata conversion (json.dumps, then json.loads) that inspect_modules must make, for
comparison.

By default both sides run over modules that a warm-up has already imported (the import is then a
sys.modules hit and the comparison isolates the inspection work). With --fresh, every run first
drops the project's modules from sys.modules, so each side pays for importing them again.

    python bench/bench_inspect.py [--modules 200] [--assets 20] [--repeats 7] [--fresh]
"""

import argparse
import gc
import importlib
import inspect
import os
import pathlib
import statistics
import sys
import tempfile
import textwrap
import time

from _quarl import inspect_modules

sys.path.insert(0, os.path.dirname(__file__))
from common import report  # noqa: E402

PACKAGE = "synthetic_project"


def asset_text(module, index):
    name = f"asset_{index:03d}"
    if index % 4 == 0:
        decorator = "@asset()"
        params, annotation = "", "int"
    elif index % 4 == 1:
        decorator = f'@asset(inputs={{"upstream": asset_{index - 1:03d}}})'
        params, annotation = "upstream", "dict"
    elif index % 4 == 2:
        decorator = '@asset(name="named", partitions={"day": partitions(["mon", "tue", "wed"])})'
        params, annotation = "day", '"Frame"'
    else:
        decorator = '@asset(serializer="json", inputs={"raw": "warehouse:raw"})'
        params, annotation = "raw", "Optional[list]"
    return textwrap.dedent(
        f'''
        {decorator}
        def {name}({params}) -> {annotation}:
            """Asset {index} of module {module}."""
            total = 0
            for step in range({index + 3}):
                total += step * {module}
            return {{"total": total, "label": "m{module}-a{index}"}}

        '''
    )


def generate(root, modules, assets):
    package = root / PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text("")
    names = []
    for m in range(modules):
        lines = ["from typing import Optional\n", "from quarl import asset, partitions\n\n"]
        lines += [asset_text(m, a) for a in range(assets)]
        (package / f"mod_{m:03d}.py").write_text("".join(lines))
        names.append(f"{PACKAGE}.mod_{m:03d}")
    return names


def baseline(modules, convert_metadata=True):
    """The same calls, in the same order, as inspect_modules makes; the report via json.dumps.

    inspect_modules must convert each asset's metadata through json.dumps(metadata) and read the
    text back; here json.loads reads it back. With convert_metadata=False the metadata dict goes
    into the report as it is, which skips that mandated call (shown for comparison only).
    """
    import builtins
    import json

    info = sys.version_info
    version = f"{info.major}.{info.minor}.{info.micro}"
    assets = []
    for name in modules:
        try:
            module = importlib.import_module(name)
        except Exception as error:
            line = f"quarl: skipping module '{name}': {type(error).__qualname__}: {error}\n"
            os.write(2, line.encode())
            continue
        module_source = textwrap.dedent(inspect.getsource(module)).strip() + "\n"
        module_path = module.__name__
        for _, member in inspect.getmembers(module):
            try:
                kind = member.__quarl_kind__
            except Exception:
                continue
            if not isinstance(kind, str) or kind != "asset":
                continue
            metadata = member.__quarl_metadata__
            if convert_metadata:
                metadata = json.loads(json.dumps(metadata))
            try:
                original = member.__quarl_original__
            except Exception:
                original = member
            function_source = textwrap.dedent(inspect.getsource(original)).strip() + "\n"
            function_name = original.__name__
            try:
                file = inspect.getsourcefile(original)
            except Exception:
                file_path = ""
            else:
                file_path = str(pathlib.Path(file).resolve())
            annotation = inspect.signature(original).return_annotation
            if annotation is inspect.Signature.empty:
                return_type = None
            elif builtins.isinstance(annotation, type):
                return_type = annotation.__name__
            else:
                return_type = str(annotation)
            assets.append(
                {
                    "decorator_metadata": metadata,
                    "file_path": file_path,
                    "function_name": function_name,
                    "function_source": function_source,
                    "kind": "asset",
                    "module_path": module_path,
                    "module_source": module_source,
                    "python_version": version,
                    "return_type": return_type,
                }
            )
    return json.dumps(
        {"assets": assets}, sort_keys=True, separators=(",", ":"), ensure_ascii=False
    )


def forget(names):
    for name in names:
        sys.modules.pop(name, None)


def timed(function, names, fresh):
    if fresh:
        forget(names)
        importlib.invalidate_caches()
    gc.collect()
    start = time.process_time()
    function(names)
    return time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=200)
    parser.add_argument("--assets", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--fresh", action="store_true", help="re-import the modules on every run")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder).resolve()
        names = generate(root, options.modules, options.assets)
        sys.path.insert(0, str(root))
        ours_text = inspect_modules(names)  # warm-up: imports the project, fills linecache
        base_text = baseline(names)
        if ours_text != base_text:
            sys.exit("the two reports differ")
        print(
            f"{options.modules} modules x {options.assets} assets, "
            f"report {len(ours_text) / 1e6:.1f} MB, "
            f"{'fresh imports' if options.fresh else 'modules already imported'}"
        )
        def raw_baseline(modules):
            return baseline(modules, convert_metadata=False)

        runs = [inspect_modules, baseline, raw_baseline]
        samples = {run: [] for run in runs}
        for repeat in range(options.repeats):
            # Rotate the order, so that none always runs on another's leftovers.
            for run in runs[repeat % 3:] + runs[:repeat % 3]:
                samples[run].append(timed(run, names, options.fresh))
        ours, base, raw = (statistics.median(samples[run]) for run in runs)
        print(f"inspect_modules  median {ours * 1e3:8.1f} ms CPU")
        print(f"python baseline  median {base * 1e3:8.1f} ms CPU")
        print(f"  without the metadata's json.dumps/loads {raw * 1e3:8.1f} ms CPU")
        print("ratio ours/baseline (lower is better)")
        report("inspect_modules / python loop", ours / base, 1.0)
        report("inspect_modules / python loop without metadata conversion", ours / raw)

if __name__ == "__main__":
    main()
