import importlib
import inspect
import io
import json
import subprocess
import sys
import textwrap
import types

import pytest

from _quarl import _inspect_modules_compact, inspect_modules

VERSION = "%d.%d.%d" % sys.version_info[:3]
EMPTY = '{"assets":[]}'


@pytest.fixture
def root(fixture_modules):
    return fixture_modules("inspect")


def records(report):
    return json.loads(report)["assets"]


def source_of(path):
    return path.read_text(encoding="utf-8").strip() + "\n"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("pkg",), {}, "argument 'modules': Can't extract `str` to `Vec`"),
        (({"a": 1},), {}, "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        (({"a"},), {}, "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
        (((m for m in "a"),), {}, "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
        ((None,), {}, "argument 'modules': 'NoneType' object cannot be converted to 'Sequence'"),
        ((["a", 3],), {}, "argument 'modules': 'int' object cannot be converted to 'PyString'"),
        ((), {}, "inspect_modules() missing 1 required positional argument: 'modules'"),
        (([], []), {}, "inspect_modules() takes 1 positional arguments but 2 were given"),
        ((), {"module": []}, "inspect_modules() got an unexpected keyword argument 'module'"),
        (([], True), {}, "inspect_modules() takes 1 positional arguments but 2 were given"),
        (([],), {"compact": True}, "inspect_modules() got an unexpected keyword argument 'compact'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        inspect_modules(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("modules", [[], (), range(0)])
def test_nothing_to_inspect(modules):
    assert inspect_modules(modules) == EMPTY
    assert inspect_modules(modules=modules) == EMPTY


@pytest.mark.parametrize(
    "blocked, first",
    [
        (["pathlib", "textwrap"], "textwrap"),
        (["sys", "pathlib"], "sys"),
        (["inspect", "importlib"], "importlib"),
    ],
)
def test_standard_modules_imported_in_order(monkeypatch, blocked, first):
    for name in blocked:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError) as caught:
        inspect_modules([])
    assert str(caught.value) == f"import of {first} halted; None in sys.modules"


def test_whole_report_of_one_asset(root):
    report = inspect_modules(("pipeline.assets",))
    path = root / "pipeline" / "assets.py"
    assert report == (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,'
        '"partitions":null,"serializer":null},'
        f'"file_path":"{path}","function_name":"hello",'
        '"function_source":"@asset()\\ndef hello():\\n    return 1\\n","kind":"asset",'
        '"module_path":"pipeline.assets",'
        '"module_source":"from quarl import asset\\n\\n@asset()\\ndef hello():\\n    return 1\\n",'
        f'"python_version":"{VERSION}","return_type":null}}]}}'
    )


def test_whole_report_with_inputs_and_partitions(root):
    # The module imports `hello` as well, so its report holds both assets.
    report = inspect_modules(["pipeline.partitioned"])
    folder = root / "pipeline"
    source = json.dumps(source_of(folder / "partitioned.py"), ensure_ascii=False)
    hello_record = (
        '{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,'
        f'"serializer":null}},"file_path":"{folder}/assets.py","function_name":"hello",'
        '"function_source":"@asset()\\ndef hello():\\n    return 1\\n","kind":"asset",'
        f'"module_path":"pipeline.partitioned","module_source":{source},'
        f'"python_version":"{VERSION}","return_type":null}}'
    )
    prices_record = (
        f'{{"decorator_metadata":{{"inputs":{{"greeting":"{folder}/assets.py:hello",'
        '"raw":"warehouse:raw"},"kind":"asset","name":"daily prices",'
        '"partitions":{"ticker":{"kind":"inline","values_json":"[\\"A\\",\\"B\\"]"}},'
        f'"serializer":"parquet"}},"file_path":"{folder}/partitioned.py",'
        '"function_name":"prices","function_source":'
        + json.dumps(
            "@asset(\n"
            '    name="daily prices",\n'
            '    inputs={"greeting": hello, "raw": "warehouse:raw"},\n'
            '    partitions={"ticker": partitions(["A", "B"])},\n'
            '    serializer="parquet",\n'
            ")\n"
            'def prices(greeting, raw, ticker) -> "Frame":\n'
            '    return {"ticker": ticker}\n'
        )
        + ',"kind":"asset",'
        f'"module_path":"pipeline.partitioned","module_source":{source},'
        f'"python_version":"{VERSION}","return_type":"Frame"}}'
    )
    assert report == f'{{"assets":[{hello_record},{prices_record}]}}'


def test_text_escapes_and_utf8(root):
    report = inspect_modules(["pipeline.texts"])
    # Quote, backslash and tab escaped; everything else, non-ASCII included, as UTF-8 bytes.
    assert (
        r'"function_source":"@asset(name=\"café ☕\")\ndef greeting():\n'
        r'\treturn \"naïve\\ttab \\\"quoted\\\" back\\\\slash\"\n"'
    ) in report
    assert '"name":"café ☕"' in report
    [record] = records(report)
    assert record["module_source"] == source_of(root / "pipeline" / "texts.py")


@pytest.mark.parametrize("filler", ["\x01", "\t", '"', "x"])
def test_large_module_source_in_every_record(tmp_path, monkeypatch, filler):
    # A module's source goes into each of its records; a source made of characters that are
    # escaped ("\x01" becomes six bytes) makes the text much longer than the sources it holds.
    source = (
        "from quarl import asset\n\n"
        + "".join(f"# {filler * 2000}\n" for _ in range(100))
        + "".join(f"\n@asset()\ndef a{i}():\n    return {i}\n" for i in range(3))
    )
    (tmp_path / "filled_module.py").write_text(source, encoding="utf-8")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "filled_module", raising=False)
    try:
        report = inspect_modules(["filled_module"])
    finally:
        sys.modules.pop("filled_module", None)
    expected = [
        {
            "decorator_metadata": {
                "inputs": None, "kind": "asset", "name": None, "partitions": None,
                "serializer": None,
            },
            "file_path": str(tmp_path / "filled_module.py"),
            "function_name": f"a{i}",
            "function_source": f"@asset()\ndef a{i}():\n    return {i}\n",
            "kind": "asset",
            "module_path": "filled_module",
            "module_source": source.strip() + "\n",
            "python_version": VERSION,
            "return_type": None,
        }
        for i in range(3)
    ]
    assert report == json.dumps(
        {"assets": expected}, sort_keys=True, separators=(",", ":"), ensure_ascii=False
    )


@pytest.mark.parametrize(
    "modules",
    [
        ["pipeline.ordered"],
        ["pipeline.annotated"],
        ["pipeline.methods", "pipeline.bare", "pipeline.texts"],
    ],
)
def test_report_is_compact_with_sorted_keys(root, modules):
    report = inspect_modules(modules)
    assert report == json.dumps(
        json.loads(report), sort_keys=True, separators=(",", ":"), ensure_ascii=False
    )
    for record in records(report):
        assert list(record) == [
            "decorator_metadata", "file_path", "function_name", "function_source", "kind",
            "module_path", "module_source", "python_version", "return_type",
        ]
        assert record["kind"] == "asset"
        assert record["python_version"] == VERSION


@pytest.mark.parametrize(
    "modules, function_modules",
    [
        (["pipeline.partitioned"], ["pipeline.assets", "pipeline.partitioned"]),
        (["pipeline.methods", "no_such_module", "pipeline.bare"], ["pipeline.methods"] * 3
         + ["pipeline.bare"]),
        # anonymous: __module__ raises; hello: imported; relabelled: __module__ is None
        (["pipeline.foreign"], [None, "pipeline.assets", None]),
    ],
)
def test_compact_report(root, capfd, modules, function_modules):
    full = records(inspect_modules(modules))
    skipped = capfd.readouterr()
    report = _inspect_modules_compact(modules)
    assert capfd.readouterr() == skipped
    assert len(full) == len(function_modules)
    expected = [
        {**{k: v for k, v in record.items() if k != "module_source"}, "function_module": module}
        for record, module in zip(full, function_modules)
    ]
    assert report == json.dumps(
        {"assets": expected}, sort_keys=True, separators=(",", ":"), ensure_ascii=False
    )


def test_compact_report_never_reads_module_source():
    with pytest.raises(TypeError):
        inspect_modules(["sys"])
    assert _inspect_modules_compact(["sys"]) == EMPTY


@pytest.mark.parametrize("args, kwargs, message", [
    (("pkg",), {}, "argument 'modules': Can't extract `str` to `Vec`"),
    (([],), {"compact": True},
     "_inspect_modules_compact() got an unexpected keyword argument 'compact'"),
])
def test_compact_report_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        _inspect_modules_compact(*args, **kwargs)
    assert str(caught.value) == message


def test_members_in_name_order_and_markers_checked_exactly(root):
    # ordered.py defines b_asset before a_asset, and also holds a plain function, a class and
    # objects whose __quarl_kind__ is "ASSET", 1, "asset " or raises on reading.
    [first, second] = records(inspect_modules(["pipeline.ordered"]))
    assert (first["function_name"], second["function_name"]) == ("a_asset", "b_asset")
    assert first["function_source"] == '@asset()\ndef a_asset():\n    return "a"\n'
    assert first["module_source"] == second["module_source"] == source_of(
        root / "pipeline" / "ordered.py"
    )


@pytest.mark.parametrize(
    "function_name, return_type",
    [
        ("as_dict", "dict"),
        ("as_forward", "Frame"),
        ("as_generic", "list[int]"),
        ("as_int", "int"),
        ("as_model", "Model"),
        ("as_none", "None"),
        ("as_optional", "typing.Optional[int]"),
        ("unannotated", None),
    ],
)
def test_return_types(root, function_name, return_type):
    found = records(inspect_modules(["pipeline.annotated"]))
    found = {r["function_name"]: r["return_type"] for r in found}
    assert found[function_name] == return_type


def test_asset_reported_once_per_attribute_and_module(root):
    ordered = str(root / "pipeline" / "ordered.py")
    found = records(inspect_modules(["pipeline.ordered", "pipeline.reexport", "pipeline.ordered"]))
    assert [(r["module_path"], r["function_name"], r["file_path"]) for r in found] == [
        ("pipeline.ordered", "a_asset", ordered),
        ("pipeline.ordered", "b_asset", ordered),
        # imported under its own name and bound again as `alias`
        ("pipeline.reexport", "a_asset", ordered),
        ("pipeline.reexport", "a_asset", ordered),
        ("pipeline.ordered", "a_asset", ordered),
        ("pipeline.ordered", "b_asset", ordered),
    ]
    assert found[2]["module_source"] == source_of(root / "pipeline" / "reexport.py")
    assert found[2]["function_source"] == found[0]["function_source"]


def test_method_like_objects(root):
    methods = str(root / "pipeline" / "methods.py")
    found = records(inspect_modules(["pipeline.methods"]))
    assert [
        (r["function_name"], r["function_source"], r["file_path"], r["return_type"]) for r in found
    ] == [
        # a bound method: inspect reaches its function, the signature drops `self`
        ("load", 'def load(self) -> "Rows":\n    return []\n', methods, "Rows"),
        # getsource and signature follow __wrapped__, getsourcefile refuses the object itself
        ("forwarded", "def _load(limit: int) -> list:\n    return list(range(limit))\n", "",
         "list"),
        # decorated inside a class body: the source loses the class's indentation
        ("run", "@asset()\ndef run(self) -> int:\n    return 1\n", methods, "int"),
    ]


def test_inputs_name_an_asset_by_the_file_and_name_of_its_record(tmp_path, monkeypatch):
    # Imported through a symbolic link, an asset is named by its resolved file both in the
    # inputs= of its consumer and in its own record: the orchestrator matches the two texts.
    real = tmp_path / "real"
    real.mkdir()
    (real / "linked_up.py").write_text("from quarl import asset\n@asset()\ndef up(): return 1\n")
    (real / "linked_down.py").write_text(
        "from quarl import asset\nfrom linked_up import up\n"
        "@asset(inputs={'u': up})\ndef down(u): return u\n")
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    monkeypatch.syspath_prepend(str(tmp_path / "link"))
    try:
        down, up = records(inspect_modules(["linked_down"]))
    finally:
        for name in ("linked_up", "linked_down"):
            sys.modules.pop(name, None)
    assert up["file_path"] == str(real.resolve() / "linked_up.py")
    assert down["decorator_metadata"]["inputs"] == {"u": f"{up['file_path']}:{up['function_name']}"}


def test_member_without_original_is_its_own_function(root):
    [record] = records(inspect_modules(["pipeline.bare"]))
    assert record["decorator_metadata"] == {"kind": "asset", "owner": "data-team"}
    assert record["function_name"] == "tagged"
    assert record["function_source"] == 'def tagged():\n    return "no wrapper"\n'


@pytest.mark.parametrize(
    "module, line",
    [
        ("no_such_module", "ModuleNotFoundError: No module named 'no_such_module'"),
        ("pipeline.missing", "ModuleNotFoundError: No module named 'pipeline.missing'"),
        ("broken.config", "ConfigError: missing setting 'db_url'"),
        ("broken.nested", "Outer.Nested: deep"),
        ("broken.unprintable", "Unprintable: <exception str() failed>"),
        ("broken.exits", "SystemExit: 0"),
        ("broken.halted", "Halt: stop here"),
        (
            "broken.bad_name",
            "ImportError: cannot import name 'nothing' from 'pipeline.assets' "
            "({root}/pipeline/assets.py)",
        ),
    ],
)
def test_module_that_fails_to_import_is_skipped(root, capfd, module, line):
    found = records(inspect_modules([module, "pipeline.assets"]))
    assert [r["function_name"] for r in found] == ["hello"]
    out, err = capfd.readouterr()
    assert out == ""
    assert err == f"quarl: skipping module '{module}': {line.format(root=root)}\n"


def test_skip_line_goes_to_the_descriptor_not_sys_stderr(capfd, monkeypatch):
    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stderr", replaced)
    assert inspect_modules(["no_such_module"]) == EMPTY
    assert capfd.readouterr().err == (
        "quarl: skipping module 'no_such_module': ModuleNotFoundError: "
        "No module named 'no_such_module'\n"
    )
    assert replaced.getvalue() == ""


def test_failed_skip_line_is_a_fault(root):
    code = textwrap.dedent(
        """
        import os, _quarl
        os.close(2)
        try:
            _quarl.inspect_modules(["no_such_module"])
        except BaseException as error:
            print(f"{type(error).__module__}.{type(error).__qualname__}: {error}")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == (
        "pyo3_runtime.PanicException: writing to standard error failed: Bad file descriptor\n"
    )


@pytest.mark.parametrize(
    "module, error, message",
    [
        ("sys", TypeError, "<module 'sys' (built-in)> is a built-in module"),
        (
            "failing.builtin_function",
            TypeError,
            "module, class, method, function, traceback, frame, or code object was expected, "
            "got builtin_function_or_method",
        ),
        ("failing.lost_source", OSError, "source code not available"),
        ("failing.unserialisable", TypeError, "Object of type set is not JSON serializable"),
        ("failing.not_finite", RuntimeError,
         "JSON parse error: expected value at line 1 column 11"),
        ("failing.metadata_unreadable", LookupError, "metadata store offline"),
        ("failing.no_signature", TypeError, "<inert> is not a callable object"),
    ],
)
def test_failure_ends_the_call(root, capfd, module, error, message):
    with pytest.raises(error) as caught:
        inspect_modules(["pipeline.assets", module, "pipeline.ordered"])
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("module", ["broken.interrupted", "failing.interrupting"])
def test_interrupt_is_never_discarded(root, capfd, module):
    with pytest.raises(KeyboardInterrupt):
        inspect_modules([module, "pipeline.assets"])
    assert capfd.readouterr().err == ""


_getmembers = inspect.getmembers


def _reversed_members(module):
    return list(reversed(_getmembers(module)))


@pytest.mark.parametrize(
    "target, name, replacement, check",
    [
        (inspect, "getmembers", _reversed_members,
         lambda found: [r["function_name"] for r in found] == ["b_asset", "a_asset"]),
        (textwrap, "dedent", lambda text: "  replaced \n",
         lambda found: {(r["function_source"], r["module_source"]) for r in found}
         == {("replaced\n", "replaced\n")}),
        (sys, "version_info", types.SimpleNamespace(major=4, minor=0, micro=1),
         lambda found: {r["python_version"] for r in found} == {"4.0.1"}),
    ],
)
def test_calls_go_to_the_current_objects(root, monkeypatch, target, name, replacement, check):
    importlib.import_module("pipeline.ordered")
    monkeypatch.setattr(target, name, replacement)
    assert check(records(inspect_modules(["pipeline.ordered"])))


@pytest.mark.parametrize(
    "members, error, message",
    [
        ([["a_asset", None]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([("a_asset",)], IndexError, "tuple index out of range"),
    ],
)
def test_members_must_be_pairs(root, monkeypatch, members, error, message):
    monkeypatch.setattr(inspect, "getmembers", lambda module: members)
    with pytest.raises(error) as caught:
        inspect_modules(["pipeline.assets"])
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "modules", [["pipeline.ordered"], ["pipeline.ordered", "failing.no_signature"]]
)
def test_no_reference_is_kept(root, modules):
    ordered = importlib.import_module("pipeline.ordered")
    watched = [ordered, ordered.a_asset, ordered.a_asset.__quarl_original__, ordered.unreadable]
    inspect_modules(["pipeline.ordered"])  # warm up caches inside inspect and linecache
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        try:
            inspect_modules(modules)
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in watched] == before
