"""Runs that share a process: quarl.batch(size) and --isolation batch."""

import json
import os
import re
import subprocess
import sys

import pytest

import quarl
from conftest import FIXTURES, sanitizer_env


def quarl_run(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", "quarl", "run", *args, "--jobs", "2", "--json",
                           "--out", str(tmp_path / "out")], cwd=FIXTURES / "batch", capture_output=True,
                          text=True, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1",
                                          "BATCH_ONCE": str(tmp_path / "once")})


def processes(out, asset):
    """The runs (partition values) each process made, from each run's logs, which must hold
    that run's lines and nothing else; and every file's name that says an attempt is left."""
    runs = {}
    for name in os.listdir(out / asset):
        assert ".attempt-" not in name
        k = int(re.fullmatch(r"\.?k=(\d)(\.failed)?", name)[1])
        folder = out / asset / name
        said = re.fullmatch(rf"run {k} in (\d+)\n", (folder / "stdout.log").read_text())
        assert (folder / "stderr.log").read_text().startswith(f"err {k}\n")
        runs.setdefault(said[1], []).append(k)
    return sorted(sorted(ks) for ks in runs.values())


@pytest.mark.parametrize("asset, options, outcomes, shared", [
    pytest.param("raises", [], {1: ("failed", "ValueError: one")}, [[0, 1, 2, 3]], id="a run that raises fails alone"),
    # Run 1 kills its process the first time: 0 is published from it, the rest run again alone.
    pytest.param("killed", [], {}, [[0], [1], [2], [3]], id="a process killed in the middle"),
    # Run 2 times out after 1.5 s of its own; 3 runs again alone.
    pytest.param("slow", ["--timeout", "1.5"], {2: ("timeout", "timed out after 1.5 s")}, [[0, 1, 2], [3]],
                 id="a deadline per run"),
    pytest.param("plain", ["--isolation", "batch"], {}, [[0, 1, 2], [3, 4, 5]], id="--isolation batch"),
    pytest.param("plain", [], {}, [[0], [1], [2], [3], [4], [5]], id="a process per run by default"),
    pytest.param("alone", ["--isolation", "batch"], {}, [[0], [1], [2], [3], [4], [5]], id="batch(1)"),
])
def test_runs_of_a_batch_are_decided_one_by_one(tmp_path, asset, options, outcomes, shared):
    done = quarl_run(tmp_path, "batched", "--select", asset, *options)
    runs = json.loads(done.stdout)["runs"]
    assert {run["partition"]["k"]: (run["status"], run["error"]) for run in runs} == {
        k: outcomes.get(k, ("succeeded", None)) for k in range(len(runs))}
    assert processes(tmp_path / "out", f"batched.{asset}") == shared
    # Once each: one attempt of each run in the history, and what is published is that attempt.
    status = json.loads(subprocess.run([sys.executable, "-m", "quarl", "status", "--json", "--out",
                                        str(tmp_path / "out")], capture_output=True, text=True).stdout)
    assert sorted(run["partition"]["k"] for run in status["runs"]) == list(range(len(runs)))
    for k in range(len(runs)):
        folder = tmp_path / "out" / f"batched.{asset}" / f"k={k}"
        if folder.exists():
            assert json.loads((folder / "run.json").read_text())["attempt"] == \
                json.loads((folder / "attempt.json").read_text())["attempt"]


@pytest.mark.parametrize("size, error", [
    (0, "ValueError: quarl.batch() takes 1 run or more, not 0"),
    (2.0, "TypeError: quarl.batch() takes a whole number of runs, not float"),
    (True, "TypeError: quarl.batch() takes a whole number of runs, not bool"),
])
def test_a_batch_size_is_a_whole_number_of_runs(size, error):
    with pytest.raises((TypeError, ValueError)) as raised:
        quarl.batch(size)
    assert f"{type(raised.value).__name__}: {raised.value}" == error


def test_batch_decorates_functions_only():
    with pytest.raises(TypeError) as raised:
        quarl.batch(2)(3)
    assert str(raised.value) == "quarl.batch() decorates a function or an @asset, not int"
