"""Inspect the example project and materialize every asset, the way an orchestrator does.

    python examples/run_demo.py [--out DIR]

quarl itself only answers two questions, each in a process of its own:

    python -m quarl.inspect MODULE ...                          which assets are there?
    python -m quarl.worker MODULE FUNCTION DIR [KWARGS_JSON]    compute one of them into DIR

Everything else is this driver's job: it orders the assets by their inputs, starts one worker
per asset and partition combination, and passes the values of upstream assets (read from their
value.json) to their consumers as keyword arguments.
"""

import argparse
import graphlib
import itertools
import json
import os
import pathlib
import pkgutil
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parent
PACKAGE = "shop"


def run_quarl(command, *args, cwd):
    """Runs `python -m quarl.<command> ARGS...` with the example project importable."""
    path = os.pathsep.join(filter(None, [str(EXAMPLES), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path}
    return subprocess.run([sys.executable, "-m", f"quarl.{command}", *args], cwd=cwd, env=env)


def inspect_project(out):
    modules = sorted(f"{PACKAGE}.{m.name}" for m in pkgutil.iter_modules([str(EXAMPLES / PACKAGE)]))
    print("$ python -m quarl.inspect --output report.json", " ".join(modules))
    if run_quarl("inspect", "--output", "report.json", *modules, cwd=out).returncode != 0:
        sys.exit("inspection failed")
    records = json.loads((out / "report.json").read_text("utf-8"))["assets"]
    # An asset is known to its consumers by "<file>:<function>", the form that inputs= takes. A
    # wrapper imported into a second inspected module is reported there again: keep the first.
    assets = {}
    for record in records:
        assets.setdefault(f"{record['file_path']}:{record['function_name']}", record)
    return modules, assets


def label(record):
    return f"{record['module_path']}.{record['function_name']}"


def partition_keys(record):
    """Every combination of the asset's partition values, as {dimension: value} dicts."""
    dimensions = record["decorator_metadata"]["partitions"] or {}
    values = [json.loads(d["values_json"]) for d in dimensions.values()]
    return [dict(zip(dimensions, combination)) for combination in itertools.product(*values)]


def show_key(key):
    return ",".join(f"{k}={v if isinstance(v, str) else json.dumps(v)}" for k, v in key.items())


def print_summary(modules, assets):
    print(f"\n{len(assets)} assets in {', '.join(modules)}:")
    for record in sorted(assets.values(), key=label):
        metadata = record["decorator_metadata"]
        print(f"  {label(record)} -> {record['return_type'] or '(no return annotation)'}")
        if metadata["inputs"]:
            names = (f"{p} <- {label(assets[r]) if r in assets else r}"
                     for p, r in metadata["inputs"].items())
            print(f"      inputs: {', '.join(names)}")
        if metadata["partitions"]:
            dims = (f"{d} in {', '.join(map(str, json.loads(v['values_json'])))}"
                    for d, v in metadata["partitions"].items())
            print(f"      partitions: {'; '.join(dims)} ({len(partition_keys(record))} runs)")


def dependency_order(assets):
    """Asset references, each after all of its inputs; alphabetical where the order is free."""
    graph = graphlib.TopologicalSorter()
    for ref, record in assets.items():
        for param, upstream in (record["decorator_metadata"]["inputs"] or {}).items():
            if upstream not in assets:
                sys.exit(f"{label(record)}: input {param!r} names no asset of the project: {upstream}")
            if assets[upstream]["decorator_metadata"]["partitions"]:
                sys.exit(f"{label(record)}: this demo passes on only unpartitioned inputs")
        graph.add(ref, *(record["decorator_metadata"]["inputs"] or {}).values())
    graph.prepare()
    while graph.is_active():
        ready = sorted(graph.get_ready(), key=lambda ref: label(assets[ref]))
        yield from ready
        graph.done(*ready)


def materialize_all(assets, out):
    rows, values = [], {}  # values: reference -> the decoded value of an unpartitioned asset
    for ref in dependency_order(assets):
        record = assets[ref]
        inputs = record["decorator_metadata"]["inputs"] or {}
        for key in partition_keys(record):  # [{}] when the asset has no partitions
            row = (label(record), show_key(key) or "-")
            run_dir = pathlib.Path(label(record), show_key(key))
            if any(upstream not in values for upstream in inputs.values()):
                rows.append((*row, "skipped", "-", "upstream failed"))
                continue
            kwargs = {param: values[upstream] for param, upstream in inputs.items()} | key
            args = [record["module_path"], record["function_name"], str(run_dir)]
            result_file = out / run_dir / "result.json"
            result_file.unlink(missing_ok=True)  # left by an earlier demo, it would mislead
            status = run_quarl("worker", *args, *([json.dumps(kwargs)] if kwargs else []), cwd=out)
            if result_file.exists():
                result = json.loads(result_file.read_text("utf-8"))
            else:  # the worker failed before the run; its message is on standard error
                result = {"ok": False, "error": f"worker exited with status {status.returncode}"}
            if status.returncode == 0 and result["ok"]:
                rows.append((*row, "yes", result["result_type"], result["value_path"]))
                if not key:
                    values[ref] = json.loads((out / result["value_path"]).read_text("utf-8"))
            else:
                rows.append((*row, "no", "-", result["error"]))
    return rows


def print_table(rows):
    header = ("asset", "partition", "ok", "result_type", "value_path")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=EXAMPLES / "out",
                        help="directory for the report and the runs (default: examples/out)")
    out = parser.parse_args().out.resolve()
    sys.stdout.reconfigure(line_buffering=True)  # keep our lines in order with the workers' output
    out.mkdir(parents=True, exist_ok=True)
    modules, assets = inspect_project(out)
    print_summary(modules, assets)
    shown = out.relative_to(pathlib.Path.cwd()) if out.is_relative_to(pathlib.Path.cwd()) else out
    print("\nOne `python -m quarl.worker MODULE FUNCTION DIR [KWARGS_JSON]` per row, in dependency "
          f"order, run in {shown}:\n")
    rows = materialize_all(assets, out)
    print_table(rows)
    if rows[-1][2] == "yes":
        print(f"\n{rows[-1][4]}: {(out / rows[-1][4]).read_text('utf-8')}")
    return 0 if all(row[2] == "yes" for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
