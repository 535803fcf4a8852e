"""The installed wheel's types, as mypy --strict sees them from a user's project."""

import pathlib
import shutil
import subprocess
import sys

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "typing"

# misuse.py, line by line: a decorated function keeps its parameters and return type.
MISUSE = """\
misuse.py:11: error: Argument 1 to "__call__" of "AssetWrapper" has incompatible type "int"; expected "str"  [arg-type]
misuse.py:12: error: Argument "days" to "__call__" of "AssetWrapper" has incompatible type "str"; expected "int"  [arg-type]
misuse.py:13: error: Missing positional argument "ticker" in call to "__call__" of "AssetWrapper"  [call-arg]
misuse.py:14: error: Incompatible types in assignment (expression has type "float", variable has type "str")  [assignment]
misuse.py:15: error: Dict entry 0 has incompatible type "str": "int"; expected "str": "AssetWrapper[[VarArg(Any), KwArg(Any)], Any] | str"  [dict-item]
misuse.py:16: error: Dict entry 0 has incompatible type "str": "list[str]"; expected "str": "Partitions"  [dict-item]
misuse.py:17: error: Argument "name" to "asset" has incompatible type "int"; expected "str | None"  [arg-type]
misuse.py:18: error: Too many positional arguments for "asset"  [call-arg]
misuse.py:18: note: "asset" defined in "_quarl"
misuse.py:19: error: Argument 1 to "partitions" has incompatible type "tuple[str, str]"; expected "list[Any]"  [arg-type]
"""


def mypy(tmp_path, *args):
    # Run from a directory of its own, so that quarl and _quarl come from the installed wheel.
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--no-color-output",
         "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=tmp_path, capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def test_user_code_is_checked_against_the_stubs(tmp_path):
    for name in ("usage.py", "misuse.py"):
        shutil.copy(FIXTURES / name, tmp_path)
    # usage.py holds the assert_type checks: any mismatch there would be reported too.
    assert mypy(tmp_path, "usage.py", "misuse.py") == (1, MISUSE, "")


def test_package_and_stubs_are_strictly_typed(tmp_path):
    assert mypy(tmp_path, "-p", "quarl", "-p", "_quarl") == (0, "", "")


def test_stubs_match_the_native_module(tmp_path):
    # stubtest compares every name, parameter and attribute of the stubs with the imported module.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_quarl"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (
        0, "Success: no issues found in 1 module\n", "")
