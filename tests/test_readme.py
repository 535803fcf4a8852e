"""The README's first screen, run as a newcomer types it, in a copy of the clone.

The install step is what a newcomer cannot skip and the suite cannot afford each time (a
whole build): by default `.venv` is this test's own environment, where `make install` has just
installed the tree, and `make` is left out. QUARL_README_INSTALL=1 runs it too, in a fresh clone
of the committed tree.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest


ROOT = pathlib.Path(__file__).parent.parent
INSTALL = ["make", ". .venv/bin/activate"]


def quick_start():
    """[(command, expected output)] of the first console block."""
    text = (ROOT / "README.md").read_text()
    block = text[text.index("```console\n") + len("```console\n"):]
    block = block[:block.index("```\n")]
    steps: list[tuple[str, list[str]]] = []
    for line in block.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


def normalized(text):
    return re.sub(r"\d+\.\d\d s", "X s", text)


def pattern(lines):
    """The expected output as a regular expression: "..." stands for any lines, durations vary."""
    return re.compile("".join(r"(?:[^\n]*\n)*?" if line == "..." else re.escape(normalized(line)) + "\n"
                              for line in lines))


def test_the_first_screen_works_as_written(tmp_path):
    # `make` installs the parquet extra, which the example's DataFrame assets need (and which
    # `make sanitize` leaves out).
    pytest.importorskip("pyarrow", reason="no parquet extra")
    steps = quick_start()
    assert [command for command, _ in steps[:2]] == INSTALL
    clone = tmp_path / "quarl"
    if os.environ.get("QUARL_README_INSTALL") == "1":
        subprocess.run(["git", "clone", "--quiet", str(ROOT), str(clone)], check=True)
    else:
        shutil.copytree(ROOT / "examples", clone / "examples", ignore=shutil.ignore_patterns("*out"))
        (clone / ".venv").symlink_to(sys.prefix)
        steps = [(":" if command == INSTALL[0] else command, out) for command, out in steps]
    # One shell for all the commands, as a person types them; each step's output ends with a
    # marker line, so that it can be told from the next.
    script = "".join(f"{command} 2>&1\necho '<<step>>'\n" for command, _ in steps)
    # The person's own environment (make's tools/find-python looks on the PATH and under
    # ~/.pyenv), with no virtual environment active.
    env = {name: value for name, value in os.environ.items() if name != "VIRTUAL_ENV"}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    done = subprocess.run(["bash", "-e"], input=script, cwd=clone, env=env, capture_output=True,
                          text=True, timeout=900)
    outputs = done.stdout.split("<<step>>\n")
    assert (done.returncode, len(outputs)) == (0, len(steps) + 1), done.stdout + done.stderr
    for (command, expected), output in zip(steps, outputs):
        if output and not output.endswith("\n"):
            output += "\n"  # cat of a value.json: the terminal's next prompt starts a new line
        if command != ":":
            assert pattern(expected).fullmatch(normalized(output)), (command, output)
