"""The materialization that bench_materialize.py times and bench_instructions.py counts, with
its two baselines: the floor (the calls the issue names, from Python on the same objects:
importing the already imported module, getattr, the call, json.dumps of the value and two
write_text calls) and every call the materializer makes, from Python."""

import importlib
import inspect
import json
import os
import pathlib
import sys

import _quarl

MODULE_SOURCE = '''
from quarl import asset


@asset()
def report() -> dict:
    return {"rows": [1, 2, 3], "name": "daily", "ok": True}
'''


def cases(root):
    """Writes the asset's module into ROOT and puts ROOT on sys.path; returns (ours, floor,
    all_calls), which materialize into ROOT/out, after one run of ours."""
    root = pathlib.Path(root)
    (root / "bench_assets.py").write_text(MODULE_SOURCE, "utf-8")
    sys.path.insert(0, str(root))
    out = str(root / "out")

    def ours():
        _quarl.materialize_asset("bench_assets", "report", out)

    ours()
    value_path = pathlib.Path(out) / "value.json"
    result_path = pathlib.Path(out) / "result.json"
    record_text = result_path.read_text("utf-8")

    def floor():
        module = importlib.import_module("bench_assets")
        wrapper = getattr(module, "report")
        value = wrapper.__quarl_original__()
        value_path.write_text(json.dumps(value), "utf-8")
        result_path.write_text(record_text, "utf-8")

    # Every call the materializer makes, from Python: the floor above plus importing the
    # standard modules (on every call, through the import machinery), the path handling, mkdir,
    # the signature, and each file written whole (the earlier record removed, each file written
    # beside its final name and renamed over it). Ours minus this is the native code's own share.
    def all_calls():
        import importlib, inspect, json, pathlib  # noqa: E401, F811

        path = pathlib.Path(out)
        path.mkdir(parents=True, exist_ok=True)
        folder = path.absolute()
        try:
            os.unlink(os.path.join(folder, "result.json"))
        except FileNotFoundError:
            pass
        module = importlib.import_module("bench_assets")
        wrapper = getattr(module, "report")
        function = wrapper.__quarl_original__
        value = function()
        value_text = str(path / "value.json")
        temporary = folder / ".value.json.tmp"
        temporary.write_text(json.dumps(value), "utf-8")
        os.rename(os.fspath(temporary), os.path.join(folder, "value.json"))
        str(inspect.signature(function))
        type(value).__name__
        temporary = folder / ".result.json.tmp"
        temporary.write_text(record_text, "utf-8")
        os.rename(os.fspath(temporary), os.path.join(folder, "result.json"))
        return value_text

    return ours, floor, all_calls
