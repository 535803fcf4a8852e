"""quarl run --executor dask on real clusters started here: `dask scheduler` and `dask worker`
processes on free local ports (--port 0, the address read from the scheduler file)."""

import contextlib
import importlib.util
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

from conftest import sanitizer_env
from test_warm import VARYING

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
needs_dask = pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="no dask extra")
ENV = {**os.environ, **sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"}


def quarl(cwd, *args, wait=True, **env):
    start = subprocess.run if wait else subprocess.Popen
    return start([sys.executable, "-m", "quarl", *args], cwd=cwd, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE, text=True, env={**ENV, **env})


@contextlib.contextmanager
def dask_cluster(folder, workers, **scheduler_env):
    """A scheduler and one single-threaded worker per (name, environment); yields the scheduler's
    address once every worker is registered, and stops them all, each a process group. The
    processes, scheduler first, are in `dask_cluster.processes` meanwhile."""
    from distributed import Client

    folder.mkdir()
    processes = []
    try:
        for argv, env in [(["scheduler", "--host", "127.0.0.1", "--port", "0"], scheduler_env),
                          *((["worker", "--name", name, "--nthreads", "1"], env) for name, env in workers)]:
            with open(folder / f"{argv[0]}-{len(processes)}.log", "wb") as log:
                processes.append(subprocess.Popen(
                    [pathlib.Path(sys.executable).parent / "dask", *argv, "--no-dashboard", "--scheduler-file",
                     folder / "scheduler.json"], cwd=folder, env={**os.environ, **env}, stdout=log,
                    stderr=subprocess.STDOUT, start_new_session=True))
        with Client(scheduler_file=str(folder / "scheduler.json"), timeout=60) as client:
            client.wait_for_workers(len(workers), timeout=60)
            address = client.scheduler.address
        dask_cluster.processes = processes
        yield address
    finally:
        for process in processes:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """Workers alpha and beta; the module `faraway`, in the folder ELSEWHERE, is on alpha's
    PYTHONPATH only. Yields (address, ELSEWHERE)."""
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    (elsewhere / "faraway.py").write_text("from quarl import asset\n\n\n@asset()\ndef far() -> int:\n    return 1\n")
    with dask_cluster(elsewhere / "dask", [("alpha", {"PYTHONPATH": str(elsewhere)}), ("beta", {})]) as address:
        yield address, elsewhere


def published(out):
    """Every file under OUT but the history and quarl's own; of the records, what does not name
    attempts or times."""
    files = {}
    for path in (p for p in out.rglob("*") if p.is_file() and p.name != "quarl-history.db"
                 and not p.name.startswith(".")):
        files[str(path.relative_to(out))] = path.read_bytes()
        if path.name in VARYING:
            record = json.loads(path.read_bytes())
            files[str(path.relative_to(out))] = {k: v for k, v in record.items() if k not in VARYING[path.name]}
    return files


@needs_dask
def test_the_example_publishes_the_same_files_as_the_local_executor(tmp_path, cluster):
    address, _ = cluster
    def run(name, *args):
        shutil.copytree(EXAMPLES / "shop", tmp_path / name / "shop")
        done = quarl(tmp_path / name, "run", "shop", "--out", "out", "--jobs", "2", *args)
        assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "14 runs: 14 succeeded"), done.stderr
        return published(tmp_path / name / "out")

    expected = run("local")
    assert len(expected) == 14 * 6
    assert run("cluster", "--executor", "dask", "--scheduler", address) == expected
    assert run("local-cluster", "--executor", "dask", "--isolation", "fresh") == expected
    again = quarl(tmp_path / "cluster", "run", "shop", "--out", "out", "--executor", "dask", "--scheduler", address)
    assert (again.returncode, again.stdout.splitlines()[-1]) == (0, "14 runs: 14 up to date")


def nap_project(folder, mark, value):
    """naps.nap returns VALUE; when MARK is missing, it first writes its pid and its parent's (the
    Dask worker's) there and sleeps."""
    (folder / "naps.py").write_text(
        "import os, pathlib, time\nfrom quarl import asset\n\n\n@asset()\ndef nap() -> int:\n"
        f"    mark = pathlib.Path({str(mark)!r})\n    if not mark.exists():\n"
        "        mark.write_text(f'{os.getpid()} {os.getppid()}')\n        time.sleep(120)\n"
        f"    return {value}\n")


def started(mark, process):
    deadline = time.monotonic() + 60
    while not (mark.exists() and mark.read_text()) and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.05)
    return [int(pid) for pid in mark.read_text().split()]


def parent_of(pid):
    return int(pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])


def dask_worker_of(parent):
    """A run's Dask worker process: its parent, or with warm workers its server's parent."""
    if b"quarl.run.executors.warm" in pathlib.Path(f"/proc/{parent}/cmdline").read_bytes():
        return parent_of(parent)
    return parent


def outputs(out):
    """The names in OUT but the warm servers' logs."""
    return sorted(name for name in os.listdir(out) if not name.startswith(".quarl-warm."))


def alive(pid):
    try:  # a zombie has ended
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@needs_dask
@pytest.mark.parametrize("allowed_failures, status, error, value", [
    ("3", "succeeded", None, 2),  # Dask runs the task again, on the other worker or the restarted one
    ("0", "failed", "the Dask worker running it died (1 try, the last on ADDRESS)", 1),
])
def test_a_dask_worker_killed_during_a_run(tmp_path, allowed_failures, status, error, value):
    mark = tmp_path / "mark"
    mark.touch()
    nap_project(tmp_path, mark, 1)
    with dask_cluster(tmp_path / "dask", [("alpha", {}), ("beta", {})],
                      DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES=allowed_failures) as address:
        assert quarl(tmp_path, "run", "naps", "--executor", "dask", "--scheduler", address).returncode == 0
        mark.unlink()
        nap_project(tmp_path, mark, 2)
        running = quarl(tmp_path, "run", "naps", "--executor", "dask", "--scheduler", address, "--json", wait=False)
        worker, parent = started(mark, running)
        os.kill(dask_worker_of(parent), signal.SIGKILL)
        stdout, stderr = running.communicate(timeout=120)
    [run] = json.loads(stdout)["runs"]
    assert (run["status"], run["error"] and re.sub(r"tcp://[\d.:]+", "ADDRESS", run["error"])) == (status, error)
    assert json.loads((tmp_path / "quarl-out/naps.nap/value.json").read_text()) == value
    assert not alive(worker)  # it went with its Dask worker, instead of writing into a rerun's folder
    assert [p.name for p in (tmp_path / "quarl-out").iterdir() if ".attempt-" in p.name] == []
    assert run["folder"] == str(tmp_path / ("quarl-out/naps.nap" if value == 2 else "quarl-out/.naps.nap.failed"))


@needs_dask
def test_ctrl_c_kills_the_runs_on_the_workers(tmp_path, cluster):
    mark = tmp_path / "mark"
    nap_project(tmp_path, mark, 1)
    running = quarl(tmp_path, "run", "naps", "--executor", "dask", "--scheduler", cluster[0], wait=False)
    worker, _ = started(mark, running)
    running.send_signal(signal.SIGINT)
    stdout, stderr = running.communicate(timeout=60)
    assert (running.returncode, stdout.splitlines()[-1]) == (130, "1 run: 1 interrupted"), stderr
    assert not alive(worker)
    assert outputs(tmp_path / "quarl-out") == [".quarl.lock", "quarl-history.db"]


@needs_dask
def test_a_worker_that_cannot_import_the_project_stops_the_run(tmp_path, cluster):
    address, elsewhere = cluster
    done = quarl(tmp_path, "run", "faraway", "--executor", "dask", "--scheduler", address, PYTHONPATH=str(elsewhere))
    assert (done.returncode, done.stdout, re.sub(r"tcp://[\d.:]+", "ADDRESS", done.stderr)) == (2, "", (
        "quarl run: error: the Dask cluster cannot run this project:\n  worker beta (ADDRESS) cannot import "
        f"the project's module 'faraway' (not installed there, nor in {tmp_path})\n"))
    assert outputs(tmp_path / "quarl-out") == [".quarl.lock", "quarl-history.db"]


REFUSE_DASK = """\
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("dask", "distributed"):
            raise ImportError(f"no {name} here")
sys.meta_path.insert(0, Refuse())"""


@pytest.mark.parametrize("prelude, args, message", [
    pytest.param("", ["--scheduler", "tcp://127.0.0.1:{port}"], "cannot reach the Dask scheduler at "
                 "tcp://127.0.0.1:{port}: Timed out trying to connect to tcp://127.0.0.1:{port} after 1 s",
                 marks=needs_dask),
    # The same command in an interpreter where the package cannot be imported (installed or not).
    (REFUSE_DASK, [], "--executor dask needs the package distributed (no dask here); install it with "
     "quarl's extra: pip install 'quarl[dask]'"),
])
def test_a_cluster_that_cannot_be_used_is_a_usage_error(tmp_path, prelude, args, message):
    # A project of JSON values: it plans without any extra installed.
    (tmp_path / "shop.py").write_text("from quarl import asset\n\n\n@asset()\ndef one() -> int:\n    return 1\n")
    code = f"import sys\n{prelude}\nfrom quarl.cli import main\nsys.exit(main(sys.argv[1:]))"
    with socket.socket() as closed:  # bound, not listening: a port that refuses connections
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        done = subprocess.run([sys.executable, "-c", code, "run", "shop", "--executor", "dask",
                               *(arg.format(port=port) for arg in args)], cwd=tmp_path, capture_output=True,
                              text=True, env={**ENV, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"quarl run: error: {message.format(port=port)}\n")


@needs_dask
@pytest.mark.parametrize("fault, options, outcome, said", [
    ("the scheduler dies", [], ("failed", "the connection to the Dask scheduler was lost"),
     "quarl run: stopped: the connection to the Dask scheduler was lost\n"),
    ("the workers freeze", ["--timeout", "2"], ("timeout", "timed out after 2 s"), ""),
])
def test_a_cluster_that_fails_under_a_run_ends_it(tmp_path, fault, options, outcome, said):
    mark = tmp_path / "mark"
    nap_project(tmp_path, mark, 1)
    with dask_cluster(tmp_path / "dask", [("alpha", {})]) as address:
        scheduler, worker = dask_cluster.processes
        running = quarl(tmp_path, "run", "naps", "--executor", "dask", "--scheduler", address, "--json",
                        *options, wait=False)
        started(mark, running)
        if fault == "the scheduler dies":
            os.killpg(scheduler.pid, signal.SIGKILL)
        else:
            os.kill(worker.pid, signal.SIGSTOP)
        try:
            stdout, stderr = running.communicate(timeout=90)
        finally:
            os.kill(worker.pid, signal.SIGCONT)
    [run] = json.loads(stdout)["runs"]
    assert (running.returncode, (run["status"], run["error"])) == (1, outcome), stderr
    assert stderr.endswith(said)
    # Nothing was published, then or later: only quarl run publishes.
    assert not (tmp_path / "quarl-out" / "naps.nap").exists()


def hang_project(folder, starts, hanging):
    """hangs.hang adds its pid to STARTS; its first HANGING starts then say "still here" every
    0.1 s (into their attempt's stdout.log) for two minutes, the next ones return 1."""
    (folder / "hangs.py").write_text(
        "import os, pathlib, time\nfrom quarl import asset\n\n\n@asset()\ndef hang() -> int:\n"
        f"    starts = pathlib.Path({str(starts)!r})\n    with starts.open('a') as file:\n"
        "        file.write(f'{os.getpid()}\\n')\n"
        f"    if len(starts.read_text().split()) <= {hanging}:\n"
        "        for _ in range(1200):\n            print('still here', flush=True)\n            time.sleep(0.1)\n"
        "    return 1\n")


@needs_dask
@pytest.mark.parametrize("fault, isolation, hanging, outcome", [
    # The first run's Dask worker freezes; the retry runs on the other one.
    ("SIGSTOP", "fresh", 1, ("succeeded", None, 2)),
    ("SIGSTOP", "warm", 1, ("succeeded", None, 2)),
    # Dask runs the task once more on a worker that answers; it hangs too, and so does the retry.
    ("SIGKILL", "fresh", 3, ("timeout", "timed out after 5 s", 2)),
])
def test_a_timeout_ends_the_runs_of_a_frozen_or_killed_dask_worker(tmp_path, fault, isolation, hanging, outcome):
    starts = tmp_path / "starts"
    hang_project(tmp_path, starts, hanging)
    with dask_cluster(tmp_path / "dask", [("alpha", {}), ("beta", {})]) as address:
        running = quarl(tmp_path, "run", "hangs", "--executor", "dask", "--scheduler", address, "--json",
                        "--isolation", isolation, "--timeout", "5", "--retries", "1", "--retry-delay", "0",
                        wait=False)
        worker = dask_worker_of(parent_of(started(starts, running)[0]))
        os.kill(worker, getattr(signal, fault))
        try:
            stdout, stderr = running.communicate(timeout=120)
            failed = tmp_path / "quarl-out" / ".hangs.hang.failed" / "stdout.log"
            said = failed.read_text()
            # Every run it started ends, the frozen worker's too, and none writes into the failure kept.
            pids = [int(pid) for pid in starts.read_text().split()]
            deadline = time.monotonic() + 60
            while any(map(alive, pids)) and time.monotonic() < deadline:
                time.sleep(0.1)
            assert [pid for pid in pids if alive(pid)] == []
            assert failed.read_text() == said
        finally:
            if fault == "SIGSTOP":
                os.kill(worker, signal.SIGCONT)
    [run] = json.loads(stdout)["runs"]
    assert (running.returncode, (run["status"], run["error"], run["attempts"])) == (
        0 if outcome[0] == "succeeded" else 1, outcome), stderr
    assert set(said.splitlines()) == {"still here"}
