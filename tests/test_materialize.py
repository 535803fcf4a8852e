import gc
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import pytest

from _quarl import materialize_asset
from conftest import sanitizer_env

MODULE = "pipeline.assets"
HAZARDS = "pipeline.hazards"
ROOT = pathlib.Path(__file__).parent / "fixtures" / "materialize"


@pytest.fixture
def pipeline(fixture_modules, tmp_path, monkeypatch):
    """Fixture modules on sys.path and the test's own directory as the working directory."""
    fixture_modules("materialize")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def failing(*args, **kwargs):
    """Runs a materialization that must end the worker; returns the failure record."""
    with pytest.raises(SystemExit) as info:
        materialize_asset(*args, **kwargs)
    assert info.value.args == (1,)
    written = pathlib.Path(args[2], "result.json").read_bytes()
    # The exit carries the exception that the record describes, for the worker to print.
    assert type(info.value.__context__).__name__ == json.loads(written)["error_type"]
    return written


def record(**members):
    """The compact, key-sorted text a consumer of result.json expects, from Python's encoder."""
    return json.dumps(members, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def success_record(function_name, result_type, signature, value_path, module_path=MODULE):
    return record(artifact_format="json", function_name=function_name, module_path=module_path,
                  ok=True, result_type=result_type, signature=signature, value_path=value_path)


def failure_record(error, error_type):
    return record(error=error, error_type=error_type, ok=False)


def listing(directory):
    return sorted(p.name for p in directory.iterdir())


# --- the worked example --------------------------------------------------------------------------

def test_greeting_writes_value_and_record(pipeline):
    from pipeline import assets

    assert type(assets.greeting).__name__ == "AssetWrapper"
    assert materialize_asset(MODULE, "greeting", "out/run1", '{"name": "ada"}') is None
    assert (pipeline / "out/run1/value.json").read_bytes() == b'{"text": "hi ada", "n": 2}'
    assert (pipeline / "out/run1/result.json").read_bytes() == (
        b'{"artifact_format":"json","function_name":"greeting","module_path":"pipeline.assets",'
        b'"ok":true,"result_type":"dict","signature":"(name: str) -> dict",'
        b'"value_path":"out/run1/value.json"}')


def test_greeting_failure_writes_only_the_record(pipeline):
    assert failing(MODULE, "greeting", "out/run1", '{"name": "4"}') == (
        b'{"error":"ValueError: bad name","error_type":"ValueError","ok":false}')
    assert sorted(p.name for p in (pipeline / "out/run1").iterdir()) == ["result.json"]


@pytest.mark.parametrize("output_dir", ["out/run1/", "./out/run1", "out//run1", "out/./run1"])
def test_value_path_is_spelled_by_pathlib(pipeline, output_dir):
    materialize_asset(MODULE, "nothing", output_dir)
    written = json.loads((pipeline / "out/run1/result.json").read_bytes())
    assert written["value_path"] == "out/run1/value.json"


def test_absolute_output_dir_stays_absolute(pipeline):
    out = pipeline / "a" / "b" / "c" / "d"
    materialize_asset(MODULE, "nothing", str(out))
    assert json.loads((out / "result.json").read_bytes())["value_path"] == str(out / "value.json")
    assert (out / "value.json").read_bytes() == b"null"


# --- successful runs -----------------------------------------------------------------------------

@pytest.mark.parametrize("function_name, kwargs, value, result_type, signature", [
    ("nothing", None, b"null", "NoneType", "()"),
    ("plain", '{"x": 1}', b"3", "int", "(x: int, y: int = 2) -> int"),
    ("echo", '{"b": [1, 2.5, null], "a": {"x": true}, "c": "\\u00e9"}',
     b'{"b": [1, 2.5, null], "a": {"x": true}, "c": "\\u00e9"}', "dict", "(**kwargs)"),
    ("echo", "{}", b"{}", "dict", "(**kwargs)"),
    # value.json escapes "é"; result.json carries the function name "café" as UTF-8.
    ("café", None, b'"\\u00e9"', "str", "()"),
    ("not_a_number", None, b"NaN", "float", "() -> float"),
    ("pair", None, b'[1, "a"]', "tuple", "()"),
    ("held", '{"x": 1, "y": 5}', b"6", "int", "(x: int, y: int = 2) -> int"),
    ("original_refused", None, b'"called directly"', "str", "()"),
])
def test_successful_runs(pipeline, function_name, kwargs, value, result_type, signature):
    materialize_asset(MODULE, function_name, "out", kwargs)
    assert (pipeline / "out/value.json").read_bytes() == value
    assert (pipeline / "out/result.json").read_bytes() == success_record(
        function_name, result_type, signature, "out/value.json")


@pytest.mark.parametrize("call", [
    lambda: materialize_asset(MODULE, "nothing", "out"),
    lambda: materialize_asset(MODULE, "nothing", "out", None),
    lambda: materialize_asset(MODULE, "nothing", "out", "{}"),
    lambda: materialize_asset(output_dir="out", function_name="nothing", module_name=MODULE,
                              input_kwargs_json=None),
])
def test_absent_and_empty_inputs_call_without_arguments(pipeline, call):
    assert call() is None
    assert (pipeline / "out/value.json").read_bytes() == b"null"


# --- failures of the run: a record and exit status 1 ---------------------------------------------

# Failures before the value is encoded: no value.json.
@pytest.mark.parametrize("module, function_name, kwargs, error, error_type", [
    ("pipeline.missing", "greeting", None,
     "ModuleNotFoundError: No module named 'pipeline.missing'", "ModuleNotFoundError"),
    ("pipeline.broken", "greeting", None, "RuntimeError: broken at import", "RuntimeError"),
    (MODULE, "nope", None,
     "AttributeError: module 'pipeline.assets' has no attribute 'nope'", "AttributeError"),
    (MODULE, "greeting", "{bad",
     "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)",
     "JSONDecodeError"),
    (MODULE, "greeting", "[1]", "TypeError: 'list' object cannot be converted to 'PyDict'",
     "TypeError"),
    (MODULE, "greeting", '"ada"', "TypeError: 'str' object cannot be converted to 'PyDict'",
     "TypeError"),
    (MODULE, "greeting", '{"zzz": "x"}',
     "TypeError: greeting() got an unexpected keyword argument 'zzz'", "TypeError"),
    (MODULE, "greeting", None,
     "TypeError: greeting() missing 1 required positional argument: 'name'", "TypeError"),
    (MODULE, "a_set", None, "TypeError: Object of type set is not JSON serializable", "TypeError"),
    (MODULE, "nested_error", None, "Outer.Inner: deep", "Inner"),
    (MODULE, "local_error", None, "local_error.<locals>.Local: here", "Local"),
    (MODULE, "interrupted", None, "KeyboardInterrupt: ", "KeyboardInterrupt"),
    (MODULE, "exits", None, "SystemExit: 3", "SystemExit"),
    (MODULE, "empty_message", None, "ValueError: ", "ValueError"),
    (MODULE, "accented_message", None, "ValueError: é\n", "ValueError"),
    (MODULE, "unprintable", None, "Unprintable: <exception str() failed>", "Unprintable"),
    (MODULE, "surrogate_message", None, "ValueError: a?b", "ValueError"),
    (MODULE, "surrogate_qualname", None, "Re?named: x", "Renamed"),
])
def test_failures_before_the_value_is_written(pipeline, module, function_name, kwargs, error,
                                              error_type):
    assert failing(module, function_name, "out", kwargs) == failure_record(error, error_type)
    assert not (pipeline / "out/value.json").exists()


# Failures after value.json was written: it stays, and the record says the run failed.
@pytest.mark.parametrize("function_name, value, error, error_type", [
    ("no_signature", b"{}",
     "ValueError: no signature found for builtin type <class 'dict'>", "ValueError"),
    ("nameless_type", b'{"a": 1}',
     "TypeError: 'int' object cannot be converted to 'PyString'", "TypeError"),
])
def test_failures_after_the_value_is_written(pipeline, function_name, value, error, error_type):
    assert failing(MODULE, function_name, "out") == failure_record(error, error_type)
    assert (pipeline / "out/value.json").read_bytes() == value


def test_unwritable_value_json_is_recorded(pipeline):
    (pipeline / "out/value.json").mkdir(parents=True)
    assert failing(MODULE, "nothing", "out") == failure_record(
        "IsADirectoryError: [Errno 21] Is a directory: 'out/value.json'",
        "IsADirectoryError")


def test_unwritable_success_record_is_replaced_by_failure_record(pipeline, monkeypatch):
    write_text = pathlib.Path.write_text

    def full_disk_for_success(self, text, encoding=None):
        if '"ok":true' in text:
            raise OSError(28, "No space left on device")
        return write_text(self, text, encoding)

    monkeypatch.setattr(pathlib.Path, "write_text", full_disk_for_success)
    assert failing(MODULE, "nothing", "out") == failure_record(
        "OSError: [Errno 28] No space left on device", "OSError")
    assert (pipeline / "out/value.json").read_bytes() == b"null"


@pytest.mark.parametrize("function_name, kwargs, context_type, value_written", [
    ("greeting", '{"name": "4"}', ValueError, False),
    ("nothing", None, OSError, True),  # the success record's write failed first
])
def test_unwritable_failure_record_raises_the_write_error(pipeline, monkeypatch, function_name,
                                                          kwargs, context_type, value_written):
    write_text = pathlib.Path.write_text

    def full_disk_for_records(self, text, encoding=None):
        if '"ok":' in text:
            raise OSError(28, "No space left on device", str(self))
        return write_text(self, text, encoding)

    monkeypatch.setattr(pathlib.Path, "write_text", full_disk_for_records)
    with pytest.raises(OSError) as info:
        materialize_asset(MODULE, function_name, "out", kwargs)
    # The error names the file the caller knows, not the temporary one that was written.
    assert str(info.value) == "[Errno 28] No space left on device: 'out/result.json'"
    # The run's own failure is kept as the context of the error the caller sees.
    assert type(info.value.__context__) is context_type
    assert listing(pipeline / "out") == (["value.json"] if value_written else [])


def test_record_that_cannot_be_removed_stops_the_run_before_it_begins(pipeline):
    (pipeline / "out/result.json").mkdir(parents=True)
    with pytest.raises(IsADirectoryError) as info:
        materialize_asset(MODULE, "nothing", "out")
    assert str(info.value) == "[Errno 21] Is a directory: 'out/result.json'"
    assert MODULE not in sys.modules
    assert listing(pipeline / "out") == ["result.json"]


def test_stale_value_json_is_left_and_records_are_overwritten(pipeline):
    materialize_asset(MODULE, "greeting", "out", '{"name": "ada"}')
    assert failing(MODULE, "greeting", "out", '{"name": ""}') == failure_record(
        "ValueError: bad name", "ValueError")
    assert (pipeline / "out/value.json").read_bytes() == b'{"text": "hi ada", "n": 2}'
    materialize_asset(MODULE, "plain", "out", '{"x": 40}')
    assert (pipeline / "out/value.json").read_bytes() == b"42"
    assert json.loads((pipeline / "out/result.json").read_bytes())["ok"] is True


def test_error_and_value_are_released(pipeline, monkeypatch):
    from pipeline import assets

    failing(MODULE, "tracked_error", "out")
    materialize_asset(MODULE, "tracked_value", "out")
    # A sys.exit that returns leaves the error with no exception to hold it.
    monkeypatch.setattr(sys, "exit", lambda code: None)
    materialize_asset(MODULE, "tracked_error", "out")
    gc.collect()
    assert [ref() for ref in assets.made] == [None, None, None]


def test_replaced_library_functions_are_honoured(pipeline, monkeypatch):
    expected = failure_record("TypeError: 'list' object cannot be converted to 'PyDict'",
                              "TypeError")
    monkeypatch.setattr(json, "dumps", lambda value: "<" + type(value).__name__ + ">")
    materialize_asset(MODULE, "nothing", "out")
    assert (pipeline / "out/value.json").read_bytes() == b"<NoneType>"

    # A sys.exit that returns ends the call normally, after the record was written.
    monkeypatch.setattr(sys, "exit", lambda code: None)
    assert materialize_asset(MODULE, "greeting", "out", "[]") is None
    assert (pipeline / "out/result.json").read_bytes() == expected


# --- failures before there is a place for a record -----------------------------------------------

@pytest.mark.parametrize("standard_module", ["importlib", "inspect", "json", "pathlib"])
def test_unimportable_standard_module_is_raised(pipeline, monkeypatch, standard_module):
    monkeypatch.setitem(sys.modules, standard_module, None)
    with pytest.raises(ImportError, match=f"^import of {standard_module} halted"):
        materialize_asset(MODULE, "nothing", "out")
    assert list(pipeline.iterdir()) == []
    assert MODULE not in sys.modules


def test_failing_path_constructor_is_raised(pipeline, monkeypatch):
    def refuse(output_dir):
        raise ValueError(f"refused {output_dir}")

    # Only for the call: pytest itself needs pathlib.Path.
    with monkeypatch.context() as patch, pytest.raises(ValueError, match="^refused out$"):
        patch.setattr(pathlib, "Path", refuse)
        materialize_asset(MODULE, "nothing", "out")
    assert list(pipeline.iterdir()) == []


@pytest.mark.parametrize("output_dir, error", [
    ("taken", FileExistsError),
    ("taken/run", NotADirectoryError),
])
def test_unusable_output_dir_is_raised(pipeline, output_dir, error):
    (pipeline / "taken").write_bytes(b"mine")
    with pytest.raises(error):
        materialize_asset(MODULE, "nothing", output_dir)
    assert [p.name for p in pipeline.iterdir()] == ["taken"]
    assert (pipeline / "taken").read_bytes() == b"mine"
    assert MODULE not in sys.modules


@pytest.mark.parametrize("args, kwargs, message", [
    ((MODULE,), {}, "materialize_asset() missing 2 required positional arguments: "
                    "'function_name' and 'output_dir'"),
    ((MODULE, "nothing", pathlib.Path("out")), {},
     "argument 'output_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    ((b"pipeline.assets", "nothing", "out"), {},
     "argument 'module_name': 'bytes' object cannot be converted to 'PyString'"),
    ((MODULE, "nothing", "out"), {"input_kwargs_json": {}},
     "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    ((MODULE, "nothing", "out", None, None), {},
     "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
])
def test_argument_errors_write_nothing(pipeline, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        materialize_asset(*args, **kwargs)
    assert str(info.value) == message
    assert list(pipeline.iterdir()) == []


# --- a real worker process -----------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, status, ok", [('{"name": "ada"}', 0, True),
                                                ('{"name": "4"}', 1, False)])
def test_worker_process_exit_status(pipeline, kwargs, status, ok):
    code = "import sys, _quarl; _quarl.materialize_asset(*sys.argv[1:])"
    done = subprocess.run([sys.executable, "-c", code, MODULE, "greeting", "run", kwargs],
                          cwd=pipeline, env={**sanitizer_env(), "PYTHONPATH": str(ROOT)},
                          capture_output=True)
    assert (done.returncode, done.stdout, done.stderr) == (status, b"", b"")
    assert json.loads((pipeline / "run/result.json").read_bytes())["ok"] is ok


# --- runs that die, race or fault: whole files, and no record of success but the run's own ----

def worker(*args, cwd):
    """Starts `python -m quarl.worker ARGS...` with the fixture modules importable."""
    return subprocess.Popen([sys.executable, "-m", "quarl.worker", *args], cwd=cwd,
                            env={**sanitizer_env(), "PYTHONPATH": str(ROOT),
                                 "PYTHONDONTWRITEBYTECODE": "1"},
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run_worker(*args, cwd):
    process = worker(*args, cwd=cwd)
    out, err = process.communicate()
    return process.returncode, out, err


def files_in(folder):
    return {path.name: path.read_bytes() for path in folder.iterdir()}


@pytest.mark.parametrize("function_name, status", [("killed_while_writing", -signal.SIGKILL),
                                                   ("terminated", -signal.SIGTERM)])
def test_killed_worker_leaves_the_earlier_value_and_no_record(tmp_path, function_name, status):
    assert run_worker(HAZARDS, "earlier", "run", cwd=tmp_path)[0] == 0
    assert run_worker(HAZARDS, function_name, "run", cwd=tmp_path)[0] == status
    # A worker killed while writing leaves its temporary file; nothing else of its own.
    left = {name: data for name, data in files_in(tmp_path / "run").items()
            if not name.endswith(".tmp")}
    assert left == {"value.json": b'"earlier"'}


@pytest.fixture
def small_disk(tmp_path):
    """A 1 MiB file system of its own (tmpfs), where this process may mount one."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if shutil.which("mount") is None:
        pytest.skip("no mount command")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(disk)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    yield disk
    subprocess.run(["umount", str(disk)], check=True)


def test_full_disk_keeps_the_earlier_value(small_disk):
    assert run_worker(HAZARDS, "earlier", "run", cwd=small_disk)[0] == 0
    assert run_worker(HAZARDS, "large", "run", '{"size": 2000000}', cwd=small_disk)[0] == 1
    assert files_in(small_disk / "run") == {
        "value.json": b'"earlier"',
        "result.json": failure_record("OSError: [Errno 28] No space left on device", "OSError")}


def test_full_disk_leaves_no_record_and_the_worker_shows_both_errors(small_disk):
    # The disk is filled to the last byte.
    filler = os.open(small_disk / "filler", os.O_WRONLY | os.O_CREAT)
    with pytest.raises(OSError):
        while os.write(filler, b"\0" * 65536):
            pass
    os.close(filler)
    status, out, err = run_worker(MODULE, "greeting", "run", '{"name": "4"}', cwd=small_disk)
    assert (status, out) == (1, b"")
    assert files_in(small_disk / "run") == {}
    lines = err.decode().splitlines()
    assert "ValueError: bad name" in lines
    assert lines[-1] == "python -m quarl.worker: error: OSError: [Errno 28] No space left on device"


def test_two_workers_on_one_folder_leave_whole_files(tmp_path):
    marks = tmp_path / "marks"
    marks.mkdir()

    def start(fill, size, opened, wait_for, written):
        kwargs = {"fill": fill, "size": size, "opened": str(marks / opened),
                  "wait_for": str(marks / wait_for), "written": str(marks / written)}
        return worker(HAZARDS, "racing", "run", json.dumps(kwargs), cwd=tmp_path)

    # Both open their file before either writes; the longer value is written first.
    workers = [start("a", 200_000, "a.opened", "b.opened", "a.written"),
               start("b", 100_000, "b.opened", "a.written", "b.written")]
    assert [(w.communicate(timeout=120)[1], w.returncode) for w in workers] == [(b"", 0)] * 2
    assert files_in(tmp_path / "run")["value.json"] in (json.dumps("a" * 200_000).encode(),
                                                        json.dumps("b" * 100_000).encode())
    assert files_in(tmp_path / "run")["result.json"] == success_record(
        "racing", "str", "(fill: str, size: int, opened: str, wait_for: str, written: str) -> str",
        "run/value.json", module_path=HAZARDS)
    assert sorted(files_in(tmp_path / "run")) == ["result.json", "value.json"]


def test_asset_that_changes_directory_writes_where_the_call_began(pipeline):
    materialize_asset(HAZARDS, "wanders", "out")
    assert files_in(pipeline / "out") == {
        "value.json": b'"here"',
        "result.json": success_record("wanders", "str", "() -> str", "out/value.json",
                                      module_path=HAZARDS)}
    assert files_in(pipeline / "elsewhere") == {}


def test_panic_exception_of_the_asset_is_recorded(pipeline):
    assert failing(HAZARDS, "panics", "out") == failure_record(
        "PanicException: raised by the asset", "PanicException")


def test_module_out_of_memory_raises_memory_error(tmp_path):
    if sanitizer_env():
        pytest.skip("the sanitizers' shadow memory does not fit under an address-space limit")
    # 5 million values need some 200 MB of the module; 64 MiB are left to the process.
    kwargs = json.dumps({"values": 5_000_000, "room": 64 << 20})
    assert run_worker(HAZARDS, "crowded", "run", kwargs, cwd=tmp_path)[0] == 1
    assert files_in(tmp_path / "run") == {"result.json": failure_record("MemoryError: ",
                                                                        "MemoryError")}
