"""The planner and the output layout, on report records written by hand: no process is started."""

import hashlib
import json
import os

import pytest

from quarl.run import layout
from quarl.run.plan import Basis, PlanError, build_plan, canonical, fingerprint


def record(module, function, inputs=None, partitions=None, source=None, found_in=None):
    """A compact report record of an asset defined in /p/<module>.py."""
    return {
        "decorator_metadata": {
            "inputs": {p: f"/p/{ref}" for p, ref in inputs.items()} if inputs is not None else None,
            "kind": "asset", "name": None, "serializer": None,
            "partitions": {d: {"kind": "inline", "values_json": json.dumps(v)} for d, v in partitions.items()}
            if partitions else None},
        "file_path": f"/p/{module.replace('.', '/')}.py", "function_module": module, "function_name": function,
        "function_source": source or f"def {function}(): ...\n", "kind": "asset",
        "module_path": found_in or module, "python_version": "3.13.0", "return_type": None,
    }


def names(plan, indices):
    return [plan.runs[i].name for i in indices]


def test_assets_reported_by_several_modules_are_planned_once_in_dependency_order():
    plan = build_plan([
        record("m.report", "top", inputs={"x": "m/sales.py:mid"}),
        record("m.sales", "mid", inputs={"a": "m/raw.py:b_raw", "b": "m/raw.py:a_raw"}),
        record("m.raw", "b_raw", found_in="m.sales"),  # imported into m.sales as well
        record("m.raw", "b_raw"),
        record("m.raw", "a_raw"),
    ])
    assert [a.key for a in plan.assets] == ["m.raw.a_raw", "m.raw.b_raw", "m.sales.mid", "m.report.top"]
    assert [(i.parameter, names(plan, i.upstream), i.pinned) for i in plan.runs[2].inputs] == [
        ("a", ["m.raw.b_raw"], True), ("b", ["m.raw.a_raw"], True)]


@pytest.mark.parametrize("records, problems", [
    ([record("m", "f", inputs={"x": "m.py:g"})],
     ["m.f: input 'x' refers to '/p/m.py:g', which is not an asset of this project"]),
    ([record("m", "a", inputs={"p": "m.py:b"}), record("m", "b", inputs={"q": "m.py:c"}),
      record("m", "c", inputs={"r": "m.py:a"}), record("m", "d", inputs={"s": "m.py:a"})],
     ["dependency cycle: m.a (input 'p') -> m.b (input 'q') -> m.c (input 'r') -> m.a"]),
    ([record("m", "f"), record("m", "f", source="def f(): return 2\n", found_in="n")],
     ["/p/m.py:f names two different assets (m.f and m.f, found in m, n)"]),
    ([record("m", "f", inputs={"day": "m.py:g"}, partitions={"day": [1]}), record("m", "g")],
     ["m.f: 'day' is both an input and a partition dimension"]),
    ([record("m", "up", partitions={"day": [1, 2]}),
      record("m", "down", inputs={"u": "m.py:up"}, partitions={"day": [2, 3]})],
     ["m.down (day=3): input 'u' from m.up matches no run of it"]),
])
def test_plan_errors_name_the_assets_and_parameters(records, problems):
    with pytest.raises(PlanError) as raised:
        build_plan(records)
    assert raised.value.problems == problems


def test_partitioned_inputs_pin_one_run_or_list_the_matching_ones():
    plan = build_plan([
        record("m", "units", partitions={"day": ["d1", "d2"], "region": ["eu", "us", "eu"]}),
        record("m", "per_region", inputs={"u": "m.py:units"}, partitions={"region": ["us"]}),
        record("m", "per_cell", inputs={"u": "m.py:units"}, partitions={"region": ["eu"], "day": ["d2"]}),
        record("m", "total", inputs={"u": "m.py:units"}),
    ])
    runs = {run.name: run for run in plan.runs}
    # A repeated value is one run: 2 x 2, not 2 x 3.
    assert [r.label for r in plan.asset_runs("m.units")] == [
        "day=d1,region=eu", "day=d1,region=us", "day=d2,region=eu", "day=d2,region=us"]
    inputs = {name: [(names(plan, i.upstream), i.pinned) for i in runs[name].inputs]
              for name in ("m.per_region[region=us]", "m.per_cell[day=d2,region=eu]", "m.total")}
    assert inputs == {
        "m.per_region[region=us]": [(["m.units[day=d1,region=us]", "m.units[day=d2,region=us]"], False)],
        "m.per_cell[day=d2,region=eu]": [(["m.units[day=d2,region=eu]"], True)],
        "m.total": [([r.name for r in plan.asset_runs("m.units")], False)],
    }


def test_an_assets_code_digest_follows_its_own_source_only():
    # What is downstream reruns on its upstream's new value, if the value changes at all.
    def codes(raw_source):
        plan = build_plan([record("m", "raw", source=raw_source), record("m", "other"),
                           record("m", "use", inputs={"r": "m.py:raw"})])
        return {asset.key: asset.code for asset in plan.assets}

    before, after = codes("def raw(): return 1\n"), codes("def raw(): return 2\n")
    assert [name for name in before if before[name] != after[name]] == ["m.raw"]


@pytest.mark.parametrize("serializer, changed", [(None, []), ("json", []), ("parquet", ["m.raw"])])
def test_the_serializer_is_in_the_fingerprint_and_json_keeps_the_old_one(serializer, changed):
    # No serializer, or "json", is the same code.
    def prints(serializer):
        raw = record("m", "raw")
        raw["decorator_metadata"]["serializer"] = serializer
        plan = build_plan([raw, record("m", "use", inputs={"r": "m.py:raw"})])
        return {asset.key: asset.code for asset in plan.assets}

    before, after = prints(None), prints(serializer)
    assert [name for name in before if before[name] != after[name]] == changed


AWKWARD = ["a/b", "x,y=z", "..", ".", "%41", "ünï cödé ☃", "", "1", "null", '"q"', "[1]",
           1, 1.5, -0.0, None, True, [1, "a/b"], {"k": "v,=%"}, "\x00\n\t", "a" * 100]


def test_partition_folder_names_are_safe_unique_and_reversible():
    partitions = [(("dim", canonical(value)), ("d,=%/", canonical("v"))) for value in AWKWARD]
    folders = [layout.partition_folder(p) for p in partitions]
    assert len(set(folders)) == len(folders)
    for folder, value in zip(folders, AWKWARD):
        assert "/" not in folder and "\x00" not in folder and folder not in (".", "..")
        assert layout.parse_partition_folder(folder) == {"dim": value, "d,=%/": "v"}
    assert layout.partition_folder((("day", '"2024-05-01"'), ("n", "1"))) == "day=2024-05-01,n=1"
    assert layout.partition_folder((("s", '"1"'), ("p", '"a/b,c"'))) == "s=%221%22,p=a%2Fb%2Cc"


@pytest.mark.parametrize("value", AWKWARD)
def test_fingerprints_hash_the_canonical_document_that_published_runs_recorded(value):
    # A fingerprint that changed its text would make every published run out of date.
    text = canonical(value)
    assert text == json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
    for observed in (None, text):
        basis = Basis(f"c{text}", (("d,\"", text), ("n", "1")), (("p\\", ("f1", text)), ("q", ())),
                      ((text, "d1"), ("b", text)), observed)
        expected = hashlib.sha256(json.dumps(basis.document(), ensure_ascii=False, separators=(",", ":"),
                                             sort_keys=True).encode()).hexdigest()
        assert fingerprint(basis) == expected
        assert Basis.from_document(json.loads(json.dumps(basis.document()))) == basis


@pytest.mark.parametrize("atomic_swap", [True, False])
def test_replace_folder_swaps_whole_folders_and_recover_undoes_a_half_swap(tmp_path, monkeypatch,
                                                                           atomic_swap):
    if not atomic_swap:  # a file system without renameat2's exchange
        monkeypatch.setattr(layout, "_renameat2", None)
    def folder(name, files):
        path = tmp_path / name
        path.mkdir()
        for file, text in files.items():
            (path / file).write_text(text)
        return str(path)

    def contents(path):
        return {p.name: p.read_text() for p in sorted(path.iterdir())}

    published = str(tmp_path / "x")
    layout.replace_folder(folder(".x.attempt-1", {"value.json": "1", "old.log": ""}), published)
    layout.replace_folder(folder(".x.attempt-2", {"value.json": "2", "run.json": "{}"}), published)
    assert sorted(os.listdir(tmp_path)) == ["x"]
    assert contents(tmp_path / "x") == {"run.json": "{}", "value.json": "2"}
    # A process that died between stepping the old folder aside and moving the new one in.
    os.rename(published, str(tmp_path / ".x.attempt-00000000000a.replaced"))
    folder(".x.attempt-00000000000a", {"value.json": "3"})
    folder(".y.attempt-00000000000b", {})
    # The same, replacing the last failure: that is not put back as a published run.
    folder(".z.attempt-00000000000c.replaced", {"result.json": '{"ok":false}'})
    layout.recover(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == ["x"]
    assert contents(tmp_path / "x") == {"run.json": "{}", "value.json": "2"}


def test_recover_touches_only_the_names_of_attempts(tmp_path):
    ours = [".a.attempt-0123456789ab", ".key=x.attempt-0123456789ab.attempt-abcdef012345",
            ".b.attempt-0123456789ab.replaced"]
    # Published and failed folders of partitions whose dimensions and values say ".attempt-".
    partitions = [(("key", canonical("v.attempt-0123456789ab")),), ((".x.attempt-1", canonical("v")),),
                  ((".d", canonical("v.attempt-0123456789ab")),)]
    theirs = [layout.partition_folder(p) for p in partitions]
    theirs += [f".{name}.failed" for name in theirs]
    theirs += [".a.attempt-0123456789AB", ".a.attempt-0123456789a", ".a.attempt-0123456789ab.tmp",
               ".attempt-0123456789ab", "a.attempt-0123456789ab", ".quarl.lock"]
    for name in ours + theirs:
        (tmp_path / name).mkdir()
    layout.recover(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted(theirs)


@pytest.mark.parametrize("where, folders, expected", [
    ("proj/pkg/m.py", ["proj"], True),
    ("proj/.venv/lib/python3.13/site-packages/lib/m.py", ["proj"], False),  # an environment in the project
    ("elsewhere/m.py", ["proj"], False),
    ("elsewhere/m.py", None, True),  # asked by hand: whatever is not a library
    ("link/m.py", ["proj"], True),  # through a link into the project
    (None, ["proj"], False),
])
def test_one_rule_tells_the_projects_files_from_libraries(tmp_path, where, folders, expected):
    from quarl.project import is_project_file, library_roots

    (tmp_path / "proj").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "proj")
    assert is_project_file(where and str(tmp_path / where), folders and [str(tmp_path / f) for f in folders]) \
        is expected
    assert not is_project_file(os.__file__, None) and library_roots()
