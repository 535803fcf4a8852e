"""quarl run --executor dask against real clusters that the tests start: a `dask scheduler` and
`dask worker` processes on free local ports, stopped at teardown."""

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

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"
DASK = pathlib.Path(sys.executable).parent / "dask"

needs_dask = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="the dask extra is not installed")


def quarl(cwd, *args, **env):
    return subprocess.run([sys.executable, "-m", "quarl", *args], cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, **sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1", **env})


@contextlib.contextmanager
def dask_cluster(folder, workers, **scheduler_env):
    """A scheduler and a worker per (name, environment) in `workers`, each in a process group of
    its own and logging to FOLDER; yields the scheduler's address once every worker is there."""
    from distributed import Client

    folder.mkdir(exist_ok=True)
    address_file = folder / "scheduler.json"
    processes = []
    with contextlib.ExitStack() as logs:
        def start(argv, env, log):
            processes.append(subprocess.Popen(
                argv, cwd=folder, env={**os.environ, **env}, stdin=subprocess.DEVNULL,
                stdout=logs.enter_context(open(folder / log, "wb")), stderr=subprocess.STDOUT,
                start_new_session=True))

        try:
            start([DASK, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                   "--scheduler-file", address_file], scheduler_env, "scheduler.log")
            for name, env in workers:
                start([DASK, "worker", "--scheduler-file", address_file, "--name", name, "--nthreads", "1",
                       "--no-dashboard"], env, f"{name}.log")
            with Client(scheduler_file=str(address_file), timeout=60) as client:
                client.wait_for_workers(len(workers), timeout=60)
                address = client.scheduler.address
            yield address
        finally:
            for process in processes:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGTERM)
            for process in processes:
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()


@pytest.fixture(scope="module")
def elsewhere(tmp_path_factory):
    """A folder with the module `faraway`, importable on the worker alpha only."""
    folder = tmp_path_factory.mktemp("elsewhere")
    (folder / "faraway.py").write_text("from quarl import asset\n\n\n@asset()\ndef far() -> int:\n    return 1\n")
    return folder


@pytest.fixture(scope="module")
def cluster(tmp_path_factory, elsewhere):
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("the dask extra is not installed")
    with dask_cluster(tmp_path_factory.mktemp("cluster"),
                      [("alpha", {"PYTHONPATH": str(elsewhere)}), ("beta", {})]) as address:
        yield address


def published(out):
    """Every file under OUT but the history, by path; run.json without what differs between two
    runs of the same plan (attempt ids and times)."""
    files = {}
    for path in sorted(out.rglob("*")):
        name = str(path.relative_to(out))
        if path.is_dir() or name in ("quarl-history.db", ".quarl.lock"):
            continue
        files[name] = path.read_bytes()
        if path.name == "run.json":
            record = json.loads(files[name])
            files[name] = (record["asset"], record["partition"], record["fingerprint"], len(record["consumed"]))
    return files


@needs_dask
def test_the_example_publishes_the_same_files_as_the_local_executor(tmp_path, cluster):
    def run(name, *args):
        shutil.copytree(EXAMPLES / "shop", tmp_path / name / "shop")
        done = quarl(tmp_path / name, "run", "shop", "--out", "out", "--jobs", "2", *args)
        assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "12 runs: 12 succeeded"), done.stderr
        return done

    run("local")
    expected = published(tmp_path / "local/out")
    assert len(expected) == 12 * 5
    for name, args in [("cluster", ("--scheduler", cluster)), ("local-cluster", ())]:
        run(name, "--executor", "dask", *args)
        assert published(tmp_path / name / "out") == expected, name
    again = quarl(tmp_path / "cluster", "run", "shop", "--out", "out", "--executor", "dask", "--scheduler", cluster)
    assert (again.returncode, again.stdout.splitlines()[-1]) == (0, "12 runs: 12 up to date")


NAP = """\
import os, pathlib, time
from quarl import asset


@asset()
def nap() -> int:
    mark = pathlib.Path({mark!r})
    if not mark.exists():
        mark.write_text(f"{{os.getpid()}} {{os.getppid()}}")
        time.sleep(120)
    return {value}
"""


def nap_project(folder, mark, value):
    (folder / "naps.py").write_text(NAP.format(mark=str(mark), value=value))


def started(mark, process):
    """The pids of the worker process that wrote `mark` and of its parent, the Dask worker."""
    deadline = time.monotonic() + 60
    while not (mark.exists() and mark.read_text()) and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.05)
    return [int(pid) for pid in mark.read_text().split()]


def alive(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def start_quarl(cwd, *args):
    return subprocess.Popen([sys.executable, "-m", "quarl", *args], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            env={**os.environ, **sanitizer_env(), "PYTHONDONTWRITEBYTECODE": "1"})


@needs_dask
@pytest.mark.parametrize("allowed_failures, status, error, value", [
    ("3", "succeeded", None, 2),  # Dask runs the task again on the other worker
    ("0", "failed", "the Dask worker running it died (1 try, the last on ADDRESS)", 1),
])
def test_a_dask_worker_killed_during_a_run(tmp_path, allowed_failures, status, error, value):
    project, mark = tmp_path / "project", tmp_path / "mark"
    project.mkdir()
    mark.touch()
    nap_project(project, mark, 1)
    with dask_cluster(tmp_path / "cluster", [("alpha", {}), ("beta", {})],
                      DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES=allowed_failures) as address:
        assert quarl(project, "run", "naps", "--executor", "dask", "--scheduler", address).returncode == 0
        mark.unlink()
        nap_project(project, mark, 2)
        running = start_quarl(project, "run", "naps", "--executor", "dask", "--scheduler", address, "--json")
        worker, dask_worker = started(mark, running)
        os.kill(dask_worker, signal.SIGKILL)
        stdout, stderr = running.communicate(timeout=120)
    [run] = json.loads(stdout)["runs"]
    assert (run["status"], run["error"] and re.sub(r"tcp://[\d.:]+", "ADDRESS", run["error"])) == (status, error)
    assert json.loads((project / "quarl-out/naps.nap/value.json").read_text()) == value
    assert not alive(worker)  # it went with its Dask worker, and wrote nothing after
    assert [p.name for p in (project / "quarl-out").iterdir() if ".attempt-" in p.name] == []
    if status == "failed":
        assert run["folder"] == str(project / "quarl-out/.naps.nap.failed")


@needs_dask
def test_ctrl_c_kills_the_runs_on_the_workers(tmp_path, cluster):
    mark = tmp_path / "mark"
    nap_project(tmp_path, mark, 1)
    running = start_quarl(tmp_path, "run", "naps", "--executor", "dask", "--scheduler", cluster)
    worker, _ = started(mark, running)
    running.send_signal(signal.SIGINT)
    stdout, stderr = running.communicate(timeout=60)
    assert running.returncode == 130, stderr
    assert stdout.splitlines()[-1] == "1 run: 1 interrupted"
    assert not alive(worker)
    assert sorted(os.listdir(tmp_path / "quarl-out")) == [".quarl.lock", "quarl-history.db"]


@needs_dask
def test_a_worker_that_cannot_import_the_project_stops_the_run(tmp_path, cluster, elsewhere):
    done = quarl(tmp_path, "run", "faraway", "--executor", "dask", "--scheduler", cluster,
                 PYTHONPATH=str(elsewhere))
    assert (done.returncode, done.stdout, re.sub(r"tcp://[\d.:]+", "ADDRESS", done.stderr)) == (2, "", (
        "quarl run: error: the Dask cluster cannot run this project:\n"
        f"  worker beta (ADDRESS) cannot import the project's module 'faraway' (not installed there, "
        f"nor in {tmp_path})\n"))
    assert sorted(os.listdir(tmp_path / "quarl-out")) == [".quarl.lock", "quarl-history.db"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("prelude, args, message", [
    pytest.param("", ["--executor", "dask", "--scheduler", "tcp://127.0.0.1:{port}"],
                 "cannot reach the Dask scheduler at tcp://127.0.0.1:{port}: Timed out trying to connect "
                 "to tcp://127.0.0.1:{port} after 1 s", marks=needs_dask),
    # The same command in an interpreter where the package cannot be imported.
    ("sys.modules['distributed'] = None", ["--executor", "dask"],
     "--executor dask needs the package distributed (import of distributed halted; None in sys.modules); "
     "install it with quarl's extra: pip install 'quarl[dask]'"),
    ("", ["--scheduler", "tcp://127.0.0.1:{port}"], "--scheduler is for --executor dask"),
])
def test_a_cluster_that_cannot_be_used_is_a_usage_error(tmp_path, prelude, args, message):
    port = free_port()
    shutil.copytree(EXAMPLES / "shop", tmp_path / "shop")
    code = f"import sys\n{prelude}\nfrom quarl.cli import main\nsys.exit(main(sys.argv[1:]))"
    done = subprocess.run([sys.executable, "-c", code, "run", "shop", *(a.format(port=port) for a in args)],
                          cwd=tmp_path, capture_output=True, text=True,
                          env={**os.environ, **sanitizer_env(), "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"quarl run: error: {message.format(port=port)}\n")
