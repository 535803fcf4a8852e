"""Warm workers: runs forked from a server per job slot, against a fresh interpreter per run."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

from conftest import FIXTURES, sanitizer_env


def quarl(cwd, *args, **env):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=cwd, capture_output=True,
                          text=True, env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1", **env})


def outcomes(done):
    return {run["asset"] + (json.dumps(run["partition"]) if run["partition"] else ""):
            (run["status"], run["error"]) for run in json.loads(done.stdout)["runs"]}


# What differs between any two runs of the same records: the attempts' ids and times, where
# the value was written, its modification time.
VARYING = {"run.json": ("attempt", "consumed", "value_mtime_ns"),
           "attempt.json": ("attempt", "started", "duration"), "result.json": ("value_path",)}


def published(out):
    """Every published file's bytes; the records without what differs between any two runs."""
    files = {}
    for folder, _, names in os.walk(out):
        if "/." in folder[len(str(out)):]:
            continue
        for name in names:
            if name.startswith("."):
                continue
            path = os.path.join(folder, name)
            key = os.path.relpath(path, out)
            if name in VARYING:
                record = json.loads(open(path, "rb").read())
                files[key] = {k: v for k, v in record.items() if k not in VARYING[name]}
            elif name.endswith(".json") or name.endswith(".log"):
                files[key] = open(path, "rb").read()
    return files


def test_warm_and_fresh_workers_publish_the_same_files(tmp_path):
    outs = []
    for isolation in ("fresh", "warm"):
        project = tmp_path / isolation
        shutil.copytree(FIXTURES / "flow", project)
        done = quarl(project, "run", "flow", "--isolation", isolation)
        assert done.returncode == 0, done.stderr
        outs.append(published(project / "quarl-out"))
    assert len(outs[0]) == 120  # 20 runs, 6 files each
    assert outs[0] == outs[1]


def test_a_child_that_crashes_exits_or_hangs_takes_nothing_else_with_it(tmp_path):
    # Under `make sanitize`, AddressSanitizer would catch the segfault and exit instead.
    env = sanitizer_env()
    asan = {"ASAN_OPTIONS": env["ASAN_OPTIONS"] + ":handle_segv=0"} if "ASAN_OPTIONS" in env else {}
    done = quarl(FIXTURES / "warm", "run", "hazards.crash", "--timeout", "3", "--jobs", "2", "--json",
                 "--out", str(tmp_path / "out"), **asan)
    assert done.returncode == 1
    assert outcomes(done) == {
        "hazards.crash.fine": ("succeeded", None),
        "hazards.crash.fails": ("failed", "ValueError: no"),
        "hazards.crash.hangs": ("timeout", "timed out after 3 s"),
        "hazards.crash.quits": ("failed", "the worker exited with status 0, leaving no run record"),
        "hazards.crash.segfaults": ("failed", "the worker was killed by SIGSEGV, leaving no run record"),
    }


def test_a_server_killed_between_runs_is_replaced(tmp_path):
    count = tmp_path / "count"
    done = quarl(FIXTURES / "warm", "run", "hazards.killer", "hazards.counted", "--jobs", "1",
                 "--preload", "--json", "--out", str(tmp_path / "out"), HAZARDS_COUNT=str(count),
                 HAZARDS_PUBLISHED=str(tmp_path / "out" / "hazards.killer.first"),
                 HAZARDS_KILLED=str(tmp_path / "killed"))
    assert done.returncode == 0, done.stderr
    assert set(outcomes(done).values()) == {("succeeded", None)}
    # The inspection imports the module once, the first server once, its replacement once.
    assert len(count.read_text().splitlines()) == 3


def test_a_run_whose_server_dies_is_run_once_more(tmp_path):
    # What a worker lost twice becomes is the scheduler's tests' (test_scheduler.py).
    done = quarl(FIXTURES / "warm", "run", "hazards.lost", "--json", "--out", str(tmp_path / "out"),
                 HAZARDS_ONCE=str(tmp_path / "once"))
    assert outcomes(done) == {"hazards.lost.kills_its_server": ("succeeded", None)}
    assert done.returncode == 0


@pytest.mark.parametrize("fails", ["os._exit(0)", "raise ValueError('no')"])
def test_after_a_failure_fail_fast_starts_nothing(tmp_path, fails):
    # os._exit(0) leaves no record: a failure known only once its files are read, after the
    # worker's slot is free. A run that raises says its status 1 before it exits, which frees
    # no slot. Other failures under --fail-fast are the scheduler's tests'.
    (tmp_path / "cells.py").write_text(
        "import os\n\nfrom quarl import asset, partitions\n\n\n"
        "@asset(partitions={'n': partitions([1, 2, 3, 4])})\ndef cell(n: int) -> int:\n"
        f"    if n == 2:\n        {fails}\n    return n\n")
    done = quarl(tmp_path, "run", "cells", "--jobs", "1", "--fail-fast", "--json")
    assert done.returncode == 1
    assert [status for status, _ in outcomes(done).values()] == [
        "succeeded", "failed", "not started", "not started"]


@pytest.mark.parametrize("preload, server_log, run_log", [(True, "hello\n", ""), (False, None, "hello\n")])
def test_what_a_module_prints_when_imported_is_logged_where_it_is_imported(tmp_path, preload, server_log,
                                                                           run_log):
    (tmp_path / "talks.py").write_text("from quarl import asset\n\nprint('hello')\n\n\n"
                                       "@asset()\ndef one() -> int:\n    return 1\n")
    done = quarl(tmp_path, "run", "talks", "--jobs", "1", *([] if preload else ["--no-preload"]))
    assert done.returncode == 0, done.stderr
    log = tmp_path / "quarl-out" / ".quarl-warm.log"
    assert (log.read_text() if log.exists() else None) == server_log
    assert (tmp_path / "quarl-out" / "talks.one" / "stdout.log").read_text() == run_log


def test_servers_that_cannot_start_stop_the_command_and_leave_their_output(tmp_path):
    # Under `make sanitize` this stands in for the sanitizers' own sitecustomize in the
    # project's processes, which only tells UBSan where to write reports.
    (tmp_path / "sitecustomize.py").write_text(
        "import sys\n\nif 'quarl.run.executors.warm_server' in sys.orig_argv:\n"
        "    raise SystemExit('no warm servers here')\n")
    (tmp_path / "one.py").write_text("from quarl import asset\n\n\n@asset()\ndef one() -> int:\n"
                                     "    return 1\n")
    done = quarl(tmp_path, "run", "one", "--jobs", "1")
    assert (done.returncode, done.stderr) == (2, "quarl run: error: the warm servers cannot start "
                                              "(their output is in quarl-out/.quarl-warm.log); "
                                              "--isolation fresh runs without them\n")
    assert (tmp_path / "quarl-out" / ".quarl-warm.log").read_text().endswith(
        "SystemExit: no warm servers here\n")


def test_a_server_that_dies_while_starting_is_replaced(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(
        "import os, signal, sys\n\nif 'quarl.run.executors.warm_server' in sys.orig_argv:\n"
        "    try:\n        os.mkdir('first-server')\n    except FileExistsError:\n        pass\n"
        "    else:\n        os.kill(os.getpid(), signal.SIGKILL)\n")
    (tmp_path / "one.py").write_text("from quarl import asset\n\n\n@asset()\ndef one() -> int:\n"
                                     "    return 1\n")
    done = quarl(tmp_path, "run", "one", "--jobs", "2")
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "1 run: 1 succeeded"), done.stderr


@pytest.mark.parametrize("options, imports", [([], 1 + 2), (["--no-preload"], 1 + 6)])
def test_a_project_module_runs_once_per_server_unless_told_otherwise(tmp_path, options, imports):
    # hazards.counted imports the library counted_lib from outside the project, which counts too:
    # the servers import it once each in both modes.
    count, library = tmp_path / "count", tmp_path / "library"
    done = quarl(FIXTURES / "warm", "run", "hazards.counted", "--jobs", "2", *options,
                 "--out", str(tmp_path / "out"), HAZARDS_COUNT=str(count), HAZARDS_LIBRARY_COUNT=str(library),
                 PYTHONPATH=str(FIXTURES / "warm_library"))
    assert done.returncode == 0, done.stderr
    assert (len(count.read_text().splitlines()), len(library.read_text().splitlines())) == (imports, 1 + 2)


COUNTED = "import os\nwith open(os.environ['COUNT'], 'a') as count:\n    count.write('x\\n')\n"
THREAD = "import threading, time\nthreading.Thread(target=time.sleep, args=(60,), name='poller', daemon=True).start()\n"


@pytest.mark.parametrize("where, module, imports, said", [
    ("library", COUNTED, 1 + 2, None),  # by the first run, then by the server's probe and the server
    ("library", COUNTED + THREAD, 4 + 1, "its import leaves a thread running (poller)"),  # and the probe
    ("project", COUNTED, 4, None),  # the project's own modules are imported by each run
], ids=["library", "library starting a thread", "project module"])
def test_a_server_imports_the_libraries_that_its_runs_import(tmp_path, where, module, imports, said):
    project, library, count = tmp_path / "project", tmp_path / "library", tmp_path / "count"
    project.mkdir(), library.mkdir()
    (tmp_path / where / "lazy_lib.py").write_text(module)
    (project / "lazy.py").write_text("from quarl import asset, partitions\n\n\n"
                                     "@asset(partitions={'k': partitions([1, 2, 3, 4])})\ndef lazy(k: int) -> int:\n"
                                     "    import lazy_lib\n    return k\n")
    done = quarl(project, "run", "lazy", "--jobs", "1", COUNT=str(count), PYTHONPATH=str(library))
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "4 runs: 4 succeeded"), done.stderr
    assert len(count.read_text().splitlines()) == imports
    log = project / "quarl-out" / ".quarl-warm.log"
    lines = [line for line in (log.read_text() if log.exists() else "").splitlines() if "lazy_lib" in line]
    assert lines == ([f"quarl: the warm servers leave lazy_lib, which a run imported, to the runs: {said}"]
                     if said else [])


@pytest.mark.parametrize("module, why", [
    ("import threading, time\nthreading.Thread(target=time.sleep, args=(60,), name='poller', daemon=True).start()\n",
     "its import leaves a thread running (poller)"),
    ("import socket\nconnection = socket.socket()\n", "its import keeps a socket socket:[INODE] (descriptor N) open"),
    ("import sys\nif sys.argv[0].endswith('warm_server.py'):  # the server, not a run it forked\n"
     "    raise ImportError('not here')\n",
     "its import fails: ImportError: not here"),
])
def test_a_module_forked_children_must_not_share_is_left_to_the_runs(tmp_path, module, why):
    (tmp_path / "shaky.py").write_text(f"from quarl import asset\n{module}\n\n@asset()\ndef one() -> int:\n"
                                       "    return 1\n")
    done = quarl(tmp_path, "run", "shaky", "--jobs", "2")
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "1 run: 1 succeeded"), done.stderr
    line = f"quarl: the warm servers leave shaky to the runs (imported by each run's process): {why}\n"
    said = re.sub(r"\[\d+\] \(descriptor \d+\)", "[INODE] (descriptor N)", done.stderr)
    assert said.count(line) == 1, done.stderr
    log = re.sub(r"\[\d+\] \(descriptor \d+\)", "[INODE] (descriptor N)",
                 (tmp_path / "quarl-out" / ".quarl-warm.log").read_text())
    assert log.count(line) == 1


def gone(pid, deadline):
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("isolation", ["warm", "fresh"])
def test_what_a_run_left_in_its_process_group_ends_with_it(tmp_path, isolation):
    pid_file = tmp_path / "pid"
    done = quarl(FIXTURES / "warm", "run", "hazards.leftover", "--isolation", isolation, "--out",
                 str(tmp_path / "out"), HAZARDS_PID=str(pid_file))
    assert done.returncode == 0, done.stderr
    assert gone(int(pid_file.read_text()), time.monotonic() + 10)
    log = tmp_path / "out" / "hazards.leftover.leaves_a_writer" / "stdout.log"
    written = log.read_bytes()
    time.sleep(0.3)
    assert log.read_bytes() == written


def test_a_fresh_worker_is_reaped_only_once_its_exit_is_taken(tmp_path, monkeypatch):
    """Until its attempt takes the exit, the worker's pid is what a timeout or an interrupt kills:
    the worker stays unreaped (a zombie holds its pid) until then, and what it left in its process
    group is killed meanwhile. Once the exit is taken, no thread of the executor is left to end
    while quarl run exits."""
    from quarl.run.executors.base import Exited, Launch, WorkerEnvironment
    from quarl.run.executors.local import FreshExecutor

    pid_file, folder = tmp_path / "pid", tmp_path / "attempt"
    folder.mkdir()
    monkeypatch.setenv("HAZARDS_PID", str(pid_file))
    executor = FreshExecutor(1, WorkerEnvironment(sys.executable, str(FIXTURES / "warm")))
    pid = executor.start(Launch("key", ("hazards.leftover", "leaves_a_writer", str(folder)), str(folder)))
    deadline = time.monotonic() + 30
    while not (pid_file.exists() and pid_file.read_text()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert gone(int(pid_file.read_text()), deadline)
    assert pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    assert executor.wait(None) == [Exited("key", 0)]
    assert not pathlib.Path(f"/proc/{pid}").exists()
    assert [t.name for t in threading.enumerate() if t.name == "quarl-watcher"] == []


@pytest.mark.parametrize("isolation", ["warm", "fresh"])
def test_no_run_outlives_a_killed_quarl_run(tmp_path, isolation):
    pid_file = tmp_path / "pid"
    running = subprocess.Popen([sys.executable, "-m", "quarl", "run", "hazards.waiting", "--isolation",
                                isolation, "--out", str(tmp_path / "out")],
                               cwd=FIXTURES / "warm", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env={**sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1",
                                    "HAZARDS_PID": str(pid_file)})
    deadline = time.monotonic() + 60
    while not pid_file.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    pid = int(pid_file.read_text())
    running.kill()
    running.wait()
    assert gone(pid, deadline)


THREADED_FORK = ("import os, warnings\nimport pyarrow\nwarnings.simplefilter('always')\n"
                 "pid = os.fork()\nif pid == 0:\n    os._exit(0)\nos.waitpid(pid, 0)\n")


def test_a_server_whose_libraries_hold_native_threads_forks_without_a_warning_a_run(tmp_path):
    pytest.importorskip("pyarrow", reason="no parquet extra")
    # pyarrow's allocator (jemalloc) keeps a thread across fork(), which Python warns of.
    alone = subprocess.run([sys.executable, "-c", THREADED_FORK], capture_output=True, text=True)
    if "is multi-threaded, use of fork() may lead to deadlocks" not in alone.stderr:
        pytest.skip("pyarrow leaves no thread to fork with here")
    (tmp_path / "arrowy.py").write_text("import pyarrow\n\nfrom quarl import asset, partitions\n\n\n"
                                        "@asset(partitions={'k': partitions([1, 2, 3, 4])})\n"
                                        "def cell(k: int) -> int:\n    return k\n")
    for options in ([], ["--force"]):
        done = quarl(tmp_path, "run", "arrowy", "--jobs", "2", *options)
        assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "4 runs: 4 succeeded"), done.stderr
    log = tmp_path / "quarl-out" / ".quarl-warm.log"
    assert (log.read_text() if log.exists() else "") == ""


def test_a_run_is_published_only_once_its_process_and_group_are_gone(tmp_path):
    # Each server is free for the next run as soon as its child says its status: what the child
    # or its group would write after that must not land in a published folder.
    done = quarl(FIXTURES / "warm", "run", "hazards.late", "--jobs", "1", "--out", str(tmp_path / "out"))
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "4 runs: 4 succeeded"), done.stderr
    time.sleep(0.6)
    assert {name for _, _, names in os.walk(tmp_path / "out") for name in names
            if name.startswith("from-")} == set()


@pytest.mark.parametrize("function, events", [
    ("fine", [("Launched",), ("Finished", 0), ("Exited", 0)]),
    ("fails", [("Launched",), ("Finished", 1), ("Exited", 1)]),
    ("quits", [("Launched",), ("Exited", 0)]),  # os._exit in the run: nothing said
    ("segfaults", [("Launched",), ("Exited", -11)]),
])
def test_a_warm_child_says_its_status_before_its_exit_is_reported(tmp_path, function, events):
    from quarl.run.executors.base import Launch, WorkerEnvironment
    from quarl.run.executors.warm import warm_executor

    executor = warm_executor(1, WorkerEnvironment(sys.executable, str(FIXTURES / "warm"), [str(FIXTURES / "warm")]),
                             ["hazards.crash"], str(tmp_path / "warm.log"))
    try:
        executor.start(Launch("key", ("hazards.crash", function, str(tmp_path)), str(tmp_path)))
        said = []
        while not said or said[-1][0] != "Exited":
            for event in executor.wait(30):
                assert event.key == "key"
                said.append((type(event).__name__, *([] if type(event).__name__ == "Launched" else [event.status])))
    finally:
        executor.close()
    assert said == events
