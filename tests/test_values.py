"""Values that are not JSON, end to end: quarl run on tests/fixtures/values (DataFrames, arrays,
pickled objects, "auto", serializers of the user's), read back by consumers that check what they
receive; the plan errors; the package's records against the module's."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import FIXTURES, sanitizer_env
from quarl import contract


def quarl(cwd, *args, **env):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=cwd, capture_output=True, text=True,
                          env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1", **env})


def by_name(done):
    return {r["asset"] + "".join(f"[{v}]" for v in (r["partition"] or {}).values()): r
            for r in json.loads(done.stdout)["runs"]}


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """The fixture project, run once; yields its folder and the runs of --json by name."""
    pytest.importorskip("pyarrow", reason="no parquet extra")
    folder = tmp_path_factory.mktemp("values") / "proj"
    shutil.copytree(FIXTURES / "values", folder)
    done = quarl(folder, "run", "vals", "--json", "--jobs", "2")
    assert done.returncode == 1, done.stderr  # the three forgot_* fail
    return folder, by_name(done)


def value(folder, *parts):
    return json.loads(pathlib.Path(folder, "quarl-out", *parts, "value.json").read_text())


HINT = ('{0}; vals.frames.{1} returned a value of type {2}, which JSON cannot store: store it with '
        '@asset(serializer="{3}")')

SHOWN = {
    "vals.frames.frame": "DataFrame (parquet)", "vals.frames.grid": "ndarray (numpy)",
    "vals.frames.daily[2024-05-01]": "DataFrame (parquet)", "vals.objects.things": "dict (pickle)",
    "vals.objects.chosen[json]": "dict", "vals.objects.chosen[frame]": "DataFrame (parquet)",
    "vals.objects.chosen[array]": "ndarray (numpy)", "vals.objects.chosen[other]": "set (pickle)",
    "vals.frames.combined": "DataFrame (parquet)", "vals.custom.lines": "list (lines)",
    "vals.custom.shout": "str (upper)", "vals.custom.both": "list",
    "vals.frames.forgot_frame": None,
}


def test_every_format_reaches_its_consumers_as_the_object(project, fixture_modules):
    folder, runs = project
    assert {name: runs[name]["result_type"] for name in SHOWN} == SHOWN
    fixture_modules("values")
    from vals.frames import make_frame

    # The consumer compared the frame with assert_frame_equal; its dtypes as it saw them:
    assert value(folder, "vals.frames.frame_dtypes") == {
        "index": "order_id", "dtypes": {k: str(v) for k, v in make_frame().dtypes.items()},
        "categories": ["us", "eu", "apac"]}
    assert value(folder, "vals.frames.grid_summary") == {"type": "ndarray", "shape": [3, 4], "dtype": "int32",
                                                         "sum": 66}
    assert value(folder, "vals.objects.things_check") == [
        "set: set", "decimal: Decimal", "when: datetime", "point: Point", "pair: tuple", "keys: dict"]
    assert value(folder, "vals.frames.daily_rows") == {"2024-05-01": 1, "2024-05-02": 2, "2024-05-03": 3}
    import pandas as pd

    assert pd.read_parquet(folder / "quarl-out/vals.frames.combined/value.parquet").to_dict("list") == {
        "day": ["2024-05-01", "2024-05-02", "2024-05-02", "2024-05-03", "2024-05-03", "2024-05-03"],
        "n": [0, 0, 1, 0, 1, 2]}
    assert value(folder, "vals.objects.chosen_types") == {"json": "dict", "frame": "DataFrame",
                                                          "array": "ndarray", "other": "set"}
    assert value(folder, "vals.custom.both") == ["one", "two", "hello"]
    assert (folder / "quarl-out/vals.custom.shout/value.up").read_text() == "HELLO"
    # "auto" chose each format; a JSON value is the very text json.dumps gives, as the module's.
    chosen = folder / "quarl-out/vals.objects.chosen"
    found = {}
    for kind, suffix in [("json", "json"), ("frame", "parquet"), ("array", "npy"), ("other", "pkl")]:
        record = json.loads((chosen / f"kind={kind}" / "run.json").read_text())
        found[kind] = (record["artifact_format"], record["value_file"],
                       sorted(p.name for p in (chosen / f"kind={kind}").iterdir()))
        assert found[kind] == (found[kind][0], f"value.{suffix}", ["attempt.json", "result.json", "run.json",
                                                                   "stderr.log", "stdout.log", f"value.{suffix}"])
    assert [f[0] for f in found.values()] == ["json", "parquet", "numpy", "pickle"]
    assert (chosen / "kind=json/value.json").read_text() == json.dumps({"b": [1, 2.5, None], "a": "é"})


@pytest.mark.parametrize("asset, kind, serializer, error", [
    ("forgot_frame", "DataFrame", "parquet", "Object of type DataFrame is not JSON serializable"),
    ("forgot_array", "ndarray", "numpy", "Object of type ndarray is not JSON serializable"),
    ("forgot_set", "dict", "pickle", "Object of type set is not JSON serializable"),
])
def test_a_value_json_cannot_store_fails_with_the_serializer_to_use(project, asset, kind, serializer, error):
    folder, runs = project
    run = runs[f"vals.frames.{asset}"]
    hint = HINT.format(f"TypeError: {error}", asset, kind, serializer)
    assert (run["status"], run["error"]) == ("failed", hint)
    failed = folder / f"quarl-out/.vals.frames.{asset}.failed"
    # The module's record as ever; the line is the last of the log.
    assert json.loads((failed / "result.json").read_text()) == {
        "error": f"TypeError: {error}", "error_type": "TypeError", "ok": False}
    assert (failed / "stderr.log").read_text().splitlines()[-1] == "quarl: " + hint.partition("; ")[2]


def test_status_shows_the_format_and_published_values_stay_up_to_date(project):
    folder, _ = project
    status = {r["asset"]: r["result_type"] for r in json.loads(quarl(folder, "status", "--json").stdout)["runs"]}
    assert (status["vals.frames.frame"], status["vals.frames.frame_dtypes"]) == ("DataFrame (parquet)", "dict")
    again = quarl(folder, "run", "vals", "--select", "vals.frames.frame_dtypes", "--select", "vals.custom.both",
                  "--json")
    assert {name: r["status"] for name, r in by_name(again).items()} == dict.fromkeys(
        ["vals.custom.lines", "vals.custom.shout", "vals.custom.both", "vals.frames.frame",
         "vals.frames.frame_dtypes"], "up to date")


def test_a_worker_killed_while_writing_a_parquet_value_leaves_the_last_good_one(project):
    folder, _ = project
    published = folder / "quarl-out/vals.frames.frame"
    before = {p.name: p.read_bytes() for p in published.iterdir()}
    done = quarl(folder, "run", "vals", "--select", "vals.frames.frame", "--force", "--json",
                 VALS_KILL_WHILE_WRITING="1")
    run = by_name(done)["vals.frames.frame"]
    assert (done.returncode, run["status"], run["error"]) == (1, "failed", "the worker was killed by SIGKILL, "
                                                              "leaving no run record")
    assert {p.name: p.read_bytes() for p in published.iterdir()} == before
    # The value it was writing never took the published name, in the attempt either.
    names = sorted(p.name for p in (folder / "quarl-out/.vals.frames.frame.failed").iterdir())
    assert [name for name in names if not name.startswith(".quarl-tmp-")] == ["attempt.json", "stderr.log",
                                                                             "stdout.log"]


PLAN_ERRORS = [
    ('serializer="xml"', "unknown serializer 'xml' (known: auto, json, numpy, parquet, pickle; or "
     "MODULE:ATTRIBUTE for one of your own)"),
    ('serializer="parquet"', "serializer 'parquet' needs pandas, which is not installed: "
     "pip install 'quarl[parquet]'"),
    ('serializer="numpy"', "serializer 'numpy' needs numpy, which is not installed: pip install numpy"),
    ('serializer="m:NOTHING"', "serializer 'm:NOTHING' does not name a serializer: int has no name, "
     "suffix, dump, load"),
    ('serializer="m:Half"', "serializer 'm:Half' does not name a serializer: type has no dump, load"),
    ('serializer="m:Nameless"', "serializer 'm:Nameless' does not name a serializer: its name 'json' is "
     "that of a built-in format"),
    ('serializer="m:missing"', "serializer 'm:missing' does not name a serializer: m has no attribute "
     "'missing'"),
    ('serializer="nosuch:x"', "serializer 'nosuch:x' does not name a serializer: cannot import nosuch: "
     "ModuleNotFoundError: No module named 'nosuch'"),
]


@pytest.mark.parametrize("argument, problem", PLAN_ERRORS)
def test_a_serializer_that_cannot_be_used_is_a_plan_error(tmp_path, argument, problem):
    # The module hides pandas, pyarrow and numpy as an environment without them would.
    (tmp_path / "m.py").write_text(
        'import sys\nsys.modules["pandas"] = sys.modules["pyarrow"] = sys.modules["numpy"] = None\n'
        'from quarl import asset\n\n'
        "NOTHING = 42\n\n\nclass Half:\n    name, suffix = 'half', '.h'\n\n\n"
        "class Nameless:\n    name, suffix = 'json', '.n'\n    dump = load = print\n\n\n"
        f"@asset({argument})\ndef a() -> int:\n    return 1\n")
    done = quarl(tmp_path, "run", "m")
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", f"quarl run: error: the project cannot be planned:\n  m.a: {problem}\n")


WORKER_CASES = {
    "value": ("def f(x: int, day: str) -> dict:\n    return {'z': [x, day], 'a': 'é', 'n': float('nan')}\n",
              {"x": {"value": 5}, "day": {"value": "d1"}}),
    "none": ("def f() -> None:\n    return None\n", {}),
    "raises": ("class Outer:\n    class Bad(Exception):\n        pass\n\n\n"
               "def f():\n    raise Outer.Bad('é bad')\n", {}),
    "not json": ("def f():\n    return {1, 2}\n", {}),
    "killed": ("import os, signal\n\n\ndef f():\n    os.kill(os.getpid(), signal.SIGKILL)\n", {}),
}


@pytest.mark.parametrize("case", WORKER_CASES)
def test_the_package_writes_the_modules_records_byte_for_byte(tmp_path, case):
    """The same run through the module (a JSON input) and through the package's materializer."""
    source, inputs = WORKER_CASES[case]
    (tmp_path / "w.py").write_text(source)
    kwargs = json.dumps({name: item["value"] for name, item in inputs.items()})
    request = json.dumps(contract.Request(
        attempt="0" * 12, asset="w.f", module="w", function="f", folder="out/b", partition={}, fingerprint="",
        consumed=[], serializer=None, inputs=inputs).document())
    package = "import sys\nfrom quarl import contract, values\nvalues.materialize(contract.read_request(sys.argv[1]))"
    results = []
    for folder, args in [("out/a", ["-m", "quarl.worker", "w", "f", "out/a", kwargs]),
                         ("out/b", ["-c", package, request])]:
        if case == "killed":  # the record of an earlier run is gone before the asset runs
            (tmp_path / folder).mkdir(parents=True)
            (tmp_path / folder / "result.json").write_text('{"ok":true}')
        done = subprocess.run([sys.executable, *args], cwd=tmp_path, capture_output=True,
                              env={**sanitizer_env(), "PYTHONPATH": str(tmp_path)})
        files = {p.name: p.read_bytes() for p in (tmp_path / folder).iterdir()}
        results.append((done.returncode, {k: v.replace(b"out/b", b"out/a") for k, v in files.items()}))
    assert results[0] == results[1]
    assert results[0][0] == {"value": 0, "none": 0, "killed": -9}.get(case, 1)


KEEPS = "parquet keeps an object column whose values are all of one type among str, bytes, bool, Decimal, date and time"

# (the DataFrame, made of pandas, numpy and pyarrow; the refusal, or None: it reads back equal)
FRAMES = {
    "bool labels": (lambda pd, np, pa: pd.DataFrame({True: [1], False: [2]}),
                    "column False: parquet gives its label back as True"),
    "labels 0 and '0'": (lambda pd, np, pa: pd.DataFrame({0: [1], "0": [2]}),
                         "column '0': parquet names it '0', as it does column 0"),
    "labels 0 and 'a'": (lambda pd, np, pa: pd.DataFrame({0: [1], "a": [2]}),
                         "column 0: parquet gives its label back as '0'"),
    "dicts": (lambda pd, np, pa: pd.DataFrame({"d": [{"a": 1}, {"b": 2}]}), f"column 'd': holds dict values; {KEEPS}"),
    "bytes and str": (lambda pd, np, pa: pd.DataFrame({"m": [b"x", "y"]}),
                      f"column 'm': holds bytes and str values; {KEEPS}"),
    "pandas.NA": (lambda pd, np, pa: pd.DataFrame({"s": pd.Series(["x", pd.NA], dtype=object)}),
                  "column 's': holds <NA> for a missing value, which parquet gives back as None"),
    "int categorical": (lambda pd, np, pa: pd.DataFrame({"c": pd.Categorical([1, 2, 1])}),
                        "column 'c': parquet gives its category values back as int64"),
    "string[python]": (lambda pd, np, pa: pd.DataFrame({"s": pd.array(["a", None], dtype="string[python]")}),
                       "column 's': parquet gives its string[python] values back as string[pyarrow]"),
    "arrow list": (lambda pd, np, pa: pd.DataFrame({"l": pd.array([[1, 2], [3]], dtype=pd.ArrowDtype(pa.list_(pa.int64())))}),
                   "column 'l': parquet cannot give its list<item: int64>[pyarrow] values back (TypeError: data type "
                   "'list<item: int64>[pyarrow]' not understood)"),
    "complex": (lambda pd, np, pa: pd.DataFrame({"z": [1 + 2j]}),
                "column 'z': parquet cannot store its complex128 values (ArrowNotImplementedError: Unsupported numpy "
                "type 15)"),
    "datetime64[s]": (lambda pd, np, pa: pd.DataFrame(
        {"t": np.array(["2024-05-01T08:00:01", "NaT"], dtype="datetime64[s]")},
        index=pd.DatetimeIndex(np.array(["2024-05-01"] * 2, dtype="datetime64[s]")).tz_localize("UTC")), None),
    "object strings": (lambda pd, np, pa: pd.DataFrame({"s": pd.Series(["é", None], dtype=object)},
                                                       index=pd.Index(["a", "b"], dtype=object)), None),
    "object of one type": (lambda pd, np, pa: pd.DataFrame({"b": pd.Series([b"x", None], dtype=object),
                                                            "d": pd.Series([pd.Timestamp(0).date(), None], dtype=object)}),
                           None),
}


@pytest.mark.parametrize("case", FRAMES)
def test_parquet_stores_a_frame_that_reads_back_equal_or_refuses_it(tmp_path, case):
    pd, np, pa = (pytest.importorskip(name) for name in ("pandas", "numpy", "pyarrow"))
    from quarl import values

    make, refusal = FRAMES[case]
    frame, path = make(pd, np, pa), tmp_path / "value.parquet"
    if refusal is not None:
        with pytest.raises(values.ValueStoreError) as info:
            values.write_whole(path, lambda p: values.dump_verified(values.PARQUET, frame, p))
        assert (str(info.value), list(tmp_path.iterdir())) == (f'{refusal}; serializer="pickle" keeps any object', [])
    else:
        values.write_whole(path, lambda p: values.dump_verified(values.PARQUET, frame, p))
        back = values.PARQUET.load(path)
        assert back.equals(frame)
        assert [list(back.dtypes), back.index.dtype, list(back.columns)] == [list(frame.dtypes), frame.index.dtype,
                                                                            list(frame.columns)]
    # "auto" stores it as parquet only where parquet keeps it.
    assert values.choose_auto(frame)[0].name == ("parquet" if refusal is None else "pickle")


@pytest.mark.parametrize("value, chosen", [
    ({"a": [1, 2.5, None, True, float("nan")], "b": "é"}, "json"),
    ({1: "a", "1": "b", None: "c"}, "pickle"),
    ({"a": (1, 2)}, "pickle"),
    ([__import__("enum").IntEnum("E", "ONE").ONE], "pickle"),
    (__import__("collections").OrderedDict(a=1), "pickle"),
    ({1, 2}, "pickle"),
])
def test_auto_chooses_json_only_for_a_value_that_reads_back_the_same(value, chosen):
    from quarl import values

    serializer, text = values.choose_auto(value)
    assert (serializer.name, text) == (chosen, json.dumps(value) if chosen == "json" else None)


BAD = '''\
import pandas as pd
import pyarrow as pa

from quarl import asset


@asset(serializer="parquet")
def nested() -> pd.DataFrame:
    return pd.DataFrame({"l": pd.array([[1, 2], [3]], dtype=pd.ArrowDtype(pa.list_(pa.int64())))})


@asset(inputs={"nested": nested})
def width(nested: pd.DataFrame) -> int:
    return len(nested)


@asset(serializer="auto")
def keys() -> dict:
    return {1: "a", "1": "b", None: "c"}


@asset(inputs={"keys": keys})
def count(keys: dict) -> list:
    return sorted(map(repr, keys))
'''


def test_a_value_that_would_not_read_back_fails_its_run_and_is_never_published(tmp_path):
    pytest.importorskip("pyarrow", reason="no parquet extra")
    (tmp_path / "bad.py").write_text(BAD)
    done = quarl(tmp_path, "run", "bad", "--json")
    runs = {name: (r["status"], r["result_type"], r["error"]) for name, r in by_name(done).items()}
    assert (done.returncode, runs) == (1, {
        "bad.nested": ("failed", None, "ValueStoreError: column 'l': parquet cannot give its list<item: int64>[pyarrow] "
                       "values back (TypeError: data type 'list<item: int64>[pyarrow]' not understood); "
                       'serializer="pickle" keeps any object'),
        "bad.width": ("skipped", None, "bad.nested failed"),
        "bad.keys": ("succeeded", "dict (pickle)", None), "bad.count": ("succeeded", "list", None)})
    assert value(tmp_path, "bad.count") == ["'1'", "1", "None"]
    assert sorted(p.name for p in (tmp_path / "quarl-out").iterdir() if "nested" in p.name) == [".bad.nested.failed"]
    assert sorted(p.name for p in (tmp_path / "quarl-out/.bad.nested.failed").iterdir()) == [
        "attempt.json", "result.json", "run.json", "stderr.log", "stdout.log"]


# The gathered DataFrames as the consumers of vals.gathered received them, as pd.concat makes them
# of the upstream's own frames: its index kept, pandas' default one numbered anew; a column for
# each dimension, except one the frames have already (the store of sales). vals.frames annotates
# with the class, vals.gathered with text.
DAYS = ("2024-05-01", "2024-05-02", "2024-05-03")
GATHERED = {
    "gathered.all_sales": lambda pd, vals: pd.concat([vals.gathered.sales_of(s, w).assign(week=w)
                                                      for s in ("north", "south") for w in (1, 2)], ignore_index=True),
    "gathered.all_stock": lambda pd, vals: pd.concat([vals.gathered.stock_of(w).assign(week=w) for w in (1, 2)]),
    "frames.all_daily": lambda pd, vals: pd.concat([vals.frames.daily(day) for day in DAYS], ignore_index=True),
}


def shape(value):
    """A value as the tests compare it: a DataFrame with its dtypes and index spelled out, an
    ndarray with its dtype."""
    kind = type(value).__name__
    if kind == "ndarray":
        return value.tolist(), str(value.dtype)
    if kind != "DataFrame":
        return value
    return (value.to_dict("split"), list(value.dtypes.items()), list(value.index.names),
            str(value.index.dtype))


@pytest.mark.parametrize("name", GATHERED)
def test_a_parameter_annotated_dataframe_receives_the_gathered_frames_as_one(project, fixture_modules, monkeypatch,
                                                                             name):
    folder, _ = project
    fixture_modules("values")
    import pandas as pd

    import quarl
    import vals.frames
    import vals.gathered

    monkeypatch.chdir(folder)
    got, expected = quarl.load(f"vals.{name}"), GATHERED[name](pd, vals)
    assert (got.equals(expected), shape(got)) == (True, shape(expected))


@pytest.mark.parametrize("name, parameter, stored", [("all_counts", "counts", "json"), ("all_notes", "notes", "pickle")])
def test_a_dataframe_is_gathered_from_parquet_values_only(project, name, parameter, stored):
    run = project[1][f"vals.gathered.{name}"]
    assert (run["status"], run["error"]) == ("failed", (
        f"GatherError: parameter {parameter!r} is annotated pandas.DataFrame, which gathers DataFrames stored as "
        f"parquet: partition week=1 is stored as {stored}; store its asset with @asset(serializer=\"parquet\"), or "
        "annotate the parameter list to receive each value"))


DAY_2 = {"day": ["2024-05-02"] * 2, "n": [0, 1]}

# (asset, partition, what quarl.load gives, made of pandas, numpy and the fixture's modules; or the
# message of its LoadError)
LOADS = [
    ("vals.frames.frame", None, lambda pd, np, vals: vals.frames.make_frame()),
    ("daily", {"day": "2024-05-02"}, lambda pd, np, vals: pd.DataFrame(DAY_2)),
    ("vals.frames.daily", "day=2024-05-02", lambda pd, np, vals: pd.DataFrame(DAY_2)),
    ("vals.objects.chosen", "kind=json", lambda pd, np, vals: {"b": [1, 2.5, None], "a": "é"}),
    ("grid", None, lambda pd, np, vals: np.arange(12, dtype=np.int32).reshape(3, 4)),
    ("nope", None, "quarl-out holds no asset 'nope' (its assets: vals.custom.both, vals.custom.lines, "
                   "vals.custom.shout, vals.frames.all_daily, vals.frames.combined, ...)"),
    ("daily", None, "vals.frames.daily is partitioned: say which partition, e.g. partition='day=2024-05-01'"),
    ("daily", {"day": "2024-05-09"}, "vals.frames.daily has no published value for day=2024-05-09 in quarl-out "
                                     "(its published partitions: day=2024-05-01, day=2024-05-02, day=2024-05-03)"),
    ("frame", "day=1", "vals.frames.frame is not partitioned in quarl-out: leave out partition="),
    ("forgot_set", None, "vals.frames.forgot_set has no published value in quarl-out: its run failed: TypeError: "
                         "Object of type set is not JSON serializable; vals.frames.forgot_set returned a value of "
                         'type dict, which JSON cannot store: store it with @asset(serializer="pickle")'),
]


@pytest.mark.parametrize("asset, partition, expected", LOADS)
def test_load_reads_a_published_value_with_its_serializer(project, fixture_modules, monkeypatch, asset, partition,
                                                          expected):
    import numpy as np
    import pandas as pd

    import quarl
    from quarl.published import LoadError

    monkeypatch.chdir(project[0])
    if isinstance(expected, str):
        with pytest.raises(LoadError) as info:
            quarl.load(asset, partition)
        assert str(info.value) == expected
        return
    fixture_modules("values")
    import vals.frames

    assert shape(quarl.load(asset, partition=partition)) == shape(expected(pd, np, vals))


@pytest.mark.parametrize("change", ["edited", "removed"])
def test_load_refuses_a_value_changed_outside_quarl(project, tmp_path, monkeypatch, change):
    import quarl
    from quarl.published import LoadError

    shutil.copytree(project[0] / "quarl-out/vals.frames.frame", tmp_path / "quarl-out/vals.frames.frame")
    value_file = tmp_path / "quarl-out/vals.frames.frame/value.parquet"
    if change == "edited":
        with open(value_file, "ab") as file:
            file.write(b"\n")
    else:
        value_file.unlink()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(LoadError) as info:
        quarl.load("vals.frames.frame")
    assert str(info.value) == ("the value of vals.frames.frame in quarl-out/vals.frames.frame was changed outside "
                               "quarl since its run wrote it: quarl run makes it again")


# (the DataFrames of partitions k=0, k=1..., made of pandas; how pd.concat makes the expected one of
# them, or the GatherError's message after "parameter 'x': ")
GATHERS = {
    "ranges of their own": (lambda pd: [pd.DataFrame({"a": [1, 2]}, index=pd.RangeIndex(5, 7)), pd.DataFrame({"a": [3]})],
                            {}),
    "int and float": (lambda pd: [pd.DataFrame({"n": [1]}), pd.DataFrame({"n": [1.5]})], {"ignore_index": True}),
    "a column missing": (lambda pd: [pd.DataFrame({"a": [1], "b": pd.Series(["x"], dtype=object)}),
                                     pd.DataFrame({"a": [2]})], {"ignore_index": True}),
    "none": (lambda pd: [], None),
    "int and str": (lambda pd: [pd.DataFrame({"n": [1]}), pd.DataFrame({"n": ["x"]})],
                    "the DataFrames of its partitions cannot be concatenated (Unable to merge: Field n has incompatible "
                    "types: int64 vs large_string)"),
    "indexes": (lambda pd: [pd.DataFrame({"n": [1]}), pd.DataFrame({"n": [2]}, index=pd.Index(["a"], name="id"))],
                "the DataFrames of partitions k=0 and k=1 have different indexes (a RangeIndex and 'id'), which one "
                "DataFrame cannot hold"),
}


@pytest.mark.parametrize("case", GATHERS)
def test_gathered_frames_concatenate_as_pd_concat_would(tmp_path, case):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    from quarl import frames, values

    make, expected = GATHERS[case]
    gathered = []
    for k, frame in enumerate(make(pd)):
        path = tmp_path / f"{k}.parquet"
        values.write_whole(path, lambda p: values.dump_verified(values.PARQUET, frame, p))
        gathered.append(({"k": k}, contract.Value(str(path), "parquet")))
    if isinstance(expected, str):
        with pytest.raises(frames.GatherError) as info:
            frames.gathered_frame("x", gathered)
        assert str(info.value) == f"parameter 'x': {expected}"
        return
    got = frames.gathered_frame("x", gathered)
    concatenated = pd.DataFrame() if expected is None else \
        pd.concat([frame.assign(k=k) for k, frame in enumerate(make(pd))], **expected)
    # equals: a missing value in an object column is None here (as parquet gives it), NaN in pd.concat's.
    assert (got.equals(concatenated), list(got.dtypes.items()), list(got.index), list(got.index.names)) == (
        True, list(concatenated.dtypes.items()), list(concatenated.index), list(concatenated.index.names))
