"""The installed wheel's types, as mypy --strict sees them from a user's project."""

import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).parent.parent
FIXTURES = ROOT / "tests" / "fixtures" / "typing"

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


def write_readme_modules(folder):
    """Writes each Python block of the README to the file its first line names, under folder;
    returns those names."""
    names = []
    readme = (ROOT / "README.md").read_text("utf-8")
    for block in re.findall(r"^```python\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL):
        name = re.fullmatch(r"# (\S+\.py)", block.partition("\n")[0])
        assert name, f"a Python block of the README names no file: {block[:40]!r}"
        (folder / name[1]).parent.mkdir(parents=True, exist_ok=True)
        (folder / name[1]).write_text(block, "utf-8")
        names.append(name[1])
    return names


def test_documented_user_code_passes_strict_mypy(tmp_path):
    # What a user copies: the README's modules and the example project, as written.
    shutil.copytree(ROOT / "examples" / "shop", tmp_path / "shop",
                    ignore=shutil.ignore_patterns("__pycache__"))
    names = write_readme_modules(tmp_path)
    assert names == ["pipeline/assets.py", "pipeline/frames.py", "pipeline/lines.py", "pipeline/days.py"]
    assert mypy(tmp_path, *names, "shop") == (0, "", "")
